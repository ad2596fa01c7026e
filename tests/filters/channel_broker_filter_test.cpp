#include "filters/channel_broker_filter.h"
#include "filters/stream_fixture.h"
#include <gtest/gtest.h>

using namespace filters_test;
using Mode = kyChannelBrokerFilter::Mode;

namespace {

struct MapCase {
    const char* name;
    uint32_t sourceChannels;
    uint32_t sourceMask; // 0: the default for the count
    uint32_t target;
    std::vector<std::pair<int, int>> map;
    Mode mode;
    uint32_t mask;
};

const MapCase kMapCases[] = {
    {"stereo to mono", 2, 0, 1, {{0, 1}}, Mode::Mixing, 0x4},
    {"mono to mono keeps its mask", 1, 0x1, 1, {{0, -1}}, Mode::Identity, 0x1},
    {"mono to stereo", 1, 0, 2, {{0, -1}, {0, -1}}, Mode::Routing, 0x3},
    {"stereo to stereo", 2, 0, 2, {{0, -1}, {1, -1}}, Mode::Identity, 0x3},
    {"quad to quad", 4, 0x33, 4, {{0, -1}, {1, -1}, {2, -1}, {3, -1}}, Mode::Identity, 0x33},
    {"5.1 to stereo", 6, 0x3F, 2, {{0, -1}, {1, -1}}, Mode::Routing, 0x3},
    {"5.1 to mono", 6, 0x3F, 1, {{0, 1}}, Mode::Mixing, 0x4},
    {"stereo to three", 2, 0, 3, {{0, -1}, {1, -1}, {-1, -1}}, Mode::Routing, 0x7},
    {"mono to three", 1, 0, 3, {{0, -1}, {0, -1}, {-1, -1}}, Mode::Routing, 0x7},
    {"stereo to 5.1",
     2,
     0,
     6,
     {{0, -1}, {1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}},
     Mode::Routing,
     0x3F},
    {"5.0 to 5.1",
     5,
     0x37,
     6,
     {{0, -1}, {1, -1}, {2, -1}, {-1, -1}, {4, -1}, {-1, -1}},
     Mode::Routing,
     0x3F},
    {"7.1 to 7 mixes the back pair",
     8,
     0x63F,
     7,
     {{0, -1}, {1, -1}, {2, -1}, {3, -1}, {4, -1}, {5, -1}, {6, 7}},
     Mode::Mixing,
     0x70F},
    {"7 to 7.1 spreads the back centre",
     7,
     0x70F,
     8,
     {{0, -1}, {1, -1}, {2, -1}, {3, -1}, {4, -1}, {5, -1}, {6, -1}, {6, -1}},
     Mode::Routing,
     0x63F},
};

// What the map promises, computed frame by frame from the input.
Planes expectedOutput(const Planes& in, const std::vector<std::pair<int, int>>& map) {
    const size_t frames = in[0].size();
    Planes out(map.size(), std::vector<float>(frames, 0.0f));
    for (size_t o = 0; o < map.size(); ++o) {
        const auto [a, b] = map[o];
        for (size_t k = 0; k < frames; ++k) {
            if (a < 0)
                out[o][k] = 0.0f;
            else if (b < 0)
                out[o][k] = in[a][k];
            else
                out[o][k] = (in[a][k] + in[b][k]) * 0.5f;
        }
    }
    return out;
}

} // namespace

TEST(ChannelBrokerFilter, MapModeMaskAndSamplesForEveryLayoutAndBlockPattern) {
    for (const MapCase& mc : kMapCases) {
        SCOPED_TRACE(mc.name);
        const Planes in = noise(mc.sourceChannels, 3000, mc.sourceChannels);
        const Planes want = expectedOutput(in, mc.map);
        for (const BlockPattern& bp : standardPatterns()) {
            SCOPED_TRACE(bp.name);
            auto* src = new ScriptedSource(in, bp);
            if (mc.sourceMask) src->setMask(mc.sourceMask);
            auto* broker = new kyChannelBrokerFilter(mc.target);
            Chain chain(src, {broker});

            kyAudioFormat f;
            ASSERT_EQ(broker->GetFormat(f), KY_OK);
            EXPECT_EQ(f.channels, mc.target);
            EXPECT_EQ(f.channelMask, mc.mask);
            EXPECT_EQ(f.lengthFrames, 3000u);

            ASSERT_EQ(chain.run(), KY_OK);
            EXPECT_EQ(broker->mode(), mc.mode);
            ASSERT_EQ(broker->channelMap().size(), mc.map.size());
            for (size_t i = 0; i < mc.map.size(); ++i) {
                EXPECT_EQ(broker->channelMap()[i].first, mc.map[i].first) << "output " << i;
                EXPECT_EQ(broker->channelMap()[i].second, mc.map[i].second) << "output " << i;
            }
            // Bit-exact: silence is 0, a copy is the input, a mix the single-precision mean.
            ASSERT_EQ(chain.sink->got.size(), mc.target);
            EXPECT_EQ(chain.sink->got, want);
            EXPECT_EQ(chain.sink->endCalls, 1);
        }
    }
}

