#pragma once
// The names older CD player programs kept in cdplayer.ini, read as a fall-back when the
// database has no record of a disc. One section per disc, named by the disc key in
// upper-case hexadecimal: numtracks, artist, title, and the track names under "0", "1", ...
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"

#include <cstdint>
#include <string>

// The sum over the audio tracks of minutes × 65536 + seconds × 256 + frames of each
// track's start address (plus the two-second lead-in). Data tracks do not count.
uint32_t cdPlayerIniKey(const kyDiscToc& toc);

// $XDG_CONFIG_HOME/Velmora/cdplayer.ini (empty when no home is known).
std::string cdPlayerIniPath();

// Fills the artist, the title and the track names from the disc's section of the file at
// `path` (the default file when empty). Text that is not valid UTF-8 is read as
// Windows-1252. False, with `info` unchanged, when the file has no section for the disc or
// its numtracks is 0 or more than the rows of `info`.
bool readCdPlayerIni(DiscInfo& info, const kyDiscToc& toc, const std::string& path = {});
