#pragma once
// Finding a drive's read offset with a disc the AccurateRip database knows: the region
// around frame 450 of a few tracks is read without correction, and every offset in
// -5880..+5880 samples is tried against the frame-450 checksums of every pressing.
#include "cd/dsk_reader.h"
#include "metadata/accuraterip_client.h"

#include <string>

struct kyOffsetFinding {
    bool found = false;
    int32_t offset = 0;  // samples, as SetReadOffset takes it
    int tracks = 0;      // tracks whose checksum matched at that offset
    int pressings = 0;   // pressings that matched at that offset (any track)
    int tracksTried = 0; // tracks read and compared
    std::string message; // why nothing was found
};

inline constexpr int32_t kMaxReadOffset = 5880;

// Reads up to `maxTracks` audio tracks' regions from the open disc in `reader` in burst mode
// (the read offset set to 0 for this and put back afterwards; the read mode is left at
// burst) and searches. Found when the best
// offset is agreed by two tracks (one when only one could be read).
kyOffsetFinding kyFindReadOffset(kyDskReader& reader, const kyAccurateRipRecord& record,
                                 int maxTracks = 4);
