#include "filters/noise_quantizer.h"
#include "filters/equal_loudness.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace {
// Eight floats, as one AVX register or two SSE ones, whichever the code is built for.
typedef float Lanes __attribute__((vector_size(32)));

// sum taps[k] * e[k] for k < n (a multiple of 8), in eight lanes a0..a7 (lane j takes
// every eighth term from j), added up as ((a0 + a4) + (a2 + a6)) + ((a1 + a5) + (a3 + a7)).
// Every build adds the same terms in the same order, so the result does not depend on the
// instructions used.
[[gnu::always_inline]] inline float olderSum(const float* taps, const float* e, uint32_t n) {
    Lanes acc = {};
    for (uint32_t k = 0; k < n; k += 8) {
        Lanes t, x;
        std::memcpy(&t, taps + k, sizeof t);
        std::memcpy(&x, e + k, sizeof x);
        acc += t * x;
    }
    return ((acc[0] + acc[4]) + (acc[2] + acc[6])) + ((acc[1] + acc[5]) + (acc[3] + acc[7]));
}
} // namespace

int64_t kyNoiseQuantizerBase::roundOffset(double v, float noise) const {
    const double top = static_cast<double>(offset) * 2.0; // 2^b
    double t;
    if (bits <= 16)
        t = static_cast<double>(static_cast<float>(v) + noise + 0.5f);
    else
        t = v + noise + 0.5;
    // Clamp before converting: a huge or non-finite sample must not reach the conversion.
    if (!(t >= 0.0)) return t > -1.0 ? 0 : -1;      // NaN goes to the bottom as well
    if (t >= top) return static_cast<int64_t>(top); // one past the top: clamps to offset - 1
    return static_cast<int64_t>(t);
}

int32_t kyRectWhiteNoiseQuantizer::quantize(uint32_t, float x) {
    return clampResult(roundOffset(offsetValue(x), nextUniform()));
}

int32_t kyTriWhiteNoiseQuantizer::quantize(uint32_t, float x) {
    const float u1 = nextUniform();
    const float u2 = nextUniform();
    return clampResult(roundOffset(offsetValue(x), u1 + u2));
}

kyShapedNoiseQuantizerBase::kyShapedNoiseQuantizerBase(uint32_t bits, uint32_t channels,
                                                       uint32_t order)
    : kyNoiseQuantizerBase(bits), m_channels(std::max(channels, 1u)), m_order(order) {
    m_olderTaps = order > 1 ? (order - 1 + 7) / 8 * 8 : 0;
    m_ringStride = 2 * order + 8;
    const size_t count = size_t(m_channels) * m_ringStride + order + m_olderTaps;
    m_buffer.reset(new (std::nothrow) float[count]());
    m_position.reset(new (std::nothrow) uint32_t[m_channels]);
    if (!m_buffer || !m_position || order == 0) {
        m_buffer.reset();
        return;
    }
    m_coefs = m_buffer.get() + size_t(m_channels) * m_ringStride;
    m_older = m_coefs + order;
    for (uint32_t c = 0; c < m_channels; ++c) m_position[c] = order - 1;
}

void kyShapedNoiseQuantizerBase::prepareTaps() {
    if (!m_buffer) return;
    for (uint32_t k = 0; k < m_olderTaps; ++k) m_older[k] = k + 1 < m_order ? m_coefs[k + 1] : 0.0f;
}

