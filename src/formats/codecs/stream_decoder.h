#pragma once
// kyStreamDecoder: a decoder of a compressed bit stream handed over in memory piece by
// piece, giving planar float blocks of a fixed channel count. The MPEG audio and AAC
// decoders share it, so readers and filters that decode either hold one of these.
#include "core/error.h"
#include <cstddef>
#include <cstdint>

class kyStreamDecoder {
public:
    virtual ~kyStreamDecoder() = default;

    // Starts afresh for blocks of `channels` channels: a mono stream is copied to every
    // channel, a stream's last channel to the channels beyond its own. "Missing required
    // component" when the decoding library cannot be loaded, "Out of memory".
    virtual kyError start(uint32_t channels) = 0;
    // A decoder-configuration record that comes before the stream (AAC's audio specific
    // configuration for raw frames). "Unsupported compression type" for a decoder that
    // takes none, "The file is not valid" for one it cannot use.
    virtual kyError configure(const void* data, size_t size) { return KYERR_COMPRESSION; }
    // Appends bytes of the bit stream.
    virtual kyError feed(const void* data, size_t size) = 0;
    // No bytes will follow: what is held is decoded by the reads that follow.
    virtual void endOfInput() {}
    // Decodes the next block into `planes` (at most `capacity` frames): `frames` is 0 when
    // the decoder needs more bytes. KY_NOTHING_DONE when the stream cannot go on.
    virtual kyError read(float* const* planes, uint32_t capacity, uint32_t& frames) = 0;

    // The stream's rate and channel count once a block was decoded (0 before).
    uint32_t sampleRate() const { return m_rate; }
    uint32_t streamChannels() const { return m_streamChannels; }

protected:
    // Spreads `frames` interleaved frames of `from` channels over m_channels planes.
    void spread(const float* interleaved, uint32_t from, uint32_t frames,
                float* const* planes) const;

    uint32_t m_channels = 0;
    uint32_t m_rate = 0;
    uint32_t m_streamChannels = 0;
};
