#pragma once
// Output file names: built from the ten-value name pattern of the settings, the disc
// record and one row; the folders a name implies; the question asked about a file that
// already exists.
//
// A name is relative to the output directory and uses "/" between folder levels. A "\"
// from the pattern or from a disc or track name makes a folder level; a "/" inside a name
// is replaced like the other characters a file name cannot hold. Names from a disc record
// are outside data, so every level is made harmless before it reaches the file system:
// empty levels are dropped (no name can start at the root), "." and ".." become "_" and
// "__", control characters become "_", and a level longer than 255 bytes is cut (the last
// one keeps its extension).
#include "app/rip_settings.h"
#include "metadata/disc_info.h"

#include <cstdint>
#include <string>
#include <string_view>

class kyBatchFrontend;

// Index of the first catalogue entry with a writer whose display name is `displayName`,
// with its extension; -1 when there is none.
int32_t findWriterFormatByName(std::string_view displayName, std::string* extension = nullptr);

// The file name for `row` (null: the first selected row of `disc`; empty when none is
// selected), ending in "." and `extension`.
std::string buildFileName(const RipSettings& settings, const DiscInfo& disc, const TrackEntry* row,
                          std::string_view extension);
// The same with the extension of the catalogue entry named by szFileFormat (the name ends
// with the dot when the catalogue has no such entry).
std::string buildFileName(const RipSettings& settings, const DiscInfo& disc, const TrackEntry* row);

// szOutDir with a trailing "/".
std::string outputDirectory(const RipSettings& settings);

// Creates `directory` and every folder level of `name` below it that is missing.
// Failures are left for the writer to report when it cannot create its file.
void makeSubDirectories(const std::string& directory, const std::string& name);

// The question about an existing output file (asked unless bNoOverwritePrompt is set).
// Write: go on and replace the file at `path`, which "Rename it" may have changed;
// Skip: leave the file as it is. "Replace All" sets bNoOverwritePrompt in `settings`.
enum class kyOverwriteDecision { Write, Skip };
kyOverwriteDecision checkOverwrite(RipSettings& settings, std::string& path,
                                   kyBatchFrontend& frontend);

// One folder level or file name made safe as described above (exposed for the playlist).
std::string kySafePathComponent(std::string component, bool keepExtension);
