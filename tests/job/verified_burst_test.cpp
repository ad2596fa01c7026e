// Verified burst ripping through the batch runner, against a local server of dBAR records
// made from the disc image: tracks the database confirms are read once; a track it does
// not know or contradicts is read again in scratch correcting mode and its file replaced,
// only once complete; without a record every track is read securely; a cancelled re-read
// leaves nothing behind. And outside that mode, a file the database contradicts is
// "suspect" unless a secure read confirmed it.
#include "job/accuraterip_check.h"
#include "job/batch_runner.h"

#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "filters/normalize_filter.h"
#include "job/output_file.h"
#include "support/accuraterip_records.h"
#include "support/codec_test_files.h"
#include "support/file_text.h"
#include "support/local_http_server.h"
#include "support/random_disc.h"
#include "support/scoped_env.h"
#include "support/scripted_frontend.h"
#include "support/virtual_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Server = kytest::LocalHttpServer;

class VerifiedBurst : public kytest::VirtualReaderTest {
protected:
    VerifiedBurst() : VirtualReaderTest("verified-burst") {}

    void SetUp() override {
        VirtualReaderTest::SetUp();
        kytest::RandomDiscShape shape;
        shape.minTracks = shape.maxTracks = 3;
        shape.minSectors = 100;
        shape.maxSectors = 140;
        shape.maxSilence = 8;
        m_image = kytest::makeRandomDisc(17, shape);
        m_toc = m_image->Toc();
        m_pressing = kytest::imagePressing(*m_image, 7);
        settings.szOutDir = (m_dir / "out").string() + "/";
        settings.bEjectWhenDone = false;
        settings.bNoOverwritePrompt = true;
        settings.eMode = KY_READ_VERIFIED;
        settings.iAccurateRipTimeout = 2;
    }

    // The server's record: the image's pressing as `edit` leaves it.
    void serve(std::function<void(kyAccurateRipPressing&)> edit = {}) {
        kyAccurateRipPressing p = m_pressing;
        if (edit) edit(p);
        const std::string record = kyMakeDbar({p});
        m_server = std::make_unique<Server>([record](const Server::Request&) {
            return Server::Reply{Server::answer(record, 200, true)};
        });
        settings.szAccurateRipServer = m_server->url();
    }

    void insert(const std::string& faults = "") {
        ASSERT_NO_FATAL_FAILURE(Use(m_image, faults));
        settings.iDevice = m_reader->OpenDriveNumber();
        disc = DiscInfo{};
        disc.makeRows(m_reader->Toc());
    }

    void TearDown() override {
        if (m_closeLater >= 0) ::close(m_closeLater);
        VirtualReaderTest::TearDown();
    }

    void run() {
        m_runner = std::make_unique<kyBatchRunner>(settings, disc, *m_reader, fe);
        m_runner->Run();
    }
    const kyBatchRunner::Result& result() const { return m_runner->result(); }

    // The disc's audio of one track, and the audio a WAV file holds.
    std::vector<uint8_t> trackAudio(uint32_t track) const {
        const kyTocEntry& e = m_toc.entries[track];
        std::vector<uint8_t> bytes(size_t(e.length) * 2352);
        EXPECT_TRUE(m_image->ReadSectors(e.start, e.length, bytes.data()));
        return bytes;
    }
    static std::vector<uint8_t> fileAudio(const std::string& path) {
        const std::string text = kytest::readText(path);
        kytest::WavFormat format;
        std::vector<uint8_t> data;
        if (!kytest::parseWav(std::vector<uint8_t>(text.begin(), text.end()), format, data))
            return {};
        return data;
    }
    bool rereadStatusShown(int file) const {
        const std::string want = "- Re-reading securely no " + std::to_string(file) + " out of 3 -";
        return std::find(fe.statuses.begin(), fe.statuses.end(), want) != fe.statuses.end();
    }
    static bool temporaryFilesIn(const fs::path& top) {
        for (const auto& e : fs::recursive_directory_iterator(top))
            if (kyPendingFile::isTemporaryName(e.path().filename().string())) return true;
        return false;
    }
    // Sectors the drive was asked to read since its command log was last cleared.
    static uint32_t sectorsRead() {
        uint32_t n = 0;
        for (const auto& cdb : kyVirtualDriveDevice(0)->CommandLog())
            if (cdb.size() >= 9 && cdb[0] == 0xBE)
                n += (uint32_t(cdb[6]) << 16) | (uint32_t(cdb[7]) << 8) | cdb[8];
        return n;
    }
    // A sector in the middle of a track, where its audio is not silence.
    uint32_t middleOf(uint32_t track) const {
        return m_toc.entries[track].start + m_toc.entries[track].length / 2;
    }
    // A scratch over `sectors` sectors from the middle of `track` that spoils each read of
    // a sector with probability `p`.
    std::string scratchIn(uint32_t track, uint32_t sectors, const char* p) const {
        const uint32_t at = middleOf(track);
        return "scratch=" + std::to_string(at) + "-" + std::to_string(at + sectors - 1) + ":" + p;
    }

