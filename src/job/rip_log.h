#pragma once
// The rip log: a text beside the files (named like the playlist, with ".log") that says
// how the disc was read and what each file holds, so that a rip can be judged later.
#include "cd/disc_toc.h"
#include "job/file_record.h"
#include "metadata/accuraterip_client.h"

#include <string>
#include <vector>

struct kyRipLogContext {
    std::string date;  // "2026-12-07 15:04:05 UTC"
    std::string drive; // vendor and product as the drive names itself
    uint32_t readMode = 0;
    int32_t readOffset = 0;
    int32_t speed = 255; // 255: the drive's maximum
    bool testAndCopy = false;
    bool keepPreEmphasis = false;
    kyDiscToc toc;
    const kyAccurateRipRecord* accurateRip = nullptr;
    std::string verifiedBurst; // how verified burst went about the batch (its mode only)
};

// The read mode as the log and the settings name it: "Burst mode", ..., "Verified burst mode".
const char* kyReadModeName(uint32_t mode);

// The whole log text: the heading, one block per file, the summary line last.
std::string kyRipLogText(const kyRipLogContext& context, const std::vector<kyFileRecord>& files);
// How verified burst settled a file, for its "Settled" line; empty outside that mode.
std::string kyVerifiedBurstNote(const kyFileRecord& file);
// Only the summary: "All tracks accurately ripped", or which tracks are not.
std::string kyRipLogSummary(const std::vector<kyFileRecord>& files);
// The log's path for a playlist path: the extension replaced by ".log".
std::string kyRipLogPath(const std::string& playlistPath);
// Writes the log whole or not at all (an earlier one of that name stays until the new one is
// complete). False with a message.
bool kyWriteRipLog(const std::string& path, const std::string& text, std::string& error);
// The current time for the log, in UTC.
std::string kyRipLogDate();
