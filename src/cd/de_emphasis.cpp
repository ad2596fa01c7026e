#include "cd/de_emphasis.h"

namespace {
// y[n] = b0 x[n] + b1 x[n-1] + a1 y[n-1]; (b0 + b1) / (1 - a1) = 1, so DC passes unchanged.
constexpr double kB0 = 0.45995451989513153;
constexpr double kB1 = -0.08782333709141937;
constexpr double kA1 = 0.6278688171962878;
} // namespace

void kyDeEmphasis::Reset() {
    for (uint32_t ch = 0; ch < kMaxChannels; ++ch) {
        m_prevIn[ch] = 0.0f;
        m_prevOut[ch] = 0.0f;
    }
}

void kyDeEmphasis::Process(uint32_t channel, float* samples, uint32_t frames) {
    if (channel >= kMaxChannels || !samples) return;
    float xPrev = m_prevIn[channel];
    float yPrev = m_prevOut[channel];
    for (uint32_t i = 0; i < frames; ++i) {
        const float x = samples[i];
        const float y = static_cast<float>(kB0 * x + kB1 * xPrev + kA1 * yPrev);
        samples[i] = y;
        xPrev = x;
        yPrev = y;
    }
    m_prevIn[channel] = xPrev;
    m_prevOut[channel] = yPrev;
}
