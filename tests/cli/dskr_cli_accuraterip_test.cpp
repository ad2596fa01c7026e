// `dskr-cli rip --accuraterip` against a local server of dBAR records made from the disc
// image: per file the checksums and the database's verdict in --json, a mismatch, a disc
// the database does not know, and a server that never answers (the rip still finishes,
// "offline", once the time-out has run out).
#include "cd/accuraterip_tap.h"
#include "cd/cd_sector.h"
#include "cd/virtual_drive.h"
#include "metadata/accuraterip_client.h"
#include "support/accuraterip_records.h"
#include "support/cli_test_home.h"
#include "support/file_text.h"
#include "support/local_http_server.h"
#include "support/run_program.h"
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;
const std::string kCli = std::string(DSKR_BINARY_DIR) + "/bin/dskr-cli";

std::string hex(uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

using kytest::imageAccurateRipSums;

TEST(CliAccurateRip, RipIsCheckedAgainstALocalServer) {
    kytest::CliTestHome home("dskr-cli-ar");
    kytest::NoProxyEnvironment noProxy;
    const auto demo = kyDiscImage::Demo();
    const kyDiscToc toc = demo->Toc();
    const std::vector<kyAccurateRipSums> sums = imageAccurateRipSums(*demo);
    const kyAccurateRipIds ids = kyAccurateRipDiscIds(toc);
    ASSERT_EQ(sums.size(), ids.audioTracks);
    // Pressing 1 holds v1 of every track but the second; pressing 2 holds v2 of track 1
    // with more confidence.
    kyAccurateRipPressing p1{ids, {}}, p2{ids, {}};
    for (size_t i = 0; i < sums.size(); ++i) {
        p1.tracks.push_back({uint8_t(3 + i), i == 1 ? 0xBAD0BAD0u : sums[i].v1, sums[i].frame450});
        p2.tracks.push_back({uint8_t(i == 0 ? 40 : 1), i == 0 ? sums[i].v2 : 0u, 0u});
    }
    const std::string record = kyMakeDbar({p1, p2});
    enum { Serve, NotFound, Silent } mode = Serve;
    kytest::LocalHttpServer server([&](const kytest::LocalHttpServer::Request&) {
        if (mode == Silent) return kytest::LocalHttpServer::Reply{"", 0, true};
        return kytest::LocalHttpServer::Reply{
            mode == Serve ? kytest::LocalHttpServer::answer(record, 200, true)
                          : kytest::LocalHttpServer::answer("no", 404)};
    });

    auto rip = [&](const std::string& out) {
        return kytest::runProgram(kCli,
                                  {"rip", "--demo", "--tracks", "1,2,3", "--out",
                                   (home.dir / out).string(), "--accuraterip",
                                   "--accuraterip-server", server.url(), "--accuraterip-timeout",
                                   "1", "--json", "--overwrite", "replace"},
                                  home.dir.string());
    };
    // The burst read of track 2, which the database contradicts, is suspect: the rip
    // fails.
    kytest::ProgramRun r = rip("a");
    ASSERT_EQ(r.code, 1) << r.err;
    json j = json::parse(r.out);
    ASSERT_EQ(j["files"].size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const json& a = j["files"][i]["accuraterip"];
        SCOPED_TRACE(a.dump());
        EXPECT_EQ(a["v1"], hex(sums[i].v1));
        EXPECT_EQ(a["v2"], hex(sums[i].v2));
        EXPECT_TRUE(j["files"][i]["verified_burst"].is_null());
        if (i == 1) {
            EXPECT_EQ(a["result"], "mismatch");
            EXPECT_TRUE(a["confidence"].is_null());
            EXPECT_EQ(j["files"][i]["result"], "suspect");
            const kyTocEntry& e = toc.entries[2];
            EXPECT_EQ(j["files"][i]["suspect_positions"],
                      json::parse("[[" + std::to_string(e.start) + "," +
                                  std::to_string(e.start + e.length - 1) + "]]"));
        } else {
            EXPECT_EQ(j["files"][i]["result"], "ok");
            EXPECT_EQ(a["result"], "match");
            EXPECT_EQ(a["confidence"], i == 0 ? 40 : 3 + int(i));
        }
    }
    // The log beside the files says the same, and ends with the summary.
    const std::string log = j["log"];
    ASSERT_TRUE(j["log_path"].is_string());
    const std::string logPath = j["log_path"];
    EXPECT_EQ(logPath.substr(logPath.size() - 4), ".log");
    EXPECT_EQ(kytest::readText(logPath), log);
    for (const std::string& want :
         {std::string("Read offset:          0 samples"),
          "Track 1:            AccurateRip v1 " + hex(sums[0].v1) + ", v2 " + hex(sums[0].v2) +
              ": Accurately ripped (confidence 40, v2)",
          "Track 2:            AccurateRip v1 " + hex(sums[1].v1) + ", v2 " + hex(sums[1].v2) +
              ": Not accurately ripped",
          std::string("Accurately ripped (confidence 5, v1)"), std::string("Copy CRC:"),
          std::string("record found, 2 pressing(s)"),
          "AccurateRip disc:     " + kyAccurateRipPath(ids).substr(6)})
        EXPECT_NE(log.find(want), std::string::npos) << want << "\n" << log;
    EXPECT_NE(log.find("\n2 of 3 tracks accurately ripped; not accurately ripped: 2 (mismatch)\n"),
              std::string::npos)
        << log;
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/accuraterip/" + kyAccurateRipPath(ids));

    // Verified burst reads track 2 again, securely: every sector confirmed by agreeing
    // reads, the same audio as the burst read. The database may not know this pressing of
    // the track; the rip succeeds.
    r = kytest::runProgram(kCli,
                           {"rip", "--demo", "--tracks", "1,2,3", "--out",
                            (home.dir / "v").string(), "--mode", "verify", "--accuraterip-server",
                            server.url(), "--json"},
                           home.dir.string());
    ASSERT_EQ(r.code, 0) << r.err;
    j = json::parse(r.out);
    for (size_t i = 0; i < 3; ++i) {
        const json& f = j["files"][i];
        SCOPED_TRACE(f.dump());
        EXPECT_EQ(f["result"], "ok");
        EXPECT_EQ(f["verified_burst"]["settled"], i == 1 ? "reread" : "confirmed");
        EXPECT_EQ(f["accuraterip"]["v1"], hex(sums[i].v1));
        if (i != 1) continue;
        EXPECT_EQ(f["accuraterip"]["result"], "mismatch");
        EXPECT_EQ(f["verified_burst"]["agrees"], true);
        EXPECT_EQ(f["verified_burst"]["burst_crc"], f["copy_crc"]);
        ASSERT_EQ(f["verified_burst"]["burst"].size(), 1u);
        EXPECT_EQ(f["verified_burst"]["burst"][0]["result"], "mismatch");
        EXPECT_GT(f["rereads"].get<int>(), 0);
    }
    {
        const std::string log = j["log"];
        for (const std::string& want :
             {std::string("Read mode:            Verified burst mode\n"),
              std::string("Settled:            burst read, confirmed by AccurateRip\n"),
              std::string("Settled:            read again in scratch correcting mode (burst "
                          "read not confirmed: 2 mismatch)\n"),
              std::string(", the secure read agrees\n"),
              std::string("; read again in scratch correcting mode: 2\n")})
            EXPECT_NE(log.find(want), std::string::npos) << want << "\n" << log;
    }

    mode = NotFound;
    r = rip("b");
    ASSERT_EQ(r.code, 0) << r.err;
    j = json::parse(r.out);
    for (const json& f : j["files"]) EXPECT_EQ(f["accuraterip"]["result"], "not-found");

    mode = Silent;
    const auto start = std::chrono::steady_clock::now();
    r = rip("c");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_NE(r.err.find("AccurateRip"), std::string::npos) << r.err;
    j = json::parse(r.out);
    for (const json& f : j["files"]) {
        EXPECT_EQ(f["result"], "ok");
        EXPECT_EQ(f["accuraterip"]["result"], "offline");
        EXPECT_EQ(f["accuraterip"]["v1"], hex(sums[f["first_track"].get<size_t>() - 1].v1));
    }

    // Switched off: nothing is asked.
    const size_t asked = server.requests().size();
    r = kytest::runProgram(kCli,
                           {"rip", "--demo", "--tracks", "1", "--out", (home.dir / "d").string(),
                            "--no-accuraterip", "--accuraterip-server", server.url(), "--json"},
                           home.dir.string());
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(server.requests().size(), asked);
    j = json::parse(r.out);
    EXPECT_EQ(j["files"][0]["accuraterip"]["result"], "skipped");
    EXPECT_NE(j["log"].get<std::string>().find("\nNot checked against AccurateRip\n"),
              std::string::npos);
    // No log asked for: none written.
    r = kytest::runProgram(kCli,
                           {"rip", "--demo", "--tracks", "1", "--out", (home.dir / "e").string(),
                            "--no-log", "--json"},
                           home.dir.string());
    ASSERT_EQ(r.code, 0) << r.err;
    j = json::parse(r.out);
    EXPECT_TRUE(j["log"].is_null());
    for (const auto& entry : std::filesystem::directory_iterator(home.dir / "e"))
        EXPECT_NE(entry.path().extension(), ".log") << entry.path();
}

} // namespace

