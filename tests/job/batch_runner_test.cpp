#include "job/batch_runner.h"

#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "filters/normalize_filter.h"
#include "filters/quantizer_factory.h"
#include "job/our_progress_display.h"
#include "job/output_file.h"
#include "job/output_naming.h"
#include "platform/temp_file.h"
#include "support/chain_helpers.h"
#include "support/codec_test_files.h"
#include "support/file_text.h"
#include "support/scoped_env.h"
#include "support/scripted_frontend.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <sys/resource.h>
#include <tuple>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSector = 2352;
constexpr uint32_t kTrackSectors = 225; // 3 s per track of the small image

// The bytes of a WAV file's data chunk; empty when the file is not RIFF/WAVE.
std::string wavData(const fs::path& p) {
    std::string f = kytest::readText(p);
    if (f.size() < 12 || f.compare(0, 4, "RIFF") != 0 || f.compare(8, 4, "WAVE") != 0) return {};
    size_t at = 12;
    while (at + 8 <= f.size()) {
        uint32_t size;
        std::memcpy(&size, f.data() + at + 4, 4);
        if (f.compare(at, 4, "data") == 0) return f.substr(at + 8, size);
        at += 8 + size + (size & 1);
    }
    return {};
}

// Channels and sample rate from a WAV file's "fmt " chunk; zeros when there is none.
std::pair<uint16_t, uint32_t> wavFormat(const fs::path& p) {
    std::string f = kytest::readText(p);
    size_t at = f.find("fmt ");
    if (at == std::string::npos || at + 16 > f.size()) return {0, 0};
    uint16_t channels;
    uint32_t rate;
    std::memcpy(&channels, f.data() + at + 10, 2);
    std::memcpy(&rate, f.data() + at + 12, 4);
    return {channels, rate};
}

// A three-track CUE/BIN image of noise-like audio at about -12 dBFS (every sector differs,
// so a misplaced read cannot go unnoticed), each track scaled by its entry of `levels`.
std::string writeImage(const fs::path& dir, const std::vector<double>& levels = {1.0, 1.0, 1.0}) {
    std::string bin(size_t(3) * kTrackSectors * kSector, '\0');
    uint32_t x = 12345;
    const size_t perTrack = size_t(kTrackSectors) * kSector;
    for (size_t i = 0; i + 1 < bin.size(); i += 2) {
        x = x * 1664525u + 1013904223u;
        const double v = double(static_cast<int16_t>((x >> 16) / 4)) * levels[i / perTrack];
        const int16_t s = static_cast<int16_t>(std::lround(v));
        std::memcpy(&bin[i], &s, 2);
    }
    std::ofstream(dir / "disc.bin", std::ios::binary) << bin;
    std::ofstream(dir / "disc.cue") << "FILE \"disc.bin\" BINARY\n"
                                       "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                       "  TRACK 02 AUDIO\n    INDEX 01 00:03:00\n"
                                       "  TRACK 03 AUDIO\n    INDEX 01 00:06:00\n";
    return (dir / "disc.cue").string();
}

class BatchRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_tmp = m_scratch.dir();
        m_out = m_tmp / "out";
        fs::create_directories(m_out);
        kyClearVirtualDrives();
        settings.szOutDir = m_out.string() + "/";
        settings.bEjectWhenDone = false;
    }
    void TearDown() override { kyClearVirtualDrives(); }

    // Puts `image` into a virtual drive with `faults`, opens it and makes the rows.
    void insert(std::shared_ptr<kyDiscImage> image, const std::string& faults = "") {
        m_image = image;
        std::string error;
        int index = kyAddVirtualDrive(image, faults, error);
        ASSERT_GE(index, 0) << error;
        m_device = kyVirtualDriveDevice(static_cast<uint32_t>(index));
        reader = std::make_unique<kyDskReader>();
        reader->SetSleepFunction([](std::chrono::milliseconds) {});
        const std::string path = "virtual" + std::to_string(index);
        for (uint32_t i = 0; i < reader->DriveCount(); ++i)
            if (reader->DriveRecord(i)->devicePath == path) settings.iDevice = int32_t(i);
        ASSERT_TRUE(reader->OpenDrive(uint32_t(settings.iDevice)));
        disc.makeRows(reader->Toc());
    }

    void insertSmallImage(const std::string& faults = "") {
        std::string error;
        auto image = kyDiscImage::LoadCue(writeImage(m_tmp), error);
        ASSERT_TRUE(image) << error;
        insert(std::shared_ptr<kyDiscImage>(std::move(image)), faults);
        disc.artist = "Band";
        disc.title = "Live";
        const char* names[] = {"One", "Two", "Three"};
        for (size_t i = 0; i < disc.tracks.size() && i < 3; ++i) disc.tracks[i].name = names[i];
    }

    // The image's audio of tracks first..last.
    std::string imageAudio(uint32_t first, uint32_t last) const {
        const kyDiscToc toc = m_image->Toc();
        uint32_t start = toc.entries[first].start;
        uint32_t end = toc.entries[last].start + toc.entries[last].length;
        std::string bytes(size_t(end - start) * kSector, '\0');
        EXPECT_TRUE(
            m_image->ReadSectors(start, end - start, reinterpret_cast<uint8_t*>(&bytes[0])));
        return bytes;
    }

    fs::path file(const std::string& name) const { return m_out / name; }

    void run() {
        runner = std::make_unique<kyBatchRunner>(settings, disc, *reader, fe);
        runner->Run();
    }

    kytest::ScratchDir m_scratch;
    fs::path m_tmp, m_out;
    std::shared_ptr<kyDiscImage> m_image;
    std::shared_ptr<kyVirtualDevice> m_device;
    RipSettings settings;
    DiscInfo disc;
    std::unique_ptr<kyDskReader> reader;
    ScriptedFrontend fe;
    std::unique_ptr<kyBatchRunner> runner;
};

} // namespace

TEST(BatchRunnerTexts, ElapsedTimeAndSummary) {
    EXPECT_EQ(kyBatchRunner::elapsedText(75.5), "1m15s");
    EXPECT_EQ(kyBatchRunner::elapsedText(3725), "1h2m5s");
    EXPECT_EQ(kyBatchRunner::elapsedText(12.34), "12.3s");
    EXPECT_EQ(kyBatchRunner::elapsedText(60), "1m0s");
    EXPECT_EQ(kyBatchSummary(true, 1, 1, 3), "Cancelled after 1 file");
    EXPECT_EQ(kyBatchSummary(true, 0, 0, 3), "Cancelled after 0 files");
    EXPECT_EQ(kyBatchSummary(false, 3, 2, 3), "Successfully completed 2 out of 3 files");
    EXPECT_EQ(kyBatchSummary(false, 1, 1, 1), "Successfully completed 1 out of 1 file");
}

TEST(BatchRunnerTexts, Grouping) {
    DiscInfo disc;
    auto row = [&](int32_t n, bool sel) {
        disc.appendRow(TrackEntry{n, 0, 0, "", "", false, false, sel});
    };
    row(1, true), row(2, true), row(3, false), row(4, true), row(-1, true), row(-2, true),
        row(5, true), row(6, true);
    using G = kyBatchRunner::Group;
    EXPECT_EQ(kyBatchRunner::makeGroups(disc, false),
              (std::vector<G>{{0, 0}, {1, 1}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}}));
    EXPECT_EQ(kyBatchRunner::makeGroups(disc, true),
              (std::vector<G>{{0, 1}, {3, 3}, {4, 4}, {5, 5}, {6, 7}}));
}

