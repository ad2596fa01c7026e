#include "platform/settings_store.h"
#include "platform/file_io.h"
#include "platform/user_folders.h"

#include "core/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kKeyLine = "[HKEY_CURRENT_USER\\Software\\Velmora\\DskR 5]";
// A settings file is a few kilobytes; anything far larger is not ours.
constexpr size_t kMaxFileSize = 1 << 20;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Reads a quoted text starting at s[0] == '"'; advances s past the closing quote.
bool readQuoted(std::string_view& s, std::string& out) {
    if (s.empty() || s.front() != '"') return false;
    s.remove_prefix(1);
    out.clear();
    while (!s.empty()) {
        char c = s.front();
        s.remove_prefix(1);
        if (c == '"') return true;
        if (c == '\\') {
            if (s.empty()) return false;
            c = s.front();
            s.remove_prefix(1);
        }
        out.push_back(c);
    }
    return false;
}

bool parseHexList(std::string_view s, std::vector<uint8_t>& out) {
    out.clear();
    s = trim(s);
    while (!s.empty()) {
        if (s.size() < 2) return false;
        int hi = hexDigit(s[0]), lo = hexDigit(s[1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        s.remove_prefix(2);
        s = trim(s);
        if (s.empty()) break;
        if (s.front() != ',') return false;
        s.remove_prefix(1);
        s = trim(s);
        if (s.empty()) return false; // a dangling comma
    }
    return true;
}

bool needsHexText(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

void appendHexList(std::string& out, const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        if (i) out += ',';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
}

void appendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

// A value line whose data is a hex list (only those may be wrapped).
bool isHexValueLine(std::string_view line) {
    std::string name;
    if (!readQuoted(line, name)) return false;
    line = trim(line);
    if (line.empty() || line.front() != '=') return false;
    line = trim(line.substr(1));
    return line.substr(0, 3) == "hex";
}

std::string asUtf8(std::string text) {
    // A hand-edited file saved in a single-byte code page: take its bytes as Windows-1252.
    if (kyIsValidUtf8(text)) return text;
    return kySingleByteToUtf8(text);
}

} // namespace

std::string kySettingsStore::defaultPath() {
    const std::string config = kyUserConfigFolder();
    if (config.empty()) return {};
    return config + "/Velmora/DskR 5/settings.reg";
}

kySettingsStore::Value& kySettingsStore::slot(std::string_view name) {
    for (auto& [n, v] : m_values)
        if (kyEqualsNoCaseAscii(n, name)) return v;
    m_values.emplace_back(std::string(name), Value{});
    return m_values.back().second;
}

const kySettingsStore::Value* kySettingsStore::find(std::string_view name) const {
    for (const auto& [n, v] : m_values)
        if (kyEqualsNoCaseAscii(n, name)) return &v;
    return nullptr;
}

void kySettingsStore::setString(std::string_view name, std::string_view utf8) {
    Value& v = slot(name);
    v = Value{};
    v.type = Type::String;
    // Stored text ends at its first zero, as registry text does.
    v.text = std::string(utf8.substr(0, utf8.find('\0')));
}

void kySettingsStore::setDword(std::string_view name, uint32_t value) {
    Value& v = slot(name);
    v = Value{};
    v.type = Type::Dword;
    v.dword = value;
}

void kySettingsStore::setBinary(std::string_view name, const void* data, size_t size) {
    Value& v = slot(name);
    v = Value{};
    v.type = Type::Binary;
    const auto* p = static_cast<const uint8_t*>(data);
    v.bytes.assign(p, p + size);
}

std::vector<std::string> kySettingsStore::names() const {
    std::vector<std::string> out;
    for (const auto& [name, value] : m_values) out.push_back(name);
    return out;
}

void kySettingsStore::remove(std::string_view name) {
    for (auto it = m_values.begin(); it != m_values.end(); ++it)
        if (kyEqualsNoCaseAscii(it->first, name)) {
            m_values.erase(it);
            return;
        }
}

std::optional<std::vector<uint8_t>> kySettingsStore::rawBytes(std::string_view name,
                                                              bool wideText) const {
    const Value* v = find(name);
    if (!v) return std::nullopt;
    std::vector<uint8_t> out;
    switch (v->type) {
    case Type::Dword:
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v->dword >> (8 * i)));
        break;
    case Type::Binary:
        out = v->bytes;
        break;
    case Type::String:
        if (wideText) {
            for (char16_t c : kyUtf8ToUtf16(v->text)) {
                out.push_back(static_cast<uint8_t>(c & 0xFF));
                out.push_back(static_cast<uint8_t>(c >> 8));
            }
            out.push_back(0);
            out.push_back(0);
        } else {
            std::string narrow = kyUtf8ToSingleByte(v->text);
            out.assign(narrow.begin(), narrow.end());
            out.push_back(0);
        }
        break;
    }
    return out;
}

