// dskr-cli with MusicBrainz as a user runs it, against a MusicBrainz service, Cover Art
// Archive and CDDB server started by the test: the disc id toc shows, a look-up listing
// both databases' matches with their sources, a rip named from the release picked with
// --release and its front cover saved beside the files, and the failures a user meets.
#include "support/cli_test_home.h"
#include "support/fake_cddb_server.h"
#include "support/fake_musicbrainz_server.h"
#include "support/file_text.h"
#include "support/run_program.h"
#include "support/scoped_env.h"

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
