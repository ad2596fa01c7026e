#pragma once
// Names for a disc given from outside: typed on the command line, or read from a file in
// the JSON shape `dskr-cli toc --json` prints:
//
//   {"artist": "Band", "album": "Live", "year": 1999, "genre": "Rock",
//    "tracks": [{"number": 1, "name": "Intro"}, {"number": 2, "name": "Song"}]}
//
// A look-up's answer ({"record": {..., "tracks": [{"number": 1, "title": "Intro"}]}}) is
// taken too. Every member is optional; names given replace those of the disc record
// (from a database, CD-Text or the demo disc), names not given leave them alone.
#include "metadata/disc_info.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

struct kyDiscNames {
    std::optional<std::string> artist;
    std::optional<std::string> album;
    std::optional<std::string> genre;
    std::optional<int32_t> year;           // 0: no year
    std::map<int32_t, std::string> titles; // by track number

    // Takes every name `over` gives, keeping the others.
    void mergeFrom(const kyDiscNames& over);
    // Puts the names into `disc`. False, with a message, when a title is for a track the
    // disc does not have (nothing is changed then).
    bool applyTo(DiscInfo& disc, std::string& error) const;
};

// Parses the JSON shape above. False with a message saying what is wrong.
bool kyParseDiscNamesJson(std::string_view text, kyDiscNames& names, std::string& error);

// Whether `text` is an xmcd record (its first line starts with "# xmcd").
bool kyLooksLikeXmcd(std::string_view text);

// A year as typed: 0 to 9999, 0 meaning none.
bool kyParseYear(std::string_view text, int32_t& year);
