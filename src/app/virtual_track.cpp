#include "app/virtual_track.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr uint64_t kFramesPerSecond = 75;
constexpr uint64_t kSamples = 588; // per frame (sector)
// Far beyond any disc (about 74 days), and small enough that no sum of fields overflows.
constexpr uint64_t kMaxFieldValue = 999999999;

bool fieldValue(std::string_view text, uint64_t& value) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > kMaxFieldValue) return false;
    }
    return true;
}

std::string timeText(uint64_t frames) {
    const uint64_t seconds = frames / kFramesPerSecond;
    return std::to_string(seconds / 3600) + "h" + std::to_string(seconds / 60 % 60) + "m" +
           std::to_string(seconds % 60) + "s";
}

} // namespace

VirtualTrackTime timeFields(uint64_t frames) {
    const uint64_t seconds = frames / kFramesPerSecond;
    return {std::to_string(seconds / 3600), std::to_string(seconds / 60 % 60),
            std::to_string(seconds % 60), std::to_string(frames % kFramesPerSecond)};
}

bool timeFrames(const VirtualTrackTime& fields, uint64_t& frames) {
    static constexpr uint64_t kScale[4] = {270000, 4500, 75, 1};
    frames = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        uint64_t v = 0;
        if (!fieldValue(fields[i], v)) return false;
        frames += v * kScale[i];
    }
    return true;
}

VirtualTrackCheck checkVirtualTrack(const VirtualTrackTime& start, const VirtualTrackTime& end,
                                    uint64_t leadOut, uint64_t& startFrame, uint64_t& endFrame) {
    if (!timeFrames(start, startFrame) || startFrame > leadOut) return VirtualTrackCheck::BadStart;
    // The row holds its range in 32-bit sample counts, one sector past the end frame.
    if (!timeFrames(end, endFrame) || endFrame > leadOut || endFrame < startFrame ||
        (endFrame + 1) * kSamples > UINT32_MAX)
        return VirtualTrackCheck::BadEnd;
    return VirtualTrackCheck::Ok;
}

const char* virtualTrackMessage(VirtualTrackCheck check) {
    switch (check) {
    case VirtualTrackCheck::BadStart:
        return "Invalid start time entry";
    case VirtualTrackCheck::BadEnd:
        return "Invalid end time entry";
    case VirtualTrackCheck::Ok:
        break;
    }
    return "";
}

void virtualTrackPreset(const DiscInfo& disc, uint64_t leadOut, uint64_t& start, uint64_t& end) {
    start = end = 0;
    if (disc.tracks.empty()) return;
    const TrackEntry& first = disc.tracks.front();
    const TrackEntry& last = disc.tracks.back();
    start = std::min<uint64_t>(first.start / kSamples, leadOut);
    end = std::min<uint64_t>((uint64_t(last.start) + last.length) / kSamples,
                             leadOut);
    end = std::max(end, start);
}

TrackEntry makeVirtualTrack(uint64_t startFrame, uint64_t endFrame) {
    TrackEntry row;
    row.number = -1;
    row.start = static_cast<uint32_t>(startFrame * kSamples);
    row.length = static_cast<uint32_t>((endFrame - startFrame + 1) * kSamples);
    row.selected = true;
    row.name = "From " + timeText(startFrame) + " to " + timeText(endFrame);
    return row;
}
