#include "formats/tags/tag_fields.h"
#include "core/property_table.h"
#include "platform/file_io.h"
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const kyTagField kId3v2[] = {
    {"TALB", KYPROP_ALBUM, true},
    {"TCOM", KYPROP_COMPOSER, true},
    {"TCON", KYPROP_GENRE, true},
    {"TCOP", KYPROP_COPYRIGHT, true},
    {"TIT2", KYPROP_TITLE, true},
    {"TIT3", KYPROP_SUBTITLE, true},
    {"TPE1", KYPROP_ARTIST, true},
    {"TPE2", KYPROP_PERFORMER, true},
    {"TPE3", KYPROP_CONDUCTOR, true},
    {"TPUB", KYPROP_PUBLISHER, true},
    {"TRCK", KYPROP_TRACK_NUMBER, true},
    {"TSRC", KYPROP_ISRC, true},
    {"TYER", KYPROP_YEAR, true},
    {"COMM", KYPROP_COMMENT, true},
    {"TDRC", KYPROP_YEAR, false},
    // Where no performer is named, TPE2 carries the album artist, as library taggers
    // expect; it reads back as the performer.
    {"TPE2", KYPROP_ALBUM_ARTIST, true},
    {"TMED", KYPROP_MEDIA, true},
};

const kyTagField kId3v2UserText[] = {
    {"replaygain_track_gain", KYPROP_TRACK_GAIN, true},
    {"replaygain_album_gain", KYPROP_ALBUM_GAIN, true},
    {"replaygain_track_peak", KYPROP_PEAK, true},
};

const kyTagField kApe[] = {
    {"Title", KYPROP_TITLE, true},
    {"Subtitle", KYPROP_SUBTITLE, true},
    {"Artist", KYPROP_ARTIST, true},
    {"Album", KYPROP_ALBUM, true},
    {"Publisher", KYPROP_PUBLISHER, true},
    {"Conductor", KYPROP_CONDUCTOR, true},
    {"Track", KYPROP_TRACK_NUMBER, true},
    {"Composer", KYPROP_COMPOSER, true},
    {"Comment", KYPROP_COMMENT, true},
    {"Copyright", KYPROP_COPYRIGHT, true},
    {"Catalog", KYPROP_ISRC, false},
    {"Year", KYPROP_YEAR, true},
    {"Genre", KYPROP_GENRE, true},
    {"ISRC", KYPROP_ISRC, true},
    {"File URL", KYPROP_URL, true},
    {"Artist URL", KYPROP_URL, false},
    {"Publisher URL", KYPROP_URL, false},
    {"Peak Level", KYPROP_PEAK, true},
    {"Replay Gain (radio)", KYPROP_TRACK_GAIN, true},
    {"Replay Gain (album)", KYPROP_ALBUM_GAIN, true},
    {"REPLAYGAIN_TRACK_PEAK", KYPROP_PEAK, false},
    {"REPLAYGAIN_TRACK_GAIN", KYPROP_TRACK_GAIN, false},
    {"REPLAYGAIN_ALBUM_GAIN", KYPROP_ALBUM_GAIN, false},
    {"Album Artist", KYPROP_ALBUM_ARTIST, true},
    {"Disc", KYPROP_DISC_NUMBER, true}, // "2/3" with the disc total
};

const kyTagField kVorbisComment[] = {
    {"TITLE", KYPROP_TITLE, true},
    {"VERSION", KYPROP_SUBTITLE, true},
    {"ALBUM", KYPROP_ALBUM, true},
    {"TRACKNUMBER", KYPROP_TRACK_NUMBER, true},
    {"ARTIST", KYPROP_ARTIST, true},
    {"PERFORMER", KYPROP_PERFORMER, true},
    {"COPYRIGHT", KYPROP_COPYRIGHT, true},
    {"ORGANIZATION", KYPROP_PUBLISHER, true},
    {"DESCRIPTION", KYPROP_COMMENT, true},
    {"GENRE", KYPROP_GENRE, true},
    // The release date where there is one, else the year: one DATE either way.
    {"DATE", KYPROP_DATE, true},
    {"DATE", KYPROP_YEAR, true},
    {"CONTACT", KYPROP_URL, true},
    {"ISRC", KYPROP_ISRC, true},
    {"REPLAYGAIN_TRACK_PEAK", KYPROP_PEAK, true},
    {"REPLAYGAIN_TRACK_GAIN", KYPROP_TRACK_GAIN, true},
    {"REPLAYGAIN_ALBUM_GAIN", KYPROP_ALBUM_GAIN, true},
    {"ALBUMARTIST", KYPROP_ALBUM_ARTIST, true},
    {"DISCNUMBER", KYPROP_DISC_NUMBER, true}, // may be read as "2/3"
    {"DISCTOTAL", KYPROP_DISC_TOTAL, true},
    // Names other programs write for the same things.
    {"ALBUM ARTIST", KYPROP_ALBUM_ARTIST, false},
    {"TOTALDISCS", KYPROP_DISC_TOTAL, false},
    {"COMMENT", KYPROP_COMMENT, false},
    {"COMPOSER", KYPROP_COMPOSER, false},
    {"CONDUCTOR", KYPROP_CONDUCTOR, false},
    {"LABEL", KYPROP_PUBLISHER, false},
    {"YEAR", KYPROP_YEAR, false},
};

