// A file named from a MusicBrainz release, written by the FLAC, Ogg Vorbis and MPEG-4
// writers, as library taggers read it: Vorbis comments and the front cover (FLAC PICTURE
// block, Ogg METADATA_BLOCK_PICTURE) checked with metaflac and python3-mutagen; the iTunes
// list's aART, disk, freeform MusicBrainz items and covr checked with AtomicParsley and
// mutagen; and each file read back by our own readers.
#include "support/chain_helpers.h"
#include "support/codec_library_files.h"
#include "support/codec_test_files.h"
#include "support/release_properties.h"
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <unistd.h>

using namespace kytest;
using nlohmann::json;

namespace {

const char* kPython = "/usr/bin/python3";

const std::map<uint32_t, std::string>& kRelease = releaseTrackProperties();

// Prints the file's tags as mutagen reads them (names as the format has them, every value
// as text) and its embedded pictures (type, MIME type, SHA-1 of the image).
const char* kMutagenScript = R"PY(
import sys, json, hashlib, base64
import mutagen, mutagen.mp4
from mutagen.flac import Picture
f = mutagen.File(sys.argv[1])
tags, pics = {}, []
def sha1(b): return hashlib.sha1(bytes(b)).hexdigest()
if isinstance(f, mutagen.mp4.MP4):
    for k, v in f.tags.items():
        if k == "covr":
            pics += [{"type": 3, "mime": "image/png" if c.imageformat == c.FORMAT_PNG
                      else "image/jpeg", "sha1": sha1(c)} for c in v]
        elif k in ("disk", "trkn"):
            tags[k] = ["%d/%d" % x for x in v]
        else:
            tags[k] = [x.decode("utf-8") if isinstance(x, bytes) else str(x) for x in v]
    from mutagen.easymp4 import EasyMP4
    easy = {k: list(v) for k, v in EasyMP4(sys.argv[1]).items()}
else:
    for k, v in f.tags.items():
        if k.upper() == "METADATA_BLOCK_PICTURE":
            for b in ([v] if isinstance(v, str) else v):
                p = Picture(base64.b64decode(b))
                pics.append({"type": int(p.type), "mime": p.mime, "sha1": sha1(p.data)})
        else:
            tags.setdefault(k.upper(), []).extend([v] if isinstance(v, str) else v)
    pics += [{"type": int(p.type), "mime": p.mime, "sha1": sha1(p.data)}
             for p in getattr(f, "pictures", [])]
    easy = {}
print(json.dumps({"tags": tags, "pictures": pics, "easy": easy}))
)PY";

bool haveMutagenFile() {
    return access(kPython, X_OK) == 0 &&
           run(std::string(kPython) + " -c 'import mutagen.mp4, mutagen.flac' 2>/dev/null");
}

json mutagenRead(const ScratchDir& dir, const std::string& file) {
    const std::string script = dir.path("read.py");
    std::ofstream(script) << kMutagenScript;
    const std::string out =
        capture(std::string(kPython) + " " + shellQuote(script) + " " + shellQuote(file) + " 2>&1");
    json j = json::parse(out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << out;
    return j;
}

WriteOptions releaseOptions(const std::string& coverPath) {
    WriteOptions o;
    o.properties.assign(kRelease.begin(), kRelease.end());
    o.properties.emplace_back(KYPROP_COVER_FILE, coverPath);
    return o;
}

// What our reader finds of the release's slots.
std::map<uint32_t, std::string> readBack(const std::string& path) {
    std::vector<std::vector<float>> planes;
    kyAudioFormat format;
    kyPropertyTable props;
    EXPECT_EQ(readPlanes(path, planes, format, &props), KY_OK) << path;
    std::map<uint32_t, std::string> out;
    for (const auto& [slot, text] : kRelease)
        if (const char* t = props.getUtf8(slot)) out[slot] = t;
    return out;
}

class ReleaseTagFormats : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveMutagenFile())
            GTEST_SKIP() << "python3-mutagen is not installed (apt-get install python3-mutagen)";
        std::ofstream(cover, std::ios::binary) << releaseCoverBytes();
        coverSha1 = capture("sha1sum " + shellQuote(cover)).substr(0, 40);
    }
    ScratchDir dir;
    const std::string cover = dir.path("front.jpg");
    std::string coverSha1;
};

} // namespace

