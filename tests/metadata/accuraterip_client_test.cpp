// The AccurateRip disc ids and record path against whipper's own table code for the same
// tables of contents, the dBAR parser on whole, cut and odd records, and the fetch from a
// local server: matches with confidence over several pressings, a mismatch, 404, garbage,
// a cut-off record, a server that never answers and one whose body has no end.
#include "cd/virtual_drive.h"
#include "metadata/accuraterip_client.h"
#include "metadata/freedb_disc_id.h"
#include "support/local_http_server.h"
#include "support/run_program.h"
#include "support/test_discs.h"
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr const char* kPython = "/usr/bin/python3";

struct TocTrack {
    uint32_t start;
    bool data = false;
    uint32_t session = 1;
};

kyDiscToc makeToc(const std::vector<TocTrack>& tracks, uint32_t leadOut) {
    kyDiscToc toc;
    toc.firstTrack = 1;
    toc.lastTrack = uint32_t(tracks.size());
    for (uint32_t i = 0; i < tracks.size(); ++i) {
        kyTocEntry& e = toc.entries[i + 1];
        e.start = tracks[i].start;
        e.data = tracks[i].data;
        const bool sessionEnd = i + 1 < tracks.size() && tracks[i + 1].session != tracks[i].session;
        const uint32_t end = i + 1 < tracks.size() ? tracks[i + 1].start : leadOut;
        e.length = end - e.start - (sessionEnd ? 11400 : 0);
    }
    toc.entries[tracks.size() + 1].start = leadOut;
    return toc;
}

// whipper's path for the same table, from its Python module.
std::string whipperPath(const std::vector<TocTrack>& tracks, uint32_t leadOut,
                        const std::string& scratch) {
    std::string script = "from whipper.image.table import Table, Track\nts = []\n";
    for (size_t i = 0; i < tracks.size(); ++i) {
        script += "t = Track(" + std::to_string(i + 1) +
                  ", audio=" + (tracks[i].data ? "False" : "True") +
                  ", session=" + std::to_string(tracks[i].session) + ")\n";
        script += "t.index(1, absolute=" + std::to_string(tracks[i].start) + ")\nts.append(t)\n";
    }
    script += "tb = Table(ts)\ntb.leadout = " + std::to_string(leadOut) +
              "\nprint(tb.accuraterip_path())\nprint(tb.getCDDBDiscId())\n";
    const kytest::ProgramRun run = kytest::runProgram(kPython, {"-c", script}, scratch);
    EXPECT_EQ(run.code, 0) << run.err;
    return run.out;
}

bool haveWhipper(const std::string& scratch) {
    return kytest::runProgram(kPython, {"-c", "import whipper.image.table"}, scratch).code == 0;
}

