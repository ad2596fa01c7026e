#include "job/audio_spool.h"
#include "core/data_format.h"

#include <algorithm>
#include <cstring>
#include <new>

bool kySpoolBudget::take(uint64_t bytes) {
    uint64_t used = m_used.load(std::memory_order_relaxed);
    do {
        if (used + bytes > m_limit) return false;
    } while (!m_used.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
}

void kySpoolBudget::give(uint64_t bytes) {
    m_used.fetch_sub(bytes, std::memory_order_relaxed);
}

kyAudioSpool::~kyAudioSpool() {
    m_budget.give(m_held);
}

bool kyAudioSpool::append(const void* bytes, size_t size, uint32_t frames) {
    if (size > UINT32_MAX) return false;
    Block block;
    block.frames = frames;
    block.size = static_cast<uint32_t>(size);
    try {
        // Once a block has gone to the file, every later one follows it there, so that
        // the blocks are read back in order from memory first, then from the file.
        if (!m_file && m_budget.take(size)) {
            block.bytes.assign(static_cast<const uint8_t*>(bytes),
                               static_cast<const uint8_t*>(bytes) + size);
            m_held += size;
        } else {
            if (!m_file) {
                m_file = std::make_unique<kyTempFile>();
                if (!m_file->create()) return false;
            }
            if (!m_file->write(bytes, size)) return false;
        }
        m_blocks.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool kyAudioSpool::finishWriting() {
    m_next = 0;
    return !m_file || m_file->rewind();
}

bool kyAudioSpool::next(std::vector<uint8_t>& out, uint32_t& frames) {
    if (m_next >= m_blocks.size()) return false;
    Block& block = m_blocks[m_next++];
    frames = block.frames;
    if (!block.bytes.empty() || block.size == 0) {
        out.swap(block.bytes);
        // The memory goes back to the budget as the block is played: reading the next
        // file may use it.
        m_budget.give(block.size);
        m_held -= block.size;
        std::vector<uint8_t>().swap(block.bytes);
        return true;
    }
    try {
        out.resize(block.size);
    } catch (const std::bad_alloc&) {
        m_failed = true;
        return false;
    }
    if (!m_file || !m_file->read(out.data(), block.size)) {
        m_failed = true;
        return false;
    }
    return true;
}

kyError kySpoolSink::Run() {
    m_finished = false;
    if (!m_upstream) return KYERR_SEQUENCE;
    kyError e = m_upstream->GetFormat(m_spool.format);
    if (kyFailed(e)) return e;
    for (uint32_t slot = 0; slot < m_spool.properties.size(); ++slot)
        if (const char* text = m_upstream->GetPropertyUtf8(slot))
            m_spool.properties.setUtf8(slot, text);
    // The source's own bytes where it offers them: the writer may store them as they are.
    const char* id = m_upstream->GetInterleavedFormat(m_spool.format.channels);
    if (id && kyFindDataFormat(id)) {
        m_spool.interleavedId = id;
        e = m_upstream->RunInterleaved();
    } else {
        m_spool.interleavedId.clear();
        e = kySinkFilter2::Run();
    }
    if (kySucceeded(e) && !m_spool.finishWriting()) e = KYERR_WRITE_FILE;
    return e;
}

kyError kySpoolSink::Write(float** planes, uint32_t frames) {
    if (frames == 0) return KY_OK;
    const uint32_t channels = m_spool.format.channels;
    // Plane after plane, as they came.
    try {
        m_packed.resize(size_t(channels) * frames);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    for (uint32_t c = 0; c < channels; ++c)
        std::memcpy(m_packed.data() + size_t(c) * frames, planes[c], frames * sizeof(float));
    return m_spool.append(m_packed.data(), m_packed.size() * sizeof(float), frames)
               ? KY_OK
               : KYERR_WRITE_FILE;
}

kyError kySpoolSink::WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) {
    if (m_spool.interleavedId.empty()) return 1;
    return m_spool.append(bytes, byteCount, frames) ? KY_OK : KYERR_WRITE_FILE;
}

kySpoolSource::kySpoolSource(std::unique_ptr<kyAudioSpool> spool, const std::atomic<bool>& cancel)
    : kySourceFilter2("Encoder queue"), m_spool(std::move(spool)), m_cancel(cancel) {
    m_format = m_spool->format;
    m_properties = m_spool->properties;
}

kyError kySpoolSource::Prepare() {
    // A spool plays once.
    if (m_started) return KYERR_SEQUENCE;
    m_started = true;
    const uint32_t channels = m_format.channels;
    if (channels == 0) return KYERR_CHANNEL_FORMAT;
    try {
        m_planes.assign(channels, {});
        m_ptrs.assign(channels, nullptr);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    return KY_OK;
}

kyError kySpoolSource::Process() {
    if (!m_downstream) return KYERR_SEQUENCE;
    if (m_planes.empty()) return KYERR_SEQUENCE;
    if (m_cancel.load(std::memory_order_relaxed)) return KYERR_CANCELLED;
    uint32_t frames = 0;
    if (!m_spool->next(m_block, frames))
        return m_spool->failed() ? KYERR_READ_FILE : m_downstream->EndOfStream();
    const uint32_t channels = m_format.channels;
    try {
        for (auto& plane : m_planes)
            if (plane.size() < frames) plane.resize(frames);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    for (uint32_t c = 0; c < channels; ++c) m_ptrs[c] = m_planes[c].data();
    if (!m_spool->interleavedId.empty()) {
        const kyError e = InterleavedToPlanar(m_ptrs.data(), m_block.data(), channels, 0, frames,
                                              m_spool->interleavedId.c_str(), false, false);
        if (kyFailed(e)) return e;
    } else {
        if (m_block.size() < size_t(channels) * frames * sizeof(float)) return KYERR_READ_FILE;
        for (uint32_t c = 0; c < channels; ++c)
            std::memcpy(m_ptrs[c], m_block.data() + size_t(c) * frames * sizeof(float),
                        frames * sizeof(float));
    }
    return m_downstream->Write(m_ptrs.data(), frames);
}

const char* kySpoolSource::GetInterleavedFormat(uint32_t channels) {
    if (m_spool->interleavedId.empty() || channels != m_format.channels) return nullptr;
    return m_spool->interleavedId.c_str();
}

kyError kySpoolSource::RunInterleaved() {
    if (m_spool->interleavedId.empty() || !m_downstream) return KYERR_SEQUENCE;
    if (m_started) return KYERR_SEQUENCE;
    m_started = true;
    uint32_t frames = 0;
    while (m_spool->next(m_block, frames)) {
        if (m_cancel.load(std::memory_order_relaxed)) return KYERR_CANCELLED;
        if (!m_downstream) return KYERR_SEQUENCE;
        const kyError e = m_downstream->WriteInterleaved(
            m_block.data(), static_cast<uint32_t>(m_block.size()), frames);
        if (kyFailed(e)) return e;
    }
    return m_spool->failed() ? KYERR_READ_FILE : KY_OK;
}
