// The CD source against a drive held in memory: drive numbering, ranges, the three read
// modes, realignment, retries and de-emphasis, with faults placed on exact reads.
#include "cd/de_emphasis.h"
#include "cd/dsk_reader.h"
#include "cd/dsk_reader_fake_drive.h"
#include "core/error.h"
#include <gtest/gtest.h>
#include <map>

#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t kSector = KY_SECTOR_BYTES;
// With jitter correction a range that nothing read before precedes starts with reads that
// confirm where the drive reads: on a clean drive the walk and seven reads that vote.
constexpr uint32_t kStartReads = 8;

// A reader over one fake drive, opened, with a collecting sink and counted pauses.
struct Rig {
    fake::Drive* drive = nullptr;
    std::unique_ptr<kyDskReader> reader;
    fake::Sink sink;
    int pauses = 0;

    Rig(uint32_t sectors, std::vector<fake::Track> tracks, uint32_t largestTransfer = 65536,
        uint32_t mode = KY_READ_BURST) {
        auto d = std::make_unique<fake::Drive>(fake::MakePcm(sectors), std::move(tracks),
                                               largestTransfer);
        drive = d.get();
        kyDskReader::Methods m;
        m.passThrough = std::move(d);
        reader = std::make_unique<kyDskReader>(std::move(m));
        reader->SetSleepFunction([this](std::chrono::milliseconds ms) {
            if (ms.count() == 100) ++pauses;
        });
        EXPECT_TRUE(reader->OpenDrive(0));
        reader->SetReadMode(mode);
        reader->Connect(&sink);
    }
    ~Rig() { reader->Disconnect(); }

    kyError Run() { return sink.Run(); }
    // The disc's bytes for sectors [first, end).
    std::vector<uint8_t> Disc(uint32_t first, uint32_t end) const {
        return std::vector<uint8_t>(drive->Pcm(first),
                                    drive->Pcm(first) + static_cast<size_t>(end - first) * kSector);
    }
    uint32_t ReadCalls() const { return static_cast<uint32_t>(drive->calls.size()); }
};

// ---- construction and drives ------------------------------------------------------

TEST(DskReaderDrives, ConstructionResultFollowsTheMethods) {
    EXPECT_EQ(kyDskReader(kyDskReader::Methods{}).ConstructionResult(), KYERR_MISSING_COMPONENT);

    kyDskReader::Methods failed;
    failed.passThrough =
        std::make_unique<fake::Drive>(fake::MakePcm(10), std::vector<fake::Track>{{0}});
    static_cast<fake::Drive*>(failed.passThrough.get())->SetResult(KYERR_OPEN_FILE);
    kyDskReader dropped(std::move(failed));
    EXPECT_EQ(dropped.ConstructionResult(), KYERR_MISSING_COMPONENT);
    EXPECT_EQ(dropped.DriveCount(), 0u);

    kyDskReader::Methods empty;
    empty.rawRead = std::make_unique<fake::Drive>(fake::MakePcm(10), std::vector<fake::Track>{{0}});
    static_cast<fake::Drive*>(empty.rawRead.get())->driveCount = 0;
    kyDskReader none(std::move(empty));
    EXPECT_EQ(none.ConstructionResult(), KYERR_UNKNOWN);
    EXPECT_FALSE(none.OpenDrive(0));
    fake::Sink sink;
    none.Connect(&sink);
    EXPECT_EQ(none.Prepare(), KYERR_UNKNOWN);
    none.Disconnect();
}

TEST(DskReaderDrives, DrivesAreNumberedPassThroughThenRawReadThenLibrary) {
    auto a = std::make_unique<fake::Drive>(fake::MakePcm(10), std::vector<fake::Track>{{0}});
    auto b = std::make_unique<fake::Drive>(fake::MakePcm(10), std::vector<fake::Track>{{0}});
    auto c = std::make_unique<fake::Drive>(fake::MakePcm(10), std::vector<fake::Track>{{0}});
    a->driveCount = 2;
    fake::Drive *pa = a.get(), *pb = b.get(), *pc = c.get();
    kyDskReader::Methods m;
    m.library = std::move(c);
    m.passThrough = std::move(a);
    m.rawRead = std::move(b);
    kyDskReader reader(std::move(m));
    EXPECT_EQ(reader.ConstructionResult(), KY_OK);
    ASSERT_EQ(reader.DriveCount(), 4u);
    EXPECT_EQ(reader.DriveRecord(4), nullptr);
    EXPECT_FALSE(reader.OpenDrive(4));

    const struct {
        uint32_t number;
        fake::Drive* method;
    } cases[] = {{0, pa}, {1, pa}, {2, pb}, {3, pc}};
    for (const auto& c2 : cases) {
        const int before = c2.method->opens;
        ASSERT_TRUE(reader.OpenDrive(c2.number)) << c2.number;
        EXPECT_EQ(c2.method->opens, before + 1) << c2.number;
        EXPECT_EQ(reader.OpenDriveNumber(), static_cast<int32_t>(c2.number));
    }
    // Opening another drive closed the one before.
    EXPECT_EQ(pa->closes, 2);
    EXPECT_EQ(pb->closes, 1);
}

