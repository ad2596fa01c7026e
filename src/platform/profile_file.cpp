#include "platform/profile_file.h"

#include "core/text.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {
// A cdplayer.ini of many thousand discs stays well below this.
constexpr off_t kMaxFileBytes = 64 << 20;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}
} // namespace

bool kyProfileFile::load(const std::string& path) {
    m_sections.clear();
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes)
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    parse(text.str());
    return true;
}

void kyProfileFile::parse(std::string_view text) {
    m_sections.clear();
    Section* current = nullptr;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = trim(text.substr(0, eol));
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.empty()) continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            if (close == std::string_view::npos) continue;
            m_sections.push_back({std::string(trim(line.substr(1, close - 1))), {}});
            current = &m_sections.back();
            continue;
        }
        const size_t eq = line.find('=');
        if (!current || eq == std::string_view::npos) continue;
        std::string_view value = trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        current->entries.push_back({std::string(trim(line.substr(0, eq))), std::string(value)});
    }
}

const kyProfileFile::Section* kyProfileFile::find(std::string_view section) const {
    for (const Section& s : m_sections)
        if (kyEqualsNoCaseAscii(s.name, section)) return &s;
    return nullptr;
}

const kyProfileFile::Entry* kyProfileFile::find(std::string_view section,
                                                std::string_view key) const {
    const Section* s = find(section);
    if (!s) return nullptr;
    for (const Entry& e : s->entries)
        if (kyEqualsNoCaseAscii(e.key, key)) return &e;
    return nullptr;
}

bool kyProfileFile::hasSection(std::string_view section) const {
    return find(section) != nullptr;
}

std::string kyProfileFile::getString(std::string_view section, std::string_view key,
                                     std::string_view fallback) const {
    const Entry* e = find(section, key);
    return e ? e->value : std::string(fallback);
}

long kyProfileFile::getInt(std::string_view section, std::string_view key, long fallback) const {
    const Entry* e = find(section, key);
    if (!e) return fallback;
    std::string_view v = e->value;
    bool negative = false;
    if (!v.empty() && (v.front() == '-' || v.front() == '+')) {
        negative = v.front() == '-';
        v.remove_prefix(1);
    }
    long n = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || end == v.data()) return 0;
    return negative ? -n : n;
}
