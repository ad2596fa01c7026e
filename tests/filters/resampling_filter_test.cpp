// Behaviour of the buffering and resampling filters: block partitions, lengths, DC,
// pass-through, seeking, property queries and failures.
#include "filters/buffering_filter.h"
#include "resampling_test_support.h"
#include <cstring>
#include <gtest/gtest.h>
#include <numeric>

using namespace resampling_test;

namespace {

struct RatePair {
    uint32_t in, out;
};
const RatePair kPairs[] = {{44100, 48000}, {48000, 44100}, {44100, 22050},
                           {96000, 44100}, {8000, 44100},  {44100, 8000}};
const uint32_t kAllCodes[] = {0, 1, 2, 3, 4, 5, 6, 7, 999};

// Block partitions of the same stream: single frames, small, one CD sector, large, and
// random sizes.
std::vector<std::vector<uint32_t>> partitions() {
    std::vector<uint32_t> random;
    uint32_t x = 12345;
    for (int i = 0; i < 64; ++i) {
        x = x * 1103515245u + 12345u;
        random.push_back(1 + (x >> 16) % 1500);
    }
    return {{8192}, {1}, {100}, {588}, random};
}

bool sameBits(const Planes& a, const Planes& b) {
    if (a.size() != b.size()) return false;
    for (size_t c = 0; c < a.size(); ++c)
        if (a[c].size() != b[c].size() ||
            std::memcmp(a[c].data(), b[c].data(), a[c].size() * sizeof(float)) != 0)
            return false;
    return true;
}

uint64_t ceilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

} // namespace

// The buffering base with its copying ProcessSpan delays nothing and loses nothing,
// whatever the context and the block sizes.
TEST(BufferingFilter, CopiesEveryFrameWhateverTheContextAndBlocks) {
    const Planes in = {noise(3001, 1), noise(3001, 2)};
    const uint32_t contexts[][2] = {{0, 0}, {0, 1}, {1, 2}, {3, 5}, {40, 41}, {700, 701}};
    for (auto ctx : contexts)
        for (const auto& sizes : partitions()) {
            PlaneSource source(in, 44100, sizes);
            kyBufferingFilter buffer("Buffering morph", ctx[0], ctx[1]);
            CollectSink sink;
            source.Connect(&sink);
            source.InsertAfter(&buffer);
            ASSERT_EQ(sink.Run(), KY_OK);
            EXPECT_TRUE(sameBits(sink.got, in))
                << ctx[0] << "/" << ctx[1] << " blocks " << sizes[0];
            EXPECT_LE(sink.largestBlock, sizes.size() == 1 ? sizes[0] : 1500u);
        }
}

TEST(BufferingFilter, WriteBeforePrepareIsASequenceError) {
    kyBufferingFilter buffer("Buffering morph", 1, 2);
    std::vector<float> data(4);
    float* planes[] = {data.data(), nullptr};
    EXPECT_EQ(buffer.Write(planes, 4), KYERR_SEQUENCE);
}

TEST(ResamplingFilter, AnyBlockPartitionGivesTheSameOutput) {
    const Planes in = {noise(4000, 3), noise(4000, 4)};
    for (RatePair p : kPairs)
        for (uint32_t code : kAllCodes) {
            const auto parts = partitions();
            const Result ref = resample(in, p.in, p.out, code, parts[0]);
            ASSERT_EQ(ref.error, KY_OK);
            for (size_t i = 1; i < parts.size(); ++i) {
                const Result r = resample(in, p.in, p.out, code, parts[i]);
                ASSERT_EQ(r.error, KY_OK);
                EXPECT_TRUE(sameBits(r.out, ref.out))
                    << p.in << " -> " << p.out << " code " << code << " partition " << i;
                // Never more per block than announced downstream.
                EXPECT_LE(r.largestBlock, r.format.blockFrames);
            }
        }
}