TEST(DskReaderDrives, OpenReadsTheTableAndSelectsEveryTrack) {
    Rig rig(300, {{0}, {100, 1}, {250, 4}}, 131072);
    const kyDiscToc& toc = rig.reader->Toc();
    EXPECT_EQ(toc.firstTrack, 1u);
    EXPECT_EQ(toc.lastTrack, 3u);
    EXPECT_EQ(toc.entries[2].start, 100u);
    EXPECT_EQ(toc.entries[2].length, 150u);
    EXPECT_EQ(toc.entries[2].preEmphasis, 1);
    EXPECT_EQ(toc.entries[3].data, 1);
    EXPECT_EQ(rig.reader->LargestTransfer(), 65536u); // capped
    EXPECT_EQ(rig.reader->MaxSpeed(), 24u);
    EXPECT_EQ(rig.reader->RangeStart(), 0u);
    EXPECT_EQ(rig.reader->RangeEnd(), 300u);

    kyAudioFormat f;
    ASSERT_EQ(rig.reader->GetFormat(f), KY_OK);
    EXPECT_EQ(f, (kyAudioFormat{300 * 588, 2, 3, 44100, 588}));
    EXPECT_EQ(rig.reader->MediaCatalogNumber().value_or(""), "0123456789012");
}

TEST(DskReaderDrives, TrayLockAndReadiness) {
    Rig rig(50, {{0}});
    EXPECT_TRUE(rig.reader->IsReady());
    EXPECT_TRUE(rig.reader->ToggleTray()); // ready: unlock, stop, eject
    EXPECT_EQ(rig.drive->ejects, 1);
    EXPECT_EQ(rig.drive->unlocks, 1);
    EXPECT_EQ(rig.drive->stops, 1);
    EXPECT_FALSE(rig.reader->IsReady());
    EXPECT_TRUE(rig.reader->ToggleTray()); // not ready: unlock, load
    EXPECT_EQ(rig.drive->loads, 1);
    EXPECT_EQ(rig.drive->unlocks, 2);
    EXPECT_TRUE(rig.reader->LockMedium(true));
    EXPECT_EQ(rig.drive->locks, 1);
    rig.reader->CloseDrive();
    EXPECT_FALSE(rig.reader->IsReady());
    EXPECT_FALSE(rig.reader->ToggleTray());
    EXPECT_FALSE(rig.reader->SetTrackRange(1, 1));
    EXPECT_EQ(rig.reader->Prepare(), KYERR_SEQUENCE); // no drive open
}

// ---- ranges -------------------------------------------------------------------------

TEST(DskReaderRanges, TrackRangesAreKeptOnTheDisc) {
    Rig rig(300, {{0}, {100}, {180}, {250}});
    const struct {
        uint32_t first, last, start, end;
    } cases[] = {
        {2, 2, 100, 180}, {2, 3, 100, 250}, {0, 1, 0, 100}, {3, 9, 180, 300}, {4, 2, 250, 300},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(rig.reader->SetTrackRange(c.first, c.last));
        EXPECT_EQ(rig.reader->RangeStart(), c.start) << c.first << "-" << c.last;
        EXPECT_EQ(rig.reader->RangeEnd(), c.end) << c.first << "-" << c.last;
    }
    EXPECT_FALSE(rig.reader->SetRange(20, 10));
    EXPECT_TRUE(rig.reader->SetRange(10, 20));
    kyAudioFormat f;
    rig.reader->GetFormat(f);
    EXPECT_EQ(f.lengthFrames, 10u * 588);
}

