#include "formats/codecs/ima_adpcm.h"
#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

constexpr int16_t kStepTable[] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
static_assert(sizeof(kStepTable) / sizeof(kStepTable[0]) == 89);
constexpr int32_t kMaxIndex = 88;

constexpr int8_t kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

constexpr uint32_t kWavFrames = 1017;
constexpr uint32_t kWavBytesPerChannel = 512;
constexpr uint32_t kIma4Frames = 64;
constexpr uint32_t kIma4BytesPerChannel = 34;
constexpr uint32_t kMaxChannels = 32;

int32_t clamp16(int32_t v) {
    return std::clamp(v, -32768, 32767);
}

// Predictor as an "ima4" header keeps it: the low 7 bits hold the step index instead.
int32_t ima4Predictor(int32_t p) {
    return static_cast<int16_t>(p & ~0x7F);
}

kyError checkLimits(uint32_t bits, uint32_t channels) {
    if (bits != 4) return KYERR_INVALID_PARAMETER;
    if (channels == 0 || channels > kMaxChannels) return KYERR_CHANNEL_FORMAT;
    return KY_OK;
}

} // namespace

uint8_t kyImaAdpcmState::encode(int32_t sample) {
    int32_t d = sample - predictor;
    uint8_t code = 0;
    if (d < 0) {
        code = 8;
        d = -d;
    }
    int32_t step = kStepTable[index];
    int32_t v = step >> 3;
    if (d >= step) {
        code |= 4;
        d -= step;
        v += step;
    }
    step >>= 1;
    if (d >= step) {
        code |= 2;
        d -= step;
        v += step;
    }
    step >>= 1;
    if (d >= step) {
        code |= 1;
        v += step;
    }
    predictor = clamp16(code & 8 ? predictor - v : predictor + v);
    index = std::clamp(index + kIndexTable[code], 0, kMaxIndex);
    return code;
}

int16_t kyImaAdpcmState::decode(uint8_t code) {
    code &= 15;
    int32_t step = kStepTable[index];
    int32_t v = step >> 3;
    if (code & 4) v += step;
    if (code & 2) v += step >> 1;
    if (code & 1) v += step >> 2;
    predictor = clamp16(code & 8 ? predictor - v : predictor + v);
    index = std::clamp(index + kIndexTable[code], 0, kMaxIndex);
    return static_cast<int16_t>(predictor);
}

uint32_t kyImaWavFramesPerBlock(uint32_t blockAlign, uint32_t channels) {
    if (channels == 0 || blockAlign < 4 * channels) return 0;
    return 1 + (blockAlign - 4 * channels) / (4 * channels) * 8;
}

// ---- encoder ----

