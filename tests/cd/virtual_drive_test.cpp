// The drive-access methods against the virtual drive: command blocks byte for byte, answers,
// the tray, and every injected fault.
#include "cd/dsk_reader_mode_aspi.h"
#include "cd/dsk_reader_mode_cdrr.h"
#include "cd/dsk_reader_mode_spti.h"
#include "cd/virtual_drive.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace {

using Bytes = std::vector<uint8_t>;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/kydrvXXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// A SCSI pass-through method that sees no real drives, only the virtual ones.
class VirtualDriveTest : public testing::Test {
protected:
    void SetUp() override { kyClearVirtualDrives(); }
    void TearDown() override { kyClearVirtualDrives(); }

    std::unique_ptr<kyDskReaderModeSPTI> Method() {
        kyOpticalDriveRoots roots;
        roots.deviceDir = m_empty.path;
        roots.cdromInfo = m_empty.path + "/info";
        return std::make_unique<kyDskReaderModeSPTI>(roots);
    }
    // Adds a drive holding `image` with `faults` and opens it; the method stays in m_mode.
    std::shared_ptr<kyVirtualDevice> Open(std::shared_ptr<kyDiscImage> image,
                                          const std::string& faults = "") {
        std::string error;
        const int index = kyAddVirtualDrive(std::move(image), faults, error);
        EXPECT_GE(index, 0) << error;
        m_mode = Method();
        EXPECT_TRUE(
            m_mode->Open(uint32_t(index), m_plain, m_fullValid, m_full, m_largest, m_speed));
        return kyVirtualDriveDevice(uint32_t(index));
    }
    Bytes Read(uint32_t lba, uint32_t sectors, kyError* result = nullptr) {
        Bytes out(size_t(sectors) * KY_SECTOR_BYTES);
        const kyError e = m_mode->ReadAudio(out.data(), lba, sectors);
        if (result)
            *result = e;
        else
            EXPECT_EQ(e, KY_OK);
        return out;
    }
    static Bytes ImageSectors(const kyDiscImage& image, uint32_t lba, uint32_t sectors) {
        Bytes out(size_t(sectors) * KY_SECTOR_BYTES);
        EXPECT_TRUE(image.ReadSectors(lba, sectors, out.data()));
        return out;
    }

    TempDir m_empty;
    std::unique_ptr<kyDskReaderModeSPTI> m_mode;
    uint8_t m_plain[KY_PLAIN_TOC_BYTES];
    uint8_t m_full[KY_FULL_TOC_BYTES];
    bool m_fullValid = false;
    uint32_t m_largest = 0;
    uint32_t m_speed = 0;
};

TEST_F(VirtualDriveTest, EnumerationWithoutRealDrives) {
    // This machine has no /dev/sr*: the real walk finds nothing and says nothing.
    {
        kyDskReaderModeSPTI spti;
        kyDskReaderModeCDRR cdrr;
        kyDskReaderModeASPI aspi;
        for (kyDskReaderMode* m : std::initializer_list<kyDskReaderMode*>{&spti, &cdrr, &aspi})
            EXPECT_TRUE(m->DriveCount() > 0 ? m->ConstructionResult() == KY_OK
                                            : kyFailed(m->ConstructionResult()));
        EXPECT_FALSE(cdrr.ReadAudio(m_plain, 0, 0) == KY_OK);
    }
    std::string error;
    ASSERT_EQ(kyAddVirtualDrive(kyDiscImage::Demo(), "", error), 0);
    ASSERT_EQ(kyAddVirtualDrive(nullptr, "", error), 1); // a drive with no disc
    kyDskReaderModeSPTI spti;
    ASSERT_GE(spti.DriveCount(), 2u);
    EXPECT_EQ(spti.ConstructionResult(), KY_OK);
    const uint32_t first = spti.DriveCount() - 2; // after the real ones
    EXPECT_EQ(spti.DriveRecord(first)->displayName, "virtual0 <SPTI 9-0-0> Velmora Virtual CD-ROM");
    EXPECT_EQ(spti.DriveRecord(first + 1)->displayName,
              "virtual1 <SPTI 9-1-0> Velmora Virtual CD-ROM");
    EXPECT_EQ(spti.VirtualIndex(first + 1), 1);
    EXPECT_EQ(spti.DriveRecord(first + 2), nullptr);
    bool valid;
    uint32_t largest, speed;
    // A drive without a disc does not open, but stays attached for its tray: reading it
    // fails.
    EXPECT_FALSE(spti.Open(first + 1, m_plain, valid, m_full, largest, speed));
    EXPECT_EQ(spti.ReadAudio(m_plain, 0, 1), KYERR_READ_FILE);
    EXPECT_TRUE(spti.Open(first, m_plain, valid, m_full, largest, speed));
    EXPECT_FALSE(spti.Open(first + 5, m_plain, valid, m_full, largest, speed));
}

