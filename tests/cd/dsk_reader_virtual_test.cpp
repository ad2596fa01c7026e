// The CD source reading the virtual drive through the SCSI pass-through method, compared
// with the disc image it answers from: clean reads in every mode, positioning errors,
// scratches, failing sectors and the pre-emphasised track of the demo disc.
#include "cd/crc32_tap.h"
#include "cd/de_emphasis.h"
#include "cd/dsk_reader.h"
#include "cd/dsk_reader_fake_drive.h"
#include "cd/dsk_reader_mode_spti.h"
#include "cd/virtual_drive.h"
#include "core/error.h"
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kSector = KY_SECTOR_BYTES;

class DskReaderVirtual : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_demo = kyDiscImage::Demo(); }
    static void TearDownTestSuite() {
        kyClearVirtualDrives();
        s_demo.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(s_demo);
        m_dir = std::filesystem::temp_directory_path() /
                ("dskr-cdsource-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override {
        if (m_reader) m_reader->Disconnect();
        m_reader.reset();
        kyClearVirtualDrives();
        std::filesystem::remove_all(m_dir);
    }

    // A reader whose only drive is a virtual drive over `image` with `faults`.
    void Use(const std::string& faults, std::shared_ptr<kyDiscImage> image = nullptr) {
        if (m_reader) m_reader->Disconnect();
        m_reader.reset();
        kyClearVirtualDrives();
        m_image = image ? image : s_demo;
        std::string error;
        ASSERT_EQ(kyAddVirtualDrive(m_image, faults, error), 0) << error;
        // No real drives: point the device search at an empty directory.
        kyOpticalDriveRoots roots;
        roots.deviceDir = m_dir.string();
        roots.cdromInfo = (m_dir / "no-info").string();
        kyDskReader::Methods methods;
        methods.passThrough = std::make_unique<kyDskReaderModeSPTI>(roots);
        m_reader = std::make_unique<kyDskReader>(std::move(methods));
        ASSERT_EQ(m_reader->ConstructionResult(), KY_OK);
        ASSERT_EQ(m_reader->DriveCount(), 1u);
        m_reader->SetSleepFunction([this](std::chrono::milliseconds ms) {
            if (ms.count() == 100) ++m_pauses;
        });
        ASSERT_TRUE(m_reader->OpenDrive(0));
    }

    // Reads [first, end) in `mode` into bytes; reopens the drive first when asked, so that
    // the drive's settled first read falls on this range.
    kyError Read(uint32_t first, uint32_t end, uint32_t mode, bool interleaved,
                 std::vector<uint8_t>& out, bool reopen = false) {
        if (reopen) {
            EXPECT_TRUE(m_reader->OpenDrive(0));
        }
        fake::Sink sink;
        sink.keepFloats = false;
        m_reader->SetReadMode(mode);
        m_reader->SetRange(first, end);
        m_reader->Connect(&sink);
        kyError e;
        if (interleaved) {
            EXPECT_STREQ(m_reader->GetInterleavedFormat(2), "PCM 16-bit");
            e = m_reader->RunInterleaved();
            out = std::move(sink.bytes);
        } else {
            e = sink.Run();
            out = sink.SampleBytes();
            if (kySucceeded(e)) {
                EXPECT_EQ(sink.endOfStreams, 1u);
            }
        }
        m_reader->Disconnect();
        return e;
    }

    std::vector<uint8_t> Image(uint32_t first, uint32_t end) const {
        std::vector<uint8_t> out(static_cast<size_t>(end - first) * kSector);
        if (end > first) {
            EXPECT_TRUE(m_image->ReadSectors(first, end - first, out.data()));
        }
        return out;
    }

    // Audio tracks of the open disc.
    std::vector<uint32_t> AudioTracks(bool withEmphasis) const {
        std::vector<uint32_t> out;
        const kyDiscToc& toc = m_reader->Toc();
        for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t)
            if (!toc.entries[t].data && (withEmphasis || !toc.entries[t].preEmphasis))
                out.push_back(t);
        return out;
    }
    uint32_t Start(uint32_t t) const { return m_reader->Toc().entries[t].start; }
    uint32_t End(uint32_t t) const {
        return m_reader->Toc().entries[t].start + m_reader->Toc().entries[t].length;
    }

    static size_t DifferingSamples(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
        size_t n = 0;
        for (size_t i = 0; i + 1 < std::min(a.size(), b.size()); i += 2)
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) ++n;
        return n + (std::max(a.size(), b.size()) - std::min(a.size(), b.size())) / 2;
    }

    // Where the first wrong sector of a read of [first, ...) came from, for failure messages.
    std::string FirstDifference(const std::vector<uint8_t>& got, uint32_t first) const {
        for (size_t s = 0; s + 1 <= got.size() / kSector; ++s) {
            const uint32_t lba = first + static_cast<uint32_t>(s);
            if (std::memcmp(got.data() + s * kSector, Image(lba, lba + 1).data(), kSector) == 0)
                continue;
            std::string from = "nowhere near";
            for (int32_t e = -12; e <= 12; ++e)
                if (static_cast<int64_t>(lba) + e >= 0 &&
                    std::memcmp(got.data() + s * kSector, Image(lba + e, lba + e + 1).data(),
                                kSector) == 0) {
                    from = "sector " + std::to_string(lba + e);
                    break;
                }
            return "first wrong sector " + std::to_string(lba) + " holds " + from;
        }
        return "no wrong sector";
    }

    static std::shared_ptr<kyDiscImage> s_demo;
    std::filesystem::path m_dir;
    std::shared_ptr<kyDiscImage> m_image;
    std::unique_ptr<kyDskReader> m_reader;
    int m_pauses = 0;
};

