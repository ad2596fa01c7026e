#pragma once
// The AAC encoder: the configuration (MPEG version, object type, VBR quality or average
// bit rate, rate, channels), kept apart from any container so that the AAC (ADTS) and
// MPEG-4 writers make the same choices, and the encoder itself: FFmpeg's own AAC encoder
// (libavcodec and libavutil, loaded at run time). It hands out raw AAC frames; the
// container adds ADTS headers or keeps them in its own boxes.
//
// The settings are those of the classic FAAC encoder, mapped onto FFmpeg's:
//  - object type: Main is FFmpeg's "aac_main" profile, Low Complexity "aac_low"; MPEG-2
//    Low Complexity is "mpeg2_aac_low" (no perceptual noise substitution, a tool MPEG-2
//    lacks), and MPEG-2 Main turns that tool off by hand;
//  - average bit rate: FAAC counts it per channel, FFmpeg for the whole stream, so the
//    per-channel rate is multiplied by the channel count;
//  - VBR quality: FAAC's quality in percent (100 its default) is FFmpeg's fixed-quality
//    scale (-q:a) divided by 100, so "VBR Quality 100" is "-q:a 1".
#include "core/error.h"
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct kyAacConfig {
    bool mpeg2 = false;      // MPEG-2 AAC rather than MPEG-4
    uint32_t objectType = 2; // 1 Main, 2 Low Complexity
    uint32_t quality = 0;    // VBR quality in percent; 0 for an average bit rate
    uint32_t bitRate = 128;  // kbit/s, all channels together (average bit rate)
    uint32_t outputRate = 44100;
    uint32_t channels = 2;
};

// The configuration for the given settings and input. `bitRate` is the total asked for in
// kbit/s (0: 64 per channel); it is fitted per channel to what the rate allows.
kyAacConfig kyConfigureAac(bool mpeg2, uint32_t objectType, uint32_t quality, uint32_t bitRate,
                           uint32_t inputRate, uint32_t channels);

// The ADTS channel configuration for a channel count (0 when ADTS has none for it).
uint32_t kyAacChannelConfig(uint32_t channels);

class kyAacEncoder {
public:
    // Receives one raw AAC frame.
    using PacketFn = std::function<kyError(const uint8_t* data, size_t size)>;

    kyAacEncoder();
    kyAacEncoder(const kyAacEncoder&) = delete;
    kyAacEncoder& operator=(const kyAacEncoder&) = delete;
    ~kyAacEncoder();

    // Whether FFmpeg's AAC encoder could be loaded, and the library's version.
    static bool available();
    static std::string libraryVersion();

    // "Missing required component" without the libraries, "Unsupported channel format"
    // for a channel count the encoder has no layout for, "Unsupported data format" when
    // it refuses the parameters.
    kyError start(const kyAacConfig& config);
    // Encodes `frames` frames of planes[c][first...]; each finished frame goes to `fn`.
    kyError encode(const float* const* planes, uint32_t first, uint32_t frames, const PacketFn& fn);
    // Encodes what is held and hands out the last frames.
    kyError flush(const PacketFn& fn);

    // The audio specific configuration (for MPEG-4 containers), valid after start.
    const std::vector<uint8_t>& audioSpecificConfig() const { return m_asc; }
    // Frames of one AAC frame (1024) and the encoder's delay in frames.
    uint32_t frameLength() const { return m_frameLength; }
    uint32_t delay() const { return m_delay; }
    const kyAacConfig& config() const { return m_config; }

private:
    struct State;
    kyError sendHeld(const PacketFn& fn);
    kyError drain(const PacketFn& fn);
    std::unique_ptr<State> m_state;
    kyAacConfig m_config;
    std::vector<uint8_t> m_asc;
    uint32_t m_frameLength = 1024;
    uint32_t m_delay = 0;
};
