#include "formats/codecs/ms_adpcm.h"
#include <algorithm>
#include <climits>
#include <cstdlib>

const int16_t kyMsAdpcmCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                             {240, 0}, {460, -208}, {392, -232}};

namespace {

constexpr int32_t kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                                     768, 614, 512, 409, 307, 230, 230, 230};
constexpr uint32_t kFrames = 2036;
constexpr uint32_t kBytesPerChannel = 1024;
constexpr uint32_t kMaxChannels = 2;
constexpr uint32_t kHeaderPerChannel = 7;
// Keeps delta x 768 inside 32 bits whatever a damaged header holds.
constexpr int32_t kMaxDelta = INT_MAX / 768;

struct Channel {
    int32_t c1 = 256, c2 = 0;
    int32_t s1 = 0, s2 = 0; // s1 is the newer sample
    int32_t delta = 16;

    int32_t predict() const { return (s1 * c1 + s2 * c2) / 256; }

    // Applies a 4-bit code; returns the reconstructed sample.
    int32_t apply(uint32_t code) {
        int32_t n = static_cast<int32_t>(code & 15);
        if (n >= 8) n -= 16;
        int32_t s = std::clamp(predict() + n * delta, -32768, 32767);
        s2 = s1;
        s1 = s;
        delta = std::min((kAdaptation[code & 15] * delta) >> 8, kMaxDelta);
        if (delta < 16) delta = 16;
        return s;
    }

    uint32_t encode(int32_t sample) {
        int32_t err = sample - predict();
        int32_t bias = err < 0 ? -(delta / 2) : delta / 2;
        int32_t n = std::clamp((err + bias) / delta, -8, 7);
        uint32_t code = static_cast<uint32_t>(n) & 15;
        apply(code);
        return code;
    }
};

kyError checkLimits(uint32_t bits, uint32_t channels) {
    if (bits != 4) return KYERR_INVALID_PARAMETER;
    if (channels == 0 || channels > kMaxChannels) return KYERR_CHANNEL_FORMAT;
    return KY_OK;
}

void put16(uint8_t* p, int32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

int32_t get16(const uint8_t* p) {
    return static_cast<int16_t>(p[0] | (p[1] << 8));
}

// Starting state for a block of `s` (at least 2 samples) with coefficient pair `k`: the
// initial delta follows the size of the first prediction errors, so loud blocks do not
// spend their first codes growing it.
Channel startChannel(const int16_t* s, uint32_t frames, uint32_t k) {
    Channel c;
    c.c1 = kyMsAdpcmCoefficients[k][0];
    c.c2 = kyMsAdpcmCoefficients[k][1];
    c.s2 = s[0];
    c.s1 = s[1];
    int64_t sum = 0;
    uint32_t n = std::min<uint32_t>(frames - 2, 16);
    Channel probe = c;
    for (uint32_t i = 0; i < n; ++i) {
        sum += std::abs(s[2 + i] - probe.predict());
        probe.s2 = probe.s1;
        probe.s1 = s[2 + i];
    }
    c.delta = n ? static_cast<int32_t>(std::clamp<int64_t>(sum / n / 4, 16, kMaxDelta)) : 16;
    return c;
}

// Squared error of predicting `s` from its own history with pair `k`.
int64_t predictionError(const int16_t* s, uint32_t frames, uint32_t k) {
    const int32_t c1 = kyMsAdpcmCoefficients[k][0], c2 = kyMsAdpcmCoefficients[k][1];
    int64_t e = 0;
    for (uint32_t i = 2; i < frames; ++i) {
        int64_t d = s[i] - (s[i - 1] * c1 + s[i - 2] * c2) / 256;
        e += d * d;
    }
    return e;
}

// Squared error of coding `s` from state `c` (on a copy).
int64_t trialError(Channel c, const int16_t* s, uint32_t frames) {
    int64_t e = 0;
    for (uint32_t i = 2; i < frames; ++i) {
        c.encode(s[i]);
        int64_t d = s[i] - c.s1;
        e += d * d;
    }
    return e;
}

} // namespace

uint32_t kyMsAdpcmFramesPerBlock(uint32_t blockAlign, uint32_t channels) {
    if (channels == 0 || channels > kMaxChannels || blockAlign < kHeaderPerChannel * channels)
        return 0;
    return 2 + (blockAlign - kHeaderPerChannel * channels) * 2 / channels;
}

kyError kyMsAdpcmEncoder::configure(uint32_t bits, uint32_t channels) {
    kyError e = checkLimits(bits, channels);
    if (kyFailed(e)) return e;
    m_framesPerBlock = kFrames;
    m_bytesPerBlock = kBytesPerChannel * channels;
    return KY_OK;
}

void kyMsAdpcmEncoder::encodeBlock(uint8_t* out) {
    encodeFrames(m_framesPerBlock, out);
}

void kyMsAdpcmEncoder::encodeLast(uint32_t frames, std::vector<uint8_t>& out) {
    // A block needs its two header samples, and a mono block whole bytes of codes: pad
    // with silence as far as that takes (at most one frame past the end).
    uint32_t padded = std::max<uint32_t>(frames, 2);
    if (m_channels == 1 && (padded - 2) % 2) ++padded;
    for (uint32_t ch = 0; ch < m_channels; ++ch)
        std::fill(blockPlane(ch) + frames, blockPlane(ch) + padded, int16_t(0));
    size_t at = out.size();
    out.resize(at + kHeaderPerChannel * m_channels + (padded - 2) * m_channels / 2);
    encodeFrames(padded, out.data() + at);
}

