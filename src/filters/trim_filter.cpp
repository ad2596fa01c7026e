#include "filters/trim_filter.h"
#include "core/data_format.h"
#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>

kyTrimFilter::kyTrimFilter(uint32_t start, uint32_t cut, uint32_t fade)
    : kyMorphFilter("Trim morph"), m_fadeInStart(int64_t(start) - fade), m_fadeInEnd(start),
      m_fadeOutStart(cut), m_windowEnd(int64_t(cut) + fade), m_fade(fade) {
    // No cut and no fade: the window runs to the end of the stream, with no fade-out.
    if (m_windowEnd == 0) m_windowEnd = m_fadeOutStart = KY_NO_LENGTH;
    m_requestedFadeInStart = m_fadeInStart;
    m_requestedWindowEnd = m_windowEnd;
}

void kyTrimFilter::clampToLength(uint32_t lengthFrames) {
    const int64_t length = lengthFrames == KY_NO_LENGTH ? INT64_MAX : lengthFrames;
    m_windowEnd = std::min(length, m_requestedWindowEnd);
    m_fadeInStart = std::min(length, m_requestedFadeInStart);
}

kyError kyTrimFilter::GetFormat(kyAudioFormat& format) {
    kyError e = kyMorphFilter::GetFormat(format);
    if (kyFailed(e)) return e;
    // The fade leaves in one block.
    format.blockFrames = std::max(format.blockFrames, m_fade);
    if (m_upstream && format.lengthFrames != KY_NO_LENGTH) {
        clampToLength(format.lengthFrames);
        // Frames before position 0 of a fade-in that starts early do not exist.
        const int64_t first = std::max<int64_t>(m_fadeInStart, 0);
        format.lengthFrames = static_cast<uint32_t>(std::max<int64_t>(m_windowEnd - first, 0));
    }
    return e;
}

