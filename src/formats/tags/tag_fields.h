#pragma once
// Which field of each tag kind carries which property slot. Writers walk a table in order
// and write the fields marked `written`; readers look a field up by its key and set its
// slot. Every tag kind (ID3v2, APE, and the comment blocks of other containers) keeps its
// table here, so no format repeats one.
#include <cstdint>
#include <span>
#include <string_view>

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
// Vorbis files carry them.
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

// Slots 23 (track gain), 24 (album gain) and 27 (track peak): the ReplayGain fields a
// caller may leave out of a tag.
bool kyIsReplayGainSlot(uint32_t slot);
