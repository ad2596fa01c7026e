// dskr-cli's lookup, submit and rip --lookup as a user runs them, against a CDDB server
// started by the test: names found, several matches, none, a dead server, the e-mail
// address gnudb requires, proxies, submissions and usage errors.
#include "support/cli_test_home.h"
#include "support/fake_cddb_server.h"
#include "support/file_text.h"
#include "support/run_program.h"
#include "support/scoped_env.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace fs = std::filesystem;
using kytest::FakeCddbServer;
using kytest::LocalHttpServer;
using nlohmann::json;

namespace {

const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";
// The test image: tracks at 0 and 300 sectors, lead-out at 600.
const char* const kDiscId = "08000802";
const char* const kQuery = "cmd=cddb+query+08000802+2+150+450+10&hello=ann+example.org+DskR+v5.0";
const char* const kGnudbOrder = "gnudb,local,cdtext";
const char* const kRecord = "# xmcd\n#\n# Revision: 3\n#\nDISCID=08000802\n"
                            "DTITLE=Looked Up / The Album\nDYEAR=2001\nDGENRE=Ambient\n"
                            "TTITLE0=First Light\nTTITLE1=Caf\xC3\xA9 Noir\n";

class CliLookupTest : public ::testing::Test {
protected:
    kytest::CliTestHome home{"dskr-cli-lookup"};
    const fs::path dir = home.dir, cue = home.cue;
    kytest::NoProxyEnvironment noProxy;
    FakeCddbServer cddb;

    void SetUp() override {
        cddb.queryAnswer = "200 rock 08000802 Looked Up / The Album\r\n";
        cddb.records["rock 08000802"] = kRecord;
    }

    // gnudb is the database these tests ask: MusicBrainz, first by default, is left out
    // so that no request leaves the machine.
    kytest::ProgramRun run(std::vector<std::string> args, bool withServer = true) {
        if (args[0] == "lookup" || args[0] == "rip") {
            args.push_back("--lookup-order");
            args.push_back(kGnudbOrder);
        }
        if (withServer) {
            args.push_back("--server");
            args.push_back(cddb.url());
        }
        return kytest::runProgram(kCli, args, dir.string());
    }
    std::vector<std::string> lookup(std::vector<std::string> extra = {}) {
        std::vector<std::string> a = {"lookup", "--image", cue.string(), "--email",
                                      "ann@example.org"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::string settingsText() const {
        return kytest::readText(dir / "config/Velmora/DskR 5/settings.reg");
    }
};

} // namespace

TEST_F(CliLookupTest, NoRequestWithoutAnEmailAddress) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"lookup", "--image", cue.string()},
          std::vector<std::string>{"submit", "--image", cue.string(), "--category", "rock"}}) {
        const auto r = run(args);
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find("--email ADDRESS"), std::string::npos) << r.err;
    }
    const auto r = run({"rip", "--image", cue.string(), "--lookup", "--out", dir / "rips"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("--email ADDRESS"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "rips"));
    EXPECT_TRUE(cddb.requests().empty());
}

