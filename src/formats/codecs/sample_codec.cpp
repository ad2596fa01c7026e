#include "formats/codecs/sample_codec.h"
#include "filters/quantizer_factory.h"
#include <algorithm>
#include <new>

kySampleEncoder::~kySampleEncoder() = default;
kySampleDecoder::~kySampleDecoder() = default;

kyError kySampleEncoder::start(uint32_t bits, uint32_t channels) {
    m_started = false;
    m_fill = 0;
    if (channels == 0) return KYERR_CHANNEL_FORMAT;
    kyError e = configure(bits, channels);
    if (kyFailed(e)) return e;
    m_bits = bits;
    m_channels = channels;
    // The codecs work on 16-bit integers: plain rounding, no dither, whatever the default.
    m_quantizer = kyCreateQuantizer(16, 0, channels, 48000);
    if (!m_quantizer) return KYERR_OUT_OF_MEMORY;
    try {
        m_block.assign(size_t(channels) * m_framesPerBlock, 0);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    reset();
    m_started = true;
    return KY_OK;
}

template <typename Get>
kyError kySampleEncoder::gather(uint32_t frames, std::vector<uint8_t>& out, Get get) {
    if (!m_started) return KYERR_INVALID_PARAMETER;
    try {
        uint32_t done = 0;
        while (done < frames) {
            uint32_t n = std::min(frames - done, m_framesPerBlock - m_fill);
            for (uint32_t ch = 0; ch < m_channels; ++ch) {
                int16_t* dst = blockPlane(ch) + m_fill;
                for (uint32_t i = 0; i < n; ++i) dst[i] = get(ch, done + i);
            }
            m_fill += n;
            done += n;
            if (m_fill == m_framesPerBlock) {
                size_t at = out.size();
                out.resize(at + m_bytesPerBlock);
                encodeBlock(out.data() + at);
                m_fill = 0;
            }
        }
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}

kyError kySampleEncoder::encode(const float* const* planes, uint32_t firstFrame, uint32_t frames,
                                std::vector<uint8_t>& out) {
    if (!planes && frames) return KYERR_INVALID_PARAMETER;
    kyQuantizer* q = m_quantizer.get();
    return gather(frames, out, [&](uint32_t ch, uint32_t i) {
        return static_cast<int16_t>(q->quantize(ch, planes[ch][firstFrame + i]));
    });
}

kyError kySampleEncoder::encode16(const int16_t* const* samples, uint32_t firstFrame,
                                  uint32_t frames, std::vector<uint8_t>& out) {
    if (!samples && frames) return KYERR_INVALID_PARAMETER;
    return gather(frames, out,
                  [&](uint32_t ch, uint32_t i) { return samples[ch][firstFrame + i]; });
}

kyError kySampleEncoder::flush(std::vector<uint8_t>& out) {
    if (!m_started) return KYERR_INVALID_PARAMETER;
    try {
        if (m_fill) encodeLast(m_fill, out);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_fill = 0;
    reset();
    return KY_OK;
}

kyError kySampleDecoder::decode(const uint8_t* data, size_t bytes, float* const* planes,
                                uint32_t firstFrame, uint32_t* frames) {
    if (!frames) return KYERR_INVALID_PARAMETER;
    *frames = 0;
    if (m_channels == 0) return KYERR_SEQUENCE;
    uint32_t n = maxFrames(bytes);
    if (n == 0) return KY_OK;
    if (!data || !planes) return KYERR_INVALID_PARAMETER;
    *frames = decodeBlock(data, bytes, n, planes, firstFrame);
    return KY_OK;
}