TEST(DskReaderRanges, SeekSkipsWholeSectorsUntilTheNextRange) {
    Rig rig(100, {{0}});
    rig.reader->SetRange(10, 40);
    EXPECT_EQ(rig.reader->Seek(5 * 588 + 300), 5u * 588);
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(15, 40));

    // A new range starts at its start again.
    rig.reader->SetRange(10, 40);
    rig.sink.samples.clear();
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(10, 40));

    // A seek beyond the range leaves nothing to read.
    rig.reader->Seek(100 * 588);
    rig.sink.samples.clear();
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_TRUE(rig.sink.samples.empty());
}

TEST(DskReaderRanges, EmptyRangeEndsTheStreamAtOnce) {
    for (uint32_t mode : {KY_READ_BURST, KY_READ_JITTER, KY_READ_SCRATCH}) {
        Rig rig(100, {{0}}, 65536, mode);
        rig.reader->SetRange(40, 40);
        ASSERT_EQ(rig.Run(), KY_OK);
        EXPECT_EQ(rig.sink.endOfStreams, 1u);
        EXPECT_EQ(rig.sink.blocks, 0u);
        EXPECT_EQ(rig.ReadCalls(), 0u);
    }
}

// ---- clean reads in every mode --------------------------------------------------------

TEST(DskReaderModes, CleanDiscIsReproducedInEveryModeAndPath) {
    const struct {
        uint32_t first, end;
        const char* what;
    } ranges[] = {
        {0, 120, "first track"},        {120, 300, "last track"},  {0, 300, "whole disc"},
        {37, 91, "end inside a chunk"}, {299, 300, "last sector"}, {5, 6, "one sector"},
    };
    for (uint32_t mode : {KY_READ_BURST, KY_READ_JITTER, KY_READ_SCRATCH})
        for (bool interleaved : {false, true})
            for (const auto& r : ranges) {
                Rig rig(300, {{0}, {120}}, 65536, mode);
                rig.reader->SetRange(r.first, r.end);
                if (interleaved) {
                    ASSERT_STREQ(rig.reader->GetInterleavedFormat(2), "PCM 16-bit");
                    ASSERT_EQ(rig.reader->RunInterleaved(), KY_OK);
                    EXPECT_EQ(rig.sink.bytes, rig.Disc(r.first, r.end))
                        << r.what << " mode " << mode;
                    EXPECT_EQ(rig.sink.endOfStreams, 0u);
                } else {
                    ASSERT_EQ(rig.Run(), KY_OK);
                    EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(r.first, r.end))
                        << r.what << " mode " << mode;
                    EXPECT_EQ(rig.sink.blocks, r.end - r.first);
                    EXPECT_EQ(rig.sink.endOfStreams, 1u);
                }
            }
}

TEST(DskReaderModes, ChunksFollowTheLargestTransfer) {
    // 65536 bytes: 27 sectors a read; jitter correction delivers 24 new ones each time and
    // re-reads the three before them.
    Rig burst(100, {{0}});
    ASSERT_EQ(burst.Run(), KY_OK);
    ASSERT_EQ(burst.ReadCalls(), 4u);
    EXPECT_EQ(burst.drive->calls[0].sectors, 27u);
    EXPECT_EQ(burst.drive->calls[3].lba, 81u);
    EXPECT_EQ(burst.drive->calls[3].sectors, 19u);
    EXPECT_EQ(burst.drive->locks, 4);
    EXPECT_EQ(burst.drive->unlocks, 4);
    EXPECT_EQ(burst.drive->stops, 1);
    EXPECT_EQ(burst.drive->lastSpeed, 255);

    Rig jitter(100, {{0}}, 65536, KY_READ_JITTER);
    jitter.reader->SetSpeed(8);
    ASSERT_EQ(jitter.Run(), KY_OK);
    EXPECT_EQ(jitter.drive->lastSpeed, 8);
    ASSERT_GE(jitter.ReadCalls(), kStartReads + 2);
    // After the start: reads of 27 sectors, three of them before the 24 new ones.
    const auto& calls = jitter.drive->calls;
    for (size_t i = kStartReads + 1; i + 1 < calls.size(); ++i) {
        EXPECT_EQ(calls[i].sectors, 27u) << i;
        EXPECT_EQ(calls[i].lba + 27, calls[i + 1].lba + 3) << i;
    }
    EXPECT_TRUE(jitter.reader->Report().clean());
}