    std::shared_ptr<kyDiscImage> m_image;
    kyDiscToc m_toc;
    kyAccurateRipPressing m_pressing;
    std::unique_ptr<Server> m_server;
    kytest::NoProxyEnvironment m_noProxy;
    RipSettings settings;
    DiscInfo disc;
    ScriptedFrontend fe;
    std::unique_ptr<kyBatchRunner> m_runner;
    int m_closeLater = -1; // a socket that listens to nothing
};

// Every track confirmed: one burst read each, nothing read again, files as on the disc.
TEST_F(VerifiedBurst, ConfirmedTracksAreReadOnce) {
    serve();
    ASSERT_NO_FATAL_FAILURE(insert());
    kyVirtualDriveDevice(0)->ClearCommandLog();
    run();
    ASSERT_EQ(result().records.size(), 3u);
    uint32_t audio = 0;
    for (uint32_t t = 1; t <= 3; ++t) {
        const kyFileRecord& r = result().records[t - 1];
        SCOPED_TRACE(t);
        EXPECT_EQ(r.outcome, kyFileOutcome::Ok);
        EXPECT_EQ(r.verified, kyVerifiedBurst::Confirmed);
        EXPECT_EQ(r.rereads, 0u);
        EXPECT_FALSE(r.secureRead);
        EXPECT_TRUE(r.burstAccurateRip.empty());
        ASSERT_EQ(r.accurateRip.size(), 1u);
        EXPECT_EQ(r.accurateRip[0].verdict.result, kyAccurateRipResult::Match);
        EXPECT_EQ(r.accurateRip[0].verdict.confidence, 7);
        EXPECT_TRUE(fileAudio(r.path) == trackAudio(t));
        EXPECT_FALSE(rereadStatusShown(int(t)));
        audio += m_toc.entries[t].length;
    }
    // The runner asked the database itself, once; the drive read each sector once.
    EXPECT_EQ(m_server->requests().size(), 1u);
    EXPECT_EQ(sectorsRead(), audio);
    EXPECT_NE(result().log.find("Settled:            burst read, confirmed by AccurateRip"),
              std::string::npos)
        << result().log;
    EXPECT_NE(result().log.find("\nAll tracks accurately ripped\n"), std::string::npos);
    EXPECT_FALSE(temporaryFilesIn(m_dir / "out"));
}

