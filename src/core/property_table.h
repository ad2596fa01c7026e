#pragma once
// A fixed table of text properties. Each slot keeps what it was given in one encoding
// (UTF-8, single-byte Windows-1252 or UTF-16) and makes the others on first request.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum kyPropertySlot : uint32_t {
    KYPROP_FILE_NAME = 0,
    KYPROP_FORMAT_NAME = 1,
    KYPROP_DATA_FORMAT = 2,
    KYPROP_TITLE = 3,
    KYPROP_SUBTITLE = 4,
    KYPROP_ARTIST = 5,
    KYPROP_COMPOSER = 6,
    KYPROP_PERFORMER = 7,
    KYPROP_CONDUCTOR = 8,
    KYPROP_PUBLISHER = 9,
    KYPROP_ALBUM = 11,
    KYPROP_TRACK_NUMBER = 12,
    KYPROP_GENRE = 13,
    KYPROP_YEAR = 14,
    KYPROP_COMMENT = 15,
    KYPROP_COPYRIGHT = 16,
    KYPROP_URL = 17,
    KYPROP_TRACK_GAIN = 23,
    KYPROP_ALBUM_GAIN = 24,
    KYPROP_LOUDNESS = 25,
    KYPROP_PEAK = 27,
    KYPROP_ISRC = 28,

    // Beyond the 31 slots every source has had: what a disc database (MusicBrainz) says of
    // a release and its tracks, and the cover to embed. Texts as the tag fields hold them;
    // where several ids go into one slot they are separated by "/". The tag module maps
    // each to the usual field of every tag kind.
    KYPROP_ALBUM_ARTIST = 31,
    KYPROP_DISC_NUMBER = 32, // decimal
    KYPROP_DISC_TOTAL = 33,  // decimal: discs in the release
    KYPROP_DATE = 34,        // release date "YYYY", "YYYY-MM" or "YYYY-MM-DD"
    KYPROP_ORIGINAL_DATE = 35,
    KYPROP_MB_RELEASE_ID = 36,       // "MusicBrainz Album Id"
    KYPROP_MB_RELEASE_GROUP_ID = 37, // "MusicBrainz Release Group Id"
    KYPROP_MB_RECORDING_ID = 38,     // "MusicBrainz Track Id" (ID3v2 UFID)
    KYPROP_MB_TRACK_ID = 39,         // "MusicBrainz Release Track Id"
    KYPROP_MB_ARTIST_ID = 40,        // "MusicBrainz Artist Id"
    KYPROP_MB_ALBUM_ARTIST_ID = 41,  // "MusicBrainz Album Artist Id"
    KYPROP_MB_DISC_ID = 42,          // "MusicBrainz Disc Id"
    KYPROP_RELEASE_COUNTRY = 43,
    KYPROP_CATALOG_NUMBER = 44,
    KYPROP_BARCODE = 45,
    KYPROP_MEDIA = 46,      // the disc's format: "CD", "Enhanced CD", ...
    KYPROP_COVER_FILE = 47, // path of the front cover image (JPEG) to embed
};

constexpr uint32_t KY_SOURCE_PROPERTY_SLOTS = 48;
constexpr uint32_t KY_WRITER_PROPERTY_SLOTS = 3;

// A short lower-case name of a slot for people and for JSON ("title", "track_number",
// "replaygain_track_gain"); "property_N" for a slot without a fixed meaning.
std::string kyPropertyName(uint32_t slot);

class kyPropertyTable {
public:
    explicit kyPropertyTable(uint32_t slots = KY_SOURCE_PROPERTY_SLOTS) : m_slots(slots) {}

    uint32_t size() const { return static_cast<uint32_t>(m_slots.size()); }

    // Setters take a byte or character count, -1 meaning up to the terminator. An index
    // beyond the table is ignored.
    void setA(uint32_t slot, const char* text, int32_t len = -1);
    void setUtf8(uint32_t slot, const char* text, int32_t len = -1);
    void setW(uint32_t slot, const char16_t* text, int32_t len = -1);
    void setUtf8(uint32_t slot, const std::string& text) {
        setUtf8(slot, text.data(), static_cast<int32_t>(text.size()));
    }
    void clear(uint32_t slot);
    void clearAll();

    // Null for an empty slot or an index outside the table.
    const char* getA(uint32_t slot);
    const char* getUtf8(uint32_t slot);
    const char16_t* getW(uint32_t slot);
    // Length of the text in UTF-16 characters; 0 when empty.
    uint32_t length(uint32_t slot);

private:
    struct Slot {
        std::optional<std::string> a;
        std::optional<std::string> utf8;
        std::optional<std::u16string> w;
        bool empty() const { return !a && !utf8 && !w; }
    };
    std::vector<Slot> m_slots;
};
