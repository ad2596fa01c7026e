#include "filters/stream_fixture.h"
#include "filters/trim_filter.h"
#include <gtest/gtest.h>

using namespace filters_test;

namespace {

// The window frame by frame: which input frames come out and at what gain.
Planes expectedTrim(const Planes& in, int64_t start, int64_t cut, int64_t fade, int64_t length) {
    int64_t a = start - fade, b = start, k = cut, d = cut + fade;
    if (d == 0) d = k = 0x7FFFFFFF;
    d = std::min(d, length);
    a = std::min(a, length);
    Planes out(in.size());
    for (int64_t x = std::max<int64_t>(a, 0); x < d; ++x) {
        double gain = 1.0;
        if (x < b)
            gain = double(x - a + 1) / double(b - a);
        else if (fade > 0 && x >= k && k < d)
            gain = double(d - x) / double(d - k);
        for (size_t c = 0; c < in.size(); ++c)
            out[c].push_back(gain == 1.0 ? in[c][x] : in[c][x] * static_cast<float>(gain));
    }
    return out;
}

struct TrimCase {
    const char* name;
    uint32_t start, cut, fade, frames;
};

const TrimCase kTrimCases[] = {
    {"no cut, no fade: everything", 0, 0, 0, 5000},
    {"cut inside a block", 0, 1000, 0, 5000},
    {"cut on a block boundary", 0, 1176, 0, 5000},
    {"cut with fade inside one block", 0, 100, 50, 5000},
    {"cut with fade across blocks", 0, 1000, 300, 5000},
    {"fade-out ending on the stream end", 0, 4000, 1000, 5000},
    {"stream ends inside the fade-out", 0, 4500, 1000, 5000},
    {"stream shorter than the cut", 0, 8000, 300, 5000},
    {"start with a full fade-in", 1000, 3000, 200, 5000},
    {"fade-in starting before the stream", 100, 3000, 250, 5000},
    {"start only", 700, 0, 0, 5000},
    {"window after the stream", 6000, 7000, 10, 5000},
    {"batch values", 0, 2205, 11025, 20000},
};

} // namespace

TEST(TrimFilter, WindowFadesAndLengthAgreeForEveryBlockPattern) {
    for (const TrimCase& tc : kTrimCases) {
        SCOPED_TRACE(tc.name);
        const Planes in = noise(2, tc.frames, tc.cut + 1);
        const Planes want = expectedTrim(in, tc.start, tc.cut, tc.fade, tc.frames);
        for (const BlockPattern& bp : standardPatterns()) {
            SCOPED_TRACE(bp.name);
            auto* trim = new kyTrimFilter(tc.start, tc.cut, tc.fade);
            Chain chain(new ScriptedSource(in, bp), {trim});
            kyAudioFormat f;
            ASSERT_EQ(trim->GetFormat(f), KY_OK);
            EXPECT_GE(f.blockFrames, tc.fade);
            ASSERT_EQ(chain.run(), KY_OK);
            if (!want[0].empty()) {
                ASSERT_EQ(chain.sink->got.size(), 2u);
                ASSERT_EQ(chain.sink->got[0].size(), want[0].size());
                for (int c = 0; c < 2; ++c)
                    for (size_t i = 0; i < want[c].size(); ++i)
                        ASSERT_FLOAT_EQ(chain.sink->got[c][i], want[c][i]) << "frame " << i;
            }
            // The announced length is what arrives.
            EXPECT_EQ(f.lengthFrames, chain.sink->frames());
            EXPECT_EQ(chain.sink->endCalls, 1);
        }
    }
}

TEST(TrimFilter, OutputIsIdenticalWhateverTheBlockSizes) {
    const Planes in = noise(2, 30000, 5);
    Planes reference;
    for (const BlockPattern& bp : standardPatterns()) {
        SCOPED_TRACE(bp.name);
        Chain chain(new ScriptedSource(in, bp), {new kyTrimFilter(0, 12345, 2000)});
        ASSERT_EQ(chain.run(), KY_OK);
        if (reference.empty())
            reference = chain.sink->got;
        else
            EXPECT_EQ(chain.sink->got, reference); // bit for bit
    }
}