bool kySettingsStore::parse(std::string_view text) {
    m_values.clear();
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
        text.remove_prefix(3);

    // Split into logical lines: a line ending in a backslash continues on the next one
    // (long hex lists are wrapped that way).
    std::vector<std::string> lines;
    std::string pending;
    bool continuing = false;
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        line = trim(line);
        if (continuing) {
            pending += line;
        } else {
            pending.assign(line);
        }
        if (!pending.empty() && pending.back() == '\\' && isHexValueLine(pending)) {
            pending.pop_back();
            continuing = true;
            continue;
        }
        continuing = false;
        lines.push_back(pending);
    }
    if (continuing) lines.push_back(pending);

    bool sawHeader = false;
    for (const std::string& owned : lines) {
        std::string_view line = owned;
        if (line.empty() || line.front() == ';') continue;
        if (!sawHeader) {
            if (line != kHeader) return m_values.clear(), false;
            sawHeader = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') return m_values.clear(), false;
            continue;
        }
        std::string name;
        if (line.front() == '@') {
            continue; // the key's unnamed value: not used
        }
        if (!readQuoted(line, name)) return m_values.clear(), false;
        line = trim(line);
        if (line.empty() || line.front() != '=') return m_values.clear(), false;
        line.remove_prefix(1);
        line = trim(line);
        name = asUtf8(std::move(name));
        if (line == "-") {
            remove(name);
        } else if (!line.empty() && line.front() == '"') {
            std::string value;
            if (!readQuoted(line, value) || !trim(line).empty()) return m_values.clear(), false;
            setString(name, asUtf8(std::move(value)));
        } else if (line.substr(0, 6) == "dword:") {
            std::string_view digits = trim(line.substr(6));
            if (digits.empty() || digits.size() > 8) return m_values.clear(), false;
            uint32_t v = 0;
            for (char c : digits) {
                int d = hexDigit(c);
                if (d < 0) return m_values.clear(), false;
                v = v * 16 + static_cast<uint32_t>(d);
            }
            setDword(name, v);
        } else if (line.substr(0, 4) == "hex:") {
            std::vector<uint8_t> bytes;
            if (!parseHexList(line.substr(4), bytes)) return m_values.clear(), false;
            setBinary(name, bytes.data(), bytes.size());
        } else if (line.substr(0, 4) == "hex(") {
            size_t close = line.find("):");
            if (close == std::string_view::npos) return m_values.clear(), false;
            std::string_view type = line.substr(4, close - 4);
            std::vector<uint8_t> bytes;
            if (!parseHexList(line.substr(close + 2), bytes)) return m_values.clear(), false;
            if (type == "1") {
                std::string value(bytes.begin(), bytes.end());
                value = value.substr(0, value.find('\0'));
                setString(name, asUtf8(std::move(value)));
            } else {
                setBinary(name, bytes.data(), bytes.size());
            }
        } else {
            return m_values.clear(), false;
        }
    }
    if (!sawHeader) return m_values.clear(), false;
    return true;
}

std::string kySettingsStore::serialize() const {
    std::string out;
    out += kHeader;
    out += "\n\n";
    out += kKeyLine;
    out += '\n';
    for (const auto& [name, v] : m_values) {
        appendQuoted(out, name);
        out += '=';
        switch (v.type) {
        case Type::String:
            if (needsHexText(v.text)) {
                out += "hex(1):";
                std::vector<uint8_t> bytes(v.text.begin(), v.text.end());
                bytes.push_back(0);
                appendHexList(out, bytes.data(), bytes.size());
            } else {
                appendQuoted(out, v.text);
            }
            break;
        case Type::Dword: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "dword:%08x", v.dword);
            out += buf;
            break;
        }
        case Type::Binary:
            out += "hex:";
            appendHexList(out, v.bytes.data(), v.bytes.size());
            break;
        }
        out += '\n';
    }
    return out;
}

kySettingsStore::LoadResult kySettingsStore::load(const std::string& path, std::string* message) {
    m_values.clear();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return errno == ENOENT ? LoadResult::Missing : LoadResult::Unreadable;
    std::string text;
    char buf[4096];
    bool tooLarge = false, failed = false;
    for (;;) {
        size_t n = std::fread(buf, 1, sizeof buf, f);
        text.append(buf, n);
        if (text.size() > kMaxFileSize) {
            tooLarge = true;
            break;
        }
        if (n < sizeof buf) {
            failed = std::ferror(f) != 0;
            break;
        }
    }
    std::fclose(f);
    if (failed) return LoadResult::Unreadable;
    if (!tooLarge && parse(text)) return LoadResult::Loaded;

    // Keep the damaged file for the user to look at, and start from the defaults.
    std::string aside = path + ".bad";
    bool kept = std::rename(path.c_str(), aside.c_str()) == 0;
    if (message) {
        *message = "The settings file \"" + path + "\" could not be read; " +
                   (kept ? "it was kept as \"" + aside + "\" and " : std::string()) +
                   "the default settings are used.";
    }
    return LoadResult::Malformed;
}

std::string kySettingsStore::writeTemporary(const std::string& path) const {
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);

    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return {};
    std::string text = serialize();
    bool ok = kyWriteAll(fd, kyCurrentPosition, text.data(), text.size());
    // The data must be on disk before the rename makes it the store.
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        return {};
    }
    return temp;
}

bool kySettingsStore::commitTemporary(const std::string& temporary, const std::string& path) {
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool kySettingsStore::save(const std::string& path) const {
    std::string temp = writeTemporary(path);
    return !temp.empty() && commitTemporary(temp, path);
}