std::shared_ptr<kyDiscImage> DskReaderVirtual::s_demo;

// Keeps every sector the source delivers, as it delivers it.
struct Collect : kyCdAudioTap {
    std::vector<uint8_t> bytes;
    uint32_t first = 0, end = 0, next = 0;
    bool inOrder = true;
    void RunStarted(uint32_t a, uint32_t b) override {
        bytes.clear();
        first = next = a;
        end = b;
    }
    void SectorDelivered(uint32_t sector, const uint8_t* pcm) override {
        inOrder &= sector == next++;
        bytes.insert(bytes.end(), pcm, pcm + kSector);
    }
};

// CRC-32 as PKZIP defines it, bit by bit: a check on the table-driven one.
uint32_t Crc32(const std::vector<uint8_t>& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

const char* ModeName(uint32_t mode) {
    return mode == KY_READ_BURST ? "burst" : mode == KY_READ_JITTER ? "jitter" : "scratch";
}

TEST_F(DskReaderVirtual, VirtualDrivesComeAfterTheRealOnes) {
    std::string error;
    ASSERT_EQ(kyAddVirtualDrive(s_demo, "", error), 0) << error;
    kyDskReader reader;
    ASSERT_EQ(reader.ConstructionResult(), KY_OK);
    ASSERT_GE(reader.DriveCount(), 1u);
    uint32_t found = 0;
    for (uint32_t n = 0; n < reader.DriveCount(); ++n)
        if (reader.DriveRecord(n)->devicePath == "virtual0") found = n + 1;
    ASSERT_NE(found, 0u);
    ASSERT_TRUE(reader.OpenDrive(found - 1));
    EXPECT_EQ(reader.Toc().lastTrack, s_demo->Toc().lastTrack);
    EXPECT_EQ(reader.MediaCatalogNumber().value_or(""), s_demo->Mcn());
}

TEST_F(DskReaderVirtual, CleanDiscIsReproducedInEveryModeAndPath) {
    Use("");
    const auto tracks = AudioTracks(false);
    ASSERT_GE(tracks.size(), 3u);
    const uint32_t lastAudio = AudioTracks(true).back();
    struct Range {
        uint32_t first, end;
        std::string what;
    };
    std::vector<Range> ranges;
    for (uint32_t t : tracks) ranges.push_back({Start(t), End(t), "track " + std::to_string(t)});
    ranges.push_back({Start(tracks[0]), End(tracks[2]), "merged tracks"});
    ranges.push_back({Start(tracks[1]) + 10, Start(tracks[1]) + 60, "end inside a chunk"});
    ranges.push_back({Start(tracks[1]) + 5, Start(tracks[1]) + 5, "no sectors"});
    ranges.push_back({End(lastAudio) - 1, End(lastAudio), "last sector of the last track"});

    for (uint32_t mode : {KY_READ_BURST, KY_READ_JITTER, KY_READ_SCRATCH})
        for (bool interleaved : {false, true})
            for (const Range& r : ranges) {
                // The pre-emphasised track has no interleaved form; skip ranges touching it.
                m_reader->SetRange(r.first, r.end);
                if (interleaved && m_reader->RangeHasPreEmphasis()) continue;
                std::vector<uint8_t> got;
                ASSERT_EQ(Read(r.first, r.end, mode, interleaved, got), KY_OK) << r.what;
                EXPECT_TRUE(got == Image(r.first, r.end))
                    << r.what << ", " << ModeName(mode)
                    << (interleaved ? ", interleaved" : ", planar");
                kyAudioFormat f;
                m_reader->GetFormat(f);
                EXPECT_EQ(f.lengthFrames, (r.end - r.first) * 588);
            }
}

TEST_F(DskReaderVirtual, PreEmphasisedTrackIsDeEmphasised) {
    Use("");
    uint32_t emphasised = 0;
    for (uint32_t t : AudioTracks(true))
        if (m_reader->Toc().entries[t].preEmphasis) emphasised = t;
    ASSERT_NE(emphasised, 0u) << "the demo disc has a pre-emphasised track";

    // From the track before it to the track after it: only its own samples are filtered.
    const uint32_t first = Start(emphasised - 1), end = End(emphasised + 1);
    m_reader->SetRange(first, end);
    EXPECT_EQ(m_reader->GetInterleavedFormat(2), nullptr);
    m_reader->SetRange(End(emphasised) - 1, End(emphasised));
    EXPECT_EQ(m_reader->GetInterleavedFormat(2), nullptr);
    m_reader->SetTrackRange(emphasised - 1, emphasised - 1); // ends where it starts
    EXPECT_STREQ(m_reader->GetInterleavedFormat(2), "PCM 16-bit");

    fake::Sink sink;
    m_reader->SetReadMode(KY_READ_JITTER);
    m_reader->SetRange(first, end);
    m_reader->Connect(&sink);
    ASSERT_EQ(sink.Run(), KY_OK);
    m_reader->Disconnect();

    const auto image = Image(first, end);
    std::vector<float> l, r;
    for (size_t i = 0; i + 3 < image.size(); i += 4) {
        int16_t s[2];
        std::memcpy(s, &image[i], 4);
        l.push_back(s[0] / 32768.0f);
        r.push_back(s[1] / 32768.0f);
    }
    const size_t a = static_cast<size_t>(Start(emphasised) - first) * 588;
    const size_t b = static_cast<size_t>(End(emphasised) - first) * 588;
    kyDeEmphasis filter;
    filter.Reset();
    filter.Process(0, l.data() + a, static_cast<uint32_t>(b - a));
    filter.Process(1, r.data() + a, static_cast<uint32_t>(b - a));
    ASSERT_EQ(sink.floats.size(), l.size() * 2);
    size_t before = 0, inside = 0, after = 0;
    for (size_t i = 0; i < l.size(); ++i) {
        const bool same = sink.floats[2 * i] == l[i] && sink.floats[2 * i + 1] == r[i];
        if (!same) ++(i < a ? before : i < b ? inside : after);
    }
    EXPECT_EQ(before + inside + after, 0u) << before << " " << inside << " " << after;
}

// ---- positioning errors ---------------------------------------------------------------

TEST_F(DskReaderVirtual, JitterCorrectionUndoesPositioningErrors) {
    const std::string faults = "seed=7,seek=0.3:-9..2,settle=1";
    Use(faults);
    const auto tracks = AudioTracks(false);
    for (bool interleaved : {false, true}) {
        for (uint32_t t : tracks) {
            std::vector<uint8_t> got;
            ASSERT_EQ(Read(Start(t), End(t), KY_READ_JITTER, interleaved, got, true), KY_OK);
            EXPECT_EQ(got.size(), static_cast<size_t>(End(t) - Start(t)) * kSector)
                << "track " << t;
            EXPECT_EQ(DifferingSamples(got, Image(Start(t), End(t))), 0u)
                << "track " << t << ", " << FirstDifference(got, Start(t));
        }
        std::vector<uint8_t> got;
        const uint32_t first = Start(tracks.front()), end = End(tracks[2]);
        ASSERT_EQ(Read(first, end, KY_READ_JITTER, interleaved, got, true), KY_OK);
        EXPECT_EQ(DifferingSamples(got, Image(first, end)), 0u)
            << "merged, " << (interleaved ? "interleaved, " : "planar, ")
            << FirstDifference(got, first);
    }

    // Burst mode under the same errors, without the settled first read, is visibly wrong.
    Use("seed=7,seek=0.3:-9..2");
    size_t wrongTracks = 0, wrongSamples = 0;
    for (uint32_t t : tracks) {
        std::vector<uint8_t> got;
        ASSERT_EQ(Read(Start(t), End(t), KY_READ_BURST, true, got, true), KY_OK);
        const size_t n = DifferingSamples(got, Image(Start(t), End(t)));
        wrongSamples += n;
        wrongTracks += n != 0;
    }
    RecordProperty("burst_wrong_tracks", static_cast<int>(wrongTracks));
    RecordProperty("burst_wrong_samples", static_cast<int>(wrongSamples));
    EXPECT_GT(wrongTracks, 0u);
}

TEST_F(DskReaderVirtual, StartsWithNothingBeforeThemAreConfirmed) {
    // Every track read right after opening the drive, which lands off half the time:
    // nothing read before can anchor the start, so reads approaching it from different
    // points vote on where the drive really reads.
    Use("seed=3,seek=0.5:-2..2");
    size_t confirmed = 0;
    for (uint32_t t : AudioTracks(false)) {
        std::vector<uint8_t> got;
        ASSERT_EQ(Read(Start(t), End(t), KY_READ_JITTER, true, got, true), KY_OK);
        ASSERT_EQ(got.size(), static_cast<size_t>(End(t) - Start(t)) * kSector);
        const bool exact = DifferingSamples(got, Image(Start(t), End(t))) == 0;
        const kyReadReport& report = m_reader->Report();
        EXPECT_TRUE(exact || !report.clean())
            << "track " << t << " is wrong but not reported: " << FirstDifference(got, Start(t));
        if (exact && report.clean()) ++confirmed;
        EXPECT_GT(report.rereads, 0u) << "track " << t;
    }
    RecordProperty("confirmed_tracks", static_cast<int>(confirmed));
    EXPECT_EQ(confirmed, AudioTracks(false).size());
}

// ---- scratch correction ---------------------------------------------------------------

TEST_F(DskReaderVirtual, ScratchCorrectionReproducesTheDisc) {
    Use("");
    const auto tracks = AudioTracks(false);
    const uint32_t first = Start(tracks[0]), end = End(tracks[2]);
    const std::string scratch =
        "scratch=" + std::to_string(first + 1000) + "-" + std::to_string(first + 1300);
    const struct {
        std::string faults;
        bool exact;
    } cases[] = {
        {"seed=7,seek=0.2:-3..3", true},
        {"seed=7," + scratch + ":0.3", true},
        {"seed=7,seek=0.2:-3..3," + scratch + ":0.3", true},
        {"seed=7," + scratch + ":0.9", false},
    };
    for (const auto& c : cases) {
        Use(c.faults);
        std::vector<uint8_t> got;
        ASSERT_EQ(Read(first, end, KY_READ_SCRATCH, true, got), KY_OK) << c.faults;
        ASSERT_EQ(got.size(), static_cast<size_t>(end - first) * kSector) << c.faults;
        const size_t wrong = DifferingSamples(got, Image(first, end));
        if (c.exact)
            EXPECT_EQ(wrong, 0u) << c.faults << ", " << FirstDifference(got, first);
        else {
            RecordProperty("heavy_scratch_wrong_samples", static_cast<int>(wrong));
            std::printf("heavy scratches (%s): %zu of %zu samples differ\n", c.faults.c_str(),
                        wrong, got.size() / 2);
        }
    }
}

// ---- failing sectors --------------------------------------------------------------------

TEST_F(DskReaderVirtual, FailingSectorsAreRetried) {
    Use("");
    const uint32_t t = AudioTracks(false)[0];
    const uint32_t first = Start(t), end = first + 200;
    const struct {
        uint32_t lba, failures;
        kyError result;
        int pauses;
        const char* what;
    } cases[] = {
        {first, 5, KY_OK, 5, "spinning up"},
        {first + 100, 5, KY_OK, 0, "later"},
        {first + 100, 1000000, KYERR_READ_FILE, 0, "never"},
    };
    for (const auto& c : cases) {
        Use("bad=" + std::to_string(c.lba) + ":" + std::to_string(c.failures));
        m_pauses = 0;
        std::vector<uint8_t> got;
        EXPECT_EQ(Read(first, end, KY_READ_JITTER, false, got), c.result) << c.what;
        EXPECT_EQ(m_pauses, c.pauses) << c.what;
        if (c.result == KY_OK)
            EXPECT_TRUE(got == Image(first, end)) << c.what;
        else
            EXPECT_STREQ(kyErrorMessage(c.result), "Couldn't read from file");
        auto device = kyVirtualDriveDevice(0);
        EXPECT_FALSE(device->Locked()) << c.what; // unlocked after every chunk
    }
}

// ---- the drive's read offset ----------------------------------------------------------

TEST_F(DskReaderVirtual, ReadOffsetIsCorrected) {
    // Offsets of real drives, both signs, below and above a sector: with the drive's
    // offset given, every track comes out as on the disc, and what lies before the disc's
    // first sample or after its last reads as silence.
    for (int32_t n : {6, 48, 667, -472, 1858, -1164}) {
        Use("seed=" + std::to_string(n + 10000) + ",seek=0.2:-3..3,offset=" + std::to_string(n));
        m_reader->SetReadOffset(n);
        Collect tap;
        m_reader->AddAudioTap(&tap);
        const uint32_t leadOut = m_image->Sessions().front().leadOut;
        for (uint32_t t : AudioTracks(true)) {
            // Interleaved where the track allows: the tap sees the same samples either way.
            const bool emphasis = m_reader->Toc().entries[t].preEmphasis;
            fake::Sink sink;
            sink.keepFloats = false;
            m_reader->SetReadMode(KY_READ_JITTER);
            m_reader->SetTrackRange(t, t);
            m_reader->Connect(&sink);
            ASSERT_EQ(emphasis ? sink.Run() : m_reader->RunInterleaved(), KY_OK) << n;
            m_reader->Disconnect();
            std::vector<uint8_t> want = Image(Start(t), End(t));
            // Samples the drive cannot deliver: the first |n| of the disc, or its last n.
            const int64_t from = int64_t(Start(t)) * 588, to = int64_t(End(t)) * 588;
            const int64_t lo = std::max<int64_t>(0, -n), hi = int64_t(leadOut) * 588 - std::max(0, n);
            for (int64_t at = from; at < to; ++at)
                if (at < lo || at >= hi) std::memset(&want[size_t(at - from) * 4], 0, 4);
            EXPECT_TRUE(tap.bytes == want)
                << "offset " << n << ", track " << t << ": " << DifferingSamples(tap.bytes, want)
                << " samples differ";
            EXPECT_TRUE(tap.inOrder);
            EXPECT_EQ(tap.first, Start(t));
            EXPECT_TRUE(m_reader->Report().clean()) << "offset " << n << ", track " << t;
            if (!emphasis) EXPECT_TRUE(sink.bytes == tap.bytes) << "offset " << n << ", track " << t;
        }
        m_reader->RemoveAudioTap(&tap);
    }
    // Without the offset the same drive gives other samples.
    Use("offset=667");
    const uint32_t t = AudioTracks(false)[0];
    std::vector<uint8_t> got;
    ASSERT_EQ(Read(Start(t), End(t), KY_READ_BURST, true, got), KY_OK);
    EXPECT_FALSE(got == Image(Start(t), End(t)));
}

TEST_F(DskReaderVirtual, CopyChecksumIsTheCrcOfTheDeliveredAudio) {
    Use("seed=4,seek=0.3:-9..2,offset=30");
    m_reader->SetReadOffset(30);
    kyCrc32Tap crc;
    Collect tap;
    m_reader->AddAudioTap(&crc);
    m_reader->AddAudioTap(&tap);
    const uint32_t t = AudioTracks(false)[1];
    std::vector<uint8_t> got;
    ASSERT_EQ(Read(Start(t), End(t), KY_READ_JITTER, true, got), KY_OK);
    EXPECT_TRUE(crc.complete());
    EXPECT_EQ(crc.sectors(), End(t) - Start(t));
    EXPECT_EQ(crc.crc(), Crc32(tap.bytes));
    EXPECT_EQ(crc.crc(), Crc32(got));
    EXPECT_EQ(kyCrc32Tap::hex(0x0001ABCFu), "0001ABCF");
    m_reader->RemoveAudioTap(&crc);
    m_reader->RemoveAudioTap(&tap);
}

// ---- sectors that never read --------------------------------------------------------------

TEST_F(DskReaderVirtual, UnreadableSectorsAreNamedOrFilled) {
    Use("");
    const uint32_t t = AudioTracks(false)[2];
    const uint32_t bad = Start(t) + 700;
    struct Case {
        std::string faults;
        uint32_t mode;
        int32_t offset;
    } cases[] = {
        {"", KY_READ_BURST, 0},
        {"seed=9,seek=0.3:-9..2", KY_READ_JITTER, 0},
        {"seed=9,seek=0.3:-9..2", KY_READ_SCRATCH, 0},
        {"seed=5,seek=0.2:-3..3,offset=667", KY_READ_JITTER, 667},
    };
    for (const Case& c : cases) {
        const std::string faults =
            (c.faults.empty() ? "" : c.faults + ",") + "bad=" + std::to_string(bad) + ":1000000";
        const std::string what = faults + " in " + ModeName(c.mode);
        // By default the track fails, naming the sector.
        Use(faults);
        m_reader->SetReadOffset(c.offset);
        std::vector<uint8_t> got;
        EXPECT_EQ(Read(Start(t), End(t), c.mode, true, got), KYERR_READ_FILE) << what;
        const uint32_t named = bad - static_cast<uint32_t>(c.offset / 588);
        EXPECT_EQ(m_reader->Report().failedSector, std::optional<uint32_t>(named)) << what;

        // Going on, the sector is silence, named and reported; the rest is the disc's.
        Use(faults);
        m_reader->SetReadOffset(c.offset);
        m_reader->SetContinueOnReadError(true);
        Collect tap;
        m_reader->AddAudioTap(&tap);
        ASSERT_EQ(Read(Start(t), End(t), c.mode, true, got), KY_OK) << what;
        m_reader->RemoveAudioTap(&tap);
        const kyReadReport& r = m_reader->Report();
        EXPECT_EQ(r.filled, std::vector<uint32_t>{named}) << what;
        ASSERT_FALSE(r.suspect.empty()) << what;
        std::vector<uint8_t> want = Image(Start(t), End(t));
        // The drive sector feeds one disc sector, or two with an offset inside a sector.
        const uint32_t firstFilled = c.offset % 588 ? named - 1 : named;
        for (uint32_t x = firstFilled; x <= named; ++x) {
            const size_t at = size_t(x - Start(t)) * kSector;
            const size_t from = x == named ? 0 : size_t(588 - c.offset % 588) * 4;
            const size_t to = x == named && c.offset % 588 ? size_t(588 - c.offset % 588) * 4 : kSector;
            for (size_t i = from; i < to; ++i) want[at + i] = 0;
        }
        EXPECT_EQ(DifferingSamples(tap.bytes, want), 0u) << what << ", " << FirstDifference(tap.bytes, Start(t));
        // Only the filled sectors are suspect once the read after them is confirmed again.
        EXPECT_EQ(r.suspect.front().first, firstFilled) << what;
        EXPECT_EQ(r.suspect.back().last, named) << what;
    }

    // A sector that never reads just before the range (where the read that starts it is
    // realigned on the range before) does not fail it: the range is read around it.
    Use("bad=" + std::to_string(Start(t) - 2) + ":1000000");
    std::vector<uint8_t> got;
    ASSERT_EQ(Read(Start(t - 1), Start(t) - 3, KY_READ_JITTER, true, got), KY_OK);
    ASSERT_EQ(Read(Start(t), End(t), KY_READ_JITTER, true, got), KY_OK);
    EXPECT_TRUE(got == Image(Start(t), End(t)));
    EXPECT_TRUE(m_reader->Report().clean());
}

} // namespace
