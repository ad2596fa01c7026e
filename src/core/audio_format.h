#pragma once
// The stream description every source answers with.
#include <cstdint>

constexpr uint32_t KY_NO_LENGTH = 0x7FFFFFFF; // lengthFrames of an unbounded stream

struct kyAudioFormat {
    uint32_t lengthFrames = 0;
    uint32_t channels = 0;
    uint32_t channelMask = 0;
    uint32_t sampleRate = 0;
    uint32_t blockFrames = 0;
    bool operator==(const kyAudioFormat&) const = default;
};

// Speaker mask used whenever a producer left the mask at 0.
uint32_t kyDefaultChannelMask(uint32_t channels);
