#include "formats/mov_boxes.h"
#include "formats/mov_common.h"
#include <algorithm>
#include <cstring>
#include <new>

TBoxHandler::TBoxHandler(const char* type) {
    setType(type);
}

TBoxHandler::~TBoxHandler() {
    // Siblings are released one after the other rather than by recursion.
    std::unique_ptr<TBoxHandler> next = std::move(m_next);
    while (next) next = std::move(next->m_next);
}

void TBoxHandler::setType(const char* type) {
    std::memcpy(m_type, type, 4);
}

void TBoxHandler::addChild(std::unique_ptr<TBoxHandler> child) {
    std::unique_ptr<TBoxHandler>* slot = &m_firstChild;
    while (*slot) slot = &(*slot)->m_next;
    *slot = std::move(child);
}

uint64_t TBoxHandler::Size(uint64_t largeAbove) const {
    uint64_t size = 8 + PayloadSize();
    for (const TBoxHandler* c = m_firstChild.get(); c; c = c->m_next.get())
        size += c->Size(largeAbove);
    return size > largeAbove ? size + 8 : size;
}

kyError TBoxHandler::Write(TBoxOutput& out, uint64_t largeAbove) const {
    const uint64_t size = Size(largeAbove);
    uint8_t h[16];
    size_t n = 8;
    if (size > largeAbove) {
        mov::put32(h, 1);
        std::memcpy(h + 4, m_type, 4);
        mov::put64(h + 8, size);
        n = 16;
    } else {
        mov::put32(h, static_cast<uint32_t>(size));
        std::memcpy(h + 4, m_type, 4);
    }
    kyError err = out.Put(h, n);
    if (kyFailed(err)) return err;
    err = WritePayload(out);
    if (kyFailed(err)) return err;
    for (const TBoxHandler* c = m_firstChild.get(); c; c = c->m_next.get()) {
        err = c->Write(out, largeAbove);
        if (kyFailed(err)) return err;
    }
    return KY_OK;
}

kyError TBoxMem::WritePayload(TBoxOutput& out) const {
    return m_data.empty() ? KY_OK : out.Put(m_data.data(), m_data.size());
}

void TBoxMem::put16(size_t at, uint32_t v) {
    if (at + 2 <= m_data.size()) mov::put16(&m_data[at], v);
}
void TBoxMem::put32(size_t at, uint32_t v) {
    if (at + 4 <= m_data.size()) mov::put32(&m_data[at], v);
}
void TBoxMem::put64(size_t at, uint64_t v) {
    if (at + 8 <= m_data.size()) mov::put64(&m_data[at], v);
}
void TBoxMem::putType(size_t at, const char* type) {
    if (at + 4 <= m_data.size()) std::memcpy(&m_data[at], type, 4);
}

TFullBoxMem::TFullBoxMem(const char* type, size_t size, uint8_t version, uint32_t flags)
    : TBoxMem(type, std::max<size_t>(size, 4)) {
    put32(0, (uint32_t(version) << 24) | (flags & 0xFFFFFF));
}

uint64_t TSizesBoxMem::PayloadSize() const {
    return 12 + (m_constant ? 0 : 4 * uint64_t(m_sizes.size()));
}

kyError TSizesBoxMem::WritePayload(TBoxOutput& out) const {
    uint8_t h[12] = {};
    mov::put32(h + 4, m_constant);
    mov::put32(h + 8, static_cast<uint32_t>(std::min<uint64_t>(m_count, 0xFFFFFFFFu)));
    kyError err = out.Put(h, sizeof h);
    if (kyFailed(err) || m_constant) return err;
    uint8_t buf[4096];
    size_t used = 0;
    for (uint32_t s : m_sizes) {
        mov::put32(buf + used, s);
        used += 4;
        if (used == sizeof buf) {
            err = out.Put(buf, used);
            if (kyFailed(err)) return err;
            used = 0;
        }
    }
    return used ? out.Put(buf, used) : KY_OK;
}

void TChunkOffsetsBox::SetOffsets(std::vector<uint64_t> offsets, uint64_t largeAbove) {
    m_offsets = std::move(offsets);
    m_large = !m_offsets.empty() && m_offsets.back() > largeAbove;
    setType(m_large ? "co64" : "stco");
}

uint64_t TChunkOffsetsBox::PayloadSize() const {
    return 8 + (m_large ? 8 : 4) * uint64_t(m_offsets.size());
}

kyError TChunkOffsetsBox::WritePayload(TBoxOutput& out) const {
    uint8_t buf[4096] = {};
    mov::put32(buf + 4, static_cast<uint32_t>(m_offsets.size()));
    size_t used = 8;
    const size_t width = m_large ? 8 : 4;
    for (uint64_t o : m_offsets) {
        if (used + width > sizeof buf) {
            kyError err = out.Put(buf, used);
            if (kyFailed(err)) return err;
            used = 0;
        }
        if (m_large)
            mov::put64(buf + used, o);
        else
            mov::put32(buf + used, static_cast<uint32_t>(o));
        used += width;
    }
    return out.Put(buf, used);
}

kyError TBoxFileBuf::WritePayload(TBoxOutput& out) const {
    if (m_file.size() == 0) return KY_OK;
    if (!m_file.rewind()) return KYERR_READ_FILE;
    std::vector<uint8_t> piece;
    try {
        piece.resize(static_cast<size_t>(std::min<uint64_t>(m_file.size(), 1u << 20)));
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
    uint64_t left = m_file.size();
    while (left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
        if (!m_file.read(piece.data(), n)) return KYERR_READ_FILE;
        kyError err = out.Put(piece.data(), n);
        if (kyFailed(err)) return err;
        left -= n;
    }
    return KY_OK;
}
