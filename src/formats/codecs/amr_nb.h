#pragma once
// AMR narrow-band speech coding through libopencore-amrnb: frames of 160 samples at
// 8000 Hz in one of eight modes (4.75 to 12.2 kbit/s). Each frame is kept in the storage
// format of 3GPP files: a table-of-contents byte (frame type in bits 3-6, quality bit),
// then the coded bits.
#include "formats/codecs/sample_codec.h"
#include <cstdint>
#include <vector>

constexpr uint32_t KY_AMR_FRAME_SAMPLES = 160;
constexpr uint32_t KY_AMR_MODES = 8;

// Bytes of one stored frame, its first byte included, for the frame type in `toc`; 0 for
// the frame types that are reserved.
uint32_t kyAmrNbFrameBytes(uint8_t toc);

// The bit rate of a mode in bit/s (4750 to 12200).
uint32_t kyAmrNbModeBitRate(uint32_t mode);

// One stored frame per block of 160 samples, always in the mode chosen (no discontinuous
// transmission), so every block has the same size. Mono only. The last, partial block is
// padded with silence.
class kyAmrNbEncoder : public kySampleEncoder {
public:
    explicit kyAmrNbEncoder(uint32_t mode) : m_mode(mode) {}
    ~kyAmrNbEncoder() override;

    // Whether libopencore-amrnb's encoder could be loaded.
    static bool available();

protected:
    // "Missing required component" without the library, "Unsupported channel format" for
    // more than one channel, "Invalid parameter" for a mode above 7.
    kyError configure(uint32_t bits, uint32_t channels) override;
    void reset() override;
    void encodeBlock(uint8_t* out) override;
    void encodeLast(uint32_t frames, std::vector<uint8_t>& out) override;

private:
    void close();
    uint32_t m_mode;
    void* m_state = nullptr;
};

// Decodes the stored frames laid end to end in a packet.
class kyAmrNbDecoder {
public:
    kyAmrNbDecoder() = default;
    kyAmrNbDecoder(const kyAmrNbDecoder&) = delete;
    kyAmrNbDecoder& operator=(const kyAmrNbDecoder&) = delete;
    ~kyAmrNbDecoder();

    static bool available();

    // A fresh decoder. "Missing required component" without the library.
    kyError start();
    // Appends 160 samples per frame of `data` to `out`, at most `maxFrames` frames. A
    // reserved frame type or a frame cut short ends the packet.
    kyError decode(const uint8_t* data, size_t size, std::vector<int16_t>& out, uint32_t maxFrames);

private:
    void close();
    void* m_state = nullptr;
};
