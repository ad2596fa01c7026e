#include "filters/vu_meter_filter.h"
#include <algorithm>
#include <cmath>
#include <new>

kyVUMeterFilter::kyVUMeterFilter(bool measureFirst, const char* name)
    : kyMorphFilter(name), m_measureFirst(measureFirst) {}

kyError kyVUMeterFilter::Prepare() {
    if (!m_upstream || !m_downstream) return KYERR_SEQUENCE;
    kyError e = m_upstream->GetFormat(m_format);
    if (kyFailed(e)) return e;
    // A rate below 8 or a block size of 0 must not give an empty slice (which would never
    // finish a block), and a new stream may have more channels than the last one.
    m_sliceLimit = std::max<uint32_t>(1, m_format.sampleRate / 8);
    if (m_format.blockFrames != 0) m_sliceLimit = std::min(m_sliceLimit, m_format.blockFrames);
    try {
        m_peaks.assign(m_format.channels, 0.0f);
        m_pointers.assign(size_t(m_format.channels) + 1, nullptr);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_delivered = 0;
    return m_upstream->Prepare();
}

kyError kyVUMeterFilter::forward(float** planes, uint32_t offset, uint32_t frames) {
    if (!m_downstream) return KYERR_SEQUENCE;
    kyError e;
    if (offset == 0 || !planes) {
        e = m_downstream->Write(planes, frames);
    } else {
        for (uint32_t c = 0; c < m_format.channels; ++c) m_pointers[c] = planes[c] + offset;
        e = m_downstream->Write(m_pointers.data(), frames);
    }
    if (kySucceeded(e)) m_delivered += frames;
    return e;
}

kyError kyVUMeterFilter::Write(float** planes, uint32_t frames) {
    const uint32_t channels = static_cast<uint32_t>(m_peaks.size());
    if (frames == 0) return forward(planes, 0, 0);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t slice = std::min(frames - done, m_sliceLimit);
        if (!m_measureFirst) {
            kyError e = forward(planes, done, slice);
            if (kyFailed(e)) return e;
        }
        for (uint32_t c = 0; c < channels; ++c) {
            float peak = 0.0f;
            if (planes && planes[c])
                for (uint32_t i = done; i < done + slice; ++i)
                    peak = std::max(peak, std::fabs(planes[c][i]));
            m_peaks[c] = peak;
        }
        Levels(m_peaks.data(), channels,
               float(slice) / float(std::max<uint32_t>(1, m_format.sampleRate)));
        if (m_measureFirst) {
            kyError e = forward(planes, done, slice);
            if (kyFailed(e)) return e;
        }
        done += slice;
    }
    return KY_OK;
}

kygfVUMeterFilter::kygfVUMeterFilter(bool linear, float fallRate)
    : kyVUMeterFilter(false, "VU meter morph"), m_linear(linear), m_fallRate(fallRate) {}

kyError kygfVUMeterFilter::Prepare() {
    kyError e = kyVUMeterFilter::Prepare();
    if (kyFailed(e)) return e;
    Clear();
    m_channels.store(std::min(m_format.channels, kMaxChannels), std::memory_order_relaxed);
    return e;
}

float kygfVUMeterFilter::Position(uint32_t channel) const {
    return channel < kMaxChannels ? m_positions[channel].load(std::memory_order_relaxed) : 0.0f;
}

void kygfVUMeterFilter::Clear() {
    for (auto& p : m_positions) p.store(0.0f, std::memory_order_relaxed);
    m_generation.fetch_add(1, std::memory_order_relaxed);
}

void kygfVUMeterFilter::Levels(const float* peaks, uint32_t channels, float seconds) {
    if (Hold()) return;
    const float fall = m_fallRate * seconds;
    const uint32_t shown = Channels();
    const uint32_t n = std::min(channels, shown);
    for (uint32_t c = 0; c < n; ++c) {
        float target;
        if (m_linear) {
            target = peaks[c];
        } else {
            const float db = peaks[c] > 0.0f ? 20.0f * std::log10(peaks[c]) : -76.0f;
            target = std::min(1.0f, 1.0f + std::max(db, -76.0f) / 76.0f);
        }
        float position = m_positions[c].load(std::memory_order_relaxed);
        if (target >= position)
            position = target;
        else
            position = std::max(0.0f, position - (target <= 0.05f ? 5.0f * fall : fall));
        m_positions[c].store(position, std::memory_order_relaxed);
    }
    for (uint32_t c = n; c < shown; ++c) m_positions[c].store(0.0f, std::memory_order_relaxed);
    m_generation.fetch_add(1, std::memory_order_relaxed);
}

kyError kygfVUMeterFilter::EndOfStream() {
    Clear();
    return kyVUMeterFilter::EndOfStream();
}
