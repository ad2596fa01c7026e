#include "metadata/xmcd.h"

#include "core/text.h"
#include "metadata/freedb_disc_id.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <vector>

namespace {

// xmcd lines are at most 256 bytes; KEY=piece stays within 253 before CR LF.
constexpr size_t kLineBytes = 252;
constexpr size_t kMaxTitleIndex = 100;

// The leading decimal number after any spaces; 0 when there is none.
int32_t leadingNumber(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    int32_t n = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    return ec == std::errc() ? n : 0;
}

// "ttitle12" -> 12 for the prefix "ttitle"; -1 unless only digits follow.
long indexAfter(std::string_view key, size_t prefix) {
    std::string_view digits = key.substr(prefix);
    if (digits.empty() || digits.size() > 6) return -1;
    long n = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    return ec == std::errc() && end == digits.data() + digits.size() ? n : -1;
}

// The first line of `text` without its LF or CR LF; `text` moves past it.
std::string_view nextLine(std::string_view& text) {
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

std::string decodeValue(std::string_view raw) {
    return xmcdUnescape(kyUtf8OrSingleByte(raw));
}

} // namespace

bool discInfoFromXmcd(std::string_view text, DiscInfo& info, std::string& error) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (!kyStartsWithNoCaseAscii(text, "# xmcd")) {
        error = "not an xmcd record (it must begin with \"# xmcd\")";
        return false;
    }
    // The raw values of each key, joined in the order their lines come.
    std::map<std::string, std::string> values;
    std::map<long, std::string> titles, extended;
    int32_t revision = 0;
    bool first = true;
    while (!text.empty()) {
        const std::string_view line = nextLine(text);
        if (first) {
            first = false;
            continue;
        }
        if (!line.empty() && line.front() == '#') {
            if (kyStartsWithNoCaseAscii(line, "# Revision: "))
                revision = leadingNumber(line.substr(12));
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string key = kyLowerAscii(line.substr(0, eq));
        while (!key.empty() && key.back() == ' ') key.pop_back();
        const std::string_view value = line.substr(eq + 1);
        if (key.rfind("ttitle", 0) == 0) {
            if (long n = indexAfter(key, 6); n >= 0) titles[n].append(value);
        } else if (key.rfind("extt", 0) == 0) {
            if (long n = indexAfter(key, 4); n >= 0) extended[n].append(value);
        } else if (key == "discid" || key == "dtitle" || key == "dyear" || key == "dgenre" ||
                   key == "extd") {
            values[key].append(value);
        }
    }

    info.revision = revision;
    if (auto it = values.find("discid"); it != values.end()) {
        // Several ids may be listed, comma-separated: the first is this disc's.
        std::string id = it->second.substr(0, it->second.find(','));
        while (!id.empty() && id.front() == ' ') id.erase(0, 1);
        info.discId = id.substr(0, 10);
    }
    if (auto it = values.find("dtitle"); it != values.end()) {
        const std::string title = decodeValue(it->second);
        const size_t sep = title.find(" / ");
        if (sep == std::string::npos) {
            info.artist = title;
        } else {
            info.artist = title.substr(0, sep);
            info.title = title.substr(sep + 3);
        }
    }
    if (auto it = values.find("dyear"); it != values.end()) info.year = leadingNumber(it->second);
    if (auto it = values.find("dgenre"); it != values.end()) info.genre = decodeValue(it->second);
    if (auto it = values.find("extd"); it != values.end()) info.extended = decodeValue(it->second);
    const long rows = static_cast<long>(info.tracks.size());
    for (const auto& [n, raw] : titles)
        if (n < rows && n < static_cast<long>(kMaxTitleIndex))
            info.tracks[n].name = decodeValue(raw);
    for (const auto& [n, raw] : extended)
        if (n < rows) info.tracks[n].extended = decodeValue(raw);
    return true;
}

std::vector<uint32_t> xmcdFrameOffsets(std::string_view text) {
    std::vector<uint32_t> offsets;
    bool inList = false;
    while (!text.empty()) {
        std::string_view line = nextLine(text);
        if (line.empty() || line.front() != '#') break;
        if (!inList) {
            inList = kyStartsWithNoCaseAscii(line, "# Track frame offsets:");
            continue;
        }
        line.remove_prefix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        uint32_t n = 0;
        auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), n);
        if (ec != std::errc() || end == line.data()) break;
        offsets.push_back(n);
    }
    return offsets;
}

