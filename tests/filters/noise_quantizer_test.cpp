#include "filters/equal_loudness.h"
#include "filters/noise_quantizer.h"
#include "filters/quantizer_factory.h"
#include "support/fft.h"
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <gtest/gtest.h>
#include <typeinfo>
#include <vector>

namespace {
// The generator's first draw, worked out independently.
float firstUniform() {
    const uint32_t state = 0xDEADBEEFu * 140359821u + 1u;
    return static_cast<float>(static_cast<double>(state) / 4294967296.0 - 0.5);
}
} // namespace

TEST(QuantizerFactory, KindsAndDepths) {
    struct Case {
        uint32_t bits, kind;
        const std::type_info* type; // null: no quantizer
    } cases[] = {
        {16, 0, &typeid(kyRoundNearestQuantizer)},
        {16, 1, &typeid(kyRectWhiteNoiseQuantizer)},
        {16, 2, &typeid(kyTriWhiteNoiseQuantizer)},
        {16, 3, &typeid(kyShapedNoiseMDQuantizer)},
        {24, 3, &typeid(kyShapedNoiseMDQuantizer)},
        {16, 4, &typeid(kyRoundNearestQuantizer)},
        {8, 77, &typeid(kyRoundNearestQuantizer)},
        {1, 2, &typeid(kyTriWhiteNoiseQuantizer)},
        {30, 1, &typeid(kyRectWhiteNoiseQuantizer)},
        {32, 0, &typeid(kyQuantizerRound32)},
        {32, 3, &typeid(kyQuantizerRound32)},
        {31, 0, nullptr},
        {33, 2, nullptr},
        {0, 0, nullptr},
    };
    for (const Case& c : cases) {
        auto q = kyCreateQuantizer(c.bits, c.kind, 2, 44100);
        if (!c.type) {
            EXPECT_EQ(q, nullptr) << c.bits;
            continue;
        }
        ASSERT_NE(q, nullptr) << c.bits << " " << c.kind;
        EXPECT_EQ(typeid(*q), *c.type) << c.bits << " " << c.kind;
    }
    // 999 follows the process-wide default.
    const uint32_t saved = kyGetDefaultQuantizerKind();
    for (uint32_t k : {0u, 2u, 3u}) {
        kySetDefaultQuantizerKind(k);
        auto q = kyCreateQuantizer(16, KY_QUANTIZER_DEFAULT_KIND, 2, 48000);
        auto direct = kyCreateQuantizer(16, k, 2, 48000);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(typeid(*q), typeid(*direct));
    }
    kySetDefaultQuantizerKind(saved);
}

TEST(NoiseQuantizers, EdgeValues) {
    // 16 bits, plain rounding.
    auto r16 = kyCreateQuantizer(16, 0, 1, 44100);
    EXPECT_EQ(r16->quantize(0, 1.0f), 32767);
    EXPECT_EQ(r16->quantize(0, -1.0f), -32768);
    EXPECT_EQ(r16->quantize(0, 0.5f / 32768), 1);
    EXPECT_EQ(r16->quantize(0, -0.5f / 32768), 0);

    kyTriWhiteNoiseQuantizer t24(24);
    EXPECT_EQ(t24.scale, 8388608.0f);
    EXPECT_EQ(t24.overflowMask, 0xFF000000u);
    EXPECT_EQ(t24.offset, 8388608u);

    // The first rectangular draw comes from 0xDEADBEEF x 140359821 + 1.
    const float u = firstUniform();
    kyRectWhiteNoiseQuantizer rect(16);
    const double x = 0.3 / 32768; // 0.3 LSB above zero
    EXPECT_EQ(rect.randomState, 0xDEADBEEFu);
    const int32_t expect =
        static_cast<int32_t>(std::trunc(32768.0 + 0.3 + double(u) + 0.5)) - 32768;
    EXPECT_EQ(rect.quantize(0, static_cast<float>(x)), expect);
    EXPECT_EQ(rect.randomState, 0xDEADBEEFu * 140359821u + 1u);

    // Out-of-range and non-finite samples clamp in every kind, whatever the noise.
    for (uint32_t kind : {1u, 2u, 3u}) {
        for (uint32_t bits : {8u, 16u, 24u}) {
            auto q = kyCreateQuantizer(bits, kind, 2, 44100);
            ASSERT_NE(q, nullptr);
            const int32_t top = (1 << (bits - 1)) - 1, bottom = -(1 << (bits - 1));
            for (int i = 0; i < 50; ++i) {
                EXPECT_EQ(q->quantize(0, 1e30f), top);
                EXPECT_EQ(q->quantize(1, -1e30f), bottom);
                EXPECT_EQ(q->quantize(0, INFINITY), top);
                EXPECT_EQ(q->quantize(1, -INFINITY), bottom);
                const int32_t n = q->quantize(0, NAN);
                EXPECT_TRUE(n >= bottom && n <= top);
                // A channel index beyond the quantizer's count must not reach past its state.
                const int32_t m = q->quantize(7, 0.0f);
                EXPECT_TRUE(m >= bottom && m <= top);
            }
        }
    }
}

