#pragma once
// Vorbis comments: "NAME=value" entries of UTF-8 text, names compared without regard to
// case. FLAC files carry them in their comment block, Ogg Vorbis streams (also inside WAV
// files) in their second header packet; the FLAC and Ogg writers and readers all map
// them to properties here.
#include "core/property_table.h"
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct kyVorbisComment {
    std::string name;
    std::string value;
};

// The entries for the properties present in `props`, in the table's order.
std::vector<kyVorbisComment> kyVorbisComments(kyPropertyTable& props);

struct kyTagPicture;
// The front cover (slot 47) as a FLAC PICTURE block's body: type 3, MIME type, no
// description, sizes left 0, the image.
std::vector<uint8_t> kyFlacPictureBlock(const kyTagPicture& picture);
// The front cover as the METADATA_BLOCK_PICTURE comment of Ogg streams (that block in
// base64); none without a cover.
std::optional<kyVorbisComment> kyVorbisPictureComment(kyPropertyTable& props);

// Sets the properties one "NAME=value" entry carries, each unless it already has a value
// (the first of repeated names counts). False when the entry names no property or
// is not an entry at all.
bool kyApplyVorbisComment(std::string_view entry, kyPropertyTable& props);

// Reads a comment block as FLAC stores it and Vorbis's comment packet holds after its
// 7-byte packet header: vendor length and text, entry count, then each entry's length and
// text, lengths 32-bit little-endian. Sets the properties of the entries that fit; false
// when the block is cut short or its counts do not fit its size.
bool kyParseVorbisCommentBlock(const uint8_t* data, size_t size, kyPropertyTable& props);