class AccurateRipClient : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("dskr-arclient-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

TEST_F(AccurateRipClient, IdsAndPathEqualWhippers) {
    if (!haveWhipper(m_dir.string())) GTEST_SKIP() << "whipper's Python module is not installed";
    struct Case {
        const char* what;
        std::vector<TocTrack> tracks;
        uint32_t leadOut;
    };
    std::vector<Case> cases = {
        {"one track", {{0}}, 20000},
        {"first track after a pregap", {{32}, {15032}, {29102}, {40000}}, 61234},
        {"twelve tracks", {}, 0},
        {"enhanced CD", {{0}, {18000}, {30500}, {52000, true, 2}}, 80000},
        {"data track first", {{0, true}, {10000}, {22000}}, 35000},
    };
    for (uint32_t t = 0; t < 12; ++t) cases[2].tracks.push_back({150 + t * 17317 + t * t * 13});
    cases[2].leadOut = 150 + 12 * 17317 + 2000;
    // The demo disc's table, as the virtual drive gives it.
    {
        const auto demo = kyDiscImage::Demo();
        Case c{"demo disc", {}, demo->LeadOut()};
        for (const kyDiscTrack& t : demo->Tracks())
            c.tracks.push_back({t.start, t.IsData(), t.session});
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const kyDiscToc toc = makeToc(c.tracks, c.leadOut);
        const kyAccurateRipIds ids = kyAccurateRipDiscIds(toc);
        char freedb[16];
        std::snprintf(freedb, sizeof freedb, "%08x", ids.freedb);
        EXPECT_EQ(kyAccurateRipPath(ids) + "\n" + freedb + "\n",
                  whipperPath(c.tracks, c.leadOut, m_dir.string()));
    }
}

TEST_F(AccurateRipClient, ParserTakesEveryPressingAndRefusesCutRecords) {
    kyAccurateRipPressing a, b;
    a.ids = {3, 0x11223344, 0x55667788, 0x99AABBCC};
    a.tracks = {{5, 0xDEADBEEF, 0x01020304}, {0, 0, 0}, {255, 0xFFFFFFFF, 0x80000000}};
    b.ids = {2, 1, 2, 3};
    b.tracks = {{1, 7, 8}, {2, 9, 10}};
    const std::string bytes = kyMakeDbar({a, b, a});
    ASSERT_EQ(bytes.size(), 3 * 13 + 8 * 9u);
    std::vector<kyAccurateRipPressing> got;
    std::string error;
    ASSERT_TRUE(kyParseDbar(bytes, got, error)) << error;
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].ids.id1, 0x11223344u);
    EXPECT_EQ(got[0].ids.freedb, 0x99AABBCCu);
    EXPECT_EQ(got[0].tracks[2].confidence, 255);
    EXPECT_EQ(got[0].tracks[2].frame450, 0x80000000u);
    EXPECT_EQ(got[1].tracks[1].crc, 9u);
    EXPECT_EQ(kyMakeDbar(got), bytes);

    // Every cut short of a whole pressing is refused with a message.
    for (size_t n = 0; n < bytes.size(); ++n) {
        const bool whole = n == 0 ? false : (n == 13 + 27 || n == 13 + 27 + 13 + 18);
        EXPECT_EQ(kyParseDbar(bytes.substr(0, n), got, error), whole) << n;
        if (!whole) {
            EXPECT_FALSE(error.empty());
        }
    }
    EXPECT_FALSE(kyParseDbar(std::string(13, '\0'), got, error));
    EXPECT_NE(error.find("no tracks"), std::string::npos) << error;
    EXPECT_FALSE(kyParseDbar("<html>Not Found</html>", got, error));
}

// A server of dBAR records for one disc, built by the test.
class DbarServer {
public:
    explicit DbarServer(std::function<kytest::LocalHttpServer::Reply(const std::string&)> reply)
        : m_server([reply](const kytest::LocalHttpServer::Request& r) { return reply(r.target); }) {
    }
    std::string url() const { return m_server.url(); }
    std::vector<kytest::LocalHttpServer::Request> requests() const { return m_server.requests(); }

private:
    kytest::NoProxyEnvironment m_noProxy;
    kytest::LocalHttpServer m_server;
};

kytest::LocalHttpServer::Reply body(const std::string& bytes, int status = 200) {
    return {kytest::LocalHttpServer::answer(bytes, status, true)};
}