TEST_F(CliLookupTest, LookupNamesTheDiscAndKeepsTheRecord) {
    auto r = run(lookup({"--json"}));
    ASSERT_EQ(r.code, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["disc_id"], kDiscId);
    ASSERT_EQ(j["matches"].size(), 1u);
    EXPECT_EQ(j["matches"][0], json({{"source", "gnudb"},
                                     {"category", "rock"},
                                     {"id", "08000802"},
                                     {"artist", "Looked Up"},
                                     {"title", "The Album"}}));
    const json& rec = j["record"];
    EXPECT_EQ(rec["artist"], "Looked Up");
    EXPECT_EQ(rec["album"], "The Album");
    EXPECT_EQ(rec["year"], 2001);
    EXPECT_EQ(rec["genre"], "Ambient");
    EXPECT_EQ(rec["source"], "gnudb");
    ASSERT_EQ(rec["tracks"].size(), 2u);
    EXPECT_EQ(rec["tracks"][1],
              json({{"number", 2}, {"title", "Caf\xC3\xA9 Noir"}, {"artist", "Looked Up"}}));
    EXPECT_TRUE(j["error"].is_null());

    // The request as gnudb wants it, and the address stored for next time.
    const auto requests = cddb.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body.rfind(kQuery, 0), 0u) << requests[0].body;
    EXPECT_NE(settingsText().find("\"szDBEmail\"=\"ann@example.org\""), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "cache/Velmora/DskR 5/cddb/rock" / kDiscId));

    // Next time the address comes from the settings; text output.
    r = run({"lookup", "--image", cue.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("disc id 08000802"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("<rock> : Looked Up / The Album"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Looked Up / The Album (2001, Ambient)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2  Caf\xC3\xA9 Noir"), std::string::npos) << r.out;
}

TEST_F(CliLookupTest, SeveralMatchesAreChosenWithMatch) {
    cddb.queryAnswer = "211 close matches\r\nrock 08000802 Looked Up / The Album\r\n"
                       "jazz 08000802 Other Band / Other Album\r\n.\r\n";
    cddb.records["jazz 08000802"] = "# xmcd\nDTITLE=Other Band / Other Album\nTTITLE0=a\n";
    auto r = run(lookup({"--json"}));
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["matches"].size(), 2u);
    EXPECT_TRUE(j["record"].is_null());
    EXPECT_NE(r.err.find("--match N"), std::string::npos) << r.err;

    r = run(lookup({"--json", "--match", "2"}));
    ASSERT_EQ(r.code, 0) << r.err;
    j = json::parse(r.out);
    EXPECT_EQ(j["record"]["artist"], "Other Band");
    EXPECT_EQ(j["record"]["category"], "jazz");

    r = run(lookup({"--match", "3"}));
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("found 2 discs"), std::string::npos) << r.err;

    // A rip cannot ask: it stops before writing anything and lists the choices.
    r = run({"rip", "--image", cue.string(), "--out", (dir / "rips").string(), "--email",
             "ann@example.org"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("<jazz> : Other Band / Other Album"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "rips"));
}

TEST_F(CliLookupTest, NoMatchFallsBackToCdplayerIni) {
    cddb.queryAnswer = "202 No match for disc ID 08000802.\r\n";
    auto r = run(lookup({"--json"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(json::parse(r.out)["record"].is_null());
    EXPECT_NE(r.err.find("No matching disc found in the 'freedb' database!"), std::string::npos);

    // Key: 0:02:00 + 0:06:00 -> 0x200 + 0x600.
    fs::create_directories(dir / "config/Velmora");
    kytest::writeText(dir / "config/Velmora/cdplayer.ini",
                      "[800]\r\nnumtracks=2\r\nartist=Old Player\r\ntitle=Old Album\r\n"
                      "0=Premi\xE8re\r\n");
    r = run(lookup({"--json"}));
    ASSERT_EQ(r.code, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["record"]["source"], "local");
    EXPECT_EQ(j["record"]["store"], "cdplayer.ini");
    EXPECT_EQ(j["record"]["artist"], "Old Player");
    EXPECT_EQ(j["record"]["tracks"][0]["title"], "Premi\xC3\xA8re");
    EXPECT_EQ(j["record"]["tracks"][1]["title"], "Track 02");
}

TEST_F(CliLookupTest, DeadServerEndsAfterTheTimeOut) {
    cddb.override = LocalHttpServer::Reply{"", SIZE_MAX, true};
    const auto start = std::chrono::steady_clock::now();
    const auto r = run(lookup({"--timeout", "1"}));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.code, 1);
    EXPECT_LT(seconds, 8.0);
    EXPECT_NE(r.err.find("Communication failed with the 'freedb' database!"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("no complete answer from " + cddb.hostPort() + " within 1 s"),
              std::string::npos)
        << r.err;

    // A record kept from an earlier look-up names the disc all the same.
    cddb.override.reset();
    ASSERT_EQ(run(lookup()).code, 0);
    cddb.override = LocalHttpServer::Reply{"", SIZE_MAX, true};
    const auto again = run(lookup({"--timeout", "0.5", "--json"}));
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(json::parse(again.out)["record"]["artist"], "Looked Up");
    EXPECT_NE(again.err.find("Names from an earlier look-up."), std::string::npos) << again.err;
}

TEST_F(CliLookupTest, RipNamesItsFilesFromTheLookUp) {
    const fs::path out = dir / "rips";
    // With an address stored the look-up is on by default.
    auto r = run({"rip", "--image", cue.string(), "--out", out.string(), "--email",
                  "ann@example.org", "--overwrite", "replace"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(out / "Looked Up/The Album/01 - First Light.wav")) << r.out;
    EXPECT_TRUE(fs::exists(out / "Looked Up/The Album/02 - Caf\xC3\xA9 Noir.wav")) << r.out;

    // --no-lookup rips with the default names and sends nothing.
    const size_t before = cddb.requests().size();
    r = run(
        {"rip", "--image", cue.string(), "--out", out.string(), "--no-lookup", "--tracks", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(cddb.requests().size(), before);
    EXPECT_NE(r.out.find("Track 01"), std::string::npos) << r.out;

    // The demo disc brings its own names: no look-up unless asked.
    r = run({"rip", "--demo", "--out", (dir / "demo").string(), "--tracks", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(cddb.requests().size(), before);

    // A dead database costs only the names.
    cddb.override = LocalHttpServer::Reply{LocalHttpServer::answer("", 503)};
    fs::remove_all(dir / "cache");
    r = run({"rip", "--image", cue.string(), "--out", (dir / "plain").string(), "--tracks", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("Communication failed"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Track 02"), std::string::npos) << r.out;
}

TEST_F(CliLookupTest, SubmitSendsTheLastLookUpOrANamesFile) {
    // Nothing to send yet.
    auto r = run({"submit", "--image", cue.string(), "--category", "rock", "--email",
                  "ann@example.org", "--yes"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no names for this disc"), std::string::npos) << r.err;

    ASSERT_EQ(run(lookup()).code, 0);
    r = run({"submit", "--image", cue.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("--yes"), std::string::npos) << r.err;

    r = run({"submit", "--image", cue.string(), "--category", "newage", "--yes", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["revision"], 4);
    EXPECT_EQ(j["submitted"], true);
    EXPECT_EQ(j["category"], "newage");
    EXPECT_NE(r.err.find("Disc successfully submitted."), std::string::npos);
    const auto q = cddb.requests().back();
    EXPECT_EQ(q.requestLine, "POST /~cddb/submit.cgi HTTP/1.0");
    EXPECT_EQ(q.header("Category"), "newage");
    EXPECT_EQ(q.header("Discid"), kDiscId);
    EXPECT_EQ(q.header("User-Email"), "ann@example.org");
    EXPECT_NE(q.body.find("# Revision: 4\r\n"), std::string::npos);
    EXPECT_NE(q.body.find("TTITLE1=Caf\xC3\xA9 Noir\r\n"), std::string::npos);
    EXPECT_NE(
        kytest::readText(dir / "cache/Velmora/DskR 5/cddb/newage" / kDiscId).find("# Revision: 4"),
        std::string::npos);

    // A names file with an unnamed track is stopped before anything is sent.
    const fs::path names = dir / "names.xmcd";
    kytest::writeText(names, "# xmcd\nDTITLE=Mine / Corrected\nTTITLE0=Only one named\n");
    const size_t before = cddb.requests().size();
    r = run({"submit", "--image", cue.string(), "--names", names.string(), "--yes"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Please enter track names before submitting a disc!"), std::string::npos);
    EXPECT_EQ(cddb.requests().size(), before);

    // A refusal leaves the revision where it was.
    kytest::writeText(names, "# xmcd\nDTITLE=Mine / Corrected\nTTITLE0=One\nTTITLE1=Two\n");
    cddb.submitAnswer = "501 Revision too low.\r\n";
    r = run({"submit", "--image", cue.string(), "--names", names.string(), "--category", "newage",
             "--yes", "--json"});
    EXPECT_EQ(r.code, 1);
    j = json::parse(r.out);
    EXPECT_EQ(j["submitted"], false);
    EXPECT_EQ(j["revision"], 4);
    EXPECT_NE(r.err.find("Sorry - Submission failed!"), std::string::npos);
    EXPECT_NE(r.err.find("501 Revision too low."), std::string::npos) << r.err;
    EXPECT_NE(cddb.requests().back().body.find("DTITLE=Mine / Corrected"), std::string::npos);
}

TEST_F(CliLookupTest, ProxyAndUsageErrors) {
    auto r = run(lookup({"--server", "gnudb.example", "--proxy", cddb.hostPort()}), false);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(cddb.requests().at(0).requestLine,
              "POST http://gnudb.example/~cddb/cddb.cgi HTTP/1.0");
    // --save keeps server and proxy; --no-proxy goes direct for one run.
    r = run(lookup({"--server", "gnudb.example", "--proxy", cddb.hostPort(), "--save"}), false);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(settingsText().find("\"szDBProxy\"=\"" + cddb.hostPort() + "\""), std::string::npos);
    r = run(lookup({"--no-proxy", "--timeout", "2"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(cddb.requests().back().requestLine, "POST /~cddb/cddb.cgi HTTP/1.0");
    // The last of a switch and its opposite counts.
    r = run(lookup({"--proxy", "proxy.invalid:1", "--no-proxy"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(cddb.requests().back().requestLine, "POST /~cddb/cddb.cgi HTTP/1.0");

    r = run(lookup({"--server", "ftp://gnudb.example"}), false);
    EXPECT_EQ(r.code, 2) << r.err;
    const std::vector<std::vector<std::string>> usage = {
        lookup({"--timeout", "0"}),
        lookup({"--match", "zero"}),
        {"lookup", "--image", cue.string(), "--email", "not-an-address"},
        {"submit", "--image", cue.string(), "--category", "polka"},
        {"rip", "--image", cue.string(), "--no-lookup", "--match", "1"},
        {"lookup", "--image", cue.string(), "extra"},
    };
    for (const auto& args : usage) {
        r = run(args);
        EXPECT_EQ(r.code, 2) << args[1] << " " << r.err;
    }
}

// On a terminal the address, the disc among several and the go-ahead for a submission are
// asked for.
TEST_F(CliLookupTest, OnATerminalItAsks) {
    if (std::system("command -v script > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "script (bsdutils) is not installed";
    cddb.queryAnswer = "211 close matches\r\nrock 08000802 Looked Up / The Album\r\n"
                       "jazz 08000802 Other Band / Other Album\r\n.\r\n";
    cddb.records["jazz 08000802"] = "# xmcd\n# Revision: 1\nDTITLE=Other Band / Other Album\n"
                                    "TTITLE0=a\nTTITLE1=b\n";
    // Typed answers go through a pseudo-terminal, where dskr-cli sees a user.
    auto typed = [&](const std::string& answers, const std::string& args) {
        return kytest::runProgram(
            "/bin/sh",
            {"-c", "printf '" + answers + "' | script -qec \"" + kCli + " " + args +
                       (args == "lookup" ? " --lookup-order " + std::string(kGnudbOrder) : "") +
                       " --image " + cue.string() + " --server " + cddb.url() + "\" /dev/null"},
            dir.string());
    };
    auto r = typed("ann@example.org\\n2\\n", "lookup");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Your e-mail address"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("'near matches'"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("   2  <jazz> : Other Band / Other Album"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("names (gnudb, jazz, revision 1)"), std::string::npos) << r.out;
    EXPECT_NE(settingsText().find("\"szDBEmail\"=\"ann@example.org\""), std::string::npos);

    const size_t before = cddb.requests().size();
    r = typed("n\\n", "submit");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("as an update of the disc in the freedb database."), std::string::npos);
    EXPECT_EQ(cddb.requests().size(), before);
    r = typed("y\\n", "submit");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Disc successfully submitted."), std::string::npos) << r.out;
    EXPECT_NE(cddb.requests().back().body.find("# Revision: 2"), std::string::npos);
}
