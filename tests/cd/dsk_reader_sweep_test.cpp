// The CD source over hundreds of small random discs in virtual drives that land off after
// seeks (with and without a settled first read; light scratches in scratch mode): a track
// it calls good is always exactly the disc's, in whatever order the tracks are read; a
// track-by-track rip in order is exact wherever a drive lands right after at least three
// seeks in ten, or has settled for its first read. A drive that lands off nine times in
// ten or more leaves the audio no way to tell where a read landed; the Q sub-channel the
// virtual drive delivers with the audio tells it, and most such rips are exact and good
// too. Where a start is placed afresh it is exact; otherwise each start joins on to the data
// the range before ended with, so a rip is at worst the disc shifted as a whole by where an
// unconfirmed start landed, and all of that is suspect. A drive without Q, or whose Q is
// damaged or a few sectors off from the audio, never gets a wrong track called good: the
// Q places starts only for a drive whose Q bias is known (here the sweeps' drives have
// theirs known, as from earlier sessions, unless a case says otherwise).
#include "cd/dsk_reader.h"
#include "cd/dsk_reader_fake_drive.h"
#include "cd/dsk_reader_mode_spti.h"
#include "cd/virtual_drive.h"
#include "support/random_disc.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>

namespace {

struct Counts {
    int runs = 0, tracks = 0, exact = 0, exactSuspect = 0, wrongSuspect = 0, wrongGood = 0;
    // Runs whose every track is exact and called good; starts placed by the Q sub-channel.
    int goodRuns = 0, placedBySubQ = 0;
    // Runs whose every track is the disc's shifted by one and the same number of sectors
    // (the first start landed off; every later start joined on to it seamlessly).
    int shiftedRuns = 0;
    uint64_t rereads = 0;
    void add(const Counts& c) {
        runs += c.runs, tracks += c.tracks, exact += c.exact, exactSuspect += c.exactSuspect;
        wrongSuspect += c.wrongSuspect, wrongGood += c.wrongGood, rereads += c.rereads;
        shiftedRuns += c.shiftedRuns, goodRuns += c.goodRuns, placedBySubQ += c.placedBySubQ;
    }
};

// How far `got` is shifted from the disc's track (disc sectors outside the disc read as
// silence), within the landings the sweep's drives make, and how many of its sectors differ
// from the disc's so shifted (scratched sectors settled by an average).
struct Shift {
    int32_t sectors = 0;
    uint32_t differ = 0;
};
Shift shiftOf(const kyDiscImage& image, const kyTocEntry& track, const std::vector<uint8_t>& got) {
    Shift best{0, track.length + 1};
    if (got.size() != size_t(track.length) * 2352) return best;
    uint8_t want[2352];
    for (int32_t d = -12; d <= 12; ++d) {
        uint32_t differ = 0;
        for (uint32_t i = 0; i < track.length; ++i) {
            const int64_t lba = int64_t(track.start) + i + d;
            if (lba < 0 || !image.ReadSectors(uint32_t(lba), 1, want)) std::memset(want, 0, 2352);
            differ += std::memcmp(want, got.data() + size_t(i) * 2352, 2352) != 0;
        }
        if (differ < best.differ) best = {d, differ};
    }
    return best;
}
struct Faults {
    double p;
    const char* range;
};
// Wrong landings spread over 11 to 18 places, up to 9 sectors either way.
const Faults kFaults[] = {{0.1, "-9..2"}, {0.3, "-2..9"}, {0.5, "-9..9"},
                          {0.7, "-5..6"}, {0.9, "-9..2"}, {0.95, "-9..9"}};
constexpr int kDiscs = 8; // per mode, fault and settling

class DskReaderSweep : public ::testing::Test {
protected:
    bool lastRunSeamless = false;    // every track of the last rip shifted alike (or not at all)
    std::string shifts;              // track:shift of the last rip
    std::vector<std::string> broken; // runs whose tracks did not join on to each other
    void TearDown() override { kyClearVirtualDrives(); }