TEST_F(AccurateRipClient, FetchFromALocalServer) {
    const kyDiscToc toc = kytest::evenToc(3, 900);
    const kyAccurateRipIds ids = kyAccurateRipDiscIds(toc);
    const std::string path = "/accuraterip/" + kyAccurateRipPath(ids);
    kyAccurateRipSums sums[3];
    for (uint32_t t = 0; t < 3; ++t) {
        sums[t].track = t + 1;
        sums[t].v1 = 0x1000u + t;
        sums[t].v2 = 0x2000u + t;
        sums[t].complete = true;
    }
    // Pressing 1 knows tracks 1 and 2 by v1; pressing 2 knows track 1 by v2 with more
    // confidence; track 3 is in neither. A pressing of another track count is ignored.
    kyAccurateRipPressing p1{ids, {{4, 0x1000, 0}, {6, 0x1001, 0}, {9, 0xBAD, 0}}};
    kyAccurateRipPressing p2{ids, {{12, 0x2000, 0}, {3, 0xBAD, 0}, {9, 0xBAD, 0}}};
    kyAccurateRipPressing other{ids, {{99, 0x1002, 0}, {99, 0x2002, 0}}};
    other.ids.audioTracks = 2;
    const std::string record = kyMakeDbar({p1, other, p2});

    struct Case {
        const char* what;
        kytest::LocalHttpServer::Reply reply;
        kyAccurateRipResult state;
        const char* message; // part of it
    };
    std::string big(256 * 1024, 'x');
    const Case cases[] = {
        {"record", body(record), kyAccurateRipResult::Match, ""},
        {"404", body("not here", 404), kyAccurateRipResult::NotFound, "not in the AccurateRip"},
        {"500", body("oops", 500), kyAccurateRipResult::Offline, "HTTP 500"},
        {"garbage", body("<html><body>Hello</body></html>\n"), kyAccurateRipResult::Offline,
         "cut off"},
        {"cut", body(record.substr(0, record.size() - 5)), kyAccurateRipResult::Offline, "cut off"},
        {"empty", body(""), kyAccurateRipResult::Offline, "empty"},
        {"silent", {"", 0, true}, kyAccurateRipResult::Offline, "AccurateRip: "},
        {"endless",
         {"HTTP/1.0 200 OK\r\n\r\n" + big, SIZE_MAX, true},
         kyAccurateRipResult::Offline,
         "AccurateRip: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DbarServer server([&c](const std::string&) { return c.reply; });
        kyAccurateRipOptions options;
        options.server = server.url();
        options.timeouts = {2000, 700, 5000};
        options.maxBytes = 64 * 1024;
        const auto start = std::chrono::steady_clock::now();
        const kyAccurateRipRecord got = kyFetchAccurateRip(toc, options);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
        EXPECT_EQ(got.state, c.state) << got.message;
        EXPECT_NE(got.message.find(c.message), std::string::npos) << got.message;
        // Only the GET for the record went out.
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].method, "GET");
        EXPECT_EQ(server.requests()[0].target, path);
        EXPECT_TRUE(server.requests()[0].body.empty());
        for (uint32_t t = 0; t < 3; ++t) {
            const kyAccurateRipTrackVerdict v = got.verdict(t + 1, sums[t]);
            if (c.state != kyAccurateRipResult::Match) {
                EXPECT_EQ(v.result, c.state);
                EXPECT_FALSE(v.confidence);
            }
        }
        if (c.state != kyAccurateRipResult::Match) continue;
        ASSERT_EQ(got.pressings.size(), 3u);
        const kyAccurateRipTrackVerdict t1 = got.verdict(1, sums[0]);
        EXPECT_EQ(t1.result, kyAccurateRipResult::Match);
        EXPECT_EQ(t1.confidence, 12);
        EXPECT_TRUE(t1.v2);
        EXPECT_EQ(t1.pressings, 2);
        const kyAccurateRipTrackVerdict t2 = got.verdict(2, sums[1]);
        EXPECT_EQ(t2.result, kyAccurateRipResult::Match);
        EXPECT_EQ(t2.confidence, 6);
        EXPECT_FALSE(t2.v2);
        const kyAccurateRipTrackVerdict t3 = got.verdict(3, sums[2]);
        EXPECT_EQ(t3.result, kyAccurateRipResult::Mismatch);
        EXPECT_FALSE(t3.confidence);
        // A track not read whole is not judged.
        kyAccurateRipSums partial = sums[0];
        partial.complete = false;
        EXPECT_EQ(got.verdict(1, partial).result, kyAccurateRipResult::Skipped);
        // A track no rip was submitted for (confidence 0 everywhere) is not known, even
        // where its entry happens to hold the checksum.
        kyAccurateRipRecord unknown = got;
        for (kyAccurateRipPressing& p : unknown.pressings)
            if (p.tracks.size() == 3) p.tracks[2] = {0, sums[2].v1, 0};
        EXPECT_EQ(unknown.verdict(3, sums[2]).result, kyAccurateRipResult::NotFound);
        EXPECT_EQ(unknown.verdict(1, sums[0]).result, kyAccurateRipResult::Match);
    }
}

TEST_F(AccurateRipClient, NoServerIsOffline) {
    kytest::NoProxyEnvironment noProxy;
    uint16_t port = 0;
    const int fd = kytest::loopbackSocket(-1, port); // bound, never listening
    ASSERT_GE(fd, 0);
    kyAccurateRipOptions options;
    options.server = "127.0.0.1:" + std::to_string(port);
    options.timeouts = {1000, 1000, 2000};
    const kyAccurateRipRecord got = kyFetchAccurateRip(kytest::evenToc(2), options);
    ::close(fd);
    EXPECT_EQ(got.state, kyAccurateRipResult::Offline);
    EXPECT_FALSE(got.message.empty());
    options.server = "ftp://example.org";
    EXPECT_EQ(kyFetchAccurateRip(kytest::evenToc(2), options).state, kyAccurateRipResult::Offline);
}

} // namespace