kyError kyTrimFilter::Prepare() {
    if (!m_upstream) return KYERR_SEQUENCE;
    kyAudioFormat upstream;
    kyError e = m_upstream->GetFormat(upstream);
    if (kyFailed(e)) return e;
    if (upstream.channels == 0) return KYERR_CHANNEL_FORMAT;
    // A stream shorter than the window still gets its whole fade-out.
    clampToLength(upstream.lengthFrames);
    m_channels = upstream.channels;
    m_position = 0;
    m_fadeFill = 0;
    m_ended = false;
    try {
        m_pointers.assign(m_channels + size_t(1), nullptr);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    if (m_fade > 0 && (m_fadeBuffer.empty() || m_fadeBuffer.channels() != m_channels)) {
        e = m_fadeBuffer.allocate(m_channels, m_fade);
        if (kyFailed(e)) return e;
    }
    return m_upstream->Prepare();
}

kyError kyTrimFilter::deliver(float** planes, uint32_t offset, uint32_t frames) {
    for (uint32_t c = 0; c < m_channels; ++c) m_pointers[c] = planes[c] + offset;
    m_pointers[m_channels] = nullptr;
    return kyMorphFilter::Write(m_pointers.data(), frames);
}

kyError kyTrimFilter::flushFade() {
    if (m_fadeFill == 0) return KY_OK;
    const uint32_t n = m_fadeFill;
    m_fadeFill = 0;
    return kyMorphFilter::Write(m_fadeBuffer.planes(), n);
}

kyError kyTrimFilter::endDownstream() {
    // Downstream hears the end once: a writer must not close its file twice, and the
    // blocks that follow the window in the same read would otherwise each repeat it.
    if (m_ended) return KY_OK;
    m_ended = true;
    kyError e = flushFade();
    if (kyFailed(e)) return e;
    return kyMorphFilter::EndOfStream();
}

kyError kyTrimFilter::EndOfStream() {
    return endDownstream();
}

kyError kyTrimFilter::Write(float** planes, uint32_t frames) {
    if (m_pointers.empty()) return KYERR_SEQUENCE;
    const int64_t p = m_position;
    const int64_t end = p + frames;
    m_position = end;
    if (m_ended) return KY_OK;
    if (m_fadeInStart >= end) return KY_OK;
    if (m_windowEnd <= p) return endDownstream();
    if (kyPlaneCount(planes) < m_channels) return KYERR_CHANNEL_FORMAT;

    const int64_t a = m_fadeInStart, b = m_fadeInEnd, k = m_fadeOutStart, d = m_windowEnd;
    int64_t index = std::max<int64_t>(a - p, 0);
    const int64_t last = std::min<int64_t>(d - p, frames);

    // Fade-in over [A, B): gain (x - A + 1) / (B - A) at stream position x, so it ends on 1.
    if (b > a && p < b) {
        const int64_t stop = std::min(b - p, last);
        const double span = static_cast<double>(b - a);
        for (; index < stop && m_fadeFill < m_fade; ++index, ++m_fadeFill) {
            const float gain = static_cast<float>(static_cast<double>(p + index - a + 1) / span);
            for (uint32_t c = 0; c < m_channels; ++c)
                m_fadeBuffer.plane(c)[m_fadeFill] = planes[c][index] * gain;
        }
        if (end >= std::min(b, d)) {
            kyError e = flushFade();
            if (kyFailed(e)) return e;
        }
    }

    // Full level up to the fade-out, passed on without a copy.
    const bool fadeOut = k < d && m_fade > 0;
    const int64_t middleEnd = fadeOut ? std::min(k - p, last) : last;
    if (middleEnd > index) {
        kyError e =
            deliver(planes, static_cast<uint32_t>(index), static_cast<uint32_t>(middleEnd - index));
        if (kyFailed(e)) return e;
        index = middleEnd;
    }

    // Fade-out over [K, D): gain (D - x) / (D - K), from 1 down to 1/(D - K). When the
    // stream is shorter than cut + fade, D was brought in and the fade is that much
    // steeper rather than amplifying.
    if (fadeOut && end > k) {
        index = std::max(index, k - p);
        const double span = static_cast<double>(d - k);
        for (; index < last && m_fadeFill < m_fade; ++index, ++m_fadeFill) {
            const float gain = static_cast<float>(static_cast<double>(d - (p + index)) / span);
            for (uint32_t c = 0; c < m_channels; ++c)
                m_fadeBuffer.plane(c)[m_fadeFill] = planes[c][index] * gain;
        }
        if (end >= d) {
            kyError e = flushFade();
            if (kyFailed(e)) return e;
        }
    }
    return KY_OK;
}

const char* kyTrimFilter::GetInterleavedFormat(uint32_t channels) {
    m_frameBytes = 0;
    // Encoded bytes can be cut but not faded.
    if (!m_upstream || m_fade > 0 || channels == 0) return nullptr;
    const char* id = m_upstream->GetInterleavedFormat(channels);
    if (!id) return nullptr;
    const kyDataFormatInfo* info = kyFindDataFormat(id);
    if (!info) return nullptr;
    m_frameBytes = info->bytes * channels;
    return id;
}

kyError kyTrimFilter::RunInterleaved() {
    if (!m_upstream) return KYERR_SEQUENCE;
    m_position = 0;
    m_ended = false;
    return m_upstream->RunInterleaved();
}

kyError kyTrimFilter::WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) {
    if (m_frameBytes == 0) return 1;
    if (static_cast<uint64_t>(frames) * m_frameBytes > byteCount) return KYERR_INVALID_PARAMETER;
    const int64_t p = m_position;
    m_position = p + frames;
    const int64_t first = std::max(m_fadeInStart, p);
    const int64_t stop = std::min(m_windowEnd, p + frames);
    if (stop <= first || !m_downstream) return KY_OK;
    const uint32_t count = static_cast<uint32_t>(stop - first);
    const auto* base = static_cast<const uint8_t*>(bytes) + (first - p) * m_frameBytes;
    return m_downstream->WriteInterleaved(base, count * m_frameBytes, count);
}
