#pragma once
// The MusicBrainz web-service client: a disc id look-up (with the table of contents, so
// that an unknown id still finds releases of a close track layout), a release look-up,
// and the release's front cover from the Cover Art Archive.
//
// The service asks its clients to name themselves (User-Agent with a contact) and to send
// at most one request a second; it answers 503 when a client is too quick, and such an
// answer is tried again after the delay it gives. Requests of every client in the process
// share the pacing.
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"
#include "metadata/musicbrainz_release.h"
#include "platform/http_client.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

inline constexpr const char* kMusicBrainzServer = "https://musicbrainz.org";
inline constexpr const char* kCoverArtServer = "https://coverartarchive.org";
inline constexpr const char* kMusicBrainzUserAgent = "DskR/5.0 ( dskr@velmora.org )";
// What a disc look-up asks the service to say about each release.
inline constexpr const char* kMusicBrainzIncludes =
    "artist-credits+recordings+labels+isrcs+release-groups+discids";
// A front cover larger than this is not fetched (a smaller rendition is, when there is one).
inline constexpr size_t kMaxCoverBytes = 5 * 1024 * 1024;

enum class MusicBrainzFailure {
    None,
    BadServer, // the server setting is not usable: nothing was sent
    NoAudio,   // the disc has no audio track: nothing was sent
    Transport, // no complete HTTP answer (see the message)
    Cancelled,
    Busy,      // still 503 after the retries, or a wait longer than allowed
    Refused,   // an HTTP error other than "not found"
    NotFound,  // no such release (or no cover)
    Malformed, // the answer is not what the request answers
};

class MusicBrainzClient {
public:
    // `server` ("https://musicbrainz.org", host or host:port) and `proxy` ("host[:port]",
    // empty for none) are the settings' texts, read at each request; they must outlive the
    // client.
    MusicBrainzClient(const std::string& server, const std::string& proxy)
        : m_server(server), m_proxy(proxy) {}

    const std::string& server() const { return m_server; }
    const std::string& proxy() const { return m_proxy; }

    std::string userAgent = kMusicBrainzUserAgent;
    kyHttpTimeouts timeouts;
    // The shortest time between the starts of two requests to the service.
    std::chrono::milliseconds interval{1000};
    // How often a 503 answer is tried again, and the longest delay waited for it.
    int retries = 3;
    std::chrono::milliseconds longestWait{15000};
    // Asked while a request runs or waits; false cancels.
    std::function<bool()> keepGoing;

    const std::string& lastError() const { return m_error; }
    MusicBrainzFailure lastFailure() const { return m_failure; }
    void setFailure(MusicBrainzFailure failure, std::string message) {
        m_failure = failure;
        m_error = std::move(message);
    }

private:
    const std::string& m_server;
    const std::string& m_proxy;
    MusicBrainzFailure m_failure = MusicBrainzFailure::None;
    std::string m_error;
};

// The http(s)://host[:port] of a server setting written as a URL, host or host:port (a
// bare host means https). False with a message when the text is not usable.
bool musicBrainzServerUrl(std::string_view server, std::string& url, std::string& error);

// The path and query of a disc look-up: "/ws/2/discid/ID?toc=1+2+...&cdstubs=no&inc=...".
std::string musicBrainzDiscPath(const kyDiscToc& toc);

// Releases that hold the disc, or (when the service does not know its id) releases of a
// close layout, `exact` false. An unknown disc is a success with no releases.
bool lookUpMusicBrainzDisc(MusicBrainzClient& client, const kyDiscToc& toc,
                           MusicBrainzDiscAnswer& answer);
// One release by its id ("not found" for an id the service does not know).
bool readMusicBrainzRelease(MusicBrainzClient& client, const std::string& releaseId,
                            MusicBrainzRelease& release);

// The front cover of a release from the Cover Art Archive at `server`, as a JPEG: the
// original image when it is a JPEG of at most kMaxCoverBytes, else the archive's
// 1200-pixel rendition. NotFound when the release has no front cover.
bool fetchFrontCover(MusicBrainzClient& client, const std::string& server,
                     const std::string& releaseId, CoverImage& cover);

// True for the bytes of a JPEG image (SOI marker and a segment).
bool isJpeg(std::string_view bytes);