TEST(BatchRunnerTexts, BatchBarCountsFinishedFiles) {
    ScriptedFrontend fe;
    bool closing = false;
    OurProgressDisplay* display = new OurProgressDisplay(fe, 4, [&] { closing = true; });
    display->setFileIndex(2);
    display->ProgressChanged(50);
    EXPECT_EQ(fe.fileProgress, 50);
    EXPECT_EQ(fe.batchProgress, 62); // (2 × 100 + 50) / 4
    EXPECT_FALSE(closing);
    fe.onPump = [] { return false; };
    display->ProgressChanged(51);
    EXPECT_TRUE(closing);
    display->DestroyChain();
}

TEST_F(BatchRunnerTest, RipsEveryTrackNamedByTheDefaultPatternWithLabelsAndPlaylist) {
    insertSmallImage();
    settings.bCreatePlaylist = true;
    run();
    const auto& r = runner->result();
    EXPECT_EQ(r.fileCount, 3);
    EXPECT_EQ(r.successes, 3);
    EXPECT_FALSE(r.cancelled);
    const char* names[] = {"Band/Live/01 - One.wav", "Band/Live/02 - Two.wav",
                           "Band/Live/03 - Three.wav"};
    for (uint32_t t = 1; t <= 3; ++t) {
        std::string audio = wavData(file(names[t - 1]));
        EXPECT_EQ(audio.size(), size_t(kTrackSectors) * kSector) << t;
        EXPECT_TRUE(audio == imageAudio(t, t)) << "track " << t << " differs from the image";
    }
    // A single track is delivered whole, its last sector included (checked above), and
    // the labels and status lines read as the user sees them.
    const std::string drive = reader->DriveRecord(uint32_t(settings.iDevice))->displayName;
    EXPECT_EQ(fe.trackLabels[0], drive + " - Track 1 <One>");
    EXPECT_EQ(fe.fileLabels[0], file(names[0]).string());
    EXPECT_EQ(fe.statuses[1], "- Reading and Converting no 1 out of 3 -");
    EXPECT_NE(std::find(fe.statuses.begin(), fe.statuses.end(),
                        "- Reading and Converting no 3 out of 3 -"),
              fe.statuses.end());
    EXPECT_EQ(fe.status.rfind("Successfully completed 3 out of 3 files - total time ", 0), 0u)
        << fe.status;
    EXPECT_EQ(fe.trackLabel, "  Done!");
    EXPECT_EQ(fe.fileLabel, r.playlist);
    EXPECT_EQ(fe.batchProgress, 100);
    EXPECT_EQ(fe.title, "Batch Completed!");
    EXPECT_FALSE(fe.busy);
    EXPECT_TRUE(fe.errors.empty());
    EXPECT_TRUE(fe.prompts.empty());
    EXPECT_EQ(fe.finishedCount, 1);
    EXPECT_FALSE(fe.finishedEjected);
    EXPECT_GT(fe.pumps, 3);
    // The batch bar climbs through the files: it reaches at least 66 % before the end.
    EXPECT_NE(std::find_if(fe.batchProgressSteps.begin(), fe.batchProgressSteps.end(),
                           [](int p) { return p >= 66 && p < 100; }),
              fe.batchProgressSteps.end());

    EXPECT_EQ(r.playlist, (m_out / "Band - Live.m3u").string());
    EXPECT_EQ(kytest::readText(r.playlist), "Band/Live/01 - One.wav\r\nBand/Live/02 - Two.wav\r\n"
                                            "Band/Live/03 - Three.wav\r\n");
    EXPECT_EQ(settings.lastDirs.front(), settings.szOutDir);
}

TEST_F(BatchRunnerTest, MergingConsecutiveTracksMakesOneFile) {
    insertSmallImage();
    settings.bMergeConsecutive = true;
    run();
    EXPECT_EQ(runner->result().fileCount, 1);
    EXPECT_EQ(runner->result().successes, 1);
    const std::string drive = reader->DriveRecord(uint32_t(settings.iDevice))->displayName;
    EXPECT_EQ(fe.trackLabels[0], drive + " - Track 1 <One ..Three>");
    std::string audio = wavData(file("Band/Live/01 - One.wav"));
    EXPECT_EQ(audio.size(), size_t(3) * kTrackSectors * kSector);
    EXPECT_TRUE(audio == imageAudio(1, 3));
    EXPECT_FALSE(fs::exists(file("Band/Live/02 - Two.wav")));
    EXPECT_EQ(fe.status.rfind("Successfully completed 1 out of 1 file - total time ", 0), 0u);
}

TEST_F(BatchRunnerTest, CancellingDuringTheSecondFileKeepsTheFirstAndDeletesTheSecond) {
    insertSmallImage();
    settings.bCreatePlaylist = true;
    bool asked = false;
    fe.onPump = [&] {
        if (!asked && fe.statuses.back() == "- Reading and Converting no 2 out of 3 -" &&
            fe.fileProgress >= 20) {
            asked = true;
            runner->Cancel();
        }
        return true;
    };
    run();
    ASSERT_TRUE(asked);
    EXPECT_TRUE(fs::exists(file("Band/Live/01 - One.wav")));
    EXPECT_FALSE(fs::exists(file("Band/Live/02 - Two.wav")));
    EXPECT_FALSE(fs::exists(file("Band/Live/03 - Three.wav")));
    EXPECT_TRUE(runner->result().cancelled);
    EXPECT_EQ(fe.status.rfind("Cancelled after 1 file - total time ", 0), 0u) << fe.status;
    EXPECT_NE(std::find(fe.statuses.begin(), fe.statuses.end(), "Cancelling, please wait..."),
              fe.statuses.end());
    EXPECT_EQ(fe.trackLabel, "  Batch cancelled.");
    EXPECT_EQ(fe.batchProgress, 0);
    EXPECT_TRUE(fe.errors.empty()); // "Operation cancelled" is never shown
    EXPECT_EQ(kytest::readText(m_out / "Band - Live.m3u"), "Band/Live/01 - One.wav\r\n");

    // A cancel request with no batch running changes nothing.
    const std::string summary = fe.status;
    runner->Cancel();
    EXPECT_EQ(fe.status, summary);
}

TEST_F(BatchRunnerTest, ProgramClosingStopsLikeACancel) {
    insertSmallImage();
    fe.onPump = [&] { return fe.fileProgress < 50; };
    run();
    EXPECT_TRUE(runner->result().cancelled);
    EXPECT_EQ(runner->result().fileIndex, 0);
    EXPECT_FALSE(fs::exists(file("Band/Live/01 - One.wav")));
}

TEST_F(BatchRunnerTest, FailuresAskWhetherToAbortExceptOnTheLastFile) {
    insertSmallImage();
    settings.bNoOverwritePrompt = true;
    settings.bCreatePlaylist = true;
    // A folder where a file should go: the writer cannot create it.
    fs::create_directories(file("Band/Live/03 - Three.wav"));
    run();
    EXPECT_EQ(runner->result().successes, 2);
    EXPECT_TRUE(fe.prompts.empty()); // the last file never asks
    ASSERT_EQ(fe.errors.size(), 1u);
    EXPECT_EQ(fe.errors[0].second, "Writing - DskR");
    EXPECT_TRUE(fs::is_directory(file("Band/Live/03 - Three.wav"))); // not ours: left alone
    EXPECT_EQ(fe.status.rfind("Successfully completed 2 out of 3 files", 0), 0u);

    // A failure on the first file asks; "Yes" ends the batch there.
    fs::remove_all(m_out);
    fs::create_directories(file("Band/Live/01 - One.wav"));
    fe = ScriptedFrontend{};
    fe.answers = {kyAnswerYes};
    run();
    ASSERT_EQ(fe.prompts.size(), 1u);
    EXPECT_EQ(fe.prompts[0].text, "Do you want to abort this job?");
    EXPECT_EQ(fe.prompts[0].caption, "DskR");
    EXPECT_EQ(fe.prompts[0].buttons.size(), 2u);
    EXPECT_TRUE(runner->result().cancelled);
    EXPECT_EQ(fe.status.rfind("Cancelled after 1 file", 0), 0u);
    EXPECT_FALSE(fs::exists(file("Band/Live/02 - Two.wav")));
    EXPECT_FALSE(fs::exists(m_out / "Band - Live.m3u")); // nothing succeeded

    // "No" goes on with the rest.
    fe = ScriptedFrontend{};
    fe.answers = {kyAnswerNo};
    run();
    EXPECT_EQ(fe.prompts.size(), 1u);
    EXPECT_EQ(runner->result().successes, 2);
    EXPECT_TRUE(fs::exists(m_out / "Band - Live.m3u"));
}

