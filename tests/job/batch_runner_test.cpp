#include "job/batch_runner.h"

#include "cd/dsk_reader.h"
#include "cd/virtual_drive.h"
#include "filters/quantizer_factory.h"
#include "job/our_progress_display.h"
#include "job/output_naming.h"
#include "support/codec_test_files.h"
#include "support/file_text.h"
#include "support/scripted_frontend.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

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

// A three-track CUE/BIN image of noise-like audio (every sector differs, so a misplaced
// read cannot go unnoticed).
std::string writeImage(const fs::path& dir) {
    std::string bin(size_t(3) * kTrackSectors * kSector, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i + 1 < bin.size(); i += 2) {
        x = x * 1664525u + 1013904223u;
        int16_t v = static_cast<int16_t>((x >> 16) / 4); // about -12 dB
        std::memcpy(&bin[i], &v, 2);
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
