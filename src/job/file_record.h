#pragma once
// What became of one output file of a batch: written by the batch runner, read by the
// front ends' summaries, the command line's JSON and a rip log.
#include "cd/disc_toc.h"
#include "cd/read_report.h"
#include "core/error.h"
#include "metadata/accuraterip_client.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class kyFileOutcome {
    Ok,        // written, and every sector of it confirmed
    Suspect,   // written and kept, but not all of it could be confirmed
    Skipped,   // left as it was at the overwrite prompt
    Failed,    // not written (an earlier file of that name is as it was)
    Cancelled, // stopped (likewise)
};

// How a verified burst rip settled a file.
enum class kyVerifiedBurst {
    None,      // not a verified burst rip
    Confirmed, // the burst read, every track of it confirmed by AccurateRip
    Reread,    // the burst read was not confirmed: read again in scratch correcting mode
    Secure,    // no AccurateRip record to check against: read in scratch correcting mode
    BurstKept, // the secure re-read failed: the burst read kept, unconfirmed
};

struct kyFileRecord {
    std::string path;
    int32_t firstTrack = 0; // track numbers of the group's first and last rows
    int32_t lastTrack = 0;
    uint32_t firstSector = 0; // the disc range read: first .. end - 1
    uint32_t endSector = 0;
    kyFileOutcome outcome = kyFileOutcome::Ok;
    kyError error = KY_OK;   // the failure, for a failed file
    std::string errorDetail; // what the failure concerned ("sector 1234 (track 2, 00:10.34)")
    std::string errorText;   // its message as shown, with the system's reason if known
    // Disc sectors that could not be confirmed, and those filled after read failures.
    std::vector<kySectorSpan> suspect;
    std::vector<uint32_t> filled;
    uint32_t rereads = 0; // reads beyond the first of every chunk, both passes together
    // CRC-32 of the audio as read from the disc (offset-corrected, before any processing)
    // of the pass that wrote the file, and of the test pass before it.
    std::optional<uint32_t> copyCrc;
    std::optional<uint32_t> testCrc;
    int32_t readOffset = 0; // samples, as applied
    // Per track of the file, its AccurateRip checksums and what the database said.
    struct AccurateRip {
        int32_t track = 0;
        kyAccurateRipSums sums;
        kyAccurateRipTrackVerdict verdict;
    };
    std::vector<AccurateRip> accurateRip;
    // The copy was read in scratch correcting mode: every sector not listed as suspect was
    // confirmed by reads that agree.
    bool secureRead = false;
    // Verified burst: how the file was settled; for a file read again, the burst read's
    // checksum and verdicts (why it was read again), and what stopped a failed re-read.
    kyVerifiedBurst verified = kyVerifiedBurst::None;
    std::optional<uint32_t> burstCrc;
    std::vector<AccurateRip> burstAccurateRip;
    std::string verifyNote;
};

// "ok", "suspect", "skipped", "failed", "cancelled".
const char* kyFileOutcomeText(kyFileOutcome outcome);
// "confirmed", "reread", "secure", "burst-kept" (null for None).
const char* kyVerifiedBurstText(kyVerifiedBurst settled);

// Where a disc sector lies: "track 3, 02:14.37" (minutes, seconds and sectors of 1/75 s
// from the track's start), or "lead-in" before the first track.
std::string kySectorPlace(const kyDiscToc& toc, uint32_t sector);
// "sectors 1234-1240 (track 3, 00:16.34 to 00:16.40)", or "sector 1234 (track 3, ...)".
std::string kySpanText(const kyDiscToc& toc, const kySectorSpan& span);