TEST_F(BatchRunnerTest, NoSuccessDeletesThePlaylist) {
    insertSmallImage();
    settings.bCreatePlaylist = true;
    settings.szFileFormat = "No such format";
    fe.answers = {kyAnswerNo, kyAnswerNo};
    run();
    EXPECT_EQ(runner->result().successes, 0);
    EXPECT_EQ(fe.errors.size(), 3u);
    EXPECT_EQ(fe.prompts.size(), 2u);
    EXPECT_FALSE(fs::exists(m_out / "Band - Live.m3u"));
    EXPECT_EQ(fe.status.rfind("Successfully completed 0 out of 3 files", 0), 0u);
}

TEST_F(BatchRunnerTest, OverwriteAnswersDuringARun) {
    insertSmallImage();
    settings.bCreatePlaylist = true;
    fs::create_directories(file("Band/Live"));
    for (const char* n : {"01 - One.wav", "02 - Two.wav", "03 - Three.wav"})
        std::ofstream(file(std::string("Band/Live/") + n)) << "old";
    // Skip the first, rename the second, replace all from the third on.
    fe.answers = {2, 3, 4};
    fe.fileNames.push_back(file("renamed.wav").string());
    run();
    EXPECT_EQ(fe.prompts.size(), 3u);
    EXPECT_EQ(runner->result().successes, 3);
    EXPECT_EQ(kytest::readText(file("Band/Live/01 - One.wav")), "old");
    EXPECT_EQ(kytest::readText(file("Band/Live/02 - Two.wav")), "old");
    EXPECT_TRUE(wavData(file("renamed.wav")) == imageAudio(2, 2));
    EXPECT_TRUE(wavData(file("Band/Live/03 - Three.wav")) == imageAudio(3, 3));
    EXPECT_TRUE(settings.bNoOverwritePrompt);
    EXPECT_NE(std::find(fe.fileLabels.begin(), fe.fileLabels.end(), file("renamed.wav").string()),
              fe.fileLabels.end());
    EXPECT_EQ(kytest::readText(m_out / "Band - Live.m3u"),
              "Band/Live/01 - One.wav\r\nrenamed.wav\r\nBand/Live/03 - Three.wav\r\n");
}

TEST_F(BatchRunnerTest, NamesFromTheDiscCannotEscapeTheOutputDirectory) {
    insertSmallImage();
    settings.bCreatePlaylist = true;
    disc.artist = "..";
    disc.title = "../../escaped";
    disc.tracks[0].name = "..\\..\\..\\evil";
    disc.tracks[1].selected = disc.tracks[2].selected = false;
    run();
    EXPECT_EQ(runner->result().successes, 1);
    // Nothing beside the output folder.
    std::vector<std::string> beside;
    for (const auto& e : fs::directory_iterator(m_tmp)) beside.push_back(e.path().filename());
    std::sort(beside.begin(), beside.end());
    EXPECT_EQ(beside, (std::vector<std::string>{"disc.bin", "disc.cue", "out"}));
    EXPECT_TRUE(fs::exists(file("__/..,..,escaped/01 - ../__/__/evil.wav")));
    EXPECT_TRUE(fs::exists(m_out / ".. - ..,..,escaped.m3u"));
}

TEST_F(BatchRunnerTest, SourceRangePropertiesAndQuantizerKind) {
    insert(std::shared_ptr<kyDiscImage>(kyDiscImage::Demo()));
    kyBatchRunner r(settings, disc, *reader, fe);
    disc.artist = "The Velmora Ensemble";
    disc.year = 2026;
    disc.category = categoryIndex("misc");
    disc.tracks[0].name = "Harbour Lights";
    ASSERT_EQ(r.prepareSource(0, 0), KY_OK);
    const kyDiscToc& toc = reader->Toc();
    EXPECT_EQ(reader->RangeStart(), toc.entries[1].start);
    EXPECT_EQ(reader->RangeEnd(), toc.entries[1].start + toc.entries[1].length);
    EXPECT_STREQ(reader->GetPropertyUtf8(KYPROP_TITLE), "Harbour Lights");
    EXPECT_STREQ(reader->GetPropertyUtf8(KYPROP_ARTIST), "The Velmora Ensemble");
    EXPECT_EQ(reader->GetPropertyUtf8(KYPROP_ALBUM), nullptr);
    EXPECT_STREQ(reader->GetPropertyUtf8(KYPROP_YEAR), "2026");
    EXPECT_STREQ(reader->GetPropertyUtf8(KYPROP_GENRE), "Other");
    EXPECT_STREQ(reader->GetPropertyUtf8(KYPROP_TRACK_NUMBER), "1");

    // Pre-emphasis on every track of the range: noise-shaped dither; otherwise rounding.
    struct Case {
        size_t first, last;
        bool resample;
        uint32_t kind;
    } cases[] = {{3, 3, false, 3}, {2, 3, false, 0}, {0, 1, false, 0}, {0, 0, true, 3}};
    for (const Case& c : cases) {
        settings.bResample = c.resample;
        ASSERT_EQ(r.prepareSource(c.first, c.last), KY_OK);
        EXPECT_EQ(kyGetDefaultQuantizerKind(), c.kind) << c.first << ".." << c.last;
    }
    settings.bResample = false;

    // A user-defined range: its row is one sector longer than the range; no track number,
    // and no title left over from the row before.
    disc.appendRow(TrackEntry{-1, 588 * 100, 588 * 51, "", "", false, false, true});
    ASSERT_EQ(r.prepareSource(disc.tracks.size() - 1, disc.tracks.size() - 1), KY_OK);
    EXPECT_EQ(reader->RangeStart(), 100u);
    EXPECT_EQ(reader->RangeEnd(), 150u);
    EXPECT_EQ(reader->GetPropertyUtf8(KYPROP_TRACK_NUMBER), nullptr);
    EXPECT_EQ(reader->GetPropertyUtf8(KYPROP_TITLE), nullptr);
    EXPECT_EQ(kyGetDefaultQuantizerKind(), 0u);
}

TEST_F(BatchRunnerTest, EjectAndExitWhenDone) {
    insertSmallImage();
    for (auto& row : disc.tracks) row.selected = false;
    disc.tracks[0].selected = true;
    settings.bEjectWhenDone = true;
    settings.bExitWhenDone = true;
    run();
    EXPECT_TRUE(runner->result().ejected);
    EXPECT_TRUE(m_device->TrayOpen());
    EXPECT_TRUE(fe.finishedEjected);
    EXPECT_EQ(fe.finishPressed, 1);
}

