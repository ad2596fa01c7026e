#include "formats/tags/vorbis_comment.h"
#include "formats/tags/tag_bytes.h"
#include "formats/tags/tag_fields.h"
#include <algorithm>
#include <cstring>

using tags::getLE32;

std::vector<kyVorbisComment> kyVorbisComments(kyPropertyTable& props) {
    std::vector<kyVorbisComment> out;
    const std::span<const kyTagField> table = kyVorbisCommentFields();
    for (size_t i = 0; i < table.size(); ++i)
        if (const char* text = kyTagFieldText(table, i, props)) out.push_back({table[i].key, text});
    return out;
}

bool kyApplyVorbisComment(std::string_view entry, kyPropertyTable& props) {
    const size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    const std::string_view name = entry.substr(0, eq), value = entry.substr(eq + 1);
    bool known = false;
    for (const kyTagField& f : kyVorbisCommentFields()) {
        if (!kyFindTagField(std::span(&f, 1), name, true)) continue;
        known = true;
        if (value.empty() || props.getUtf8(f.slot)) continue;
        if (f.slot == KYPROP_DISC_NUMBER)
            kySetDiscNumber(props, value); // "2/3" as some programs write it
        else
            props.setUtf8(f.slot, value.data(), static_cast<int32_t>(value.size()));
    }
    return known;
}

std::vector<uint8_t> kyFlacPictureBlock(const kyTagPicture& picture) {
    std::vector<uint8_t> out;
    const size_t mime = std::strlen(picture.mimeType);
    out.reserve(32 + mime + picture.bytes.size());
    tags::appendBE32(out, 3); // front cover
    tags::appendBE32(out, static_cast<uint32_t>(mime));
    tags::appendText(out, picture.mimeType);
    tags::appendBE32(out, 0); // no description
    // Width, height, colour depth and palette size unknown (0): readers take them from the
    // image itself.
    for (int i = 0; i < 4; ++i) tags::appendBE32(out, 0);
    tags::appendBE32(out, static_cast<uint32_t>(picture.bytes.size()));
    out.insert(out.end(), picture.bytes.begin(), picture.bytes.end());
    return out;
}

std::optional<kyVorbisComment> kyVorbisPictureComment(kyPropertyTable& props) {
    kyTagPicture picture;
    if (!kyReadTagPicture(props, picture)) return std::nullopt;
    const std::vector<uint8_t> block = kyFlacPictureBlock(picture);
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((block.size() + 2) / 3 * 4);
    for (size_t i = 0; i < block.size(); i += 3) {
        const size_t n = std::min<size_t>(3, block.size() - i);
        uint32_t v = uint32_t(block[i]) << 16;
        if (n > 1) v |= uint32_t(block[i + 1]) << 8;
        if (n > 2) v |= block[i + 2];
        for (size_t k = 0; k < 4; ++k) text += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return kyVorbisComment{"METADATA_BLOCK_PICTURE", std::move(text)};
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
