#pragma once
// ID3v2 tags. Written as ID3v2.3 before the first audio frame of MPEG and AAC streams;
// read in versions 2.2, 2.3 and 2.4 (unsynchronisation, extended header, footer) into the
// property table: the text frames of the frame table, COMM, WXXX, the TXXX frames of the
// user text table (ReplayGain, MusicBrainz ids), RGAD, TPOS and MusicBrainz's UFID. The
// writer adds the front cover (APIC) of slot 47.
#include "core/error.h"
#include "core/property_table.h"
#include "platform/file_io.h"
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t KY_ID3V2_HEADER_SIZE = 10;
// The owner of the UFID frame that carries a recording's MusicBrainz id.
inline constexpr const char* KY_ID3V2_MUSICBRAINZ_OWNER = "http://musicbrainz.org";

struct kyId3v2Options {
    // Zero bytes after the frames, counted in the tag's size, so that a later editor can
    // grow the tag in place.
    uint32_t padding = 0;
};

// The whole tag for `props` (header, frames, padding), or nothing when no frame has
// content. May throw std::bad_alloc.
std::vector<uint8_t> kyBuildId3v2Tag(kyPropertyTable& props, const kyId3v2Options& options = {});

// Writes the tag at `offset` (kyCurrentPosition: at the file position, which then moves
// past it). KY_OK with `written` set to its size; KY_NOTHING_DONE when no frame has content;
// "Couldn't write to file" when not every byte was written; "Out of memory".
kyError WriteId3v2Tag(int fd, uint64_t offset, kyPropertyTable& props, uint64_t* written = nullptr,
                      const kyId3v2Options& options = {});

// The size of the tag whose header starts at `header` (at least 10 bytes), footer included;
// 0 when the bytes are not an ID3v2 header.
size_t kyId3v2TagSize(const uint8_t* header, size_t size);
// The size of the tag that ends with the ID3v2.4 footer at `footer` (10 bytes); 0 when
// they are not a footer.
size_t kyId3v2TagSizeFromFooter(const uint8_t* footer, size_t size);

// Parses a whole tag (from its header; a tag cut short is read as far as it goes) and sets
// the properties it carries. False when `data` does not start with a tag this parser knows
// (version 2.2 to 2.4).
bool kyParseId3v2Tag(const uint8_t* data, size_t size, kyPropertyTable& props);
