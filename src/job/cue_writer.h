#pragma once
// The CUE sheet a batch writes beside its playlist: the files written, with each track's
// INDEX lines placed in the file that holds them (a track's pregap lies at the end of the
// file before it when every track has a file of its own), the catalogue number, ISRCs,
// flags, names (the disc record's, else the disc's CD-Text), REM GENRE, DATE, DISCID and
// COMMENT. Sectors before the first file's (track 1's pregap when it was not ripped)
// become a PREGAP, so that the sheet loads to the disc's table of contents again.
#include "cd/disc_layout.h"
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"

#include <cstdint>
#include <string>
#include <vector>

// One written file of the batch.
struct kyCueFile {
    std::string name;         // relative to the sheet's folder, "/" between levels
    uint32_t firstSector = 0; // the disc sectors it holds: first .. end - 1
    uint32_t endSector = 0;
};

// The sheet's text (UTF-8, CR LF line ends). Tracks whose INDEX 01 lies in none of the
// files are left out; the tracks that are described are numbered from 1 in disc order.
std::string kyCueSheetText(const DiscInfo& disc, const kyDiscToc& toc, const kyDiscLayout& layout,
                           const std::vector<kyCueFile>& files);

// Where the sheet goes: the playlist's name with ".cue".
std::string kyCueSheetPath(const std::string& directory, const DiscInfo& disc);

// Writes the sheet under a temporary name and puts it in place when complete. False with
// a message naming the file when it cannot be.
bool kyWriteCueSheet(const std::string& path, const std::string& text, std::string& error);