// With fewer than four sectors per transfer, jitter correction still moves on.
TEST(DskReaderModes, TinyTransfersStillReadEverything) {
    for (uint32_t largest : {0u, 1000u, 2352u, 3u * 2352, 4u * 2352}) {
        for (uint32_t mode : {KY_READ_BURST, KY_READ_JITTER, KY_READ_SCRATCH}) {
            Rig rig(40, {{0}}, largest, mode);
            ASSERT_EQ(rig.Run(), KY_OK) << largest;
            EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(0, 40)) << largest << " mode " << mode;
            const uint32_t perCall = std::max(largest / kSector, 1u);
            for (const auto& c : rig.drive->calls) EXPECT_LE(c.sectors, perCall);
        }
    }
}

// ---- realignment ----------------------------------------------------------------------

// The reads after the start are realigned on what came before them.
TEST(DskReaderJitter, MispositionedReadsAreRealignedOnContent) {
    for (int32_t offset : {-9, -5, -2, -1, 1, 2}) {
        Rig rig(100, {{0}}, 65536, KY_READ_JITTER);
        rig.drive->offsetOfCall[kStartReads + 1] = offset;
        rig.drive->offsetOfCall[kStartReads + 2] = offset < 0 ? 1 : -3;
        ASSERT_EQ(rig.Run(), KY_OK);
        EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(0, 100)) << "offset " << offset;
        EXPECT_TRUE(rig.reader->Report().clean()) << "offset " << offset;
        EXPECT_GT(rig.reader->Report().rereads, 0u);
    }
}

TEST(DskReaderJitter, RealignmentAtTheRangeEndKeepsTheLength) {
    // 50 sectors: after the start, the last read asks for the range's last sectors.
    for (int32_t offset : {1, 2, -1, -2, -5, -9}) {
        for (bool interleaved : {false, true}) {
            Rig rig(120, {{0}, {50}}, 65536, KY_READ_JITTER);
            rig.reader->SetTrackRange(1, 1);
            rig.drive->offsetOfCall[kStartReads + 2] = offset;
            if (interleaved) {
                ASSERT_EQ(rig.reader->RunInterleaved(), KY_OK);
                EXPECT_EQ(rig.sink.bytes, rig.Disc(0, 50)) << "offset " << offset;
            } else {
                ASSERT_EQ(rig.Run(), KY_OK);
                EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(0, 50)) << "offset " << offset;
            }
        }
    }
}

TEST(DskReaderJitter, ShortBackReadNeverLooksBeforeTheBuffer) {
    // Four sectors a transfer: one new sector per chunk. Reads that land late leave
    // offsets that would point before the buffer.
    Rig clean(20, {{0}}, 4 * kSector, KY_READ_JITTER);
    ASSERT_EQ(clean.Run(), KY_OK);
    const uint32_t calls = clean.ReadCalls();
    for (uint32_t call = calls - 12; call < calls; ++call) {
        Rig rig(20, {{0}}, 4 * kSector, KY_READ_JITTER);
        rig.drive->offsetOfCall[call] = 1;
        ASSERT_EQ(rig.Run(), KY_OK);
        EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(0, 20)) << "call " << call;
    }
}

TEST(DskReaderJitter, LoopsAreCrossedOnTheLastSectorBeforeThem) {
    // Sectors 20..59 repeat one sector of music (a loop): a sector inside it matches at
    // every position, so the reads that follow are tied to the last sector before the
    // loop (19) however far back, and land exactly whatever the drive does meanwhile.
    auto pcm = fake::MakePcm(100);
    for (uint32_t s = 21; s < 60; ++s) std::memcpy(&pcm[s * kSector], &pcm[20 * kSector], kSector);
    for (int32_t offset : {0, -2, 1, -5}) {
        auto d = std::make_unique<fake::Drive>(pcm, std::vector<fake::Track>{{0}});
        fake::Drive* drive = d.get();
        kyDskReader::Methods m;
        m.passThrough = std::move(d);
        kyDskReader reader(std::move(m));
        ASSERT_TRUE(reader.OpenDrive(0));
        reader.SetReadMode(KY_READ_JITTER);
        for (uint32_t call = kStartReads + 1; call < kStartReads + 4; ++call)
            drive->offsetOfCall[call] = offset;
        fake::Sink sink;
        reader.Connect(&sink);
        ASSERT_EQ(sink.Run(), KY_OK);
        reader.Disconnect();
        EXPECT_EQ(sink.SampleBytes(), std::vector<uint8_t>(drive->Pcm(0), drive->Pcm(0) + 100 * kSector))
            << offset;
        EXPECT_TRUE(reader.Report().clean()) << offset;
        // The read for the chunk at 48 starts two sectors before the anchor at 19.
        bool back = false;
        for (const auto& c : drive->calls) back |= c.lba == 17;
        EXPECT_TRUE(back) << offset;
    }
}