// A track the database does not know (no rip of it submitted) or contradicts is read
// again securely. A drive that reads track 2 wrongly in burst mode (a scratch that
// corrupts every other read) gets it right the second time, confirmed; the earlier file
// of that name was replaced, asked about once.
TEST_F(VerifiedBurst, UnconfirmedTracksAreReadAgainSecurely) {
    struct Case {
        const char* what;
        std::function<void(kyAccurateRipPressing&)> edit;
        bool scratch; // track 2 read wrongly now and then
        kyAccurateRipResult burst, secure;
    };
    const Case cases[] = {
        {"not in the database", [](kyAccurateRipPressing& p) { p.tracks[1].confidence = 0; }, false,
         kyAccurateRipResult::NotFound, kyAccurateRipResult::NotFound},
        {"read wrongly", {}, true, kyAccurateRipResult::Mismatch, kyAccurateRipResult::Match},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        serve(c.edit);
        ASSERT_NO_FATAL_FAILURE(insert(c.scratch ? "seed=3," + scratchIn(2, 10, "0.5") : ""));
        // An earlier rip's second file: kept until the secure one is complete.
        fs::remove_all(m_dir / "out");
        settings.bNoOverwritePrompt = false;
        fe = ScriptedFrontend{};
        run();
        ASSERT_EQ(result().records.size(), 3u);
        const kyFileRecord& r = result().records[1];
        EXPECT_EQ(r.outcome, kyFileOutcome::Ok);
        EXPECT_EQ(r.verified, kyVerifiedBurst::Reread);
        EXPECT_TRUE(r.secureRead);
        EXPECT_TRUE(r.suspect.empty());
        ASSERT_EQ(r.burstAccurateRip.size(), 1u);
        EXPECT_EQ(r.burstAccurateRip[0].verdict.result, c.burst);
        ASSERT_EQ(r.accurateRip.size(), 1u);
        EXPECT_EQ(r.accurateRip[0].verdict.result, c.secure);
        ASSERT_TRUE(r.burstCrc && r.copyCrc);
        EXPECT_EQ(*r.burstCrc == *r.copyCrc, !c.scratch);
        EXPECT_TRUE(fileAudio(r.path) == trackAudio(2));
        EXPECT_TRUE(rereadStatusShown(2));
        EXPECT_FALSE(rereadStatusShown(1));
        EXPECT_FALSE(rereadStatusShown(3));
        for (int i : {0, 2}) {
            EXPECT_EQ(result().records[size_t(i)].verified, kyVerifiedBurst::Confirmed);
            EXPECT_TRUE(fileAudio(result().records[size_t(i)].path) == trackAudio(uint32_t(i + 1)));
        }
        EXPECT_EQ(result().successes, 3);
        EXPECT_TRUE(fe.prompts.empty()); // a fresh folder: nothing to replace
        EXPECT_NE(result().log.find("; read again in scratch correcting mode: 2\n"),
                  std::string::npos)
            << result().log;
        EXPECT_FALSE(temporaryFilesIn(m_dir / "out"));

        // Again over the files just written, asked before each is replaced: the re-read
        // of track 2 asks no second time, and replaces the file whole.
        const std::string second = r.path;
        kytest::writeText(second, "earlier file");
        fe = ScriptedFrontend{};
        fe.answers = {1, 1, 1}; // "Replace it"
        ASSERT_NO_FATAL_FAILURE(insert(c.scratch ? "seed=4," + scratchIn(2, 10, "0.5") : ""));
        run();
        ASSERT_EQ(result().records.size(), 3u);
        EXPECT_EQ(fe.prompts.size(), 3u);
        EXPECT_EQ(result().records[1].verified, kyVerifiedBurst::Reread);
        EXPECT_TRUE(fileAudio(second) == trackAudio(2));
        EXPECT_FALSE(temporaryFilesIn(m_dir / "out"));
    }
}

// A worn drive (seek faults: burst reads that land a few sectors off) over a scratched
// disc: whatever the burst read got wrong is read again; every track ends bit-exact and
// "ok", and a track the database confirmed was read once. With test and copy, two burst
// reads that differ are not confirmation either.
TEST_F(VerifiedBurst, SeekFaultsAndScratchesEndBitExact) {
    serve();
    int reread = 0;
    for (int seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        settings.bTestAndCopy = seed > 5;
        ASSERT_NO_FATAL_FAILURE(
            insert("seed=" + std::to_string(seed) + ",seek=0.3:-9..2," + scratchIn(2, 6, "0.3")));
        fe = ScriptedFrontend{};
        run();
        ASSERT_EQ(result().records.size(), 3u);
        for (uint32_t t = 1; t <= 3; ++t) {
            const kyFileRecord& r = result().records[t - 1];
            SCOPED_TRACE(t);
            EXPECT_EQ(r.outcome, kyFileOutcome::Ok);
            EXPECT_TRUE(fileAudio(r.path) == trackAudio(t));
            EXPECT_TRUE(r.verified == kyVerifiedBurst::Confirmed ||
                        r.verified == kyVerifiedBurst::Reread);
            EXPECT_EQ(r.accurateRip.at(0).verdict.result, kyAccurateRipResult::Match);
            if (r.verified == kyVerifiedBurst::Confirmed) {
                EXPECT_EQ(r.rereads, 0u);
                EXPECT_EQ(r.testCrc, settings.bTestAndCopy ? r.copyCrc : std::nullopt);
            }
            reread += r.verified == kyVerifiedBurst::Reread;
        }
    }
    EXPECT_GT(reread, 0) << "the faults never spoilt a burst read";
}

