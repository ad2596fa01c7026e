#pragma once
// What the batch puts on the source for one track of a MusicBrainz release (disc 2 of 3 of
// a compilation), and a front cover image, for the tests of the tag writers.
#include "core/property_table.h"
#include <cstdint>
#include <map>
#include <string>

namespace kytest {

inline const std::map<uint32_t, std::string>& releaseTrackProperties() {
    static const std::map<uint32_t, std::string> properties = {
        {KYPROP_TITLE, "Song"},
        {KYPROP_ARTIST, "Ann & Bob"},
        {KYPROP_ALBUM, "Hits"},
        {KYPROP_YEAR, "1999"},
        {KYPROP_TRACK_NUMBER, "4"},
        {KYPROP_ALBUM_ARTIST, "Various Artists"},
        {KYPROP_DISC_NUMBER, "2"},
        {KYPROP_DISC_TOTAL, "3"},
        {KYPROP_DATE, "1999-03-01"},
        {KYPROP_ORIGINAL_DATE, "1998-11-20"},
        {KYPROP_PUBLISHER, "Label"},
        {KYPROP_ISRC, "GBAAA9900001"},
        {KYPROP_MB_RELEASE_ID, "00000000-0000-4000-8000-000000000010"},
        {KYPROP_MB_RELEASE_GROUP_ID, "00000000-0000-4000-8000-000000000011"},
        {KYPROP_MB_RECORDING_ID, "00000000-0000-4000-8000-000000000101"},
        {KYPROP_MB_TRACK_ID, "00000000-0000-4000-8000-000000000201"},
        {KYPROP_MB_ARTIST_ID,
         "00000000-0000-4000-8000-0000000000a1/00000000-0000-4000-8000-0000000000b1"},
        {KYPROP_MB_ALBUM_ARTIST_ID, "89ad4ac3-39f7-470e-963a-56509c546377"},
        {KYPROP_MB_DISC_ID, "OMDNUUEF6OVAhAJVAHuIJDSdzdM-"},
        {KYPROP_RELEASE_COUNTRY, "GB"},
        {KYPROP_CATALOG_NUMBER, "CAT 1"},
        {KYPROP_BARCODE, "0123456789012"},
        {KYPROP_MEDIA, "CD"},
    };
    return properties;
}

// Bytes that start like a JPEG image, larger than one Ogg page.
inline std::string releaseCoverBytes() {
    std::string jpeg = "\xFF\xD8\xFF\xE0";
    for (int i = 0; jpeg.size() < 70000; ++i) jpeg += static_cast<char>(i * 31 % 256);
    return jpeg;
}

} // namespace kytest