TEST_F(ReleaseTagFormats, VorbisCommentsAndPictureInFlacAndOgg) {
    // The names Picard and other library taggers write and read.
    const std::map<std::string, std::string> comments = {
        {"TITLE", "Song"},
        {"ARTIST", "Ann & Bob"},
        {"ALBUM", "Hits"},
        {"TRACKNUMBER", "4"},
        {"ALBUMARTIST", "Various Artists"},
        {"DISCNUMBER", "2"},
        {"DISCTOTAL", "3"},
        {"DATE", "1999-03-01"}, // the release date wins over the year: one DATE
        {"ORIGINALDATE", "1998-11-20"},
        {"ORGANIZATION", "Label"},
        {"ISRC", "GBAAA9900001"},
        {"MUSICBRAINZ_ALBUMID", "00000000-0000-4000-8000-000000000010"},
        {"MUSICBRAINZ_RELEASEGROUPID", "00000000-0000-4000-8000-000000000011"},
        {"MUSICBRAINZ_TRACKID", "00000000-0000-4000-8000-000000000101"},
        {"MUSICBRAINZ_RELEASETRACKID", "00000000-0000-4000-8000-000000000201"},
        {"MUSICBRAINZ_ARTISTID",
         "00000000-0000-4000-8000-0000000000a1/00000000-0000-4000-8000-0000000000b1"},
        {"MUSICBRAINZ_ALBUMARTISTID", "89ad4ac3-39f7-470e-963a-56509c546377"},
        {"MUSICBRAINZ_DISCID", "OMDNUUEF6OVAhAJVAHuIJDSdzdM-"},
        {"RELEASECOUNTRY", "GB"},
        {"CATALOGNUMBER", "CAT 1"},
        {"BARCODE", "0123456789012"},
        {"MEDIA", "CD"},
    };
    struct Case {
        const char* format;
        const char* subformat;
        const char* file;
    };
    for (const Case& c : {Case{"Free lossless audio codec", "Lossless 16-bit", "r.flac"},
                          Case{"Vorbis Ogg stream", "128 kbit/s", "r.ogg"}}) {
        SCOPED_TRACE(c.format);
        const std::string path = dir.path(c.file);
        const int32_t written = writeSignal(path, c.format, c.subformat,
                                            intSignal(22050, 2, 44100, 16), releaseOptions(cover));
        if (written == KYERR_MISSING_COMPONENT) {
            ADD_FAILURE() << "no codec library for " << c.format;
            continue;
        }
        ASSERT_EQ(written, KY_OK);

        const json r = mutagenRead(dir, path);
        json expected = json::object();
        for (const auto& [name, value] : comments) expected[name] = json::array({value});
        EXPECT_EQ(r["tags"], expected);
        EXPECT_EQ(r["pictures"],
                  json::array({{{"type", 3}, {"mime", "image/jpeg"}, {"sha1", coverSha1}}}));

        if (std::string(c.file) == "r.flac" && haveTool("metaflac")) {
            const std::string listed = capture("metaflac --export-tags-to=- " + shellQuote(path));
            for (const auto& [name, value] : comments)
                EXPECT_NE(listed.find(name + "=" + value + "\n"), std::string::npos) << name << "\n"
                                                                                     << listed;
            const std::string picture =
                capture("metaflac --list --block-type=PICTURE " + shellQuote(path));
            EXPECT_NE(picture.find("type: 3 (Cover (front))"), std::string::npos) << picture;
            EXPECT_NE(picture.find("MIME type: image/jpeg"), std::string::npos) << picture;
            const std::string exported = dir.path("exported.jpg");
            ASSERT_TRUE(run("metaflac --export-picture-to=" + shellQuote(exported) + " " +
                            shellQuote(path)));
            EXPECT_EQ(capture("sha1sum " + shellQuote(exported)).substr(0, 40), coverSha1);
            EXPECT_TRUE(run("flac -s -t " + shellQuote(path)));
        }
        // Every slot comes back; DATE carries both the release date and the year.
        std::map<uint32_t, std::string> expectedSlots = kRelease;
        expectedSlots[KYPROP_YEAR] = "1999-03-01";
        EXPECT_EQ(readBack(path), expectedSlots);
    }
}

// An image too large for a FLAC metadata block (24-bit length) is left out; the file is
// still written, with its comments.
TEST_F(ReleaseTagFormats, FlacFileWithoutACoverTooLargeForItsBlock) {
    if (!haveTool("metaflac")) GTEST_SKIP() << "metaflac is not installed";
    const std::string big = dir.path("big.jpg");
    std::string bytes = releaseCoverBytes();
    bytes.resize((1u << 24) - 16, '\x55');
    std::ofstream(big, std::ios::binary) << bytes;
    const std::string path = dir.path("big.flac");
    ASSERT_EQ(writeSignal(path, "Free lossless audio codec", "Lossless 16-bit",
                          intSignal(4410, 2, 44100, 16), releaseOptions(big)),
              KY_OK);
    EXPECT_EQ(capture("metaflac --list --block-type=PICTURE " + shellQuote(path)), "");
    EXPECT_NE(capture("metaflac --export-tags-to=- " + shellQuote(path))
                  .find("MUSICBRAINZ_ALBUMID=00000000-0000-4000-8000-000000000010"),
              std::string::npos);
}

