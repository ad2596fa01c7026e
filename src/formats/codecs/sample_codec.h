#pragma once
// Block-wise sample encoders and decoders under the container writers and readers. A
// container asks for the block geometry (for its format header), hands float planes to the
// encoder and writes whatever bytes come back; it never sees codec state.
#include "core/error.h"
#include "core/quantizer.h"
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Gathers frames into blocks of 16-bit samples (through an owned 16-bit quantizer without
// dither, one state per channel) and encodes each full block.
class kySampleEncoder {
public:
    virtual ~kySampleEncoder();

    // Checks the codec's limits ("Invalid parameter" for a bit count it does not code,
    // "Unsupported channel format" for too many channels, "Out of memory"), makes the
    // quantizer and resets every channel's state. May be called again to restart.
    kyError start(uint32_t bits, uint32_t channels);

    // Frames of one full block and its size in bytes, all channels together.
    uint32_t framesPerBlock() const { return m_framesPerBlock; }
    uint32_t bytesPerBlock() const { return m_bytesPerBlock; }
    uint32_t channels() const { return m_channels; }
    uint32_t bits() const { return m_bits; }

    // Encodes `frames` frames of planes[c][firstFrame...]; every block this completes is
    // appended to `out`. "Invalid parameter" before start().
    kyError encode(const float* const* planes, uint32_t firstFrame, uint32_t frames,
                   std::vector<uint8_t>& out);
    // Same, from 16-bit samples already quantized (one pointer per channel).
    kyError encode16(const int16_t* const* samples, uint32_t firstFrame, uint32_t frames,
                     std::vector<uint8_t>& out);

    // Encodes the partial last block the way the layout pads it and appends it to `out`;
    // nothing when no frames are pending. The encoder stays started, with fresh state.
    kyError flush(std::vector<uint8_t>& out);

protected:
    // Limits check and geometry: set m_framesPerBlock and m_bytesPerBlock, return an error
    // for parameters the codec refuses.
    virtual kyError configure(uint32_t bits, uint32_t channels) = 0;
    // Forgets the per-channel state (start, and after a flush).
    virtual void reset() = 0;
    // Encodes one full block from m_block (m_channels planes of m_framesPerBlock samples).
    virtual void encodeBlock(uint8_t* out) = 0;
    // Encodes the `frames` pending frames (fewer than a block) and appends the result;
    // the planes of m_block are writable for padding.
    virtual void encodeLast(uint32_t frames, std::vector<uint8_t>& out) = 0;

    // Planar 16-bit input block: m_block[ch * m_framesPerBlock + i].
    int16_t* blockPlane(uint32_t ch) { return m_block.data() + size_t(ch) * m_framesPerBlock; }

    uint32_t m_bits = 0;
    uint32_t m_channels = 0;
    uint32_t m_framesPerBlock = 0;
    uint32_t m_bytesPerBlock = 0;

private:
    template <typename Get> kyError gather(uint32_t frames, std::vector<uint8_t>& out, Get get);

    std::unique_ptr<kyQuantizer> m_quantizer;
    std::vector<int16_t> m_block;
    uint32_t m_fill = 0;
    bool m_started = false;
};

// Decodes one block at a time into float planes (-1..+1, 16-bit steps of 1/32768).
class kySampleDecoder {
public:
    virtual ~kySampleDecoder();

    // `blockAlign` is the block size the container states (0: the layout's own). Same
    // errors as the encoder's start, and "Invalid parameter" for a block size the layout
    // cannot have.
    virtual kyError start(uint32_t bits, uint32_t channels, uint32_t blockAlign = 0) = 0;

    uint32_t framesPerBlock() const { return m_framesPerBlock; }
    uint32_t bytesPerBlock() const { return m_bytesPerBlock; }
    uint32_t channels() const { return m_channels; }

    // Most frames that `bytes` bytes can decode to: the room the planes need.
    virtual uint32_t maxFrames(size_t bytes) const = 0;

    // Decodes one block (a shorter last block too) to planes[c][firstFrame...], setting
    // *frames. A block too short for its header or with a header the codec does not know
    // gives no frames (success): one bad block must not end the stream. "Wrong call
    // sequence" before start().
    kyError decode(const uint8_t* data, size_t bytes, float* const* planes, uint32_t firstFrame,
                   uint32_t* frames);

protected:
    // Decodes `data` (non-null, `frames` = maxFrames(bytes) > 0) and returns the frames
    // written, 0 for a block it refuses.
    virtual uint32_t decodeBlock(const uint8_t* data, size_t bytes, uint32_t frames,
                                 float* const* planes, uint32_t firstFrame) = 0;

    uint32_t m_channels = 0;
    uint32_t m_framesPerBlock = 0;
    uint32_t m_bytesPerBlock = 0;
};

constexpr float kySample16Scale = 1.0f / 32768.0f;
