#include "metadata/freedb_client.h"

#include "core/text.h"
#include "metadata/freedb_disc_id.h"
#include "metadata/xmcd.h"

#include <cctype>
#include <charconv>

namespace {

constexpr int kProtocolLevel = 6; // answers in UTF-8
constexpr size_t kMaxListLines = 100;
// Room for the 100 lines a list may have, so that a long but complete answer is not
// refused; anything longer is not a CDDB answer.
constexpr size_t kQueryAnswerBytes = 65536;
constexpr size_t kReadAnswerBytes = 65536;
constexpr size_t kSitesAnswerBytes = 32768;

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A piece of server text fit for a message: control characters dropped, at most 80 bytes.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 80))
        if (static_cast<unsigned char>(c) >= 32) out += c;
    return kyUtf8OrSingleByte(out);
}

// A CDDB answer cut into its status line and the lines of its list.
struct Answer {
    int code = -1;
    std::string_view status;
    std::vector<std::string_view> lines; // after the status line, before the "." line
    bool terminated = false;             // the "." line came
};

bool splitAnswer(std::string_view text, Answer& a, std::string& error) {
    if (text.empty()) {
        error = "the server sent an empty answer";
        return false;
    }
    bool first = true;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        const bool complete = eol != std::string_view::npos;
        text.remove_prefix(complete ? eol + 1 : text.size());
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            first = false;
            a.status = line;
            continue;
        }
        if (line == ".") {
            a.terminated = true;
            break;
        }
        // A last piece without its line end was cut off on the way.
        if (complete) a.lines.push_back(line);
    }
    const std::string_view s = a.status;
    if (s.size() < 3 || !std::isdigit(static_cast<unsigned char>(s[0])) ||
        !std::isdigit(static_cast<unsigned char>(s[1])) ||
        !std::isdigit(static_cast<unsigned char>(s[2])) || (s.size() > 3 && s[3] != ' ')) {
        error = "the server's answer is not a CDDB answer: \"" + printable(s) + "\"";
        return false;
    }
    a.code = (s[0] - '0') * 100 + (s[1] - '0') * 10 + (s[2] - '0');
    return true;
}

bool requireEnd(const Answer& a, std::string& error) {
    if (a.terminated) return true;
    error = "the server's answer ended before its last line (it is incomplete)";
    return false;
}

std::string refused(const Answer& a) {
    return "the server answered \"" + printable(a.status) + "\"";
}

// An answer of code 210 whose list ends with its "." line.
bool splitList(std::string_view text, Answer& a, std::string& error) {
    if (!splitAnswer(text, a, error)) return false;
    if (a.code != 210) {
        error = refused(a);
        return false;
    }
    return requireEnd(a, error);
}

bool siteChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '/' || c == '~' || c == '-';
}

// A field of site characters from `pos`, kept to `size` bytes; `pos` moves past it.
std::string siteField(std::string_view line, size_t& pos, size_t size) {
    const size_t start = pos;
    while (pos < line.size() && siteChar(line[pos])) ++pos;
    return std::string(line.substr(start, std::min(pos - start, size)));
}

void skipSpaces(std::string_view line, size_t& pos) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
}

// At most `size` bytes, never half a UTF-8 character.
std::string cutUtf8(std::string_view text, size_t size) {
    if (text.size() <= size) return std::string(text);
    size_t end = size;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

std::string withoutControls(std::string_view text) {
    std::string out;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 32 && c != 127) out += c;
    return out;
}

bool hasAudioTrack(const kyDiscToc& toc) {
    if (toc.firstTrack < 1 || toc.lastTrack > 99 || toc.firstTrack > toc.lastTrack) return false;
    for (uint32_t t = toc.firstTrack; t <= toc.lastTrack; ++t)
        if (!toc.entries[t].data) return true;
    return false;
}

const char* const kNoEmail =
    "no e-mail address is set: gnudb answers only requests that carry the sender's address";

// A failed parse: the server's refusal (4xx, 5xx codes) or an answer that makes no sense.
void failAnswer(FreedbClient& client, std::string_view answer, const std::string& error) {
    Answer a;
    std::string ignored;
    const bool refusal = splitAnswer(answer, a, ignored) && a.code >= 400;
    client.setFailure(refusal ? FreedbFailure::Refused : FreedbFailure::Malformed, error);
}

} // namespace

bool freedbServerUrl(std::string_view server, std::string& url, std::string& error) {
    return kyHttpServerUrl(server, "the freedb server", "http://", url, error);
}