    // `bias`: the drive's Q bias as an earlier session learned it (none: not known).
    std::unique_ptr<kyDskReader> open(std::shared_ptr<kyDiscImage> image, const std::string& faults,
                                      std::optional<int32_t> bias = std::nullopt) {
        kyClearVirtualDrives();
        std::string error;
        EXPECT_EQ(kyAddVirtualDrive(image, faults, error), 0) << error;
        kyOpticalDriveRoots roots; // no real drives
        roots.deviceDir = "/nonexistent-dskr-devices";
        roots.cdromInfo = "/nonexistent-dskr-info";
        kyDskReader::Methods methods;
        methods.passThrough = std::make_unique<kyDskReaderModeSPTI>(roots);
        auto reader = std::make_unique<kyDskReader>(std::move(methods));
        reader->SetSleepFunction([](std::chrono::milliseconds) {});
        EXPECT_TRUE(reader->OpenDrive(0));
        if (bias) reader->SetSubQBias(*bias);
        return reader;
    }

    // Reads `tracks`, one range each in that order, and sorts every track into `c`.
    void rip(kyDskReader& reader, const kyDiscImage& image, const std::vector<uint32_t>& tracks,
             uint32_t mode, const std::string& what, Counts& c, int32_t readOffset = 0) {
        const kyDiscToc toc = image.Toc();
        std::optional<int32_t> before; // the shift of the track before
        int32_t runShift = 0;          // the first track's
        shifts.clear();
        bool joined = true, sameShift = true, allGood = true;
        for (uint32_t t : tracks) {
            fake::Sink sink;
            reader.SetReadOffset(readOffset);
            reader.SetReadMode(mode);
            reader.SetTrackRange(t, t);
            reader.Connect(&sink);
            ASSERT_EQ(reader.RunInterleaved(), KY_OK) << what;
            reader.Disconnect();
            std::vector<uint8_t> want(size_t(toc.entries[t].length) * 2352);
            ASSERT_TRUE(
                image.ReadSectors(toc.entries[t].start, toc.entries[t].length, want.data()));
            // Samples a drive with a read offset cannot deliver are silence: the first of
            // the disc, or its last.
            const int64_t from = int64_t(toc.entries[t].start) * 588;
            const int64_t lo = std::max(0, -readOffset);
            const int64_t hi = int64_t(image.LeadOut()) * 588 - std::max(0, readOffset);
            for (int64_t at = from; at < from + int64_t(want.size() / 4); ++at)
                if (at < lo || at >= hi) std::memset(&want[size_t(at - from) * 4], 0, 4);
            const bool exact = sink.bytes == want;
            const bool suspect = !reader.Report().clean();
            ++c.tracks;
            c.rereads += reader.Report().rereads;
            c.placedBySubQ += int(reader.Report().placedBySubQ);
            allGood = allGood && exact && !suspect;
            if (exact) ++(suspect ? c.exactSuspect : c.exact);
            if (!exact) ++(suspect ? c.wrongSuspect : c.wrongGood);
            if (std::getenv("DSKR_SWEEP_VERBOSE") && (suspect || !exact)) {
                std::string spans;
                for (const kySectorSpan& sp : reader.Report().suspect)
                    spans += " " + std::to_string(sp.first) + "-" + std::to_string(sp.last);
                std::printf("  %s track %u (%u..): %s%s, rereads %u, by Q %u, suspect%s\n",
                            what.c_str(), t, toc.entries[t].start, exact ? "exact" : "wrong",
                            suspect ? " suspect" : "", reader.Report().rereads,
                            reader.Report().placedBySubQ, spans.c_str());
            }
            EXPECT_TRUE(exact || suspect)
                << what << ": track " << t << " differs from the disc but is called good";
            const Shift shift = exact ? Shift{} : shiftOf(image, toc.entries[t], sink.bytes);
            shifts += " " + std::to_string(t) + ":" + std::to_string(shift.sectors) +
                      (shift.differ ? "/" + std::to_string(shift.differ) : "");
            if (t == tracks.front()) runShift = shift.sectors;
            // A start placed afresh is exact; any other joins on to the track before.
            // Scratched sectors settled by an average may differ too, in a suspect track.
            joined = joined && (!before || shift.sectors == *before || shift.sectors == 0) &&
                     (shift.differ == 0 || (suspect && shift.differ * 10 < toc.entries[t].length));
            sameShift = sameShift && shift.sectors == runShift;
            before = shift.sectors;
        }
        ++c.runs;
        if (sameShift && runShift != 0) ++c.shiftedRuns;
        if (allGood) ++c.goodRuns;
        lastRunSeamless = joined;
    }

