#include "platform/http_client.h"

#include "core/text.h"
#include "platform/components.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

namespace {

// The libcurl in use, with the TLS library it was built with.
std::optional<std::string> curlVersion() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info || !info->version) return std::nullopt;
    std::string text = info->version;
    if (info->ssl_version) text += std::string(" (") + info->ssl_version + ")";
    return text;
}
const kyComponentRegistration registration{{"libcurl", "the disc database over HTTP", curlVersion}};

// How long one wait for the sockets lasts before the caller's tick function is asked again.
constexpr int kTickMs = 50;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// "host" or "host:port" of a URL, for messages.
std::string hostOf(std::string_view url) {
    if (auto p = url.find("://"); p != std::string_view::npos) url.remove_prefix(p + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    if (auto at = url.rfind('@'); at != std::string_view::npos) url.remove_prefix(at + 1);
    return std::string(url);
}

std::string seconds(long ms) {
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Transfer {
    kyHttpResponse* response;
    size_t limit;
    bool tooLarge = false;
    uint64_t received = 0; // header and body bytes, to tell a stalled transfer
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (n > t->limit - std::min(t->limit, t->response->body.size())) {
        t->tooLarge = true;
        return 0; // ends the transfer with a write error
    }
    t->response->body.append(data, n);
    t->received += n;
    return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    t->received += n;
    std::string_view line(data, n);
    if (kyStartsWithNoCaseAscii(line, "HTTP/")) {
        // A new status line: an interim or redirected answer's headers are forgotten.
        t->response->headers.clear();
    } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
        t->response->headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                          std::string(trim(line.substr(colon + 1))));
    }
    return n;
}

void fail(kyHttpResponse& r, kyHttpError error, std::string message) {
    r.error = error;
    r.message = std::move(message);
}

} // namespace

kyHttpTimeouts kyHttpTimeouts::Total(long totalMs) {
    kyHttpTimeouts t;
    t.totalMs = totalMs;
    t.connectMs = std::min(t.connectMs, totalMs);
    t.lowSpeedMs = std::min(t.lowSpeedMs, totalMs);
    return t;
}

std::string kyHttpResponse::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (kyEqualsNoCaseAscii(n, name)) return v;
    return {};
}

kyHttpResponse kyHttpPerform(const kyHttpRequest& request) {
    kyHttpResponse response;
    const std::string host = hostOf(request.url);
    if (!kyStartsWithNoCaseAscii(request.url, "http://") &&
        !kyStartsWithNoCaseAscii(request.url, "https://")) {
        fail(response, kyHttpError::BadRequest,
             "not an http:// or https:// address: " + request.url);
        return response;
    }
    if (request.method != "GET" && request.method != "POST" && request.method != "HEAD") {
        fail(response, kyHttpError::BadRequest, "unsupported HTTP method " + request.method);
        return response;
    }
    globalInit();
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) {
        fail(response, kyHttpError::Other, "the HTTP library could not start");
        return response;
    }
    CURL* e = easy.get();
    char errorText[CURL_ERROR_SIZE] = {};
    Transfer transfer{&response, request.maxAnswerBytes};

    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(std::min<size_t>(request.maxAnswerBytes, INT64_MAX)));
    if (request.http10) curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    if (request.allowHttp09) curl_easy_setopt(e, CURLOPT_HTTP09_ALLOWED, 1L);
    if (request.maxRedirects > 0) {
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(request.maxRedirects));
    }
    if (!request.userAgent.empty())
        curl_easy_setopt(e, CURLOPT_USERAGENT, request.userAgent.c_str());
    if (!request.proxy.empty()) curl_easy_setopt(e, CURLOPT_PROXY, request.proxy.c_str());

    const kyHttpTimeouts& t = request.timeouts;
    if (t.connectMs > 0) curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, t.connectMs);
    if (t.totalMs > 0) curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, t.totalMs);

    if (request.method == "POST") {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
    } else if (request.method == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    }

    curl_slist* list = nullptr;
    bool expectGiven = false;
    for (const std::string& h : request.headers) {
        if (h.find_first_of("\r\n") != std::string::npos) {
            fail(response, kyHttpError::BadRequest, "a header line holds a line break");
            curl_slist_free_all(list);
            return response;
        }
        expectGiven |= kyStartsWithNoCaseAscii(h, "Expect:");
        list = curl_slist_append(list, h.c_str());
    }
    // Many small servers do not know "100 Continue": send the body straight away.
    if (!expectGiven) list = curl_slist_append(list, "Expect:");
    std::unique_ptr<curl_slist, ListDeleter> headerList(list);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);

    curl_multi_add_handle(multi.get(), e);
    CURLcode result = CURLE_OK;
    bool done = false, cancelled = false, stalled = false;
    // libcurl's own low-speed check averages over several seconds; this one measures the
    // time since the last byte moved, from the moment the connection stands.
    using Clock = std::chrono::steady_clock;
    bool connected = false;
    Clock::time_point lastActivity = Clock::now();
    uint64_t lastBytes = 0;
    while (!done) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(multi.get(), &running);
        if (mc != CURLM_OK) {
            curl_multi_remove_handle(multi.get(), e);
            fail(response, kyHttpError::Other, curl_multi_strerror(mc));
            return response;
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued))
            if (msg->msg == CURLMSG_DONE) {
                result = msg->data.result;
                done = true;
            }
        if (done) break;
        if (request.keepGoing && !request.keepGoing()) {
            cancelled = true;
            break;
        }
        curl_off_t sent = 0, connectTime = 0;
        curl_easy_getinfo(e, CURLINFO_SIZE_UPLOAD_T, &sent);
        curl_easy_getinfo(e, CURLINFO_CONNECT_TIME_T, &connectTime);
        const uint64_t bytes = transfer.received + static_cast<uint64_t>(sent);
        if ((connectTime > 0 && !connected) || bytes != lastBytes) {
            connected = connected || connectTime > 0;
            lastBytes = bytes;
            lastActivity = Clock::now();
        } else if (connected && t.lowSpeedMs > 0 &&
                   Clock::now() - lastActivity >= std::chrono::milliseconds(t.lowSpeedMs)) {
            stalled = true;
            break;
        }
        curl_multi_poll(multi.get(), nullptr, 0, kTickMs, nullptr);
    }
    curl_multi_remove_handle(multi.get(), e);
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &response.status);

    if (cancelled) {
        fail(response, kyHttpError::Cancelled, "Operation cancelled");
        return response;
    }
    if (stalled) {
        fail(response, kyHttpError::TimedOut, host + " sent nothing for " + seconds(t.lowSpeedMs));
        return response;
    }
    if (result == CURLE_OK) return response;

    const std::string detail = errorText[0] ? errorText : curl_easy_strerror(result);
    switch (result) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        fail(response, kyHttpError::BadRequest,
             "cannot use the address " + request.url + ": " + detail);
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        fail(response, kyHttpError::Resolve, "cannot find the server " + host);
        break;
    case CURLE_COULDNT_RESOLVE_PROXY:
        fail(response, kyHttpError::Resolve, "cannot find the proxy " + hostOf(request.proxy));
        break;
    case CURLE_COULDNT_CONNECT: {
        long osError = 0;
        curl_easy_getinfo(e, CURLINFO_OS_ERRNO, &osError);
        fail(response, kyHttpError::Connect,
             "cannot connect to " +
                 (request.proxy.empty() ? host : "the proxy " + hostOf(request.proxy)) + ": " +
                 (osError ? std::strerror(static_cast<int>(osError)) : detail));
        break;
    }
    case CURLE_OPERATION_TIMEDOUT: {
        curl_off_t connected = 0;
        curl_easy_getinfo(e, CURLINFO_CONNECT_TIME_T, &connected);
        if (connected == 0)
            fail(response, kyHttpError::TimedOut,
                 "no connection to " + host + " within " +
                     seconds(t.totalMs > 0 ? std::min(t.connectMs, t.totalMs) : t.connectMs));
        else
            fail(response, kyHttpError::TimedOut,
                 "no complete answer from " + host + " within " + seconds(t.totalMs));
        break;
    }
    case CURLE_WRITE_ERROR:
    case CURLE_FILESIZE_EXCEEDED:
        if (transfer.tooLarge || result == CURLE_FILESIZE_EXCEEDED)
            fail(response, kyHttpError::TooLarge,
                 "the answer from " + host + " is larger than " +
                     std::to_string(request.maxAnswerBytes) + " bytes");
        else
            fail(response, kyHttpError::Other, detail);
        break;
    case CURLE_GOT_NOTHING:
        fail(response, kyHttpError::Incomplete, host + " closed the connection without answering");
        break;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
        fail(response, kyHttpError::Incomplete, host + " broke off the answer (" + detail + ")");
        break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
        fail(response, kyHttpError::Tls, "secure connection to " + host + " failed: " + detail);
        break;
    default:
        fail(response, kyHttpError::Other, "HTTP request to " + host + " failed: " + detail);
        break;
    }
    return response;
}

