#pragma once
// What a MusicBrainz release adds to a rip: the release's property slots on the CD source
// for each file (album artist, disc number, dates, the MusicBrainz ids, the cover to
// embed), and the front cover saved as cover.jpg beside the files.
#include "core/property_table.h"
#include "metadata/disc_info.h"

#include <set>
#include <string>
#include <vector>

// Fills the release slots (31 and up) for the file of rows first..last of `disc`, after
// clearing them, the ISRC and the publisher; sets the artist (slot 5) to the tracks' own artist
// when they share one, the publisher (9) to the label and the ISRC (28) for a single track.
// `coverFile` is the image to embed (empty: none).
void kySetReleaseProperties(kyPropertyTable& props, const DiscInfo& disc, size_t first, size_t last,
                            const std::string& coverFile);

// The disc's front cover during a batch: kept in a temporary file that the writers embed
// from, and written as cover.jpg into each folder that received a file. A cover.jpg that
// is there already is left as it is.
class kyCoverArtFiles {
public:
    kyCoverArtFiles() = default;
    kyCoverArtFiles(const kyCoverArtFiles&) = delete;
    kyCoverArtFiles& operator=(const kyCoverArtFiles&) = delete;
    ~kyCoverArtFiles();

    // Takes the disc's cover (none: nothing to do). False when the temporary file cannot
    // be written; the batch then goes on without a cover.
    bool begin(const DiscInfo& disc);
    // The temporary image for the writers; empty without a cover.
    const std::string& embedFile() const { return m_file; }
    // Saves cover.jpg beside `audioFile` unless its folder has one; false when it could
    // not be written (nothing partial is left).
    bool addBeside(const std::string& audioFile);
    // Deletes the temporary file.
    void end();

    static constexpr const char* kFileName = "cover.jpg";

private:
    std::shared_ptr<const CoverImage> m_cover;
    std::string m_file;
    std::set<std::string> m_done; // folders handled
};
