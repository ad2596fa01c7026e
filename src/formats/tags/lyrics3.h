#pragma once
// Lyrics3 blocks (v1 "LYRICSBEGIN"..."LYRICSEND", v2 "LYRICSBEGIN"...size "LYRICS200"),
// which sit between the audio and an ID3v1 tag. They are recognised only to be skipped.
#include "formats/tags/file_tags.h"
#include <cstdint>

// The size of the Lyrics3 block that ends at `end` and begins at or after `start`; 0 when
// there is none. False only when a read fails.
bool kyLyrics3BlockSize(const kyTagReadFn& read, uint64_t start, uint64_t end, uint64_t& size);
