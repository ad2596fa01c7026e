#include "filters/itu_bs1770_analyzer.h"
#include "support/loudness_signals.h"
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#if DSKR_HAVE_EBUR128
#include <ebur128.h>
#endif

using namespace loudness_signals;

namespace {
using Bs1770Ptr = kyGainAnalyzerPtr<kyITUBS1770Analyzer>;

Bs1770Ptr measure(Planes& p, uint32_t rate, uint32_t mode = 2, float target = -23.0f,
                  uint32_t mask = 0, uint32_t block = 4410) {
    auto a = kyMakeGainAnalyzer<kyITUBS1770Analyzer>(mode, target);
    EXPECT_EQ(a->init(rate, static_cast<uint32_t>(p.size()), mask), KY_OK);
    feed(*a, p, block);
    return a;
}

// Sections of 1 kHz sine (level dBFS per channel, seconds), as the EBU test signals are made.
Planes sections(uint32_t rate, const std::vector<std::vector<double>>& levels,
                const std::vector<double>& seconds) {
    Planes p(levels[0].size());
    uint64_t n = 0;
    for (size_t s = 0; s < seconds.size(); ++s) {
        const uint64_t frames = std::llround(seconds[s] * rate);
        for (uint64_t i = 0; i < frames; ++i, ++n)
            for (size_t c = 0; c < p.size(); ++c)
                p[c].push_back(static_cast<float>(std::pow(10.0, levels[s][c] / 20.0) *
                                                  std::sin(2.0 * M_PI * 1000.0 * n / rate)));
    }
    return p;
}
} // namespace

// EBU Tech 3341, cases 1 to 6 (integrated loudness), at 48 kHz and again at 44.1 kHz where
// the filters are designed rather than taken from the table.
TEST(ITUBS1770Analyzer, EbuTech3341Cases) {
    struct Case {
        const char* name;
        std::vector<std::vector<double>> levels; // per section, per channel
        std::vector<double> seconds;
        double expected; // LUFS
    };
    const std::vector<Case> cases = {
        {"1", {{-23, -23}}, {20}, -23.0},
        {"2", {{-33, -33}}, {20}, -33.0},
        {"3", {{-36, -36}, {-23, -23}, {-36, -36}}, {10, 60, 10}, -23.0},
        {"4",
         {{-72, -72}, {-36, -36}, {-23, -23}, {-36, -36}, {-72, -72}},
         {10, 10, 60, 10, 10},
         -23.0},
        {"5", {{-26, -26}, {-20, -20}, {-26, -26}}, {20, 20.1, 20}, -23.0},
        // 5.0: L, R, C, Ls, Rs in the default five-channel layout.
        {"6", {{-28, -28, -24, -30, -30}}, {20}, -23.0},
    };
    for (uint32_t rate : {48000u, 44100u}) {
        for (const Case& c : cases) {
            auto audio = sections(rate, c.levels, c.seconds);
            auto a = measure(audio, rate);
            ASSERT_TRUE(a->hasLoudness()) << c.name;
            std::printf("  case %s at %u Hz: %.3f LUFS\n", c.name, rate, a->loudness());
            EXPECT_NEAR(a->loudness(), c.expected, 0.1) << c.name << " " << rate;
            // Target -23 (relative 0 LU in the normalize filter's terms is target 0).
            EXPECT_NEAR(a->gain(), -23.0 - 23.0 - c.expected, 0.1) << c.name;
        }
    }
}