std::string xmcdEscape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r' || c == '\n') {
            // CR LF and LF CR are one break; a lone CR or LF is one too.
            const char pair = c == '\r' ? '\n' : '\r';
            if (i + 1 < value.size() && value[i + 1] == pair) ++i;
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (static_cast<unsigned char>(c) < 32) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string xmcdUnescape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[i + 1];
            if (next == 'n') {
                out += "\r\n";
                ++i;
                continue;
            }
            if (next == 't') {
                out += '\t';
                ++i;
                continue;
            }
            if (next == '\\') {
                out += '\\';
                ++i;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

void appendXmcdLines(std::string& out, std::string_view key, std::string_view value) {
    const std::string escaped = xmcdEscape(value);
    const size_t limit = key.size() < kLineBytes - 8 ? kLineBytes - key.size() : 8;
    size_t pos = 0;
    do {
        // Take whole units (an escape pair, a UTF-8 character) while they fit.
        size_t end = pos;
        while (end < escaped.size()) {
            size_t unit = 1;
            const auto lead = static_cast<unsigned char>(escaped[end]);
            if (lead == '\\') {
                unit = 2;
            } else if (lead >= 0xC0) {
                while (end + unit < escaped.size() && unit < 4 &&
                       (static_cast<unsigned char>(escaped[end + unit]) & 0xC0) == 0x80)
                    ++unit;
            }
            unit = std::min(unit, escaped.size() - end);
            if (end + unit - pos > limit) break;
            end += unit;
        }
        out.append(key);
        out += '=';
        out.append(escaped, pos, end - pos);
        out += "\r\n";
        pos = end;
    } while (pos < escaped.size());
}

std::string xmcdRecord(const DiscInfo& info, const kyDiscToc& toc, int32_t revision,
                       std::string_view submitter) {
    // The query text holds what the header needs: id+count+offsets...+seconds.
    std::vector<std::string> parts;
    const std::string query = discIdQueryText(toc);
    for (size_t pos = 0; pos <= query.size();) {
        const size_t plus = std::min(query.find('+', pos), query.size());
        parts.push_back(query.substr(pos, plus - pos));
        pos = plus + 1;
    }
    std::string out = "# xmcd\r\n#\r\n# Track frame offsets:\r\n";
    for (size_t i = 2; i + 1 < parts.size(); ++i) out += "#   " + parts[i] + "\r\n";
    out += "#\r\n# Disc length: " + (parts.size() > 2 ? parts.back() : "0") + " seconds\r\n#\r\n";
    out += "# Revision: " + std::to_string(revision) + "\r\n";
    out += "# Submitted via: " + std::string(submitter) + "\r\n#\r\n";
    appendXmcdLines(out, "DISCID", parts.empty() ? "" : parts[0]);
    appendXmcdLines(out, "DTITLE", info.artist + " / " + info.title);
    appendXmcdLines(out, "DYEAR", info.year > 0 ? std::to_string(info.year) : "");
    appendXmcdLines(out, "DGENRE", info.genre);
    const size_t tracks = toc.lastTrack >= toc.firstTrack && toc.firstTrack >= 1
                              ? toc.lastTrack - toc.firstTrack + 1
                              : 0;
    for (size_t n = 0; n < tracks; ++n)
        appendXmcdLines(out, "TTITLE" + std::to_string(n),
                        n < info.tracks.size() ? info.tracks[n].name : std::string());
    appendXmcdLines(out, "EXTD", info.extended);
    for (size_t n = 0; n < tracks; ++n)
        appendXmcdLines(out, "EXTT" + std::to_string(n),
                        n < info.tracks.size() ? info.tracks[n].extended : std::string());
    appendXmcdLines(out, "PLAYORDER", "");
    return out;
}