// End to end: the demo disc in burst mode on a clean drive; every audio track comes out
// bit for bit (the pre-emphasised ones are de-emphasised, so only their length is equal).
TEST_F(BatchRunnerTest, DemoDiscToWavIsBitExact) {
    insert(std::shared_ptr<kyDiscImage>(kyDiscImage::Demo()));
    const auto& rec = m_image->Record();
    ASSERT_TRUE(rec.has_value());
    disc.artist = rec->artist;
    disc.title = rec->album;
    for (size_t i = 0; i < rec->trackTitles.size() && i < disc.tracks.size(); ++i)
        disc.tracks[i].name = rec->trackTitles[i];
    run();
    int audioTracks = 0;
    for (const TrackEntry& row : disc.tracks) audioTracks += row.data ? 0 : 1;
    EXPECT_EQ(runner->result().successes, audioTracks);
    for (const TrackEntry& row : disc.tracks) {
        if (row.data) continue;
        std::string name = buildFileName(settings, disc, &row);
        ASSERT_EQ(name.rfind("The Velmora Ensemble/Signals from the Demo Disc/", 0), 0u) << name;
        std::string audio = wavData(m_out / name);
        std::string expected = imageAudio(uint32_t(row.number), uint32_t(row.number));
        EXPECT_EQ(audio.size(), expected.size()) << name;
        if (!row.preEmphasis) EXPECT_TRUE(audio == expected) << name << " differs";
    }

    // An independent reader agrees: sox decodes the first file to the image's samples.
    if (!kytest::haveTool("sox")) GTEST_SKIP() << "sox is not installed";
    std::vector<int16_t> decoded;
    ASSERT_TRUE(kytest::soxDecode((m_out / buildFileName(settings, disc, &disc.tracks[0])).string(),
                                  decoded));
    std::string expected = imageAudio(1, 1);
    ASSERT_EQ(decoded.size() * 2, expected.size());
    EXPECT_EQ(std::memcmp(decoded.data(), expected.data(), expected.size()), 0);
}

// End to end: jitter-correcting mode on a drive that lands off after its seeks. One merged
// range, so that only the drive's first read (which the fault text lets settle) has
// nothing before it to align on.
TEST_F(BatchRunnerTest, JitterModeUnderSeekFaultsIsBitExact) {
    insertSmallImage("seed=7,seek=0.5:-9..2,settle=1");
    settings.eMode = 1;
    settings.bMergeConsecutive = true;
    run();
    ASSERT_EQ(runner->result().successes, 1);
    std::string got = wavData(file("Band/Live/01 - One.wav")), want = imageAudio(1, 3);
    ASSERT_EQ(got.size(), want.size());
    size_t diff = 0;
    while (diff < got.size() && got[diff] == want[diff]) ++diff;
    EXPECT_EQ(diff, got.size()) << "first difference in sector " << diff / kSector;
}

// A drive whose Q sub-channel is two sectors off from its audio: the batch keeps the bias
// its starts showed under the drive's name, and gives it back to the drive next time, when
// the Q can then place a start the audio cannot (a drive landing off nearly every time).
// A kept bias the drive's starts contradict is dropped.
TEST_F(BatchRunnerTest, TheDrivesSubChannelBiasIsLearnedAndKept) {
    const std::string drift = ",qshift=1:-2..-2";
    insertSmallImage("seed=21,seek=0.3:-9..9" + drift);
    const std::string drive = reader->DriveRecord(uint32_t(settings.iDevice))->vendorProduct;
    settings.eMode = 1;
    settings.bNoOverwritePrompt = true;
    disc.tracks[1].selected = disc.tracks[2].selected = false;
    // One start the audio confirms is not enough; a second one that agrees is.
    run();
    EXPECT_EQ(runner->result().successes, 1);
    EXPECT_EQ(subQBiasFor(settings, drive), std::nullopt);
    run();
    EXPECT_EQ(runner->result().successes, 1);
    EXPECT_EQ(subQBiasFor(settings, drive), -2);

    int placed = 0;
    for (const char* seed : {"seed=22", "seed=23", "seed=25"}) {
        insertSmallImage(std::string(seed) + ",seek=0.95:-9..9" + drift);
        settings.eMode = 1;
        run();
        const auto& r = runner->result();
        ASSERT_EQ(r.records.size(), 3u);
        for (uint32_t t = 1; t <= 3; ++t) {
            const auto& record = r.records[t - 1];
            const bool exact = wavData(record.path) == imageAudio(t, t);
            EXPECT_TRUE(exact || record.outcome == kyFileOutcome::Suspect) << seed << " " << t;
        }
        placed += r.records[0].outcome == kyFileOutcome::Ok;
        EXPECT_EQ(subQBiasFor(settings, drive), -2);
    }
    // Nearly every read lands off: without the bias each first start would be suspect.
    // (Where the audio happens to favour another landing, the Q is not followed.)
    EXPECT_GE(placed, 2);

    // Kept wrongly (say, from another drive of the same name): the first start the audio
    // places shows otherwise, and the bias goes.
    setSubQBias(settings, drive, 0);
    insertSmallImage("seed=24,seek=0.3:-9..9" + drift);
    settings.eMode = 1;
    run();
    EXPECT_EQ(runner->result().successes, 3);
    EXPECT_EQ(subQBiasFor(settings, drive), std::nullopt);
}

TEST_F(BatchRunnerTest, ProcessingStagesShapeTheFile) {
    insertSmallImage();
    for (auto& row : disc.tracks) row.selected = false;
    disc.tracks[0].selected = true;
    settings.bResample = true;
    settings.dwNewSampleRate = 48000;
    settings.eResamplingAlg = 1;
    settings.bCutOff = true;
    settings.iCutOffLength = 1;
    settings.iOutChannels = 1;
    run();
    ASSERT_EQ(runner->result().successes, 1);
    const fs::path out = file("Band/Live/01 - One.wav");
    EXPECT_EQ(wavFormat(out), (std::pair<uint16_t, uint32_t>{1, 48000}));
    // One second kept, then a quarter-second fade.
    EXPECT_EQ(wavData(out).size(), size_t(48000 + 12000) * 2);
}

TEST_F(BatchRunnerTest, LeadingSilenceIsRemoved) {
    insert(std::shared_ptr<kyDiscImage>(kyDiscImage::Demo()));
    for (auto& row : disc.tracks) row.selected = false;
    disc.tracks[1].selected = true; // starts with a second of digital silence
    settings.bRemoveSilence = true;
    run();
    ASSERT_EQ(runner->result().successes, 1);
    std::string audio = wavData(file(buildFileName(settings, disc, &disc.tracks[1])));
    std::string whole = imageAudio(2, 2);
    ASSERT_GT(audio.size(), 0u);
    EXPECT_LE(audio.size() + size_t(44100) * 4, whole.size());
    EXPECT_TRUE(whole.compare(whole.size() - audio.size(), audio.size(), audio) == 0);
}

// ---- normalisation ------------------------------------------------------------------