TEST(TrimFilter, FadeEndsOnOneOverFadeNotZero) {
    // A constant signal shows the gains themselves.
    const uint32_t fade = 8;
    Planes ones(1, std::vector<float>(100, 1.0f));
    Chain chain(new ScriptedSource(ones, {"7", {7}}), {new kyTrimFilter(20, 50, fade)});
    ASSERT_EQ(chain.run(), KY_OK);
    const auto& got = chain.sink->got[0];
    ASSERT_EQ(got.size(), 50u - 20 + 2 * fade);
    EXPECT_FLOAT_EQ(got.front(), 1.0f / fade); // fade-in starts at 1/fade
    EXPECT_FLOAT_EQ(got[fade - 1], 1.0f);      // and reaches 1 on its last frame
    EXPECT_FLOAT_EQ(got[fade + 30], 1.0f);     // the fade-out's first frame is at full level
    EXPECT_FLOAT_EQ(got.back(), 1.0f / fade);  // the last frame has 1/fade, not 0
    for (size_t i = 1; i < fade; ++i) EXPECT_LT(got[i - 1], got[i]);
    for (size_t i = got.size() - fade + 1; i < got.size(); ++i) EXPECT_GT(got[i - 1], got[i]);
}

TEST(TrimFilter, EndsDownstreamOnceWhenBlocksFollowTheWindow) {
    // A CD read pushes several sectors per Process: every block past the window is
    // dropped, and downstream hears the end exactly once.
    auto* src = new ScriptedSource(noise(2, 588 * 40), {"588", {588}});
    src->setBlocksPerProcess(10);
    Chain chain(src, {new kyTrimFilter(0, 1000, 100)});
    ASSERT_EQ(chain.run(), KY_OK);
    EXPECT_EQ(chain.sink->frames(), 1100u);
    EXPECT_EQ(chain.sink->endCalls, 1);
    EXPECT_EQ(src->processCalls, 1);
}

TEST(TrimFilter, FormatQueriesBeforeConnectingLeaveTheWindowAlone) {
    auto* trim = new kyTrimFilter(0, 1000, 100);
    kyAudioFormat f;
    ASSERT_EQ(trim->GetFormat(f), KY_OK); // no upstream yet: an empty record
    EXPECT_EQ(f.lengthFrames, 0u);
    Chain chain(new ScriptedSource(noise(2, 5000), {"588", {588}}), {trim});
    ASSERT_EQ(trim->GetFormat(f), KY_OK);
    EXPECT_EQ(f.lengthFrames, 1100u);
    ASSERT_EQ(chain.run(), KY_OK);
    EXPECT_EQ(chain.sink->frames(), 1100u);
}

TEST(TrimFilter, UnknownLengthStaysUnknownAndStillCuts) {
    auto* src = new ScriptedSource(noise(2, 5000), {"588", {588}});
    src->setLength(KY_NO_LENGTH);
    auto* trim = new kyTrimFilter(0, 1000, 0);
    Chain chain(src, {trim});
    kyAudioFormat f;
    ASSERT_EQ(trim->GetFormat(f), KY_OK);
    EXPECT_EQ(f.lengthFrames, KY_NO_LENGTH);
    ASSERT_EQ(chain.run(), KY_OK);
    EXPECT_EQ(chain.sink->frames(), 1000u);
}

TEST(TrimFilter, InterleavedCutsByteRangesWithoutFade) {
    const Planes in = noise(2, 5000, 3);
    for (const BlockPattern& bp : standardPatterns()) {
        SCOPED_TRACE(bp.name);
        auto* src = new ScriptedSource(in, bp);
        src->setInterleaved("PCM 16-bit");
        auto* trim = new kyTrimFilter(300, 2000, 0);
        Chain chain(src, {trim});
        ASSERT_STREQ(trim->GetInterleavedFormat(2), "PCM 16-bit");
        ASSERT_EQ(trim->RunInterleaved(), KY_OK);
        ASSERT_EQ(chain.sink->interleavedFrames, 1700u);
        ASSERT_EQ(chain.sink->bytes.size(), 1700u * 4);
        std::vector<int16_t> samples(1700 * 2);
        std::memcpy(samples.data(), chain.sink->bytes.data(), chain.sink->bytes.size());
        for (uint32_t i = 0; i < 1700; ++i)
            for (uint32_t c = 0; c < 2; ++c)
                ASSERT_EQ(samples[i * 2 + c], src->pcm16(300 + i, c)) << "frame " << i;
    }
}

