#include "formats/tags/vorbis_comment.h"
#include <iterator>

namespace {

struct Field {
    const char* name;
    uint32_t slot;
    bool written; // false: only recognised when reading
};

// In writing order.
const Field kFields[] = {
    {"TITLE", KYPROP_TITLE, true},
    {"VERSION", KYPROP_SUBTITLE, true},
    {"ALBUM", KYPROP_ALBUM, true},
    {"TRACKNUMBER", KYPROP_TRACK_NUMBER, true},
    {"ARTIST", KYPROP_ARTIST, true},
    {"PERFORMER", 7, true},
    {"COPYRIGHT", KYPROP_COPYRIGHT, true},
    {"ORGANIZATION", KYPROP_PUBLISHER, true},
    {"DESCRIPTION", KYPROP_COMMENT, true},
    {"GENRE", KYPROP_GENRE, true},
    {"DATE", KYPROP_YEAR, true},
    {"CONTACT", KYPROP_URL, true},
    {"ISRC", KYPROP_ISRC, true},
    {"REPLAYGAIN_TRACK_PEAK", KYPROP_PEAK, true},
    {"REPLAYGAIN_TRACK_GAIN", KYPROP_TRACK_GAIN, true},
    {"REPLAYGAIN_ALBUM_GAIN", KYPROP_ALBUM_GAIN, true},
    // Names other programs write for the same things.
    {"COMMENT", KYPROP_COMMENT, false},
    {"COMPOSER", KYPROP_COMPOSER, false},
    {"CONDUCTOR", KYPROP_CONDUCTOR, false},
    {"LABEL", KYPROP_PUBLISHER, false},
    {"YEAR", KYPROP_YEAR, false},
};

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameName(std::string_view a, const char* b) {
    size_t i = 0;
    for (; i < a.size(); ++i)
        if (!b[i] || upper(a[i]) != b[i]) return false;
    return b[i] == 0;
}

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

} // namespace

std::vector<kyVorbisComment> kyVorbisComments(kyPropertyTable& props) {
    std::vector<kyVorbisComment> out;
    for (const Field& f : kFields) {
        if (!f.written) continue;
        const char* text = props.getUtf8(f.slot);
        if (text && *text) out.push_back({f.name, text});
    }
    return out;
}

bool kyApplyVorbisComment(std::string_view entry, kyPropertyTable& props) {
    const size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    const std::string_view name = entry.substr(0, eq);
    for (const Field& f : kFields) {
        if (!sameName(name, f.name)) continue;
        const std::string_view value = entry.substr(eq + 1);
        if (value.empty() || props.getUtf8(f.slot)) return true;
        props.setUtf8(f.slot, value.data(), static_cast<int32_t>(value.size()));
        return true;
    }
    return false;
}

bool kyParseVorbisCommentBlock(const uint8_t* data, size_t size, kyPropertyTable& props) {
    if (!data || size < 8) return false;
    size_t pos = 0;
    const uint32_t vendor = get32(data);
    pos = 4;
    if (vendor > size - pos || size - pos - vendor < 4) return false;
    pos += vendor;
    const uint32_t count = get32(data + pos);
    pos += 4;
    // Every entry takes at least its length field.
    if (count > (size - pos) / 4) return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - pos < 4) return false;
        const uint32_t length = get32(data + pos);
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
