#pragma once
// Renaming track rows by a pair of wildcard patterns: "* - *" matched and "* (*)" written
// turns "Song - Live" into "Song (Live)".
#include "metadata/disc_info.h"

#include <optional>
#include <string>
#include <string_view>

struct PatternRename {
    std::string match = "*";  // "?" takes one character, "*" a run of them
    std::string output = "*"; // "*" writes the rest of a capture, "?" one character of it
    bool selectedOnly = false;
    bool matchCase = false;
};

// The new name for `name` (UTF-8): the text after its last "." is dropped, the rest is
// matched against the match pattern and written by the output pattern. Nothing when the
// name does not match or the result is empty.
std::optional<std::string> renameByPattern(std::string_view name, const PatternRename& rename);

// Renames every row (or every selected row); returns how many names changed.
int applyPatternRename(DiscInfo& disc, const PatternRename& rename);
