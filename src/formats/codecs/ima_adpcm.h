#pragma once
// IMA/DVI ADPCM, 4 bits per sample, in the two block layouts files use:
//  - WAV (format tag 0x11): 1017 frames in 512 bytes per channel; per channel a 4-byte
//    header (first sample, step index), then groups of 8 samples per channel as 4 bytes,
//    the earlier sample in the low nibble.
//  - Apple "ima4" (CAF, QuickTime): 64 frames in 34 bytes per channel; a 2-byte big-endian
//    header (predictor's top 9 bits, 7-bit step index), then 32 bytes of codes, low nibble
//    first.
#include "formats/codecs/sample_codec.h"

// One channel's predictor and step index.
struct kyImaAdpcmState {
    int32_t predictor = 0;
    int32_t index = 0;

    // Codes one 16-bit sample and moves the state as the decoder will.
    uint8_t encode(int32_t sample);
    // Decodes one 4-bit code.
    int16_t decode(uint8_t code);
};

enum class kyImaLayout { Wav, Ima4 };

class kyImaAdpcmEncoder : public kySampleEncoder {
public:
    explicit kyImaAdpcmEncoder(kyImaLayout layout = kyImaLayout::Wav) : m_layout(layout) {}

    // The state of one channel (tests and diagnostics).
    const kyImaAdpcmState& state(uint32_t ch) const { return m_state[ch]; }

protected:
    kyError configure(uint32_t bits, uint32_t channels) override;
    void reset() override;
    void encodeBlock(uint8_t* out) override;
    void encodeLast(uint32_t frames, std::vector<uint8_t>& out) override;

private:
    void encodeWav(uint32_t frames, uint8_t* out);
    void encodeIma4(uint8_t* out);

    kyImaLayout m_layout;
    std::vector<kyImaAdpcmState> m_state;
    bool m_fresh = true;
};

class kyImaAdpcmDecoder : public kySampleDecoder {
public:
    explicit kyImaAdpcmDecoder(kyImaLayout layout = kyImaLayout::Wav) : m_layout(layout) {}

    kyError start(uint32_t bits, uint32_t channels, uint32_t blockAlign = 0) override;
    uint32_t maxFrames(size_t bytes) const override;

    // Forgets the running state, as after a seek: the next "ima4" packet starts from its
    // header alone.
    void restart() { m_continuing = false; }

protected:
    uint32_t decodeBlock(const uint8_t* data, size_t bytes, uint32_t frames, float* const* planes,
                         uint32_t firstFrame) override;

private:
    kyImaLayout m_layout;
    std::vector<kyImaAdpcmState> m_state; // "ima4": carried from packet to packet
    bool m_continuing = false;
};

// Frames per WAV IMA block of `blockAlign` bytes over `channels` channels (0 when the size
// cannot hold a header per channel).
uint32_t kyImaWavFramesPerBlock(uint32_t blockAlign, uint32_t channels);
