#include "filters/normalize_filter.h"
#include "core/text.h"
#include "filters/itu_bs1770_analyzer.h"
#include "filters/replaygain_analyzer.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {
// Largest block kept in one planar record, and largest interleaved record replayed.
constexpr uint32_t kMaxRecordFrames = 1u << 16;
constexpr uint32_t kMaxRecordBytes = 1u << 26;

// Numbers in the answers are written the same whatever the locale: "-6.50 dB".
std::string fixed(double v, int decimals, const char* unit) {
    std::string s = kyFormatFixed(v, decimals);
    if (s == "-0.00") s = "0.00"; // a gain that rounds to nothing has no sign
    return unit ? s + unit : s;
}

bool isReplayGain(uint32_t type) {
    return type == KYNORM_REPLAYGAIN || type == KYNORM_REPLAYGAIN_ISO;
}
bool isBs1770(uint32_t type) {
    return type >= KYNORM_BS1770_HIGHPASS && type <= KYNORM_EBU_R128;
}
bool knownType(uint32_t type) {
    return type <= KYNORM_AC_RMS || isReplayGain(type) || isBs1770(type);
}
} // namespace

kyNormalizeFilter::kyNormalizeFilter(const kyNormalizeSettings& settings)
    : kyMorphFilter("Normalization morph"), m_settings(settings) {
    if (!m_file.create()) m_createResult = KYERR_CREATE_FILE;
}

kyNormalizeFilter::~kyNormalizeFilter() = default;

// ---- first pass ---------------------------------------------------------------------

kyError kyNormalizeFilter::Analyze() {
    if (m_busy) return KYERR_SEQUENCE;
    if (kyFailed(m_createResult)) return m_createResult;
    if (!m_upstream) return KYERR_SEQUENCE;
    const kyNormalizeSettings& s = m_settings;
    if (!knownType(s.type) || s.truePeak || !std::isfinite(s.target) ||
        (!s.targetIsDb && s.target <= 0.0f) || !std::isfinite(s.clipLimit) || s.clipLimit == 0.0f)
        return KYERR_INVALID_PARAMETER;

    kyAudioFormat format{};
    kyError e = m_upstream->GetFormat(format);
    if (kyFailed(e)) return e;
    if (format.channels == 0) return KYERR_CHANNEL_FORMAT;
    const uint32_t frames = std::clamp<uint32_t>(format.blockFrames, 1, kMaxRecordFrames);
    if (m_work.channels() != format.channels || m_work.frames() != frames) {
        e = m_work.allocate(format.channels, frames);
        if (kyFailed(e)) return e;
    }
    m_targetDb = s.targetIsDb ? double(s.target) : 20.0 * std::log10(double(s.target));

    if (isReplayGain(s.type)) {
        const bool iso = s.type == KYNORM_REPLAYGAIN_ISO;
        if (m_analysed && m_replayGain && m_replayGain->isoVariant() == iso &&
            format.channels == m_format.channels)
            return KY_OK;
        m_replayGain = kyMakeGainAnalyzer<kyReplayGainAnalyzer>(iso, float(m_targetDb));
        if (!m_replayGain) return KYERR_OUT_OF_MEMORY;
    } else if (isBs1770(s.type)) {
        if (m_analysed && m_bs1770) return KY_OK;
        if (!m_bs1770 || m_analysed) {
            const uint32_t mode = s.type - KYNORM_BS1770_HIGHPASS;
            m_bs1770 = kyMakeGainAnalyzer<kyITUBS1770Analyzer>(mode, float(m_targetDb));
            if (!m_bs1770) return KYERR_OUT_OF_MEMORY;
        }
    } else if (m_analysed) {
        return KY_OK;
    }

    m_busy = true;
    m_analysed = false;
    m_prepared = false;
    m_format = format;
    m_samples = 0;
    m_peak = 0.0f;
    m_gain = 1.0;
    m_dcOffset = 0.0;
    m_sum = m_sumOfSquares = 0.0;
    auto fail = [this](kyError code) {
        m_busy = false;
        return code;
    };
    if (m_replayGain && isReplayGain(s.type)) {
        e = m_replayGain->init(format.sampleRate, format.channels, format.channelMask);
        if (kyFailed(e)) return fail(e);
    }
    if (m_bs1770 && isBs1770(s.type)) {
        e = m_bs1770->init(format.sampleRate, format.channels, format.channelMask);
        if (kyFailed(e)) return fail(e);
    }
    if (!m_file.restart()) return fail(KYERR_WRITE_FILE);

    uint32_t bytesPerSample = 0;
    const char* id = m_upstream->GetInterleavedFormat(format.channels);
    m_interleavedRecords = kyAcceptedInterleavedFormat(id, bytesPerSample);
    m_eos = false;
    if (m_interleavedRecords) {
        e = m_decoder.start(id, format.channels, frames);
        if (kyFailed(e)) return fail(e);
        e = m_upstream->RunInterleaved();
    } else {
        // A source with nothing to deliver may end the stream from Prepare already.
        e = m_upstream->Prepare();
        while (kySucceeded(e) && !m_eos) {
            if (!m_upstream) {
                e = KYERR_SEQUENCE;
                break;
            }
            e = m_upstream->Process();
        }
    }
    if (kyFailed(e)) return fail(e);

    const uint32_t terminator[2] = {0, 0};
    if (!m_file.write(terminator, sizeof terminator) || !m_file.flush())
        return fail(KYERR_WRITE_FILE);
    if (m_replayGain && isReplayGain(s.type)) m_replayGain->finish();
    if (m_bs1770 && isBs1770(s.type)) m_bs1770->finish();
    if (s.removeDc && m_samples > 0) m_dcOffset = -(m_sum / double(m_samples));
    e = computeGain();
    if (kyFailed(e)) return fail(e);
    m_analysed = true;
    m_busy = false;
    return KY_OK;
}

