#include "job/processing_stages.h"
#include "core/filter.h"
#include "filters/resampling_filter.h"
#include "filters/silence_removal_filter.h"
#include "filters/trim_filter.h"
#include <algorithm>
#include <bit>
#include <cmath>

namespace {
// Leading silence: no channel above this magnitude (the float with bits 0x39000100),
// for at least 8 frames.
const float kSilenceThreshold = std::bit_cast<float>(0x39000100u);
constexpr int32_t kSilenceMinimumRun = 8;
} // namespace

uint32_t kyInsertProcessingStages(kySourceFilter& source, kySinkFilter& writer,
                                  const RipSettings& settings, uint32_t sourceRate) {
    uint32_t rate = sourceRate;
    if (settings.bResample && settings.dwNewSampleRate != sourceRate &&
        settings.dwNewSampleRate != 0) {
        rate = settings.dwNewSampleRate;
        source.InsertAfter(new kyResamplingFilter(
            rate, static_cast<uint32_t>(std::max(0, settings.eResamplingAlg))));
    }
    if (settings.bRemoveSilence)
        source.InsertAfter(new kySilenceRemovalFilter(kSilenceThreshold, kSilenceMinimumRun, true));
    if (settings.bCutOff) {
        double cut = std::trunc(std::max(0, settings.iCutOffLength) * double(rate) + 0.5);
        uint32_t cutFrames = cut >= double(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(cut);
        uint32_t fade =
            settings.bCutOffFade ? static_cast<uint32_t>(std::floor(rate * 0.25 + 0.5)) : 0;
        writer.InsertBefore(new kyTrimFilter(0, cutFrames, fade));
    }
    return rate;
}