namespace {

std::vector<int16_t> samples16(const std::string& bytes) {
    std::vector<int16_t> v(bytes.size() / 2);
    std::memcpy(v.data(), bytes.data(), v.size() * 2);
    return v;
}

// The gain (dB) that turns `in` into `out`, by least squares.
double gainBetween(const std::string& in, const std::string& out) {
    const auto a = samples16(in), b = samples16(out);
    double ab = 0, aa = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        ab += double(a[i]) * b[i], aa += double(a[i]) * a[i];
    return 20 * std::log10(ab / aa);
}

// metaflac's ReplayGain track gain of a 16-bit WAV file. metaflac leaves a file's last
// complete 50 ms window out, so the copy it measures gets one window of silence first.
std::optional<double> metaflacGain(const fs::path& wav, const fs::path& work) {
    const std::string padded = (work / "padded.wav").string(), flac = (work / "m.flac").string();
    if (!kytest::run("sox " + kytest::shellQuote(wav.string()) + " " + kytest::shellQuote(padded) +
                     " pad 0 2205s") ||
        !kytest::run("flac -s -f -o " + kytest::shellQuote(flac) + " " +
                     kytest::shellQuote(padded)) ||
        !kytest::run("metaflac --add-replay-gain " + kytest::shellQuote(flac)))
        return std::nullopt;
    const std::string tag =
        kytest::capture("metaflac --show-tag=REPLAYGAIN_TRACK_GAIN " + kytest::shellQuote(flac));
    const size_t eq = tag.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return std::stod(tag.substr(eq + 1));
}

// The "rgad" chunk's radio and audiophile words, or zeros.
std::pair<uint16_t, uint16_t> rgadWords(const fs::path& p) {
    const std::string f = kytest::readText(p);
    const size_t at = f.find("rgad");
    if (at == std::string::npos || at + 16 > f.size()) return {0, 0};
    uint16_t radio, audiophile;
    std::memcpy(&radio, f.data() + at + 12, 2);
    std::memcpy(&audiophile, f.data() + at + 14, 2);
    return {radio, audiophile};
}

size_t statusIndex(const ScriptedFrontend& fe, const std::string& text) {
    auto it = std::find(fe.statuses.begin(), fe.statuses.end(), text);
    return it == fe.statuses.end() ? SIZE_MAX : size_t(it - fe.statuses.begin());
}

// Sectors the drive was asked to read with READ CD since the log was last cleared.
uint32_t sectorsRead(const kyVirtualDevice& device) {
    uint32_t n = 0;
    for (const auto& cdb : device.CommandLog())
        if (!cdb.empty() && cdb[0] == 0xBE && cdb.size() >= 9)
            n += (uint32_t(cdb[6]) << 16) | (uint32_t(cdb[7]) << 8) | cdb[8];
    return n;
}

int wavFilesIn(const fs::path& dir) {
    int n = 0;
    for (auto& e : fs::recursive_directory_iterator(dir))
        n += e.path().extension() == ".wav" || e.path().extension() == ".m3u";
    return n;
}

} // namespace

class NormalizeBatchTest : public BatchRunnerTest {
protected:
    void SetUp() override {
        BatchRunnerTest::SetUp();
        m_temp = m_tmp / "temp";
        fs::create_directories(m_temp);
        setenv("TMPDIR", m_temp.c_str(), 1);
        settings.bNormalize = true;
        settings.eNormalizeType = KYNORM_REPLAYGAIN;
        settings.fNormalizeTarget = 89.0f;
        settings.bNormalizeMeta = false;
    }
    void TearDown() override {
        // Whatever happened, no temporary file is left.
        EXPECT_TRUE(fs::is_empty(m_temp));
        BatchRunnerTest::TearDown();
    }
    void insertLevels(const std::vector<double>& levels = {1.0, 0.5, 0.2},
                      const std::string& faults = "") {
        std::string error;
        auto image = kyDiscImage::LoadCue(writeImage(m_tmp, levels), error);
        ASSERT_TRUE(image) << error;
        insert(std::shared_ptr<kyDiscImage>(std::move(image)), faults);
        disc.artist = "Band";
        disc.title = "Live";
        const char* names[] = {"One", "Two", "Three"};
        for (size_t i = 0; i < disc.tracks.size() && i < 3; ++i) disc.tracks[i].name = names[i];
        m_device->ClearCommandLog();
    }
    fs::path out(int track) const {
        const char* names[] = {"", "01 - One", "02 - Two", "03 - Three"};
        return file(std::string("Band/Live/") + names[track] + ".wav");
    }
    kytest::ScopedEnv m_env{"TMPDIR"};
    fs::path m_temp;
};

// Normal mode: each file is read and analysed, then written from the temporary file; the
// written file's ReplayGain, as metaflac measures it, is the target's.
TEST_F(NormalizeBatchTest, ModifyAudioReachesTheTargetFileByFile) {
    insertLevels();
    run();
    ASSERT_EQ(runner->result().successes, 3);
    for (int i = 1; i <= 3; ++i) {
        const std::string n = std::to_string(i);
        const size_t analysing = statusIndex(fe, "- Reading and Analyzing no " + n + " out of 3 -");
        const size_t converting = statusIndex(fe, "- Converting no " + n + " out of 3 -");
        ASSERT_NE(analysing, SIZE_MAX) << i;
        EXPECT_EQ(converting, analysing + 1) << i;
    }
    EXPECT_EQ(sectorsRead(*m_device), 3 * kTrackSectors); // each track read once
    if (!kytest::haveTool("metaflac") || !kytest::haveTool("flac") || !kytest::haveTool("sox"))
        GTEST_SKIP() << "metaflac, flac or sox is not installed";
    for (int i = 1; i <= 3; ++i) {
        auto gain = metaflacGain(out(i), m_tmp);
        ASSERT_TRUE(gain) << i;
        EXPECT_NEAR(*gain, 0.0, 0.05) << i;
    }
}

// "Store Meta data": the samples are the disc's, bit for bit, and the gains reach the
// writer's "rgad" chunk; album mode stores one album gain in every file.
TEST_F(NormalizeBatchTest, StoreMetaKeepsTheDiscAndStoresTheGains) {
    insertLevels();
    settings.bNormalizeMeta = true;
    settings.bNormalizeAlbum = true;
    run();
    ASSERT_EQ(runner->result().successes, 3);
    EXPECT_EQ(sectorsRead(*m_device), 3 * kTrackSectors);
    uint16_t album = 0;
    for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(wavData(out(i)) == imageAudio(uint32_t(i), uint32_t(i))) << i;
        auto [radio, audiophile] = rgadWords(out(i));
        EXPECT_EQ(radio >> 13, 1) << i;
        EXPECT_EQ(audiophile >> 13, 2) << i;
        if (i == 1) album = audiophile;
        EXPECT_EQ(audiophile, album) << i;                 // one album gain
        EXPECT_NE(radio & 0x3FF, audiophile & 0x3FF) << i; // tracks at their own levels
    }
}

// Album mode: every track is read once and analysed, then all are written with the same
// gain, in a second loop that creates the files.
TEST_F(NormalizeBatchTest, AlbumModeAppliesOneGainToEveryFile) {
    insertLevels();
    settings.bNormalizeAlbum = true;
    settings.bCreatePlaylist = true;
    fs::path created;
    fe.onPump = [&] {
        // No file exists before the second loop writes it.
        if (fe.status.find("Analyzing") != std::string::npos) {
            EXPECT_EQ(wavFilesIn(m_out), 0); // the playlist too is not in place yet
        }
        return true;
    };
    run();
    ASSERT_EQ(runner->result().successes, 3);
    EXPECT_EQ(sectorsRead(*m_device), 3 * kTrackSectors);
    EXPECT_LT(statusIndex(fe, "- Reading and Analyzing no 3 out of 3 -"),
              statusIndex(fe, "- Converting no 1 out of 3 -"));
    EXPECT_LT(statusIndex(fe, "- Converting no 1 out of 3 -"),
              statusIndex(fe, "- Converting no 3 out of 3 -"));
    EXPECT_EQ(fe.status.rfind("Successfully completed 3 out of 3 files", 0), 0u) << fe.status;
    std::vector<double> gains;
    for (int i = 1; i <= 3; ++i)
        gains.push_back(gainBetween(imageAudio(uint32_t(i), uint32_t(i)), wavData(out(i))));
    EXPECT_NEAR(gains[1], gains[0], 0.01);
    EXPECT_NEAR(gains[2], gains[0], 0.01);
    EXPECT_EQ(kytest::readText(m_out / "Band - Live.m3u"),
              "Band/Live/01 - One.wav\r\nBand/Live/02 - Two.wav\r\nBand/Live/03 - Three.wav\r\n");
}

// Peak and R 128 normalisation are per file even with the album switch on: each file is
// analysed and written before the next is read.
TEST_F(NormalizeBatchTest, AlbumSwitchOnlyAppliesToReplayGain) {
    insertLevels();
    settings.bNormalizeAlbum = true;
    settings.eNormalizeType = KYNORM_PEAK;
    settings.fNormalizeTarget = -1.0f;
    run();
    ASSERT_EQ(runner->result().successes, 3);
    EXPECT_EQ(statusIndex(fe, "- Converting no 1 out of 3 -") + 1,
              statusIndex(fe, "- Reading and Analyzing no 2 out of 3 -"));
    for (int i = 1; i <= 3; ++i) {
        int peak = 0;
        for (int16_t v : samples16(wavData(out(i)))) peak = std::max(peak, std::abs(int(v)));
        EXPECT_NEAR(20 * std::log10(peak / 32768.0), -1.0, 0.01) << i;
    }
}

