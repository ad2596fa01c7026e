#pragma once
// The MusicBrainz disc id of a table of contents and the TOC text its web service takes
// for a fuzzy look-up.
//
// The id covers the disc's first audio session: on an enhanced CD (audio, then a data
// track in a second session) the data track is left out and the audio session ends
// 11400 sectors before it (the session's lead-out and lead-in between them). A data track
// at the start of a mixed-mode disc counts like any other track.
#include "cd/disc_toc.h"

#include <cstdint>
#include <string>
#include <vector>

struct MusicBrainzToc {
    uint32_t firstTrack = 0;
    uint32_t lastTrack = 0;        // the last audio track
    uint32_t leadOut = 0;          // sector + 150 where the audio session ends
    std::vector<uint32_t> offsets; // sector + 150 of each track, first..last
};

// False when the table has no audio track (nothing to identify).
bool musicBrainzToc(const kyDiscToc& toc, MusicBrainzToc& out);

// The 28-character id ("OMDNUUEF6OVAhAJVAHuIJDSdzdM-"); empty without an audio track.
std::string musicBrainzDiscId(const kyDiscToc& toc);

// "first last leadout offset1 offset2 ..." separated by spaces; empty without an audio
// track.
std::string musicBrainzTocText(const kyDiscToc& toc);

// True for text shaped like a disc id: 28 characters of the id's alphabet.
bool isMusicBrainzDiscId(const std::string& text);