    // Every mode, fault and settling over kDiscs discs; `order` picks the tracks of a disc.
    std::map<std::string, Counts> sweep(uint64_t firstSeed,
                                        std::vector<uint32_t> (*order)(const kyDiscImage&),
                                        std::optional<int32_t> bias) {
        std::map<std::string, Counts> rows;
        uint64_t seed = firstSeed;
        for (uint32_t mode : {KY_READ_JITTER, KY_READ_SCRATCH})
            for (const Faults& f : kFaults)
                for (int settle = 0; settle <= 1; ++settle)
                    for (int disc = 0; disc < kDiscs; ++disc, ++seed) {
                        auto image = kytest::makeRandomDisc(seed);
                        char text[200];
                        std::snprintf(text, sizeof text, "seed=%llu,seek=%.2f:%s%s",
                                      static_cast<unsigned long long>(seed), f.p, f.range,
                                      settle ? ",settle=1" : "");
                        std::string faults = text;
                        // Scratches only where scratch correction can see them.
                        if (mode == KY_READ_SCRATCH && disc % 2)
                            faults += ",scratch=" + std::to_string(10 + disc * 5) + "-" +
                                      std::to_string(400 + disc * 13) + ":0.05";
                        auto reader = open(image, faults, bias);
                        char key[80];
                        std::snprintf(key, sizeof key, "%-7s p=%.2f %s",
                                      mode == KY_READ_JITTER ? "jitter" : "scratch", f.p,
                                      settle ? "settled" : "       ");
                        rip(*reader, *image, order(*image), mode, faults, rows[key]);
                        if (!lastRunSeamless) broken.push_back(faults + shifts);
                    }
        return rows;
    }

    struct QCase {
        const char* name;
        const char* faults; // after the seed
        int32_t readOffset;
        std::optional<int32_t> bias; // as stored from earlier sessions
    };
    int dropped = 0; // runs whose stored bias the drive's starts contradicted
    // Every case in both correcting modes over `runs` discs each, every track in order.
    std::map<std::string, Counts> ripCases(const auto& cases, int runs, uint64_t seed) {
        std::map<std::string, Counts> rows;
        for (const QCase& k : cases)
            for (uint32_t mode : {KY_READ_JITTER, KY_READ_SCRATCH})
                for (int disc = 0; disc < runs; ++disc, ++seed) {
                    auto image = kytest::makeRandomDisc(seed);
                    const std::string faults = "seed=" + std::to_string(seed) + "," + k.faults;
                    auto reader = open(image, faults, k.bias);
                    std::vector<uint32_t> tracks;
                    for (const auto& t : image->Tracks()) tracks.push_back(t.number);
                    const std::string key =
                        std::string(mode == KY_READ_JITTER ? "jitter  " : "scratch ") + k.name;
                    rip(*reader, *image, tracks, mode, faults, rows[key], k.readOffset);
                    if (!lastRunSeamless) broken.push_back(faults + shifts);
                    if (k.bias && reader->SubQBias().Contradicted()) ++dropped;
                }
        return rows;
    }

