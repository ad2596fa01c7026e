#pragma once
// The processing stages a rip or a conversion puts between its source and its writer, and
// the normalisation's two passes around the writer's run.
#include "app/rip_settings.h"
#include "core/error.h"
#include "filters/normalize_filter.h"
#include <cstdint>
#include <vector>

class kySourceFilter;
class kySinkFilter;
class kyMorphFilter;
class kyGainAnalyzer;
class kyWriterFilter;

// The output sample rates the resampling stage accepts.
constexpr uint32_t kyMinOutputRate = 1000;
constexpr uint32_t kyMaxOutputRate = 384000;

struct kyProcessingStages {
    uint32_t rate = 0;                      // the sample rate the writer receives
    kyNormalizeFilter* normalize = nullptr; // owned by the chain, when normalisation is on
};

// With `source` already connected to `writer` (and any channel broker in between), inserts
// what the settings ask for, one stage at a time directly below the source or directly
// above the writer, giving
//   source → silence removal → resampler → channel broker → trim → normalize → writer.
// The progress filter, inserted below the source afterwards, comes first. "Invalid
// parameter" (and nothing inserted) for a new sample rate outside kyMinOutputRate to
// kyMaxOutputRate or a cut-off length that is not a positive number of seconds.
kyError kyInsertProcessingStages(kySourceFilter& source, kySinkFilter& writer,
                                 const RipSettings& settings, uint32_t sourceRate,
                                 kyProcessingStages& stages);

// The normalize filter's settings from the stored ones.
kyNormalizeSettings kyNormalizeSettingsOf(const RipSettings& settings);

// Hands the writer the options it takes from the settings: the tags of MP3, MP2 and AAC
// files, and the codec's compression level.
void kyApplyWriterSettings(kyWriterFilter& writer, const RipSettings& settings);

// Album normalisation is on: one gain for every file of the batch. It only means something
// for the ReplayGain types; peak and loudness normalisation stay per file.
bool kyAlbumNormalization(const RipSettings& settings);

// The album's gain in dB from the ReplayGain analyses of its files, fed from the last to
// the first. The caller hands over one reference per analyzer (null entries are passed
// over); all are released, and the vector is cleared.
kyError kyAlbumGain(std::vector<kyGainAnalyzer*>& analyzers, float& gainDb);

// The first pass of `normalize` (the stream is read through `progress`, which sits below
// the source), then `progress` moves to directly above `writer`, where it counts the
// second pass.
kyError kyRunNormalizeAnalysis(kyNormalizeFilter& normalize, kyMorphFilter& progress,
                               kySinkFilter& writer);