TEST(DskReaderJitter, UnanchoredStartIsConfirmedByAVote) {
    // The first read of a range lands off; the reads that approach the start from other
    // points outvote it, and the range comes out exactly.
    for (int32_t offset : {-2, 3, -9}) {
        Rig rig(200, {{0}, {50}, {150}}, 65536, KY_READ_JITTER);
        rig.reader->SetTrackRange(2, 2);
        rig.drive->offsetOfCall[0] = offset;
        rig.drive->offsetOfCall[1] = offset;
        ASSERT_EQ(rig.Run(), KY_OK);
        EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(50, 150)) << offset;
        EXPECT_TRUE(rig.reader->Report().clean()) << offset;
        EXPECT_GE(rig.reader->Report().rereads, kStartReads - 1);
        // The start was read from before the range.
        EXPECT_LT(rig.drive->calls[0].lba, 50u);
    }
    // A drive that lands somewhere else every time leaves no clear majority: the range is
    // still delivered, reported as suspect from its first sector to its last.
    Rig rig(200, {{0}, {50}, {150}}, 65536, KY_READ_JITTER);
    rig.reader->SetTrackRange(2, 2);
    for (uint32_t call = 0; call < 200; ++call)
        rig.drive->offsetOfCall[call] = static_cast<int32_t>(call % 7) - 3;
    ASSERT_EQ(rig.Run(), KY_OK);
    ASSERT_EQ(rig.sink.samples.size(), 100u * 1176);
    ASSERT_EQ(rig.reader->Report().suspect.size(), 1u);
    EXPECT_EQ(rig.reader->Report().suspect[0], (kySectorSpan{50, 149}));
}

TEST(DskReaderJitter, RangesThatFollowOnAreAnchoredOnTheRangeBefore) {
    // Track 2 after track 1 on the same disc: its first read goes back to track 1's last
    // sectors and is realigned on them, even when that read lands off.
    for (int32_t offset : {0, -3, 2}) {
        Rig rig(200, {{0}, {50}, {150}}, 65536, KY_READ_JITTER);
        rig.reader->SetTrackRange(1, 1);
        ASSERT_EQ(rig.Run(), KY_OK);
        rig.sink.samples.clear();
        const uint32_t before = rig.ReadCalls();
        rig.drive->offsetOfCall[before] = offset;
        rig.reader->SetTrackRange(2, 2);
        ASSERT_EQ(rig.Run(), KY_OK);
        EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(50, 150)) << offset;
        EXPECT_TRUE(rig.reader->Report().clean()) << offset;
        EXPECT_EQ(rig.drive->calls[before].lba, 47u) << offset; // back to sector 49, less two
        // No start confirmation: every read after the first is a chunk of the range.
        EXPECT_LE(rig.ReadCalls() - before, 6u);
    }
    // Reopening the drive forgets it: the next range confirms its start again.
    Rig rig(200, {{0}, {50}, {150}}, 65536, KY_READ_JITTER);
    rig.reader->SetTrackRange(1, 1);
    ASSERT_EQ(rig.Run(), KY_OK);
    ASSERT_TRUE(rig.reader->OpenDrive(0));
    const uint32_t before = rig.ReadCalls();
    rig.reader->SetTrackRange(2, 2);
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_GE(rig.ReadCalls() - before, kStartReads);
}

TEST(DskReaderJitter, BurstModeCannotSeeMispositionedReads) {
    // The first read lands two sectors early and the drive reads on from there: the whole
    // range comes two sectors early, at its full length, and nothing tells.
    Rig rig(100, {{0}, {10}});
    rig.reader->SetTrackRange(2, 2);
    rig.drive->offsetOfCall[0] = -2;
    ASSERT_EQ(rig.Run(), KY_OK);
    ASSERT_EQ(rig.sink.samples.size(), 90u * 1176);
    EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(8, 98));
    EXPECT_TRUE(rig.reader->Report().clean());
}

