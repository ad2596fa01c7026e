#pragma once
// An initialisation file ("[section]" lines and "key=value" lines) read the way the
// Windows profile-string functions read one: section and key names compare without regard
// to ASCII letter case, the first section and the first key of a name win, spaces around
// names and values are dropped, and one pair of matching quotes around a value is removed.
// Bytes are handed out as the file holds them; the caller knows their encoding.
#include <string>
#include <string_view>
#include <vector>

class kyProfileFile {
public:
    // Reads the file; false (and an empty profile) when it is missing, unreadable or
    // unreasonably large.
    bool load(const std::string& path);
    void parse(std::string_view text);

    bool hasSection(std::string_view section) const;
    // The value, or `fallback` when the section or key is absent.
    std::string getString(std::string_view section, std::string_view key,
                          std::string_view fallback = {}) const;
    // The leading decimal number of the value (0 when it has none), or `fallback` when the
    // section or key is absent.
    long getInt(std::string_view section, std::string_view key, long fallback) const;

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    const Section* find(std::string_view section) const;
    const Entry* find(std::string_view section, std::string_view key) const;
    std::vector<Section> m_sections;
};