// A cancel or a full disk in either loop of an album batch leaves no partial file and no
// temporary file (TearDown checks the temporary folder), and an existing file the batch
// was allowed to replace is untouched until its new audio is written.
TEST_F(NormalizeBatchTest, AlbumFailuresLeaveNothingBehind) {
    insertLevels();
    settings.bNormalizeAlbum = true;
    settings.bNoOverwritePrompt = true;
    fs::create_directories(out(1).parent_path());
    std::ofstream(out(1)) << "the old file";

    // Cancelled in the first loop.
    fe.onPump = [&] {
        if (fe.status == "- Reading and Analyzing no 2 out of 3 -" && fe.fileProgress >= 30)
            runner->Cancel();
        return true;
    };
    run();
    EXPECT_TRUE(runner->result().cancelled);
    EXPECT_EQ(runner->result().successes, 0);
    EXPECT_EQ(kytest::readText(out(1)), "the old file");
    EXPECT_FALSE(fs::exists(out(2)));
    EXPECT_EQ(fe.status.rfind("Cancelled after 0 files", 0), 0u) << fe.status;
    EXPECT_TRUE(fs::is_empty(m_temp));

    // Cancelled in the second loop, while the second file is written.
    fe = ScriptedFrontend{};
    fe.onPump = [&] {
        if (fe.status == "- Converting no 2 out of 3 -" && fe.fileProgress >= 30) runner->Cancel();
        return true;
    };
    run();
    EXPECT_TRUE(runner->result().cancelled);
    EXPECT_EQ(runner->result().successes, 1);
    EXPECT_GT(wavData(out(1)).size(), 0u);
    EXPECT_FALSE(fs::exists(out(2)));
    EXPECT_FALSE(fs::exists(out(3)));
    ASSERT_EQ(runner->result().records.size(), 3u);
    EXPECT_EQ(runner->result().records[1].outcome, kyBatchRunner::FileOutcome::Cancelled);
    EXPECT_TRUE(fs::is_empty(m_temp));

    // A full disk, first in the temporary files (first loop), then in the output files
    // (second loop: float output is twice the size of the disc's 16-bit audio).
    fs::remove_all(m_out / "Band");
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    for (auto [limit, subformat] :
         {std::pair<rlim_t, const char*>{400000, "PCM 16-bit"}, {800000, "Float 32-bit"}}) {
        rlimit small = old;
        small.rlim_cur = limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        settings.szDataFormat = subformat;
        fe = ScriptedFrontend{};
        fe.answers = {kyAnswerNo, kyAnswerNo}; // go on after each failure
        run();
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(runner->result().successes, 0) << subformat;
        ASSERT_EQ(fe.errors.size(), 3u) << subformat;
        for (auto& [code, caption] : fe.errors) {
            EXPECT_EQ(code, KYERR_WRITE_FILE) << subformat;
            EXPECT_EQ(caption, "Converting - DskR");
        }
        EXPECT_EQ(fe.prompts.size(), 2u); // not after the last file
        EXPECT_EQ(wavFilesIn(m_out), 0) << subformat;
        EXPECT_TRUE(fs::is_empty(m_temp));
    }
    std::signal(SIGXFSZ, oldHandler);
}

// With normalisation the disc is read by the analysis (in album mode, in the first loop):
// the checksum and what could not be confirmed come from that read, not from the replay
// that writes the file.
TEST_F(NormalizeBatchTest, ChecksumsAndSuspectSectorsComeFromTheDiscRead) {
    settings.bNormalizeMeta = true; // the samples stay the disc's
    settings.bContinueOnReadError = true;
    settings.bNoOverwritePrompt = true;
    settings.eMode = 1;
    for (bool album : {false, true}) {
        insertLevels({1.0, 0.5, 0.2}, "bad=300:1000000");
        settings.bNormalizeAlbum = album;
        settings.bTestAndCopy = album;
        fe = ScriptedFrontend{};
        run();
        const auto& r = runner->result();
        ASSERT_EQ(r.records.size(), 3u) << album;
        EXPECT_EQ(r.successes, 2) << album;
        EXPECT_EQ(r.suspects, 1) << album;
        EXPECT_EQ(r.records[1].outcome, kyFileOutcome::Suspect) << album;
        EXPECT_EQ(r.records[1].suspect, (std::vector<kySectorSpan>{{300, 300}})) << album;
        for (uint32_t t : {1u, 3u}) {
            const auto& rec = r.records[t - 1];
            EXPECT_EQ(rec.outcome, kyFileOutcome::Ok) << album << t;
            const std::string audio = imageAudio(t, t);
            EXPECT_TRUE(wavData(out(int(t))) == audio) << album << t;
            const uint32_t want = uint32_t(
                crc32(0, reinterpret_cast<const Bytef*>(audio.data()), uInt(audio.size())));
            ASSERT_TRUE(rec.copyCrc) << album << t;
            EXPECT_EQ(*rec.copyCrc, want) << album << t;
            EXPECT_EQ(rec.testCrc, album ? std::optional<uint32_t>(want) : std::nullopt);
        }
    }
}

// Stored settings the stages cannot use are refused before anything is read or created;
// a cut-off beyond any stream's length keeps the whole track.
TEST_F(NormalizeBatchTest, StageSettingsAreCheckedFirst) {
    insertLevels();
    settings.bNormalize = false;
    for (auto& row : disc.tracks) row.selected = false;
    disc.tracks[0].selected = true;
    struct Case {
        bool resample;
        uint32_t rate;
        bool cut;
        int32_t cutOff;
        kyError expected;
    } cases[] = {{true, 0xFFFFFFF0u, false, 0, KYERR_INVALID_PARAMETER},
                 {true, 0, false, 0, KYERR_INVALID_PARAMETER},
                 {false, 48000, true, -5, KYERR_INVALID_PARAMETER},
                 {false, 48000, true, 0, KYERR_INVALID_PARAMETER},
                 {true, 48000, true, 100000, KY_OK}}; // 4.8e9 frames: past any 32-bit length
    for (const Case& c : cases) {
        settings.bResample = c.resample;
        settings.dwNewSampleRate = c.rate;
        settings.bCutOff = c.cut;
        settings.iCutOffLength = c.cutOff;
        fe = ScriptedFrontend{};
        m_device->ClearCommandLog();
        run();
        if (c.expected == KY_OK) {
            EXPECT_EQ(runner->result().successes, 1);
            EXPECT_EQ(wavFormat(out(1)).second, 48000u);
            EXPECT_NEAR(double(wavData(out(1)).size()) / 4, kTrackSectors * 588 * 48000.0 / 44100,
                        2);
        } else {
            ASSERT_EQ(fe.errors.size(), 1u) << c.rate << " " << c.cutOff;
            EXPECT_EQ(fe.errors[0].first, c.expected);
            EXPECT_EQ(fe.errors[0].second, "Writing - DskR");
            EXPECT_EQ(sectorsRead(*m_device), 0u);
            EXPECT_FALSE(fs::exists(out(1)));
        }
    }
}

namespace {
// Temporary files of the runner left anywhere under `top`.
std::vector<fs::path> temporaryFiles(const fs::path& top) {
    std::vector<fs::path> found;
    for (const auto& e : fs::recursive_directory_iterator(top))
        if (kyPendingFile::isTemporaryName(e.path().filename().string())) found.push_back(e.path());
    return found;
}
} // namespace

