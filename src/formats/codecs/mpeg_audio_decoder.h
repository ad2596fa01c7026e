#pragma once
// kyMpegAudioDecoder: MPEG audio layers I, II and III, decoded by libmpg123 from bytes
// handed over in memory, as planar float blocks of a fixed channel count.
#include "core/error.h"
#include <cstddef>
#include <cstdint>
#include <vector>

struct mpg123_handle_struct;

class kyMpegAudioDecoder {
public:
    kyMpegAudioDecoder() = default;
    kyMpegAudioDecoder(const kyMpegAudioDecoder&) = delete;
    kyMpegAudioDecoder& operator=(const kyMpegAudioDecoder&) = delete;
    ~kyMpegAudioDecoder();

    // Whether libmpg123 could be initialised.
    static bool available();

    // A fresh decoder whose blocks have `channels` channels: a mono stream is copied to
    // every channel, a stereo stream's second channel to the channels beyond it.
    // "Missing required component" when libmpg123 cannot start, "Out of memory".
    kyError start(uint32_t channels);
    // Appends bytes of the bit stream.
    kyError feed(const void* data, size_t size);
    // Decodes the next block into `planes` (at most `capacity` frames): `frames` is 0 when
    // the decoder needs more bytes. KY_NOTHING_DONE when the stream cannot go on.
    kyError read(float* const* planes, uint32_t capacity, uint32_t& frames);
    // Stream rate once a block was decoded (0 before).
    uint32_t sampleRate() const { return m_rate; }

private:
    mpg123_handle_struct* m_handle = nullptr;
    uint32_t m_channels = 0;
    uint32_t m_rate = 0;
    std::vector<float> m_interleaved;
};
