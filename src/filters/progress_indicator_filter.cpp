#include "filters/progress_indicator_filter.h"

kyProgressIndicatorFilter::kyProgressIndicatorFilter() : kyMorphFilter("Progress indicator") {}

void kyProgressIndicatorFilter::ProgressChanged(int32_t percent) {
    if (m_progressHook) m_progressHook(percent);
}

void kyProgressIndicatorFilter::ErrorOccurred(kyError code) {
    if (m_errorHook) m_errorHook(code);
}

void kyProgressIndicatorFilter::reset() {
    m_length = KY_NO_LENGTH;
    m_sampleRate = 44100;
    if (m_upstream) {
        kyAudioFormat format;
        if (kySucceeded(m_upstream->GetFormat(format))) {
            if (format.lengthFrames < KY_NO_LENGTH) m_length = format.lengthFrames;
            m_sampleRate = format.sampleRate;
        }
    }
    m_position = 0;
    m_lastPercent = 0;
    m_errorReported = false;
    m_cancelled.store(false, std::memory_order_relaxed);
    ProgressChanged(0);
}

void kyProgressIndicatorFilter::advance(uint32_t frames) {
    m_position += frames;
    int32_t percent;
    if (m_length == KY_NO_LENGTH) {
        // Nothing to measure against: keep the display moving.
        percent = (m_lastPercent + 1) % 100;
    } else if (m_length == 0 || m_position >= m_length) {
        // A source that delivers more than it announced must not push the display past 100.
        percent = 100;
    } else {
        percent = static_cast<int32_t>(
            static_cast<double>(m_position) * 100.0 / static_cast<double>(m_length) + 0.5);
    }
    if (percent != m_lastPercent) {
        m_lastPercent = percent;
        ProgressChanged(percent);
    }
}

// One report per run: the same failure comes back through every caller on its way up,
// and a run stopped by Cancel() has nothing to report at all.
kyError kyProgressIndicatorFilter::fail(kyError code) {
    if (!m_errorReported) {
        m_errorReported = true;
        ErrorOccurred(code);
    }
    return code;
}

kyError kyProgressIndicatorFilter::Prepare() {
    reset();
    kyError e = kyMorphFilter::Prepare();
    return kyFailed(e) ? fail(e) : e;
}

const char* kyProgressIndicatorFilter::GetInterleavedFormat(uint32_t channels) {
    return m_upstream ? m_upstream->GetInterleavedFormat(channels) : nullptr;
}

kyError kyProgressIndicatorFilter::RunInterleaved() {
    reset();
    kyError e = m_upstream ? m_upstream->RunInterleaved() : KYERR_SEQUENCE;
    return kyFailed(e) ? fail(e) : e;
}

kyError kyProgressIndicatorFilter::Write(float** planes, uint32_t frames) {
    if (cancelled()) {
        m_errorReported = true;
        return KYERR_CANCELLED;
    }
    kyError e = kyMorphFilter::Write(planes, frames);
    if (kyFailed(e)) return fail(e);
    advance(frames);
    return e;
}

kyError kyProgressIndicatorFilter::WriteInterleaved(const void* bytes, uint32_t byteCount,
                                                    uint32_t frames) {
    if (cancelled()) {
        m_errorReported = true;
        return KYERR_CANCELLED;
    }
    kyError e = m_downstream ? m_downstream->WriteInterleaved(bytes, byteCount, frames) : KY_OK;
    if (kyFailed(e)) return fail(e);
    advance(frames);
    return e;
}

kyError kyProgressIndicatorFilter::EndOfStream() {
    if (cancelled()) {
        m_errorReported = true;
        return KYERR_CANCELLED;
    }
    m_position = m_length;
    if (m_lastPercent != 100) {
        m_lastPercent = 100;
        ProgressChanged(100);
    }
    kyError e = kyMorphFilter::EndOfStream();
    return kyFailed(e) ? fail(e) : e;
}
