// The iTunes metadata list we write, put into an MPEG-4 audio file that ffmpeg made, and
// read by AtomicParsley and python3-mutagen, and by our own parser; the list ffmpeg
// writes, read by ours.
#include "formats/tags/mp4_atoms.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/mp4_files.h"
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using kytest::Mp4Box;

// Debian's interpreter, which has python3-mutagen (another python3 on PATH may not).
const char* kPython = "/usr/bin/python3";

// The file with its movie's user data replaced by `udta` (the movie must be the last box,
// as ffmpeg leaves it, so that no chunk offset moves).
bool replaceUserData(std::vector<uint8_t>& file, const std::vector<uint8_t>& udtaPayload) {
    const std::vector<Mp4Box> top = kytest::mp4Boxes(file, 0, file.size());
    if (top.empty() || top.back().type != "moov" ||
        top.back().offset + top.back().size != file.size())
        return false;
    const Mp4Box moov = top.back();
    std::vector<uint8_t> children;
    for (const Mp4Box& b : kytest::mp4Boxes(file, moov.payload(), moov.offset + moov.size))
        if (b.type != "udta")
            children.insert(children.end(), file.begin() + b.offset,
                            file.begin() + b.offset + b.size);
    const std::vector<uint8_t> udta = kytest::mp4MakeBox("udta", udtaPayload);
    children.insert(children.end(), udta.begin(), udta.end());
    file.resize(moov.offset);
    const std::vector<uint8_t> newMoov = kytest::mp4MakeBox("moov", children);
    file.insert(file.end(), newMoov.begin(), newMoov.end());
    return true;
}

std::string text(kyPropertyTable& p, uint32_t slot) {
    const char* t = p.getUtf8(slot);
    return t ? t : "";
}

const std::string kTitle = "Ti\xC3\xADtulo \xE2\x98\x83 \xE6\x97\xA5\xE6\x9C\xAC";

} // namespace

