#pragma once
// Microsoft ADPCM (WAV format tag 2), 4 bits per sample, at most two channels. A block
// holds per channel the predictor index, the initial delta and two history samples, then
// the codes, high nibble first, channels alternating. The writer's layout is 2036 frames in
// 1024 bytes per channel with the 7 standard coefficient pairs.
#include "formats/codecs/sample_codec.h"

// The standard coefficient pairs, in the order the "fmt " extension lists them.
extern const int16_t kyMsAdpcmCoefficients[7][2];
constexpr uint32_t kyMsAdpcmCoefficientCount = 7;

class kyMsAdpcmEncoder : public kySampleEncoder {
protected:
    kyError configure(uint32_t bits, uint32_t channels) override;
    void reset() override {}
    void encodeBlock(uint8_t* out) override;
    void encodeLast(uint32_t frames, std::vector<uint8_t>& out) override;

private:
    // Encodes `frames` frames (2 or more) into `out`, returning the bytes written.
    size_t encodeFrames(uint32_t frames, uint8_t* out);
};

// A block naming a coefficient pair beyond the 7 standard ones decodes to no frames.
class kyMsAdpcmDecoder : public kySampleDecoder {
public:
    kyError start(uint32_t bits, uint32_t channels, uint32_t blockAlign = 0) override;
    uint32_t maxFrames(size_t bytes) const override;

protected:
    uint32_t decodeBlock(const uint8_t* data, size_t bytes, uint32_t frames, float* const* planes,
                         uint32_t firstFrame) override;
};

// Frames per block of `blockAlign` bytes (0 when it cannot hold the headers).
uint32_t kyMsAdpcmFramesPerBlock(uint32_t blockAlign, uint32_t channels);
