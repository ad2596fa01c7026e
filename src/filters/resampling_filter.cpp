#include "filters/resampling_filter.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

namespace {

constexpr uint32_t kPhases = 2048; // table rows 0..kPhases
// A FIR wider than this per side would need a table of more than half a gigabyte.
constexpr uint64_t kMaxTapsPerSide = 1u << 16;

struct FirParams {
    uint32_t length;
    double cutoff;
    double beta;
};

// Length parameter, cut-off and Kaiser beta per FIR code (3..7).
constexpr FirParams kFirParams[] = {
    {17, 0.77, 6.0}, {35, 0.86, 7.5}, {69, 0.905, 9.5}, {265, 0.97, 11.0}, {999, 0.985, 14.0},
};

// Modified Bessel function of the first kind, order 0, by its power series.
double besselI0(double x) {
    const double q = x * x / 4.0;
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 1000; ++k) {
        term *= q / (double(k) * double(k));
        sum += term;
        if (term < sum * 1e-21) break;
    }
    return sum;
}

typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
typedef double v4d __attribute__((vector_size(32)));

// Unaligned vector loads. The vectors are filled in place rather than returned, which
// keeps the calling convention of wide vectors out of it.
template <typename V> [[gnu::always_inline]] inline void load(V& v, const float* p) {
    std::memcpy(&v, p, sizeof v);
}

// Dot products with independent partial sums kept in vector registers. The summing order
// is fixed, so every build of these gives the same result. The widest kernel sums in
// double: their promise is below float's rounding of a long sum.
[[gnu::always_inline]] inline float dotFloat(const float* c, const float* x, uint32_t n) {
    v8f a0 = {}, a1 = {}, c0, x0, c1, x1;
    uint32_t j = 0;
    for (; j + 16 <= n; j += 16) {
        load(c0, c + j), load(x0, x + j), load(c1, c + j + 8), load(x1, x + j + 8);
        a0 += c0 * x0;
        a1 += c1 * x1;
    }
    if (j + 8 <= n) {
        load(c0, c + j), load(x0, x + j);
        a0 += c0 * x0;
        j += 8;
    }
    float tail = 0;
    for (; j < n; ++j) tail += c[j] * x[j];
    a0 += a1;
    return (((a0[0] + a0[4]) + (a0[1] + a0[5])) + ((a0[2] + a0[6]) + (a0[3] + a0[7]))) + tail;
}

[[gnu::always_inline]] inline float dotDouble(const float* c, const float* x, uint32_t n) {
    v4d a0 = {}, a1 = {};
    v4f c0, x0, c1, x1;
    uint32_t j = 0;
    for (; j + 8 <= n; j += 8) {
        load(c0, c + j), load(x0, x + j), load(c1, c + j + 4), load(x1, x + j + 4);
        a0 += __builtin_convertvector(c0, v4d) * __builtin_convertvector(x0, v4d);
        a1 += __builtin_convertvector(c1, v4d) * __builtin_convertvector(x1, v4d);
    }
    double tail = 0;
    for (; j < n; ++j) tail += double(c[j]) * double(x[j]);
    a0 += a1;
    return float(((a0[0] + a0[2]) + (a0[1] + a0[3])) + tail);
}

using DotFn = float (*)(const float*, const float*, uint32_t);

float dotFloatDefault(const float* c, const float* x, uint32_t n) {
    return dotFloat(c, x, n);
}
float dotDoubleDefault(const float* c, const float* x, uint32_t n) {
    return dotDouble(c, x, n);
}
// The same arithmetic in wider registers; no fused multiply-add, so the results match.
[[gnu::target("avx2")]] float dotFloatAvx2(const float* c, const float* x, uint32_t n) {
    return dotFloat(c, x, n);
}
[[gnu::target("avx2")]] float dotDoubleAvx2(const float* c, const float* x, uint32_t n) {
    return dotDouble(c, x, n);
}

DotFn pickDot(bool wide) {
    const bool avx2 = __builtin_cpu_supports("avx2");
    if (wide) return avx2 ? dotDoubleAvx2 : dotDoubleDefault;
    return avx2 ? dotFloatAvx2 : dotFloatDefault;
}

