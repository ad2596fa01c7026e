// dskr-cli with MusicBrainz as a user runs it, against a MusicBrainz service, Cover Art
// Archive and CDDB server started by the test: the disc id toc shows, a look-up listing
// both databases' matches with their sources, a rip named from the release picked with
// --release and its front cover saved beside the files, and the failures a user meets.
#include "support/chain_helpers.h"
#include "support/cli_test_home.h"
#include "support/codec_test_files.h"
#include "support/fake_cddb_server.h"
#include "support/fake_musicbrainz_server.h"
#include "support/file_text.h"
#include "support/run_program.h"
#include "support/scoped_env.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace fs = std::filesystem;
using kytest::FakeCddbServer;
using kytest::FakeMusicBrainzServer;
using kytest::FakeRelease;
using kytest::LocalHttpServer;
using kytest::mbid;
using nlohmann::json;

namespace {

const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";
// The test image, tracks at 0 and 300 sectors, lead-out at 600, as libdiscid names it
// (python3-libdiscid: libdiscid.put(1, 2, 750, [150, 450])).
const char* const kDiscId = "OnpX1oVWL7CypwcIA.ZsRybkaBw-";
const char* const kToc = "1 2 750 150 450";

FakeRelease release(uint64_t n, const std::string& country, int discs = 1) {
    FakeRelease r;
    r.id = mbid(n);
    r.title = "Northern Lights";
    r.artists = {{"Ann", mbid(1), " & "}, {"Bob", mbid(2), ""}};
    r.date = "2004-03-01";
    r.country = country;
    r.barcode = "0123456789012";
    r.groupId = mbid(3);
    r.firstReleaseDate = "2003-11-20";
    r.label = "Label";
    r.catalogNumber = "CAT " + std::to_string(n);
    for (int d = 1; d <= discs; ++d) {
        kytest::FakeMedium m;
        m.position = d;
        if (d == discs) m.discIds = {kDiscId};
        for (int t = 1; t <= 2; ++t) {
            kytest::FakeTrack track;
            track.title = "Song " + std::to_string(d) + "." + std::to_string(t);
            track.lengthMs = 4000;
            track.recordingId = mbid(n * 100 + d * 10 + t);
            track.trackId = mbid(n * 1000 + d * 10 + t);
            m.tracks.push_back(track);
        }
        r.media.push_back(m);
    }
    return r;
}

std::string jpeg() {
    std::string bytes = "\xFF\xD8\xFF\xE0";
    for (int i = 0; bytes.size() < 3000; ++i) bytes += static_cast<char>(i * 37 % 251);
    return bytes;
}

class CliMusicBrainzTest : public ::testing::Test {
protected:
    kytest::CliTestHome home{"dskr-cli-mb"};
    const fs::path dir = home.dir, cue = home.cue;
    kytest::NoProxyEnvironment noProxy;
    FakeMusicBrainzServer mb;
    FakeCddbServer cddb;

    void SetUp() override {
        cddb.queryAnswer = "200 rock 08000802 Gnudb Band / Gnudb Album\r\n";
        cddb.records["rock 08000802"] =
            "# xmcd\nDISCID=08000802\nDTITLE=Gnudb Band / Gnudb Album\nTTITLE0=a\nTTITLE1=b\n";
    }

    // Every run names the test's servers, so that nothing leaves the machine.
    kytest::ProgramRun run(std::vector<std::string> args) {
        if (args[0] != "toc")
            args.insert(args.end(),
                        {"--mb-server", mb.url(), "--server", cddb.url(), "--timeout", "5"});
        return kytest::runProgram(kCli, args, dir.string());
    }
    size_t serviceRequests() const {
        size_t n = 0;
        for (const auto& r : mb.requests()) n += r.target.rfind("/ws/2/", 0) == 0;
        return n;
    }
};

} // namespace