TEST(ITUBS1770Analyzer, ModesAndEdgeCases) {
    // -18 dBFS 1 kHz on both channels of a 48 kHz stream: about -18 LUFS, so the gain for
    // target 0 LU is -5 dB; the ungated K-weighted mean agrees, the high-pass alone is
    // 0.69 dB lower (the shelf adds that much at 1 kHz).
    auto tone = sine(2, 48000, 48000 * 5, 1000, -18);
    auto gated = measure(tone, 48000, 2, 0.0f);
    EXPECT_NEAR(gated->loudness(), -18.0, 0.1);
    EXPECT_NEAR(gated->gain(), -5.0, 0.1);
    auto k = measure(tone, 48000, 1, -23.0f);
    EXPECT_NEAR(k->gain(), -5.0, 0.1);
    auto hp = measure(tone, 48000, 0, -23.0f);
    EXPECT_NEAR(hp->gain() - k->gain(), 0.69, 0.05);

    // Shorter than 100 ms: no block, gain 0. Digital silence and a null block: the same.
    auto blip = sine(2, 48000, 4799, 1000, -10);
    EXPECT_EQ(measure(blip, 48000)->gain(), 0.0f);
    Planes silence(2, std::vector<float>(48000 * 2, 0.0f));
    for (uint32_t mode : {0u, 1u, 2u}) {
        auto s = measure(silence, 48000, mode);
        EXPECT_EQ(s->gain(), 0.0f) << mode;
        EXPECT_FALSE(s->hasLoudness()) << mode;
    }
    kyITUBS1770Analyzer n(2, 0.0f);
    ASSERT_EQ(n.init(48000, 2, 0), KY_OK);
    n.process(nullptr, 48000);
    n.finish();
    EXPECT_EQ(n.gain(), 0.0f);

    // Parameters.
    kyITUBS1770Analyzer bad(2, 0.0f);
    EXPECT_EQ(bad.init(48000, 0, 0), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(bad.init(0, 2, 0), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(bad.init(3000, 2, 0), KYERR_INVALID_PARAMETER);
    EXPECT_EQ(bad.init(8000, 20, 0), KY_OK); // channels beyond 16 are left out

    // Block size does not matter.
    auto music = musicLike(2, 44100, 44100 * 5 + 123, -15, 3);
    const float whole = measure(music, 44100, 2, 0.0f, 0, 1u << 30)->gain();
    for (uint32_t block : {1u, 100u, 4410u, 4411u})
        EXPECT_FLOAT_EQ(measure(music, 44100, 2, 0.0f, 0, block)->gain(), whole) << block;
}

TEST(ITUBS1770Analyzer, ChannelWeights) {
    // 5.1 (FL FR FC LFE BL BR): the LFE does not count, the surrounds count 1.41 times.
    kyITUBS1770Analyzer a(2, 0.0f);
    ASSERT_EQ(a.init(48000, 6, 0), KY_OK);
    const float want[] = {1.0f, 1.0f, 1.0f, 0.0f, 1.41f, 1.41f};
    for (uint32_t c = 0; c < 6; ++c) EXPECT_FLOAT_EQ(a.channelWeight(c), want[c]) << c;
    // Channels beyond the mask's speakers: 1.0 for the first two, 1.41 after.
    ASSERT_EQ(a.init(48000, 4, 0x4), KY_OK);
    EXPECT_FLOAT_EQ(a.channelWeight(0), 1.0f);
    EXPECT_FLOAT_EQ(a.channelWeight(1), 1.0f);
    EXPECT_FLOAT_EQ(a.channelWeight(2), 1.41f);

    auto only = [](uint32_t channel) {
        Planes p(6, std::vector<float>(48000 * 3, 0.0f));
        p[channel] = sine(1, 48000, 48000 * 3, 1000, -20)[0];
        return p;
    };
    auto lfe = only(3);
    EXPECT_EQ(measure(lfe, 48000)->gain(), 0.0f); // nothing above the absolute gate
    auto front = only(0), back = only(4);
    EXPECT_NEAR(measure(front, 48000)->gain() - measure(back, 48000)->gain(), 10 * std::log10(1.41),
                0.01);
}

// Our gated loudness against libebur128's integrated loudness on the same float samples.
TEST(ITUBS1770Analyzer, MatchesLibebur128) {
#if !DSKR_HAVE_EBUR128
    GTEST_SKIP() << "libebur128 not available";
#else
    for (uint32_t rate : {44100u, 48000u}) {
        const uint32_t frames = rate * 12; // whole 100 ms steps
        struct Item {
            const char* name;
            Planes audio;
        };
        std::vector<Item> items;
        items.push_back({"white", {}});
        {
            std::mt19937 rng(rate);
            std::uniform_real_distribution<float> u(-0.3f, 0.3f);
            Planes w(2, std::vector<float>(frames));
            for (auto& ch : w)
                for (float& v : ch) v = u(rng);
            items.back().audio = std::move(w);
        }
        items.push_back({"pink", pinkNoisePlanes(2, frames, -18, rate)});
        items.push_back({"music", musicLike(2, rate, frames, -8, rate + 1)});
        items.push_back({"quiet music", musicLike(2, rate, frames, -40, rate + 2)});
        // Short material: no block may reach back before the start of the stream.
        items.push_back({"2 s music", musicLike(2, rate, rate * 2, -12, rate + 3)});
        for (auto& it : items) {
            const uint32_t frames = static_cast<uint32_t>(it.audio[0].size());
            ebur128_state* st = ebur128_init(2, rate, EBUR128_MODE_I);
            ASSERT_NE(st, nullptr);
            std::vector<float> inter(size_t(frames) * 2);
            for (uint32_t i = 0; i < frames; ++i)
                inter[2 * i] = it.audio[0][i], inter[2 * i + 1] = it.audio[1][i];
            ASSERT_EQ(ebur128_add_frames_float(st, inter.data(), frames), EBUR128_SUCCESS);
            double theirs = 0;
            ASSERT_EQ(ebur128_loudness_global(st, &theirs), EBUR128_SUCCESS);
            ebur128_destroy(&st);
            auto ours = measure(it.audio, rate);
            std::printf("  %-11s %u Hz: ours %.3f LUFS, libebur128 %.3f LUFS\n", it.name, rate,
                        ours->loudness(), theirs);
            EXPECT_NEAR(ours->loudness(), theirs, 0.05) << it.name << " " << rate;
        }
    }
#endif
}
