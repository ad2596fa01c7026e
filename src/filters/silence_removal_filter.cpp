#include "filters/silence_removal_filter.h"
#include "core/sample_block.h"
#include <algorithm>
#include <bit>
#include <new>
#include <stdexcept>

namespace {

// Magnitude by clearing the sign bit, so that -0.0 is as silent as 0.0.
inline float magnitude(float x) {
    return std::bit_cast<float>(std::bit_cast<uint32_t>(x) & 0x7FFFFFFFu);
}

// First frame in [from, to) whose silence differs from `silent`, or `to`.
uint32_t scan(float* const* planes, uint32_t channels, uint32_t from, uint32_t to, float threshold,
              bool silent) {
    if (channels == 2) {
        const float* l = planes[0];
        const float* r = planes[1];
        for (uint32_t i = from; i < to; ++i)
            if (((magnitude(l[i]) <= threshold) & (magnitude(r[i]) <= threshold)) != silent)
                return i;
        return to;
    }
    for (uint32_t i = from; i < to; ++i) {
        bool quiet = true; // a frame with no channels counts as silent
        for (uint32_t c = 0; c < channels && quiet; ++c)
            quiet = magnitude(planes[c][i]) <= threshold;
        if (quiet != silent) return i;
    }
    return to;
}

uint32_t firstSilent(float* const* planes, uint32_t channels, uint32_t from, uint32_t to,
                     float threshold) {
    return scan(planes, channels, from, to, threshold, false);
}

uint32_t firstAudible(float* const* planes, uint32_t channels, uint32_t from, uint32_t to,
                      float threshold) {
    return scan(planes, channels, from, to, threshold, true);
}

} // namespace

kySilenceRemovalFilter::kySilenceRemovalFilter(float threshold, int32_t minimumRun,
                                               bool leadingOnly)
    : kyMorphFilter("Silence removal morph"), m_threshold(threshold), m_minimumRun(minimumRun),
      m_leadingOnly(leadingOnly) {}

kyError kySilenceRemovalFilter::Prepare() {
    m_prepared = false;
    if (!m_upstream) return KYERR_SEQUENCE;
    kyAudioFormat upstream;
    kyError e = m_upstream->GetFormat(upstream);
    if (kyFailed(e)) return e;
    m_channels = upstream.channels;
    try {
        m_pointers.assign(m_channels + size_t(1), nullptr);
        m_held.assign(m_channels, {});
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return KYERR_OUT_OF_MEMORY;
    }
    m_runLength = 0;
    m_atStart = true;
    m_prepared = true;
    return m_upstream->Prepare();
}

kyError kySilenceRemovalFilter::deliver(float** planes, uint32_t offset, uint32_t frames) {
    if (frames == 0) return KY_OK;
    for (uint32_t c = 0; c < m_channels; ++c) m_pointers[c] = planes[c] + offset;
    m_pointers[m_channels] = nullptr;
    return kyMorphFilter::Write(m_pointers.data(), frames);
}

kyError kySilenceRemovalFilter::deliverHeld() {
    if (m_held.empty() || m_held[0].empty()) return KY_OK;
    const uint32_t n = static_cast<uint32_t>(m_held[0].size());
    for (uint32_t c = 0; c < m_channels; ++c) m_pointers[c] = m_held[c].data();
    m_pointers[m_channels] = nullptr;
    kyError e = kyMorphFilter::Write(m_pointers.data(), n);
    for (auto& plane : m_held) plane.clear();
    return e;
}

void kySilenceRemovalFilter::dropHeld() {
    for (auto& plane : m_held) plane.clear();
}

kyError kySilenceRemovalFilter::hold(float** planes, uint32_t offset, uint32_t frames) {
    try {
        for (uint32_t c = 0; c < m_channels; ++c)
            m_held[c].insert(m_held[c].end(), planes[c] + offset, planes[c] + offset + frames);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}

kyError kySilenceRemovalFilter::Write(float** planes, uint32_t frames) {
    if (!m_prepared) return KYERR_SEQUENCE;
    if (m_leadingOnly && !m_atStart) return kyMorphFilter::Write(planes, frames);
    if (kyPlaneCount(planes) < m_channels) return KYERR_CHANNEL_FORMAT;

    uint32_t pending = 0; // first frame of this block not yet delivered or dropped
    uint32_t i = 0;
    while (i < frames) {
        if (m_runLength == 0) {
            // Audible stretch: find where the next silent run begins, and hand over
            // everything before it.
            const uint32_t quiet = firstSilent(planes, m_channels, i, frames, m_threshold);
            if (quiet > i) {
                m_atStart = false;
                // Past the leading silence everything passes, later silence included.
                if (m_leadingOnly) return deliver(planes, pending, frames - pending);
            }
            if (quiet > pending) {
                kyError e = deliver(planes, pending, quiet - pending);
                if (kyFailed(e)) return e;
            }
            pending = i = quiet;
            if (i == frames) break;
        }
        // Inside a silent run, which may have begun in an earlier block.
        const uint32_t loud = firstAudible(planes, m_channels, i, frames, m_threshold);
        m_runLength += loud - i;
        i = loud;
        if (i == frames) break;
        // An audible frame ends the run: a long run goes whole, a short one stays.
        if (m_runLength >= m_minimumRun) {
            dropHeld();
            pending = i;
        } else {
            kyError e = deliverHeld();
            if (kyFailed(e)) return e;
        }
        m_runLength = 0;
    }

    // The block ends inside a silent run: a long one is dropped, a short one is kept back
    // until the frames after it decide.
    if (m_runLength == 0 || frames == pending) return KY_OK;
    if (m_runLength >= m_minimumRun) {
        dropHeld();
        return KY_OK;
    }
    return hold(planes, pending, frames - pending);
}

kyError kySilenceRemovalFilter::EndOfStream() {
    if (m_prepared && m_runLength > 0 && m_runLength < m_minimumRun) {
        kyError e = deliverHeld();
        if (kyFailed(e)) return e;
    }
    dropHeld();
    m_runLength = 0;
    return kyMorphFilter::EndOfStream();
}
