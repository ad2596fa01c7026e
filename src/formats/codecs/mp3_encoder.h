#pragma once
// The MPEG layer III encoder: the configuration a subformat text stands for ("CBR 128
// kbit/s", "ABR 224 kbit/s", "VBR Quality 2"), kept apart from any container so that the
// MP3, WAV and MPEG-4 writers make the same choices, and the encoder itself (libmp3lame,
// loaded at run time).
#include "core/error.h"
#include <cstdint>
#include <string>
#include <vector>

enum class kyMp3Mode { Cbr, Abr, Vbr };

struct kyMp3Config {
    uint32_t outputRate = 44100; // the encoder's rate; a resampler makes up any difference
    uint32_t channels = 2;       // 1 or 2
    kyMp3Mode mode = kyMp3Mode::Cbr;
    uint32_t bitRate = 128;                  // kbit/s: the constant or average rate (CBR, ABR)
    uint32_t quality = 5;                    // VBR quality, 0 (highest) to 9 (lowest)
    bool mpeg2 = false;                      // the lower sampling frequencies (MPEG-2 and 2.5)
    uint32_t minBitRate = 0, maxBitRate = 0; // kbit/s
};

// The configuration for a subformat text without any "MP3 " prefix, the input rate and the
// channel count (above 2 counts as 2).
kyMp3Config kyConfigureMp3(const std::string& text, uint32_t inputRate, uint32_t channels);

class kyMp3Encoder {
public:
    kyMp3Encoder() = default;
    kyMp3Encoder(const kyMp3Encoder&) = delete;
    kyMp3Encoder& operator=(const kyMp3Encoder&) = delete;
    ~kyMp3Encoder();

    // Whether libmp3lame could be loaded, and its version ("" when not).
    static bool available();
    static std::string libraryVersion();

    // Sets the encoder up. With `vbrHeader` the stream starts with a placeholder frame that
    // vbrHeaderFrame() later fills in. "Missing required component" without the library,
    // "Unsupported data format" when the encoder refuses the parameters.
    kyError start(const kyMp3Config& config, bool vbrHeader);
    // Encodes `frames` frames of planes[c][first...] and appends the bytes to `out`.
    kyError encode(const float* const* planes, uint32_t first, uint32_t frames,
                   std::vector<uint8_t>& out);
    // Encodes what is held and appends the last bytes.
    kyError flush(std::vector<uint8_t>& out);
    // After flush: the finished VBR header frame, to be written over the stream's first
    // frame. Empty when the stream has none.
    std::vector<uint8_t> vbrHeaderFrame();

    const kyMp3Config& config() const { return m_config; }
    // After start: the frames of silence a decoder gives before the first real one (the
    // encoder's delay and the decoder's 529).
    uint32_t delay() const;

private:
    void close();
    void* m_lame = nullptr;
    kyMp3Config m_config;
    uint32_t m_channels = 0;
    std::vector<uint8_t> m_buffer;
};