// Blended coefficient sets kept per phase of the step, when the step's fraction has few
// enough distinct values for them to fit in this many floats.
constexpr uint64_t kMaxCachedCoefficients = uint64_t(8) << 20;

} // namespace

// The Kaiser-windowed sinc table: one row of coefficients per phase, filled on first use.
class kyResamplingFir {
public:
    // `phases`: how many distinct fractions the step produces.
    kyError build(const FirParams& p, double cutoff, double beta, double scale, uint64_t phases) {
        const uint64_t half = (p.length - 1) / 2;
        const double taps = std::ceil(double(half) / scale);
        if (!(taps >= 1.0) || taps > double(kMaxTapsPerSide)) return KYERR_OUT_OF_MEMORY;
        m_taps = static_cast<uint32_t>(taps);
        m_stride = (m_taps + 3) & ~3u;
        m_cutoff = cutoff;
        m_beta = beta;
        m_scale = scale;
        m_i0Beta = besselI0(beta);
        m_dot = pickDot(p.length >= 999);
        // Both halves side by side: x[-(n-1)] .. x[n-1].
        m_span = 2 * m_taps - 1;
        m_cached.clear();
        m_cache.clear();
        try {
            m_table.reset();
            m_table.reset(new float[size_t(m_stride) * (kPhases + 1)]);
            m_coef.assign(m_span, 0.0f);
            if (phases > 0 && phases * m_span <= kMaxCachedCoefficients) {
                m_cache.assign(size_t(phases * m_span), 0.0f);
                m_cached.assign(size_t(phases), 0);
            }
        } catch (const std::bad_alloc&) {
            m_table.reset();
            m_cache.clear();
            m_cached.clear();
            return KYERR_OUT_OF_MEMORY;
        }
        // Only the marks are written now: rows never needed cost no memory.
        for (uint32_t r = 0; r <= kPhases; ++r)
            m_table[size_t(r) * m_stride] = std::numeric_limits<float>::quiet_NaN();
        return KY_OK;
    }

    uint32_t taps() const { return m_taps; }

    // Every channel's output at input index `idx` and fraction t = phase / phases of the
    // way to idx + 1.
    void apply(float* const* out, uint32_t o, float* const* in, uint64_t idx, uint64_t phase,
               double t, uint32_t channels) {
        const float* c;
        if (!m_cached.empty()) {
            float* slot = m_cache.data() + phase * m_span;
            if (!m_cached[phase]) {
                coefficients(t, slot);
                m_cached[phase] = 1;
            }
            c = slot;
        } else {
            coefficients(t, m_coef.data());
            c = m_coef.data();
        }
        for (uint32_t ch = 0; ch < channels; ++ch)
            out[ch][o] = float(m_scale * m_dot(c, in[ch] + idx - (m_taps - 1), m_span));
    }

private:
    // The coefficients for x[-(n-1)] .. x[n-1] at fraction t.
    void coefficients(double t, float* c) {
        const uint32_t n = m_taps;
        // Left half, x[0] back to x[-(n-1)], stored reversed so that both halves run
        // forwards through memory: c[n-1-i] = h(i + t).
        blendRow(t * kPhases, c, n, true);
        // Right half, x[1] to x[n-1]: c[n+i] = h(i + 1 - t).
        blendRow(double(kPhases) - t * kPhases, c + n, n - 1, false);
    }

    const float* row(uint32_t p) {
        float* r = m_table.get() + size_t(p) * m_stride;
        if (std::isnan(r[0])) fill(p, r);
        return r;
    }

    void fill(uint32_t p, float* r) {
        const double phi = double(p) / kPhases;
        const double pi = 3.14159265358979323846;
        for (uint32_t i = 0; i < m_taps; ++i) {
            const double x = i + phi;
            const double u = x * m_scale;
            const double sinc = u == 0.0 ? m_cutoff : std::sin(pi * m_cutoff * u) / (pi * u);
            const double w = x / m_taps;
            const double arg = 1.0 - w * w;
            r[i] = float(sinc * besselI0(m_beta * std::sqrt(arg > 0.0 ? arg : 0.0)) / m_i0Beta);
        }
        std::fill(r + m_taps, r + m_stride, 0.0f);
    }