TEST(Mp4AtomsInterop, OurListIsReadByAtomicParsleyMutagenAndOurselves) {
    if (!kytest::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    kytest::ScratchDir dir;
    const std::string path = dir.path("tagged.m4a");
    ASSERT_TRUE(kytest::run("ffmpeg -nostdin -v error -y -f lavfi -i sine=f=440:d=0.5 -c:a aac " +
                            kytest::shellQuote(path)));

    kyPropertyTable props;
    props.setUtf8(KYPROP_TITLE, kTitle.c_str());
    props.setUtf8(KYPROP_ARTIST, "Some Artist");
    props.setUtf8(KYPROP_ALBUM, "An Album");
    props.setUtf8(KYPROP_YEAR, "1999");
    props.setUtf8(KYPROP_GENRE, "Jazz");
    props.setUtf8(KYPROP_COMMENT, "A comment");
    props.setUtf8(KYPROP_TRACK_NUMBER, "3/12");
    props.setUtf8(KYPROP_TRACK_GAIN, "-6.50 dB");
    props.setUtf8(KYPROP_PEAK, "0.988525");
    props.setUtf8(KYPROP_ALBUM_GAIN, "-7.25 dB");
    props.setUtf8(KYPROP_ISRC, "USRC17607839");
    const kyMp4Freeform smpb{"iTunSMPB", " 00000000 00000400 000001C0 0000000000005622 00000000"};
    const std::vector<uint8_t> meta = kyBuildMp4MetaBox(props, {&smpb, 1});
    std::vector<uint8_t> file = kytest::readFile(path);
    ASSERT_TRUE(replaceUserData(file, meta));
    kytest::writeFile(path, file);

    // Our own parser, on the file as written.
    Mp4Box udta;
    ASSERT_TRUE(kytest::mp4Find(file, "moov/udta", udta));
    kyPropertyTable back;
    std::vector<kyMp4Freeform> others;
    kyParseMp4UserData(&file[udta.payload()], udta.payloadSize(), back, &others);
    for (uint32_t slot :
         {KYPROP_TITLE, KYPROP_ARTIST, KYPROP_ALBUM, KYPROP_YEAR, KYPROP_GENRE, KYPROP_COMMENT,
          KYPROP_TRACK_NUMBER, KYPROP_TRACK_GAIN, KYPROP_PEAK, KYPROP_ALBUM_GAIN, KYPROP_ISRC})
        EXPECT_EQ(text(back, slot), text(props, slot)) << "slot " << slot;
    ASSERT_EQ(others.size(), 1u);
    EXPECT_EQ(others[0].name, "iTunSMPB");
    EXPECT_EQ(others[0].value, smpb.value);
    // The copyright sign is the single byte 0xA9 in atom types.
    const std::string raw(file.begin(), file.end());
    EXPECT_NE(raw.find("\xA9nam"), std::string::npos);
    EXPECT_EQ(raw.find("\xC2\xA9nam"), std::string::npos);

    // The file still decodes.
    std::vector<int16_t> pcm;
    ASSERT_TRUE(kytest::ffmpegDecode(path, "", 1, pcm));
    EXPECT_GT(pcm.size(), 20000u);

    if (kytest::haveTool("AtomicParsley")) {
        const std::string out =
            kytest::capture("AtomicParsley " + kytest::shellQuote(path) + " -t");
        for (const std::string& line :
             {"Atom \"\xC2\xA9nam\" contains: " + kTitle,
              std::string("Atom \"\xC2\xA9"
                          "ART\" contains: Some Artist"),
              std::string("Atom \"\xC2\xA9"
                          "alb\" contains: An Album"),
              std::string("Atom \"\xC2\xA9"
                          "day\" contains: 1999"),
              std::string("Atom \"\xC2\xA9gen\" contains: Jazz"),
              std::string("Atom \"\xC2\xA9"
                          "cmt\" contains: A comment"),
              std::string("Atom \"trkn\" contains: 3 of 12"),
              std::string("[com.apple.iTunes;replaygain_track_gain] contains: -6.50 dB"),
              std::string("[com.apple.iTunes;replaygain_track_peak] contains: 0.988525"),
              std::string("[com.apple.iTunes;replaygain_album_gain] contains: -7.25 dB"),
              std::string("[com.apple.iTunes;ISRC] contains: USRC17607839"),
              std::string("[com.apple.iTunes;iTunSMPB] contains:")})
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }

    if (access(kPython, X_OK) == 0 &&
        kytest::run(std::string(kPython) + " -c 'import mutagen' 2>/dev/null")) {
        // Every item as "key=value" lines, values joined by "|".
        const std::string script =
            "import sys\nfrom mutagen.mp4 import MP4\nt = MP4(sys.argv[1]).tags\n"
            "for k in sorted(t.keys()):\n"
            "    v = t[k]\n"
            "    s = '|'.join(x.decode('utf-8') if isinstance(x, bytes) else\n"
            "                 ('%d/%d' % x if isinstance(x, tuple) else str(x)) for x in v)\n"
            "    sys.stdout.buffer.write((k + '=' + s + '\\n').encode('utf-8'))\n";
        const std::string scriptPath = dir.path("read.py");
        kytest::writeFile(scriptPath, std::vector<uint8_t>(script.begin(), script.end()));
        const std::string out =
            kytest::capture(std::string(kPython) + " " + kytest::shellQuote(scriptPath) + " " +
                            kytest::shellQuote(path));
        for (const std::string& line :
             {"\xC2\xA9nam=" + kTitle,
              std::string("\xC2\xA9"
                          "ART=Some Artist"),
              std::string("\xC2\xA9"
                          "alb=An Album"),
              std::string("\xC2\xA9"
                          "day=1999"),
              std::string("\xC2\xA9gen=Jazz"),
              std::string("\xC2\xA9"
                          "cmt=A comment"),
              std::string("trkn=3/12"),
              std::string("----:com.apple.iTunes:replaygain_track_gain=-6.50 dB"),
              std::string("----:com.apple.iTunes:replaygain_track_peak=0.988525"),
              std::string("----:com.apple.iTunes:replaygain_album_gain=-7.25 dB"),
              std::string("----:com.apple.iTunes:ISRC=USRC17607839"),
              "----:com.apple.iTunes:iTunSMPB=" + smpb.value})
            EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
    } else {
        std::printf("python3-mutagen is not installed: not checked with mutagen\n");
    }
}

TEST(Mp4AtomsInterop, ReadsTheListsFfmpegAndMutagenWrite) {
    if (!kytest::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    kytest::ScratchDir dir;
    const std::string path = dir.path("ff.m4a");
    ASSERT_TRUE(kytest::run(
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=f=440:d=0.3 -c:a aac -metadata title=" +
        kytest::shellQuote(kTitle) +
        " -metadata artist=Artist -metadata album=Album -metadata date=2004 -metadata track=5/9 "
        "-metadata genre=Rock -metadata comment=Remark " +
        kytest::shellQuote(path)));
    const bool mutagen = access(kPython, X_OK) == 0 &&
                         kytest::run(std::string(kPython) + " -c 'import mutagen' 2>/dev/null");
    if (mutagen) {
        // Freeform items as mutagen writes them.
        ASSERT_TRUE(kytest::run(
            std::string(kPython) +
            " -c 'import sys\nfrom mutagen.mp4 import MP4, MP4FreeForm\nf = MP4(sys.argv[1])\n"
            "f[\"----:com.apple.iTunes:ISRC\"] = [MP4FreeForm(b\"GBAYE0000351\")]\n"
            "f[\"----:com.apple.iTunes:replaygain_track_gain\"] = [MP4FreeForm(b\"+1.25 dB\")]\n"
            "f.save()' " +
            kytest::shellQuote(path)));
    }
    const std::vector<uint8_t> file = kytest::readFile(path);
    Mp4Box udta;
    ASSERT_TRUE(kytest::mp4Find(file, "moov/udta", udta));
    kyPropertyTable p;
    kyParseMp4UserData(&file[udta.payload()], udta.payloadSize(), p);
    EXPECT_EQ(text(p, KYPROP_TITLE), kTitle);
    EXPECT_EQ(text(p, KYPROP_ARTIST), "Artist");
    EXPECT_EQ(text(p, KYPROP_ALBUM), "Album");
    EXPECT_EQ(text(p, KYPROP_YEAR), "2004");
    EXPECT_EQ(text(p, KYPROP_TRACK_NUMBER), "5/9");
    EXPECT_EQ(text(p, KYPROP_GENRE), "Rock");
    EXPECT_EQ(text(p, KYPROP_COMMENT), "Remark");
    if (mutagen) {
        EXPECT_EQ(text(p, KYPROP_ISRC), "GBAYE0000351");
        EXPECT_EQ(text(p, KYPROP_TRACK_GAIN), "+1.25 dB");
    }
}