TEST(TrimFilter, InterleavedRefusedWhenItCannotBeCut) {
    auto* src = new ScriptedSource(noise(2, 100), {"100", {100}});
    src->setInterleaved("PCM 16-bit");
    auto* faded = new kyTrimFilter(0, 50, 10);
    Chain chain(src, {faded});
    EXPECT_EQ(faded->GetInterleavedFormat(2), nullptr);  // a fade needs samples
    EXPECT_EQ(faded->WriteInterleaved("abcd", 4, 1), 1); // nothing negotiated

    // An id whose frame size is unknown gives no format.
    auto* src2 = new ScriptedSource(noise(2, 100), {"100", {100}});
    src2->setInterleaved("IMA ADPCM 4-bit");
    auto* trim = new kyTrimFilter(0, 50, 0);
    Chain chain2(src2, {trim});
    EXPECT_EQ(trim->GetInterleavedFormat(2), nullptr);

    // Frame sizes by id, and a block claiming more frames than its bytes hold.
    const std::pair<const char*, uint32_t> sizes[] = {
        {"PCM 8-bit", 1},       {"mu-Law", 1},          {"A-Law", 1},
        {"PCM 16-bit", 2},      {"PCM 12-bit (16)", 2}, {"PCM 24-bit", 3},
        {"PCM 20-bit (24)", 3}, {"PCM 32-bit", 4},      {"PCM 24-bit (32)", 4},
        {"PCM 20-bit (32)", 4}, {"Float 32-bit", 4},    {"Float 64-bit", 8}};
    for (const auto& [id, bytes] : sizes) {
        SCOPED_TRACE(id);
        auto* s = new ScriptedSource(noise(2, 100), {"100", {100}});
        s->setInterleaved(id);
        auto* t = new kyTrimFilter(0, 3, 0);
        Chain c(s, {t});
        ASSERT_STREQ(t->GetInterleavedFormat(2), id);
        std::vector<uint8_t> data(10 * 2 * bytes, 0x5A);
        EXPECT_EQ(t->WriteInterleaved(data.data(), uint32_t(data.size()) - 1, 10),
                  KYERR_INVALID_PARAMETER);
        EXPECT_EQ(t->WriteInterleaved(data.data(), uint32_t(data.size()), 10), KY_OK);
        EXPECT_EQ(c.sink->bytes.size(), 3u * 2 * bytes);
        EXPECT_EQ(c.sink->interleavedFrames, 3u);
    }
}

TEST(TrimFilter, FailuresAndMisuse) {
    kyTrimFilter lone(0, 10, 0);
    EXPECT_EQ(lone.Prepare(), KYERR_SEQUENCE);
    EXPECT_EQ(lone.RunInterleaved(), KYERR_SEQUENCE);
    float plane[4] = {};
    float* planes[] = {plane, nullptr};
    EXPECT_EQ(lone.Write(planes, 4), KYERR_SEQUENCE);

    // Downstream failures inside the window, in the fade and at the end come back unchanged.
    for (int failAt : {0, 1, 2}) {
        SCOPED_TRACE(failAt);
        Chain chain(new ScriptedSource(noise(2, 5000), {"588", {588}}),
                    {new kyTrimFilter(0, 1000, 500)});
        chain.sink->failAtWrite = failAt;
        chain.sink->failWith = KYERR_WRITE_FILE;
        EXPECT_EQ(chain.run(), KYERR_WRITE_FILE);
    }
    Chain chain(new ScriptedSource(noise(2, 5000), {"588", {588}}), {new kyTrimFilter(0, 1000, 0)});
    chain.sink->endResult = KYERR_WRITE_FILE;
    EXPECT_EQ(chain.run(), KYERR_WRITE_FILE);
}