TEST(ChannelBrokerFilter, RoutesWithoutCopyingAndPassesIdentityUntouched) {
    // Mono to stereo: both outputs are the source's own plane.
    {
        auto* src = new ScriptedSource(noise(1, 588), {"588", {588}});
        Chain chain(src, {new kyChannelBrokerFilter(2)});
        ASSERT_EQ(chain.run(), KY_OK);
        ASSERT_EQ(chain.sink->ptrs.size(), 1u);
        ASSERT_EQ(chain.sink->ptrs[0].size(), 2u);
        EXPECT_EQ(chain.sink->ptrs[0][0], src->lastPlanes()[0]);
        EXPECT_EQ(chain.sink->ptrs[0][1], src->lastPlanes()[0]);
    }
    // Stereo to stereo: the block goes through as it came.
    {
        auto* src = new ScriptedSource(noise(2, 588), {"588", {588}});
        Chain chain(src, {new kyChannelBrokerFilter(2)});
        ASSERT_EQ(chain.run(), KY_OK);
        ASSERT_EQ(chain.sink->ptrs.size(), 1u);
        EXPECT_EQ(chain.sink->ptrs[0], src->lastPlanes());
    }
    // 5.1 to stereo: the first two planes, and only two.
    {
        auto* src = new ScriptedSource(noise(6, 588), {"588", {588}});
        Chain chain(src, {new kyChannelBrokerFilter(2)});
        ASSERT_EQ(chain.run(), KY_OK);
        ASSERT_EQ(chain.sink->ptrs.size(), 1u);
        EXPECT_EQ(chain.sink->ptrs[0],
                  std::vector<float*>(src->lastPlanes().begin(), src->lastPlanes().begin() + 2));
    }
}

TEST(ChannelBrokerFilter, BlocksLargerThanAnnouncedAreHandledInSlices) {
    // The source says 588 frames a block but sends 5000: mixing and silent outputs must
    // neither overrun their buffers nor lose frames.
    for (uint32_t target : {1u, 3u}) {
        SCOPED_TRACE(target);
        const Planes in = noise(2, 20000, 9);
        auto* src = new ScriptedSource(in, {"5000", {5000}}, 588);
        Chain chain(src, {new kyChannelBrokerFilter(target)});
        ASSERT_EQ(chain.run(), KY_OK);
        EXPECT_EQ(chain.sink->frames(), 20000u);
        for (uint32_t n : chain.sink->blockSizes) EXPECT_LE(n, 588u);
        const auto map = target == 1 ? std::vector<std::pair<int, int>>{{0, 1}}
                                     : std::vector<std::pair<int, int>>{{0, -1}, {1, -1}, {-1, -1}};
        EXPECT_EQ(chain.sink->got, expectedOutput(in, map));
    }
}

TEST(ChannelBrokerFilter, InterleavedOnlyWhenNothingMoves) {
    // Same count: the format is offered and the bytes pass unchanged.
    {
        auto* src = new ScriptedSource(noise(2, 3000), {"1000", {1000}});
        src->setInterleaved("PCM 16-bit");
        auto* broker = new kyChannelBrokerFilter(2);
        Chain chain(src, {broker});
        ASSERT_STREQ(broker->GetInterleavedFormat(2), "PCM 16-bit");
        EXPECT_EQ(broker->GetInterleavedFormat(1), nullptr);
        ASSERT_STREQ(broker->GetInterleavedFormat(2), "PCM 16-bit");
        ASSERT_EQ(broker->RunInterleaved(), KY_OK);
        EXPECT_EQ(chain.sink->interleavedFrames, 3000u);
        EXPECT_EQ(chain.sink->bytes.size(), 3000u * 4);
    }
    // Different count: no format, and interleaved data is refused rather than dropped.
    {
        auto* src = new ScriptedSource(noise(2, 3000), {"1000", {1000}});
        src->setInterleaved("PCM 16-bit");
        auto* broker = new kyChannelBrokerFilter(1);
        Chain chain(src, {broker});
        EXPECT_EQ(broker->GetInterleavedFormat(1), nullptr);
        EXPECT_EQ(broker->GetInterleavedFormat(2), nullptr);
        EXPECT_EQ(broker->RunInterleaved(), KYERR_SEQUENCE);
        EXPECT_EQ(broker->WriteInterleaved("abcd", 4, 1), 1);
        EXPECT_TRUE(chain.sink->bytes.empty());
    }
    // No upstream.
    kyChannelBrokerFilter lone(2);
    EXPECT_EQ(lone.RunInterleaved(), KYERR_SEQUENCE);
    EXPECT_EQ(lone.GetInterleavedFormat(2), nullptr);
}

TEST(ChannelBrokerFilter, RejectsBadSetupsAndShortBlocks) {
    // No upstream to prepare.
    {
        kyChannelBrokerFilter lone(2);
        EXPECT_EQ(lone.Prepare(), KYERR_SEQUENCE);
        float plane[4] = {};
        float* planes[] = {plane, nullptr};
        EXPECT_EQ(lone.Write(planes, 4), KYERR_SEQUENCE); // never prepared
    }
    // A target of no channels.
    {
        Chain chain(new ScriptedSource(noise(2, 100), {"100", {100}}),
                    {new kyChannelBrokerFilter(0)});
        EXPECT_EQ(chain.run(), KYERR_CHANNEL_FORMAT);
        EXPECT_EQ(chain.sink->frames(), 0u);
    }
    // A block with fewer planes than the stream announced is refused, not overread.
    {
        auto* broker = new kyChannelBrokerFilter(1);
        Chain chain(new ScriptedSource(noise(2, 100), {"100", {100}}), {broker});
        ASSERT_EQ(broker->Prepare(), KY_OK);
        float plane[4] = {};
        float* planes[] = {plane, nullptr};
        EXPECT_EQ(broker->Write(planes, 4), KYERR_CHANNEL_FORMAT);
        EXPECT_EQ(chain.sink->writeCalls, 0);
    }
    // A downstream failure comes back unchanged.
    {
        Chain chain(new ScriptedSource(noise(2, 2000), {"588", {588}}),
                    {new kyChannelBrokerFilter(1)});
        chain.sink->failAtWrite = 1;
        chain.sink->failWith = KYERR_WRITE_FILE;
        EXPECT_EQ(chain.run(), KYERR_WRITE_FILE);
    }
}
