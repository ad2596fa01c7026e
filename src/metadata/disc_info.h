#pragma once
// The disc record: what the track list shows and edits, what the freedb look-up and the
// local store fill, and what the batch reads to name files and to tag the stream. All text
// is UTF-8.
#include "cd/disc_toc.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One row of the track list: a track of the disc, or a user-defined ("virtual") range,
// which carries a negative number.
struct TrackEntry {
    int32_t number = 0;
    uint32_t start = 0;  // first frame (sector × 588)
    uint32_t length = 0; // frames (sectors × 588)
    std::string name;
    std::string extended; // EXTT
    bool data = false;
    bool preEmphasis = false;
    bool selected = false;

    // From a MusicBrainz release; empty otherwise.
    // (Initialised, so that rows written as {number, start, ...} need not name them.)
    std::string artist{};    // the track's own artist credit (empty: the disc's artist)
    std::string artistIds{}; // MusicBrainz ids of the track's artists, "/" between them
    std::string recordingId{};
    std::string trackId{}; // the track on the release (a recording may be on many)
    std::string isrc{};
};

// What a MusicBrainz release adds to the disc record. All empty when the names came from
// elsewhere.
struct DiscRelease {
    std::string releaseId;
    std::string releaseGroupId;
    std::string artistIds;    // the album artists' ids, "/" between them
    std::string discId;       // the MusicBrainz disc id of the disc the names belong to
    std::string date;         // "YYYY", "YYYY-MM" or "YYYY-MM-DD"
    std::string originalDate; // the release group's first release
    std::string country;
    std::string label;
    std::string catalogNumber;
    std::string barcode;
    std::string format;     // of the disc ("CD", "Enhanced CD", ...)
    int32_t discNumber = 0; // this disc's position in the release, 0 when unknown
    int32_t discTotal = 0;  // discs in the release, 0 when unknown

    bool empty() const { return releaseId.empty(); }
};

// A front cover image, shared by the copies of a record.
struct CoverImage {
    std::string bytes;
    std::string mimeType; // "image/jpeg"
};

// The freedb categories in their fixed order, with the names shown for them.
constexpr int kCategoryCount = 11;
// "blues" ... "misc"; null outside 0..10.
const char* categoryName(int index);
// "Blues" ... "Other"; null outside 0..10.
const char* categoryDisplayName(int index);
// Index of a category name (exact, lower case as freedb sends it); -1 when unknown.
int categoryIndex(std::string_view name);

// The name a row gets when it is made from the table of contents: "Track 07", "Data 02",
// and for a data track 1 "Data CD", "Data DVD" or "Data BD" by its length in CD frames
// (sectors).
std::string defaultTrackName(int32_t number, bool data, uint32_t lengthSectors);

struct kyDemoDiscRecord;
struct kyCdText;

struct DiscInfo {
    std::string discId;    // DISCID, at most 10 characters
    int32_t revision = -1; // -1: the disc is not in the database
    std::string artist;
    std::string title;
    std::string genre;
    std::string extended; // EXTD
    int category = -1;    // index into the category table, -1 for none
    int32_t year = 0;     // below 1: no year
    std::vector<TrackEntry> tracks;
    DiscRelease release{};                     // when the names come from MusicBrainz
    std::shared_ptr<const CoverImage> cover{}; // the release's front cover, when fetched

    // Empties the texts, the disc id, category, year and release; revision -1. The rows
    // stay.
    void clear();
    // One row per track of `toc` from the first to the last, replacing every row.
    void makeRows(const kyDiscToc& toc);
    void appendRow(TrackEntry row) { tracks.push_back(std::move(row)); }
    // Removes row `index`; an index outside the list is ignored.
    void removeRow(size_t index);
    int32_t trackCount() const { return static_cast<int32_t>(tracks.size()); }

    // The genre text, or the category's display name when the text is empty (empty when
    // there is no category either).
    std::string genreText() const;
};

// Names that come with a disc image (the demo disc's): artist, album, genre, year, and the
// titles of the audio rows in order.
void applyDiscRecord(const kyDemoDiscRecord& record, DiscInfo& info);
// Names from the disc's CD-Text: album and artist, genre, the disc's and tracks' messages,
// each track's title, and a track's performer where it is not the album's. False (and
// `info` untouched) when the text names neither the disc nor any track.
bool applyCdText(const kyCdText& text, DiscInfo& info);
