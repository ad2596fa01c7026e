#pragma once
// The per-user settings key: typed values (text, 32-bit word, bytes) kept in one text
// file in the REGEDIT4 export syntax:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Velmora\DskR 5]
//   "szOutDir"="/home/ann/Music/"
//   "iOutChannels"=dword:00000002
//   "aiName"=hex:00,00,00,00,01,00,00,00,...
//
// Value names compare without regard to ASCII letter case, as registry names do. Text is
// held as UTF-8. Text with control characters (which the quoted form cannot carry) is
// written as hex(1): followed by its UTF-8 bytes and a terminating zero.
//
// Saving writes a temporary file beside the store and renames it over the old one, so a
// crash or a full disk never leaves a half-written store behind.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class kySettingsStore {
public:
    enum class Type { String, Dword, Binary };

    struct Value {
        Type type = Type::String;
        std::string text;           // String
        uint32_t dword = 0;         // Dword
        std::vector<uint8_t> bytes; // Binary
    };

    enum class LoadResult {
        Loaded,    // the file was read
        Missing,   // no file yet: the store is empty
        Malformed, // the file could not be parsed: it was renamed to "<path>.bad", store empty
        Unreadable // the file exists but could not be read: store empty, nothing renamed
    };

    // Where the settings live: $XDG_CONFIG_HOME/Velmora/DskR 5/settings.reg, with
    // ~/.config standing in for an unset or relative XDG_CONFIG_HOME. Empty when neither
    // XDG_CONFIG_HOME nor HOME says where that is.
    static std::string defaultPath();

    // Replaces the content with the file's. On Malformed, `message` (when given) receives
    // one line that says what happened, for the front end to show.
    LoadResult load(const std::string& path, std::string* message = nullptr);

    // Parses REGEDIT4 text; false (and the store left empty) when it is not well formed.
    bool parse(std::string_view text);
    // The whole store as REGEDIT4 text.
    std::string serialize() const;

    // Writes the store to `path` through a temporary file and a rename; creates the
    // missing folders first. False when anything fails (the old file is then untouched).
    bool save(const std::string& path) const;
    // The two halves of save(): the temporary file's path, or empty on failure; then the
    // rename, which replaces the old store in one step.
    std::string writeTemporary(const std::string& path) const;
    static bool commitTemporary(const std::string& temporary, const std::string& path);

    const Value* find(std::string_view name) const;
    void setString(std::string_view name, std::string_view utf8);
    void setDword(std::string_view name, uint32_t value);
    void setBinary(std::string_view name, const void* data, size_t size);
    void remove(std::string_view name);
    void clear() { m_values.clear(); }
    size_t size() const { return m_values.size(); }
    // The names of the values, in the order first set.
    std::vector<std::string> names() const;

    // The value's bytes as a registry read hands them out, whatever its type: a word as
    // 4 little-endian bytes, bytes as they are, text as UTF-16LE (wide) or single-byte
    // Windows-1252 (narrow), each with its terminating zero. Nothing when absent.
    std::optional<std::vector<uint8_t>> rawBytes(std::string_view name, bool wideText) const;

private:
    std::vector<std::pair<std::string, Value>> m_values; // in the order first set
    Value& slot(std::string_view name);
};
