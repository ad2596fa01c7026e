#include "core/filter.h"

// ---- source side ----------------------------------------------------------------

void kySourceFilter::Connect(kySinkFilter* sink) {
    if (!sink) return;
    if (sink->m_upstream && sink->m_upstream != this) sink->m_upstream->m_downstream = nullptr;
    if (m_downstream && m_downstream != sink) m_downstream->m_upstream = nullptr;
    sink->m_upstream = this;
    m_downstream = sink;
}

kySinkFilter* kySourceFilter::InsertAfter(kyMorphFilter* morph) {
    if (!morph) return nullptr;
    kySinkFilter* morphSink = morph;
    kySourceFilter* morphSource = morph;
    kySinkFilter* old = m_downstream;
    if (old) {
        old->m_upstream = morphSource;
        morphSource->m_downstream = old;
    }
    morphSink->m_upstream = this;
    m_downstream = morphSink;
    return morphSink;
}

void kySourceFilter::Disconnect() {
    if (m_downstream && m_downstream->m_upstream == this) m_downstream->m_upstream = nullptr;
    m_downstream = nullptr;
}

namespace {
// The last sink downstream of `sink` (itself when it is no morph).
kySinkFilter* lastSink(kySinkFilter* sink) {
    while (sink && sink->AsSource() && sink->AsSource()->downstream())
        sink = sink->AsSource()->downstream();
    return sink;
}
} // namespace

void kySourceFilter::DestroyChain() {
    kySinkFilter* sink = m_downstream;
    if (kySinkFilter* last = lastSink(sink)) last->ChainGoing();
    if (sink) Disconnect();
    delete this;
    if (sink) sink->DestroyChain();
}

kyError kySourceFilter2::GetFormat(kyAudioFormat& format) {
    format = m_format;
    if (format.channelMask == 0) format.channelMask = kyDefaultChannelMask(format.channels);
    // An unbounded stream stays unbounded whatever was skipped.
    if (format.lengthFrames != KY_NO_LENGTH)
        format.lengthFrames =
            format.lengthFrames > m_skippedFrames ? format.lengthFrames - m_skippedFrames : 0;
    return KY_OK;
}

// ---- sink side --------------------------------------------------------------------

void kySinkFilter::InsertBefore(kyMorphFilter* morph) {
    if (!morph) return;
    kySinkFilter* morphSink = morph;
    kySourceFilter* morphSource = morph;
    kySourceFilter* old = m_upstream;
    if (old) {
        old->m_downstream = morphSink;
        morphSink->m_upstream = old;
    }
    morphSource->m_downstream = this;
    m_upstream = morphSource;
}

void kySinkFilter::Disconnect() {
    if (m_upstream && m_upstream->m_downstream == this) m_upstream->m_downstream = nullptr;
    m_upstream = nullptr;
}

void kySinkFilter::DestroyChain() {
    lastSink(this)->ChainGoing();
    kySourceFilter* source = m_upstream;
    if (source) Disconnect();
    delete this;
    if (source) source->DestroyChain();
}

kyError kySinkFilter2::Run() {
    m_finished = false;
    if (!m_upstream) return KYERR_SEQUENCE;
    kyError e = m_upstream->Prepare();
    if (kyFailed(e)) return e;
    while (!m_finished) {
        if (!m_upstream) break;
        e = m_upstream->Process();
        if (kyFailed(e)) return e;
    }
    return KY_OK;
}

// ---- morph ------------------------------------------------------------------------

kyError kyMorphFilter::GetFormat(kyAudioFormat& format) {
    if (!m_upstream) {
        format = kyAudioFormat{};
        return KY_OK;
    }
    return m_upstream->GetFormat(format);
}

uint32_t kyMorphFilter::Seek(uint32_t frame) {
    return m_upstream ? m_upstream->Seek(frame) : 0;
}

kyError kyMorphFilter::Prepare() {
    return m_upstream ? m_upstream->Prepare() : KYERR_SEQUENCE;
}

kyError kyMorphFilter::Process() {
    return m_upstream ? m_upstream->Process() : KY_OK;
}

const char* kyMorphFilter::GetPropertyA(uint32_t slot) {
    return m_upstream ? m_upstream->GetPropertyA(slot) : nullptr;
}
const char* kyMorphFilter::GetPropertyUtf8(uint32_t slot) {
    return m_upstream ? m_upstream->GetPropertyUtf8(slot) : nullptr;
}
const char16_t* kyMorphFilter::GetPropertyW(uint32_t slot) {
    return m_upstream ? m_upstream->GetPropertyW(slot) : nullptr;
}

kyError kyMorphFilter::Run() {
    return m_downstream ? m_downstream->Run() : KYERR_SEQUENCE;
}

kyError kyMorphFilter::Write(float** planes, uint32_t frames) {
    return m_downstream ? m_downstream->Write(planes, frames) : KY_OK;
}

kyError kyMorphFilter::EndOfStream() {
    return m_downstream ? m_downstream->EndOfStream() : KY_OK;
}

void kyMorphFilter::Remove() {
    kySourceFilter* up = m_upstream;
    kySinkFilter* down = m_downstream;
    if (up && up->m_downstream == static_cast<kySinkFilter*>(this)) up->m_downstream = down;
    if (down && down->m_upstream == static_cast<kySourceFilter*>(this)) down->m_upstream = up;
    m_upstream = nullptr;
    m_downstream = nullptr;
}

void kyMorphFilter::DestroyChain() {
    lastSink(static_cast<kySinkFilter*>(this))->ChainGoing();
    kySourceFilter* up = m_upstream;
    kySinkFilter* down = m_downstream;
    Remove();
    delete static_cast<kySourceFilter*>(this);
    // After Remove the neighbours are linked to each other, so one call reaches both sides.
    if (up)
        up->DestroyChain();
    else if (down)
        down->DestroyChain();
}
