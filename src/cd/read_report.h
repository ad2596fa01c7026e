#pragma once
// What the CD source found out while delivering one range: the sectors it could not
// confirm, the sectors it had to fill after read failures, and how many extra reads it
// made. Sector numbers are positions on the disc (after the read offset is applied).
#include <cstdint>
#include <optional>
#include <vector>

// Sectors first..last of the disc, both included.
struct kySectorSpan {
    uint32_t first = 0;
    uint32_t last = 0;
    bool operator==(const kySectorSpan&) const = default;
};

struct kyReadReport {
    // Sectors whose data the source could not confirm: a start it could not tie to the
    // disc, a read that did not line up with what came before, sectors settled by the
    // average of disagreeing reads, sectors filled after read failures. Sorted, merged.
    std::vector<kySectorSpan> suspect;
    // Sectors that never read and were filled (with silence) to go on.
    std::vector<uint32_t> filled;
    // Reads beyond the first of each chunk: realignment re-reads, the repeated reads of
    // scratch correction, the probes that confirm a start.
    uint32_t rereads = 0;
    // Starts the Q sub-channel placed where the reads' audio alone could not.
    uint32_t placedBySubQ = 0;
    // The sector named by the last "Couldn't read from file".
    std::optional<uint32_t> failedSector;

    bool clean() const { return suspect.empty(); }
    // Marks first..last as suspect, merging with what is already there.
    void addSuspect(uint32_t first, uint32_t last);
};
