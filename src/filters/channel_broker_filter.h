#pragma once
// kyChannelBrokerFilter ("Channel broker morph"): turns the upstream channel layout into a
// requested channel count. Stereo to mono averages the first two channels, mono to stereo
// duplicates the one channel, and other counts route, silence or mix channels by a small
// map built from the upstream format at Prepare.
//
// The map is classified once per Prepare:
//  - identity (same count, output i = input i): blocks pass untouched;
//  - routing (no output mixes two inputs): outputs point at input planes or at a zeroed
//    plane, nothing is copied;
//  - mixing: outputs are built in a buffer of their own.
#include "core/filter.h"
#include "core/sample_block.h"
#include <cstdint>
#include <vector>

class kyChannelBrokerFilter : public kyMorphFilter {
public:
    explicit kyChannelBrokerFilter(uint32_t targetChannels);

    // Source side.
    kyError GetFormat(kyAudioFormat& format) override;
    kyError Prepare() override;
    // Offered only when the map is the identity for `channels` channels.
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // Sink side.
    kyError Write(float** planes, uint32_t frames) override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

    // For each output channel the first and second input channel: -1 none, -2 not yet
    // assigned. Valid after Prepare or GetInterleavedFormat.
    struct Route {
        int32_t first = -2;
        int32_t second = -1;
    };
    enum class Mode { None, Identity, Routing, Mixing };

    uint32_t targetChannels() const { return m_targetChannels; }
    const std::vector<Route>& channelMap() const { return m_map; }
    Mode mode() const { return m_mode; }

private:
    kyError buildMap(const kyAudioFormat& upstream);
    uint32_t computeTargetMask(const kyAudioFormat& upstream) const;

    uint32_t m_targetChannels;
    uint32_t m_targetMask = 0;
    uint32_t m_sourceChannels = 0;
    uint32_t m_capacity = 0; // frames of the mix buffer and the silence plane
    Mode m_mode = Mode::None;
    bool m_interleaved = false; // GetInterleavedFormat handed over a format
    std::vector<Route> m_map;
    kyPlaneBuffer m_mix;
    std::vector<float*> m_routing; // target channels + null terminator
    std::vector<float> m_silence;
};
