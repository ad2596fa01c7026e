#include "app/pattern_rename.h"

#include "core/text.h"

#include <vector>

namespace {

// Simple case folding of ASCII, Latin-1, Greek and Cyrillic capitals.
char16_t fold(char16_t c) {
    const bool capital = (c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
                         (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F);
    return capital ? static_cast<char16_t>(c + 32) : c;
}

} // namespace

std::optional<std::string> renameByPattern(std::string_view name, const PatternRename& rename) {
    std::u16string text = kyUtf8ToUtf16(name);
    if (size_t dot = text.rfind(u'.'); dot != std::u16string::npos) text.resize(dot);
    const std::u16string match = kyUtf8ToUtf16(rename.match);
    const std::u16string output = kyUtf8ToUtf16(rename.output);
    auto same = [&rename](char16_t a, char16_t b) {
        return rename.matchCase ? a == b : fold(a) == fold(b);
    };

    std::vector<std::u16string> captures;
    size_t j = 0;
    for (size_t i = 0; i < match.size(); ++i) {
        const char16_t p = match[i];
        if (p == u'?') {
            if (j >= text.size()) return std::nullopt;
            captures.emplace_back(1, text[j++]);
        } else if (p == u'*') {
            size_t end = text.size();
            if (i + 1 < match.size())
                for (size_t k = j; k < text.size(); ++k)
                    if (same(text[k], match[i + 1])) {
                        end = k;
                        break;
                    }
            captures.push_back(text.substr(j, end - j));
            j = end;
        } else {
            if (j >= text.size() || !same(p, text[j])) return std::nullopt;
            ++j;
        }
    }
    if (j != text.size()) return std::nullopt;

    std::u16string result;
    size_t capture = 0, used = 0;
    for (char16_t p : output) {
        if (p == u'*') {
            if (capture < captures.size()) result += captures[capture].substr(used);
            ++capture;
            used = 0;
        } else if (p == u'?') {
            while (capture < captures.size() && used >= captures[capture].size()) {
                ++capture;
                used = 0;
            }
            if (capture < captures.size()) result += captures[capture][used++];
        } else {
            result += p;
        }
    }
    if (result.empty()) return std::nullopt;
    return kyUtf16ToUtf8(result);
}

int applyPatternRename(DiscInfo& disc, const PatternRename& rename) {
    int changed = 0;
    for (TrackEntry& row : disc.tracks) {
        if (rename.selectedOnly && !row.selected) continue;
        if (auto name = renameByPattern(row.name, rename); name && *name != row.name) {
            row.name = *name;
            ++changed;
        }
    }
    return changed;
}
