#pragma once
// The disc record: what the track list shows and edits, what the freedb look-up and the
// local store fill, and what the batch reads to name files and to tag the stream. All text
// is UTF-8.
#include "cd/disc_toc.h"

#include <cstdint>
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
// and for a data track 1 "Data CD", "Data DVD" or "Data BD" by its length in frames.
std::string defaultTrackName(int32_t number, bool data, uint32_t lengthFrames);

struct kyDemoDiscRecord;

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

    // Empties the texts, the disc id, category and year; revision -1. The rows stay.
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
