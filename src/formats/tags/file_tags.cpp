#include "formats/tags/file_tags.h"
#include "formats/tags/ape_tag.h"
#include "formats/tags/id3v1.h"
#include "formats/tags/id3v2.h"
#include "formats/tags/lyrics3.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Tags are read whole; a larger one (pictures, mostly) is read as far as this for its
// text, or skipped when its text sits at its end.
constexpr uint64_t kMaxTagRead = 16u << 20;
// Files that stack tags carry a few; more than this is not a tagging tool's work.
constexpr int kMaxTags = 16;

// Copies the properties `from` carries over those of `to`.
void overlay(kyPropertyTable& to, kyPropertyTable& from) {
    for (uint32_t slot = 0; slot < from.size(); ++slot)
        if (const char* text = from.getUtf8(slot)) to.setUtf8(slot, text);
}

class TagScanner {
public:
    TagScanner(const kyTagReadFn& read, uint64_t fileSize, kyTagLayout& layout)
        : m_read(read), m_layout(layout) {
        layout = kyTagLayout{};
        layout.audioEnd = fileSize;
    }

    kyError scan(kyPropertyTable& props);

private:
    kyError leadingId3v2(bool& found);
    kyError trailingId3v1(bool& found);
    kyError trailingApe(bool& found);
    kyError trailingLyrics3(bool& found);
    kyError trailingId3v2(bool& found);
    // Reads and parses an ID3v2 tag of `size` bytes at `offset` into `props`.
    kyError parseId3v2(uint64_t offset, uint64_t size, kyPropertyTable& props);
    uint64_t room() const { return m_layout.audioEnd - m_layout.audioStart; }
    bool read(uint64_t offset, void* data, size_t size) { return m_read(offset, data, size); }

    const kyTagReadFn& m_read;
    kyTagLayout& m_layout;
    // By priority, lowest first.
    kyPropertyTable m_id3v1, m_ape, m_trailingId3v2, m_leadingId3v2;
};

kyError TagScanner::scan(kyPropertyTable& props) {
    kyError err = KY_OK;
    bool found = true;
    for (int i = 0; i < kMaxTags && found && kySucceeded(err); ++i) err = leadingId3v2(found);
    if (kySucceeded(err)) err = trailingId3v1(found);
    found = true;
    for (int i = 0; i < kMaxTags && found && kySucceeded(err); ++i) {
        err = trailingApe(found);
        if (kySucceeded(err) && !found) err = trailingLyrics3(found);
        if (kySucceeded(err) && !found) err = trailingId3v2(found);
    }
    if (kyFailed(err)) return err;
    for (kyPropertyTable* t : {&m_id3v1, &m_ape, &m_trailingId3v2, &m_leadingId3v2})
        overlay(props, *t);
    return KY_OK;
}

kyError TagScanner::parseId3v2(uint64_t offset, uint64_t size, kyPropertyTable& props) {
    std::vector<uint8_t> tag(static_cast<size_t>(std::min(size, kMaxTagRead)));
    if (!read(offset, tag.data(), tag.size())) return KYERR_READ_FILE;
    // A tag of a version this parser does not know is still skipped by its size.
    kyParseId3v2Tag(tag.data(), tag.size(), props);
    return KY_OK;
}

kyError TagScanner::leadingId3v2(bool& found) {
    found = false;
    uint8_t header[KY_ID3V2_HEADER_SIZE];
    if (room() < sizeof header) return KY_OK;
    if (!read(m_layout.audioStart, header, sizeof header)) return KYERR_READ_FILE;
    const uint64_t size = kyId3v2TagSize(header, sizeof header);
    if (size == 0 || size > room()) return KY_OK;
    kyError err = parseId3v2(m_layout.audioStart, size, m_leadingId3v2);
    if (kyFailed(err)) return err;
    m_layout.audioStart += size;
    m_layout.found |= KY_TAG_ID3V2;
    found = true;
    return KY_OK;
}

