#pragma once
// CD-Text as drives return it (READ TOC/PMA/ATIP format 5): 18-byte packs, each a pack type,
// a track number, a sequence number, a block and character position byte, 12 bytes of text
// and a CRC. Strings of one type run on from pack to pack, each ended by a NUL, the disc's
// first and then one per track; a lone TAB repeats the previous track's string. Three size
// packs (0x8F) close a block with its character code, track range and pack counts.
#include "cd/disc_layout.h"
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t KY_CD_TEXT_PACK_BYTES = 18;

// The pack CRC: CRC-16 with the polynomial x^16 + x^12 + x^5 + 1, initial value 0, stored
// inverted and big-endian after the data. The Q sub-channel uses the same code.
uint16_t kyCdTextCrc(const uint8_t* data, size_t bytes);

// Packs of block 0 (character code ISO 8859-1, language English) for tracks first..last:
// titles, performers, songwriters, composers, arrangers, messages and the genre, each type
// only when some string of it is not empty, then the size packs. Text is UTF-8 in `text`;
// characters outside Latin-1 become "?". A block holds at most 256 packs: a type whose packs
// no longer fit is left out whole (the later types first). Empty when there is no text.
std::vector<uint8_t> kyBuildCdTextPacks(const kyCdText& text, uint32_t firstTrack,
                                        uint32_t lastTrack);

struct kyCdTextParseReport {
    uint32_t packs = 0;   // whole packs in the answer
    uint32_t badCrc = 0;  // ignored for their CRC
    uint32_t ignored = 0; // of other blocks, unknown types or inconsistent
};

// Reads the packs of block 0 into `text` (UTF-8). A pack with a bad CRC is ignored, and the
// string it would have continued is left out rather than guessed. Text in a character code
// other than ISO 8859-1 or ASCII (a double-byte block) is not read. Any bytes are safe.
kyCdTextParseReport kyParseCdTextPacks(const uint8_t* packs, size_t bytes, kyCdText& text);