TEST(NoiseQuantizers, DitherStaysSmallAndUnbiased) {
    struct Case {
        uint32_t kind, bits;
        int32_t low, high; // bounds on silence
    } cases[] = {{1, 16, 0, 1}, {2, 16, -1, 1},   {2, 8, -1, 1},   {2, 24, -1, 1},
                 {1, 24, 0, 1}, {3, 16, -32, 32}, {3, 24, -32, 32}};
    for (const Case& c : cases) {
        auto q = kyCreateQuantizer(c.bits, c.kind, 1, 44100);
        double sum = 0;
        int32_t lo = 0, hi = 0;
        for (int i = 0; i < 100000; ++i) {
            const int32_t v = q->quantize(0, 0.0f);
            lo = std::min(lo, v), hi = std::max(hi, v);
            sum += v;
        }
        EXPECT_GE(lo, c.low) << c.kind << "/" << c.bits;
        EXPECT_LE(hi, c.high) << c.kind << "/" << c.bits;
        if (c.kind != 1) {
            EXPECT_NEAR(sum / 100000, 0.0, 0.01) << c.kind << "/" << c.bits;
        }
    }
    // Triangular dither really spreads over -1..+1 (it is not plain rounding).
    kyTriWhiteNoiseQuantizer tri(16);
    int seen[3] = {};
    for (int i = 0; i < 10000; ++i) ++seen[tri.quantize(0, 0.0f) + 1];
    EXPECT_GT(seen[0], 500);
    EXPECT_GT(seen[2], 500);

    // At 24 bits the dither must not be rounded away: an exact 24-bit sample comes back as
    // itself through rectangular dither, and the mean of a value between two steps is kept.
    kyRectWhiteNoiseQuantizer rect(24);
    for (int32_t v : {1, -1, 8388607, -8388608, 1234567, -7654321}) {
        const float x = static_cast<float>(v / 8388608.0);
        EXPECT_EQ(rect.quantize(0, x), v);
    }
    kyTriWhiteNoiseQuantizer tri24(24);
    const float quarter = static_cast<float>((1000.0 + 0.25) / 8388608.0);
    double mean = 0;
    for (int i = 0; i < 20000; ++i) mean += tri24.quantize(0, quarter);
    EXPECT_NEAR(mean / 20000, 1000.25, 0.02);
}

