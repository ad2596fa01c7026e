#include "support/fake_musicbrainz_server.h"

#include <cstdio>

using nlohmann::json;

namespace kytest {

std::string mbid(uint64_t n) {
    char text[40];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012llx",
                  static_cast<unsigned long long>(n));
    return text;
}

FakeRelease oneDiscRelease(uint64_t n, const std::string& country, const std::string& discId,
                           uint32_t first, uint32_t last, const std::string& suffix) {
    FakeRelease r;
    r.id = mbid(n);
    r.title = "Northern Lights";
    r.artists = {{"Ann", mbid(1), ""}};
    r.date = "2004-03-01";
    r.country = country;
    r.label = "Label";
    r.catalogNumber = "CAT " + std::to_string(n);
    r.barcode = "0123456789012";
    FakeMedium m;
    m.discIds = {discId};
    for (uint32_t t = first; t <= last; ++t)
        m.tracks.push_back({"Song " + std::to_string(t) + suffix,
                            0,
                            {},
                            mbid(n * 100 + t),
                            mbid(n * 1000 + t),
                            {}});
    r.media.push_back(m);
    return r;
}

namespace {

json credits(const std::vector<FakeCredit>& artists) {
    json list = json::array();
    for (const FakeCredit& a : artists)
        list.push_back({{"name", a.name},
                        {"joinphrase", a.joinphrase},
                        {"artist",
                         {{"id", a.id},
                          {"name", a.name},
                          {"sort-name", a.name},
                          {"disambiguation", ""},
                          {"type", "Person"}}}});
    return list;
}

} // namespace

json releaseJson(const FakeRelease& r) {
    json media = json::array();
    for (const FakeMedium& m : r.media) {
        json discs = json::array();
        for (const std::string& d : m.discIds)
            discs.push_back({{"id", d}, {"sectors", 200000}, {"offset-count", m.tracks.size()}});
        json tracks = json::array();
        int position = 0;
        for (const FakeTrack& t : m.tracks) {
            ++position;
            const json artist = credits(t.artists.empty() ? r.artists : t.artists);
            json length = t.lengthMs ? json(t.lengthMs) : json(nullptr);
            tracks.push_back({{"id", t.trackId},
                              {"number", std::to_string(position)},
                              {"position", position},
                              {"title", t.title},
                              {"length", length},
                              {"artist-credit", artist},
                              {"recording",
                               {{"id", t.recordingId},
                                {"title", t.title},
                                {"length", length},
                                {"video", false},
                                {"disambiguation", ""},
                                {"artist-credit", artist},
                                {"isrcs", t.isrcs}}}});
        }
        media.push_back({{"position", m.position},
                         {"format", m.format},
                         {"format-id", mbid(9000)},
                         {"title", m.title},
                         {"track-count", m.tracks.size()},
                         {"track-offset", 0},
                         {"discs", discs},
                         {"tracks", tracks}});
    }
    json labels = json::array();
    if (!r.label.empty() || !r.catalogNumber.empty())
        labels.push_back({{"catalog-number", r.catalogNumber},
                          {"label", {{"id", mbid(8000)}, {"name", r.label}}}});
    return {{"id", r.id},
            {"title", r.title},
            {"status", r.status},
            {"status-id", mbid(7000)},
            {"quality", "normal"},
            {"packaging", nullptr},
            {"date", r.date},
            {"country", r.country},
            {"barcode", r.barcode},
            {"disambiguation", r.disambiguation},
            {"text-representation", {{"language", "eng"}, {"script", "Latn"}}},
            {"artist-credit", credits(r.artists)},
            {"release-group",
             {{"id", r.groupId},
              {"title", r.title},
              {"primary-type", "Album"},
              {"secondary-types", json::array()},
              {"first-release-date", r.firstReleaseDate}}},
            {"label-info", labels},
            {"media", media}};
}

std::string discAnswer(const std::string& discId, const std::vector<FakeRelease>& releases) {
    json list = json::array();
    for (const FakeRelease& r : releases) list.push_back(releaseJson(r));
    return json{{"id", discId},
                {"offset-count", 2},
                {"sectors", 600},
                {"offsets", {150, 450}},
                {"releases", list}}
        .dump();
}

std::string fuzzyAnswer(const std::vector<FakeRelease>& releases) {
    json list = json::array();
    for (const FakeRelease& r : releases) list.push_back(releaseJson(r));
    return json{{"release-count", releases.size()}, {"release-offset", 0}, {"releases", list}}
        .dump();
}

FakeMusicBrainzServer::FakeMusicBrainzServer()
    : m_server([this](const LocalHttpServer::Request& r) { return answer(r); }) {}

std::string FakeMusicBrainzServer::json(const std::string& body, int status) {
    const char* reason = status == 200   ? "OK"
                         : status == 404 ? "Not Found"
                         : status == 503 ? "Service Unavailable"
                                         : "Error";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

LocalHttpServer::Reply FakeMusicBrainzServer::answer(const LocalHttpServer::Request& request) {
    std::lock_guard lock(m_mutex);
    if (override) return *override;
    const std::string& target = request.target;
    const std::string notFound = json(R"({"error":"Not Found","help":"For usage, please see: )"
                                      R"(https://musicbrainz.org/development/mmd"})",
                                      404);
    auto image = [](const std::string& bytes) {
        return "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
               std::to_string(bytes.size()) + "\r\nConnection: close\r\n\r\n" + bytes;
    };
    if (target.rfind("/ws/2/", 0) == 0) {
        if (busy > 0) {
            --busy;
            std::string reply = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: "
                                "application/json\r\nConnection: close\r\n";
            if (!retryAfter.empty()) reply += "Retry-After: " + retryAfter + "\r\n";
            const std::string body =
                R"({"error":"Your requests are exceeding the allowable rate limit."})";
            reply += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
            return {reply};
        }
        const std::string path = target.substr(0, target.find('?'));
        for (auto [prefix, map] : {std::pair{std::string("/ws/2/discid/"), &discs},
                                   std::pair{std::string("/ws/2/release/"), &releases}})
            if (path.rfind(prefix, 0) == 0) {
                auto it = map->find(path.substr(prefix.size()));
                return {it == map->end() ? notFound : json(it->second)};
            }
        return {json(R"({"error":"Invalid resource"})", 400)};
    }
    // The Cover Art Archive: /release/ID/front (redirected), /release/ID/front-1200,
    // and /images/ID where the redirect goes.
    if (target.rfind("/release/", 0) == 0) {
        const std::string rest = target.substr(9);
        const std::string id = rest.substr(0, rest.find('/'));
        const std::string name = rest.substr(std::min(rest.size(), id.size() + 1));
        if (name == "front") {
            auto it = covers.find(id);
            if (it == covers.end()) return {notFound};
            if (!redirectCovers) return {image(it->second)};
            return {"HTTP/1.1 307 Temporary Redirect\r\nLocation: /images/" + id +
                    "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
        }
        if (name == "front-1200") {
            auto it = thumbnails.find(id);
            return {it == thumbnails.end() ? notFound : image(it->second)};
        }
    }
    if (target.rfind("/images/", 0) == 0) {
        auto it = covers.find(target.substr(8));
        return {it == covers.end() ? notFound : image(it->second)};
    }
    return {notFound};
}

} // namespace kytest
