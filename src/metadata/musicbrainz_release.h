#pragma once
// Releases as the MusicBrainz web service describes them (its JSON answers to a disc id
// look-up and to a release look-up), which of a release's discs is the one in the drive,
// and the disc record they make.
//
// The parser takes what it knows and leaves the rest: a field of the wrong type or shape
// counts as absent, ids that are not MusicBrainz ids are dropped (they end up in URLs and
// tags), and texts lose control characters.
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct MusicBrainzCredit {
    std::string text;                   // names with their join phrases: "Ann & Bob"
    std::vector<std::string> artistIds; // in credit order
};

struct MusicBrainzTrack {
    std::string id; // the track on the release
    std::string recordingId;
    std::string number; // as printed: "1", "A1", ...
    int32_t position = 0;
    std::string title;
    uint32_t lengthMs = 0; // 0 when unknown
    MusicBrainzCredit artist;
    std::vector<std::string> isrcs; // of the recording
};

struct MusicBrainzMedium {
    int32_t position = 0; // 1 for the first disc
    std::string format;   // "CD", "Enhanced CD", "Vinyl", ...
    std::string title;
    int32_t trackCount = 0;
    std::vector<std::string> discIds; // MusicBrainz disc ids attached to it
    std::vector<MusicBrainzTrack> tracks;
};

struct MusicBrainzLabel {
    std::string name;
    std::string catalogNumber;
};

struct MusicBrainzRelease {
    std::string id;
    std::string title;
    std::string status; // "Official", "Promotion", "Bootleg", ...
    std::string disambiguation;
    std::string date; // "YYYY", "YYYY-MM" or "YYYY-MM-DD"
    std::string country;
    std::string barcode;
    MusicBrainzCredit artist;
    std::string releaseGroupId;
    std::string originalDate; // the release group's first release date
    std::vector<MusicBrainzLabel> labels;
    std::vector<MusicBrainzMedium> media;
};

// The answer to a disc id look-up: the releases that hold the disc (`exact`), or those
// whose track layout is close to the table of contents sent along (a fuzzy answer).
struct MusicBrainzDiscAnswer {
    bool exact = true;
    std::vector<MusicBrainzRelease> releases;
};

// A disc id answer ({"id": ..., "releases": [...]}) or a fuzzy one ({"releases": [...]}).
// False with a reason when the text is not JSON or not such an answer.
bool parseMusicBrainzDiscAnswer(std::string_view json, MusicBrainzDiscAnswer& answer,
                                std::string& error);
// The answer to a release look-up.
bool parseMusicBrainzRelease(std::string_view json, MusicBrainzRelease& release,
                             std::string& error);

// 8-4-4-4-12 lower-case hexadecimal digits.
bool isMusicBrainzId(std::string_view text);

// The index of the release's medium that is the disc of `toc`: the one that carries the
// disc's id, else one with as many tracks as the disc has audio tracks (the closest in
// track lengths). -1 when none fits.
int matchingMedium(const MusicBrainzRelease& release, const kyDiscToc& toc);

// What tells releases of one disc apart, for a choice list: "GB, 1999-03-01, Label CAT 1,
// barcode 0123, CD 2/3". Empty fields are left out.
std::string releaseDistinction(const MusicBrainzRelease& release, int medium);

// Names `info` (whose rows are the disc's, made from `toc`) from medium `medium` of the
// release: artist, album, year, the release's ids, dates, label and disc number, and per
// track its title, artist, ids and ISRC. Rows the medium has no track for keep their
// names.
void discInfoFromRelease(const MusicBrainzRelease& release, int medium, const kyDiscToc& toc,
                         DiscInfo& info);
