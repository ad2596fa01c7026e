#include "filters/silence_removal_filter.h"
#include "filters/stream_fixture.h"
#include <bit>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace filters_test;

namespace {

// The threshold the batch uses: about 4/32768, -78.27 dBFS.
const float kThreshold = std::bit_cast<float>(0x39000100u);

bool silentFrame(const Planes& in, size_t i) {
    for (const auto& plane : in)
        if (!(std::fabs(plane[i]) <= kThreshold)) return false;
    return true;
}

// Whole-stream model: a maximal silent run of at least `minimum` frames goes (in
// leading-only mode only the run the stream starts with); everything else stays.
Planes expectedRemoval(const Planes& in, int minimum, bool leadingOnly) {
    const size_t frames = in[0].size();
    std::vector<bool> keep(frames, true);
    size_t i = 0;
    while (i < frames) {
        if (!silentFrame(in, i)) {
            if (leadingOnly) break;
            ++i;
            continue;
        }
        size_t j = i;
        while (j < frames && silentFrame(in, j)) ++j;
        if (int64_t(j - i) >= minimum)
            for (size_t k = i; k < j; ++k) keep[k] = false;
        if (leadingOnly) break;
        i = j;
    }
    Planes out(in.size());
    for (size_t c = 0; c < in.size(); ++c)
        for (size_t k = 0; k < frames; ++k)
            if (keep[k]) out[c].push_back(in[c][k]);
    return out;
}

// Audible noise with silent stretches of the given lengths cut into it (each followed by
// `gap` audible frames), optionally starting with silence.
Planes withSilences(uint32_t channels, const std::vector<uint32_t>& runs, uint32_t gap,
                    uint32_t seed) {
    Planes p = noise(channels, 0);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> loud(0.01f, 1.0f);
    std::uniform_real_distribution<float> quiet(-kThreshold, kThreshold);
    for (uint32_t run : runs) {
        for (uint32_t i = 0; i < run; ++i)
            for (auto& plane : p) plane.push_back(quiet(rng));
        for (uint32_t i = 0; i < gap; ++i)
            for (auto& plane : p) plane.push_back(rng() & 1 ? loud(rng) : -loud(rng));
    }
    return p;
}

Planes runFilter(const Planes& in, const BlockPattern& bp, int minimum, bool leadingOnly,
                 int* endCalls = nullptr) {
    Chain chain(new ScriptedSource(in, bp),
                {new kySilenceRemovalFilter(kThreshold, minimum, leadingOnly)});
    EXPECT_EQ(chain.run(), KY_OK);
    if (endCalls) *endCalls = chain.sink->endCalls;
    Planes got = chain.sink->got;
    got.resize(in.size());
    return got;
}

} // namespace

TEST(SilenceRemovalFilter, LeadingSilenceOfSevenStaysAndOfEightGoes) {
    for (uint32_t lead : {7u, 8u, 9u, 600u, 5000u}) {
        SCOPED_TRACE(lead);
        // Silence in the middle and at the end must survive in leading-only mode.
        const Planes in = withSilences(2, {lead, 40, 3000}, 700, lead);
        const Planes want = expectedRemoval(in, 8, true);
        EXPECT_EQ(want[0].size(), in[0].size() - (lead >= 8 ? lead : 0));
        for (const BlockPattern& bp : standardPatterns()) {
            SCOPED_TRACE(bp.name);
            EXPECT_EQ(runFilter(in, bp, 8, true), want);
        }
    }
}

