#pragma once
// Which field of each tag kind carries which property slot. Writers walk a table in order
// and write the fields marked `written`; readers look a field up by its key and set its
// slot. Every tag kind (ID3v2, APE, and the comment blocks of other containers) keeps its
// table here, so no format repeats one.
#include "core/property_table.h"
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct kyTagField {
    const char* key; // the tag's own name: frame id, item key, description
    uint32_t slot;
    bool written; // false: only recognised when reading
};

// ID3v2.3 text frames and COMM, in writing order; TDRC (ID3v2.4) is read only.
std::span<const kyTagField> kyId3v2Fields();
// ID3v2 user text frames (TXXX), by description (compared case-insensitively).
std::span<const kyTagField> kyId3v2UserTextFields();
// APE tag items, in writing order (keys compared case-insensitively).
std::span<const kyTagField> kyApeTagFields();
// Vorbis comment names, in writing order (compared case-insensitively), as FLAC and Ogg
// Vorbis files carry them. A name may carry several slots (DATE: the release date, else
// the year); reading sets each of them.
std::span<const kyTagField> kyVorbisCommentFields();

// MPEG-4 metadata atoms, in writing order: one table for the QuickTime user-data text
// atoms and the iTunes metadata list. Types beginning with the copyright sign hold the byte
// 0xA9 (never its UTF-8 form).
std::span<const kyTagField> kyMp4AtomFields();
// iTunes freeform items ("----" atoms under the mean "com.apple.iTunes"), by name
// (compared case-insensitively), in writing order.
std::span<const kyTagField> kyMp4FreeformFields();

// ID3v2.2's three-character frame ids and the ID3v2.3 id each stands for.
struct kyId3v22Alias {
    const char* v22;
    const char* v23;
};
std::span<const kyId3v22Alias> kyId3v22Aliases();

// The entry of `table` whose key equals `key`, or null.
const kyTagField* kyFindTagField(std::span<const kyTagField> table, std::string_view key,
                                 bool ignoreCase = false);

// The text to write for `table[index]`: its slot's, unless the field is only read or an
// earlier written field of the same key has a text (each key is written once, from the
// first slot that has one). Null when there is nothing to write.
const char* kyTagFieldText(std::span<const kyTagField> table, size_t index, kyPropertyTable& props);

// Slots 23 (track gain), 24 (album gain) and 27 (track peak): the ReplayGain fields a
// caller may leave out of a tag.
bool kyIsReplayGainSlot(uint32_t slot);

// The disc number as tags write it: "2/3" with the disc total, "2" without; empty without
// a disc number.
std::string kyDiscNumberText(kyPropertyTable& props);
// Sets the disc number and total from such a text.
void kySetDiscNumber(kyPropertyTable& props, std::string_view text);

// The front cover a tag embeds: the image file named by slot 47 (a JPEG or PNG of at most
// KY_MAX_TAG_PICTURE_BYTES). False when there is none or it is not such an image.
constexpr uint64_t KY_MAX_TAG_PICTURE_BYTES = 16 * 1024 * 1024;
struct kyTagPicture {
    std::vector<uint8_t> bytes;
    const char* mimeType = "";
};
bool kyReadTagPicture(kyPropertyTable& props, kyTagPicture& picture);