namespace {
// Averaged periodogram (Hann window, half overlap) of the quantization error of `q` on a
// quiet 1 kHz tone, in LSB^2 per bin: the bins add up to the error's variance.
std::vector<double> errorSpectrum(kyQuantizer& q, uint32_t rate, size_t n, int segments) {
    const size_t total = n * (segments + 1) / 2;
    std::vector<double> err(total);
    for (size_t i = 0; i < total; ++i) {
        const float x = static_cast<float>(0.001 * std::sin(2.0 * M_PI * 1000.0 * i / rate));
        err[i] = q.quantize(0, x) - double(x) * 32768.0;
    }
    std::vector<double> psd(n / 2 + 1, 0.0);
    std::vector<std::complex<double>> buf(n);
    for (int s = 0; s < segments; ++s) {
        for (size_t i = 0; i < n; ++i)
            buf[i] = err[s * n / 2 + i] * (0.5 - 0.5 * std::cos(2.0 * M_PI * i / n));
        kytest::fft(buf);
        for (size_t k = 0; k <= n / 2; ++k) psd[k] += std::norm(buf[k]);
    }
    for (double& v : psd) v *= 2.0 / (double(segments) * n * n * 0.375); // one-sided, Hann
    return psd;
}

double bandPower(const std::vector<double>& psd, uint32_t rate, double lo, double hi) {
    const size_t n = (psd.size() - 1) * 2;
    double s = 0;
    for (size_t k = 1; k < psd.size(); ++k) {
        const double f = double(k) * rate / n;
        if (f >= lo && f < hi) s += psd[k];
    }
    return s;
}

double db(double v) {
    return 10.0 * std::log10(v);
}
} // namespace

TEST(NoiseQuantizers, ShapedNoiseSitsWhereHearingIsLeastSensitive) {
    constexpr uint32_t rate = 44100;
    constexpr size_t n = 4096;
    kyTriWhiteNoiseQuantizer flat(16);
    kyShapedNoiseMDQuantizer shaped(16, 1, rate);
    ASSERT_TRUE(shaped.valid());
    const auto pf = errorSpectrum(flat, rate, n, 40);
    const auto ps = errorSpectrum(shaped, rate, n, 40);

    kyEqualLoudnessContour threshold;
    ASSERT_TRUE(threshold.build(2.0));
    const double ref = threshold.level(1000.0);
    double wf = 0, ws = 0;
    for (size_t k = 1; k < pf.size(); ++k) {
        const double f = double(k) * rate / n;
        const double w = std::pow(10.0, (ref - threshold.level(f)) / 10.0);
        wf += pf[k] * w;
        ws += ps[k] * w;
    }
    const struct {
        double lo, hi;
    } bands[] = {{20, 500},     {500, 2000},    {2000, 5000},
                 {5000, 10000}, {10000, 15000}, {15000, 22050}};
    for (auto b : bands)
        std::printf("  error power %5.0f-%5.0f Hz: flat %7.2f dB, shaped %7.2f dB (LSB^2)\n", b.lo,
                    b.hi, db(bandPower(pf, rate, b.lo, b.hi)), db(bandPower(ps, rate, b.lo, b.hi)));
    std::printf("  total: flat %.2f dB, shaped %.2f dB; weighted by the 2-phon contour: flat "
                "%.2f dB, shaped %.2f dB\n",
                db(bandPower(pf, rate, 0, 22051)), db(bandPower(ps, rate, 0, 22051)), db(wf),
                db(ws));

    EXPECT_LT(db(bandPower(ps, rate, 2000, 5000)), db(bandPower(pf, rate, 2000, 5000)) - 3.0);
    EXPECT_LT(db(ws), db(wf) - 3.0);
}