kyError kyImaAdpcmEncoder::configure(uint32_t bits, uint32_t channels) {
    kyError e = checkLimits(bits, channels);
    if (kyFailed(e)) return e;
    if (m_layout == kyImaLayout::Wav) {
        m_framesPerBlock = kWavFrames;
        m_bytesPerBlock = kWavBytesPerChannel * channels;
    } else {
        m_framesPerBlock = kIma4Frames;
        m_bytesPerBlock = kIma4BytesPerChannel * channels;
    }
    try {
        m_state.assign(channels, kyImaAdpcmState());
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}

void kyImaAdpcmEncoder::reset() {
    std::fill(m_state.begin(), m_state.end(), kyImaAdpcmState());
    m_fresh = true;
}

void kyImaAdpcmEncoder::encodeBlock(uint8_t* out) {
    if (m_layout == kyImaLayout::Wav)
        encodeWav(m_framesPerBlock, out);
    else
        encodeIma4(out);
}

void kyImaAdpcmEncoder::encodeLast(uint32_t frames, std::vector<uint8_t>& out) {
    // WAV: pad with silence until the frames after the header sample fill whole groups of
    // 8; the block is then shorter than a full one. "ima4" packets are always 64 frames.
    uint32_t padded = m_layout == kyImaLayout::Wav ? 1 + (frames - 1 + 7) / 8 * 8 : kIma4Frames;
    for (uint32_t ch = 0; ch < m_channels; ++ch)
        std::fill(blockPlane(ch) + frames, blockPlane(ch) + padded, int16_t(0));
    size_t bytes = m_layout == kyImaLayout::Wav ? size_t(4 + (padded - 1) / 2) * m_channels
                                                : size_t(m_bytesPerBlock);
    size_t at = out.size();
    out.resize(at + bytes);
    if (m_layout == kyImaLayout::Wav)
        encodeWav(padded, out.data() + at);
    else
        encodeIma4(out.data() + at);
}

void kyImaAdpcmEncoder::encodeWav(uint32_t frames, uint8_t* out) {
    const uint32_t chs = m_channels;
    for (uint32_t ch = 0; ch < chs; ++ch) {
        // The block starts from its first sample exactly; the step index carries over.
        kyImaAdpcmState& st = m_state[ch];
        int16_t first = blockPlane(ch)[0];
        st.predictor = first;
        uint8_t* h = out + 4 * ch;
        h[0] = static_cast<uint8_t>(first & 0xFF);
        h[1] = static_cast<uint8_t>((first >> 8) & 0xFF);
        h[2] = static_cast<uint8_t>(st.index);
        h[3] = 0;
    }
    uint8_t* p = out + 4 * chs;
    for (uint32_t g = 1; g + 8 <= frames; g += 8) {
        for (uint32_t ch = 0; ch < chs; ++ch) {
            kyImaAdpcmState& st = m_state[ch];
            const int16_t* s = blockPlane(ch) + g;
            for (uint32_t j = 0; j < 8; j += 2) {
                uint8_t lo = st.encode(s[j]);
                uint8_t hi = st.encode(s[j + 1]);
                *p++ = static_cast<uint8_t>(lo | (hi << 4));
            }
        }
    }
    m_fresh = false;
}

void kyImaAdpcmEncoder::encodeIma4(uint8_t* out) {
    for (uint32_t ch = 0; ch < m_channels; ++ch) {
        kyImaAdpcmState& st = m_state[ch];
        const int16_t* s = blockPlane(ch);
        // The stream starts where a decoder that knows only the header starts. Later
        // packets continue from the full predictor; their header is for resynchronising.
        if (m_fresh) {
            st.predictor = ima4Predictor(s[0]);
            st.index = 0;
        }
        uint8_t* p = out + kIma4BytesPerChannel * ch;
        uint16_t h = static_cast<uint16_t>((st.predictor & 0xFF80) | (st.index & 0x7F));
        p[0] = static_cast<uint8_t>(h >> 8);
        p[1] = static_cast<uint8_t>(h & 0xFF);
        for (uint32_t j = 0; j < kIma4Frames; j += 2) {
            uint8_t lo = st.encode(s[j]);
            uint8_t hi = st.encode(s[j + 1]);
            p[2 + j / 2] = static_cast<uint8_t>(lo | (hi << 4));
        }
    }
    m_fresh = false;
}

// ---- decoder ----

kyError kyImaAdpcmDecoder::start(uint32_t bits, uint32_t channels, uint32_t blockAlign) {
    m_channels = 0;
    kyError e = checkLimits(bits, channels);
    if (kyFailed(e)) return e;
    if (m_layout == kyImaLayout::Wav) {
        if (blockAlign == 0) blockAlign = kWavBytesPerChannel * channels;
        m_framesPerBlock = kyImaWavFramesPerBlock(blockAlign, channels);
        if (m_framesPerBlock == 0) return KYERR_INVALID_PARAMETER;
    } else {
        if (blockAlign == 0) blockAlign = kIma4BytesPerChannel * channels;
        if (blockAlign != kIma4BytesPerChannel * channels) return KYERR_INVALID_PARAMETER;
        m_framesPerBlock = kIma4Frames;
    }
    try {
        m_state.assign(channels, kyImaAdpcmState());
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_continuing = false;
    m_bytesPerBlock = blockAlign;
    m_channels = channels;
    return KY_OK;
}

uint32_t kyImaAdpcmDecoder::maxFrames(size_t bytes) const {
    if (m_channels == 0) return 0;
    if (m_layout == kyImaLayout::Ima4) return bytes >= m_bytesPerBlock ? kIma4Frames : 0;
    return kyImaWavFramesPerBlock(static_cast<uint32_t>(std::min<size_t>(bytes, m_bytesPerBlock)),
                                  m_channels);
}

uint32_t kyImaAdpcmDecoder::decodeBlock(const uint8_t* data, size_t bytes, uint32_t n,
                                        float* const* planes, uint32_t firstFrame) {
    const uint32_t chs = m_channels;

    if (m_layout == kyImaLayout::Ima4) {
        for (uint32_t ch = 0; ch < chs; ++ch) {
            const uint8_t* p = data + kIma4BytesPerChannel * ch;
            if ((p[1] & 0x7F) > kMaxIndex) {
                m_continuing = false;
                return 0;
            }
        }
        for (uint32_t ch = 0; ch < chs; ++ch) {
            const uint8_t* p = data + kIma4BytesPerChannel * ch;
            kyImaAdpcmState& st = m_state[ch];
            int32_t predictor = ima4Predictor((p[0] << 8) | p[1]);
            int32_t index = p[1] & 0x7F;
            // Keep the full-precision predictor of the previous packet while the header
            // agrees with it: the header holds only its top 9 bits.
            if (!m_continuing || st.index != index || std::abs(predictor - st.predictor) > 0x7F) {
                st.predictor = predictor;
                st.index = index;
            }
            float* dst = planes[ch] + firstFrame;
            for (uint32_t j = 0; j < kIma4Frames; j += 2) {
                uint8_t b = p[2 + j / 2];
                dst[j] = st.decode(b & 15) * kySample16Scale;
                dst[j + 1] = st.decode(b >> 4) * kySample16Scale;
            }
        }
        m_continuing = true;
        return kIma4Frames;
    }

    // A header with a step index past the table marks a damaged block: skip it whole.
    for (uint32_t ch = 0; ch < chs; ++ch)
        if (data[4 * ch + 2] > kMaxIndex) return 0;
    kyImaAdpcmState st[kMaxChannels];
    for (uint32_t ch = 0; ch < chs; ++ch) {
        const uint8_t* h = data + 4 * ch;
        st[ch].predictor = static_cast<int16_t>(h[0] | (h[1] << 8));
        st[ch].index = h[2];
        planes[ch][firstFrame] = st[ch].predictor * kySample16Scale;
    }
    const uint8_t* p = data + 4 * chs;
    for (uint32_t g = 1; g < n; g += 8) {
        for (uint32_t ch = 0; ch < chs; ++ch) {
            float* dst = planes[ch] + firstFrame + g;
            for (uint32_t j = 0; j < 8; j += 2) {
                uint8_t b = *p++;
                dst[j] = st[ch].decode(b & 15) * kySample16Scale;
                dst[j + 1] = st[ch].decode(b >> 4) * kySample16Scale;
            }
        }
    }
    return n;
}