[[gnu::always_inline]] inline int32_t kyShapedNoiseQuantizerBase::quantizeShaped(uint32_t channel,
                                                                                 float x) {
    const float u1 = nextUniform();
    const float u2 = nextUniform();
    if (!m_buffer) return clampResult(roundOffset(offsetValue(x), u1 + u2));
    if (channel >= m_channels) channel %= m_channels;

    const uint32_t order = m_order;
    float* ring = m_buffer.get() + size_t(channel) * m_ringStride;
    uint32_t& pos = m_position[channel];
    const float* e = ring + pos; // e[0] is the newest error
    // The older errors in eight lanes (whole vectors: the taps past the last are zero),
    // then the newest.
    const float feedback = m_coefs[0] * e[0] + olderSum(m_older, e + 1, m_olderTaps);

    // The error fed back is what rounding and dither can produce, at most 1.5 LSB either
    // way. Clipping makes it far larger; fed back through the filter's high gain it would
    // drive the next samples into clipping as well, and the loop oscillates at full scale.
    float err;
    int64_t n;
    if (bits <= 16) {
        // All in single precision: every value here is a float and 2^16 fits, so the
        // rounding is the same as in double, with a shorter chain to the next sample.
        const float top = static_cast<float>(offset) * 2.0f - 1.0f; // 2^b - 1
        const float vs = static_cast<float>(offsetValue(x)) - feedback;
        const float t = vs + (u1 + u2) + 0.5f;
        float nf;
        if (!(t >= 0.0f))
            nf = 0.0f; // also NaN
        else if (t >= top + 1.0f)
            nf = top;
        else
            nf = static_cast<float>(static_cast<int32_t>(t)); // trunc of 0 <= t < 2^b
        err = nf - vs;
        n = static_cast<int64_t>(nf);
    } else {
        const double top = static_cast<double>(offset) * 2.0 - 1.0;
        const double shaped = offsetValue(x) - feedback;
        const double t = shaped + (u1 + u2) + 0.5;
        double nd;
        if (!(t >= 0.0))
            nd = 0.0;
        else if (t >= top + 1.0)
            nd = top;
        else
            nd = static_cast<double>(static_cast<int64_t>(t));
        err = static_cast<float>(nd - shaped);
        n = static_cast<int64_t>(nd);
    }
    if (!(err >= -1.5f)) err = -1.5f; // also NaN
    if (err > 1.5f) err = 1.5f;
    pos = pos == 0 ? order - 1 : pos - 1;
    ring[pos] = err;
    ring[pos + order] = err;
    return static_cast<int32_t>(n - static_cast<int64_t>(offset));
}