std::string kyHttpProxyUrl(std::string_view setting) {
    std::string_view s = trim(setting);
    if (s.empty()) return {};
    std::string scheme = "http://";
    if (auto p = s.find("://"); p != std::string_view::npos) {
        scheme = std::string(s.substr(0, p + 3));
        s.remove_prefix(p + 3);
    }
    while (!s.empty() && s.back() == '/') s.remove_suffix(1);
    // A port follows the last ":" unless that colon is inside an IPv6 literal.
    const size_t colon = s.rfind(':');
    const size_t bracket = s.rfind(']');
    const bool hasPort = colon != std::string_view::npos &&
                         (bracket == std::string_view::npos || colon > bracket) &&
                         (s.front() == '[' || s.find(':') == colon);
    std::string url = scheme + std::string(s);
    if (!hasPort) url += ":8080";
    return url;
}

bool kyHttpServerUrl(std::string_view server, std::string_view what, std::string_view defaultScheme,
                     std::string& url, std::string& error) {
    server = trim(server);
    std::string scheme(defaultScheme);
    if (kyStartsWithNoCaseAscii(server, "http://")) {
        scheme = "http://";
        server.remove_prefix(7);
    } else if (kyStartsWithNoCaseAscii(server, "https://")) {
        scheme = "https://";
        server.remove_prefix(8);
    } else if (server.find("://") != std::string_view::npos) {
        error = std::string(what) + " must be an http:// or https:// address";
        return false;
    }
    while (!server.empty() && server.back() == '/') server.remove_suffix(1);
    if (server.empty()) {
        error = "no " + std::string(what.substr(what.find(' ') + 1)) + " is set";
        return false;
    }
    for (char c : server)
        if (static_cast<unsigned char>(c) <= 32 || c == '/' || c == '?' || c == '#' || c == '@' ||
            c == '\\' || c == 127) {
            std::string shown;
            for (char k : server.substr(0, 80))
                if (static_cast<unsigned char>(k) >= 32) shown += k;
            error = std::string(what) + " must be a host name, host:port or " + scheme +
                    "host:port, not \"" + kyUtf8OrSingleByte(shown) + "\"";
            return false;
        }
    url = scheme + std::string(server);
    return true;
}

std::string kyPercentEncode(std::string_view bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