TEST(SilenceRemovalFilter, FullModeRemovesEveryLongRunWholeWhateverTheBlockSizes) {
    // Runs just under, at and over the minimum, long runs, and a trailing run.
    const std::vector<std::vector<uint32_t>> layouts = {
        {0, 3, 7, 8, 9, 1, 600, 15, 2000, 7},
        {20, 5, 8, 8, 8, 4000, 2},
        {1, 1, 1, 7, 12},
    };
    for (uint32_t channels : {1u, 2u, 3u}) {
        for (size_t l = 0; l < layouts.size(); ++l) {
            SCOPED_TRACE(testing::Message() << channels << " channels, layout " << l);
            const Planes in = withSilences(channels, layouts[l], 300, uint32_t(l + 1));
            const Planes want = expectedRemoval(in, 8, false);
            for (const BlockPattern& bp : standardPatterns()) {
                SCOPED_TRACE(bp.name);
                EXPECT_EQ(runFilter(in, bp, 8, false), want);
            }
        }
    }
    // A trailing run: a long one goes, a short one stays.
    for (uint32_t tail : {5u, 50u}) {
        SCOPED_TRACE(tail);
        Planes in = withSilences(2, {0, tail}, 100, 3);
        in[0].resize(100 + tail);
        in[1].resize(100 + tail);
        for (uint32_t i = 100; i < 100 + tail; ++i) in[0][i] = in[1][i] = 0.0f;
        for (const BlockPattern& bp : standardPatterns())
            EXPECT_EQ(runFilter(in, bp, 8, false)[0].size(), tail < 8 ? 100 + tail : 100u);
    }
}

TEST(SilenceRemovalFilter, SilentTrackProducesNoAudio) {
    Planes in(2, std::vector<float>(44100, 0.0f));
    for (const BlockPattern& bp : standardPatterns()) {
        SCOPED_TRACE(bp.name);
        int ends = 0;
        EXPECT_TRUE(runFilter(in, bp, 8, true, &ends)[0].empty());
        EXPECT_EQ(ends, 1);
    }
    // Shorter than the minimum: kept, even though the stream ends inside the run.
    Planes brief(2, std::vector<float>(5, 0.0f));
    for (const BlockPattern& bp : standardPatterns())
        EXPECT_EQ(runFilter(brief, bp, 8, true), brief);
}

TEST(SilenceRemovalFilter, ThresholdEdges) {
    struct Edge {
        const char* name;
        float value;
        bool silent;
    };
    const Edge edges[] = {
        {"exactly the threshold", kThreshold, true},
        {"minus the threshold", -kThreshold, true},
        {"negative zero", -0.0f, true},
        {"one step above", std::nextafter(kThreshold, 1.0f), false},
        {"one step below minus", std::nextafter(-kThreshold, -1.0f), false},
        {"not a number", std::numeric_limits<float>::quiet_NaN(), false},
    };
    for (const Edge& e : edges) {
        SCOPED_TRACE(e.name);
        for (uint32_t loudChannel : {0u, 1u, 2u}) {
            // Ten frames where one channel holds the value and the others are zero, then
            // audible frames.
            Planes in(3, std::vector<float>(20, 0.5f));
            for (uint32_t i = 0; i < 10; ++i) {
                for (auto& plane : in) plane[i] = 0.0f;
                in[loudChannel][i] = e.value;
            }
            const Planes got = runFilter(in, {"4", {4}}, 8, true);
            EXPECT_EQ(got[0].size(), e.silent ? 10u : 20u);
        }
    }
}

TEST(SilenceRemovalFilter, PlanarOnlyAndMisuse) {
    kySilenceRemovalFilter lone(kThreshold, 8, true);
    EXPECT_EQ(lone.GetInterleavedFormat(2), nullptr);
    EXPECT_EQ(lone.WriteInterleaved("abcd", 4, 1), 1);
    EXPECT_EQ(lone.Prepare(), KYERR_SEQUENCE);
    float plane[4] = {};
    float* planes[] = {plane, nullptr};
    EXPECT_EQ(lone.Write(planes, 4), KYERR_SEQUENCE);

    // A block with fewer planes than announced is refused, not overread.
    auto* filter = new kySilenceRemovalFilter(kThreshold, 8, false);
    Chain chain(new ScriptedSource(noise(2, 100), {"100", {100}}), {filter});
    ASSERT_EQ(filter->Prepare(), KY_OK);
    EXPECT_EQ(filter->Write(planes, 4), KYERR_CHANNEL_FORMAT);

    // Downstream failures come back at once: while audible, and when held frames go out.
    for (int failAt : {0, 1}) {
        SCOPED_TRACE(failAt);
        Chain c(new ScriptedSource(withSilences(2, {0, 5, 5}, 50, 1), {"52", {52}}),
                {new kySilenceRemovalFilter(kThreshold, 8, false)});
        c.sink->failAtWrite = failAt;
        c.sink->failWith = KYERR_WRITE_FILE;
        EXPECT_EQ(c.run(), KYERR_WRITE_FILE);
    }
}