namespace {
// The sum of olderSum() over a compile-time number of taps, with the first eight errors
// (the newest ones, stored by the samples just before) taken from a register instead of
// memory: a vector load that overlaps a store still in flight waits for that store to
// reach the cache, and that wait sat on the chain from one sample to the next.
// The terms and their order are those of olderSum().
template <uint32_t kTaps>
[[gnu::always_inline]] inline float olderSumFixed(const float* taps, Lanes newest, const float* e) {
    Lanes t;
    std::memcpy(&t, taps, sizeof t);
    Lanes acc = t * newest;
    for (uint32_t k = 8; k < kTaps; k += 8) {
        Lanes x;
        std::memcpy(&t, taps + k, sizeof t);
        std::memcpy(&x, e + k, sizeof x);
        acc += t * x;
    }
    // ((a0 + a4) + (a2 + a6)) + ((a1 + a5) + (a3 + a7)) with two vector additions.
    typedef float Half __attribute__((vector_size(16)));
    const Half lo = __builtin_shufflevector(acc, acc, 0, 1, 2, 3);
    const Half hi = __builtin_shufflevector(acc, acc, 4, 5, 6, 7);
    const Half pairs = lo + hi; // a0+a4, a1+a5, a2+a6, a3+a7
    const Half quads = pairs + __builtin_shufflevector(pairs, pairs, 2, 3, 0, 1);
    return quads[0] + quads[1];
}

// What quantizeShaped() computes for depths up to 16 bits, frame by frame, with the state
// held in registers: the generator, each channel's newest error and the eight before it.
// The clamps are minimum and maximum (which send NaN the same way as the comparisons).
// max(t, 0), 0 for NaN.
[[gnu::always_inline]] inline float atLeastZero(float t) {
#if defined(__SSE__)
    return _mm_cvtss_f32(_mm_max_ss(_mm_set_ss(t), _mm_setzero_ps()));
#else
    return t > 0.0f ? t : 0.0f;
#endif
}

template <uint32_t kTaps, uint32_t kChannels>
[[gnu::always_inline]] inline void
shapeFrames16(uint32_t& randomState, float scale, uint32_t offset, uint32_t order,
              const float* coefs, const float* older, float* rings, uint32_t ringStride,
              uint32_t* position, const float* const* planes, uint32_t first, uint32_t frames,
              int32_t* out) {
    uint32_t state = randomState;
    float newest[kChannels];
    Lanes before[kChannels];
    uint32_t pos[kChannels];
    for (uint32_t c = 0; c < kChannels; ++c) {
        pos[c] = position[c];
        const float* e = rings + size_t(c) * ringStride + pos[c];
        newest[c] = e[0];
        std::memcpy(&before[c], e + 1, sizeof(Lanes));
    }
    const float c0 = coefs[0];
    const float top = static_cast<float>(offset) * 2.0f - 1.0f;
    const int32_t bias = static_cast<int32_t>(offset);
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < kChannels; ++c) {
            state = state * 140359821u + 1u;
            const float u1 = static_cast<float>(state) * 2.3283064365386963e-10f - 0.5f;
            state = state * 140359821u + 1u;
            const float u2 = static_cast<float>(state) * 2.3283064365386963e-10f - 0.5f;
            float* ring = rings + size_t(c) * ringStride;
            const float* e = ring + pos[c];
            const float feedback = c0 * newest[c] + olderSumFixed<kTaps>(older, before[c], e + 1);
            const float x = planes[c][first + i];
            const float vs = static_cast<float>(static_cast<double>((x + 1.0f) * scale)) - feedback;
            const float t = vs + (u1 + u2) + 0.5f;
            // 0 for t < 0 and NaN, the top for t >= top + 1, else trunc(t).
            const float nf = __builtin_truncf(std::min(atLeastZero(t), top));
            const float err = std::min(std::max(-1.5f, nf - vs), 1.5f);
            uint32_t p = pos[c];
            p = p == 0 ? order - 1 : p - 1;
            pos[c] = p;
            ring[p] = err;
            ring[p + order] = err;
            before[c] =
                __builtin_shufflevector(before[c], Lanes{newest[c]}, 8, 0, 1, 2, 3, 4, 5, 6);
            newest[c] = err;
            *out++ = static_cast<int32_t>(nf) - bias;
        }
    }
    randomState = state;
    for (uint32_t c = 0; c < kChannels; ++c) position[c] = pos[c];
}
} // namespace

// Built twice where the compiler can: with AVX the eight lanes are one register.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "avx", "default")))
#endif
void kyShapedNoiseQuantizerBase::shapeFrames(kyShapedNoiseQuantizerBase& q,
                                             const float* const* planes, uint32_t channels,
                                             uint32_t first, uint32_t frames, int32_t* out) {
    // The usual case, stereo or mono 16-bit through the 95-tap filter, runs without a call
    // per sample and with its state in registers.
    constexpr uint32_t kTaps = (kyShapedNoiseMDQuantizer::kOrder - 1 + 7) / 8 * 8;
    if (q.m_buffer && q.bits <= 16 && q.m_olderTaps == kTaps && channels == q.m_channels &&
        (channels == 1 || channels == 2)) {
        // Called directly, not through a lambda: a lambda that is not inlined is built
        // for the default instruction set, not the clone's.
        if (channels == 2)
            shapeFrames16<kTaps, 2>(q.randomState, q.scale, q.offset, q.m_order, q.m_coefs,
                                    q.m_older, q.m_buffer.get(), q.m_ringStride, q.m_position.get(),
                                    planes, first, frames, out);
        else
            shapeFrames16<kTaps, 1>(q.randomState, q.scale, q.offset, q.m_order, q.m_coefs,
                                    q.m_older, q.m_buffer.get(), q.m_ringStride, q.m_position.get(),
                                    planes, first, frames, out);
        return;
    }
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c) *out++ = q.quantizeShaped(c, planes[c][first + i]);
}

