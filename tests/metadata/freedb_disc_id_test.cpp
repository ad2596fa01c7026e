#include "metadata/freedb_disc_id.h"
#include <gtest/gtest.h>

namespace {
kyDiscToc makeToc(std::initializer_list<uint32_t> starts, uint32_t leadout) {
    kyDiscToc toc;
    toc.firstTrack = 1;
    toc.lastTrack = static_cast<uint32_t>(starts.size());
    uint32_t t = 1;
    for (uint32_t s : starts) toc.entries[t++].start = s;
    toc.entries[t].start = leadout;
    return toc;
}
} // namespace

TEST(FreedbDiscId, TwoTrackDisc) {
    // Tracks at 2 s and 202 s, lead-out at 402 s.
    kyDiscToc toc = makeToc({0, 15000}, 30000);
    // Digit sums: 2 and 2+0+2 = 4 -> 6; length 402 - 2 = 400 = 0x190; 2 tracks.
    EXPECT_EQ(freedbDiscId(toc), 0x06019002u);
    EXPECT_EQ(discIdQueryText(toc), "06019002+2+150+15150+402");
}

TEST(FreedbDiscId, DigitSumWrapsModulo255AndDataTracksCount) {
    // 99 tracks whose start seconds all have digit sum 9+... keep it simple: many tracks.
    kyDiscToc toc;
    toc.firstTrack = 1;
    toc.lastTrack = 99;
    for (uint32_t t = 1; t <= 99; ++t) toc.entries[t].start = (t * 39 - 2) * 75; // 39t seconds
    toc.entries[100].start = (99 * 39 + 10 - 2) * 75;
    uint32_t sum = 0;
    for (uint32_t t = 1; t <= 99; ++t)
        for (uint32_t s = t * 39; s; s /= 10) sum += s % 10;
    const uint32_t length = (99 * 39 + 10) - 39;
    EXPECT_EQ(freedbDiscId(toc), ((sum % 255) << 24) | (length << 8) | 99u);
    kyDiscToc empty;
    EXPECT_EQ(discIdQueryText(empty), "");
}