// Blocks larger than upstream announced, and a second run of the same chain, change
// nothing.
TEST(ResamplingFilter, OversizedBlocksAndRepeatedRuns) {
    const Planes in = {noise(6000, 8), noise(6000, 9)};
    for (uint32_t code : {1u, 5u, 7u}) {
        const Result ref = resample(in, 44100, 48000, code);
        PlaneSource source(in, 44100, {5000});
        source.setAnnouncedBlock(588);
        kyResamplingFilter resampler(48000, code);
        CollectSink sink;
        source.Connect(&sink);
        source.InsertAfter(&resampler);
        for (int run = 0; run < 2; ++run) {
            sink.got.clear();
            sink.largestBlock = 0;
            ASSERT_EQ(sink.Run(), KY_OK);
            EXPECT_TRUE(sameBits(sink.got, ref.out)) << "code " << code << " run " << run;
            kyAudioFormat f;
            resampler.GetFormat(f);
            EXPECT_LE(sink.largestBlock, f.blockFrames);
        }
    }
}

TEST(ResamplingFilter, ReportsRoundedLengthAndDeliversEveryPositionBelowIt) {
    const uint32_t lengths[] = {0, 1, 2, 3, 587, 588, 1000, 44100, 44101};
    for (RatePair p : kPairs)
        for (uint32_t len : lengths)
            for (uint32_t code : {0u, 2u, 5u}) {
                const Result r =
                    resample({std::vector<float>(len, 0.25f)}, p.in, p.out, code, {588});
                ASSERT_EQ(r.error, KY_OK);
                const double ratio = double(p.out) / p.in;
                EXPECT_EQ(r.format.lengthFrames, uint32_t(std::trunc(len * ratio + 0.5)));
                const size_t delivered = r.out.empty() ? 0 : r.out[0].size();
                EXPECT_EQ(delivered, ceilDiv(uint64_t(len) * p.out, p.in))
                    << p.in << " -> " << p.out << " length " << len << " code " << code;
                EXPECT_EQ(r.format.sampleRate, p.out);
            }
}

TEST(ResamplingFilter, OutputFormat) {
    PlaneSource source({std::vector<float>(10)}, 44100, {588});
    source.setLength(44100);
    kyResamplingFilter resampler(48000, 5);
    CollectSink sink;
    kyAudioFormat f;
    resampler.GetFormat(f);
    EXPECT_EQ(f, kyAudioFormat{}); // unconnected
    source.Connect(&sink);
    source.InsertAfter(&resampler);
    ASSERT_EQ(resampler.GetFormat(f), KY_OK);
    EXPECT_EQ(f.lengthFrames, 48000u);
    EXPECT_EQ(f.blockFrames, uint32_t((588 + 1) * (48000.0 / 44100) + 1));
    EXPECT_EQ(f.sampleRate, 48000u);
    EXPECT_EQ(f.channels, 1u);
    EXPECT_EQ(f.channelMask, 4u);
    source.setLength(KY_NO_LENGTH);
    ASSERT_EQ(resampler.GetFormat(f), KY_OK);
    EXPECT_EQ(f.lengthFrames, KY_NO_LENGTH);
}

TEST(ResamplingFilter, KernelContext) {
    struct Case {
        uint32_t in, out, code, before, after;
    };
    const Case cases[] = {
        {44100, 48000, 0, 0, 1},   {44100, 48000, 1, 0, 1},     {44100, 48000, 2, 1, 2},
        {44100, 48000, 5, 34, 35}, {44100, 48000, 999, 34, 35}, {44100, 22050, 5, 68, 69},
        {44100, 48000, 4, 17, 18}, {44100, 48000, 6, 132, 133}, {48000, 44100, 3, 9, 10},
    };
    for (const Case& c : cases) {
        PlaneSource source({std::vector<float>(10)}, c.in, {588});
        kyResamplingFilter resampler(c.out, c.code);
        CollectSink sink;
        source.Connect(&sink);
        source.InsertAfter(&resampler);
        ASSERT_EQ(sink.Run(), KY_OK);
        EXPECT_EQ(resampler.contextBefore(), c.before) << c.in << " " << c.out << " " << c.code;
        EXPECT_EQ(resampler.contextAfter(), c.after) << c.in << " " << c.out << " " << c.code;
    }
}