TEST_F(VirtualDriveTest, NodesThatAreNoDrivesAreSkippedWithAReason) {
    TempDir dev;
    std::ofstream(dev.path + "/sr0") << "not a drive";
    std::filesystem::create_directory(dev.path + "/sr1");
    std::ofstream(dev.path + "/info") << "CD-ROM information\n\ndrive name:\tsr2\tsr1\tsr0\n";
    kyOpticalDriveRoots roots{dev.path, dev.path + "/info"};
    kyDskReaderModeSPTI spti(roots);
    kyDskReaderModeCDRR cdrr(roots);
    EXPECT_EQ(spti.DriveCount(), 0u);
    EXPECT_EQ(spti.ConstructionResult(), KYERR_UNKNOWN);
    EXPECT_EQ(cdrr.DriveCount(), 0u);
    for (const kyDskReaderMode* m :
         {static_cast<kyDskReaderMode*>(&spti), static_cast<kyDskReaderMode*>(&cdrr)}) {
        ASSERT_EQ(m->SkippedDevices().size(), 3u);
        std::map<std::string, std::string> reasons;
        for (const kySkippedDevice& s : m->SkippedDevices())
            reasons[s.devicePath.substr(dev.path.size() + 1)] = s.reason;
        EXPECT_NE(reasons["sr2"].find("missing"), std::string::npos);
        EXPECT_FALSE(reasons["sr0"].empty());
        EXPECT_FALSE(reasons["sr1"].empty());
    }
}

