#pragma once
// A MusicBrainz web service and Cover Art Archive for tests, on the local HTTP server: it
// answers disc id and release look-ups with JSON shaped like the service's, front covers
// with image bytes (directly or by a redirect, as the archive does), 404 for what it does
// not know, and 503 "slow down" answers when the test asks for them. Every request is
// kept for the test to look at.
#include "support/local_http_server.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kytest {

// "00000000-0000-4000-8000-00000000002a" for 42: distinct, well-formed MusicBrainz ids.
std::string mbid(uint64_t n);

struct FakeCredit {
    std::string name;
    std::string id; // artist id
    std::string joinphrase;
};

struct FakeTrack {
    std::string title;
    uint32_t lengthMs = 0;
    std::vector<FakeCredit> artists; // empty: the release's
    std::string recordingId;
    std::string trackId;
    std::vector<std::string> isrcs;
};

struct FakeMedium {
    int position = 1;
    std::string format = "CD";
    std::string title;
    std::vector<std::string> discIds;
    std::vector<FakeTrack> tracks;
};

struct FakeRelease {
    std::string id;
    std::string title;
    std::vector<FakeCredit> artists;
    std::string status = "Official";
    std::string date;
    std::string country;
    std::string barcode;
    std::string disambiguation;
    std::string groupId;
    std::string firstReleaseDate;
    std::string label;
    std::string catalogNumber;
    std::vector<FakeMedium> media;
};

// Release `n` (id mbid(n)) of one CD medium carrying `discId`, tracks first..last
// ("Song N <suffix>", recording mbid(n * 100 + N), track mbid(n * 1000 + N)), by "Ann",
// from `country`, with a date, label, catalogue number "CAT n" and a barcode.
FakeRelease oneDiscRelease(uint64_t n, const std::string& country, const std::string& discId,
                           uint32_t first, uint32_t last, const std::string& suffix = {});

// The release as the service writes it (artist-credit, release-group, label-info, media
// with discs and tracks with their recordings).
nlohmann::json releaseJson(const FakeRelease& release);
// A disc id answer: the disc itself and the releases that hold it.
std::string discAnswer(const std::string& discId, const std::vector<FakeRelease>& releases);
// A fuzzy answer: releases of a close track layout.
std::string fuzzyAnswer(const std::vector<FakeRelease>& releases);

class FakeMusicBrainzServer {
public:
    FakeMusicBrainzServer();

    // Disc id -> answer body; any other disc gets 404 {"error": "Not Found"}.
    std::map<std::string, std::string> discs;
    // Release id -> answer body of a release look-up.
    std::map<std::string, std::string> releases;
    // Release id -> the bytes of its front cover, and of the 1200-pixel rendition.
    std::map<std::string, std::string> covers;
    std::map<std::string, std::string> thumbnails;
    bool redirectCovers = true; // answer /release/ID/front with a 307 to the image
    // The next `busy` web-service requests get 503 with this Retry-After (none if empty).
    int busy = 0;
    std::string retryAfter = "0";
    // Replaces the answer to every request when set.
    std::optional<LocalHttpServer::Reply> override;

    std::string url() const { return m_server.url(); }
    std::string hostPort() const { return m_server.hostPort(); }
    std::vector<LocalHttpServer::Request> requests() const { return m_server.requests(); }

    // A JSON answer of the given status.
    static std::string json(const std::string& body, int status = 200);

private:
    LocalHttpServer::Reply answer(const LocalHttpServer::Request& request);
    std::mutex m_mutex;
    LocalHttpServer m_server;
};

} // namespace kytest