TEST(DskReaderJitter, InexactSpliceIsSmoothed) {
    // A chunk whose data matches nowhere (the previous sector was damaged when read): the
    // best position wins and the first three frames are blended with the last one
    // delivered; the chunk is reported.
    Rig rig(60, {{0}}, 65536, KY_READ_JITTER);
    rig.drive->corrupt = [](uint32_t call, uint32_t, uint32_t sectors, uint8_t* data) {
        if (call != kStartReads) return;
        // The last sector of the first chunk comes back with every sample raised by 1000.
        uint8_t* last = data + (sectors - 1) * kSector;
        for (uint32_t k = 0; k < kSector / 2; ++k) {
            int16_t v;
            std::memcpy(&v, last + 2 * k, 2);
            v = static_cast<int16_t>(v + 1000);
            std::memcpy(last + 2 * k, &v, 2);
        }
    };
    ASSERT_EQ(rig.Run(), KY_OK);
    ASSERT_EQ(rig.sink.samples.size(), 60u * 1176);
    const auto disc = rig.Disc(0, 60);
    auto at = [&](uint32_t frame, int ch) {
        int16_t v;
        std::memcpy(&v, disc.data() + frame * 4 + ch * 2, 2);
        return static_cast<int32_t>(v);
    };
    // The first chunk after the start: the walk's sector 0, then 1..24.
    const uint32_t splice = 25 * 588; // first frame of the chunk after it
    for (int ch = 0; ch < 2; ++ch) {
        const int32_t p = at(splice - 1, ch) + 1000; // the damaged frame that was delivered
        EXPECT_EQ(rig.sink.samples[(splice - 1) * 2 + ch], p);
        EXPECT_EQ(rig.sink.samples[splice * 2 + ch], (3 * p + at(splice, ch)) / 4);
        EXPECT_EQ(rig.sink.samples[(splice + 1) * 2 + ch], (at(splice + 1, ch) + p) / 2);
        EXPECT_EQ(rig.sink.samples[(splice + 2) * 2 + ch], (p + 3 * at(splice + 2, ch)) / 4);
        EXPECT_EQ(rig.sink.samples[(splice + 3) * 2 + ch], at(splice + 3, ch));
    }
    ASSERT_FALSE(rig.reader->Report().suspect.empty());
    EXPECT_EQ(rig.reader->Report().suspect[0].first, 25u);
}

// ---- scratch correction -----------------------------------------------------------------

TEST(DskReaderScratch, TwoAgreeingReadsPerChunk) {
    Rig rig(49, {{0}}, 65536, KY_READ_SCRATCH);
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(0, 49));
    // Sector 0 from the start, then two chunks of 24, read twice each.
    EXPECT_EQ(rig.ReadCalls(), kStartReads + 4);
    EXPECT_TRUE(rig.reader->Report().clean());
}

TEST(DskReaderScratch, MispositionedPassesAreRealignedBeforeComparing) {
    // Second chunk: passes are calls 2, 3, ...; the first lands two sectors early, the
    // second one late.
    Rig rig(100, {{0}}, 65536, KY_READ_SCRATCH);
    rig.drive->offsetOfCall[kStartReads + 2] = -2;
    rig.drive->offsetOfCall[kStartReads + 3] = 1;
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(0, 100));
}

TEST(DskReaderScratch, FirstAgreeingPairWins) {
    // Reads 0 and 1 differ in one sample, read 2 equals read 0.
    Rig rig(10, {{0}}, 65536, KY_READ_SCRATCH);
    rig.drive->corrupt = [](uint32_t call, uint32_t, uint32_t, uint8_t* data) {
        if (call == kStartReads + 1) data[3 * kSector + 100] ^= 0x40;
    };
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_EQ(rig.ReadCalls(), kStartReads + 3);
    EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(0, 10));
}

TEST(DskReaderScratch, NoAgreementGivesTheAverageOfEight) {
    // Every read returns a different value for the first left sample of sector 3.
    const int16_t values[8] = {-100, -7, 3, 32767, 32766, -32768, -32767, 12};
    Rig rig(10, {{0}}, 65536, KY_READ_SCRATCH);
    rig.drive->corrupt = [&](uint32_t call, uint32_t lba, uint32_t, uint8_t* data) {
        if (lba <= 3) std::memcpy(data + (3 - lba) * kSector, &values[call % 8], 2);
    };
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_EQ(rig.ReadCalls(), kStartReads + 8);
    int32_t sum = 0;
    for (int16_t v : values) sum += v;
    auto expect = rig.Disc(0, 10);
    const int16_t avg = static_cast<int16_t>(sum / 8); // truncated toward zero
    std::memcpy(expect.data() + 3 * kSector, &avg, 2);
    EXPECT_EQ(rig.sink.SampleBytes(), expect);
    EXPECT_EQ(rig.reader->Report().suspect, (std::vector<kySectorSpan>{{3, 3}}));
}