// DC gain per kernel, once the context is filled: exact for the polynomial kernels, within
// the window's ripple for the FIR kernels.
TEST(ResamplingFilter, DcComesOutAsOne) {
    // The FIR kernels hold DC within the resolution their labels promise (12, 16, 20 bits;
    // the unoffered codes 3 and 7 reach about 9 and 22 bits).
    const std::pair<uint32_t, double> tolerance[] = {
        {0, 0},
        {1, 1e-7},
        {2, 1e-7},
        {3, std::ldexp(1.0, -9)},
        {4, std::ldexp(1.0, -12)},
        {5, std::ldexp(1.0, -16)},
        {6, std::ldexp(1.0, -20)},
        {7, std::ldexp(1.0, -22)},
    };
    for (RatePair p : kPairs)
        for (auto [code, tol] : tolerance) {
            const Result r = resample({std::vector<float>(20000, 1.0f)}, p.in, p.out, code);
            ASSERT_EQ(r.error, KY_OK);
            const auto& y = r.out[0];
            // Away from both ends, where the silence around the stream is in the context
            // (at most about 550 input frames, or 500 output frames, for code 7).
            const size_t skip = size_t(550 * std::max(1.0, double(p.out) / p.in));
            double worst = 0;
            for (size_t i = skip; i + skip < y.size(); ++i)
                worst = std::max(worst, std::fabs(double(y[i]) - 1.0));
            EXPECT_LE(worst, tol) << p.in << " -> " << p.out << " code " << code;
        }
}

TEST(ResamplingFilter, SameRateIsTransparent) {
    Planes in = {noise(5000, 5), noise(5000, 6)};
    in[0][17] = std::numeric_limits<float>::quiet_NaN();
    in[1][99] = 1e-42f; // a denormal
    in[1][100] = 3.5f;  // beyond full scale
    for (uint32_t code : kAllCodes) {
        const Result r = resample(in, 44100, 44100, code, {100});
        ASSERT_EQ(r.error, KY_OK);
        EXPECT_TRUE(sameBits(r.out, in)) << code;
        EXPECT_EQ(r.format.lengthFrames, 5000u);
        EXPECT_EQ(r.format.blockFrames, 100u);
    }
}

TEST(ResamplingFilter, InterleavedDataOnlyInPassThrough) {
    std::vector<uint8_t> bytes(4 * 2500);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / 13);
    for (uint32_t target : {44100u, 48000u}) {
        PlaneSource source({std::vector<float>(2500), std::vector<float>(2500)}, 44100, {588});
        source.interleavedId = "PCM 16-bit";
        source.interleaved = bytes;
        kyResamplingFilter resampler(target, 5);
        CollectSink sink;
        source.Connect(&sink);
        source.InsertAfter(&resampler);
        const char* id = resampler.GetInterleavedFormat(2);
        if (target == 44100) {
            ASSERT_NE(id, nullptr);
            EXPECT_STREQ(id, "PCM 16-bit");
            EXPECT_EQ(resampler.GetInterleavedFormat(1), nullptr);
            ASSERT_EQ(source.RunInterleaved(), KY_OK);
            EXPECT_EQ(sink.interleaved, bytes);
            EXPECT_TRUE(sink.finished());
        } else {
            EXPECT_EQ(id, nullptr);
            EXPECT_EQ(source.RunInterleaved(), KYERR_SEQUENCE);
            EXPECT_TRUE(sink.interleaved.empty());
        }
    }
}

TEST(ResamplingFilter, SeekScalesPositions) {
    PlaneSource source({std::vector<float>(10)}, 44100, {588});
    kyResamplingFilter resampler(48000, 5);
    CollectSink sink;
    source.Connect(&sink);
    source.InsertAfter(&resampler);
    EXPECT_EQ(resampler.Seek(48000), 48000u);
    EXPECT_EQ(source.lastSeek, 44100u);
    EXPECT_EQ(resampler.Seek(1000), uint32_t(918 * (48000.0 / 44100) + 0.5));
    EXPECT_EQ(source.lastSeek, 918u); // trunc(1000 * 44100 / 48000)
    source.seekAnswer = 588;          // upstream can only reach a sector boundary
    EXPECT_EQ(resampler.Seek(1000), 640u);

    kyResamplingFilter same(44100, 5);
    source.Connect(&sink);
    source.InsertAfter(&same);
    source.seekAnswer = 0;
    EXPECT_EQ(same.Seek(12345), 12345u);
    EXPECT_EQ(source.lastSeek, 12345u);
}