TEST_F(CliMusicBrainzTest, TocShowsTheDiscId) {
    auto r = run({"toc", "--image", cue.string(), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["musicbrainz_id"], kDiscId);
    EXPECT_EQ(j["musicbrainz_toc"], kToc);
    r = run({"toc", "--image", cue.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(std::string("musicbrainz id ") + kDiscId), std::string::npos) << r.out;
    EXPECT_TRUE(mb.requests().empty());
}

TEST_F(CliMusicBrainzTest, LookupListsBothDatabasesAndPicksOne) {
    mb.discs[kDiscId] = kytest::discAnswer(kDiscId, {release(10, "GB"), release(11, "US", 2)});
    auto r = run({"lookup", "--image", cue.string(), "--email", "ann@example.org", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["musicbrainz_id"], kDiscId);
    ASSERT_EQ(j["matches"].size(), 3u) << r.out;
    EXPECT_EQ(j["matches"][0]["source"], "musicbrainz");
    EXPECT_EQ(j["matches"][0]["id"], mbid(10));
    EXPECT_EQ(j["matches"][0]["artist"], "Ann & Bob");
    EXPECT_EQ(j["matches"][0]["country"], "GB");
    EXPECT_EQ(j["matches"][1]["source"], "musicbrainz");
    EXPECT_EQ(j["matches"][1]["catalog_number"], "CAT 11");
    EXPECT_EQ(j["matches"][1]["disc_number"], 2);
    EXPECT_EQ(j["matches"][1]["disc_total"], 2);
    EXPECT_EQ(j["matches"][2]["source"], "gnudb");
    EXPECT_EQ(j["matches"][2]["artist"], "Gnudb Band");
    EXPECT_TRUE(j["record"].is_null());
    EXPECT_NE(r.err.find("--match N"), std::string::npos) << r.err;
    // The request as the service asks for it: the id, the TOC, the includes, a User-Agent
    // with a contact.
    const auto first = mb.requests().at(0);
    EXPECT_EQ(
        first.target.rfind(std::string("/ws/2/discid/") + kDiscId + "?toc=1+2+750+150+450", 0), 0u)
        << first.target;
    EXPECT_NE(first.target.find("fmt=json"), std::string::npos);
    EXPECT_EQ(first.header("User-Agent").rfind("DskR/", 0), 0u);
    EXPECT_NE(first.header("User-Agent").find("( "), std::string::npos);

    // The second disc of the two-disc release.
    r = run({"lookup", "--image", cue.string(), "--json", "--match", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    j = json::parse(r.out);
    const json& rec = j["record"];
    EXPECT_EQ(rec["source"], "musicbrainz");
    EXPECT_EQ(rec["artist"], "Ann & Bob");
    EXPECT_EQ(rec["album"], "Northern Lights");
    EXPECT_EQ(rec["release"]["id"], mbid(11));
    EXPECT_EQ(rec["release"]["disc_number"], 2);
    EXPECT_EQ(rec["release"]["disc_total"], 2);
    EXPECT_EQ(rec["release"]["original_date"], "2003-11-20");
    EXPECT_EQ(rec["release"]["catalog_number"], "CAT 11");
    ASSERT_EQ(rec["tracks"].size(), 2u);
    EXPECT_EQ(rec["tracks"][1]["title"], "Song 2.2");
    EXPECT_EQ(rec["tracks"][1]["recording_id"], mbid(11 * 100 + 22));

    // Text output lists each database's matches.
    r = run({"lookup", "--image", cue.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("musicbrainz: 2 matches"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("gnudb: 1 match\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Ann & Bob / Northern Lights  [US, 2004-03-01, Label CAT 11"),
              std::string::npos)
        << r.out;

    // The order setting: gnudb alone is asked without MusicBrainz.
    const size_t before = serviceRequests();
    r = run({"lookup", "--image", cue.string(), "--lookup-order", "gnudb", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    j = json::parse(r.out);
    ASSERT_EQ(j["matches"].size(), 1u);
    EXPECT_EQ(j["record"]["source"], "gnudb");
    EXPECT_EQ(serviceRequests(), before);
    EXPECT_EQ(run({"lookup", "--image", cue.string(), "--lookup-order", "gnudb,napster"}).code, 2);
}

TEST_F(CliMusicBrainzTest, RipNamedFromAReleaseWithItsCover) {
    const FakeRelease picked = release(20, "DE");
    mb.releases[picked.id] = kytest::releaseJson(picked).dump();
    mb.covers[picked.id] = jpeg();
    const fs::path out = dir / "rips";
    auto r = run({"rip", "--image", cue.string(), "--out", out.string(), "--release", picked.id,
                  "--cover-art-server", mb.url(), "--cover-art"});
    ASSERT_EQ(r.code, 0) << r.err;
    const fs::path album = out / "Ann & Bob/Northern Lights";
    EXPECT_TRUE(fs::exists(album / "01 - Song 1.1.wav")) << r.out;
    EXPECT_TRUE(fs::exists(album / "02 - Song 1.2.wav")) << r.out;
    EXPECT_EQ(kytest::readText(album / "cover.jpg"), jpeg());
    EXPECT_EQ(serviceRequests(), 1u); // the release only: no disc look-up

    // Without the cover: none fetched, none saved.
    const size_t requests = mb.requests().size();
    r = run({"rip", "--image", cue.string(), "--out", (dir / "plain").string(), "--release",
             picked.id, "--cover-art-server", mb.url(), "--no-cover-art"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(fs::exists(dir / "plain/Ann & Bob/Northern Lights/cover.jpg"));
    EXPECT_EQ(mb.requests().size(), requests + 1);

    // No cover in the archive costs only the cover.
    mb.covers.clear();
    r = run({"rip", "--image", cue.string(), "--out", (dir / "nocover").string(), "--release",
             picked.id, "--cover-art-server", mb.url()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("No front cover"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir / "nocover/Ann & Bob/Northern Lights/01 - Song 1.1.wav"));
}

// Every tagged format a user may rip to carries the release and its front cover, read by
// python3-mutagen as a library tagger reads them: ID3v2 (MP3, and AAC when asked), the
// iTunes list (M4A), Vorbis comments (FLAC, Ogg Vorbis) and APE tags (WavPack, Monkey's
// Audio).
TEST_F(CliMusicBrainzTest, RippedFilesOfEveryTaggedFormatCarryTheRelease) {
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) != 0 ||
        !kytest::run(std::string(python) + " -c 'import mutagen' 2>/dev/null"))
        GTEST_SKIP() << "python3-mutagen is not installed (apt-get install python3-mutagen)";
    const FakeRelease picked = release(21, "DE", 2);
    mb.releases[picked.id] = kytest::releaseJson(picked).dump();
    mb.covers[picked.id] = jpeg();
    // Album id, album artist, disc, recording id and the cover's SHA-1, in each tag kind.
    const fs::path script = dir / "read.py";
    kytest::writeText(script, R"PY(
import sys, json, hashlib
import mutagen
from mutagen.id3 import ID3
from mutagen.apev2 import APEv2
from mutagen.mp4 import MP4
def h(b): return hashlib.sha1(bytes(b)).hexdigest()
out = {}
for p in sys.argv[1:]:
    ext = p.rsplit(".", 1)[1]
    if ext in ("mp3", "aac"):
        t = ID3(p)
        r = [str(t["TXXX:MusicBrainz Album Id"]), str(t["TPE2"]), str(t["TPOS"]),
             t["UFID:http://musicbrainz.org"].data.decode(), h(t.getall("APIC")[0].data)]
    elif ext == "m4a":
        t = MP4(p).tags
        f = lambda k: t["----:com.apple.iTunes:" + k][0].decode()
        r = [f("MusicBrainz Album Id"), t["aART"][0], "%d/%d" % t["disk"][0],
             f("MusicBrainz Track Id"), h(t["covr"][0])]
    elif ext in ("wv", "ape"):
        t = APEv2(p)
        r = [str(t["MUSICBRAINZ_ALBUMID"]), str(t["Album Artist"]), str(t["Disc"]),
             str(t["MUSICBRAINZ_TRACKID"]), h(t["Cover Art (Front)"].value.split(b"\0", 1)[1])]
    else:
        f = mutagen.File(p)
        t = f.tags
        pics = getattr(f, "pictures", None)
        if pics is None:
            import base64
            from mutagen.flac import Picture
            pics = [Picture(base64.b64decode(t["metadata_block_picture"][0]))]
        r = [t["musicbrainz_albumid"][0], t["albumartist"][0],
             t["discnumber"][0] + "/" + t["disctotal"][0], t["musicbrainz_trackid"][0],
             h(pics[0].data)]
    out[ext] = r
print(json.dumps(out))
)PY");
    struct Case {
        const char* format;
        const char* extension;
        std::vector<std::string> more;
    };
    const std::vector<Case> cases = {{"mp3", "mp3", {}},
                                     {"aac", "aac", {"--id3v2"}},
                                     {"iTunes MPEG-4 audio format", "m4a", {}},
                                     {"flac", "flac", {}},
                                     {"Vorbis Ogg stream", "ogg", {}},
                                     {"wv", "wv", {}},
                                     {"ape", "ape", {}}};
    std::vector<std::string> files, ripped;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        const fs::path out = dir / "formats" / c.format;
        std::vector<std::string> args = {
            "rip",        "--image",   cue.string(), "--out",
            out.string(), "--release", picked.id,    "--cover-art-server",
            mb.url(),     "--format",  c.format,     "--tracks",
            "1"};
        args.insert(args.end(), c.more.begin(), c.more.end());
        const auto r = run(args);
        // A codec library that is not installed (libMAC is not in Debian) costs its case.
        if (r.code != 0 &&
            (r.out + r.err).find("Missing required component") != std::string::npos) {
            std::fprintf(stderr, "%s: no codec library, not checked\n", c.format);
            continue;
        }
        ASSERT_EQ(r.code, 0) << r.err;
        for (const auto& e : fs::recursive_directory_iterator(out))
            if (e.is_regular_file() && e.path().filename() != "cover.jpg" &&
                e.path().extension() != ".log")
                files.push_back(e.path().string());
        ripped.push_back(c.extension);
    }
    ASSERT_EQ(files.size(), ripped.size());
    ASSERT_GE(ripped.size(), 5u) << "MP3, AAC, MPEG-4, FLAC and Ogg need only Debian's libraries";
    std::string command = std::string(python) + " " + kytest::shellQuote(script.string());
    for (const std::string& f : files) command += " " + kytest::shellQuote(f);
    const std::string printed = kytest::capture(command + " 2>&1");
    const json read = json::parse(printed, nullptr, false);
    ASSERT_FALSE(read.is_discarded()) << printed;
    const std::string sha1 =
        kytest::capture("sha1sum " + kytest::shellQuote((dir / "formats/flac/Ann & Bob/"
                                                               "Northern Lights/cover.jpg")
                                                            .string()))
            .substr(0, 40);
    EXPECT_EQ(kytest::readText(dir / "formats/flac/Ann & Bob/Northern Lights/cover.jpg"), jpeg());
    const json expected = {picked.id, "Ann & Bob", "2/2", mbid(21 * 100 + 2 * 10 + 1), sha1};
    for (const std::string& ext : ripped) {
        SCOPED_TRACE(ext);
        EXPECT_EQ(read[ext], expected);
    }
}

// What a user meets when the service does not help: each time a clear message, an exit
// code, and no file written for a release that cannot be had.
TEST_F(CliMusicBrainzTest, FailuresAreToldAndWriteNothing) {
    struct Case {
        const char* name;
        std::optional<LocalHttpServer::Reply> reply;
        std::string release;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"unknown release", std::nullopt, mbid(77), "MusicBrainz knows no release"},
        {"garbage", LocalHttpServer::Reply{FakeMusicBrainzServer::json("<html>oops</html>")},
         mbid(20), "cannot name the disc"},
        {"refused", LocalHttpServer::Reply{FakeMusicBrainzServer::json("{}", 500)}, mbid(20),
         "HTTP 500"},
        {"not an id", std::nullopt, "abc", "--release"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mb.override = c.reply;
        const fs::path out = dir / c.name;
        const auto r = run({"rip", "--image", cue.string(), "--out", out.string(), "--release",
                            c.release, "--no-cover-art"});
        EXPECT_NE(r.code, 0);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }

    // A look-up whose MusicBrainz answer is garbage still lists gnudb's match, and says why
    // MusicBrainz gave none.
    mb.override = LocalHttpServer::Reply{FakeMusicBrainzServer::json("{\"releases\": [")};
    const auto r = run({"lookup", "--image", cue.string(), "--email", "ann@example.org", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["record"]["source"], "gnudb");
    ASSERT_GE(j["databases"].size(), 1u);
    EXPECT_EQ(j["databases"][0]["source"], "musicbrainz");
    EXPECT_EQ(j["databases"][0]["result"], "failed");
    EXPECT_NE(r.err.find("Communication failed with the MusicBrainz database!"), std::string::npos)
        << r.err;
}
