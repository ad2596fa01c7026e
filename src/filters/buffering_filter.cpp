#include "filters/buffering_filter.h"
#include <algorithm>
#include <new>

namespace {
// Blocks are cut to this size when upstream does not announce a block size.
constexpr uint32_t kFallbackBlockFrames = 4096;
} // namespace

kyBufferingFilter::kyBufferingFilter(const char* name, uint32_t contextBefore,
                                     uint32_t contextAfter)
    : kyMorphFilter(name), m_before(contextBefore), m_after(contextAfter) {}

void kyBufferingFilter::setContext(uint32_t before, uint32_t after) {
    m_before = before;
    m_after = after;
}

kyError kyBufferingFilter::Prepare() {
    if (!kyMorphFilter::upstream()) return KYERR_SEQUENCE;
    kyAudioFormat in;
    kyError e = kyMorphFilter::upstream()->GetFormat(in);
    if (kyFailed(e)) return e;
    if (in.channels == 0) return KYERR_CHANNEL_FORMAT;

    m_output.free();
    m_history.free();
    m_channels = in.channels;
    m_blockFrames = in.blockFrames ? in.blockFrames : kFallbackBlockFrames;

    // Write hands ProcessSpan at most one upstream block at a time; the end of the stream
    // hands it at most `after` frames.
    const uint64_t capacity = maxOutputFrames(std::max(m_blockFrames, m_after));
    const uint64_t context = uint64_t(m_before) + m_after;
    if (capacity > 0x7FFFFFFFu || context > 0x3FFFFFFFu) return KYERR_OUT_OF_MEMORY;
    m_outputCapacity = static_cast<uint32_t>(capacity);

    e = m_output.allocate(m_channels, m_outputCapacity);
    if (kySucceeded(e)) e = m_history.allocate(m_channels, static_cast<uint32_t>(2 * context));
    if (kyFailed(e)) {
        m_output.free();
        m_history.free();
        return e;
    }
    kyAudioFormat out;
    e = GetFormat(out);
    if (kyFailed(e)) return e;
    m_emitLimit = std::max<uint32_t>(1, out.blockFrames ? out.blockFrames : m_outputCapacity);
    try {
        m_inView.assign(m_channels + 1, nullptr);
        m_outView.assign(m_channels + 1, nullptr);
    } catch (const std::bad_alloc&) {
        m_output.free();
        m_history.free();
        return KYERR_OUT_OF_MEMORY;
    }
    // The stream starts after silence: the left context of its first frame is zeros.
    kyClearPlanes(m_history.planes(), 0, m_before);
    m_historyFill = m_before;
    return kyMorphFilter::Prepare();
}

uint32_t kyBufferingFilter::ProcessSpan(float* const* out, uint32_t outIndex, float* const* in,
                                        uint32_t inIndex, uint32_t count) {
    kyCopyPlanes(out, outIndex, in, inIndex, count);
    return count;
}

// Handles every history frame that now has its full right context.
kyError kyBufferingFilter::processHistory(uint32_t& produced) {
    const uint32_t context = m_before + m_after;
    if (m_historyFill <= context) return KY_OK;
    const uint32_t d = m_historyFill - context;
    produced += ProcessSpan(m_output.planes(), produced, m_history.planes(),
                            m_historyFill - m_after - d, d);
    m_historyFill -= d;
    return KY_OK;
}

kyError kyBufferingFilter::writeChunk(float** planes, uint32_t n) {
    const uint32_t context = m_before + m_after;
    float* const* hist = m_history.planes();

    // Append the head of the block to the history.
    const uint32_t k = std::min(context, n);
    kyCopyPlanes(hist, m_historyFill, planes, 0, k);
    m_historyFill += k;

    uint32_t produced = 0;
    const uint32_t before = m_historyFill;
    processHistory(produced);
    const uint32_t d = before - m_historyFill;

    if (n > k) {
        // The rest of the block has its left context inside the block: filter it in place
        // and keep only the block's tail as the new history.
        produced += ProcessSpan(m_output.planes(), produced, planes, k - m_after, n - k);
        kyCopyPlanes(hist, 0, planes, n - context, context);
        m_historyFill = context;
    } else if (d > 0) {
        kyCopyPlanes(hist, 0, hist, d, m_historyFill);
    }
    return emit(produced);
}

kyError kyBufferingFilter::emit(uint32_t produced) {
    if (produced == 0) return KY_OK;
    // Never hand downstream more than the block size this filter announces.
    float* const* out = m_output.planes();
    for (uint32_t done = 0; done < produced;) {
        const uint32_t n = std::min(m_emitLimit, produced - done);
        for (uint32_t c = 0; c < m_channels; ++c) m_outView[c] = out[c] + done;
        kyError e = kyMorphFilter::Write(m_outView.data(), n);
        if (kyFailed(e)) return e;
        done += n;
    }
    return KY_OK;
}

kyError kyBufferingFilter::Write(float** planes, uint32_t frames) {
    if (m_output.empty()) return KYERR_SEQUENCE;
    if (frames == 0) return KY_OK;
    if (!planes) return KYERR_INVALID_PARAMETER;
    // A block with fewer planes than announced would be read past its end.
    if (kyPlaneCount(planes) < m_channels) return KYERR_CHANNEL_FORMAT;
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(m_blockFrames, frames - done);
        for (uint32_t c = 0; c < m_channels; ++c) m_inView[c] = planes[c] + done;
        kyError e = writeChunk(m_inView.data(), n);
        if (kyFailed(e)) return e;
        done += n;
    }
    return KY_OK;
}

kyError kyBufferingFilter::EndOfStream() {
    if (!m_output.empty() && m_historyFill > m_before) {
        // The frames still owed are those waiting for their right context: pad with
        // exactly that much silence and handle them.
        kyClearPlanes(m_history.planes(), m_historyFill, m_after);
        m_historyFill += m_after;
        uint32_t produced = 0;
        processHistory(produced);
        m_historyFill = m_before; // nothing owed any more
        kyError e = emit(produced);
        if (kyFailed(e)) return e;
    }
    return kyMorphFilter::EndOfStream();
}
