#pragma once
// The one HTTP layer of the program, over libcurl: every database client (gnudb/CDDB,
// AccurateRip, MusicBrainz, cover art) sends its requests through kyHttpPerform.
//
// A request never hangs: connecting, a stalled transfer and the whole exchange each have a
// limit, and the caller's tick function is asked every few tens of milliseconds whether to
// go on (name look-up runs on libcurl's resolver thread, so a window stays responsive
// while a host name is looked up). An answer larger than the caller allows is an error,
// never a silently shortened success.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct kyHttpTimeouts {
    long connectMs = 10000;  // name look-up and connection
    long lowSpeedMs = 10000; // no byte moving for this long ends the transfer
    long totalMs = 30000;    // the whole exchange

    // All three bounded by `totalMs` (for a caller that only knows one limit).
    static kyHttpTimeouts Total(long totalMs);
};

struct kyHttpRequest {
    std::string method = "GET"; // "GET", "POST" or "HEAD"
    std::string url;            // http:// or https:// only
    // Extra header lines "Name: value" (no CR LF); "Name:" removes a header libcurl would
    // send by itself.
    std::vector<std::string> headers;
    std::string body;      // POST only
    std::string userAgent; // empty: no User-Agent header
    // "http://host:port" (see kyHttpProxyUrl); empty: libcurl's default, which honours
    // the http_proxy / https_proxy / no_proxy environment.
    std::string proxy;
    bool http10 = false;      // send HTTP/1.0 (a Host header is sent all the same)
    bool allowHttp09 = false; // accept a bare answer without status line and headers
    int maxRedirects = 0;
    size_t maxAnswerBytes = 1 << 20; // a longer answer body is an error
    kyHttpTimeouts timeouts;
    // Asked while the request runs; returning false cancels it. May be empty.
    std::function<bool()> keepGoing;
};

enum class kyHttpError {
    None,
    BadRequest, // a malformed URL or proxy, or a scheme other than http/https
    Resolve,    // the host name (or the proxy's) could not be looked up
    Connect,    // no connection
    TimedOut,   // one of the three limits ran out
    TooLarge,   // the answer exceeded maxAnswerBytes
    Incomplete, // the connection ended before the announced end of the answer, or no
                // answer came at all
    Cancelled,  // keepGoing said stop
    Tls,        // certificate or handshake failure
    Other,
};

struct kyHttpResponse {
    kyHttpError error = kyHttpError::None;
    std::string message; // one line for the user when error != None
    long status = 0;     // HTTP status of the final answer (0 when none came)
    std::vector<std::pair<std::string, std::string>> headers; // of the final answer
    std::string body;

    bool ok() const { return error == kyHttpError::None; }
    // The first header of that name (any letter case); empty when absent.
    std::string header(std::string_view name) const;
};

// Sends the request and waits for the whole answer. HTTP error statuses (404, 500, ...)
// are answers, not errors: callers look at `status`.
kyHttpResponse kyHttpPerform(const kyHttpRequest& request);

// The proxy URL for a setting written as host, host:port or a URL: no scheme means
// http://, no port means 8080. "[::1]:3128" names an IPv6 proxy. Empty for empty text.
std::string kyHttpProxyUrl(std::string_view setting);

// The scheme://host[:port] of a server setting written as http(s)://host[:port], host or
// host:port (then `defaultScheme`, "http://" or "https://", goes in front). False with a
// message naming the setting by `what` ("the freedb server") when the text is not usable.
bool kyHttpServerUrl(std::string_view setting, std::string_view what,
                     std::string_view defaultScheme, std::string& url, std::string& error);

// Percent-encodes every byte except the unreserved ones (A-Z a-z 0-9 - . _ ~).
std::string kyPercentEncode(std::string_view bytes);