// A sector that never reads, filled with silence to go on: the secure read cannot
// confirm it either, and the database contradicts the track. The file keeps the secure
// read, "suspect"; never "ok".
TEST_F(VerifiedBurst, ATrackNoReadConfirmsStaysSuspect) {
    serve();
    const uint32_t at = middleOf(3);
    settings.bContinueOnReadError = true;
    ASSERT_NO_FATAL_FAILURE(insert("bad=" + std::to_string(at) + ":1000000"));
    run();
    ASSERT_EQ(result().records.size(), 3u);
    const kyFileRecord& r = result().records[2];
    EXPECT_EQ(r.outcome, kyFileOutcome::Suspect);
    EXPECT_EQ(r.verified, kyVerifiedBurst::Reread);
    ASSERT_EQ(r.accurateRip.size(), 1u);
    EXPECT_EQ(r.accurateRip[0].verdict.result, kyAccurateRipResult::Mismatch);
    EXPECT_TRUE(r.secureRead);
    EXPECT_EQ(r.filled, std::vector<uint32_t>{at});
    const kyTocEntry& e = m_toc.entries[3];
    EXPECT_EQ(r.suspect, (std::vector<kySectorSpan>{{e.start, e.start + e.length - 1}}));
    std::vector<uint8_t> want = trackAudio(3);
    std::fill_n(want.begin() + (at - e.start) * 2352, 2352, uint8_t(0));
    EXPECT_TRUE(fileAudio(r.path) == want);
    EXPECT_EQ(result().suspects, 1);
    EXPECT_NE(fe.status.find("\nSuspect: " + r.path), std::string::npos) << fe.status;
    EXPECT_NE(fe.status.find("track 3: Not accurately ripped"), std::string::npos) << fe.status;
}

// No record to check against (the server is down, answers garbage, or does not know the
// disc): every track is read in scratch correcting mode at once, and the log says so. A
// scratch that burst mode would pass on is corrected.
TEST_F(VerifiedBurst, WithoutARecordEveryTrackIsReadSecurely) {
    struct Case {
        const char* what;
        Server::Reply reply;
        bool down;
        kyAccurateRipResult state;
    };
    const Case cases[] = {
        {"down", {}, true, kyAccurateRipResult::Offline},
        {"garbage",
         {Server::answer("<html>busy</html>", 200)},
         false,
         kyAccurateRipResult::Offline},
        {"not found", {Server::answer("no", 404)}, false, kyAccurateRipResult::NotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.down) {
            // A port nothing listens on.
            uint16_t port = 0;
            const int fd = kytest::loopbackSocket(-1, port);
            ASSERT_GE(fd, 0);
            settings.szAccurateRipServer = "http://127.0.0.1:" + std::to_string(port);
            m_server.reset();
            if (m_closeLater >= 0) ::close(m_closeLater);
            m_closeLater = fd;
        } else {
            const Server::Reply reply = c.reply;
            m_server = std::make_unique<Server>([reply](const Server::Request&) { return reply; });
            settings.szAccurateRipServer = m_server->url();
        }
        ASSERT_NO_FATAL_FAILURE(insert("seed=2," + scratchIn(1, 6, "0.4")));
        fs::remove_all(m_dir / "out");
        fe = ScriptedFrontend{};
        run();
        ASSERT_EQ(result().records.size(), 3u);
        for (uint32_t t = 1; t <= 3; ++t) {
            const kyFileRecord& r = result().records[t - 1];
            SCOPED_TRACE(t);
            EXPECT_EQ(r.outcome, kyFileOutcome::Ok);
            EXPECT_EQ(r.verified, kyVerifiedBurst::Secure);
            EXPECT_TRUE(r.secureRead);
            ASSERT_EQ(r.accurateRip.size(), 1u);
            EXPECT_EQ(r.accurateRip[0].verdict.result, c.state);
            EXPECT_TRUE(fileAudio(r.path) == trackAudio(t));
            EXPECT_FALSE(rereadStatusShown(int(t)));
        }
        EXPECT_NE(result().log.find("Verified burst:       no AccurateRip record ("),
                  std::string::npos)
            << result().log;
        EXPECT_NE(result().log.find("every track read in scratch correcting mode"),
                  std::string::npos);
    }
}