std::string freedbHelloTail(std::string_view email, std::string_view identity) {
    const std::string address = withoutControls(email);
    const size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == address.size()) return {};
    const std::string id = withoutControls(identity);
    const size_t space = id.find(' ');
    const std::string name = id.substr(0, space);
    const std::string version = space == std::string::npos ? std::string() : id.substr(space + 1);
    return "&hello=" + kyPercentEncode(address.substr(0, at)) + "+" +
           kyPercentEncode(address.substr(at + 1)) + "+" + kyPercentEncode(name) + "+" +
           kyPercentEncode(version) + "&proto=" + std::to_string(kProtocolLevel);
}

bool postRequest(FreedbClient& client, const std::string& path, const std::string& body,
                 const std::vector<std::string>* extraHeaders, std::string& answer, size_t limit) {
    answer.clear();
    if (freedbHelloTail(client.email(), client.identity).empty()) {
        client.setFailure(FreedbFailure::NoEmail,
                          client.email().empty() ? kNoEmail : "Invalid email address!");
        return false;
    }
    kyHttpRequest request;
    std::string error;
    if (!freedbServerUrl(client.server(), request.url, error)) {
        client.setFailure(FreedbFailure::BadServer, error);
        return false;
    }
    request.url += path;
    request.method = "POST";
    request.http10 = true;
    request.allowHttp09 = true;
    request.userAgent = withoutControls(client.identity);
    request.proxy = kyHttpProxyUrl(withoutControls(client.proxy()));
    request.headers = {"Content-Type: text/plain", "Accept:"};
    if (extraHeaders)
        for (const std::string& h : *extraHeaders) request.headers.push_back(withoutControls(h));
    request.body = body + "\r\n";
    request.maxAnswerBytes = limit;
    request.timeouts = client.timeouts;
    request.keepGoing = client.keepGoing;
    kyHttpResponse response = kyHttpPerform(request);
    if (!response.ok()) {
        client.setFailure(response.error == kyHttpError::Cancelled    ? FreedbFailure::Cancelled
                          : response.error == kyHttpError::BadRequest ? FreedbFailure::BadServer
                                                                      : FreedbFailure::Transport,
                          response.message);
        return false;
    }
    // A bare answer without status line has status 0.
    if (response.status >= 300) {
        client.setFailure(FreedbFailure::Refused,
                          "the server answered HTTP " + std::to_string(response.status));
        return false;
    }
    if (response.body.empty()) {
        client.setFailure(FreedbFailure::Transport, "the server sent an empty answer");
        return false;
    }
    answer = std::move(response.body);
    client.setFailure(FreedbFailure::None, {});
    return true;
}

namespace {
// A cddb.cgi command with the hello that every command carries (postRequest refuses an
// address the hello cannot be made of).
bool sendCommand(FreedbClient& client, const std::string& command, size_t limit,
                 std::string& answer) {
    return postRequest(client, kFreedbCommandPath,
                       command + freedbHelloTail(client.email(), client.identity), nullptr, answer,
                       limit);
}
} // namespace

// ---- query ----------------------------------------------------------------------------

bool parseMatchLine(std::string_view line, FreedbMatch& match) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || space == 0) return false;
    int category = categoryIndex("misc");
    for (int i = 0; i < kCategoryCount; ++i)
        if (kyStartsWithNoCaseAscii(line, categoryName(i))) {
            category = i;
            break;
        }
    size_t pos = space;
    skipSpaces(line, pos);
    const size_t idStart = pos;
    while (pos < line.size() && pos - idStart < 8 && isHex(line[pos])) ++pos;
    if (pos == idStart || pos >= line.size() || line[pos] != ' ') return false;
    match.discId = kyLowerAscii(line.substr(idStart, pos - idStart));
    match.category = category;
    skipSpaces(line, pos);
    match.title = kyUtf8OrSingleByte(line.substr(pos));
    return true;
}

bool parseQueryAnswer(std::string_view text, std::vector<FreedbMatch>& matches, bool& exact,
                      std::string& error) {
    matches.clear();
    exact = true;
    Answer a;
    if (!splitAnswer(text, a, error)) return false;
    switch (a.code) {
    case 200: {
        FreedbMatch m;
        if (a.status.size() < 4 || !parseMatchLine(a.status.substr(4), m)) {
            error = "the server's match is not readable: \"" + printable(a.status) + "\"";
            return false;
        }
        matches.push_back(std::move(m));
        return true;
    }
    case 202:
        return true;
    case 211:
        exact = false;
        [[fallthrough]];
    case 210:
        if (!requireEnd(a, error)) return false;
        for (size_t i = 0; i < a.lines.size() && i < kMaxListLines; ++i) {
            FreedbMatch m;
            if (parseMatchLine(a.lines[i], m)) matches.push_back(std::move(m));
        }
        return true;
    default:
        error = refused(a);
        return false;
    }
}

