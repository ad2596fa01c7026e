#pragma once
// The MPEG layer II encoder: the configuration a subformat text stands for ("CBR 256
// kbit/s"), kept apart from any container so that the MP2 and WAV/BWF writers make the
// same choices, and the encoder itself (libtwolame, loaded at run time).
#include "core/error.h"
#include <cstdint>
#include <string>
#include <vector>

struct kyMp2Config {
    uint32_t outputRate = 44100; // the encoder's rate; a resampler makes up any difference
    uint32_t channels = 2;       // 1 or 2
    uint32_t bitRate = 128;      // kbit/s
    bool mpeg2 = false;          // the lower sampling frequencies
};

// The configuration for a subformat text without any "MP2 " prefix, the input rate and
// the channel count (above 2 counts as 2). The bit rate is one the layer allows for the
// channel mode: mono at most 192 kbit/s, stereo not at 32, 48, 56 or 80 kbit/s at the full
// sampling frequencies.
kyMp2Config kyConfigureMp2(const std::string& text, uint32_t inputRate, uint32_t channels);

class kyMp2Encoder {
public:
    kyMp2Encoder() = default;
    kyMp2Encoder(const kyMp2Encoder&) = delete;
    kyMp2Encoder& operator=(const kyMp2Encoder&) = delete;
    ~kyMp2Encoder();

    // Whether libtwolame could be loaded, and its version ("" when not).
    static bool available();
    static std::string libraryVersion();

    // "Missing required component" without the library, "Unsupported data format" when
    // the encoder refuses the parameters.
    kyError start(const kyMp2Config& config);
    // Encodes `frames` frames of planes[c][first...] and appends the bytes to `out`.
    kyError encode(const float* const* planes, uint32_t first, uint32_t frames,
                   std::vector<uint8_t>& out);
    // Encodes what is held (padded to a whole frame) and appends the last bytes.
    kyError flush(std::vector<uint8_t>& out);

    const kyMp2Config& config() const { return m_config; }

private:
    void close();
    void* m_twolame = nullptr;
    kyMp2Config m_config;
    std::vector<uint8_t> m_buffer;
};
