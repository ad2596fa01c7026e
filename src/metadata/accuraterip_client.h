#pragma once
// The AccurateRip database: the disc's ids from its table of contents, the address of its
// dBAR record, the record fetched (one GET, nothing else is sent) and parsed, and each
// ripped track's checksums held against every pressing in it.
//
// A dBAR record is a sequence of pressings, each a 13-byte header (track count, id1, id2,
// freedb id; numbers little-endian) followed per track by 9 bytes: the confidence (how
// many rips agreed), the track's checksum (v1 or v2) and its frame-450 checksum.
#include "cd/accuraterip_tap.h"
#include "cd/disc_toc.h"
#include "platform/http_client.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kAccurateRipDefaultServer = "http://www.accuraterip.com";

struct kyAccurateRipIds {
    uint32_t audioTracks = 0; // tracks the record lists: the audio ones
    uint32_t id1 = 0;         // sum of the audio tracks' starts and the end
    uint32_t id2 = 0;         // the same, each weighted by its track number
    uint32_t freedb = 0;      // the freedb disc id, of every track
};

// The ids of a table of contents. Data tracks (an enhanced CD's last one) are not among
// the record's tracks and their starts do not count, but the disc's lead-out ends the sums,
// weighted as if it followed the audio tracks. Zero track count for an unusable table.
kyAccurateRipIds kyAccurateRipDiscIds(const kyDiscToc& toc);
// "a/b/c/dBAR-012-0012abcd-00a1b2c3-b10c770c.bin": the record's path below
// "<server>/accuraterip/".
std::string kyAccurateRipPath(const kyAccurateRipIds& ids);

struct kyAccurateRipEntry {
    uint8_t confidence = 0;
    uint32_t crc = 0;
    uint32_t frame450 = 0;
};

struct kyAccurateRipPressing {
    kyAccurateRipIds ids;
    std::vector<kyAccurateRipEntry> tracks;
};

// Every pressing of a record. False with a message when the bytes are not a whole record
// (empty, cut off inside a pressing, a pressing of no tracks).
bool kyParseDbar(std::string_view bytes, std::vector<kyAccurateRipPressing>& pressings,
                 std::string& error);
// The record's bytes for `pressings` (for tests and offset tools).
std::string kyMakeDbar(const std::vector<kyAccurateRipPressing>& pressings);

// What the database says of one ripped track.
enum class kyAccurateRipResult {
    Match,    // v1 or v2 found in a pressing
    Mismatch, // the disc is known, the track's checksums are not
    NotFound, // the database does not know the disc (or no rip of the track was submitted)
    Offline,  // no usable answer came
    Skipped,  // not asked (switched off, or the track not read whole)
};
// "match", "mismatch", "not-found", "offline", "skipped".
const char* kyAccurateRipResultText(kyAccurateRipResult result);

struct kyAccurateRipTrackVerdict {
    kyAccurateRipResult result = kyAccurateRipResult::Skipped;
    std::optional<int> confidence; // of the best pressing that matches
    bool v2 = false;               // the match was of the v2 checksum
    int pressings = 0;             // pressings that match
};

// The record of one disc, as fetched.
struct kyAccurateRipRecord {
    kyAccurateRipResult state = kyAccurateRipResult::Skipped; // Match: the record is here
    std::string message;  // why it is offline or not found, for the log
    kyAccurateRipIds ids; // of the disc asked for
    std::vector<kyAccurateRipPressing> pressings;

    // The verdict for track `number` (1-based position among the disc's audio tracks).
    kyAccurateRipTrackVerdict verdict(uint32_t position, const kyAccurateRipSums& sums) const;
};

struct kyAccurateRipOptions {
    std::string server = kAccurateRipDefaultServer; // http(s)://host[:port] or host[:port]
    kyHttpTimeouts timeouts{10000, 10000, 30000};
    size_t maxBytes = 1 << 20;
    std::string proxy;
    std::function<bool()> keepGoing;
};

// Fetches and parses the disc's record: state Match with its pressings, NotFound (404),
// or Offline with a message (no answer, a time-out, another status, a bad record).
kyAccurateRipRecord kyFetchAccurateRip(const kyDiscToc& toc, const kyAccurateRipOptions& options);
