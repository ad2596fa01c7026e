#include "formats/tags/genres.h"
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

namespace {

const char* const kGenres[KY_GENRE_COUNT] = {
    "Blues",
    "Classic Rock",
    "Country",
    "Dance",
    "Disco",
    "Funk",
    "Grunge",
    "Hip-Hop",
    "Jazz",
    "Metal",
    "New Age",
    "Oldies",
    "Other",
    "Pop",
    "R&B",
    "Rap",
    "Reggae",
    "Rock",
    "Techno",
    "Industrial",
    "Alternative",
    "Ska",
    "Death Metal",
    "Pranks",
    "Soundtrack",
    "Euro-Techno",
    "Ambient",
    "Trip-Hop",
    "Vocal",
    "Jazz+Funk",
    "Fusion",
    "Trance",
    "Classical",
    "Instrumental",
    "Acid",
    "House",
    "Game",
    "Sound Clip",
    "Gospel",
    "Noise",
    "AlternRock",
    "Bass",
    "Soul",
    "Punk",
    "Space",
    "Meditative",
    "Instrumental Pop",
    "Instrumental Rock",
    "Ethnic",
    "Gothic",
    "Darkwave",
    "Techno-Industrial",
    "Electronic",
    "Pop-Folk",
    "Eurodance",
    "Dream",
    "Southern Rock",
    "Comedy",
    "Cult",
    "Gangsta",
    "Top 40",
    "Christian Rap",
    "Pop/Funk",
    "Jungle",
    "Native American",
    "Cabaret",
    "New Wave",
    "Psychadelic",
    "Rave",
    "Showtunes",
    "Trailer",
    "Lo-Fi",
    "Tribal",
    "Acid Punk",
    "Acid Jazz",
    "Polka",
    "Retro",
    "Musical",
    "Rock & Roll",
    "Hard Rock",
    "Folk",
    "Folk-Rock",
    "National Folk",
    "Swing",
    "Fast Fusion",
    "Bebob",
    "Latin",
    "Revival",
    "Celtic",
    "Bluegrass",
    "Avantgarde",
    "Gothic Rock",
    "Progressive Rock",
    "Psychedelic Rock",
    "Symphonic Rock",
    "Slow Rock",
    "Big Band",
    "Chorus",
    "Easy Listening",
    "Acoustic",
    "Humour",
    "Speech",
    "Chanson",
    "Opera",
    "Chamber Music",
    "Sonata",
    "Symphony",
    "Booty Bass",
    "Primus",
    "Porn Groove",
    "Satire",
    "Slow Jam",
    "Club",
    "Tango",
    "Samba",
    "Folklore",
    "Ballad",
    "Power Ballad",
    "Rhythmic Soul",
    "Freestyle",
    "Duet",
    "Punk Rock",
    "Drum Solo",
    "A capella",
    "Euro-House",
    "Dance Hall",
    "Goa",
    "Drum & Bass",
    "Club-House",
    "Hardcore",
    "Terror",
    "Indie",
    "BritPop",
    "Negerpunk",
    "Polsk Punk",
    "Beat",
    "Christian Gangsta Rap",
    "Heavy Metal",
    "Black Metal",
    "Crossover",
    "Contemporary Christian",
    "Christian Rock",
    "Merengue",
    "Salsa",
    "Thrash Metal",
    "Anime",
    "JPop",
    "Synth Pop",
};

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A leading "(n)" with n below the list's length.
bool numberInParentheses(std::string_view text, uint32_t& index) {
    if (text.size() < 3 || text[0] != '(') return false;
    const char* end = text.data() + text.size();
    auto r = std::from_chars(text.data() + 1, end, index);
    return r.ec == std::errc() && r.ptr < end && *r.ptr == ')' && index < KY_GENRE_COUNT;
}

} // namespace

uint32_t GenreIndex(const char* text) {
    if (!text || !*text) return KY_GENRE_OTHER;
    const std::string_view t(text);
    uint32_t index;
    if (numberInParentheses(t, index)) return index;
    for (uint32_t i = 0; i < KY_GENRE_COUNT; ++i)
        if (t == kGenres[i]) return i;
    for (uint32_t i = 0; i < KY_GENRE_COUNT; ++i) {
        const std::string_view g(kGenres[i]);
        if (g.find(t) != g.npos || t.find(g) != t.npos) return i;
    }
    // Texts from disc databases are often lower case ("rock"): before giving up, the same
    // two searches ignoring case.
    const std::string lt = lowered(t);
    for (uint32_t i = 0; i < KY_GENRE_COUNT; ++i)
        if (lt == lowered(kGenres[i])) return i;
    for (uint32_t i = 0; i < KY_GENRE_COUNT; ++i) {
        const std::string lg = lowered(kGenres[i]);
        if (lg.find(lt) != lg.npos || lt.find(lg) != lt.npos) return i;
    }
    return KY_GENRE_OTHER;
}

const char* kyGenreName(uint32_t index) {
    return index < KY_GENRE_COUNT ? kGenres[index] : nullptr;
}