TEST(NoiseQuantizers, ShapedNoiseSurvivesClipping) {
    // A tone 0.2 dB over full scale clips on every peak. Feeding the clipped error back
    // would add bursts of over a thousand LSB at each peak; the output must stay within the
    // shaped noise's own reach of the clipped input (about a dozen LSB at 16 bits), and
    // silence afterwards must come out as quiet as ever.
    kyShapedNoiseMDQuantizer q(16, 2, 44100);
    ASSERT_TRUE(q.valid());
    for (int i = 0; i < 44100; ++i) {
        const float x = static_cast<float>(1.02 * std::sin(2.0 * M_PI * 3000.0 * i / 44100));
        const int32_t v = q.quantize(0, x);
        const double want = std::clamp(double(x) * 32768.0, -32768.0, 32767.0);
        ASSERT_LT(std::fabs(v - want), 64.0) << i;
    }
    int32_t peak = 0;
    for (int i = 0; i < 44100; ++i) peak = std::max(peak, std::abs(q.quantize(0, 0.0f)));
    EXPECT_LT(peak, 32);
}

namespace {
// The shaped quantizer as it was before its feedback was regrouped: one float chain per
// eight taps in order from the newest error, every step in the order of the original.
// It shares the coefficients (taken from the quantizer under test) and the generator.
class ReferenceShaped {
public:
    ReferenceShaped(const kyShapedNoiseMDQuantizer& q, uint32_t channels)
        : m_order(q.order()), m_coefs(q.coefficients(), q.coefficients() + q.order()),
          m_ring(channels, std::vector<float>(2 * q.order(), 0.0f)),
          m_pos(channels, q.order() - 1) {}

    int32_t quantize(uint32_t channel, float x) {
        const float u1 = next(), u2 = next();
        std::vector<float>& ring = m_ring[channel];
        uint32_t& pos = m_pos[channel];
        const float* e = ring.data() + pos;
        float acc[8] = {};
        uint32_t k = 0;
        for (; k + 8 <= m_order; k += 8)
            for (uint32_t j = 0; j < 8; ++j) acc[j] += m_coefs[k + j] * e[k + j];
        for (; k < m_order; ++k) acc[0] += m_coefs[k] * e[k];
        const float feedback =
            ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
        const float vs = static_cast<float>(static_cast<double>((x + 1.0f) * 32768.0f)) - feedback;
        const double shaped = vs;
        const double t = static_cast<double>(vs + (u1 + u2) + 0.5f);
        double n;
        if (!(t >= 0.0))
            n = 0.0;
        else if (t >= 65536.0)
            n = 65535.0;
        else
            n = std::trunc(t);
        float err = static_cast<float>(n - shaped);
        if (!(err >= -1.5f)) err = -1.5f;
        if (err > 1.5f) err = 1.5f;
        pos = pos == 0 ? m_order - 1 : pos - 1;
        ring[pos] = err;
        ring[pos + m_order] = err;
        return static_cast<int32_t>(static_cast<int64_t>(n) - 32768);
    }

private:
    float next() {
        m_state = m_state * 140359821u + 1u;
        return static_cast<float>(m_state) * 2.3283064365386963e-10f - 0.5f;
    }
    uint32_t m_order;
    std::vector<float> m_coefs;
    std::vector<std::vector<float>> m_ring;
    std::vector<uint32_t> m_pos;
    uint32_t m_state = 0xDEADBEEFu;
};
} // namespace