// ---- retries ----------------------------------------------------------------------------

TEST(DskReaderRetries, FailedReadsAreRetriedAndOnlyTheFirstReadPauses) {
    const struct {
        uint32_t badLba, failures;
        kyError result;
        int pauses;
        const char* what;
    } cases[] = {
        {0, 5, KY_OK, 5, "spinning up"},
        {60, 5, KY_OK, 0, "later in the range"},
        {60, 999, KY_OK, 0, "last attempt"},
        {60, 1000, KYERR_READ_FILE, 0, "never"},
        {2, 5000, KYERR_READ_FILE, 1000, "never, on the first read"},
    };
    for (uint32_t mode : {KY_READ_BURST, KY_READ_JITTER, KY_READ_SCRATCH})
        for (const auto& c : cases) {
            Rig rig(100, {{0}}, 65536, mode);
            rig.drive->badSector[c.badLba] = c.failures;
            EXPECT_EQ(rig.Run(), c.result) << c.what;
            EXPECT_EQ(rig.pauses, c.pauses) << c.what;
            if (c.result == KY_OK) {
                EXPECT_EQ(rig.sink.SampleBytes(), rig.Disc(0, 100)) << c.what;
            } else {
                EXPECT_STREQ(kyErrorMessage(c.result), "Couldn't read from file");
                EXPECT_EQ(rig.drive->locks, rig.drive->unlocks); // the medium is unlocked again
            }
        }
}

TEST(DskReaderRetries, ReadEventsTellRetriesRereadsAndUnreadableSectorsWhereTheyHappen) {
    using Kind = kyDskReader::ReadEvent::Kind;
    struct Case {
        uint32_t mode;
        uint32_t badLba, failures;
        std::map<uint32_t, int32_t> offsets;
        int corruptCall; // this call's data comes back with one bit flipped (-1: none)
        unsigned retries, rereads, unreadable;
        const char* what;
    } cases[] = {
        {KY_READ_BURST, 60, 5, {}, -1, 5, 0, 0, "five failed reads"},
        {KY_READ_BURST, 60, 1000, {}, -1, 999, 0, 1, "never"},
        {KY_READ_JITTER, 0, 0, {}, -1, 0, 0, 0, "a clean disc"},
    };
    for (const Case& c : cases) {
        Rig rig(100, {{0}}, 65536, c.mode);
        if (c.failures) rig.drive->badSector[c.badLba] = c.failures;
        rig.drive->offsetOfCall = c.offsets;
        rig.drive->corrupt = [&c](uint32_t call, uint32_t, uint32_t, uint8_t* data) {
            if (static_cast<int>(call) == c.corruptCall) data[100] ^= 1;
        };
        std::vector<kyDskReader::ReadEvent> events;
        rig.reader->SetReadObserver(
            [&events](const kyDskReader::ReadEvent& e) { events.push_back(e); });
        rig.Run();
        unsigned retries = 0, rereads = 0, unreadable = 0;
        for (const auto& e : events) {
            // Each names a read that covers where it happened.
            EXPECT_LE(e.lba + e.sectors, 100u) << c.what;
            EXPECT_GE(e.count, 1u) << c.what;
            if (e.kind == Kind::Retry) {
                ++retries;
                EXPECT_TRUE(e.lba <= c.badLba && c.badLba < e.lba + e.sectors) << c.what;
                EXPECT_EQ(e.count, retries) << c.what;
            }
            if (e.kind == Kind::Reread) ++rereads;
            if (e.kind == Kind::Unreadable) {
                // Named by the one sector the reader isolated, in the drive's addresses.
                ++unreadable;
                EXPECT_EQ(e.count, 1000u) << c.what;
                EXPECT_EQ(e.sectors, 1u) << c.what;
            }
        }
        EXPECT_EQ(retries, c.retries) << c.what;
        EXPECT_EQ(rereads, c.rereads) << c.what;
        EXPECT_EQ(unreadable, c.unreadable) << c.what;
    }
}

TEST(DskReaderRetries, EveryRunPausesOnItsFirstRead) {
    Rig rig(100, {{0}});
    rig.drive->badSector[0] = 2;
    ASSERT_EQ(rig.Run(), KY_OK);
    rig.drive->badSector[0] = 3;
    ASSERT_EQ(rig.Run(), KY_OK);
    EXPECT_EQ(rig.pauses, 5);
}