    // h at offsets i + a / kPhases for i = 0..count-1, blended linearly between the two
    // nearest rows.
    void blendRow(double a, float* dst, uint32_t count, bool reversed) {
        uint32_t p = static_cast<uint32_t>(a);
        if (p > kPhases) p = kPhases;
        const float r = float(a - p);
        const float* r0 = row(p);
        if (r == 0.0f || p == kPhases) {
            if (reversed)
                for (uint32_t i = 0; i < count; ++i) dst[count - 1 - i] = r0[i];
            else
                std::memcpy(dst, r0, sizeof(float) * count);
            return;
        }
        const float* r1 = row(p + 1);
        if (reversed)
            for (uint32_t i = 0; i < count; ++i) dst[count - 1 - i] = r0[i] + r * (r1[i] - r0[i]);
        else
            for (uint32_t i = 0; i < count; ++i) dst[i] = r0[i] + r * (r1[i] - r0[i]);
    }

    std::unique_ptr<float[]> m_table;
    std::vector<float> m_coef;
    std::vector<float> m_cache;
    std::vector<uint8_t> m_cached;
    uint32_t m_span = 0;
    DotFn m_dot = nullptr;
    uint32_t m_taps = 0;
    uint32_t m_stride = 0;
    double m_cutoff = 1.0;
    double m_beta = 9.0;
    double m_scale = 1.0;
    double m_i0Beta = 1.0;
};

const char* kyResampleAlgorithmLabel(uint32_t algorithm) {
    switch (algorithm) {
    case KYRESAMPLE_NEAREST:
        return "Nearest neighbour (1-tap)";
    case KYRESAMPLE_LINEAR:
        return "Linear interpolation (2-tap)";
    case KYRESAMPLE_CUBIC:
        return "Cubic interpolation (4-tap)";
    case KYRESAMPLE_FIR_FAST:
        return "F.I.R. filter, > 12-bits S/N (fast)";
    case KYRESAMPLE_FIR_NORMAL:
        return "F.I.R. filter, > 16-bits S/N (normal)";
    case KYRESAMPLE_FIR_SLOW:
        return "F.I.R. filter, > 20-bits S/N (slow)";
    default:
        return nullptr;
    }
}

kyResamplingFilter::kyResamplingFilter(uint32_t targetRate, uint32_t algorithm)
    : kyBufferingFilter("Resampling morph", 0, 0), m_algorithm(algorithm),
      m_targetRate(targetRate) {}

kyResamplingFilter::~kyResamplingFilter() = default;

kyError kyResamplingFilter::updateRates(kyAudioFormat& format) {
    m_inRate = format.sampleRate;
    m_passThrough = format.sampleRate == m_targetRate;
    if (m_passThrough) {
        m_ratio = 1.0;
        m_outputLength = static_cast<int32_t>(format.lengthFrames & 0x7FFFFFFF);
        return KY_OK;
    }
    if (format.sampleRate == 0 || m_targetRate == 0) return KYERR_INVALID_PARAMETER;
    m_ratio = double(m_targetRate) / double(format.sampleRate);
    if (format.lengthFrames != KY_NO_LENGTH) {
        const double len = std::trunc(double(format.lengthFrames) * m_ratio + 0.5);
        // A length that would not fit is not a length: keep it just below "unbounded".
        format.lengthFrames = len >= double(KY_NO_LENGTH) ? KY_NO_LENGTH - 1 : uint32_t(len);
    }
    const double block = std::trunc((double(format.blockFrames) + 1.0) * m_ratio + 1.0);
    format.blockFrames = block >= double(KY_NO_LENGTH) ? KY_NO_LENGTH : uint32_t(block);
    format.sampleRate = m_targetRate;
    m_outputLength = static_cast<int32_t>(format.lengthFrames);
    return KY_OK;
}

kyError kyResamplingFilter::GetFormat(kyAudioFormat& format) {
    if (!kyMorphFilter::upstream()) {
        format = kyAudioFormat{};
        return KY_OK;
    }
    kyError e = kyMorphFilter::upstream()->GetFormat(format);
    if (kyFailed(e)) return e;
    return updateRates(format);
}

kyError kyResamplingFilter::refresh() {
    kyAudioFormat f;
    return GetFormat(f);
}

