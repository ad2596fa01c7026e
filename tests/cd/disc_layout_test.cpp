// Pregaps, indexes and CD-Text read from the virtual drive through the CD source: the
// search finds every gap and index of the disc model exactly, with few sub-channel reads,
// also while the drive fails commands, lands off target and mixes catalogue and ISRC
// frames into the Q; a drive without sub-channel data gives a clear failure. The CD-Text
// read names the disc when no database does.
#include "cd/disc_image_builder.h"
#include "cd/dsk_reader.h"
#include "cd/dsk_reader_fake_drive.h"
#include "cd/dsk_reader_mode_cdrr.h"
#include "cd/dsk_reader_mode_spti.h"
#include "cd/virtual_drive.h"
#include "metadata/disc_lookup.h"
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {

// 20 tracks of silence with pregaps of 0 to 4 seconds (the common 2 s, one sector, one
// either side of 2 s, ...), INDEX 02 and 03 in some tracks (one right after INDEX 01, one
// on a track's last sector), a catalogue number, ISRCs and CD-Text.
std::shared_ptr<kyDiscImage> GapDisc(bool hiddenTrack = false) {
    static const uint32_t kPregaps[20] = {0,   150, 1, 300, 75,  0, 149, 151, 2,   299,
                                          150, 37,  0, 225, 150, 3, 298, 0,   150, 1};
    kyDiscImageBuilder b;
    uint32_t cursor = 0;
    for (uint32_t n = 1; n <= 20; ++n) {
        kyDiscTrack t;
        t.number = n;
        t.pregapStart = cursor;
        cursor += n == 1 ? (hiddenTrack ? 1234 : 0) : kPregaps[n - 1];
        t.start = cursor;
        const uint32_t length = 2000 + 977 * ((n * 7) % 11);
        if (n == 3) t.indexes = {t.start + 500};
        if (n == 7) t.indexes = {t.start + 1, t.start + 1800};
        if (n == 12) t.indexes = {t.start + 100, t.start + 101, t.start + length - 1};
        if (n == 20) t.indexes = {t.start + length - 1};
        if (n % 4 == 1) t.isrc = "DEA12" + std::to_string(9900000 + n);
        cursor += length;
        b.Tracks().push_back(t);
    }
    kyDiscSession s;
    s.leadOut = cursor;
    b.Sessions().push_back(s);
    b.Mcn() = "4006381333931";
    b.CdText().disc.title = "Gaps and Indexes";
    b.CdText().disc.performer = "The Testers";
    b.CdText().tracks.resize(21);
    for (uint32_t n = 1; n <= 20; ++n)
        b.CdText().tracks[n].title = "Song " + std::to_string(n) + " with a longer name";
    b.AddExtent(0, cursor, -1, 0);
    return std::shared_ptr<kyDiscImage>(b.Finish());
}

class GapDetection : public testing::Test {
protected:
    void SetUp() override {
        kyClearVirtualDrives();
        m_dir = std::filesystem::temp_directory_path() /
                ("dskr-gaps-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override {
        m_reader.reset();
        kyClearVirtualDrives();
        std::filesystem::remove_all(m_dir);
    }
    kyOpticalDriveRoots NoRealDrives() const {
        kyOpticalDriveRoots roots;
        roots.deviceDir = m_dir.string();
        roots.cdromInfo = (m_dir / "no-info").string();
        return roots;
    }
    // A reader whose one drive is a virtual drive over `image`.
    void Use(std::shared_ptr<kyDiscImage> image, const std::string& faults) {
        m_reader.reset();
        kyClearVirtualDrives();
        std::string error;
        ASSERT_EQ(kyAddVirtualDrive(image, faults, error), 0) << error;
        kyDskReader::Methods methods;
        methods.passThrough = std::make_unique<kyDskReaderModeSPTI>(NoRealDrives());
        m_reader = std::make_unique<kyDskReader>(std::move(methods));
        ASSERT_EQ(m_reader->DriveCount(), 1u);
        // Opening reads the table of contents; with injected errors it may take tries.
        bool open = false;
        for (int i = 0; i < 20 && !open; ++i) open = m_reader->OpenDrive(0);
        ASSERT_TRUE(open);
    }
    static void ExpectLayoutOf(const kyDiscImage& image, const kyDiscLayout& layout) {
        ASSERT_EQ(layout.tracks.size(), image.Tracks().size());
        for (size_t i = 0; i < layout.tracks.size(); ++i) {
            const kyDiscTrack& want = image.Tracks()[i];
            const kyTrackLayout& got = layout.tracks[i];
            EXPECT_EQ(got.number, want.number);
            EXPECT_EQ(got.start, want.start) << "track " << want.number;
            EXPECT_EQ(got.pregapStart, want.pregapStart) << "track " << want.number;
            EXPECT_EQ(got.indexes, want.indexes) << "track " << want.number;
        }
    }

    std::filesystem::path m_dir;
    std::unique_ptr<kyDskReader> m_reader;
};

TEST_F(GapDetection, FindsEveryGapAndIndexWithFewReads) {
    const auto image = GapDisc();
    Use(image, "");
    kyDiscLayout layout;
    std::string error;
    ASSERT_TRUE(m_reader->ReadLayout(layout, true, error)) << error;
    EXPECT_TRUE(layout.gapsDetected);
    ExpectLayoutOf(*image, layout);
    EXPECT_EQ(layout.mcn, "4006381333931");
    EXPECT_EQ(layout.tracks[4].isrc, "DEA129900005");
    EXPECT_EQ(layout.cdText.disc.title, "Gaps and Indexes");
    EXPECT_EQ(layout.cdText.Track(17)->title, "Song 17 with a longer name");
    const uint32_t reads = m_reader->SubChannelReads();
    std::printf("gap search: %u sub-channel reads for 20 tracks\n", reads);
    RecordProperty("subchannel_reads", int(reads));
    // A bisection per boundary, not a scan: well under 20 reads per track.
    EXPECT_LT(reads, 20u * 20u);

    // Without the search: the table of contents' starts, no pregaps, no reads.
    ASSERT_TRUE(m_reader->ReadLayout(layout, false, error));
    EXPECT_FALSE(layout.gapsDetected);
    EXPECT_EQ(m_reader->SubChannelReads(), 0u);
    for (const kyTrackLayout& t : layout.tracks) EXPECT_EQ(t.pregapStart, t.start);
    EXPECT_EQ(layout.cdText.disc.performer, "The Testers");
}

TEST_F(GapDetection, HiddenAudioBeforeTrackOne) {
    const auto image = GapDisc(true);
    Use(image, "");
    kyDiscLayout layout;
    std::string error;
    ASSERT_TRUE(m_reader->ReadLayout(layout, true, error)) << error;
    EXPECT_EQ(layout.tracks[0].pregapStart, 0u);
    EXPECT_EQ(layout.tracks[0].start, 1234u);
    ExpectLayoutOf(*image, layout);
}

// The demo disc: two sessions (no pregap searched across the session gap), a data track.
TEST_F(GapDetection, TwoSessionDisc) {
    std::shared_ptr<kyDiscImage> image = kyDiscImage::Demo();
    Use(image, "");
    kyDiscLayout layout;
    std::string error;
    ASSERT_TRUE(m_reader->ReadLayout(layout, true, error)) << error;
    EXPECT_TRUE(layout.gapsDetected);
    ExpectLayoutOf(*image, layout);
}

// Under faults the result is exact or a failure with a message, never a wrong gap.
TEST_F(GapDetection, FaultyDrivesGiveTheSameLayoutOrSayTheyCannot) {
    const auto image = GapDisc();
    const char* faults[] = {
        "seed=1,error=0.05",
        "seed=2,seek=0.5:-9..2",
        "seed=3,error=0.1,seek=0.3:-3..3,bad=151:6,bad=2299:3",
        "seed=4,error=0.3",
    };
    int exact = 0;
    for (const char* f : faults) {
        SCOPED_TRACE(f);
        Use(image, f);
        kyDiscLayout layout;
        std::string error;
        if (m_reader->ReadLayout(layout, true, error)) {
            EXPECT_TRUE(layout.gapsDetected);
            ExpectLayoutOf(*image, layout);
            ++exact;
            std::printf("%s: %u sub-channel reads\n", f, m_reader->SubChannelReads());
        } else {
            EXPECT_FALSE(layout.gapsDetected);
            EXPECT_NE(error.find("gaps are not known"), std::string::npos) << error;
            std::printf("%s: %s\n", f, error.c_str());
            for (const kyTrackLayout& t : layout.tracks) EXPECT_EQ(t.pregapStart, t.start);
        }
    }
    EXPECT_GE(exact, 3); // the retries carry the search through moderate faults

    // A sector the search must read that never reads: a failure that says where.
    const uint32_t last = image->LeadOut() - 1;
    Use(image, "bad=" + std::to_string(last) + ":1000");
    kyDiscLayout layout;
    std::string error;
    EXPECT_FALSE(m_reader->ReadLayout(layout, true, error));
    EXPECT_EQ(error, "The sub-channel could not be read at sector " + std::to_string(last) +
                         ", so the gaps are not known.");
    EXPECT_EQ(layout.mcn, "4006381333931"); // the rest of the layout is there
    EXPECT_EQ(layout.cdText.disc.title, "Gaps and Indexes");
}

// The two ways of reading Q agree with the model: READ CD with formatted Q (with and without
// the audio, which stays the same) and SEEK then READ SUB-CHANNEL's current position.
TEST_F(GapDetection, DriveAnswersBothSubChannelCommands) {
    const auto image = GapDisc();
    Use(image, "");
    const std::shared_ptr<kyVirtualDevice> drive = kyVirtualDriveDevice(0);
    const kyDiscTrack& t4 = image->Tracks()[3];
    int modeTwo = 0, modeThree = 0;
    for (uint32_t lba : {t4.pregapStart - 1, t4.pregapStart, t4.start - 1, t4.start,
                         t4.start + 37 - t4.start % 100 + 100,
                         image->Tracks()[4].start + 71 - image->Tracks()[4].start % 100 + 100,
                         image->LeadOut() - 1}) {
        SCOPED_TRACE(lba);
        const kySubQ want = image->SubQ(lba);
        // Two sectors where the disc has them, so that the interleaving shows.
        const uint8_t n = lba + 1 < image->LeadOut() ? 2 : 1;
        uint8_t cdb[12] = {0xBE, 0, 0, 0, 0, 0, 0, 0, n, 0x10, 2, 0};
        for (int i = 0; i < 4; ++i) cdb[2 + i] = uint8_t(lba >> (24 - 8 * i));
        std::vector<uint8_t> both(n * (2352 + 16)), audio(n * 2352);
        ASSERT_TRUE(drive->Execute(cdb, 12, both.data(), uint32_t(both.size()), true, false));
        cdb[10] = 0;
        ASSERT_TRUE(drive->Execute(cdb, 12, audio.data(), uint32_t(audio.size()), true, false));
        for (uint8_t i = 0; i < n; ++i)
            EXPECT_TRUE(std::equal(audio.begin() + i * 2352, audio.begin() + (i + 1) * 2352,
                                   both.begin() + i * (2352 + 16)));
        kySubQ q;
        ASSERT_TRUE(kyDecodeSubQ(&both[2352], q));
        if (q.adr == 2) {
            ++modeTwo;
            EXPECT_EQ(q.text, image->Mcn());
        } else if (q.adr == 3) {
            ++modeThree;
            EXPECT_EQ(q.text, image->Tracks()[4].isrc);
        } else {
            EXPECT_EQ(q.track, want.track);
            EXPECT_EQ(q.index, want.index);
            EXPECT_EQ(q.relative, want.relative);
            EXPECT_EQ(q.absolute, int32_t(lba));
        }
        // Q only, one sector.
        cdb[8] = 1;
        cdb[9] = 0;
        cdb[10] = 2;
        uint8_t only[16];
        ASSERT_TRUE(drive->Execute(cdb, 12, only, 16, true, false));
        EXPECT_TRUE(std::equal(only, only + 16, &both[2352]));

        const uint8_t seek[10] = {
            0x2B, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba)};
        const uint8_t position[10] = {0x42, 0, 0x40, 1, 0, 0, 0, 0, 16, 0};
        uint8_t answer[16] = {};
        ASSERT_TRUE(drive->Execute(seek, 10, nullptr, 0, false, false));
        ASSERT_TRUE(drive->Execute(position, 10, answer, 16, true, false));
        EXPECT_EQ(answer[4], 1);
        EXPECT_EQ(answer[5], 0x10);
        EXPECT_EQ(answer[6], want.track);
        EXPECT_EQ(answer[7], want.index);
        auto at = [&](int i) {
            return int32_t(uint32_t(answer[i]) << 24 | uint32_t(answer[i + 1]) << 16 |
                           uint32_t(answer[i + 2]) << 8 | answer[i + 3]);
        };
        EXPECT_EQ(at(8), int32_t(lba));
        EXPECT_EQ(at(12), want.relative);
    }
    EXPECT_EQ(modeTwo, 1);
    EXPECT_EQ(modeThree, 1);
    EXPECT_EQ(image->SubQ(t4.pregapStart).relative, -300); // counts down to INDEX 01
    EXPECT_EQ(image->SubQ(t4.start - 1).index, 0u);
    EXPECT_EQ(image->SubQ(image->LeadOut()).track, 0xAAu);
}

TEST_F(GapDetection, DrivesWithoutSubChannelDataSaySo) {
    // A method that reads audio but no sub-channel (as the raw-read method).
    std::vector<fake::Track> tracks = {{0}, {3000}};
    kyDskReader::Methods methods;
    methods.passThrough = std::make_unique<fake::Drive>(fake::MakePcm(6000), tracks);
    m_reader = std::make_unique<kyDskReader>(std::move(methods));
    ASSERT_TRUE(m_reader->OpenDrive(0));
    kyDiscLayout layout;
    std::string error;
    EXPECT_FALSE(m_reader->ReadLayout(layout, true, error));
    EXPECT_EQ(error, "The drive gives no sub-channel data, so the gaps are not known.");
    EXPECT_FALSE(layout.gapsDetected);
    ASSERT_EQ(layout.tracks.size(), 2u);
    EXPECT_TRUE(layout.cdText.Empty());
    EXPECT_GT(m_reader->SubChannelReads(), 0u);
}

// The look-up order's "cdtext" place: names from the drive's CD-Text when nothing before
// it knows the disc, and not when a store before it does or the order leaves it out.
TEST_F(GapDetection, CdTextNamesTheDiscWhenNothingElseDoes) {
    auto image = GapDisc();
    Use(image, "");
    const kyCdText text = m_reader->ReadCdText();
    const kyDiscToc& toc = m_reader->Toc();
    bool localKnows = false;
    DiscLookupOptions options;
    options.force = true;
    options.stores = {
        {"cdplayer.ini",
         [&](DiscInfo& i, const kyDiscToc&) {
             if (localKnows) i.title = "From the ini file";
             return localKnows;
         }},
        {"CD-Text", [&](DiscInfo& i, const kyDiscToc&) { return applyCdText(text, i); },
         LookupSource::CdText},
    };
    DiscInfo info;
    DiscLookupResult r = lookUpDisc(toc, info, options);
    ASSERT_EQ(r.outcome, DiscLookupResult::Outcome::Found);
    EXPECT_EQ(r.origin, LookupSource::CdText);
    EXPECT_EQ(info.artist, "The Testers");
    EXPECT_EQ(info.title, "Gaps and Indexes");
    ASSERT_EQ(info.tracks.size(), 20u);
    EXPECT_EQ(info.tracks[0].name, "Song 1 with a longer name");
    EXPECT_EQ(info.tracks[19].name, "Song 20 with a longer name");
    EXPECT_TRUE(info.tracks[19].artist.empty()); // the album's performer

    localKnows = true;
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.origin, LookupSource::Local);
    EXPECT_EQ(info.title, "From the ini file");

    localKnows = false;
    options.order = {LookupSource::MusicBrainz, LookupSource::Gnudb, LookupSource::Local};
    r = lookUpDisc(toc, info, options);
    EXPECT_EQ(r.outcome, DiscLookupResult::Outcome::NoMatch);
    EXPECT_EQ(info.tracks[0].name, "Track 01");

    // A disc without CD-Text names nothing.
    EXPECT_FALSE(applyCdText(kyCdText(), info));
}

} // namespace
