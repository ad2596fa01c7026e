#pragma once
// The gnudb/CDDB client: "cddb query", "cddb read" and "sites" posted over HTTP to
// /~cddb/cddb.cgi, and the parsers of their answers (which tests feed with recorded
// answers). Every request carries the user's e-mail address in its hello; without one
// nothing is sent, since gnudb answers no request that lacks it.
#include "cd/disc_toc.h"
#include "metadata/disc_info.h"
#include "platform/http_client.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kFreedbIdentity = "DskR v5.0";
inline constexpr const char* kFreedbCommandPath = "/~cddb/cddb.cgi";
inline constexpr const char* kFreedbSubmitPath = "/~cddb/submit.cgi";

// One line of a query answer.
struct FreedbMatch {
    std::string discId; // up to 8 hexadecimal digits
    int category = -1;  // index into the category table
    std::string title;  // the rest of the line as sent, normally "artist / album"
};

// One line of a sites answer.
struct FreedbSite {
    std::string host; // at most 255 characters
    bool http = false;
    uint32_t port = 0;
    std::string path;        // at most 80
    std::string latitude;    // at most 15
    std::string longitude;   // at most 15
    std::string description; // at most 80
};

enum class FreedbFailure {
    None,
    NoEmail,   // no usable e-mail address: nothing was sent
    BadServer, // the server or proxy setting is not usable: nothing was sent
    NoAudio,   // the disc has no audio track: nothing was sent
    Transport, // no complete HTTP answer (see the message)
    Cancelled, // the request was cancelled
    Refused,   // the server answered with an error
    Malformed, // the answer is not what the command answers
};

class FreedbClient {
public:
    // The texts are the settings' (server host, proxy "host[:port]", e-mail address) and
    // are read at each request, so an edit of the settings is seen by the next one; they
    // must outlive the client. The server may also be written host:port or
    // http[s]://host[:port].
    FreedbClient(const std::string& server, const std::string& proxy, const std::string& email)
        : m_server(server), m_proxy(proxy), m_email(email) {}

    const std::string& server() const { return m_server; }
    const std::string& proxy() const { return m_proxy; }
    const std::string& email() const { return m_email; }

    std::string identity = kFreedbIdentity; // user agent and hello, "name version"
    kyHttpTimeouts timeouts;
    // Asked while a request runs (a window pumps its messages here); false cancels.
    std::function<bool()> keepGoing;

    // Why the last request failed: one line for the user, empty after a success.
    const std::string& lastError() const { return m_error; }
    FreedbFailure lastFailure() const { return m_failure; }
    void setFailure(FreedbFailure failure, std::string message) {
        m_failure = failure;
        m_error = std::move(message);
    }

private:
    const std::string& m_server;
    const std::string& m_proxy;
    const std::string& m_email;
    FreedbFailure m_failure = FreedbFailure::None;
    std::string m_error;
};

// ---- requests -------------------------------------------------------------------------

// Sends `body` (a CR LF is added) by POST to `path` on the client's server, with the
// extra header lines ("Name: value") after the fixed ones; the answer's body in `answer`.
// An answer longer than `limit` bytes, an HTTP error status or an empty answer fails;
// without a usable e-mail address (user@host) nothing is sent.
bool postRequest(FreedbClient& client, const std::string& path, const std::string& body,
                 const std::vector<std::string>* extraHeaders, std::string& answer, size_t limit);

// "cddb query": fills `matches` (emptied first) and `exact` (false for near matches).
// Fails without a request when the disc has no audio track.
bool queryDisc(FreedbClient& client, const kyDiscToc& toc, std::vector<FreedbMatch>& matches,
               bool& exact);
// "cddb read" of one match into `info`: names, genre, year, revision; the category
// becomes the match's. On failure `info` keeps what it had.
bool readDisc(FreedbClient& client, DiscInfo& info, const FreedbMatch& match);
// "sites": the servers the database lists.
bool readSites(FreedbClient& client, std::vector<FreedbSite>& sites);

// The http(s)://host[:port] that requests go to, for a server setting written as host,
// host:port or a URL without a path. False with a message when the text is not usable.
bool freedbServerUrl(std::string_view server, std::string& url, std::string& error);
// "&hello=USER+HOST+NAME+VERSION&proto=6": the address split at its last "@", the
// identity at its first space, each word percent-encoded with line breaks removed.
// Empty when the address has no user or no host part.
std::string freedbHelloTail(std::string_view email, std::string_view identity);

// ---- answers --------------------------------------------------------------------------

// "rock 06019002 Artist / Album": category (the first of the table the line begins with,
// any letter case, else misc), disc id and title. False when the line has no such form.
bool parseMatchLine(std::string_view line, FreedbMatch& match);
// A query answer: 200 (one match), 202 (none), 210 (several exact) or 211 (near
// matches); a list must end with its "." line. Other codes fail with the server's text.
bool parseQueryAnswer(std::string_view answer, std::vector<FreedbMatch>& matches, bool& exact,
                      std::string& error);
// A read answer: "210 ..." then the xmcd record and its "." line.
bool parseReadAnswer(std::string_view answer, const FreedbMatch& match, DiscInfo& info,
                     std::string& error);
// "host http 80 /~cddb/cddb.cgi N000.00 W000.00 description"; latitude, longitude and
// description may be missing. False when the line has no such form.
bool parseSiteLine(std::string_view line, FreedbSite& site);
bool parseSitesAnswer(std::string_view answer, std::vector<FreedbSite>& sites, std::string& error);
