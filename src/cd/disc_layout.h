#pragma once
// What a disc says about itself beyond the table of contents: CD-Text, the catalogue number,
// ISRCs, pregaps and indexes. Filled from a disc model (CUE sheet) or read from a drive.
#include <cstdint>
#include <string>
#include <vector>

// The text fields CD-Text carries for the disc (block 0) or for one track.
struct kyCdTextFields {
    std::string title;
    std::string performer;
    std::string songwriter;
    std::string composer;
    std::string arranger;
    std::string message;
    bool Empty() const {
        return title.empty() && performer.empty() && songwriter.empty() && composer.empty() &&
               arranger.empty() && message.empty();
    }
};

struct kyCdText {
    kyCdTextFields disc;
    std::vector<kyCdTextFields> tracks; // indexed by track number (entry 0 unused)
    std::string genre;                  // genre text, when the disc has one
    const kyCdTextFields* Track(uint32_t number) const {
        return number < tracks.size() ? &tracks[number] : nullptr;
    }
    bool Empty() const {
        if (!disc.Empty() || !genre.empty()) return false;
        for (const kyCdTextFields& t : tracks)
            if (!t.Empty()) return false;
        return true;
    }
};

struct kyTrackLayout {
    uint32_t number = 0;
    uint32_t pregapStart = 0;      // LBA of INDEX 00; equals start when the track has no pregap
    uint32_t start = 0;            // LBA of INDEX 01
    std::vector<uint32_t> indexes; // LBAs of INDEX 02, 03, ... in order
    std::string isrc;              // 12 characters, or empty
};

struct kyDiscLayout {
    std::string mcn; // 13 digits, or empty
    std::vector<kyTrackLayout> tracks; // every track of the table of contents, in order
    kyCdText cdText;
    bool gapsDetected = false; // pregaps and indexes were searched for, not assumed absent
    const kyTrackLayout* Track(uint32_t number) const {
        for (const kyTrackLayout& t : tracks)
            if (t.number == number) return &t;
        return nullptr;
    }
};
