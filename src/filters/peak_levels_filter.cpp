#include "filters/peak_levels_filter.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

kyPeakLevelsFilter::kyPeakLevelsFilter(uint32_t framesPerPoint)
    : kyMorphFilter("Peak levels morph"), m_framesPerPoint(framesPerPoint) {}

kyError kyPeakLevelsFilter::start(uint32_t channels) {
    if (m_framesPerPoint == 0 || channels == 0) return KYERR_INVALID_PARAMETER;
    if (!m_file.create()) return KYERR_CREATE_FILE;
    try {
        m_slice.assign(size_t(kSlicePoints) * channels * 2, 0.0f);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_channels = channels;
    m_sliceFill = m_pointFrames = m_points = 0;
    m_position = m_peakFrame = 0;
    m_peak = 0.0f;
    m_writeFailed = m_finished = false;
    return KY_OK;
}

kyError kyPeakLevelsFilter::Prepare() {
    if (!m_upstream) return KYERR_SEQUENCE;
    kyAudioFormat format{};
    kyError e = m_upstream->GetFormat(format);
    if (kyFailed(e)) return e;
    e = start(format.channels);
    if (kyFailed(e)) return e;
    return m_upstream->Prepare();
}

const char* kyPeakLevelsFilter::GetInterleavedFormat(uint32_t channels) {
    return kyOfferAcceptedFormat(m_upstream, channels, m_offered);
}

kyError kyPeakLevelsFilter::RunInterleaved() {
    if (m_offered.empty() || !m_upstream) return KYERR_SEQUENCE;
    kyAudioFormat format{};
    kyError e = m_upstream->GetFormat(format);
    if (kyFailed(e)) return e;
    e = start(format.channels);
    if (kyFailed(e)) return e;
    e = m_decoder.start(m_offered.c_str(), format.channels,
                        std::clamp<uint32_t>(format.blockFrames, 1, 1u << 16));
    if (kyFailed(e)) return e;
    e = m_upstream->RunInterleaved();
    if (kyFailed(e)) return e;
    return finish();
}

void kyPeakLevelsFilter::measure(float* const* planes, uint32_t frames) {
    for (uint32_t i = 0; i < frames; ++i) {
        float* point = &m_slice[size_t(m_sliceFill) * m_channels * 2];
        if (m_pointFrames == 0)
            for (uint32_t c = 0; c < m_channels; ++c) {
                point[2 * c] = -1.0f;
                point[2 * c + 1] = 1.0f;
            }
        for (uint32_t c = 0; c < m_channels; ++c) {
            const float v = std::clamp(planes[c][i], -1.0f, 1.0f);
            float& hi = point[2 * c];
            float& lo = point[2 * c + 1];
            if (v > hi) hi = v;
            if (v < lo) lo = v;
            const float m = std::max(std::fabs(hi), std::fabs(lo));
            if (m > m_peak) {
                m_peak = m;
                m_peakFrame = m_position;
            }
        }
        ++m_position;
        if (++m_pointFrames == m_framesPerPoint && !completePoint()) m_writeFailed = true;
    }
}

bool kyPeakLevelsFilter::completePoint() {
    m_pointFrames = 0;
    ++m_points;
    if (++m_sliceFill < kSlicePoints) return true;
    return kySucceeded(flushPoints());
}

kyError kyPeakLevelsFilter::flushPoints() {
    const size_t bytes = size_t(m_sliceFill) * m_channels * 2 * sizeof(float);
    m_sliceFill = 0;
    return m_file.write(m_slice.data(), bytes) ? KY_OK : KYERR_WRITE_FILE;
}

kyError kyPeakLevelsFilter::finish() {
    if (m_finished) return KY_OK;
    m_finished = true;
    if (m_pointFrames > 0 && !completePoint()) m_writeFailed = true;
    if (m_writeFailed || kyFailed(flushPoints()) || !m_file.flush()) return KYERR_WRITE_FILE;
    return KY_OK;
}

kyError kyPeakLevelsFilter::Write(float** planes, uint32_t frames) {
    if (!m_file.isOpen() || m_channels == 0) return KYERR_SEQUENCE;
    if (frames && (!planes || kyPlaneCount(planes) < m_channels)) return KYERR_INVALID_PARAMETER;
    measure(planes, frames);
    if (m_writeFailed) return KYERR_WRITE_FILE;
    return kyMorphFilter::Write(planes, frames);
}

kyError kyPeakLevelsFilter::EndOfStream() {
    kyError e = finish();
    if (kyFailed(e)) return e;
    return kyMorphFilter::EndOfStream();
}

kyError kyPeakLevelsFilter::WriteInterleaved(const void* bytes, uint32_t byteCount,
                                             uint32_t frames) {
    if (!m_file.isOpen() || m_decoder.id().empty()) return KYERR_SEQUENCE;
    if (byteCount == 0) return KY_OK;
    // Downstream may change the bytes in place (a byte swap): measure a copy.
    try {
        m_copy.assign(static_cast<const uint8_t*>(bytes),
                      static_cast<const uint8_t*>(bytes) + byteCount);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    kyError e = m_downstream ? m_downstream->WriteInterleaved(bytes, byteCount, frames) : KY_OK;
    if (kyFailed(e)) return e;
    if (m_decoder.compressed() && frames == 0) return m_decoder.configure(m_copy.data(), byteCount);
    e = m_decoder.decode(m_copy.data(), byteCount, frames, [this](float** planes, uint32_t n) {
        measure(planes, n);
        return m_writeFailed ? KYERR_WRITE_FILE : KY_OK;
    });
    return e;
}

kyError kyPeakLevelsFilter::WriteEnvelope(int fd, bool twoValues) {
    if (fd < 0) return KYERR_INVALID_PARAMETER;
    if (!m_file.isOpen() || m_channels == 0) return KYERR_SEQUENCE;
    kyError e = finish();
    if (kyFailed(e)) return e;
    if (!m_file.rewind()) return KYERR_READ_FILE;
    auto level = [](float v) {
        return static_cast<uint16_t>(std::trunc(std::max(v, 0.0f) * 65535.0f + 0.5f));
    };
    std::vector<float> slice;
    std::vector<uint8_t> out;
    try {
        slice.resize(size_t(kSlicePoints) * m_channels * 2);
        out.reserve(size_t(kSlicePoints) * m_channels * 4);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    for (uint32_t done = 0; done < m_points;) {
        const uint32_t n = std::min(kSlicePoints, m_points - done);
        if (!m_file.read(slice.data(), size_t(n) * m_channels * 2 * sizeof(float)))
            return KYERR_READ_FILE;
        out.clear();
        for (size_t k = 0; k < size_t(n) * m_channels; ++k) {
            const float hi = slice[2 * k], lo = slice[2 * k + 1];
            const uint16_t a = level(twoValues ? hi : std::max(hi, -lo));
            out.push_back(static_cast<uint8_t>(a));
            out.push_back(static_cast<uint8_t>(a >> 8));
            if (twoValues) {
                const uint16_t b = level(-lo);
                out.push_back(static_cast<uint8_t>(b));
                out.push_back(static_cast<uint8_t>(b >> 8));
            }
        }
        if (!kyWriteAll(fd, kyCurrentPosition, out.data(), out.size())) return KYERR_WRITE_FILE;
        done += n;
    }
    return KY_OK;
}