// The byte 0xA9 starts the QuickTime atom types; the string is split after it so that the
// letters are not read as part of the escape.
#define KY_QT "\xA9"
const kyTagField kMp4Atoms[] = {
    {KY_QT "alb", KYPROP_ALBUM, true},
    {KY_QT "ART", KYPROP_ARTIST, true},
    {KY_QT "aut", KYPROP_COMPOSER, true},
    {KY_QT "cmt", KYPROP_COMMENT, true},
    {KY_QT "cpy", KYPROP_COPYRIGHT, true},
    {KY_QT "day", KYPROP_DATE, true}, // the release date where there is one
    {KY_QT "day", KYPROP_YEAR, true},
    {KY_QT "des", KYPROP_SUBTITLE, true},
    {KY_QT "dir", KYPROP_PUBLISHER, true},
    {KY_QT "gen", KYPROP_GENRE, true},
    {KY_QT "nam", KYPROP_TITLE, true},
    {KY_QT "prd", 10, true},
    {KY_QT "wrt", KYPROP_COMPOSER, true},
    {"aART", KYPROP_ALBUM_ARTIST, true}, // list only: not a QuickTime text atom
    // What other programs write for the same fields.
    {"cprt", KYPROP_COPYRIGHT, false},
    {"desc", KYPROP_SUBTITLE, false},
    {KY_QT "com", KYPROP_COMPOSER, false},
    {KY_QT "url", KYPROP_URL, false},
};
#undef KY_QT

const kyTagField kMp4Freeform[] = {
    {"replaygain_track_gain", KYPROP_TRACK_GAIN, true},
    {"replaygain_track_peak", KYPROP_PEAK, true},
    {"replaygain_album_gain", KYPROP_ALBUM_GAIN, true},
    {"ISRC", KYPROP_ISRC, true},
    {"LABEL", KYPROP_PUBLISHER, true},
};

// What a MusicBrainz release adds, named as library taggers name it: the Vorbis comment
// name (also the APE item key) and the iTunes freeform name (also the ID3v2 user text
// description). Each kind's table ends with these rows.
struct ReleaseField {
    uint32_t slot;
    const char* comment;
    const char* itunes;
};
const ReleaseField kRelease[] = {
    {KYPROP_ORIGINAL_DATE, "ORIGINALDATE", "originaldate"},
    {KYPROP_MEDIA, "MEDIA", "MEDIA"},
    {KYPROP_RELEASE_COUNTRY, "RELEASECOUNTRY", "MusicBrainz Album Release Country"},
    {KYPROP_CATALOG_NUMBER, "CATALOGNUMBER", "CATALOGNUMBER"},
    {KYPROP_BARCODE, "BARCODE", "BARCODE"},
    {KYPROP_MB_RELEASE_ID, "MUSICBRAINZ_ALBUMID", "MusicBrainz Album Id"},
    {KYPROP_MB_RELEASE_GROUP_ID, "MUSICBRAINZ_RELEASEGROUPID", "MusicBrainz Release Group Id"},
    // The recording, by custom under the track's name.
    {KYPROP_MB_RECORDING_ID, "MUSICBRAINZ_TRACKID", "MusicBrainz Track Id"},
    {KYPROP_MB_TRACK_ID, "MUSICBRAINZ_RELEASETRACKID", "MusicBrainz Release Track Id"},
    {KYPROP_MB_ARTIST_ID, "MUSICBRAINZ_ARTISTID", "MusicBrainz Artist Id"},
    {KYPROP_MB_ALBUM_ARTIST_ID, "MUSICBRAINZ_ALBUMARTISTID", "MusicBrainz Album Artist Id"},
    {KYPROP_MB_DISC_ID, "MUSICBRAINZ_DISCID", "MusicBrainz Disc Id"},
};

enum class ReleaseNames { Comment, Itunes };

// A kind's own rows followed by the release rows under that kind's names, leaving out the
// slots the kind keeps in fields of their own (`elsewhere`).
std::vector<kyTagField> withRelease(std::span<const kyTagField> own, ReleaseNames names,
                                    std::initializer_list<uint32_t> elsewhere = {}) {
    std::vector<kyTagField> table(own.begin(), own.end());
    for (const ReleaseField& r : kRelease) {
        if (std::find(elsewhere.begin(), elsewhere.end(), r.slot) != elsewhere.end()) continue;
        table.push_back({names == ReleaseNames::Comment ? r.comment : r.itunes, r.slot, true});
    }
    return table;
}