// Cancelled while track 2 is read again: neither the burst read nor the unfinished secure
// one is put in place; the earlier file of that name stays as it was, nothing temporary is
// left, and the first file is kept.
TEST_F(VerifiedBurst, CancellingTheReReadLeavesTheEarlierFile) {
    serve([](kyAccurateRipPressing& p) { p.tracks[1].crc ^= 1; });
    ASSERT_NO_FATAL_FAILURE(insert());
    run(); // makes the folders and names
    ASSERT_EQ(result().records.size(), 3u);
    const std::string second = result().records[1].path;
    kytest::writeText(second, "earlier file");
    fe = ScriptedFrontend{};
    fe.onPump = [&] {
        if (fe.statuses.back() == "- Re-reading securely no 2 out of 3 -" && fe.fileProgress >= 30)
            m_runner->Cancel();
        return true;
    };
    run();
    EXPECT_TRUE(result().cancelled);
    ASSERT_EQ(result().records.size(), 2u);
    EXPECT_EQ(result().records[0].outcome, kyFileOutcome::Ok);
    EXPECT_EQ(result().records[1].outcome, kyFileOutcome::Cancelled);
    EXPECT_EQ(kytest::readText(second), "earlier file");
    EXPECT_TRUE(fileAudio(result().records[0].path) == trackAudio(1));
    EXPECT_FALSE(temporaryFilesIn(m_dir / "out"));
}

// The disk fills while track 2 is read again: the secure file cannot be written, so the
// complete burst read is kept, "suspect" (nothing confirmed it), and the summary says why.
TEST_F(VerifiedBurst, AFailedReReadKeepsTheBurstReadSuspect) {
    serve([](kyAccurateRipPressing& p) { p.tracks[1].confidence = 0; });
    ASSERT_NO_FATAL_FAILURE(insert());
    disc.tracks[2].selected = false;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    bool limited = false;
    fe.onPump = [&] {
        if (!limited && fe.statuses.back() == "- Re-reading securely no 2 out of 2 -") {
            rlimit small = old;
            small.rlim_cur = 64 * 1024; // the secure file outgrows it; the log does not
            limited = setrlimit(RLIMIT_FSIZE, &small) == 0;
        }
        return true;
    };
    run();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(limited);
    ASSERT_EQ(result().records.size(), 2u);
    const kyFileRecord& r = result().records[1];
    EXPECT_EQ(r.outcome, kyFileOutcome::Suspect);
    EXPECT_EQ(r.verified, kyVerifiedBurst::BurstKept);
    EXPECT_FALSE(r.secureRead);
    const kyTocEntry& e = m_toc.entries[2];
    EXPECT_EQ(r.suspect, (std::vector<kySectorSpan>{{e.start, e.start + e.length - 1}}));
    EXPECT_TRUE(fileAudio(r.path) == trackAudio(2));
    ASSERT_EQ(fe.errors.size(), 1u);
    EXPECT_EQ(fe.errors[0].first, KYERR_WRITE_FILE);
    EXPECT_NE(fe.status.find("the secure re-read failed ("), std::string::npos) << fe.status;
    EXPECT_NE(result().log.find("Settled:            burst read kept unconfirmed: the secure"),
              std::string::npos)
        << result().log;
    EXPECT_EQ(result().records[0].outcome, kyFileOutcome::Ok);
    EXPECT_FALSE(temporaryFilesIn(m_dir / "out"));
}