TEST_F(ReleaseTagFormats, ItunesItemsAndCoverInMpeg4) {
    const std::string path = dir.path("r.m4a");
    const int32_t written = writeSignal(path, "iTunes MPEG-4 audio format", "AAC ABR 128 kbit/s",
                                        intSignal(22050, 2, 44100, 16), releaseOptions(cover));
    if (written == KYERR_MISSING_COMPONENT) GTEST_SKIP() << "no AAC encoder (libavcodec)";
    ASSERT_EQ(written, KY_OK);

    const std::string ff = "----:com.apple.iTunes:";
    const std::map<std::string, std::string> items = {
        {"\xC2\xA9nam", "Song"},
        {"\xC2\xA9"
         "ART",
         "Ann & Bob"},
        {"\xC2\xA9"
         "alb",
         "Hits"},
        {"\xC2\xA9"
         "day",
         "1999-03-01"},
        {"\xC2\xA9"
         "dir",
         "Label"},
        {"trkn", "4/0"},
        {"aART", "Various Artists"},
        {"disk", "2/3"},
        {ff + "ISRC", "GBAAA9900001"},
        {ff + "LABEL", "Label"},
        {ff + "originaldate", "1998-11-20"},
        {ff + "MEDIA", "CD"},
        {ff + "MusicBrainz Album Release Country", "GB"},
        {ff + "CATALOGNUMBER", "CAT 1"},
        {ff + "BARCODE", "0123456789012"},
        {ff + "MusicBrainz Album Id", "00000000-0000-4000-8000-000000000010"},
        {ff + "MusicBrainz Release Group Id", "00000000-0000-4000-8000-000000000011"},
        {ff + "MusicBrainz Track Id", "00000000-0000-4000-8000-000000000101"},
        {ff + "MusicBrainz Release Track Id", "00000000-0000-4000-8000-000000000201"},
        {ff + "MusicBrainz Artist Id",
         "00000000-0000-4000-8000-0000000000a1/00000000-0000-4000-8000-0000000000b1"},
        {ff + "MusicBrainz Album Artist Id", "89ad4ac3-39f7-470e-963a-56509c546377"},
        {ff + "MusicBrainz Disc Id", "OMDNUUEF6OVAhAJVAHuIJDSdzdM-"},
    };
    const json r = mutagenRead(dir, path);
    for (const auto& [key, value] : items) {
        SCOPED_TRACE(key);
        EXPECT_EQ(r["tags"][key], json::array({value}));
    }
    EXPECT_EQ(r["pictures"],
              json::array({{{"type", 3}, {"mime", "image/jpeg"}, {"sha1", coverSha1}}}));
    // mutagen's easy names, which are those of library taggers.
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"albumartist", "Various Artists"},
             {"discnumber", "2/3"},
             {"musicbrainz_albumid", "00000000-0000-4000-8000-000000000010"},
             {"musicbrainz_trackid", "00000000-0000-4000-8000-000000000101"},
             {"musicbrainz_albumartistid", "89ad4ac3-39f7-470e-963a-56509c546377"}}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(r["easy"][key], json::array({value}));
    }

    if (haveTool("AtomicParsley")) {
        const std::string out = capture("AtomicParsley " + shellQuote(path) + " -t");
        for (const std::string& line :
             {std::string("Atom \"aART\" contains: Various Artists"),
              std::string("Atom \"disk\" contains: 2 of 3"),
              std::string("Atom \"covr\" contains: 1 piece of artwork"),
              std::string("[com.apple.iTunes;MusicBrainz Album Id] contains: "
                          "00000000-0000-4000-8000-000000000010"),
              std::string("[com.apple.iTunes;MusicBrainz Track Id] contains: "
                          "00000000-0000-4000-8000-000000000101"),
              std::string("[com.apple.iTunes;MusicBrainz Disc Id] contains: "
                          "OMDNUUEF6OVAhAJVAHuIJDSdzdM-")})
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
        // The artwork as AtomicParsley extracts it.
        const std::string stem = dir.path("art");
        ASSERT_TRUE(
            run("AtomicParsley " + shellQuote(path) + " -e " + shellQuote(stem) + " >/dev/null"));
        EXPECT_EQ(capture("sha1sum " + shellQuote(stem + "_artwork_1.jpg")).substr(0, 40),
                  coverSha1);
    }

    std::map<uint32_t, std::string> expectedSlots = kRelease;
    expectedSlots[KYPROP_YEAR] = "1999-03-01";
    EXPECT_EQ(readBack(path), expectedSlots);
}