size_t kyMsAdpcmEncoder::encodeFrames(uint32_t frames, uint8_t* out) {
    const uint32_t chs = m_channels;
    Channel st[kMaxChannels];
    for (uint32_t ch = 0; ch < chs; ++ch) {
        const int16_t* s = blockPlane(ch);
        // Each block may use any of the standard pairs. Rank them by how well they predict
        // the input itself, then code the block with the two best and keep the better
        // result: nearly always the pair a full search would find, at a third of its cost.
        uint32_t order[kyMsAdpcmCoefficientCount];
        int64_t openLoop[kyMsAdpcmCoefficientCount];
        for (uint32_t k = 0; k < kyMsAdpcmCoefficientCount; ++k) {
            order[k] = k;
            openLoop[k] = predictionError(s, frames, k);
        }
        std::partial_sort(order, order + 2, order + kyMsAdpcmCoefficientCount,
                          [&](uint32_t a, uint32_t b) { return openLoop[a] < openLoop[b]; });
        uint32_t best = order[0];
        if (trialError(startChannel(s, frames, order[1]), s, frames) <
            trialError(startChannel(s, frames, order[0]), s, frames))
            best = order[1];
        st[ch] = startChannel(s, frames, best);
        out[ch] = static_cast<uint8_t>(best);
        put16(out + chs + 2 * ch, st[ch].delta);
        put16(out + 3 * chs + 2 * ch, st[ch].s1);
        put16(out + 5 * chs + 2 * ch, st[ch].s2);
    }
    uint8_t* p = out + kHeaderPerChannel * chs;
    if (chs == 1) {
        const int16_t* s = blockPlane(0);
        for (uint32_t i = 2; i + 1 < frames; i += 2) {
            uint32_t hi = st[0].encode(s[i]);
            uint32_t lo = st[0].encode(s[i + 1]);
            *p++ = static_cast<uint8_t>((hi << 4) | lo);
        }
    } else {
        const int16_t* l = blockPlane(0);
        const int16_t* r = blockPlane(1);
        for (uint32_t i = 2; i < frames; ++i) {
            uint32_t hi = st[0].encode(l[i]);
            uint32_t lo = st[1].encode(r[i]);
            *p++ = static_cast<uint8_t>((hi << 4) | lo);
        }
    }
    return static_cast<size_t>(p - out);
}

kyError kyMsAdpcmDecoder::start(uint32_t bits, uint32_t channels, uint32_t blockAlign) {
    m_channels = 0;
    kyError e = checkLimits(bits, channels);
    if (kyFailed(e)) return e;
    if (blockAlign == 0) blockAlign = kBytesPerChannel * channels;
    m_framesPerBlock = kyMsAdpcmFramesPerBlock(blockAlign, channels);
    if (m_framesPerBlock == 0) return KYERR_INVALID_PARAMETER;
    m_bytesPerBlock = blockAlign;
    m_channels = channels;
    return KY_OK;
}

uint32_t kyMsAdpcmDecoder::maxFrames(size_t bytes) const {
    if (m_channels == 0) return 0;
    return kyMsAdpcmFramesPerBlock(static_cast<uint32_t>(std::min<size_t>(bytes, m_bytesPerBlock)),
                                   m_channels);
}

uint32_t kyMsAdpcmDecoder::decodeBlock(const uint8_t* data, size_t bytes, uint32_t n,
                                       float* const* planes, uint32_t firstFrame) {
    const uint32_t chs = m_channels;
    Channel st[kMaxChannels];
    for (uint32_t ch = 0; ch < chs; ++ch) {
        uint32_t k = data[ch];
        if (k >= kyMsAdpcmCoefficientCount) return 0;
        st[ch].c1 = kyMsAdpcmCoefficients[k][0];
        st[ch].c2 = kyMsAdpcmCoefficients[k][1];
        st[ch].delta = get16(data + chs + 2 * ch);
        st[ch].s1 = get16(data + 3 * chs + 2 * ch);
        st[ch].s2 = get16(data + 5 * chs + 2 * ch);
        planes[ch][firstFrame] = st[ch].s2 * kySample16Scale;
        planes[ch][firstFrame + 1] = st[ch].s1 * kySample16Scale;
    }
    const uint8_t* p = data + kHeaderPerChannel * chs;
    if (chs == 1) {
        float* dst = planes[0] + firstFrame;
        // Mono blocks hold whole bytes of codes, so n - 2 is even.
        for (uint32_t i = 2; i < n; i += 2) {
            uint8_t b = *p++;
            dst[i] = st[0].apply(b >> 4) * kySample16Scale;
            dst[i + 1] = st[0].apply(b & 15) * kySample16Scale;
        }
    } else {
        float* l = planes[0] + firstFrame;
        float* r = planes[1] + firstFrame;
        for (uint32_t i = 2; i < n; ++i) {
            uint8_t b = *p++;
            l[i] = st[0].apply(b >> 4) * kySample16Scale;
            r[i] = st[1].apply(b & 15) * kySample16Scale;
        }
    }
    return n;
}
