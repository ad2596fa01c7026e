#pragma once
// Loudness after ITU-R BS.1770: K-weighting per channel (a high shelf and a high-pass),
// channel weights from the speaker layout, mean square. Mode 2 adds the EBU R 128 gating:
// 400 ms blocks every 100 ms, an absolute gate at -70 LUFS and a relative gate 10 LU
// below the mean of the blocks that passed it.
#include "filters/gain_analyzer.h"
#include <array>
#include <cstdint>
#include <vector>

class kyITUBS1770Analyzer : public kyGainAnalyzer {
public:
    static constexpr uint32_t kMaxChannels = 16;

    // Modes: 0 high-pass only, ungated; 1 full K-weighting, ungated; 2 K-weighting with
    // gating. In mode 2 the target is relative to -23 LUFS (a target of 0 LU means
    // -23 LUFS); otherwise it is absolute.
    kyITUBS1770Analyzer(uint32_t mode, float targetDb);

    // A mask of 0 takes the default layout for the channel count; channels beyond 16 are
    // not measured. "Invalid parameter" for no channel or a rate too low for the weighting.
    kyError init(uint32_t sampleRate, uint32_t channels, uint32_t channelMask) override;
    void process(float* const* planes, uint32_t frames) override;
    void finish() override;
    float gain() const override { return m_gain; }

    // Loudness in LUFS of the last finish() that measured something.
    bool hasLoudness() const { return m_hasLoudness; }
    double loudness() const { return m_loudness; }
    float channelWeight(uint32_t channel) const {
        return channel < kMaxChannels ? static_cast<float>(m_ch[channel].weight) : 0.0f;
    }

private:
    struct Biquad {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    };
    struct Channel {
        Biquad shelf, highPass;
        double sx1 = 0, sx2 = 0, sy1 = 0, sy2 = 0; // shelf state
        double hy1 = 0, hy2 = 0;                   // high-pass state (input = shelf output)
        double weight = 1.0;
    };
    void accumulate(float* const* planes, uint32_t nplanes, uint32_t offset, uint32_t frames);
    void closeSubBlock();
    void storeBlock(double energy);

    uint32_t m_mode;
    float m_target;
    float m_gain = 0.0f;
    uint32_t m_channels = 0;
    double m_accumulator = 0.0;
    uint64_t m_frames = 0;
    uint32_t m_step = 0;
    uint32_t m_subBlocks = 0; // complete sub-blocks seen, counted up to 3
    std::array<double, 3> m_previous{};
    std::vector<double> m_blocks;
    bool m_ready = false;
    bool m_hasLoudness = false;
    double m_loudness = 0.0;
    std::array<Channel, kMaxChannels> m_ch{};
};
