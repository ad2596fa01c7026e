#include "metadata/musicbrainz_release.h"

#include "metadata/musicbrainz_disc_id.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <limits>

using nlohmann::json;

namespace {

// Far beyond any real release; they bound what a hostile answer can make us keep.
constexpr size_t kMaxReleases = 100;
constexpr size_t kMaxMedia = 250;
constexpr size_t kMaxTracks = 999;
constexpr size_t kMaxListItems = 50; // credits, labels, ISRCs, disc ids
constexpr size_t kMaxText = 1024;    // bytes of one name or title

// At most `size` bytes, never half a UTF-8 character.
std::string cutUtf8(std::string text, size_t size) {
    if (text.size() <= size) return text;
    size_t end = size;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

// A text member of `j`: control characters (a line break in a title, a NUL) become
// spaces; anything but a string is absent.
std::string text(const json& j, const char* key) {
    if (!j.is_object()) return {};
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return {};
    std::string s = it->get<std::string>();
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
    return cutUtf8(std::move(s), kMaxText);
}

const json* member(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

const json* array(const json& j, const char* key) {
    const json* m = member(j, key);
    return m && m->is_array() ? m : nullptr;
}

int64_t integer(const json& j, const char* key, int64_t lo, int64_t hi) {
    const json* m = member(j, key);
    if (!m || !m->is_number_integer()) return 0;
    const int64_t v = m->is_number_unsigned()
                          ? static_cast<int64_t>(std::min<uint64_t>(m->get<uint64_t>(), INT64_MAX))
                          : m->get<int64_t>();
    return v < lo || v > hi ? 0 : v;
}

std::string id(const json& j, const char* key = "id") {
    std::string s = text(j, key);
    return isMusicBrainzId(s) ? s : std::string();
}

bool digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "YYYY", "YYYY-MM" or "YYYY-MM-DD"; anything else is dropped.
std::string date(const json& j, const char* key) {
    const std::string s = text(j, key);
    const bool ok = (s.size() == 4 || s.size() == 7 || s.size() == 10) && digits(s.substr(0, 4)) &&
                    (s.size() < 7 || (s[4] == '-' && digits(s.substr(5, 2)))) &&
                    (s.size() < 10 || (s[7] == '-' && digits(s.substr(8, 2))));
    return ok ? s : std::string();
}

// Letters and digits only, at most `size` of them (country codes, ISRCs, barcodes).
std::string code(const json& j, const char* key, size_t size) {
    const std::string s = text(j, key);
    if (s.size() > size) return {};
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return {};
    return s;
}

MusicBrainzCredit credit(const json& j) {
    MusicBrainzCredit c;
    const json* list = array(j, "artist-credit");
    if (!list) return c;
    size_t n = 0;
    for (const json& item : *list) {
        if (++n > kMaxListItems) break;
        if (!item.is_object()) continue;
        std::string name = text(item, "name");
        const json* artist = member(item, "artist");
        if (name.empty() && artist) name = text(*artist, "name");
        c.text += name + text(item, "joinphrase");
        if (artist)
            if (std::string a = id(*artist); !a.empty()) c.artistIds.push_back(a);
    }
    c.text = cutUtf8(c.text, kMaxText);
    return c;
}

MusicBrainzTrack track(const json& j) {
    MusicBrainzTrack t;
    t.id = id(j);
    t.number = text(j, "number");
    t.position = static_cast<int32_t>(integer(j, "position", 0, 100000));
    t.title = text(j, "title");
    t.lengthMs = static_cast<uint32_t>(integer(j, "length", 0, UINT32_MAX));
    t.artist = credit(j);
    if (const json* rec = member(j, "recording"); rec && rec->is_object()) {
        t.recordingId = id(*rec);
        if (t.title.empty()) t.title = text(*rec, "title");
        if (t.lengthMs == 0)
            t.lengthMs = static_cast<uint32_t>(integer(*rec, "length", 0, UINT32_MAX));
        if (t.artist.text.empty()) t.artist = credit(*rec);
        if (const json* isrcs = array(*rec, "isrcs"))
            for (const json& i : *isrcs) {
                if (t.isrcs.size() >= kMaxListItems) break;
                if (!i.is_string()) continue;
                const std::string s = i.get<std::string>();
                if (s.size() == 12 && std::all_of(s.begin(), s.end(), [](char c) {
                        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
                    }))
                    t.isrcs.push_back(s);
            }
    }
    return t;
}

MusicBrainzMedium medium(const json& j) {
    MusicBrainzMedium m;
    m.position = static_cast<int32_t>(integer(j, "position", 0, 100000));
    m.format = text(j, "format");
    m.title = text(j, "title");
    m.trackCount = static_cast<int32_t>(integer(j, "track-count", 0, 100000));
    if (const json* discs = array(j, "discs"))
        for (const json& d : *discs) {
            if (m.discIds.size() >= kMaxListItems) break;
            const std::string s = text(d, "id");
            if (isMusicBrainzDiscId(s)) m.discIds.push_back(s);
        }
    if (const json* tracks = array(j, "tracks"))
        for (const json& t : *tracks) {
            if (m.tracks.size() >= kMaxTracks) break;
            if (t.is_object()) m.tracks.push_back(track(t));
        }
    if (m.trackCount == 0) m.trackCount = static_cast<int32_t>(m.tracks.size());
    return m;
}

bool release(const json& j, MusicBrainzRelease& r) {
    r = MusicBrainzRelease{};
    r.id = id(j);
    if (r.id.empty()) return false; // nothing to name it by, nor to fetch its cover with
    r.title = text(j, "title");
    r.status = text(j, "status");
    r.disambiguation = text(j, "disambiguation");
    r.date = date(j, "date");
    r.country = code(j, "country", 3);
    r.barcode = code(j, "barcode", 32);
    r.artist = credit(j);
    if (const json* group = member(j, "release-group"); group && group->is_object()) {
        r.releaseGroupId = id(*group);
        r.originalDate = date(*group, "first-release-date");
    }
    if (const json* labels = array(j, "label-info"))
        for (const json& l : *labels) {
            if (r.labels.size() >= kMaxListItems) break;
            MusicBrainzLabel label;
            label.catalogNumber = text(l, "catalog-number");
            if (const json* lab = member(l, "label"); lab && lab->is_object())
                label.name = text(*lab, "name");
            if (!label.name.empty() || !label.catalogNumber.empty()) r.labels.push_back(label);
        }
    if (const json* media = array(j, "media"))
        for (const json& m : *media) {
            if (r.media.size() >= kMaxMedia) break;
            if (m.is_object()) r.media.push_back(medium(m));
        }
    return true;
}

bool parse(std::string_view text, json& j, std::string& error) {
    j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) {
        error = "the MusicBrainz answer is not JSON";
        return false;
    }
    if (!j.is_object()) {
        error = "the MusicBrainz answer is not a JSON object";
        return false;
    }
    if (const json* e = member(j, "error"); e && e->is_string()) {
        error = "MusicBrainz answered: " + ::text(j, "error");
        return false;
    }
    return true;
}

std::string joinIds(const std::vector<std::string>& ids) {
    std::string out;
    for (const std::string& i : ids) out += (out.empty() ? "" : "/") + i;
    return out;
}

// The rows the medium's tracks name, in order: the audio tracks, or every track of the
// disc's audio session when the medium lists its data track too.
std::vector<size_t> namedRows(const MusicBrainzMedium& m, const DiscInfo& info,
                              const kyDiscToc& toc) {
    std::vector<size_t> audio, session;
    MusicBrainzToc mb;
    const bool have = musicBrainzToc(toc, mb);
    for (size_t i = 0; i < info.tracks.size(); ++i) {
        const TrackEntry& row = info.tracks[i];
        if (row.number < 0) continue;
        if (!row.data) audio.push_back(i);
        if (have && row.number >= static_cast<int32_t>(mb.firstTrack) &&
            row.number <= static_cast<int32_t>(mb.lastTrack))
            session.push_back(i);
    }
    if (m.tracks.size() == audio.size()) return audio;
    if (m.tracks.size() == session.size()) return session;
    // Otherwise by position: the nth track names the nth row of the disc.
    std::vector<size_t> rows;
    for (size_t i = 0; i < info.tracks.size() && rows.size() < m.tracks.size(); ++i)
        if (info.tracks[i].number >= 0) rows.push_back(i);
    return rows;
}

uint32_t audioTrackCount(const kyDiscToc& toc) {
    uint32_t n = 0;
    for (uint32_t t = toc.firstTrack; t >= 1 && t <= toc.lastTrack && t <= 99; ++t)
        n += toc.entries[t].data ? 0 : 1;
    return n;
}

} // namespace

bool isMusicBrainzId(std::string_view s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool parseMusicBrainzDiscAnswer(std::string_view text, MusicBrainzDiscAnswer& answer,
                                std::string& error) {
    answer = MusicBrainzDiscAnswer{};
    json j;
    if (!parse(text, j, error)) return false;
    const json* releases = array(j, "releases");
    if (!releases) {
        error = "the MusicBrainz answer lists no releases";
        return false;
    }
    // A disc answer carries the disc's own id; a fuzzy one only the list.
    answer.exact = member(j, "id") != nullptr;
    for (const json& r : *releases) {
        if (answer.releases.size() >= kMaxReleases) break;
        MusicBrainzRelease rel;
        if (r.is_object() && release(r, rel)) answer.releases.push_back(std::move(rel));
    }
    return true;
}

bool parseMusicBrainzRelease(std::string_view text, MusicBrainzRelease& r, std::string& error) {
    json j;
    if (!parse(text, j, error)) return false;
    if (!release(j, r)) {
        error = "the MusicBrainz answer is not a release";
        return false;
    }
    return true;
}

int matchingMedium(const MusicBrainzRelease& r, const kyDiscToc& toc) {
    const std::string discId = musicBrainzDiscId(toc);
    if (discId.empty()) return -1;
    for (size_t i = 0; i < r.media.size(); ++i)
        if (std::find(r.media[i].discIds.begin(), r.media[i].discIds.end(), discId) !=
            r.media[i].discIds.end())
            return static_cast<int>(i);
    MusicBrainzToc mb;
    musicBrainzToc(toc, mb);
    const uint32_t audio = audioTrackCount(toc);
    const uint32_t session = mb.lastTrack - mb.firstTrack + 1;
    int best = -1;
    uint64_t bestDistance = UINT64_MAX;
    for (size_t i = 0; i < r.media.size(); ++i) {
        const MusicBrainzMedium& m = r.media[i];
        const uint32_t count = static_cast<uint32_t>(m.tracks.size());
        if (count != audio && count != session) continue;
        // Closeness: the sum of the differences of the track lengths the medium knows.
        uint64_t distance = 0;
        uint32_t t = mb.firstTrack;
        for (const MusicBrainzTrack& track : m.tracks) {
            while (t <= mb.lastTrack && count == audio && toc.entries[t].data) ++t;
            if (t > mb.lastTrack) break;
            const uint32_t ours =
                t < mb.lastTrack ? mb.offsets[t + 1 - mb.firstTrack] - mb.offsets[t - mb.firstTrack]
                                 : mb.leadOut - mb.offsets[t - mb.firstTrack];
            const uint64_t oursMs = uint64_t(ours) * 1000 / 75;
            if (track.lengthMs)
                distance +=
                    oursMs > track.lengthMs ? oursMs - track.lengthMs : track.lengthMs - oursMs;
            ++t;
        }
        if (distance < bestDistance) {
            best = static_cast<int>(i);
            bestDistance = distance;
        }
    }
    return best;
}

std::string releaseDistinction(const MusicBrainzRelease& r, int medium) {
    std::vector<std::string> parts;
    if (!r.country.empty()) parts.push_back(r.country);
    if (!r.date.empty()) parts.push_back(r.date);
    for (const MusicBrainzLabel& l : r.labels) {
        std::string label = l.name;
        if (!l.catalogNumber.empty() && l.catalogNumber != "[none]")
            label += (label.empty() ? "" : " ") + l.catalogNumber;
        if (!label.empty()) parts.push_back(label);
        break; // the first label tells releases apart; more would crowd the line
    }
    if (!r.barcode.empty()) parts.push_back("barcode " + r.barcode);
    if (medium >= 0 && static_cast<size_t>(medium) < r.media.size()) {
        const MusicBrainzMedium& m = r.media[static_cast<size_t>(medium)];
        std::string format = m.format.empty() ? "disc" : m.format;
        if (r.media.size() > 1)
            format += " " + std::to_string(m.position > 0 ? m.position : medium + 1) + "/" +
                      std::to_string(r.media.size());
        parts.push_back(format);
    }
    if (!r.disambiguation.empty()) parts.push_back(r.disambiguation);
    if (!r.status.empty() && r.status != "Official") parts.push_back(r.status);
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

void discInfoFromRelease(const MusicBrainzRelease& r, int medium, const kyDiscToc& toc,
                         DiscInfo& info) {
    info.artist = r.artist.text;
    info.title = r.title;
    info.year = r.date.size() >= 4 ? std::atoi(r.date.substr(0, 4).c_str()) : 0;
    DiscRelease& d = info.release;
    d = DiscRelease{};
    d.releaseId = r.id;
    d.releaseGroupId = r.releaseGroupId;
    d.artistIds = joinIds(r.artist.artistIds);
    d.discId = musicBrainzDiscId(toc);
    d.date = r.date;
    d.originalDate = r.originalDate.empty() ? r.date : r.originalDate;
    d.country = r.country;
    d.barcode = r.barcode;
    if (!r.labels.empty()) {
        d.label = r.labels.front().name;
        if (r.labels.front().catalogNumber != "[none]")
            d.catalogNumber = r.labels.front().catalogNumber;
    }
    d.discTotal = static_cast<int32_t>(r.media.size());
    if (medium < 0 || static_cast<size_t>(medium) >= r.media.size()) return;
    const MusicBrainzMedium& m = r.media[static_cast<size_t>(medium)];
    d.format = m.format;
    d.discNumber = m.position > 0 ? m.position : medium + 1;
    const std::vector<size_t> rows = namedRows(m, info, toc);
    for (size_t i = 0; i < rows.size() && i < m.tracks.size(); ++i) {
        const MusicBrainzTrack& t = m.tracks[i];
        TrackEntry& row = info.tracks[rows[i]];
        if (!t.title.empty()) row.name = t.title;
        row.artist = t.artist.text;
        row.artistIds = joinIds(t.artist.artistIds);
        row.recordingId = t.recordingId;
        row.trackId = t.id;
        row.isrc = t.isrcs.empty() ? std::string() : t.isrcs.front();
    }
}