const kyId3v22Alias kId3v22[] = {
    {"TAL", "TALB"}, {"TCM", "TCOM"}, {"TCO", "TCON"}, {"TCR", "TCOP"},
    {"TT2", "TIT2"}, {"TT3", "TIT3"}, {"TP1", "TPE1"}, {"TP2", "TPE2"},
    {"TP3", "TPE3"}, {"TPB", "TPUB"}, {"TRC", "TSRC"}, {"TRK", "TRCK"},
    {"TYE", "TYER"}, {"COM", "COMM"}, {"TXX", "TXXX"}, {"WXX", "WXXX"},
};

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalKeys(std::string_view a, std::string_view b, bool ignoreCase) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ignoreCase ? lower(a[i]) != lower(b[i]) : a[i] != b[i]) return false;
    return true;
}

} // namespace

std::span<const kyTagField> kyId3v2Fields() {
    return kId3v2;
}
std::span<const kyTagField> kyId3v2UserTextFields() {
    // The medium has TMED, the recording its UFID frame.
    static const std::vector<kyTagField> table =
        withRelease(kId3v2UserText, ReleaseNames::Itunes, {KYPROP_MEDIA, KYPROP_MB_RECORDING_ID});
    return table;
}
std::span<const kyTagField> kyApeTagFields() {
    static const std::vector<kyTagField> table = withRelease(kApe, ReleaseNames::Comment);
    return table;
}
std::span<const kyTagField> kyVorbisCommentFields() {
    static const std::vector<kyTagField> table = withRelease(kVorbisComment, ReleaseNames::Comment);
    return table;
}
std::span<const kyTagField> kyMp4AtomFields() {
    return kMp4Atoms;
}
std::span<const kyTagField> kyMp4FreeformFields() {
    static const std::vector<kyTagField> table = withRelease(kMp4Freeform, ReleaseNames::Itunes);
    return table;
}
std::span<const kyId3v22Alias> kyId3v22Aliases() {
    return kId3v22;
}

const kyTagField* kyFindTagField(std::span<const kyTagField> table, std::string_view key,
                                 bool ignoreCase) {
    for (const kyTagField& f : table)
        if (equalKeys(f.key, key, ignoreCase)) return &f;
    return nullptr;
}

const char* kyTagFieldText(std::span<const kyTagField> table, size_t index,
                           kyPropertyTable& props) {
    const kyTagField& field = table[index];
    if (!field.written) return nullptr;
    for (size_t i = 0; i < index; ++i) {
        if (!table[i].written || std::strcmp(table[i].key, field.key) != 0) continue;
        const char* earlier = props.getUtf8(table[i].slot);
        if (earlier && *earlier) return nullptr;
    }
    const char* text = props.getUtf8(field.slot);
    return text && *text ? text : nullptr;
}

std::string kyDiscNumberText(kyPropertyTable& props) {
    const char* number = props.getUtf8(KYPROP_DISC_NUMBER);
    if (!number || !*number) return {};
    const char* total = props.getUtf8(KYPROP_DISC_TOTAL);
    return total && *total ? std::string(number) + "/" + total : std::string(number);
}

void kySetDiscNumber(kyPropertyTable& props, std::string_view text) {
    const size_t slash = text.find('/');
    const std::string_view number = text.substr(0, slash);
    if (!number.empty()) props.setUtf8(KYPROP_DISC_NUMBER, std::string(number));
    if (slash != std::string_view::npos && slash + 1 < text.size())
        props.setUtf8(KYPROP_DISC_TOTAL, std::string(text.substr(slash + 1)));
}

bool kyReadTagPicture(kyPropertyTable& props, kyTagPicture& picture) {
    const char* path = props.getUtf8(KYPROP_COVER_FILE);
    if (!path || !*path) return false;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 3 &&
              static_cast<uint64_t>(st.st_size) <= KY_MAX_TAG_PICTURE_BYTES;
    if (ok) {
        picture.bytes.resize(static_cast<size_t>(st.st_size));
        ok = kyReadExactlyAt(fd, 0, picture.bytes.data(), picture.bytes.size());
    }
    ::close(fd);
    if (!ok) return false;
    const uint8_t* b = picture.bytes.data();
    if (b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF)
        picture.mimeType = "image/jpeg";
    else if (picture.bytes.size() > 8 && std::memcmp(b, "\x89PNG\r\n\x1A\n", 8) == 0)
        picture.mimeType = "image/png";
    else
        return false; // no image a player would show
    return true;
}

bool kyIsReplayGainSlot(uint32_t slot) {
    return slot == KYPROP_TRACK_GAIN || slot == KYPROP_ALBUM_GAIN || slot == KYPROP_PEAK;
}
