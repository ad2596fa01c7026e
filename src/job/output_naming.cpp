#include "job/output_naming.h"

#include "core/text.h"
#include "formats/format_catalog.h"
#include "job/batch_frontend.h"
#include "job/output_file.h"

#include <cmath>
#include <sys/stat.h>

namespace {

// Characters the name buffer holds, terminator included.
constexpr size_t kNameRoom = 516;
// Longest file or folder name the file system takes, in bytes.
constexpr size_t kMaxComponentBytes = 255;

std::u16string digits(uint32_t v) {
    return kyUtf8ToUtf16(std::to_string(v));
}

// "mm.ss" of a frame count at 44.1 kHz.
std::u16string timeText(uint32_t frames) {
    uint32_t s = static_cast<uint32_t>(std::trunc(frames / 44100.0 + 0.5));
    uint32_t m = s / 60, r = s % 60;
    std::u16string t;
    t += static_cast<char16_t>(u'0' + m / 10);
    t += static_cast<char16_t>(u'0' + m % 10);
    t += u'.';
    t += static_cast<char16_t>(u'0' + r / 10);
    t += static_cast<char16_t>(u'0' + r % 10);
    return t;
}

// The text of one name part and the room it needs.
std::u16string partText(int32_t part, const DiscInfo& disc, const TrackEntry& row, size_t& need) {
    std::u16string t;
    switch (part) {
    case 1:
        t = kyUtf8ToUtf16(disc.artist);
        break;
    case 2:
        t = kyUtf8ToUtf16(disc.title);
        break;
    case 3:
        t = kyUtf8ToUtf16(row.name);
        break;
    case 4:
        if (row.number >= 0) t = digits(static_cast<uint32_t>(row.number));
        need = 3;
        break;
    case 5:
        if (row.number >= 0 && row.number <= 999) {
            // Two characters whatever the number: track 123 gives '0' + 12 and '3'.
            t += static_cast<char16_t>(u'0' + row.number / 10);
            t += static_cast<char16_t>(u'0' + row.number % 10);
        } else if (row.number > 999) {
            t = digits(static_cast<uint32_t>(row.number));
        }
        need = 3;
        break;
    case 6:
        t = timeText(row.start);
        need = 9;
        break;
    case 7:
        t = timeText(row.length);
        need = 9;
        break;
    case 8:
        t = kyUtf8ToUtf16(disc.genreText());
        break;
    case 9:
        if (disc.year >= 1 && disc.year <= 9999) t = digits(static_cast<uint32_t>(disc.year));
        need = 5;
        break;
    default:
        break;
    }
    need = std::max(need, t.size());
    return t;
}

// Separator texts by their pattern value; 0 and unknown values insert nothing.
constexpr std::u16string_view kSeparators[] = {u"", u" ", u" - ", u", ", u".", u"\\", u"_", u"'"};

std::u16string_view separatorText(int32_t sep) {
    return sep > 0 && sep < int32_t(std::size(kSeparators)) ? kSeparators[sep] : u"";
}

// Characters a file name cannot hold, and what stands in for each. The backslash stays:
// it makes a folder level.
constexpr std::u16string_view kReplaced = u"*:?\"|/<>";
constexpr std::u16string_view kReplacements = u"&,#';,()";

char16_t replacement(char16_t c) {
    size_t i = kReplaced.find(c);
    return i == std::u16string_view::npos ? c : kReplacements[i];
}

// Cuts UTF-8 text to at most `bytes` bytes without splitting a character.
void cutUtf8(std::string& s, size_t bytes) {
    if (s.size() <= bytes) return;
    size_t n = bytes;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    s.resize(n);
}

const TrackEntry* firstSelected(const DiscInfo& disc) {
    for (const TrackEntry& r : disc.tracks)
        if (r.selected) return &r;
    return nullptr;
}

} // namespace

std::string kySafePathComponent(std::string c, bool keepExtension) {
    for (char& ch : c)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '_';
    if (c.size() > kMaxComponentBytes) {
        size_t dot = keepExtension ? c.rfind('.') : std::string::npos;
        std::string ext = dot == std::string::npos ? std::string() : c.substr(dot);
        if (ext.size() >= kMaxComponentBytes / 2) ext.clear();
        std::string stem = c.substr(0, c.size() - ext.size());
        cutUtf8(stem, kMaxComponentBytes - ext.size());
        c = stem + ext;
    }
    // "." and ".." would name this folder or the one above it.
    if (c.find_first_not_of('.') == std::string::npos) c.assign(c.size(), '_');
    return c;
}

