#include "job/processing_stages.h"
#include "core/filter.h"
#include "filters/replaygain_album_analyzer.h"
#include "filters/resampling_filter.h"
#include "filters/silence_removal_filter.h"
#include "filters/trim_filter.h"
#include "formats/writer_filter.h"
#include <algorithm>
#include <bit>
#include <cmath>

namespace {
// Leading silence: no channel above this magnitude (the float with bits 0x39000100),
// for at least 8 frames.
const float kSilenceThreshold = std::bit_cast<float>(0x39000100u);
constexpr int32_t kSilenceMinimumRun = 8;
} // namespace

kyNormalizeSettings kyNormalizeSettingsOf(const RipSettings& settings) {
    kyNormalizeSettings n;
    n.type = settings.eNormalizeType;
    n.storeMeta = settings.bNormalizeMeta ? 1 : 0;
    n.target = settings.fNormalizeTarget;
    n.targetIsDb = settings.bNormalizeUnitDB ? 1 : 0;
    n.truePeak = 0;
    n.removeDc = 0;
    n.clampOutput = 1;
    n.neverClip = settings.bNormalizeNeverClip ? 1 : 0;
    n.clipLimit = 1.0f;
    return n;
}

bool kyAlbumNormalization(const RipSettings& settings) {
    return settings.bNormalize && settings.bNormalizeAlbum &&
           (settings.eNormalizeType == KYNORM_REPLAYGAIN ||
            settings.eNormalizeType == KYNORM_REPLAYGAIN_ISO);
}

kyError kyInsertProcessingStages(kySourceFilter& source, kySinkFilter& writer,
                                 const RipSettings& settings, uint32_t sourceRate,
                                 kyProcessingStages& stages) {
    stages = kyProcessingStages{};
    // Everything is checked before anything is inserted.
    uint32_t rate = sourceRate;
    const bool resample = settings.bResample && settings.dwNewSampleRate != sourceRate;
    if (resample) {
        if (settings.dwNewSampleRate < kyMinOutputRate ||
            settings.dwNewSampleRate > kyMaxOutputRate)
            return KYERR_INVALID_PARAMETER;
        rate = settings.dwNewSampleRate;
    }
    uint32_t cutFrames = 0, fade = 0;
    if (settings.bCutOff) {
        if (settings.iCutOffLength <= 0) return KYERR_INVALID_PARAMETER;
        fade = settings.bCutOffFade ? static_cast<uint32_t>(std::floor(rate * 0.25 + 0.5)) : 0;
        // A cut no stream can reach (cut and fade beyond a 32-bit length) keeps everything
        // up to where such a cut would be; the sum must not wrap.
        const uint64_t cut = uint64_t(settings.iCutOffLength) * rate;
        const uint64_t room = uint64_t(KY_NO_LENGTH) - 1 - fade;
        cutFrames = static_cast<uint32_t>(std::min(cut, room));
    }
    if (resample)
        source.InsertAfter(new kyResamplingFilter(
            rate, static_cast<uint32_t>(std::max(0, settings.eResamplingAlg))));
    if (settings.bRemoveSilence)
        source.InsertAfter(new kySilenceRemovalFilter(kSilenceThreshold, kSilenceMinimumRun, true));
    if (settings.bCutOff) writer.InsertBefore(new kyTrimFilter(0, cutFrames, fade));
    if (settings.bNormalize) {
        stages.normalize = new kyNormalizeFilter(kyNormalizeSettingsOf(settings));
        writer.InsertBefore(stages.normalize);
    }
    stages.rate = rate;
    return KY_OK;
}

kyError kyRunNormalizeAnalysis(kyNormalizeFilter& normalize, kyMorphFilter& progress,
                               kySinkFilter& writer) {
    kyError e = normalize.Analyze();
    if (kyFailed(e)) return e;
    progress.Remove();
    writer.InsertBefore(&progress);
    return KY_OK;
}

kyError kyAlbumGain(std::vector<kyGainAnalyzer*>& analyzers, float& gainDb) {
    kyReplayGainAlbumAnalyzer album;
    kyError e = album.init();
    for (size_t i = analyzers.size(); i-- > 0;) {
        if (!analyzers[i]) continue;
        if (kySucceeded(e)) e = album.add(analyzers[i]);
        analyzers[i]->Release();
    }
    analyzers.clear();
    if (kyFailed(e)) return e;
    album.compute();
    gainDb = album.gain();
    return KY_OK;
}

void kyApplyWriterSettings(kyWriterFilter& writer, const RipSettings& s) {
    kyTagOptions tags;
    tags.mp3 = {s.bMp3Id3v2, s.bMp3Id3v1, s.bMp3Ape};
    tags.mp2 = {s.bMp2Id3v2, s.bMp2Id3v1, false};
    tags.aac = {s.bAacId3v2, s.bAacId3v1, s.bAacApe};
    writer.SetTagOptions(tags);
    writer.SetCompressionLevel(s.iCompressionLevel);
}
