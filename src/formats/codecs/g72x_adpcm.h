#pragma once
// ITU-T G.721 (32 kbit/s, 4-bit codes) and G.723 (24 and 40 kbit/s, 3- and 5-bit codes)
// ADPCM, one channel at 8000 Hz. The stream is continuous: one code per sample, packed most
// significant bit first; a flush pads the last byte with zero bits. A "block" here is the
// 8 samples whose codes fill `bits` whole bytes.
#include "formats/codecs/sample_codec.h"

// The adaptive predictor and quantizer state shared by coder and decoder.
struct kyG72xState {
    int32_t yl = 34816; // locked scale factor
    int32_t yu = 544;   // unlocked scale factor
    int32_t dms = 0;    // short-term mean of F(I)
    int32_t dml = 0;    // long-term mean of F(I)
    int32_t ap = 0;     // speed control
    int32_t a[2] = {0, 0};
    int32_t b[6] = {0, 0, 0, 0, 0, 0};
    int32_t pk[2] = {0, 0};
    int32_t dq[6] = {32, 32, 32, 32, 32, 32}; // floating-point form
    int32_t sr[2] = {32, 32};                 // floating-point form
    int32_t td = 0;

    // `bits` is 3, 4 or 5. Encode takes a 16-bit sample and returns its code; decode
    // returns the 16-bit sample of a code.
    uint32_t encode(int32_t sample, uint32_t bits);
    int32_t decode(uint32_t code, uint32_t bits);
};

class kyG72xEncoder : public kySampleEncoder {
public:
    // Codes one 16-bit sample without packing (the state of the one channel moves on).
    uint32_t encodeSample(int32_t sample) { return m_state.encode(sample, m_bits); }

protected:
    kyError configure(uint32_t bits, uint32_t channels) override;
    void reset() override { m_state = kyG72xState(); }
    void encodeBlock(uint8_t* out) override;
    void encodeLast(uint32_t frames, std::vector<uint8_t>& out) override;

private:
    kyG72xState m_state;
};

class kyG72xDecoder : public kySampleDecoder {
public:
    // `blockAlign` is ignored: the stream may be cut anywhere; bits left over at the end of
    // one call are decoded with the next.
    kyError start(uint32_t bits, uint32_t channels, uint32_t blockAlign = 0) override;
    uint32_t maxFrames(size_t bytes) const override;
    int32_t decodeSample(uint32_t code) { return m_state.decode(code, m_bits); }

protected:
    uint32_t decodeBlock(const uint8_t* data, size_t bytes, uint32_t frames, float* const* planes,
                         uint32_t firstFrame) override;

private:
    kyG72xState m_state;
    uint32_t m_bits = 0;
    uint32_t m_acc = 0;     // bits not yet decoded, right-aligned
    uint32_t m_pending = 0; // how many
};