bool queryDisc(FreedbClient& client, const kyDiscToc& toc, std::vector<FreedbMatch>& matches,
               bool& exact) {
    matches.clear();
    exact = true;
    if (!hasAudioTrack(toc)) {
        client.setFailure(FreedbFailure::NoAudio, "the disc has no audio track");
        return false;
    }
    std::string answer, error;
    if (!sendCommand(client, "cmd=cddb+query+" + discIdQueryText(toc), kQueryAnswerBytes, answer))
        return false;
    if (!parseQueryAnswer(answer, matches, exact, error)) {
        failAnswer(client, answer, error);
        return false;
    }
    return true;
}

// ---- read -----------------------------------------------------------------------------

bool parseReadAnswer(std::string_view text, const FreedbMatch& match, DiscInfo& info,
                     std::string& error) {
    Answer a;
    if (!splitList(text, a, error)) return false;
    std::string record;
    for (std::string_view line : a.lines) {
        record.append(line);
        record += '\n';
    }
    if (!discInfoFromXmcd(record, info, error)) return false;
    info.category = match.category;
    return true;
}

bool readDisc(FreedbClient& client, DiscInfo& info, const FreedbMatch& match) {
    const char* category = categoryName(match.category);
    bool idOk = !match.discId.empty() && match.discId.size() <= 8;
    for (char c : match.discId) idOk &= isHex(c);
    if (!category || !idOk) {
        client.setFailure(FreedbFailure::Malformed, "the match names no category or disc id");
        return false;
    }
    std::string answer, error;
    if (!sendCommand(client, std::string("cmd=cddb+read+") + category + "+" + match.discId,
                     kReadAnswerBytes, answer))
        return false;
    DiscInfo read = info;
    if (!parseReadAnswer(answer, match, read, error)) {
        failAnswer(client, answer, error);
        return false;
    }
    info = std::move(read);
    return true;
}

// ---- sites ----------------------------------------------------------------------------

bool parseSiteLine(std::string_view line, FreedbSite& site) {
    size_t pos = 0;
    FreedbSite s;
    s.host = siteField(line, pos, 255);
    if (s.host.empty() || pos >= line.size() || line[pos] != ' ') return false;
    skipSpaces(line, pos);
    const std::string protocol = siteField(line, pos, 15);
    if (protocol.empty() || pos >= line.size() || line[pos] != ' ') return false;
    skipSpaces(line, pos);
    const std::string port = siteField(line, pos, 15);
    if (port.empty() || pos >= line.size() || line[pos] != ' ') return false;
    skipSpaces(line, pos);
    s.path = siteField(line, pos, 80);
    if (s.path.empty() || (pos < line.size() && line[pos] != ' ')) return false;
    skipSpaces(line, pos);
    s.latitude = siteField(line, pos, 15);
    skipSpaces(line, pos);
    s.longitude = siteField(line, pos, 15);
    skipSpaces(line, pos);
    s.description = cutUtf8(kyUtf8OrSingleByte(line.substr(std::min(pos, line.size()))), 80);
    s.http = kyEqualsNoCaseAscii(protocol, "http");
    uint32_t n = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), n);
    s.port = ec == std::errc() ? n : 0;
    if (s.http && s.port == 0) s.port = 80;
    site = std::move(s);
    return true;
}

bool parseSitesAnswer(std::string_view text, std::vector<FreedbSite>& sites, std::string& error) {
    sites.clear();
    Answer a;
    if (!splitList(text, a, error)) return false;
    for (size_t i = 0; i < a.lines.size() && i < kMaxListLines; ++i) {
        FreedbSite s;
        if (parseSiteLine(a.lines[i], s)) sites.push_back(std::move(s));
    }
    return true;
}

bool readSites(FreedbClient& client, std::vector<FreedbSite>& sites) {
    sites.clear();
    std::string answer, error;
    if (!sendCommand(client, "cmd=sites", kSitesAnswerBytes, answer)) return false;
    if (!parseSitesAnswer(answer, sites, error)) {
        failAnswer(client, answer, error);
        return false;
    }
    return true;
}