uint32_t kyResamplingFilter::Seek(uint32_t frame) {
    kySourceFilter* up = kyMorphFilter::upstream();
    if (!up) return 0;
    if (kyFailed(refresh())) return 0;
    if (m_passThrough) return up->Seek(frame);
    // Scaled in integers: through a double ratio, one second at 48000 Hz would come back
    // as frame 44099 at 44100 Hz.
    const uint64_t in = std::min<uint64_t>(uint64_t(frame) * m_inRate / m_targetRate, UINT32_MAX);
    const uint64_t reached = up->Seek(uint32_t(in));
    const uint64_t out = (2 * reached * m_targetRate + m_inRate) / (2 * uint64_t(m_inRate));
    return uint32_t(std::min<uint64_t>(out, UINT32_MAX));
}

kyError kyResamplingFilter::Prepare() {
    m_prepared = false;
    if (!kyMorphFilter::upstream()) return KYERR_SEQUENCE;
    if (m_algorithm > 999 || (m_algorithm > 7 && m_algorithm != KYRESAMPLE_DEFAULT))
        return KYERR_INVALID_PARAMETER;
    kyAudioFormat in;
    kyError e = kyMorphFilter::upstream()->GetFormat(in);
    if (kyFailed(e)) return e;
    const uint32_t inRate = in.sampleRate;
    kyAudioFormat out = in;
    e = updateRates(out);
    if (kyFailed(e)) return e;
    if (m_passThrough) {
        e = kyMorphFilter::Prepare();
        m_prepared = kySucceeded(e);
        return e;
    }

    // The step in input frames per output frame, as an exact fraction.
    const uint64_t g = std::gcd(uint64_t(inRate), uint64_t(m_targetRate));
    m_stepNum = inRate / g;
    m_stepDen = m_targetRate / g;
    m_step = double(m_stepNum) / double(m_stepDen);

    const uint32_t code = m_algorithm == KYRESAMPLE_DEFAULT ? KYRESAMPLE_FIR_NORMAL : m_algorithm;
    m_kernel = code;
    m_fir.reset();
    switch (code) {
    case KYRESAMPLE_NEAREST:
    case KYRESAMPLE_LINEAR:
        setContext(0, 1);
        break;
    case KYRESAMPLE_CUBIC:
        setContext(1, 2);
        break;
    default: {
        const FirParams& p = kFirParams[code - 3];
        const bool up = m_ratio >= 1.0;
        const double scale = std::min(m_ratio, 1.0);
        try {
            m_fir = std::make_unique<kyResamplingFir>();
        } catch (const std::bad_alloc&) {
            return KYERR_OUT_OF_MEMORY;
        }
        e = m_fir->build(p, up ? 1.0 : p.cutoff, up ? 9.0 : p.beta, scale, m_stepDen);
        if (kyFailed(e)) {
            m_fir.reset();
            return e;
        }
        setContext(m_fir->taps(), m_fir->taps() + 1);
        break;
    }
    }

    m_posNum = 0;
    m_posWhole = 0;
    e = kyBufferingFilter::Prepare();
    m_prepared = kySucceeded(e);
    return e;
}

uint64_t kyResamplingFilter::maxOutputFrames(uint64_t inputFrames) const {
    // Output k sits at input position k * step; at most ceil(n / step) of them fall in n
    // frames, whatever the carry.
    const unsigned __int128 n = (unsigned __int128)inputFrames * m_stepDen;
    const unsigned __int128 count = (n + m_stepNum - 1) / m_stepNum + 1;
    return count > UINT64_MAX ? UINT64_MAX : uint64_t(count);
}

