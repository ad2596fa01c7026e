#include "metadata/musicbrainz_client.h"

#include "metadata/musicbrainz_disc_id.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A release with many discs and long track lists stays far below this.
constexpr size_t kMaxAnswerBytes = 8 * 1024 * 1024;
// The step in which waits ask whether to go on.
constexpr auto kWaitStep = std::chrono::milliseconds(20);

// When the last request to the service started, for every client of the process.
std::mutex g_paceMutex;
Clock::time_point g_lastRequest;
bool g_anyRequest = false;

// Waits until `until`; false when the caller cancels meanwhile.
bool waitUntil(Clock::time_point until, const std::function<bool()>& keepGoing) {
    while (Clock::now() < until) {
        if (keepGoing && !keepGoing()) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(kWaitStep, until - Clock::now()));
    }
    return !keepGoing || keepGoing();
}

// Takes the next turn to send a request: waits until `interval` has passed since the
// last one started. False when cancelled while waiting.
bool takeTurn(std::chrono::milliseconds interval, const std::function<bool()>& keepGoing) {
    std::unique_lock lock(g_paceMutex);
    for (;;) {
        const Clock::time_point due = g_anyRequest ? g_lastRequest + interval : Clock::now();
        if (Clock::now() >= due) break;
        lock.unlock();
        if (!waitUntil(due, keepGoing)) return false;
        lock.lock();
    }
    g_lastRequest = Clock::now();
    g_anyRequest = true;
    return true;
}

// The delay of a Retry-After header in whole seconds; the HTTP-date form and garbage
// count as absent.
std::optional<std::chrono::seconds> retryAfter(const std::string& value) {
    long long seconds = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || seconds < 0) return std::nullopt;
    return std::chrono::seconds(std::min<long long>(seconds, 86400));
}

void failTransport(MusicBrainzClient& client, const kyHttpResponse& response) {
    client.setFailure(response.error == kyHttpError::Cancelled    ? MusicBrainzFailure::Cancelled
                      : response.error == kyHttpError::BadRequest ? MusicBrainzFailure::BadServer
                                                                  : MusicBrainzFailure::Transport,
                      response.message);
}

kyHttpRequest baseRequest(const MusicBrainzClient& client, std::string url, size_t limit) {
    kyHttpRequest request;
    request.url = std::move(url);
    request.userAgent = client.userAgent;
    request.proxy = kyHttpProxyUrl(client.proxy());
    request.headers = {"Accept: application/json"};
    request.maxAnswerBytes = limit;
    request.timeouts = client.timeouts;
    request.keepGoing = client.keepGoing;
    return request;
}

// GET `pathAndQuery` on the service, paced, with 503 answers tried again after their
// delay. The answer's status is 200 or 404 when this returns true.
bool serviceGet(MusicBrainzClient& client, const std::string& pathAndQuery,
                kyHttpResponse& response) {
    std::string base, error;
    if (!musicBrainzServerUrl(client.server(), base, error)) {
        client.setFailure(MusicBrainzFailure::BadServer, error);
        return false;
    }
    const kyHttpRequest request = baseRequest(client, base + pathAndQuery, kMaxAnswerBytes);
    for (int attempt = 0;; ++attempt) {
        if (!takeTurn(client.interval, client.keepGoing)) {
            client.setFailure(MusicBrainzFailure::Cancelled, "Operation cancelled");
            return false;
        }
        response = kyHttpPerform(request);
        if (!response.ok()) {
            failTransport(client, response);
            return false;
        }
        if (response.status == 200 || response.status == 404) break;
        if (response.status != 503) {
            client.setFailure(MusicBrainzFailure::Refused,
                              "MusicBrainz answered HTTP " + std::to_string(response.status));
            return false;
        }
        // Too many requests: wait as long as the service asks (at least our own interval).
        const auto asked = retryAfter(response.header("Retry-After"));
        const std::chrono::milliseconds wait = std::max<std::chrono::milliseconds>(
            asked ? *asked : std::chrono::seconds(1), client.interval);
        if (attempt >= client.retries || wait > client.longestWait) {
            client.setFailure(
                MusicBrainzFailure::Busy,
                "MusicBrainz is busy (HTTP 503)" +
                    (asked ? ": it asks to wait " + std::to_string(asked->count()) + " s"
                           : std::string()));
            return false;
        }
        {
            // The next turn comes no sooner than the delay.
            std::lock_guard lock(g_paceMutex);
            g_lastRequest = std::max(g_lastRequest, Clock::now() + wait - client.interval);
        }
    }
    client.setFailure(MusicBrainzFailure::None, {});
    return true;
}

} // namespace

