#pragma once
// The interleaved data formats the normalize and peak-levels filters take from their
// source unchanged, and the decoding that turns such blocks into float planes for
// measuring and replaying: raw PCM, float and G.711 are converted, MPEG audio is decoded.
// AAC is accepted by name but has no decoder here ("Unsupported compression type").
#include "core/error.h"
#include "core/sample_block.h"
#include "formats/codecs/stream_decoder.h"
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Whether `id` is one of the accepted formats; `bytesPerSample` is its fixed sample size,
// 0 for a compressed (variable) one.
bool kyAcceptedInterleavedFormat(const char* id, uint32_t& bytesPerSample);

class kySourceFilter;

// What a filter that takes these formats offers downstream: `upstream`'s interleaved
// format for `channels` when it is accepted, kept in `offered` (cleared otherwise); null
// when there is none.
const char* kyOfferAcceptedFormat(kySourceFilter* upstream, uint32_t channels,
                                  std::string& offered);

class kyInterleavedDecoder {
public:
    // Receives each planar block; a failure stops the decoding and is returned.
    using BlockFn = std::function<kyError(float** planes, uint32_t frames)>;

    // For blocks of data format `id` with `channels` channels, handed out in planar blocks
    // of at most `blockFrames`. "Unsupported data format" for an id not accepted, "Missing
    // required component" when the decoding library is not there.
    kyError start(const char* id, uint32_t channels, uint32_t blockFrames);
    // Converts or decodes one block of `frames` frames (compressed data may give more or
    // fewer frames than it claims; what the decoder delivers counts).
    kyError decode(const void* bytes, uint32_t byteCount, uint32_t frames, const BlockFn& fn);
    // A decoder-configuration record (AAC's audio specific configuration): the frames that
    // follow are raw. "Unsupported compression type" for a format that takes none.
    kyError configure(const void* bytes, uint32_t byteCount);

    const std::string& id() const { return m_id; }
    uint32_t bytesPerSample() const { return m_bytesPerSample; }
    // Bytes of one frame for raw formats, 0 for compressed ones.
    uint32_t frameBytes() const { return m_bytesPerSample * m_channels; }
    bool compressed() const { return m_bytesPerSample == 0; }

private:
    std::string m_id;
    uint32_t m_channels = 0;
    uint32_t m_bytesPerSample = 0;
    kyPlaneBuffer m_planes;
    std::unique_ptr<kyStreamDecoder> m_stream;
};