kyError kyNormalizeFilter::computeGain() {
    const kyNormalizeSettings& s = m_settings;
    const double linearTarget = s.targetIsDb ? std::pow(10.0, s.target / 20.0) : double(s.target);
    const double peak = std::fabs(double(m_peak) + m_dcOffset);
    double gain = 1.0;
    switch (s.type) {
    case KYNORM_FIXED:
        gain = linearTarget;
        break;
    case KYNORM_PEAK:
        if (peak > 0.0) gain = linearTarget / peak;
        break;
    case KYNORM_RMS:
    case KYNORM_AC_RMS: {
        double meanSquare = m_samples ? m_sumOfSquares / double(m_samples) : 0.0;
        if (s.type == KYNORM_AC_RMS && m_samples) {
            const double mean = m_sum / double(m_samples);
            meanSquare = std::max(0.0, meanSquare - mean * mean);
        }
        if (meanSquare > 0.0) gain = linearTarget / std::sqrt(meanSquare);
        break;
    }
    case KYNORM_REPLAYGAIN:
    case KYNORM_REPLAYGAIN_ISO: {
        if (!m_replayGain) return KYERR_UNKNOWN;
        const double db = m_albumOverride ? double(m_albumGain) : double(m_replayGain->gain());
        gain = std::pow(10.0, 0.05 * db);
        break;
    }
    default:
        if (!m_bs1770) return KYERR_UNKNOWN;
        gain = std::pow(10.0, 0.05 * double(m_bs1770->gain()));
        break;
    }
    // A gain that cannot be applied (a target of 1000 dB...) is refused, not written.
    if (!std::isfinite(gain) || gain <= 0.0) return KYERR_INVALID_PARAMETER;
    m_gainReduced = false;
    const double limit = std::fabs(double(s.clipLimit));
    if (s.neverClip && peak * gain > limit) {
        gain = limit / peak;
        m_gainReduced = true;
    }
    m_gain = gain;
    return KY_OK;
}