int32_t findWriterFormatByName(std::string_view displayName, std::string* extension) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    std::string ext, name;
    for (int32_t i = 0; catalog.NextWriterFormat(i, &ext, &name); ++i) {
        if (name == displayName) {
            if (extension) *extension = ext;
            return i;
        }
    }
    return -1;
}

std::string buildFileName(const RipSettings& s, const DiscInfo& disc, const TrackEntry* row,
                          std::string_view extension) {
    if (!row) row = firstSelected(disc);
    if (!row) return {};

    std::u16string name;
    auto fits = [&](size_t need) { return name.size() + need < kNameRoom; };
    for (int i = 0; i < 5; ++i) {
        size_t need = 0;
        std::u16string text = partText(s.aiName[1 + 2 * i], disc, *row, need);
        bool produced = false;
        if (!text.empty() && fits(need)) {
            name += text;
            produced = true;
        }
        if (i < 4 && produced) {
            std::u16string_view sep = separatorText(s.aiName[2 + 2 * i]);
            if (fits(sep.size())) name += sep;
        }
    }
    while (!name.empty() && name.back() == u' ') name.pop_back();
    std::u16string ext = kyUtf8ToUtf16(extension);
    if (fits(1)) name += u'.';
    if (fits(ext.size())) name += ext;

    for (char16_t& c : name) c = replacement(c);
    std::u16string spaced;
    for (char16_t c : name) {
        if (c != u' ') {
            spaced += c;
            continue;
        }
        switch (s.aiName[0]) {
        case 1:
            spaced += u'_';
            break;
        case 2:
            spaced += u'.';
            break;
        case 3:
            break;
        default:
            spaced += c;
        }
    }

    // Each "\" makes a folder level; every level is made safe on its own.
    std::string utf8 = kyUtf16ToUtf8(spaced);
    std::vector<std::string> levels;
    size_t from = 0;
    for (;;) {
        size_t bs = utf8.find('\\', from);
        std::string level =
            utf8.substr(from, bs == std::string::npos ? std::string::npos : bs - from);
        if (!level.empty()) levels.push_back(std::move(level));
        if (bs == std::string::npos) break;
        from = bs + 1;
    }
    std::string out;
    for (size_t i = 0; i < levels.size(); ++i) {
        if (i) out += '/';
        out += kySafePathComponent(levels[i], i + 1 == levels.size());
    }
    return out;
}

std::string buildFileName(const RipSettings& s, const DiscInfo& disc, const TrackEntry* row) {
    std::string extension;
    findWriterFormatByName(s.szFileFormat, &extension);
    return buildFileName(s, disc, row, extension);
}

std::string outputDirectory(const RipSettings& s) {
    std::string dir = s.szOutDir;
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

void makeSubDirectories(const std::string& directory, const std::string& name) {
    kyMadeFolders().make(directory, name);
}

kyOverwriteDecision checkOverwrite(RipSettings& s, std::string& path, kyBatchFrontend& frontend) {
    struct stat st;
    if (s.bNoOverwritePrompt || ::lstat(path.c_str(), &st) != 0) return kyOverwriteDecision::Write;

    enum { Replace = 1, Skip, Rename, ReplaceAll };
    int answer = frontend.ask("This output file aldready exists:\n        \n" + path +
                                  "\n        \nWhat would you like to do with it?",
                              "Replace existing file?",
                              {{"Replace it", Replace},
                               {"Skip it", Skip},
                               {"Rename it", Rename},
                               {"Replace All", ReplaceAll}});
    switch (answer) {
    case Skip:
        return kyOverwriteDecision::Skip;
    case Rename: {
        std::string chosen = path;
        if (!frontend.askFileName("Please select a new output file name", chosen) || chosen.empty())
            return kyOverwriteDecision::Skip;
        path = chosen;
        return kyOverwriteDecision::Write;
    }
    case ReplaceAll:
        s.bNoOverwritePrompt = true;
        return kyOverwriteDecision::Write;
    default:
        return kyOverwriteDecision::Write;
    }
}
