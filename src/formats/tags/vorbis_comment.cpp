#include "formats/tags/vorbis_comment.h"
#include "formats/tags/tag_bytes.h"
#include "formats/tags/tag_fields.h"

using tags::getLE32;

std::vector<kyVorbisComment> kyVorbisComments(kyPropertyTable& props) {
    std::vector<kyVorbisComment> out;
    for (const kyTagField& f : kyVorbisCommentFields()) {
        if (!f.written) continue;
        const char* text = props.getUtf8(f.slot);
        if (text && *text) out.push_back({f.key, text});
    }
    return out;
}

bool kyApplyVorbisComment(std::string_view entry, kyPropertyTable& props) {
    const size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    const kyTagField* f = kyFindTagField(kyVorbisCommentFields(), entry.substr(0, eq), true);
    if (!f) return false;
    const std::string_view value = entry.substr(eq + 1);
    if (!value.empty() && !props.getUtf8(f->slot))
        props.setUtf8(f->slot, value.data(), static_cast<int32_t>(value.size()));
    return true;
}

bool kyParseVorbisCommentBlock(const uint8_t* data, size_t size, kyPropertyTable& props) {
    if (!data || size < 8) return false;
    size_t pos = 0;
    const uint32_t vendor = getLE32(data);
    pos = 4;
    if (vendor > size - pos || size - pos - vendor < 4) return false;
    pos += vendor;
    const uint32_t count = getLE32(data + pos);
    pos += 4;
    // Every entry takes at least its length field.
    if (count > (size - pos) / 4) return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - pos < 4) return false;
        const uint32_t length = getLE32(data + pos);
        pos += 4;
        if (length > size - pos) return false;
        // Entries are bounded by the property table's limit of a signed 32-bit count.
        if (length < 0x7FFFFFFFu)
            kyApplyVorbisComment(
                std::string_view(reinterpret_cast<const char*>(data + pos), length), props);
        pos += length;
    }
    return true;
}