void kyShapedNoiseQuantizerBase::quantizeFrames(const float* const* planes, uint32_t channels,
                                                uint32_t first, uint32_t frames, int32_t* out) {
    shapeFrames(*this, planes, channels, first, frames, out);
}

namespace {
// Linear prediction on a spectrum that follows the ear's sensitivity near the threshold of
// hearing: the prediction-error filter 1 - sum c_k z^-(k+1) then has a response inverse to
// it, and feeding the requantization error back through the predictor shapes the noise
// the same way.
void designShapingFilter(float* coefs, uint32_t order, uint32_t rate) {
    std::fill_n(coefs, order, 0.0f);
    kyEqualLoudnessContour contour;
    if (!contour.build(2.0)) return;
    const double reference = contour.level(1000.0);
    constexpr uint32_t kPoints = 1024;
    std::vector<double> R(kPoints), r(order + 1), A(size_t(order) * order), b(order);
    for (uint32_t i = 0; i < kPoints; ++i)
        R[i] = std::pow(10.0, (reference - contour.level(i * double(rate) / 2047.0)) * 0.05);
    for (uint32_t k = 0; k <= order; ++k) {
        double s = R[0] / 2.0;
        for (uint32_t i = 1; i < kPoints - 1; ++i) s += R[i] * std::cos(k * i * M_PI / 1023.5);
        r[k] = s / 1023.5;
    }
    for (uint32_t i = 0; i < order; ++i) {
        for (uint32_t j = 0; j < order; ++j) A[size_t(i) * order + j] = r[i > j ? i - j : j - i];
        b[i] = r[i + 1];
    }
    // Gaussian elimination with partial pivoting.
    for (uint32_t col = 0; col < order; ++col) {
        uint32_t pivot = col;
        for (uint32_t i = col + 1; i < order; ++i)
            if (std::fabs(A[size_t(i) * order + col]) > std::fabs(A[size_t(pivot) * order + col]))
                pivot = i;
        if (A[size_t(pivot) * order + col] == 0.0) return; // singular: leave the noise white
        if (pivot != col) {
            for (uint32_t j = 0; j < order; ++j)
                std::swap(A[size_t(col) * order + j], A[size_t(pivot) * order + j]);
            std::swap(b[col], b[pivot]);
        }
        const double d = A[size_t(col) * order + col];
        for (uint32_t i = col + 1; i < order; ++i) {
            const double f = A[size_t(i) * order + col] / d;
            if (f == 0.0) continue;
            for (uint32_t j = col; j < order; ++j)
                A[size_t(i) * order + j] -= f * A[size_t(col) * order + j];
            b[i] -= f * b[col];
        }
    }
    std::vector<double> c(order);
    for (int i = int(order) - 1; i >= 0; --i) {
        double s = b[i];
        for (uint32_t j = i + 1; j < order; ++j) s -= A[size_t(i) * order + j] * c[j];
        c[i] = s / A[size_t(i) * order + i];
    }
    for (uint32_t k = 0; k < order; ++k)
        if (!std::isfinite(c[k])) return; // coefficients stay zero: white noise
    for (uint32_t k = 0; k < order; ++k) coefs[k] = static_cast<float>(c[k]);
}
} // namespace

kyShapedNoiseMDQuantizer::kyShapedNoiseMDQuantizer(uint32_t bits, uint32_t channels,
                                                   uint32_t sampleRate)
    : kyShapedNoiseQuantizerBase(bits, channels, kOrder) {
    if (!valid()) return;
    try {
        designShapingFilter(m_coefs, m_order, sampleRate);
        prepareTaps();
    } catch (const std::bad_alloc&) {
        m_buffer.reset(); // no filter: unusable, as when the buffer itself failed
        m_coefs = nullptr;
    }
}

int32_t kyShapedNoiseMDQuantizer::quantize(uint32_t channel, float sample) {
    return quantizeShaped(channel, sample);
}