bool musicBrainzServerUrl(std::string_view server, std::string& url, std::string& error) {
    return kyHttpServerUrl(server, "the MusicBrainz server", "https://", url, error);
}

std::string musicBrainzDiscPath(const kyDiscToc& toc) {
    std::string tocText = musicBrainzTocText(toc);
    for (char& c : tocText)
        if (c == ' ') c = '+';
    return "/ws/2/discid/" + musicBrainzDiscId(toc) + "?toc=" + tocText +
           "&cdstubs=no&inc=" + kMusicBrainzIncludes + "&fmt=json";
}

bool lookUpMusicBrainzDisc(MusicBrainzClient& client, const kyDiscToc& toc,
                           MusicBrainzDiscAnswer& answer) {
    answer = MusicBrainzDiscAnswer{};
    if (musicBrainzDiscId(toc).empty()) {
        client.setFailure(MusicBrainzFailure::NoAudio, "the disc has no audio track");
        return false;
    }
    kyHttpResponse response;
    if (!serviceGet(client, musicBrainzDiscPath(toc), response)) return false;
    if (response.status == 404) return true; // neither the id nor a close layout is known
    std::string error;
    if (!parseMusicBrainzDiscAnswer(response.body, answer, error)) {
        client.setFailure(MusicBrainzFailure::Malformed, error);
        return false;
    }
    return true;
}

bool readMusicBrainzRelease(MusicBrainzClient& client, const std::string& releaseId,
                            MusicBrainzRelease& release) {
    if (!isMusicBrainzId(releaseId)) {
        client.setFailure(MusicBrainzFailure::NotFound,
                          "not a MusicBrainz release id (8-4-4-4-12 hexadecimal digits)");
        return false;
    }
    kyHttpResponse response;
    if (!serviceGet(client,
                    "/ws/2/release/" + releaseId + "?inc=" + kMusicBrainzIncludes + "&fmt=json",
                    response))
        return false;
    if (response.status == 404) {
        client.setFailure(MusicBrainzFailure::NotFound,
                          "MusicBrainz knows no release " + releaseId);
        return false;
    }
    std::string error;
    MusicBrainzRelease read;
    if (!parseMusicBrainzRelease(response.body, read, error)) {
        client.setFailure(MusicBrainzFailure::Malformed, error);
        return false;
    }
    release = std::move(read);
    return true;
}

bool isJpeg(std::string_view bytes) {
    return bytes.size() >= 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 &&
           static_cast<unsigned char>(bytes[2]) == 0xFF;
}

bool fetchFrontCover(MusicBrainzClient& client, const std::string& server,
                     const std::string& releaseId, CoverImage& cover) {
    std::string base, error;
    if (!kyHttpServerUrl(server, "the Cover Art Archive server", "https://", base, error)) {
        client.setFailure(MusicBrainzFailure::BadServer, error);
        return false;
    }
    if (!isMusicBrainzId(releaseId)) {
        client.setFailure(MusicBrainzFailure::NotFound, "no release to fetch a cover for");
        return false;
    }
    // The archive answers with a redirect to where the image is kept.
    auto get = [&](const std::string& name, kyHttpResponse& response) {
        kyHttpRequest request =
            baseRequest(client, base + "/release/" + releaseId + "/" + name, kMaxCoverBytes);
        request.headers = {"Accept: image/jpeg, image/*;q=0.8"};
        request.maxRedirects = 5;
        response = kyHttpPerform(request);
    };
    kyHttpResponse response;
    get("front", response);
    if (response.ok() && response.status == 200 && isJpeg(response.body)) {
        cover.bytes = std::move(response.body);
        cover.mimeType = "image/jpeg";
        client.setFailure(MusicBrainzFailure::None, {});
        return true;
    }
    if (!response.ok() && response.error != kyHttpError::TooLarge) {
        failTransport(client, response);
        return false;
    }
    if (response.ok() && response.status == 404) {
        client.setFailure(MusicBrainzFailure::NotFound, "the release has no front cover");
        return false;
    }
    if (response.ok() && response.status != 200) {
        client.setFailure(MusicBrainzFailure::Refused,
                          "the Cover Art Archive answered HTTP " + std::to_string(response.status));
        return false;
    }
    // Too large, or not a JPEG: the archive's own JPEG rendition.
    get("front-1200", response);
    if (!response.ok()) {
        failTransport(client, response);
        return false;
    }
    if (response.status != 200 || !isJpeg(response.body)) {
        client.setFailure(MusicBrainzFailure::Malformed,
                          "the Cover Art Archive has no JPEG front cover of at most 5 MB");
        return false;
    }
    cover.bytes = std::move(response.body);
    cover.mimeType = "image/jpeg";
    client.setFailure(MusicBrainzFailure::None, {});
    return true;
}
