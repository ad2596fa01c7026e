#pragma once
// The disc's table of contents: per track its first sector, length and CONTROL flags.
#include <cstddef>
#include <cstdint>

struct kyTocEntry {
    uint32_t start = 0;        // first sector (LBA)
    uint32_t length = 0;       // sectors; 0 for the lead-out record
    uint8_t data = 0;          // CONTROL bit 2
    uint8_t preEmphasis = 0;   // CONTROL bit 0
    uint8_t copyPermitted = 0; // CONTROL bit 1
    uint8_t fourChannel = 0;   // CONTROL bit 3

    // The four flags from the low nibble of an ADR/CONTROL byte.
    void SetControl(uint8_t adrControl) {
        preEmphasis = adrControl & 1;
        copyPermitted = (adrControl >> 1) & 1;
        data = (adrControl >> 2) & 1;
        fourChannel = (adrControl >> 3) & 1;
    }
};

struct kyDiscToc {
    uint32_t firstTrack = 0;
    uint32_t lastTrack = 0;
    // Indexed by track number; the record after the last track is the lead-out. One more
    // than 100 so that a disc with track 99 still has room for its lead-out.
    kyTocEntry entries[101];

    // From a READ TOC format 0 answer (LBA addresses). False when the answer is unusable.
    bool BuildFromPlain(const uint8_t* plain, size_t bytes);
    // Sessions, lead-outs and skip intervals from a READ TOC format 2 answer.
    void RefineFromFull(const uint8_t* full, size_t bytes);
};

// LBA of a minutes/seconds/frames address: 00:02:00 is LBA 0.
inline int32_t kyMsfToLba(uint32_t m, uint32_t s, uint32_t f) {
    return static_cast<int32_t>((m * 60 + s) * 75 + f) - 150;
}