// Earlier files of the names a batch writes are replaced only by complete files: a file
// that fails (a sector that never reads) or is cancelled leaves its earlier one as it
// was; a folder made for a file that failed is removed again.
TEST_F(BatchRunnerTest, ReplacingKeepsEarlierFilesUntilTheNewOnesAreComplete) {
    std::string error;
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::LoadCue(writeImage(m_tmp), error));
    ASSERT_TRUE(image) << error;
    const uint32_t bad = image->Toc().entries[2].start + 100;
    insert(image, "bad=" + std::to_string(bad) + ":1000000");
    disc.artist = "Band", disc.title = "Live";
    const char* names[] = {"One", "Two", "Three"};
    for (size_t i = 0; i < 3; ++i) disc.tracks[i].name = names[i];
    settings.bNoOverwritePrompt = true;
    settings.bCreatePlaylist = true;
    fs::create_directories(file("Band/Live"));
    for (const char* n : {"01 - One.wav", "02 - Two.wav", "03 - Three.wav"})
        std::ofstream(file(std::string("Band/Live/") + n)) << "old " << n;
    std::ofstream(m_out / "Band - Live.m3u") << "old list";
    fe.answers = {kyAnswerNo}; // go on after the failure
    run();
    ASSERT_EQ(runner->result().records.size(), 3u);
    const auto& failed = runner->result().records[1];
    EXPECT_EQ(failed.outcome, kyFileOutcome::Failed);
    EXPECT_EQ(failed.error, KYERR_READ_FILE);
    EXPECT_EQ(failed.errorDetail, "sector " + std::to_string(bad) + " (track 2, 00:01.25)");
    ASSERT_EQ(fe.errorDetails.size(), 1u);
    EXPECT_EQ(fe.errorDetails[0], failed.errorDetail);
    EXPECT_EQ(kytest::readText(file("Band/Live/02 - Two.wav")), "old 02 - Two.wav");
    EXPECT_TRUE(wavData(file("Band/Live/01 - One.wav")) == imageAudio(1, 1));
    EXPECT_TRUE(wavData(file("Band/Live/03 - Three.wav")) == imageAudio(3, 3));
    EXPECT_EQ(kytest::readText(m_out / "Band - Live.m3u"),
              "Band/Live/01 - One.wav\r\nBand/Live/03 - Three.wav\r\n");
    EXPECT_TRUE(temporaryFiles(m_out).empty());

    // Cancelled halfway through the second file: every earlier file stays, and the
    // playlist too.
    const std::string one = kytest::readText(file("Band/Live/01 - One.wav"));
    std::ofstream(file("Band/Live/02 - Two.wav")) << "old two";
    insert(image); // no faults
    disc.artist = "Band", disc.title = "Live";
    for (size_t i = 0; i < 3; ++i) disc.tracks[i].name = names[i];
    const std::string list = kytest::readText(m_out / "Band - Live.m3u");
    fe = ScriptedFrontend{};
    fe.onPump = [&] {
        if (fe.statuses.back() == "- Reading and Converting no 2 out of 3 -" &&
            fe.fileProgress >= 30)
            runner->Cancel();
        return true;
    };
    // The first file is read again but the second never completes.
    run();
    EXPECT_TRUE(runner->result().cancelled);
    EXPECT_EQ(kytest::readText(file("Band/Live/02 - Two.wav")), "old two");
    EXPECT_TRUE(kytest::readText(file("Band/Live/01 - One.wav")) == one);
    EXPECT_TRUE(temporaryFiles(m_out).empty());

    // A file that fails in folders made for it leaves no empty folders behind.
    fs::remove_all(m_out);
    fs::create_directories(m_out);
    insert(image, "bad=" + std::to_string(bad) + ":1000000");
    disc.artist = "Band", disc.title = "Live";
    for (size_t i = 0; i < 3; ++i) disc.tracks[i].selected = i == 1;
    fe = ScriptedFrontend{};
    run();
    EXPECT_EQ(runner->result().records.at(0).outcome, kyFileOutcome::Failed);
    EXPECT_TRUE(fs::is_empty(m_out)) << "folders left for a failed file";
}

// What the source could not confirm is kept but "suspect": counted apart, listed with its
// sectors in the summary, and in the playlist.
TEST_F(BatchRunnerTest, UnconfirmedAudioMakesTheFileSuspect) {
    insertSmallImage("bad=300:1000000");
    settings.bContinueOnReadError = true;
    settings.bCreatePlaylist = true;
    settings.eMode = 1;
    run();
    const auto& r = runner->result();
    ASSERT_EQ(r.records.size(), 3u);
    EXPECT_EQ(r.records[0].outcome, kyFileOutcome::Ok);
    EXPECT_EQ(r.records[1].outcome, kyFileOutcome::Suspect);
    EXPECT_EQ(r.records[1].suspect, (std::vector<kySectorSpan>{{300, 300}}));
    EXPECT_EQ(r.records[1].filled, std::vector<uint32_t>{300});
    EXPECT_EQ(r.records[2].outcome, kyFileOutcome::Ok);
    EXPECT_EQ(r.successes, 2);
    EXPECT_EQ(r.suspects, 1);
    std::string want = imageAudio(2, 2);
    std::memset(&want[size_t(300 - kTrackSectors) * kSector], 0, kSector);
    EXPECT_TRUE(wavData(file("Band/Live/02 - Two.wav")) == want);
    EXPECT_NE(fe.status.find("\nSuspect: " + file("Band/Live/02 - Two.wav").string() +
                             "\n  sector 300 (track 2, 00:01.00)"),
              std::string::npos)
        << fe.status;
    EXPECT_EQ(kytest::readText(m_out / "Band - Live.m3u"),
              "Band/Live/01 - One.wav\r\nBand/Live/02 - Two.wav\r\nBand/Live/03 - Three.wav\r\n");
}

// Test and copy reads every file twice; equal checksums of the audio as read leave it
// good, different ones (a scratch read differently each time, uncorrected in burst
// mode) make the whole file suspect.
TEST_F(BatchRunnerTest, TestAndCopyComparesTheChecksumsOfBothReads) {
    insertSmallImage("seed=5,scratch=500-520:0.5");
    settings.bTestAndCopy = true;
    run();
    const auto& r = runner->result();
    ASSERT_EQ(r.records.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        const auto& rec = r.records[size_t(i)];
        EXPECT_EQ(rec.outcome, kyFileOutcome::Ok) << i;
        ASSERT_TRUE(rec.testCrc && rec.copyCrc) << i;
        EXPECT_EQ(*rec.testCrc, *rec.copyCrc) << i;
    }
    const auto& third = r.records[2];
    EXPECT_EQ(third.outcome, kyFileOutcome::Suspect);
    ASSERT_TRUE(third.testCrc && third.copyCrc);
    EXPECT_NE(*third.testCrc, *third.copyCrc);
    EXPECT_EQ(third.suspect, (std::vector<kySectorSpan>{{450, 674}}));
    EXPECT_NE(
        std::find(fe.statuses.begin(), fe.statuses.end(), "- Reading and Testing no 3 out of 3 -"),
        fe.statuses.end());
    EXPECT_TRUE(wavData(file("Band/Live/01 - One.wav")) == imageAudio(1, 1));
}

// Two rows that would write one file stop the batch before anything is read.
TEST_F(BatchRunnerTest, RowsThatWouldWriteOneFileAreRefused) {
    insertSmallImage();
    settings.bCreatePlaylist = true;
    settings.aiName = {0, 1, 5, 2, 0, 0, 0, 0, 0, 0}; // "Band/Live" for every track
    run();
    EXPECT_EQ(runner->result().refused,
              "tracks 1 and 2 would both be written to " + file("Band/Live.wav").string());
    EXPECT_TRUE(runner->result().records.empty());
    ASSERT_EQ(fe.errors.size(), 1u);
    EXPECT_EQ(fe.errorDetails[0], runner->result().refused);
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(m_out)) files += e.is_regular_file();
    EXPECT_EQ(files, 0u);
}

