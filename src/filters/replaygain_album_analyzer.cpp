#include "filters/replaygain_album_analyzer.h"
#include <new>

kyError kyReplayGainAlbumAnalyzer::init() {
    m_histogram.reset(new (std::nothrow) std::array<uint32_t, kyReplayGainAnalyzer::kBins>);
    if (!m_histogram) return KYERR_OUT_OF_MEMORY;
    m_histogram->fill(0);
    m_tracks = 0;
    m_gain = 0.0f;
    return KY_OK;
}

kyError kyReplayGainAlbumAnalyzer::add(const kyGainAnalyzer* track) {
    if (!m_histogram) return KYERR_SEQUENCE;
    const auto* rg = dynamic_cast<const kyReplayGainAnalyzer*>(track);
    if (!rg) return KYERR_INVALID_PARAMETER;
    if (m_tracks == 0) {
        m_iso = rg->isoVariant();
        m_targetOffset = rg->targetOffset();
    }
    const auto& bins = rg->histogram();
    for (uint32_t i = 0; i < kyReplayGainAnalyzer::kBins; ++i) {
        // Saturate rather than wrap: a count near 2^32 windows is years of audio, but a
        // wrapped bin would move the percentile.
        const uint64_t s = uint64_t((*m_histogram)[i]) + bins[i];
        (*m_histogram)[i] = s > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(s);
    }
    ++m_tracks;
    return KY_OK;
}

void kyReplayGainAlbumAnalyzer::compute() {
    if (m_histogram && m_tracks > 0) m_gain = m_targetOffset - kyReplayGainStatistic(*m_histogram);
}