TEST_F(VirtualDriveTest, CommandBlocksByteForByte) {
    auto device = Open(kyDiscImage::Demo());
    const auto& log = device->CommandLog();
    ASSERT_GE(log.size(), 4u);
    const std::vector<Bytes> opening = {
        {0, 0, 0, 0, 0, 0},
        {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0},
        {0x43, 0, 2, 0, 0, 0, 0, 0x08, 0x9C, 0},
        {0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 32, 0},
    };
    EXPECT_EQ(std::vector<Bytes>(log.end() - 4, log.end()), opening)
        << "TEST UNIT READY, READ TOC 0 and 2, MODE SENSE";
    EXPECT_EQ(log.front(), Bytes({0x12, 0, 0, 0, 36, 0})) << "INQUIRY at enumeration";

    struct Case {
        const char* what;
        std::function<void()> call;
        Bytes bytes;
    };
    uint8_t buffer[3 * KY_SECTOR_BYTES];
    const std::vector<Case> cases = {
        {"READ CD",
         [&] { m_mode->ReadAudio(buffer, 0x012345, 3); },
         {0xBE, 0x04, 0x00, 0x01, 0x23, 0x45, 0, 0, 3, 0x10, 0, 0}},
        {"lock", [&] { m_mode->LockMedium(true); }, {0x1E, 0, 0, 0, 1, 0}},
        {"unlock", [&] { m_mode->LockMedium(false); }, {0x1E, 0, 0, 0, 0, 0}},
        {"STOP PLAY/SCAN", [&] { m_mode->StopAudio(); }, {0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"SET CD SPEED 4",
         [&] { m_mode->SetReadSpeed(4); },
         {0xBB, 0, 0x02, 0xC2, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
        {"SET CD SPEED max",
         [&] { m_mode->SetReadSpeed(255); },
         {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
        {"TEST UNIT READY", [&] { m_mode->IsReady(); }, {0, 0, 0, 0, 0, 0}},
        {"eject", [&] { m_mode->EjectOrLoad(false); }, {0x1B, 0, 0, 0, 2, 0}},
        {"load", [&] { m_mode->EjectOrLoad(true); }, {0x1B, 0, 0, 0, 3, 0}},
        {"MCN", [&] { m_mode->MediaCatalogNumber(); }, {0x42, 0, 0x40, 2, 0, 0, 0, 0, 24, 0}},
        {"ISRC", [&] { m_mode->Isrc(3); }, {0x42, 0, 0x40, 3, 0, 0, 3, 0, 24, 0}},
        {"close", [&] { m_mode->Close(); }, {0x1E, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        device->ClearCommandLog();
        c.call();
        ASSERT_EQ(log.size(), 1u) << c.what;
        EXPECT_EQ(log[0], c.bytes) << c.what;
    }
    EXPECT_EQ(device->RequestedSpeed(), 0xFFFF);
}

TEST_F(VirtualDriveTest, LargeReadsAreSplitAtTheLargestTransfer) {
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::Demo());
    auto device = Open(image);
    EXPECT_EQ(m_largest, 65536u);
    device->ClearCommandLog();
    const Bytes got = Read(100, 60);
    EXPECT_EQ(got, ImageSectors(*image, 100, 60));
    ASSERT_EQ(device->CommandLog().size(), 3u); // 27 + 27 + 6 sectors
    EXPECT_EQ(device->CommandLog()[2][8], 6);
}

TEST_F(VirtualDriveTest, SpeedConversions) {
    EXPECT_EQ(kyDskReaderModeMmc::SpeedToKBs(4), 706);
    EXPECT_EQ(kyDskReaderModeMmc::SpeedToKBs(255), 0xFFFF);
    EXPECT_EQ(kyDskReaderModeMmc::SpeedToKBs(1), 176);
    EXPECT_EQ(kyDskReaderModeMmc::KBsToSpeedFactor(353), 2u);
    EXPECT_EQ(kyDskReaderModeMmc::KBsToSpeedFactor(0), 0u);
    // The drive's own MODE SENSE answer: a 2x drive claims 353 KB/s.
    Open(kyDiscImage::Demo(), "speed=2");
    EXPECT_EQ(m_speed, 2u);
    kyClearVirtualDrives();
    Open(kyDiscImage::Demo());
    EXPECT_EQ(m_speed, 48u);
}

TEST_F(VirtualDriveTest, MisalignedBufferReadsThroughTheBounceBuffer) {
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::Demo());
    Open(image);
    Bytes aligned = Read(2000, 20);
    std::vector<uint8_t> raw(20 * KY_SECTOR_BYTES + 64);
    uint8_t* odd = raw.data() + 1;
    while ((reinterpret_cast<uintptr_t>(odd) & 15) == 0) ++odd;
    ASSERT_EQ(m_mode->ReadAudio(odd, 2000, 20), KY_OK);
    EXPECT_EQ(Bytes(odd, odd + aligned.size()), aligned);
    EXPECT_EQ(aligned, ImageSectors(*image, 2000, 20));
}

TEST_F(VirtualDriveTest, AudioWithSubQTellsWhereTheHeadLanded) {
    // 40 sectors (more than one transfer: the Q stays with its sector across commands),
    // after seeks that land 3 sectors late; with Q faults, and from a drive without Q.
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::Demo());
    const struct {
        const char* faults;
        kyError result;
        uint32_t frames; // valid position frames, at least
        bool consistent;
        int32_t offset;
    } cases[] = {
        {"seek=1:3..3", KY_OK, 38, true, 3},
        {"", KY_OK, 38, true, 0},
        {"seek=1:3..3,qshift=1:-1..-1", KY_OK, 38, true, 2},
        {"seek=1:3..3,qcrc=1", KY_OK, 0, true, 0},
        {"seek=1:3..3,qcrc=0.5", KY_OK, 8, true, 3},
        {"subq=0", KYERR_MISSING_COMPONENT, 0, true, 0},
    };
    for (const auto& c : cases) {
        kyClearVirtualDrives();
        Open(image, c.faults);
        const uint32_t lba = 2000, n = 40;
        Bytes audio(size_t(n) * KY_SECTOR_BYTES), q(size_t(n) * 16);
        kyError e = KY_OK;
        // A drive that cannot is asked a few times before it is taken at its word.
        for (int attempt = 0; attempt < 4; ++attempt)
            if ((e = m_mode->ReadAudioSubQ(audio.data(), q.data(), lba, n)) != KYERR_READ_FILE)
                break;
        ASSERT_EQ(e, c.result) << c.faults;
        if (e != KY_OK) {
            Read(lba, n); // plain reads still work
            continue;
        }
        const int32_t landed = std::string(c.faults).find("seek") != std::string::npos ? 3 : 0;
        EXPECT_EQ(audio, ImageSectors(*image, lba + landed, n)) << c.faults;
        const kySubQLanding l = kyLandingBySubQ(q.data(), n, lba);
        EXPECT_GE(l.frames, c.frames) << c.faults;
        EXPECT_EQ(l.consistent, c.consistent) << c.faults;
        if (l.frames) {
            EXPECT_EQ(l.offset, c.offset) << c.faults;
        }
    }
}

TEST_F(VirtualDriveTest, CatalogueNumberAndIsrc) {
    Open(kyDiscImage::Demo());
    EXPECT_EQ(m_mode->MediaCatalogNumber(), std::optional<std::string>("4012345678901"));
    EXPECT_EQ(m_mode->Isrc(1), std::optional<std::string>("ZZVLM2600001"));
    EXPECT_EQ(m_mode->Isrc(5), std::optional<std::string>("ZZVLM2600005"));
    EXPECT_EQ(m_mode->Isrc(6), std::nullopt);  // a track without one
    EXPECT_EQ(m_mode->Isrc(42), std::nullopt); // no such track
    EXPECT_EQ(m_mode->Isrc(0), std::nullopt);

    uint8_t answer[24] = {};
    std::memcpy(answer + 9, "1234567890123", 13);
    EXPECT_EQ(kyDskReaderModeMmc::SubChannelText(answer, 13), std::nullopt); // MCVAL clear
    answer[8] = 0x80;
    EXPECT_EQ(kyDskReaderModeMmc::SubChannelText(answer, 13),
              std::optional<std::string>("1234567890123"));
    answer[15] = 0x01; // junk ends the text
    EXPECT_EQ(kyDskReaderModeMmc::SubChannelText(answer, 13), std::optional<std::string>("123456"));
}

TEST_F(VirtualDriveTest, InquiryTextIsCleanedUp) {
    uint8_t inquiry[36] = {5};
    std::memcpy(inquiry + 8, "HL-DT-STDVDRAM GH24NSB0 ", 24);
    EXPECT_EQ(kyDskReaderModeMmc::InquiryName(inquiry, 36), "HL-DT-STDVDRAM GH24NSB0");
    inquiry[10] = 0xC3;
    inquiry[11] = 0;
    EXPECT_EQ(kyDskReaderModeMmc::InquiryName(inquiry, 36), "HL  T-STDVDRAM GH24NSB0");
    EXPECT_EQ(kyDskReaderModeMmc::InquiryName(inquiry, 20), "");
}

TEST_F(VirtualDriveTest, EnhancedDemoDiscTableOfContents) {
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::Demo());
    Open(image);
    ASSERT_TRUE(m_fullValid);
    kyDiscToc toc;
    ASSERT_TRUE(toc.BuildFromPlain(m_plain, KY_PLAIN_TOC_BYTES));
    const uint32_t plainLength6 = toc.entries[6].length;
    toc.RefineFromFull(m_full, KY_FULL_TOC_BYTES);
    const kyDiscToc expected = image->Toc();
    EXPECT_EQ(toc.firstTrack, 1u);
    EXPECT_EQ(toc.lastTrack, 7u);
    for (uint32_t t = 1; t <= 8; ++t) {
        EXPECT_EQ(toc.entries[t].start, expected.entries[t].start) << t;
        EXPECT_EQ(toc.entries[t].length, expected.entries[t].length) << t;
        EXPECT_EQ(toc.entries[t].data, expected.entries[t].data) << t;
        EXPECT_EQ(toc.entries[t].preEmphasis, expected.entries[t].preEmphasis) << t;
        EXPECT_EQ(toc.entries[t].copyPermitted, expected.entries[t].copyPermitted) << t;
    }
    // The last audio track ends at the first session's lead-out, not where the data begins.
    const kyDiscSession& first = image->Sessions().at(0);
    EXPECT_EQ(toc.entries[6].start + toc.entries[6].length, first.leadOut);
    EXPECT_EQ(plainLength6, toc.entries[7].start - toc.entries[6].start);
    EXPECT_EQ(toc.entries[7].start, first.leadOut + 11400);
    EXPECT_EQ(toc.entries[7].data, 1);
    EXPECT_EQ(toc.entries[4].preEmphasis, 1);
    EXPECT_EQ(toc.entries[8].length, 0u);
    EXPECT_EQ(toc.entries[8].start, image->LeadOut());
    // Track 2 starts with a second of digital silence.
    const Bytes start = Read(toc.entries[2].start, 75);
    EXPECT_TRUE(std::all_of(start.begin(), start.end(), [](uint8_t b) { return b == 0; }));
    const Bytes after = Read(toc.entries[2].start + 80, 10);
    EXPECT_FALSE(std::all_of(after.begin(), after.end(), [](uint8_t b) { return b == 0; }));
    // The data track does not read as CD-DA, nor does the gap between the sessions.
    kyError e;
    Read(toc.entries[7].start, 1, &e);
    EXPECT_EQ(e, KYERR_READ_FILE);
    Read(first.leadOut + 100, 1, &e);
    EXPECT_EQ(e, KYERR_READ_FILE);
    Read(image->LeadOut() - 1, 2, &e);
    EXPECT_EQ(e, KYERR_READ_FILE);
}

TEST_F(VirtualDriveTest, EjectAndLoadChangeReadiness) {
    auto device = Open(kyDiscImage::Demo());
    EXPECT_TRUE(m_mode->IsReady());
    ASSERT_TRUE(m_mode->LockMedium(true));
    EXPECT_FALSE(m_mode->EjectOrLoad(false)); // removal prevented
    EXPECT_TRUE(m_mode->IsReady());
    ASSERT_TRUE(m_mode->LockMedium(false));
    EXPECT_TRUE(m_mode->EjectOrLoad(false));
    EXPECT_TRUE(device->TrayOpen());
    EXPECT_FALSE(m_mode->IsReady());
    kyError e;
    Read(0, 1, &e);
    EXPECT_EQ(e, KYERR_READ_FILE);
    EXPECT_EQ(m_mode->MediaCatalogNumber(), std::nullopt);
    EXPECT_TRUE(m_mode->EjectOrLoad(true));
    EXPECT_TRUE(m_mode->IsReady());
    Read(0, 1);
}

TEST(FaultSpec, Parse) {
    kyFaultSpec f;
    std::string error;
    ASSERT_TRUE(kyFaultSpec::Parse(
        "seed=7,seek=0.2:-9..2,settle=1,error=0.01,bad=1200:5,scratch=3000-3100:0.3,speed=8,"
        "offset=-472",
        f, error))
        << error;
    EXPECT_EQ(f.readOffset, -472);
    EXPECT_EQ(f.seed, 7u);
    EXPECT_DOUBLE_EQ(f.seekProbability, 0.2);
    EXPECT_EQ(f.seekLow, -9);
    EXPECT_EQ(f.seekHigh, 2);
    EXPECT_EQ(f.settle, 1u);
    EXPECT_DOUBLE_EQ(f.errorProbability, 0.01);
    ASSERT_EQ(f.bad.size(), 1u);
    EXPECT_EQ(f.bad[0].lba, 1200u);
    EXPECT_EQ(f.bad[0].count, 5u);
    ASSERT_EQ(f.scratch.size(), 1u);
    EXPECT_EQ(f.scratch[0].first, 3000u);
    EXPECT_EQ(f.scratch[0].last, 3100u);
    EXPECT_DOUBLE_EQ(f.scratch[0].probability, 0.3);
    EXPECT_DOUBLE_EQ(f.speed, 8);
    ASSERT_TRUE(kyFaultSpec::Parse("seek=0.5:3,bad=1:1,bad=2:2", f, error)) << error;
    EXPECT_EQ(f.seekLow, -3);
    EXPECT_EQ(f.seekHigh, 3);
    EXPECT_EQ(f.bad.size(), 2u);
    ASSERT_TRUE(kyFaultSpec::Parse("", f, error));
    EXPECT_EQ(f.seekProbability, 0);
    EXPECT_TRUE(f.subQ);
    ASSERT_TRUE(kyFaultSpec::Parse("subq=0,qcrc=0.25,qshift=1:-1..-1", f, error)) << error;
    EXPECT_FALSE(f.subQ);
    EXPECT_DOUBLE_EQ(f.qCrcProbability, 0.25);
    EXPECT_DOUBLE_EQ(f.qShiftProbability, 1);
    EXPECT_EQ(f.qShiftLow, -1);
    EXPECT_EQ(f.qShiftHigh, -1);
    ASSERT_TRUE(kyFaultSpec::Parse("qshift=0.5:2", f, error)) << error;
    EXPECT_EQ(f.qShiftLow, -2);
    EXPECT_EQ(f.qShiftHigh, 2);

    for (const char* bad :
         {"seed",          "seed=-1",       "seek=1.5:3",        "seek=0.5:0",
          "seek=0.5:0..0", "seek=0.5:4..2", "seek=0.5",          "error=2",
          "error=x",       "bad=12",        "bad=a:1",           "scratch=5-3:0.1",
          "scratch=1-2",   "speed=0",       "speed=-3",          "wobble=1",
          "seed=1,",       ",seed=1",       "seed=1,,error=0.1", "settle=1.5",
          "offset=",       "offset=1.5",    "offset=200000",     "subq=2",
          "subq=",         "qcrc=1.5",      "qshift=0.5:0",      "qshift=2:1",
          "qshift=1:3..1"}) {
        EXPECT_FALSE(kyFaultSpec::Parse(bad, f, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_EQ(kyAddVirtualDrive(kyDiscImage::Demo(), "speed=fast", error), -1);
    EXPECT_NE(error.find("speed=fast"), std::string::npos);
}

TEST_F(VirtualDriveTest, SeekErrorsHappenAtSeeksAndStreamOn) {
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::Demo());
    Open(image, "seed=3,seek=1:5,settle=1");
    // The settled first read is exact.
    EXPECT_EQ(Read(1000, 10), ImageSectors(*image, 1000, 10));
    // A jump lands the head off by a nonzero offset of at most five sectors...
    const Bytes jumped = Read(5000, 10);
    int offset = 0;
    for (int o = -5; o <= 5; ++o)
        if (o != 0 && jumped == ImageSectors(*image, uint32_t(5000 + o), 10)) offset = o;
    ASSERT_NE(offset, 0);
    // ...and the read that continues it streams on from where the head is.
    EXPECT_EQ(Read(5010, 10), ImageSectors(*image, uint32_t(5010 + offset), 10));
    // An overlapping back-read is a seek again.
    Read(5015, 10);
    int seeks = 0;
    for (int i = 0; i < 20; ++i)
        seeks += Read(6000 + 50 * i, 4) != ImageSectors(*image, 6000 + 50 * i, 4);
    EXPECT_EQ(seeks, 20);
}

TEST_F(VirtualDriveTest, ReadOffsetShiftsTheSamplesDelivered) {
    // A drive with read offset N delivers, for sector L, the samples that begin N samples
    // before L on the disc; what lies outside the disc reads as silence.
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::Demo());
    const uint32_t leadOut = image->Sessions().front().leadOut;
    auto samples = [&](int64_t first, uint32_t count) {
        Bytes out(size_t(count) * 4, 0);
        for (uint32_t i = 0; i < count; ++i) {
            const int64_t at = first + i;
            if (at < 0 || at >= int64_t(leadOut) * 588) continue;
            Bytes sector = ImageSectors(*image, uint32_t(at / 588), 1);
            std::memcpy(&out[size_t(i) * 4], &sector[size_t(at % 588) * 4], 4);
        }
        return out;
    };
    for (int32_t n : {6, 667, -472, -1164, 588, -588}) {
        kyClearVirtualDrives();
        Open(image, "offset=" + std::to_string(n));
        for (uint32_t lba : {0u, 1u, 5000u, leadOut - 3}) {
            EXPECT_EQ(Read(lba, 3), samples(int64_t(lba) * 588 - n, 3 * 588))
                << "offset " << n << ", sector " << lba;
        }
    }
}

TEST_F(VirtualDriveTest, ErrorsAndBadSectors) {
    std::string error;
    ASSERT_EQ(kyAddVirtualDrive(kyDiscImage::Demo(), "error=1", error), 0);
    auto mode = Method();
    EXPECT_FALSE(mode->Open(0, m_plain, m_fullValid, m_full, m_largest, m_speed));
    kyClearVirtualDrives();

    Open(kyDiscImage::Demo(), "seed=11,error=0.25");
    int failures = 0;
    for (int i = 0; i < 400; ++i) failures += !m_mode->IsReady();
    EXPECT_GT(failures, 50);
    EXPECT_LT(failures, 150);
    kyClearVirtualDrives();

    Open(kyDiscImage::Demo(), "bad=1200:2");
    kyError e;
    Read(1100, 10, &e);
    EXPECT_EQ(e, KY_OK);
    Read(1195, 10, &e);
    EXPECT_EQ(e, KYERR_READ_FILE);
    Read(1200, 1, &e);
    EXPECT_EQ(e, KYERR_READ_FILE);
    Read(1195, 10, &e);
    EXPECT_EQ(e, KY_OK); // spun up
    // Opening again brings the spin-up back.
    ASSERT_TRUE(m_mode->Open(0, m_plain, m_fullValid, m_full, m_largest, m_speed));
    Read(1200, 1, &e);
    EXPECT_EQ(e, KYERR_READ_FILE);
}

TEST_F(VirtualDriveTest, ScratchesCorruptDifferentlyEachRead) {
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::Demo());
    Open(image, "seed=5,scratch=3000-3009:1");
    const Bytes clean = ImageSectors(*image, 2990, 30);
    const Bytes a = Read(2990, 30);
    const Bytes b = Read(2990, 30);
    auto sector = [](const Bytes& v, uint32_t i) {
        return Bytes(v.begin() + i * KY_SECTOR_BYTES, v.begin() + (i + 1) * KY_SECTOR_BYTES);
    };
    for (uint32_t i = 0; i < 30; ++i) {
        const bool scratched = i >= 10 && i < 20;
        EXPECT_EQ(sector(a, i) != sector(clean, i), scratched) << i;
        if (scratched) {
            EXPECT_NE(sector(a, i), sector(b, i)) << i;
        }
    }
    kyClearVirtualDrives();
    // With q below 1 some reads of a sector come back right.
    Open(image, "seed=5,scratch=3000-3000:0.5");
    int bad = 0;
    for (int i = 0; i < 40; ++i) bad += Read(3000, 1) != ImageSectors(*image, 3000, 1);
    EXPECT_GT(bad, 5);
    EXPECT_LT(bad, 35);
}

TEST_F(VirtualDriveTest, SameSeedSameFaults) {
    auto image = std::shared_ptr<kyDiscImage>(kyDiscImage::Demo());
    auto run = [&](const std::string& faults) {
        kyClearVirtualDrives();
        std::string error;
        EXPECT_EQ(kyAddVirtualDrive(image, faults, error), 0);
        m_mode = Method();
        std::vector<Bytes> results;
        // Opening may fail at random too; trying again draws new faults.
        int attempts = 1;
        while (!m_mode->Open(0, m_plain, m_fullValid, m_full, m_largest, m_speed) && attempts < 20)
            ++attempts;
        results.push_back(Bytes(1, uint8_t(attempts)));
        for (uint32_t i = 0; i < 30; ++i) {
            kyError e;
            Bytes data = Read(2950 + 13 * (i % 7) + i, 8, &e);
            data.push_back(e == KY_OK);
            results.push_back(data);
        }
        return results;
    };
    const std::string faults = "seed=7,seek=0.4:-9..2,error=0.1,scratch=3000-3100:0.3,speed=2000";
    const auto first = run(faults);
    EXPECT_EQ(first, run(faults));
    EXPECT_NE(first, run("seed=8,seek=0.4:-9..2,error=0.1,scratch=3000-3100:0.3,speed=2000"));
}

} // namespace
