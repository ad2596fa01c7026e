#pragma once
// GSM 06.10 full rate through libgsm, one channel at 8000 Hz, in the WAV packing (format
// tag 0x31): two 160-sample frames in 65 bytes.
#include "formats/codecs/sample_codec.h"

struct gsm_state;

// Frees a libgsm handle.
struct kyGsmHandleDeleter {
    void operator()(gsm_state* g) const;
};
using kyGsmHandle = std::unique_ptr<gsm_state, kyGsmHandleDeleter>;

class kyGsm610Encoder : public kySampleEncoder {
protected:
    // `bits` is not used by GSM; any value is accepted.
    kyError configure(uint32_t bits, uint32_t channels) override;
    void reset() override;
    void encodeBlock(uint8_t* out) override;
    // The last block is filled up with silence.
    void encodeLast(uint32_t frames, std::vector<uint8_t>& out) override;

private:
    kyGsmHandle m_gsm;
};

// A block shorter than 65 bytes decodes to no frames; a longer one decodes its first 65.
class kyGsm610Decoder : public kySampleDecoder {
public:
    kyError start(uint32_t bits, uint32_t channels, uint32_t blockAlign = 0) override;
    uint32_t maxFrames(size_t bytes) const override;

protected:
    uint32_t decodeBlock(const uint8_t* data, size_t bytes, uint32_t frames, float* const* planes,
                         uint32_t firstFrame) override;

private:
    kyGsmHandle m_gsm;
};