// The feedback is now summed in another grouping (the older errors first, ahead of the
// newest), which changes its last bits. Against the previous form on long random and
// music-like stereo signals: the first samples agree exactly (same filter, same dither,
// same rounding), and where a last-bit difference of the feedback once tips a rounding the
// two go on as two equally valid shaped dithers of the same input: each stays within its
// noise's reach of the input, with the same noise power to a fraction of a dB. The block
// form gives exactly what sample-by-sample calls give.
TEST(NoiseQuantizers, RegroupedFeedbackDiffersFromThePreviousFormOnlyInRounding) {
    constexpr uint32_t rate = 44100, frames = rate * 8;
    std::vector<float> random[2], music[2];
    uint32_t x = 7;
    for (int c = 0; c < 2; ++c) {
        random[c].resize(frames);
        music[c].resize(frames);
        for (uint32_t i = 0; i < frames; ++i) {
            x = x * 1664525u + 1013904223u;
            random[c][i] = (float(x >> 8) / float(1u << 24) - 0.5f) * 1.6f;
            const double t = double(i) / rate;
            music[c][i] = float((0.3 * std::sin(2 * M_PI * 220 * t) +
                                 0.2 * std::sin(2 * M_PI * (331 + 7 * c) * t) +
                                 0.05 * std::sin(2 * M_PI * 2750 * t)) *
                                (0.55 + 0.45 * std::sin(2 * M_PI * 0.25 * t)));
        }
    }
    for (auto* signal : {random, music}) {
        kyShapedNoiseMDQuantizer q(16, 2, rate);
        ASSERT_TRUE(q.valid());
        ReferenceShaped ref(q, 2);
        uint64_t firstDifference = uint64_t(frames) * 2;
        double powerNew = 0, powerRef = 0;
        int32_t worstNew = 0, worstRef = 0;
        std::vector<int32_t> got(size_t(frames) * 2);
        const float* planes[2] = {signal[0].data(), signal[1].data()};
        for (uint32_t at = 0; at < frames; at += 588)
            q.quantizeFrames(planes, 2, at, std::min<uint32_t>(588, frames - at),
                             got.data() + size_t(at) * 2);
        for (uint32_t i = 0; i < frames; ++i)
            for (uint32_t c = 0; c < 2; ++c) {
                const int32_t a = got[size_t(i) * 2 + c];
                const int32_t b = ref.quantize(c, signal[c][i]);
                if (a != b && firstDifference == uint64_t(frames) * 2) firstDifference = i * 2 + c;
                const double want = std::clamp(double(signal[c][i]) * 32768.0, -32768.0, 32767.0);
                powerNew += (a - want) * (a - want);
                powerRef += (b - want) * (b - want);
                worstNew = std::max(worstNew, int32_t(std::fabs(a - want) + 0.5));
                worstRef = std::max(worstRef, int32_t(std::fabs(b - want) + 0.5));
            }
        std::printf("  first difference at sample %llu; noise %.2f dB against %.2f dB; worst "
                    "%d against %d LSB\n",
                    static_cast<unsigned long long>(firstDifference), db(powerNew / frames),
                    db(powerRef / frames), worstNew, worstRef);
        EXPECT_GT(firstDifference, 100u);
        EXPECT_NEAR(db(powerNew), db(powerRef), 0.25);
        EXPECT_LE(worstNew, worstRef + 2);
    }

    // Blocks and single calls: the same integers, mono and stereo, in blocks of odd sizes,
    // through clipping, infinities and NaN (the block form clamps with minimum and maximum,
    // the single calls with comparisons).
    std::vector<float> wild[2] = {music[0], music[1]};
    for (int c = 0; c < 2; ++c)
        for (uint32_t i = 0; i < 44100; ++i) {
            if (i % 997 == 5) wild[c][i] = NAN;
            if (i % 1499 == 7) wild[c][i] = c ? -INFINITY : INFINITY;
            if (i >= 20000 && i < 22000) wild[c][i] *= 3.5f; // clips on every peak
        }
    for (uint32_t channels : {1u, 2u}) {
        kyShapedNoiseMDQuantizer a(16, channels, rate), b(16, channels, rate);
        std::vector<int32_t> blocks(size_t(44100) * channels);
        const float* planes[2] = {wild[0].data(), wild[1].data()};
        for (uint32_t at = 0, step = 1; at < 44100; at += step, step = step * 3 % 1001 + 1)
            a.quantizeFrames(planes, channels, at, std::min<uint32_t>(step, 44100 - at),
                             blocks.data() + size_t(at) * channels);
        for (uint32_t i = 0; i < 44100; ++i)
            for (uint32_t c = 0; c < channels; ++c)
                ASSERT_EQ(blocks[size_t(i) * channels + c], b.quantize(c, wild[c][i]))
                    << channels << " " << i;
    }
}
