#pragma once
// Virtual tracks: ranges of the disc given by start and end time as hours, minutes,
// seconds and frames (75 a second), checked against the disc and made into track rows.
#include "metadata/disc_info.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Hours, minutes, seconds and frames as typed.
using VirtualTrackTime = std::array<std::string, 4>;

// The four fields of a frame number.
VirtualTrackTime timeFields(uint64_t frames);
// The frame number of four fields: each may hold leading spaces and then only digits (an
// empty field counts as 0). False for anything else, and for a value too large to be a
// position on any disc.
bool timeFrames(const VirtualTrackTime& fields, uint64_t& frames);

enum class VirtualTrackCheck { Ok, BadStart, BadEnd };
// Checks both times: each must read as a frame number, and 0 <= start <= end <= leadOut.
VirtualTrackCheck checkVirtualTrack(const VirtualTrackTime& start, const VirtualTrackTime& end,
                                    uint64_t leadOut, uint64_t& startFrame, uint64_t& endFrame);
// "Invalid start time entry" or "Invalid end time entry"; empty for Ok.
const char* virtualTrackMessage(VirtualTrackCheck check);

// The frames the dialog starts with: the first frame of the first row and the end of the
// last row (its start plus its length), kept within the lead-out.
void virtualTrackPreset(const DiscInfo& disc, uint64_t leadOut, uint64_t& start, uint64_t& end);

// The row for a checked range: number -1, selected, named "From 0h2m0s to 0h3m10s", one
// sector longer than the range so that the end frame itself is read.
TrackEntry makeVirtualTrack(uint64_t startFrame, uint64_t endFrame);