TEST(DskReaderRetries, WriteFailureStopsTheRun) {
    Rig rig(100, {{0}});
    rig.sink.writeResult = KYERR_CANCELLED;
    EXPECT_EQ(rig.Run(), KYERR_CANCELLED);
    EXPECT_EQ(rig.sink.blocks, 1u);
    Rig rig2(100, {{0}});
    rig2.sink.writeResult = KYERR_WRITE_FILE;
    EXPECT_EQ(rig2.reader->RunInterleaved(), KYERR_WRITE_FILE);
}

TEST(DskReaderRetries, NoSinkIsASequenceError) {
    Rig rig(10, {{0}});
    rig.reader->Disconnect();
    EXPECT_EQ(rig.reader->Prepare(), KYERR_SEQUENCE);
    EXPECT_EQ(rig.reader->RunInterleaved(), KYERR_SEQUENCE);
    rig.reader->Connect(&rig.sink);
}

// ---- de-emphasis ------------------------------------------------------------------------

TEST(DskReaderDeEmphasis, FilterHasUnityGainAtDcAndTheShelfAbove) {
    const struct {
        double hz, dB, tolerance;
    } cases[] = {{0, 0.0, 0.01}, {1000, -0.37, 0.1}, {5000, -4.53, 0.2}, {16000, -9.04, 0.2}};
    for (const auto& c : cases) {
        kyDeEmphasis f;
        f.Reset();
        std::vector<float> x(44100);
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(0.5 *
                                      std::cos(2 * M_PI * c.hz * static_cast<double>(i) / 44100.0));
        f.Process(0, x.data(), static_cast<uint32_t>(x.size()));
        double peak = 0;
        for (size_t i = x.size() / 2; i < x.size(); ++i)
            peak = std::max(peak, std::fabs(static_cast<double>(x[i])));
        EXPECT_NEAR(20 * std::log10(peak / 0.5), c.dB, c.tolerance) << c.hz << " Hz";
    }
}

TEST(DskReaderDeEmphasis, PreEmphasisedTrackIsFilteredAcrossBlocks) {
    Rig rig(200, {{0}, {80, 1}, {150}}, 65536, KY_READ_JITTER);
    rig.reader->SetRange(60, 170);
    EXPECT_EQ(rig.reader->GetInterleavedFormat(2), nullptr);
    EXPECT_TRUE(rig.reader->RangeHasPreEmphasis());
    ASSERT_EQ(rig.Run(), KY_OK);

    // The same filter over the track's samples in one go, state from zero.
    const auto disc = rig.Disc(60, 170);
    std::vector<float> l, r;
    for (size_t i = 0; i + 3 < disc.size(); i += 4) {
        int16_t s[2];
        std::memcpy(s, &disc[i], 4);
        l.push_back(s[0] / 32768.0f);
        r.push_back(s[1] / 32768.0f);
    }
    const size_t a = 20 * 588, b = 90 * 588; // track 2 within the range
    kyDeEmphasis f;
    f.Reset();
    f.Process(0, l.data() + a, static_cast<uint32_t>(b - a));
    f.Process(1, r.data() + a, static_cast<uint32_t>(b - a));
    ASSERT_EQ(rig.sink.floats.size(), l.size() * 2);
    size_t mismatches = 0;
    for (size_t i = 0; i < l.size(); ++i)
        if (rig.sink.floats[2 * i] != l[i] || rig.sink.floats[2 * i + 1] != r[i]) ++mismatches;
    EXPECT_EQ(mismatches, 0u);

    // Ranges away from the emphasised track keep the interleaved form, also one that ends
    // right where it starts.
    rig.reader->SetTrackRange(3, 3);
    EXPECT_STREQ(rig.reader->GetInterleavedFormat(2), "PCM 16-bit");
    rig.reader->SetTrackRange(1, 1);
    EXPECT_STREQ(rig.reader->GetInterleavedFormat(2), "PCM 16-bit");
    rig.reader->SetRange(79, 80);
    EXPECT_STREQ(rig.reader->GetInterleavedFormat(2), "PCM 16-bit");
    rig.reader->SetRange(79, 81);
    EXPECT_EQ(rig.reader->GetInterleavedFormat(2), nullptr);
    EXPECT_EQ(rig.reader->GetInterleavedFormat(1), nullptr);
}

} // namespace