namespace {

TEST(CliAccurateRip, OffsetIsFoundAndKept) {
    kytest::CliTestHome home("dskr-cli-offset");
    kytest::NoProxyEnvironment noProxy;
    const auto demo = kyDiscImage::Demo();
    const std::vector<kyAccurateRipSums> sums = imageAccurateRipSums(*demo);
    const kyAccurateRipIds ids = kyAccurateRipDiscIds(demo->Toc());
    kyAccurateRipPressing p{ids, {}};
    for (const kyAccurateRipSums& s : sums) p.tracks.push_back({2, s.v1, s.frame450});
    const std::string record = kyMakeDbar({p});
    bool known = true;
    kytest::LocalHttpServer server([&](const kytest::LocalHttpServer::Request&) {
        return kytest::LocalHttpServer::Reply{
            known ? kytest::LocalHttpServer::answer(record, 200, true)
                  : kytest::LocalHttpServer::answer("no", 404)};
    });
    auto offset = [&](int32_t n, bool save) {
        std::vector<std::string> args = {"offset",
                                         "--demo",
                                         "--faults",
                                         "offset=" + std::to_string(n),
                                         "--accuraterip-server",
                                         server.url(),
                                         "--json"};
        if (save) args.push_back("--save");
        return kytest::runProgram(kCli, args, home.dir.string());
    };
    for (int32_t n : {-472, 667}) {
        const kytest::ProgramRun r = offset(n, n == 667);
        ASSERT_EQ(r.code, 0) << r.err;
        const json j = json::parse(r.out);
        EXPECT_EQ(j["found"], true);
        EXPECT_EQ(j["offset"], n);
        EXPECT_EQ(j["tracks"], 4);
        EXPECT_EQ(j["pressings"], 1);
        EXPECT_EQ(j["saved"], n == 667);
    }
    // Kept for the drive: a rip of it now reads the disc's own samples, as the database
    // knows them.
    known = true;
    const kytest::ProgramRun r = kytest::runProgram(
        kCli,
        {"rip", "--demo", "--faults", "offset=667", "--tracks", "2", "--accuraterip",
         "--accuraterip-server", server.url(), "--out", (home.dir / "rips").string(), "--json"},
        home.dir.string());
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["files"][0]["accuraterip"]["result"], "match") << r.out;

