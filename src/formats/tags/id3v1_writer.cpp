#include "formats/tags/file_tags.h"
#include "formats/tags/genres.h"
#include "formats/tags/id3v1.h"
#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

// Copies at most `max` bytes of a property's single-byte text; the rest stays zero.
bool putField(uint8_t* dst, size_t max, const char* text) {
    if (!text || !*text) return false;
    std::memcpy(dst, text, std::min(std::strlen(text), max));
    return true;
}

// The leading integer of the track number ("3/12" is 3), when it fits the byte.
uint8_t trackByte(const char* text) {
    if (!text) return 0;
    while (*text == ' ') ++text;
    unsigned value = 0;
    auto r = std::from_chars(text, text + std::strlen(text), value);
    return r.ec == std::errc() && value <= 255 ? static_cast<uint8_t>(value) : 0;
}

} // namespace

std::optional<std::array<uint8_t, KY_ID3V1_SIZE>> kyBuildId3v1Tag(kyPropertyTable& props) {
    std::array<uint8_t, KY_ID3V1_SIZE> tag{};
    std::memcpy(tag.data(), "TAG", 3);
    bool content = false;
    content |= putField(&tag[3], 30, props.getA(KYPROP_TITLE));
    content |= putField(&tag[33], 30, props.getA(KYPROP_ARTIST));
    content |= putField(&tag[63], 30, props.getA(KYPROP_ALBUM));
    const char* year = props.getA(KYPROP_YEAR);
    if (year && std::strlen(year) >= 4) content |= putField(&tag[93], 4, year);
    content |= putField(&tag[97], 28, props.getA(KYPROP_COMMENT));
    // tag[125] stays 0: the ID3v1.1 marker before the track byte.
    const char* track = props.getA(KYPROP_TRACK_NUMBER);
    tag[126] = trackByte(track);
    content |= track != nullptr;
    // Without a genre the byte says "none" (255) rather than inventing "Other".
    const char* genre = props.getA(KYPROP_GENRE);
    tag[127] = genre ? static_cast<uint8_t>(GenreIndex(genre)) : 0xFF;
    content |= genre != nullptr;
    if (!content) return std::nullopt;
    return tag;
}

kyError WriteId3v1Tag(int fd, uint64_t offset, kyPropertyTable& props) {
    const auto tag = kyBuildId3v1Tag(props);
    if (!tag) return KY_NOTHING_DONE;
    return kyWriteTagBlock(fd, offset, tag->data(), tag->size(), nullptr);
}
