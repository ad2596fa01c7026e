#pragma once
// kyNormalizeFilter ("Normalization morph"): a two-pass volume normaliser.
//
// First pass (analysis, run by Prepare, by the first query that needs it, or explicitly
// with Analyze): the whole stream is pulled from upstream into a temporary file and
// measured: peak, RMS, ReplayGain loudness (kyReplayGainAnalyzer) or BS.1770 loudness
// (kyITUBS1770Analyzer). One gain follows from the measurement and the target. When
// upstream offers its stream interleaved in a format the filter knows (raw PCM, float,
// G.711, MPEG audio) the file keeps it in that form; otherwise it keeps float planes.
//
// Second pass (Process, or RunInterleaved): the file is replayed downstream, either
// multiplied by the gain ("Modify Audio") or untouched ("Store Meta data"); in the latter
// mode an interleaved stream reaches the writer exactly as the source delivered it. The
// writer learns the gains from the property slots 23 (track gain), 24 (album gain), 25
// (loudness) and 27 (peak).
//
// Types: 0 fixed gain (the target as a factor), 1 peak level, 2 RMS level, 3 RMS level
// without the DC part, 10 ReplayGain, 11 ReplayGain ISO 226:2003, 20 BS.1770 high-pass
// only, 21 BS.1770 K-weighted, 22 EBU R 128 (K-weighted and gated, target in LU relative
// to -23 LUFS).
//
// The temporary file has no name from the moment it exists: it goes with the filter, a
// cancelled batch or a crash, and its space is freed when the filter is destroyed.
#include "core/filter.h"
#include "core/property_table.h"
#include "core/sample_block.h"
#include "filters/gain_analyzer.h"
#include "filters/interleaved_decoder.h"
#include "platform/temp_file.h"
#include <cstdint>
#include <string>
#include <vector>

class kyReplayGainAnalyzer;
class kyITUBS1770Analyzer;

enum kyNormalizeType : uint32_t {
    KYNORM_FIXED = 0,
    KYNORM_PEAK = 1,
    KYNORM_RMS = 2,
    KYNORM_AC_RMS = 3,
    KYNORM_REPLAYGAIN = 10,
    KYNORM_REPLAYGAIN_ISO = 11,
    KYNORM_BS1770_HIGHPASS = 20,
    KYNORM_BS1770 = 21,
    KYNORM_EBU_R128 = 22,
};

// The settings a normalize filter is made with.
struct kyNormalizeSettings {
    uint32_t type = KYNORM_REPLAYGAIN_ISO;
    uint32_t storeMeta = 1; // 1: "Store Meta data", 0: "Modify Audio"
    float target = 89.0f;   // in the unit below
    uint8_t targetIsDb = 1; // dBFS, dB(SPL) or LU; 0: a linear factor
    uint8_t truePeak = 0;   // not offered: refused
    uint8_t removeDc = 0;
    uint8_t clampOutput = 1;
    uint8_t neverClip = 1; // never raise the peak above the clip limit
    float clipLimit = 1.0f;
};

class kyNormalizeFilter : public kyMorphFilter {
public:
    explicit kyNormalizeFilter(const kyNormalizeSettings& settings);
    ~kyNormalizeFilter() override;

    // Source side.
    kyError Prepare() override;
    kyError Process() override;
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;
    const char* GetPropertyA(uint32_t slot) override;
    const char* GetPropertyUtf8(uint32_t slot) override;
    const char16_t* GetPropertyW(uint32_t slot) override;

    // Sink side (the first pass).
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

    // The first pass; a second call is a no-op once it succeeded (unless the type's
    // analyzer went missing). "Couldn't create file" when the temporary file could not be
    // made, "Couldn't write to file" when it could not hold the stream, "Invalid parameter"
    // for an unknown type or a target that gives no usable gain; upstream failures
    // (including "Operation cancelled") come back unchanged.
    kyError Analyze();
    // Runs the analysis and hands out its analyzer with a reference for the caller: the
    // ReplayGain analyzer for 10 and 11, the BS.1770 analyzer for 20 to 22. "Invalid
    // operation sequence" for other types.
    kyError GetAnalyzer(kyGainAnalyzer*& analyzer);
    // The album's gain (dB) for the ReplayGain types: applied instead of the track gain,
    // also by a filter already analysed, and stored as slot 24 in "Store Meta data".
    void SetAlbumGain(float gainDb);

    const kyNormalizeSettings& settings() const { return m_settings; }
    bool analysed() const { return m_analysed; }
    // Linear gain of the second pass (1.0 until analysed).
    double gain() const { return m_gain; }
    // The measured sample of largest magnitude, with its sign.
    float peak() const { return m_peak; }
    bool gainReduced() const { return m_gainReduced; }
    double dcOffset() const { return m_dcOffset; }

private:
    kyError measure(float** planes, uint32_t frames);
    kyError writeRecord(float** planes, uint32_t frames);
    kyError computeGain();
    kyError readInterleavedRecord(uint32_t& frames, uint32_t& bytes, bool& ended);
    kyError gainAndWrite(float** planes, uint32_t frames);
    const char* answer(uint32_t slot);
    bool answers(uint32_t slot) const { return slot >= 23 && slot <= 27 && slot != 26; }

    kyNormalizeSettings m_settings;
    kyError m_createResult = KY_OK;
    bool m_eos = false;
    bool m_analysed = false;
    bool m_busy = false;
    bool m_gainReduced = false;
    bool m_prepared = false; // the second pass may read
    kyAudioFormat m_format{};
    kyGainAnalyzerPtr<kyReplayGainAnalyzer> m_replayGain;
    kyGainAnalyzerPtr<kyITUBS1770Analyzer> m_bs1770;
    double m_sumOfSquares = 0.0;
    double m_sum = 0.0;
    uint64_t m_samples = 0;
    float m_peak = 0.0f;
    double m_gain = 1.0;
    double m_dcOffset = 0.0;
    double m_targetDb = 0.0;
    kyPlaneBuffer m_work;
    kyTempFile m_file;
    // How the temporary file holds the stream: float planes, or interleaved in m_decoder's
    // format.
    bool m_interleavedRecords = false;
    kyInterleavedDecoder m_decoder;
    std::string m_offered; // the interleaved format offered downstream
    std::vector<uint8_t> m_record;
    bool m_albumOverride = false;
    float m_albumGain = 0.0f;
    kyPropertyTable m_answers{KY_SOURCE_PROPERTY_SLOTS};
};