    static Counts report(const char* title, const std::map<std::string, Counts>& rows) {
        std::printf("%s\n%-34s %4s %6s %6s %9s %9s %8s %9s %7s %7s %5s\n", title, "", "runs",
                    "tracks", "exact", "exact,sus", "wrong,sus", "wrong,ok", "rereads/t", "shifted",
                    "allgood", "by Q");
        Counts total;
        for (const auto& [key, c] : rows) {
            std::printf("%-34s %4d %6d %6d %9d %9d %8d %9.1f %7d %7d %5d\n", key.c_str(), c.runs,
                        c.tracks, c.exact, c.exactSuspect, c.wrongSuspect, c.wrongGood,
                        c.tracks ? double(c.rereads) / c.tracks : 0.0, c.shiftedRuns, c.goodRuns,
                        c.placedBySubQ);
            total.add(c);
        }
        std::printf("%-34s %4d %6d %6d %9d %9d %8d %9s %7d %7d %5d\n", "all", total.runs,
                    total.tracks, total.exact, total.exactSuspect, total.wrongSuspect,
                    total.wrongGood, "", total.shiftedRuns, total.goodRuns, total.placedBySubQ);
        return total;
    }
};

TEST_F(DskReaderSweep, ContiguousTrackByTrackRipsAreExact) {
    const auto rows = sweep(
        1000,
        [](const kyDiscImage& image) {
            std::vector<uint32_t> tracks;
            for (const auto& t : image.Tracks()) tracks.push_back(t.number);
            return tracks;
        },
        0);
    const Counts total = report("Every track in order, one range each:", rows);
    EXPECT_EQ(total.wrongGood, 0);
    // Whatever the first start, every later one joins on to the track before.
    for (const std::string& run : broken) ADD_FAILURE() << "tracks not joined seamlessly: " << run;
    RecordProperty("tracks", total.tracks);
    RecordProperty("wrong_called_good", total.wrongGood);
    for (const auto& [key, c] : rows) {
        // A drive that lands right after at least three seeks in ten gives every track
        // exactly. One that lands off nine times in ten or more is placed by its Q: most
        // of its rips are exact and good.
        const bool landsRight = key.find("p=0.9") == std::string::npos;
        if (landsRight) {
            EXPECT_EQ(c.exact + c.exactSuspect, c.tracks) << key;
        } else {
            EXPECT_GE(c.goodRuns * 4, c.runs * 3) << key;
            EXPECT_GT(c.placedBySubQ, 0) << key;
        }
    }
}

// Drives whose Q sub-channel is missing, damaged or a sector off from the audio, and one
// with a read offset, that land off nearly every time (or often, where the vote decides).
// Those whose Q is whole have its bias known from earlier sessions; a bias this session
// learns from one start the audio places is not yet enough to place others.
TEST_F(DskReaderSweep, SubChannelFaultsNeverMakeAWrongTrackGood) {
    const QCase cases[] = {
        {"no Q", "seek=0.95:-9..9,subq=0", 0, 0},
        {"Q CRC always bad", "seek=0.95:-9..9,qcrc=1", 0, 0},
        {"Q CRC bad 1 in 3", "seek=0.95:-9..9,qcrc=0.3", 0, 0},
        {"Q off by one, half the reads", "seek=0.95:-9..9,qshift=0.5:1", 0, 0},
        {"Q a sector late, p=0.5", "seek=0.5:-9..9,qshift=1:1..1", 0, std::nullopt},
        {"Q a sector early, p=0.7", "seek=0.7:-5..6,qshift=1:-1..-1", 0, std::nullopt},
        {"Q a sector late, p=0.8", "seek=0.8:-9..9,qshift=1:1..1", 0, std::nullopt},
        {"offset +667", "seek=0.95:-9..9,offset=667", 667, 0},
        {"offset -1164", "seek=0.95:-9..9,offset=-1164", -1164, 0},
    };
    auto rows = ripCases(cases, 4, 9000);
    const Counts total = report("Q sub-channel faults, every track in order:", rows);
    EXPECT_EQ(total.wrongGood, 0);
    for (const std::string& run : broken) ADD_FAILURE() << "tracks not joined seamlessly: " << run;
    for (const QCase& k : cases) {
        const Counts& j = rows[std::string("jitter  ") + k.name];
        Counts c = rows[std::string("scratch ") + k.name];
        c.add(j);
        const std::string name = k.name;
        if (name == "no Q" || name == "Q CRC always bad" || name.starts_with("Q a sector")) {
            // As without the Q: the audio alone decides.
            EXPECT_EQ(c.placedBySubQ, 0) << name;
        }
        if (name.starts_with("Q a sector")) {
            EXPECT_EQ(c.exact + c.exactSuspect + c.wrongSuspect, c.tracks) << name;
        }
        if (name == "Q CRC bad 1 in 3" || name.starts_with("offset")) {
            // The Q frames that are whole still place the start, with the read offset too.
            // (Where the audio happens to favour a neighbouring landing, the Q is not
            // followed and the first track is suspect.)
            EXPECT_GE(c.goodRuns * 2, c.runs) << name;
            EXPECT_GT(c.placedBySubQ, 0) << name;
        }
    }
}

// A drive whose Q is always the same few sectors off from its audio, and that lands off
// nine times in ten or more: where the audio cannot place a start, a Q taken as it comes
// would place it those few sectors off, and nothing would show it. Until starts the audio
// placed have shown the bias, such a drive's first start is suspect; with its bias known
// (learned, stored and given back), the Q places starts exactly. A stored bias that the
// drive's starts contradict is dropped.
TEST_F(DskReaderSweep, ConstantQBiasIsLearnedNotGuessed) {
    const QCase cases[] = {
        {"Q 1 late, p=0.9, bias unknown", "seek=0.9:-9..2,qshift=1:1..1", 0, std::nullopt},
        {"Q 1 late, p=0.95, bias unknown", "seek=0.95:-9..9,qshift=1:1..1", 0, std::nullopt},
        {"Q 2 early, p=0.9, bias unknown", "seek=0.9:-5..6,qshift=1:-2..-2", 0, std::nullopt},
        {"Q 2 early, p=0.95, bias unknown", "seek=0.95:-9..9,qshift=1:-2..-2", 0, std::nullopt},
        {"Q 1 late, p=0.9, bias known", "seek=0.9:-9..2,qshift=1:1..1", 0, 1},
        {"Q 1 late, p=0.95, bias known", "seek=0.95:-9..9,qshift=1:1..1", 0, 1},
        {"Q 2 early, p=0.9, bias known", "seek=0.9:-5..6,qshift=1:-2..-2", 0, -2},
        {"Q 2 early, p=0.95, bias known", "seek=0.95:-9..9,qshift=1:-2..-2", 0, -2},
        {"Q 1 late, p=0.5, 0 stored", "seek=0.5:-9..9,qshift=1:1..1", 0, 0},
    };
    auto rows = ripCases(cases, 1, 9500);
    const Counts total = report("Q a constant few sectors off, every track in order:", rows);
    EXPECT_EQ(total.wrongGood, 0);
    for (const std::string& run : broken) ADD_FAILURE() << "tracks not joined seamlessly: " << run;
    for (const QCase& k : cases) {
        Counts c = rows[std::string("scratch ") + k.name];
        c.add(rows[std::string("jitter  ") + k.name]);
        const std::string name = k.name;
        if (!k.bias) {
            EXPECT_EQ(c.placedBySubQ, 0) << name;
        } else if (name.ends_with(" known")) {
            EXPECT_GT(c.placedBySubQ, 0) << name;
            EXPECT_GE(c.goodRuns * 2, c.runs) << name;
        }
    }
    // The stored bias was contradicted by the first start the audio placed, and dropped.
    EXPECT_EQ(dropped, 2);

    // Learned: starts the audio places, on a drive that lands right often enough, show the
    // bias (the tracks last first, so that each starts afresh; none starts in silence,
    // where nothing places a start) ...
    kytest::RandomDiscShape shape;
    shape.maxSilence = 0;
    auto image = kytest::makeRandomDisc(9600, shape);
    auto learner = open(image, "seed=9600,seek=0.5:-9..9,qshift=1:-2..-2");
    std::vector<uint32_t> tracks;
    for (const auto& t : image->Tracks()) tracks.insert(tracks.begin(), t.number);
    Counts learning;
    rip(*learner, *image, tracks, KY_READ_JITTER, "learning", learning);
    ASSERT_TRUE(learner->SubQBias().Known());
    EXPECT_EQ(learner->SubQBias().Value(), -2);
    EXPECT_EQ(learning.wrongGood, 0);
    // ... and, given back to the drive in a later session, place its starts where the
    // audio cannot.
    Counts placed;
    for (uint64_t seed = 9601; seed < 9604; ++seed) {
        auto disc = kytest::makeRandomDisc(seed);
        auto later = open(disc, "seed=" + std::to_string(seed) + ",seek=0.95:-9..9,qshift=1:-2..-2",
                          learner->SubQBias().Value());
        std::vector<uint32_t> all;
        for (const auto& t : disc->Tracks()) all.push_back(t.number);
        rip(*later, *disc, all, KY_READ_SCRATCH, "later session", placed);
    }
    EXPECT_EQ(placed.wrongGood, 0);
    EXPECT_GT(placed.placedBySubQ, 0);
}

TEST_F(DskReaderSweep, TracksOutOfOrderAreExactOrSuspect) {
    const auto rows = sweep(
        5000,
        [](const kyDiscImage& image) {
            // Every other track, the last first.
            std::vector<uint32_t> tracks;
            for (const auto& t : image.Tracks())
                if (t.number % 2 == 1) tracks.insert(tracks.begin(), t.number);
            return tracks;
        },
        0);
    const Counts total = report("Every other track, last first:", rows);
    EXPECT_EQ(total.wrongGood, 0);
    RecordProperty("tracks", total.tracks);
    RecordProperty("wrong_called_good", total.wrongGood);
}

} // namespace
