#pragma once
// Album gain: the histograms of every track's ReplayGain analysis summed, and the same
// 95th-percentile statistic taken over the whole album.
#include "filters/replaygain_analyzer.h"
#include <memory>

class kyReplayGainAlbumAnalyzer {
public:
    kyReplayGainAlbumAnalyzer() = default;
    virtual ~kyReplayGainAlbumAnalyzer() = default;

    // Allocates and clears the summed histogram; "Out of memory" when it cannot be had.
    kyError init();
    // Adds one finished track analysis. The first track sets the variant and target; a
    // track analyzed otherwise is added all the same, as the tracks of one album always
    // share them. "Invalid parameter" when `track` is not a ReplayGain analyzer,
    // "Invalid operation sequence" before init.
    kyError add(const kyGainAnalyzer* track);
    // Album gain in dB from the tracks added so far; without any track it stays 0.
    void compute();
    float gain() const { return m_gain; }
    uint32_t tracksAdded() const { return m_tracks; }

private:
    float m_gain = 0.0f;
    float m_targetOffset = 0.0f;
    bool m_iso = false;
    uint32_t m_tracks = 0;
    std::unique_ptr<std::array<uint32_t, kyReplayGainAnalyzer::kBins>> m_histogram;
};
