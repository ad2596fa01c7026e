#include "formats/tags/genres.h"
#include "formats/tags/id3v1.h"
#include "formats/tags/tag_text.h"
#include <cstring>
#include <string>

bool kyParseId3v1Tag(const uint8_t* tag, size_t size, kyPropertyTable& props) {
    if (size < KY_ID3V1_SIZE || std::memcmp(tag, "TAG", 3) != 0) return false;
    auto field = [&](uint32_t slot, size_t offset, size_t width) {
        const std::string text = kyTagSingleByteText(tag + offset, width);
        if (!text.empty()) props.setUtf8(slot, text);
    };
    field(KYPROP_TITLE, 3, 30);
    field(KYPROP_ARTIST, 33, 30);
    field(KYPROP_ALBUM, 63, 30);
    field(KYPROP_YEAR, 93, 4);
    // ID3v1.1: a zero byte, then the track number, in the last two bytes of the comment.
    const bool v11 = tag[125] == 0 && tag[126] != 0;
    field(KYPROP_COMMENT, 97, v11 ? 28 : 30);
    if (v11) props.setUtf8(KYPROP_TRACK_NUMBER, std::to_string(tag[126]));
    if (const char* genre = kyGenreName(tag[127])) props.setUtf8(KYPROP_GENRE, genre);
    return true;
}