    known = false;
    const kytest::ProgramRun none = offset(6, true);
    EXPECT_EQ(none.code, 1);
    const json j = json::parse(none.out);
    EXPECT_EQ(j["found"], false);
    EXPECT_TRUE(j["offset"].is_null());
    EXPECT_NE(j["message"].get<std::string>().find("not in the AccurateRip database"),
              std::string::npos);
}

} // namespace

namespace {

// The bytes of a WAV file's data chunk.
std::vector<uint8_t> wavData(const std::string& path) {
    const std::string all = kytest::readText(path);
    for (size_t at = 12; at + 8 <= all.size();) {
        const uint32_t size = uint32_t(uint8_t(all[at + 4])) | uint32_t(uint8_t(all[at + 5])) << 8 |
                              uint32_t(uint8_t(all[at + 6])) << 16 |
                              uint32_t(uint8_t(all[at + 7])) << 24;
        if (all.compare(at, 4, "data") == 0)
            return std::vector<uint8_t>(all.begin() + at + 8,
                                        all.begin() + at + 8 +
                                            std::min<size_t>(size, all.size() - at - 8));
        at += 8 + size + (size & 1);
    }
    return {};
}

TEST(CliAccurateRip, PreEmphasisIsKeptWhenAsked) {
    kytest::CliTestHome home("dskr-cli-pre");
    const auto demo = kyDiscImage::Demo();
    const kyDiscToc toc = demo->Toc();
    uint32_t t = toc.firstTrack;
    while (t <= toc.lastTrack && !toc.entries[t].preEmphasis) ++t;
    ASSERT_LE(t, toc.lastTrack) << "the demo disc has a pre-emphasised track";
    std::vector<uint8_t> disc(size_t(toc.entries[t].length) * kycd::kSectorBytes);
    ASSERT_TRUE(demo->ReadSectors(toc.entries[t].start, toc.entries[t].length, disc.data()));
    for (bool keep : {true, false}) {
        SCOPED_TRACE(keep);
        const kytest::ProgramRun r =
            kytest::runProgram(kCli,
                               {"rip", "--demo", "--tracks", std::to_string(t), "--out",
                                (home.dir / (keep ? "kept" : "removed")).string(),
                                keep ? "--keep-preemphasis" : "--no-keep-preemphasis", "--json"},
                               home.dir.string());
        ASSERT_EQ(r.code, 0) << r.err;
        const json j = json::parse(r.out);
        const std::string path = j["files"][0]["path"];
        EXPECT_EQ(wavData(path) == disc, keep);
        EXPECT_NE(j["log"].get<std::string>().find(keep ? "yes, kept (PRE)" : "yes, removed"),
                  std::string::npos);
        const kytest::ProgramRun info =
            kytest::runProgram(kCli, {"info", path, "--json"}, home.dir.string());
        ASSERT_EQ(info.code, 0) << info.err;
        EXPECT_EQ(info.out.find("PRE") != std::string::npos, keep) << info.out;
    }
}

} // namespace