uint32_t kyResamplingFilter::ProcessSpan(float* const* out, uint32_t outIndex, float* const* in,
                                         uint32_t inIndex, uint32_t count) {
    const uint64_t end = uint64_t(inIndex) + count;
    const uint64_t stepWhole = m_stepNum / m_stepDen;
    const uint64_t stepFrac = m_stepNum % m_stepDen;
    const uint32_t channels = m_channels;
    uint64_t idx = inIndex + m_posWhole;
    uint64_t num = m_posNum;
    uint32_t o = outIndex;
    const double den = double(m_stepDen);

    auto run = [&](auto&& kernel) {
        while (idx < end) {
            kernel(idx, double(num) / den);
            ++o;
            idx += stepWhole;
            num += stepFrac;
            if (num >= m_stepDen) {
                num -= m_stepDen;
                ++idx;
            }
        }
    };

    switch (m_kernel) {
    case KYRESAMPLE_NEAREST:
        run([&](uint64_t i, double t) {
            const uint64_t j = i + (t + 0.5 >= 1.0 ? 1 : 0);
            for (uint32_t c = 0; c < channels; ++c) out[c][o] = in[c][j];
        });
        break;
    case KYRESAMPLE_LINEAR:
        run([&](uint64_t i, double t) {
            for (uint32_t c = 0; c < channels; ++c)
                out[c][o] = float((1.0 - t) * in[c][i] + t * in[c][i + 1]);
        });
        break;
    case KYRESAMPLE_CUBIC:
        run([&](uint64_t i, double t) {
            for (uint32_t c = 0; c < channels; ++c) {
                const float* x = in[c] + i;
                const double xm1 = x[-1], x0 = x[0], x1 = x[1], x2 = x[2];
                const double y = ((((x0 - x1) * 3 + x2 - xm1) * t + ((x1 + xm1) * 3 - 6 * x0)) * t +
                                  (6 * x1 - x2 - 3 * x0 - 2 * xm1)) *
                                     t +
                                 6 * x0;
                out[c][o] = float(y / 6.0);
            }
        });
        break;
    default:
        run([&](uint64_t i, double t) { m_fir->apply(out, o, in, i, num, t, channels); });
        break;
    }

    m_posWhole = idx - end;
    m_posNum = num;
    return o - outIndex;
}

kyError kyResamplingFilter::Write(float** planes, uint32_t frames) {
    if (!m_prepared) return KYERR_SEQUENCE;
    if (m_passThrough) return kyMorphFilter::Write(planes, frames);
    return kyBufferingFilter::Write(planes, frames);
}

kyError kyResamplingFilter::EndOfStream() {
    if (!m_prepared) return kyMorphFilter::EndOfStream();
    if (m_passThrough) return kyMorphFilter::EndOfStream();
    return kyBufferingFilter::EndOfStream();
}

const char* kyResamplingFilter::GetInterleavedFormat(uint32_t channels) {
    kySourceFilter* up = kyMorphFilter::upstream();
    if (!up || kyFailed(refresh()) || !m_passThrough) return nullptr;
    return up->GetInterleavedFormat(channels);
}

kyError kyResamplingFilter::WriteInterleaved(const void* bytes, uint32_t byteCount,
                                             uint32_t frames) {
    // The source prepares only itself before it hands over interleaved data: ask
    // upstream whether the rates match.
    if (kyFailed(refresh()) || !m_passThrough) return KYERR_SEQUENCE;
    kySinkFilter* down = kyMorphFilter::downstream();
    return down ? down->WriteInterleaved(bytes, byteCount, frames) : 1;
}

// Slots 18 and 19 hold sample positions at the source's rate; slot 27, the peak level, no
// longer holds once the waveform has been recomputed.
bool kyResamplingFilter::scaledSlot(uint32_t slot, const char*& answer) {
    if (kyFailed(refresh()) || m_passThrough) return false;
    answer = nullptr;
    if (slot == 27) return true;
    if (slot != 18 && slot != 19) return false;
    kySourceFilter* up = kyMorphFilter::upstream();
    const char* text = up->GetPropertyA(slot);
    if (!text) text = up->GetPropertyUtf8(slot);
    if (!text) return true;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || !std::isfinite(v)) return true;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", double(float(v) * float(m_ratio)));
    m_propText = buf;
    m_propTextW.assign(m_propText.begin(), m_propText.end());
    answer = m_propText.c_str();
    return true;
}

const char* kyResamplingFilter::GetPropertyA(uint32_t slot) {
    const char* answer;
    if (scaledSlot(slot, answer)) return answer;
    return kyMorphFilter::GetPropertyA(slot);
}

const char* kyResamplingFilter::GetPropertyUtf8(uint32_t slot) {
    const char* answer;
    if (scaledSlot(slot, answer)) return answer;
    return kyMorphFilter::GetPropertyUtf8(slot);
}

const char16_t* kyResamplingFilter::GetPropertyW(uint32_t slot) {
    const char* answer;
    if (scaledSlot(slot, answer)) return answer ? m_propTextW.c_str() : nullptr;
    return kyMorphFilter::GetPropertyW(slot);
}