kyError kyNormalizeFilter::measure(float** planes, uint32_t frames) {
    const uint32_t channels = m_format.channels;
    float peak = m_peak;
    float peakMagnitude = std::fabs(peak);
    double sum = 0.0, squares = 0.0;
    for (uint32_t c = 0; c < channels; ++c) {
        const float* x = planes[c];
        for (uint32_t i = 0; i < frames; ++i) {
            const float v = x[i];
            const float m = std::fabs(v);
            if (m > peakMagnitude) {
                peakMagnitude = m;
                peak = v;
            }
            sum += v;
            squares += double(v) * v;
        }
    }
    m_peak = peak;
    m_sum += sum;
    m_sumOfSquares += squares;
    if (m_replayGain && isReplayGain(m_settings.type)) m_replayGain->process(planes, frames);
    if (m_bs1770 && isBs1770(m_settings.type)) m_bs1770->process(planes, frames);
    m_samples += uint64_t(channels) * frames;
    return KY_OK;
}

kyError kyNormalizeFilter::writeRecord(float** planes, uint32_t frames) {
    const uint32_t header = frames;
    if (!m_file.write(&header, sizeof header)) return KYERR_WRITE_FILE;
    for (uint32_t c = 0; c < m_format.channels; ++c)
        if (!m_file.write(planes[c], size_t(frames) * sizeof(float))) return KYERR_WRITE_FILE;
    return KY_OK;
}

kyError kyNormalizeFilter::Write(float** planes, uint32_t frames) {
    if (!m_busy || m_interleavedRecords) return KYERR_SEQUENCE;
    if (frames == 0) return KY_OK;
    if (!planes || kyPlaneCount(planes) < m_format.channels) return KYERR_INVALID_PARAMETER;
    // A block larger than the replay buffer is kept in records that fit it.
    std::vector<float*> part(m_format.channels + size_t(1), nullptr);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(frames - done, m_work.frames());
        for (uint32_t c = 0; c < m_format.channels; ++c) part[c] = planes[c] + done;
        kyError e = writeRecord(part.data(), n);
        if (kyFailed(e)) return e;
        measure(part.data(), n);
        done += n;
    }
    return KY_OK;
}

kyError kyNormalizeFilter::EndOfStream() {
    // The end of the first pass; downstream hears of the end in the second.
    m_eos = true;
    return KY_OK;
}

kyError kyNormalizeFilter::WriteInterleaved(const void* bytes, uint32_t byteCount,
                                            uint32_t frames) {
    if (!m_busy || !m_interleavedRecords) return KYERR_SEQUENCE;
    if (byteCount == 0) return KY_OK;
    if (!bytes) return KYERR_INVALID_PARAMETER;
    const uint32_t frameBytes = m_decoder.frameBytes();
    if (frameBytes && uint64_t(frames) * frameBytes != byteCount) return KYERR_UNKNOWN;
    if (!frameBytes && byteCount > kMaxRecordBytes) return KYERR_INVALID_PARAMETER;
    if (!m_file.write(&frames, sizeof frames)) return KYERR_WRITE_FILE;
    if (!frameBytes && !m_file.write(&byteCount, sizeof byteCount)) return KYERR_WRITE_FILE;
    if (!m_file.write(bytes, byteCount)) return KYERR_WRITE_FILE;
    if (!frameBytes && frames == 0) return m_decoder.configure(bytes, byteCount);
    return m_decoder.decode(bytes, byteCount, frames,
                            [this](float** planes, uint32_t n) { return measure(planes, n); });
}

// ---- second pass --------------------------------------------------------------------

kyError kyNormalizeFilter::Prepare() {
    m_prepared = false;
    kyError e = Analyze();
    if (kyFailed(e)) return e;
    if (!m_file.rewind()) return KYERR_READ_FILE;
    if (m_interleavedRecords) {
        // Compressed records are decoded from the start of the stream again.
        e = m_decoder.start(m_decoder.id().c_str(), m_format.channels, m_work.frames());
        if (kyFailed(e)) return e;
    }
    m_prepared = true;
    return KY_OK;
}