// Album normalisation measures every file before writing any: a file read again is
// measured from the secure read. The files equal those of a rip of a faultless drive.
TEST_F(VerifiedBurst, AnAlbumIsMeasuredFromTheSecureRead) {
    kytest::ScopedEnv env{"TMPDIR"};
    const fs::path temp = m_dir / "temp";
    fs::create_directories(temp);
    setenv("TMPDIR", temp.c_str(), 1);
    serve();
    settings.bNormalize = true;
    settings.bNormalizeAlbum = true;
    settings.bNormalizeMeta = false;
    settings.eNormalizeType = KYNORM_REPLAYGAIN;
    settings.fNormalizeTarget = 92.0f;
    auto ripInto = [&](const char* folder, int32_t mode, const std::string& faults) {
        settings.szOutDir = (m_dir / folder).string() + "/";
        settings.eMode = mode;
        insert(faults);
        run();
        std::vector<std::string> files;
        for (const kyFileRecord& r : result().records) {
            EXPECT_EQ(r.outcome, kyFileOutcome::Ok) << r.path;
            files.push_back(kytest::readText(r.path));
        }
        return files;
    };
    const auto verified =
        ripInto("verified", KY_READ_VERIFIED, "seed=3," + scratchIn(2, 10, "0.5"));
    ASSERT_EQ(result().records.size(), 3u);
    EXPECT_EQ(result().records[1].verified, kyVerifiedBurst::Reread);
    EXPECT_EQ(result().records[1].accurateRip.at(0).verdict.result, kyAccurateRipResult::Match);
    EXPECT_EQ(result().records[0].verified, kyVerifiedBurst::Confirmed);
    const auto plain = ripInto("plain", KY_READ_BURST, "");
    ASSERT_EQ(verified.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(verified[i] == plain[i]) << i;
    EXPECT_TRUE(fs::is_empty(temp));
}

// Outside verified burst: the database contradicting a track makes its file suspect
// unless it was read securely (every sector confirmed by agreeing reads).
TEST_F(VerifiedBurst, AContradictedTrackIsSuspectUnlessReadSecurely) {
    serve([](kyAccurateRipPressing& p) { p.tracks[1].crc ^= 1; });
    for (int32_t mode : {KY_READ_BURST, KY_READ_JITTER, KY_READ_SCRATCH}) {
        SCOPED_TRACE(mode);
        settings.eMode = mode;
        ASSERT_NO_FATAL_FAILURE(insert());
        m_runner = std::make_unique<kyBatchRunner>(settings, disc, *m_reader, fe);
        m_runner->setAccurateRip(kyLookUpAccurateRip(settings, m_toc));
        m_runner->Run();
        ASSERT_EQ(result().records.size(), 3u);
        const kyFileRecord& r = result().records[1];
        EXPECT_EQ(r.accurateRip.at(0).verdict.result, kyAccurateRipResult::Mismatch);
        EXPECT_EQ(r.verified, kyVerifiedBurst::None);
        EXPECT_TRUE(fileAudio(r.path) == trackAudio(2));
        const bool secure = mode == KY_READ_SCRATCH;
        EXPECT_EQ(r.outcome, secure ? kyFileOutcome::Ok : kyFileOutcome::Suspect);
        if (!secure) {
            const kyTocEntry& e = m_toc.entries[2];
            EXPECT_EQ(r.suspect, (std::vector<kySectorSpan>{{e.start, e.start + e.length - 1}}));
            EXPECT_EQ(result().suspects, 1);
        }
        EXPECT_EQ(result().records[0].outcome, kyFileOutcome::Ok);
        EXPECT_EQ(result().records[2].outcome, kyFileOutcome::Ok);
    }
}

} // namespace