// Encoding on workers while the next file is read: the same files, byte for byte, as on
// one thread, for every format whose encoder is deterministic; the records, playlist and
// summary in the same order; suspect files judged alike under read faults.
TEST_F(BatchRunnerTest, EncoderWorkersWriteTheFilesOneThreadWrites) {
    const struct {
        const char* format;
        const char* subformat;
        const char* extension;
    } cases[] = {
        {"Microsoft wave format", "PCM 16-bit", "wav"},
        {"Free lossless audio codec", "Lossless 16-bit", "flac"},
        {"WavPack lossless compression", "Lossless 16-bit", "wv"},
        {"MPEG audio layer III", "CBR 192 kbit/s", "mp3"},
        {"Microsoft wave format", "PCM 24-bit", "wav"}, // through the float path
    };
    // Sector 300 of track 2 never reads: it is filled and the file kept as suspect.
    insertSmallImage("bad=300:1000000");
    settings.eMode = 1;
    settings.bCreatePlaylist = true;
    settings.bNoOverwritePrompt = true;
    settings.bContinueOnReadError = true;
    settings.bAccurateRip = false;
    for (const auto& c : cases) {
        settings.szFileFormat = c.format;
        settings.szDataFormat = c.subformat;
        // One thread; two workers; two workers with no memory for queued audio, so that
        // every file waits in a temporary file.
        const std::pair<int, int> runs[] = {{1, 512}, {2, 512}, {2, 0}};
        std::map<std::string, std::string> files[3];
        std::vector<kyFileOutcome> outcomes[3];
        for (int i = 0; i < 3; ++i) {
            fs::remove_all(m_out);
            fs::create_directories(m_out);
            std::tie(settings.iEncoderThreads, settings.iEncoderQueueMiB) = runs[i];
            const int threads = runs[i].first;
            fe = ScriptedFrontend{};
            kyTempFile::resetPeak();
            run();
            if (!fe.errors.empty() && fe.errors[0].first == KYERR_MISSING_COMPONENT) break;
            if (runs[i].second == 0) EXPECT_GT(kyTempFile::peakBytesInUse(), 0u) << "no spill";
            for (const auto& f : fs::recursive_directory_iterator(m_out))
                if (f.is_regular_file() && f.path().extension() != ".log")
                    files[i][fs::relative(f.path(), m_out).string()] = kytest::readText(f.path());
            for (const auto& r : runner->result().records) outcomes[i].push_back(r.outcome);
            EXPECT_EQ(runner->result().successes, 2) << c.format << " " << threads;
            EXPECT_EQ(runner->result().suspects, 1) << c.format << " " << threads;
            EXPECT_EQ(fe.status.rfind("Successfully completed 2 out of 3 files", 0), 0u)
                << fe.status;
        }
        if (files[0].empty()) continue;             // the codec library is missing
        EXPECT_EQ(files[0].size(), 4u) << c.format; // three files and the playlist
        for (int i = 1; i < 3; ++i) {
            ASSERT_EQ(files[0].size(), files[i].size()) << c.format;
            for (const auto& [name, bytes] : files[0]) {
                ASSERT_TRUE(files[i].count(name)) << name;
                EXPECT_TRUE(files[i][name] == bytes) << name << " differs in run " << i;
            }
            EXPECT_EQ(outcomes[0], outcomes[i]) << c.format;
        }
        ASSERT_EQ(outcomes[1].size(), 3u);
        EXPECT_EQ(outcomes[1][1], kyFileOutcome::Suspect);
    }
}

// A cancel during the second file's read: the first file, read whole, is still encoded
// and kept; nothing of the second or third is left, not even a temporary file.
TEST_F(BatchRunnerTest, CancelWithEncoderWorkersKeepsTheFilesReadWhole) {
    insertSmallImage();
    settings.iEncoderThreads = 2;
    settings.szFileFormat = "Free lossless audio codec";
    settings.szDataFormat = "Lossless 16-bit";
    bool asked = false;
    fe.onPump = [&] {
        if (!asked && fe.statuses.back() == "- Reading and Converting no 2 out of 3 -" &&
            fe.fileProgress >= 30) {
            asked = true;
            runner->Cancel();
        }
        return true;
    };
    run();
    ASSERT_TRUE(asked);
    if (!fe.errors.empty() && fe.errors[0].first == KYERR_MISSING_COMPONENT)
        GTEST_SKIP() << "no FLAC library";
    EXPECT_TRUE(runner->result().cancelled);
    EXPECT_EQ(fe.status.rfind("Cancelled after 1 file - total time ", 0), 0u) << fe.status;
    std::vector<std::string> left;
    for (const auto& f : fs::recursive_directory_iterator(m_out))
        if (f.is_regular_file() && f.path().extension() != ".log")
            left.push_back(f.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"01 - One.flac"});
    if (kytest::haveTool("flac"))
        EXPECT_EQ(
            std::system(("flac -t -s '" + file("Band/Live/01 - One.flac").string() + "'").c_str()),
            0);
}

// A file too large for the disk fails on its worker: that file alone, with "Couldn't
// write to file", the others are written, and nothing partial is left.
TEST_F(BatchRunnerTest, AFullDiskOnAWorkerFailsOnlyThatFile) {
    // Tracks of 1, 6 and 1 seconds: only the second passes the size limit.
    const uint32_t sectors[] = {75, 450, 75};
    std::string bin;
    uint32_t x = 99;
    for (uint32_t s : sectors)
        for (size_t i = 0; i < size_t(s) * kSector / 2; ++i) {
            x = x * 1664525u + 1013904223u;
            const int16_t v = static_cast<int16_t>(x >> 18);
            bin.append(reinterpret_cast<const char*>(&v), 2);
        }
    std::ofstream(m_tmp / "sizes.bin", std::ios::binary) << bin;
    std::ofstream(m_tmp / "sizes.cue") << "FILE \"sizes.bin\" BINARY\n"
                                          "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                          "  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n"
                                          "  TRACK 03 AUDIO\n    INDEX 01 00:07:00\n";
    std::string error;
    auto image = kyDiscImage::LoadCue((m_tmp / "sizes.cue").string(), error);
    ASSERT_TRUE(image) << error;
    insert(std::shared_ptr<kyDiscImage>(std::move(image)));
    settings.iEncoderThreads = 2;
    settings.bNoOverwritePrompt = true;
    settings.bCreatePlaylist = true;
    settings.bAccurateRip = false;
    fe.answers = {kyAnswerNo}; // go on after the failure

    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 600000; // a second of CD audio is 176400 bytes
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    run();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(runner->result().successes, 2);
    ASSERT_EQ(fe.errors.size(), 1u);
    EXPECT_EQ(fe.errors[0].first, KYERR_WRITE_FILE);
    EXPECT_EQ(fe.errors[0].second, "Converting - DskR");
    EXPECT_EQ(fe.prompts.size(), 1u);
    ASSERT_EQ(runner->result().records.size(), 3u);
    EXPECT_EQ(runner->result().records[1].outcome, kyFileOutcome::Failed);
    // Two whole files and the playlist: nothing partial.
    int wavs = 0, others = 0;
    for (const auto& f : fs::recursive_directory_iterator(m_out)) {
        if (!f.is_regular_file() || f.path().extension() == ".log") continue;
        if (f.path().extension() == ".wav") {
            ++wavs;
            EXPECT_EQ(wavData(f.path()).size(), 75u * kSector) << f.path();
        } else if (f.path().extension() != ".m3u") {
            ++others;
        }
    }
    EXPECT_EQ(wavs, 2);
    EXPECT_EQ(others, 0);
}