kyError kyNormalizeFilter::gainAndWrite(float** planes, uint32_t frames) {
    if (!m_downstream) return KYERR_SEQUENCE;
    const bool passThrough = m_settings.storeMeta || (m_dcOffset == 0.0 && m_gain == 1.0);
    if (!passThrough) {
        const double gain = m_gain, dc = m_dcOffset;
        const bool clamp = m_settings.clampOutput != 0;
        for (uint32_t c = 0; c < m_format.channels; ++c) {
            float* x = planes[c];
            for (uint32_t i = 0; i < frames; ++i) {
                double v = (double(x[i]) + dc) * gain;
                if (clamp) v = std::clamp(v, -1.0, 1.0);
                x[i] = static_cast<float>(v);
            }
        }
    }
    return m_downstream->Write(planes, frames);
}

// The next interleaved record into m_record; `ended` at the terminator.
kyError kyNormalizeFilter::readInterleavedRecord(uint32_t& frames, uint32_t& bytes, bool& ended) {
    ended = false;
    frames = bytes = 0;
    if (!m_file.read(&frames, sizeof frames)) return KYERR_READ_FILE;
    const uint32_t frameBytes = m_decoder.frameBytes();
    if (frameBytes) {
        if (frames == 0) {
            ended = true;
            return KY_OK;
        }
        if (uint64_t(frames) * frameBytes > kMaxRecordBytes) return KYERR_INVALID_FILE;
        bytes = frames * frameBytes;
    } else {
        if (!m_file.read(&bytes, sizeof bytes)) return KYERR_READ_FILE;
        if (frames == 0 && bytes == 0) {
            ended = true;
            return KY_OK;
        }
        if (bytes > kMaxRecordBytes) return KYERR_INVALID_FILE;
    }
    try {
        m_record.resize(bytes);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return m_file.read(m_record.data(), bytes) ? KY_OK : KYERR_READ_FILE;
}

kyError kyNormalizeFilter::Process() {
    if (!m_prepared || !m_downstream) return KYERR_SEQUENCE;
    if (!m_interleavedRecords) {
        uint32_t frames = 0;
        if (!m_file.read(&frames, sizeof frames)) return KYERR_READ_FILE;
        if (frames == 0) return m_downstream->EndOfStream();
        // Records never exceed the buffer they were written from; one that does is damage.
        if (frames > m_work.frames()) return KYERR_INVALID_FILE;
        for (uint32_t c = 0; c < m_format.channels; ++c)
            if (!m_file.read(m_work.plane(c), size_t(frames) * sizeof(float)))
                return KYERR_READ_FILE;
        return gainAndWrite(m_work.planes(), frames);
    }
    uint32_t frames, bytes;
    bool ended;
    kyError e = readInterleavedRecord(frames, bytes, ended);
    if (kyFailed(e)) return e;
    if (ended) return m_downstream->EndOfStream();
    if (m_decoder.compressed() && frames == 0) return m_decoder.configure(m_record.data(), bytes);
    return m_decoder.decode(m_record.data(), bytes, frames,
                            [this](float** planes, uint32_t n) { return gainAndWrite(planes, n); });
}

const char* kyNormalizeFilter::GetInterleavedFormat(uint32_t channels) {
    // Only untouched samples may pass as the source delivered them.
    if (!m_settings.storeMeta) {
        m_offered.clear();
        return nullptr;
    }
    return kyOfferAcceptedFormat(m_upstream, channels, m_offered);
}

kyError kyNormalizeFilter::RunInterleaved() {
    if (m_offered.empty() || !m_downstream) return KYERR_SEQUENCE;
    kyError e = Analyze();
    if (kyFailed(e)) return e;
    if (!m_interleavedRecords || m_decoder.id() != m_offered) return KYERR_SEQUENCE;
    if (!m_file.rewind()) return KYERR_READ_FILE;
    for (;;) {
        uint32_t frames, bytes;
        bool ended;
        e = readInterleavedRecord(frames, bytes, ended);
        if (kyFailed(e) || ended) return e;
        e = m_downstream->WriteInterleaved(m_record.data(), bytes, frames);
        if (kyFailed(e)) return e;
    }
}

// ---- analyzers for the album --------------------------------------------------------

kyError kyNormalizeFilter::GetAnalyzer(kyGainAnalyzer*& analyzer) {
    analyzer = nullptr;
    if (!isReplayGain(m_settings.type) && !isBs1770(m_settings.type)) return KYERR_SEQUENCE;
    kyError e = Analyze();
    if (kyFailed(e)) return e;
    kyGainAnalyzer* a = isReplayGain(m_settings.type)
                            ? static_cast<kyGainAnalyzer*>(m_replayGain.get())
                            : static_cast<kyGainAnalyzer*>(m_bs1770.get());
    if (!a) return KYERR_UNKNOWN;
    a->AddRef();
    analyzer = a;
    return KY_OK;
}

void kyNormalizeFilter::SetAlbumGain(float gainDb) {
    m_albumOverride = true;
    m_albumGain = gainDb;
    // An analysed filter applies the album's gain from now on, not its own.
    if (m_analysed) computeGain();
}

// ---- properties ---------------------------------------------------------------------

const char* kyNormalizeFilter::answer(uint32_t slot) {
    if (!m_analysed && (m_busy || kyFailed(Analyze()))) return nullptr;
    const kyNormalizeSettings& s = m_settings;
    const bool meta = s.storeMeta != 0;
    std::string text;
    switch (slot) {
    case KYPROP_TRACK_GAIN:
        if (!meta) {
            // The audio is at the target now.
            if (isReplayGain(s.type) || s.type == KYNORM_EBU_R128) text = fixed(0.0, 2, " dB");
        } else if (m_replayGain && isReplayGain(s.type)) {
            text = fixed(m_replayGain->gain(), 2, " dB");
        } else if (m_gain > 1e-37) {
            text = fixed(20.0 * std::log10(m_gain), 2, " dB");
        }
        break;
    case KYPROP_ALBUM_GAIN:
        if (meta && m_albumOverride) text = fixed(m_albumGain, 2, " dB");
        break;
    case KYPROP_LOUDNESS:
        if (s.type == KYNORM_EBU_R128 && m_bs1770 && m_bs1770->hasLoudness()) {
            double loudness = m_targetDb - (double(m_bs1770->gain()) + 23.0);
            if (!meta) loudness += 20.0 * std::log10(m_gain);
            text = fixed(loudness, 2, " LUFS");
        }
        break;
    case KYPROP_PEAK: {
        // The peak of what the writer receives.
        double peak = std::fabs(double(m_peak));
        if (!meta) {
            peak = std::fabs(double(m_peak) + m_dcOffset) * m_gain;
            if (s.clampOutput) peak = std::min(peak, 1.0);
        }
        text = fixed(peak, 6, nullptr);
        break;
    }
    default:
        return nullptr;
    }
    if (text.empty()) return nullptr;
    m_answers.setUtf8(slot, text);
    return m_answers.getUtf8(slot);
}

const char* kyNormalizeFilter::GetPropertyUtf8(uint32_t slot) {
    if (!answers(slot)) return kyMorphFilter::GetPropertyUtf8(slot);
    return answer(slot);
}

const char* kyNormalizeFilter::GetPropertyA(uint32_t slot) {
    if (!answers(slot)) return kyMorphFilter::GetPropertyA(slot);
    return answer(slot) ? m_answers.getA(slot) : nullptr;
}

const char16_t* kyNormalizeFilter::GetPropertyW(uint32_t slot) {
    if (!answers(slot)) return kyMorphFilter::GetPropertyW(slot);
    return answer(slot) ? m_answers.getW(slot) : nullptr;
}
