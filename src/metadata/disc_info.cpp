#include "metadata/disc_info.h"

#include "cd/virtual_drive.h"

#include <cstdlib>

namespace {

struct Category {
    const char* name;
    const char* shown;
};

constexpr Category kCategories[kCategoryCount] = {
    {"blues", "Blues"},     {"classical", "Classical"},
    {"country", "Country"}, {"data", "Data"},
    {"folk", "Folk"},       {"jazz", "Jazz"},
    {"newage", "New Age"},  {"reggae", "Reggae"},
    {"rock", "Rock"},       {"soundtrack", "Soundtrack"},
    {"misc", "Other"},
};

// A data track 1 is the data part of a disc: name it after the medium its size suggests.
constexpr uint32_t kLargestCdFrames = 460800;
constexpr uint32_t kLargestDvdFrames = 4168192;

} // namespace

const char* categoryName(int index) {
    return index >= 0 && index < kCategoryCount ? kCategories[index].name : nullptr;
}

const char* categoryDisplayName(int index) {
    return index >= 0 && index < kCategoryCount ? kCategories[index].shown : nullptr;
}

int categoryIndex(std::string_view name) {
    for (int i = 0; i < kCategoryCount; ++i)
        if (name == kCategories[i].name) return i;
    return -1;
}

std::string defaultTrackName(int32_t number, bool data, uint32_t lengthSectors) {
    if (data && number == 1) {
        if (lengthSectors <= kLargestCdFrames) return "Data CD";
        if (lengthSectors <= kLargestDvdFrames) return "Data DVD";
        return "Data BD";
    }
    std::string name = data ? "Data " : "Track ";
    int32_t n = number < 0 ? 0 : number;
    name += std::to_string(n / 10);
    name += std::to_string(n % 10);
    return name;
}

void DiscInfo::clear() {
    discId.clear();
    artist.clear();
    title.clear();
    genre.clear();
    extended.clear();
    category = -1;
    year = 0;
    revision = -1;
    release = DiscRelease{};
    cover.reset();
}

void DiscInfo::makeRows(const kyDiscToc& toc) {
    tracks.clear();
    if (toc.firstTrack < 1 || toc.lastTrack > 99 || toc.firstTrack > toc.lastTrack) return;
    tracks.reserve(toc.lastTrack - toc.firstTrack + 1);
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t) {
        const kyTocEntry& e = toc.entries[t];
        TrackEntry row;
        row.number = static_cast<int32_t>(t);
        row.start = e.start * 588;
        row.length = e.length * 588;
        row.data = e.data != 0;
        row.preEmphasis = e.preEmphasis != 0;
        row.selected = !row.data;
        // The size of a data track 1 tells the medium: measured in sectors.
        row.name = defaultTrackName(row.number, row.data, e.length);
        tracks.push_back(std::move(row));
    }
}

void DiscInfo::removeRow(size_t index) {
    if (index < tracks.size()) tracks.erase(tracks.begin() + static_cast<ptrdiff_t>(index));
}

std::string DiscInfo::genreText() const {
    if (!genre.empty()) return genre;
    const char* shown = categoryDisplayName(category);
    return shown ? shown : "";
}

void applyDiscRecord(const kyDemoDiscRecord& record, DiscInfo& info) {
    info.artist = record.artist;
    info.title = record.album;
    info.genre = record.genre;
    info.year = std::atoi(record.year.c_str());
    size_t title = 0;
    for (auto& row : info.tracks)
        if (!row.data && row.number >= 0 && title < record.trackTitles.size())
            row.name = record.trackTitles[title++];
}

bool applyCdText(const kyCdText& text, DiscInfo& info) {
    bool named = !text.disc.title.empty() || !text.disc.performer.empty();
    for (const TrackEntry& row : info.tracks)
        if (const kyCdTextFields* t = row.number > 0 ? text.Track(uint32_t(row.number)) : nullptr)
            named = named || !t->title.empty();
    if (!named) return false;
    info.artist = text.disc.performer;
    info.title = text.disc.title;
    info.genre = text.genre;
    info.extended = text.disc.message;
    for (TrackEntry& row : info.tracks) {
        const kyCdTextFields* t = row.number > 0 ? text.Track(uint32_t(row.number)) : nullptr;
        if (!t) continue;
        if (!t->title.empty()) row.name = t->title;
        if (!t->performer.empty() && t->performer != text.disc.performer) row.artist = t->performer;
        row.extended = t->message;
    }
    return true;
}
