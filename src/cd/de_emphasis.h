#pragma once
// Undoes the 50/15 us pre-emphasis some CDs are mastered with: a first-order shelving
// filter with unity gain at DC, one state per channel, kept across blocks so that a track
// split into sectors sounds the same as the whole.
#include <cstdint>

class kyDeEmphasis {
public:
    static constexpr uint32_t kMaxChannels = 2;

    // Forgets the previous input and output of every channel.
    void Reset();
    // Filters `frames` samples of one channel in place.
    void Process(uint32_t channel, float* samples, uint32_t frames);

private:
    float m_prevIn[kMaxChannels] = {};
    float m_prevOut[kMaxChannels] = {};
};
