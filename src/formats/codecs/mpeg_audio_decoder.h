#pragma once
// kyMpegAudioDecoder: MPEG audio layers I, II and III, decoded by libmpg123 (loaded at run
// time) from bytes handed over in memory. A stream with a LAME header loses the encoder's
// delay and padding, so it decodes to exactly the samples that were encoded.
#include "formats/codecs/stream_decoder.h"
#include <string>
#include <vector>

struct mpg123_handle_struct;

class kyMpegAudioDecoder : public kyStreamDecoder {
public:
    kyMpegAudioDecoder() = default;
    kyMpegAudioDecoder(const kyMpegAudioDecoder&) = delete;
    kyMpegAudioDecoder& operator=(const kyMpegAudioDecoder&) = delete;
    ~kyMpegAudioDecoder() override;

    // Whether libmpg123 could be loaded and initialised ("libmpg123" then, "" when not).
    static bool available();
    static std::string libraryVersion() { return available() ? "libmpg123" : ""; }

    kyError start(uint32_t channels) override;
    kyError feed(const void* data, size_t size) override;
    kyError read(float* const* planes, uint32_t capacity, uint32_t& frames) override;

private:
    mpg123_handle_struct* m_handle = nullptr;
    std::vector<float> m_interleaved;
};