kyError TagScanner::trailingId3v1(bool& found) {
    found = false;
    uint8_t tag[KY_ID3V1_SIZE];
    if (room() < sizeof tag) return KY_OK;
    if (!read(m_layout.audioEnd - sizeof tag, tag, sizeof tag)) return KYERR_READ_FILE;
    if (!kyParseId3v1Tag(tag, sizeof tag, m_id3v1)) return KY_OK;
    m_layout.audioEnd -= sizeof tag;
    m_layout.found |= KY_TAG_ID3V1;
    found = true;
    return KY_OK;
}

kyError TagScanner::trailingApe(bool& found) {
    found = false;
    uint8_t footer[KY_APE_FOOTER_SIZE];
    if (room() < sizeof footer) return KY_OK;
    if (!read(m_layout.audioEnd - sizeof footer, footer, sizeof footer)) return KYERR_READ_FILE;
    kyApeTagInfo info;
    if (!kyApeTagFooter(footer, sizeof footer, info)) return KY_OK;
    uint64_t size = info.size;
    if (info.hasHeader) {
        // A header the footer announces but that is not there is not counted.
        uint8_t header[8];
        if (size > room()) return KY_OK;
        if (!read(m_layout.audioEnd - size, header, sizeof header)) return KYERR_READ_FILE;
        if (std::memcmp(header, "APETAGEX", 8) != 0) size -= KY_APE_FOOTER_SIZE;
    }
    if (size > room()) return KY_OK;
    if (size <= kMaxTagRead) {
        std::vector<uint8_t> tag(static_cast<size_t>(size));
        if (!read(m_layout.audioEnd - size, tag.data(), tag.size())) return KYERR_READ_FILE;
        kyParseApeTag(tag.data(), tag.size(), m_ape);
    }
    m_layout.audioEnd -= size;
    m_layout.found |= KY_TAG_APE;
    found = true;
    return KY_OK;
}

kyError TagScanner::trailingLyrics3(bool& found) {
    uint64_t size = 0;
    if (!kyLyrics3BlockSize(m_read, m_layout.audioStart, m_layout.audioEnd, size))
        return KYERR_READ_FILE;
    found = size > 0;
    if (found) {
        m_layout.audioEnd -= size;
        m_layout.found |= KY_TAG_LYRICS3;
    }
    return KY_OK;
}

kyError TagScanner::trailingId3v2(bool& found) {
    found = false;
    uint8_t footer[KY_ID3V2_HEADER_SIZE];
    if (room() < sizeof footer) return KY_OK;
    if (!read(m_layout.audioEnd - sizeof footer, footer, sizeof footer)) return KYERR_READ_FILE;
    const uint64_t size = kyId3v2TagSizeFromFooter(footer, sizeof footer);
    if (size == 0 || size > room()) return KY_OK;
    const uint64_t start = m_layout.audioEnd - size;
    uint8_t header[KY_ID3V2_HEADER_SIZE];
    if (!read(start, header, sizeof header)) return KYERR_READ_FILE;
    if (kyId3v2TagSize(header, sizeof header) != size) return KY_OK;
    kyError err = parseId3v2(start, size, m_trailingId3v2);
    if (kyFailed(err)) return err;
    m_layout.audioEnd = start;
    m_layout.found |= KY_TAG_ID3V2;
    found = true;
    return KY_OK;
}

} // namespace

kyError kyReadTags(const kyTagReadFn& read, uint64_t fileSize, kyPropertyTable& props,
                   kyTagLayout& layout) {
    try {
        TagScanner scanner(read, fileSize, layout);
        return scanner.scan(props);
    } catch (const std::bad_alloc&) {
        return KYERR_OUT_OF_MEMORY;
    }
}

kyError kyReadFileTags(int fd, uint64_t fileSize, kyPropertyTable& props, kyTagLayout& layout) {
    return kyReadTags([fd](uint64_t offset, void* data,
                           size_t size) { return kyReadExactlyAt(fd, offset, data, size); },
                      fileSize, props, layout);
}

kyError kyWriteTagBlock(int fd, uint64_t offset, const uint8_t* data, size_t size,
                        uint64_t* written) {
    if (written) *written = 0;
    if (size == 0) return KY_NOTHING_DONE;
    if (!kyWriteAll(fd, offset, data, size)) return KYERR_WRITE_FILE;
    if (written) *written = size;
    return KY_OK;
}
