#pragma once
// ReplayGain loudness of one track: an equal-loudness weighting filter, the mean square of
// every 50 ms window in a histogram of 0.01 dB steps, and the 95th percentile of those
// levels as the track's loudness. The standard variant weights with the reference
// Yule-Walker and Butterworth filters; the ISO 226:2003 variant with a 255-tap
// linear-phase FIR designed at init from the 75-phon equal-loudness contour.
#include "filters/gain_analyzer.h"
#include <array>
#include <cstdint>
#include <vector>

class kyReplayGainAnalyzer : public kyGainAnalyzer {
public:
    static constexpr uint32_t kMaxChannels = 16;
    // Bin i holds windows whose level is i/100 - 120 dB relative to full scale.
    static constexpr uint32_t kBins = 12001;
    static constexpr uint32_t kFirTaps = 255;

    // `targetDb` is the wanted loudness on the ReplayGain scale (89 dB SPL is the
    // reference level: a track already at it gets 0 dB).
    kyReplayGainAnalyzer(bool isoVariant, float targetDb);

    // "Invalid parameter" for more than 16 channels (or none, or rate 0); "Out of memory"
    // when the window buffers or the filter design cannot be had.
    kyError init(uint32_t sampleRate, uint32_t channels, uint32_t channelMask) override;
    void process(float* const* planes, uint32_t frames) override;
    void finish() override;
    float gain() const override { return m_gain; }

    bool isoVariant() const { return m_iso; }
    float targetOffset() const { return m_targetOffset; }
    const std::array<uint32_t, kBins>& histogram() const { return m_histogram; }
    uint32_t windowFrames() const { return m_window; }
    uint32_t rateIndex() const { return m_rateIndex; }
    // The 255 taps of the ISO variant's weighting filter (empty before init).
    const std::vector<float>& firCoefficients() const { return m_fir; }

    // The rates the weighting filters are made for, highest first.
    static constexpr std::array<uint32_t, 12> kRates = {96000, 88200, 64000, 48000, 44100, 32000,
                                                        24000, 22050, 16000, 12000, 11025, 8000};
    // Index into kRates of the nearest rate (ties go to the higher one).
    static uint32_t rateIndexFor(uint32_t sampleRate);

private:
    void filterWindow();
    void countWindow(double sumOfSquares);
    void appendFrames(float* const* planes, uint32_t nplanes, uint32_t offset, uint32_t frames);
    void appendDecimated(float* const* planes, uint32_t nplanes, uint32_t frames);

    bool m_iso;
    float m_targetOffset;
    float m_gain = 0.0f;
    uint32_t m_channels = 0;
    uint32_t m_window = 0;
    uint32_t m_fill = 0;
    uint32_t m_rateIndex = 0;
    uint32_t m_history = 0;  // samples kept before each window
    bool m_decimate = false; // standard variant above 48 kHz: weights at half the rate
    bool m_ready = false;
    std::array<uint32_t, kBins> m_histogram{};
    // Per channel, each holding m_history + m_window samples.
    std::vector<float> m_in, m_mid, m_out;
    std::vector<float> m_fir;
    // Decimation by two: a half-band low-pass, its delay line per channel (a ring stored
    // twice in a row), the ring position and which input of a pair comes next.
    static constexpr uint32_t kHalfBandTaps = 95;
    std::vector<float> m_halfBandLine;
    uint32_t m_halfBandPos = 0;
    bool m_halfBandOdd = false;
};

// The loudness (dB relative to full scale) that 95 % of the counted windows stay below:
// the statistic both the track and the album gain are taken from. 0 for an empty histogram.
float kyReplayGainStatistic(const std::array<uint32_t, kyReplayGainAnalyzer::kBins>& bins);