TEST(ResamplingFilter, PropertyQueries) {
    PlaneSource source({std::vector<float>(10)}, 44100, {588});
    source.properties().setUtf8(18, "44100");
    source.properties().setUtf8(19, "1234.5");
    source.properties().setUtf8(KYPROP_PEAK, "0.98");
    source.properties().setUtf8(KYPROP_TITLE, "Intro");
    kyResamplingFilter resampler(22050, 5);
    CollectSink sink;
    source.Connect(&sink);
    source.InsertAfter(&resampler);
    EXPECT_STREQ(resampler.GetPropertyA(18), "22050.00");
    EXPECT_STREQ(resampler.GetPropertyUtf8(19), "617.25");
    EXPECT_EQ(std::u16string(resampler.GetPropertyW(18)), u"22050.00");
    EXPECT_EQ(resampler.GetPropertyA(KYPROP_PEAK), nullptr);
    EXPECT_EQ(resampler.GetPropertyW(KYPROP_PEAK), nullptr);
    EXPECT_STREQ(resampler.GetPropertyUtf8(KYPROP_TITLE), "Intro");
    EXPECT_EQ(resampler.GetPropertyA(20), nullptr);
    source.properties().setUtf8(19, "not a number");
    EXPECT_EQ(resampler.GetPropertyA(19), nullptr);

    kyResamplingFilter same(44100, 5);
    source.Connect(&sink);
    source.InsertAfter(&same);
    EXPECT_STREQ(same.GetPropertyA(18), "44100");
    EXPECT_STREQ(same.GetPropertyA(KYPROP_PEAK), "0.98");
}

TEST(ResamplingFilter, Failures) {
    for (uint32_t code : {8u, 100u, 998u, 1000u, 0xFFFFFFFFu}) {
        const Result r = resample({std::vector<float>(100)}, 44100, 48000, code);
        EXPECT_EQ(r.error, KYERR_INVALID_PARAMETER) << code;
    }
    // A target rate of zero cannot be reached.
    EXPECT_EQ(resample({std::vector<float>(100)}, 44100, 0, 5).error, KYERR_INVALID_PARAMETER);
    // A FIR so wide its table cannot be had is refused before anything is allocated.
    EXPECT_EQ(resample({std::vector<float>(100)}, 192000, 2, 7).error, KYERR_OUT_OF_MEMORY);

    kyResamplingFilter unprepared(48000, 5);
    EXPECT_EQ(unprepared.Prepare(), KYERR_SEQUENCE); // no upstream
    PlaneSource source({std::vector<float>(10)}, 44100, {588});
    CollectSink sink;
    source.Connect(&sink);
    source.InsertAfter(&unprepared);
    std::vector<float> data(4);
    float* planes[] = {data.data(), nullptr};
    EXPECT_EQ(unprepared.Write(planes, 4), KYERR_SEQUENCE);
    EXPECT_EQ(unprepared.WriteInterleaved(data.data(), 8, 4), KYERR_SEQUENCE);

    // A block with fewer planes than the stream's channels is refused, not over-read.
    PlaneSource stereo({std::vector<float>(10), std::vector<float>(10)}, 44100, {588});
    kyResamplingFilter r2(48000, 1);
    CollectSink sink2;
    stereo.Connect(&sink2);
    stereo.InsertAfter(&r2);
    ASSERT_EQ(r2.Prepare(), KY_OK);
    EXPECT_EQ(r2.Write(planes, 4), KYERR_CHANNEL_FORMAT);
}

TEST(ResamplingFilter, DefaultCodeIsTheNormalFir) {
    const Planes in = {noise(3000, 7)};
    EXPECT_TRUE(sameBits(resample(in, 44100, 48000, 999).out, resample(in, 44100, 48000, 5).out));
    EXPECT_STREQ(kyResampleAlgorithmLabel(5), "F.I.R. filter, > 16-bits S/N (normal)");
    EXPECT_EQ(kyResampleAlgorithmLabel(3), nullptr);
}
