#include "metadata/disc_names.h"

#include <charconv>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

bool textMember(const json& object, const char* key, std::optional<std::string>& out,
                std::string& error) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return true;
    if (!it->is_string()) {
        error = std::string("\"") + key + "\" must be a text";
        return false;
    }
    out = it->get<std::string>();
    return true;
}

bool parseRecord(const json& record, kyDiscNames& names, std::string& error) {
    if (!record.is_object()) {
        error = "the names must be a JSON object";
        return false;
    }
    if (!textMember(record, "artist", names.artist, error) ||
        !textMember(record, "album", names.album, error) ||
        !textMember(record, "genre", names.genre, error))
        return false;
    if (auto it = record.find("year"); it != record.end() && !it->is_null()) {
        int32_t year = 0;
        bool ok = false;
        if (it->is_number_integer()) {
            const auto v = it->get<int64_t>();
            ok = v >= 0 && v <= 9999;
            year = static_cast<int32_t>(v);
        } else if (it->is_string()) {
            ok = kyParseYear(it->get<std::string>(), year);
        }
        if (!ok) {
            error = "\"year\" must be a year from 0 to 9999";
            return false;
        }
        names.year = year;
    }
    auto tracks = record.find("tracks");
    if (tracks == record.end() || tracks->is_null()) return true;
    if (!tracks->is_array()) {
        error = "\"tracks\" must be a list";
        return false;
    }
    for (const json& track : *tracks) {
        if (!track.is_object()) {
            error = "each of \"tracks\" must be an object";
            return false;
        }
        auto number = track.find("number");
        if (number == track.end() || !number->is_number_integer() || number->get<int64_t>() < 1 ||
            number->get<int64_t>() > 99) {
            error = "each of \"tracks\" needs a \"number\" from 1 to 99";
            return false;
        }
        std::optional<std::string> name;
        // "name" as the table of contents prints it, "title" as a look-up answers.
        if (!textMember(track, "name", name, error)) return false;
        if (!name && !textMember(track, "title", name, error)) return false;
        if (name) names.titles[static_cast<int32_t>(number->get<int64_t>())] = *name;
    }
    return true;
}

} // namespace

void kyDiscNames::mergeFrom(const kyDiscNames& over) {
    if (over.artist) artist = over.artist;
    if (over.album) album = over.album;
    if (over.genre) genre = over.genre;
    if (over.year) year = over.year;
    for (const auto& [number, title] : over.titles) titles[number] = title;
}

bool kyDiscNames::applyTo(DiscInfo& disc, std::string& error) const {
    for (const auto& [number, title] : titles) {
        bool found = false;
        for (const TrackEntry& row : disc.tracks) found |= row.number == number;
        if (!found) {
            error = "the disc has no track " + std::to_string(number) + " to name";
            return false;
        }
    }
    if (artist) disc.artist = *artist;
    if (album) disc.title = *album;
    if (genre) disc.genre = *genre;
    if (year) disc.year = *year;
    for (TrackEntry& row : disc.tracks)
        if (auto it = titles.find(row.number); it != titles.end()) row.name = it->second;
    return true;
}

bool kyParseDiscNamesJson(std::string_view text, kyDiscNames& names, std::string& error) {
    // Invalid UTF-8 is refused by the parser too: names end up in file names and tags.
    json document = json::parse(text.begin(), text.end(), nullptr, false);
    if (document.is_discarded()) {
        error = "not valid JSON";
        return false;
    }
    kyDiscNames parsed;
    const json* record = &document;
    if (document.is_object())
        if (auto it = document.find("record"); it != document.end()) {
            if (it->is_null()) {
                error = "the look-up found no record";
                return false;
            }
            record = &*it;
        }
    if (!parseRecord(*record, parsed, error)) return false;
    names = std::move(parsed);
    return true;
}

bool kyLooksLikeXmcd(std::string_view text) {
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
        text.remove_prefix(3);
    return text.substr(0, 6) == "# xmcd";
}

bool kyParseYear(std::string_view text, int32_t& year) {
    int32_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < 0 || v > 9999)
        return false;
    year = v;
    return true;
}
