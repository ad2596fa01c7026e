#include "app/settings_table.h"

#include "core/text.h"
#include "filters/resampling_filter.h"
#include "formats/format_catalog.h"
#include "job/output_naming.h"
#include "metadata/disc_lookup.h"
#include "platform/http_client.h"
#include "platform/music_folder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <map>

namespace {

using Kind = kySettingInfo::Kind;

std::string lower(std::string_view text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return std::string(text);
}

// ---- on/off ------------------------------------------------------------------------

template <bool RipSettings::*M>
kySettingInfo flagSetting(const char* name, const char* meaning, bool settable = true) {
    return {name,
            meaning,
            "on or off",
            Kind::Flag,
            [](const RipSettings& s) -> std::string { return s.*M ? "on" : "off"; },
            [](const RipSettings& s) -> std::string { return s.*M ? "on" : "off"; },
            [](RipSettings& s, std::string_view t, std::string& error) {
                bool v;
                if (!kyParseSwitch(t, v)) {
                    error = "takes on or off";
                    return false;
                }
                s.*M = v;
                return true;
            },
            [](const RipSettings&) { return true; },
            [](RipSettings& s) { s.*M = RipSettings{}.*M; },
            settable};
}

// ---- whole numbers within a range ----------------------------------------------------

template <auto M, long long Lo, long long Hi>
kySettingInfo rangeSetting(const char* name, const char* meaning, const char* accepts) {
    return {name,
            meaning,
            accepts,
            Kind::Integer,
            [](const RipSettings& s) { return std::to_string(s.*M); },
            [](const RipSettings& s) { return std::to_string(s.*M); },
            [](RipSettings& s, std::string_view t, std::string& error) {
                long long v;
                if (!kyParseInteger(t, Lo, Hi, v)) {
                    error = "takes a whole number from " + std::to_string(Lo) + " to " +
                            std::to_string(Hi);
                    return false;
                }
                s.*M = static_cast<std::remove_reference_t<decltype(s.*M)>>(v);
                return true;
            },
            [](const RipSettings& s) {
                const long long v = s.*M;
                return v >= Lo && v <= Hi;
            },
            [](RipSettings& s) { s.*M = RipSettings{}.*M; }};
}

// ---- codes from a list -----------------------------------------------------------------

struct Choice {
    long long value;
    const char* word;  // what a user types on the command line
    const char* label; // what the wizard shows
};

constexpr Choice kChannels[] = {{1, "mono", "Mono"}, {2, "stereo", "Stereo"}};
constexpr Choice kModes[] = {{0, "burst", "Burst mode (fastest)"},
                             {1, "jitter", "Jitter correcting mode"},
                             {2, "scratch", "Scratch correcting mode"},
                             {3, "verify", "Verified burst mode"}};
constexpr Choice kNormalizeTypes[] = {{1, "peak", "Peak level"},
                                      {10, "rg", "Replay Gain Standard"},
                                      {11, "rg-iso", "Replay Gain ISO 226:2003"},
                                      {22, "r128", "EBU R 128"}};
// The resampler also takes 3, 7 and 999 (the default F.I.R. filter), which the wizard
// does not offer but which a store may hold and which work.
constexpr Choice kResamplers[] = {{0, "nearest", "Nearest neighbour (1-tap)"},
                                  {1, "linear", "Linear interpolation (2-tap)"},
                                  {2, "cubic", "Cubic interpolation (4-tap)"},
                                  {3, nullptr, nullptr},
                                  {4, "fast", "F.I.R. filter, > 12-bits S/N (fast)"},
                                  {5, "normal", "F.I.R. filter, > 16-bits S/N (normal)"},
                                  {6, "slow", "F.I.R. filter, > 20-bits S/N (slow)"},
                                  {7, nullptr, nullptr},
                                  {999, nullptr, nullptr}};

template <const auto& List> const Choice* findChoice(long long value) {
    for (const Choice& c : List)
        if (c.value == value) return &c;
    return nullptr;
}

template <auto M, const auto& List>
kySettingInfo choiceSetting(const char* name, const char* meaning, const char* accepts) {
    return {
        name,
        meaning,
        accepts,
        Kind::Integer,
        [](const RipSettings& s) { return std::to_string(s.*M); },
        [](const RipSettings& s) {
            std::string text = std::to_string(s.*M);
            if (const Choice* c = findChoice<List>(s.*M); c && c->label)
                text += std::string(" (") + c->label + ")";
            return text;
        },
        [](RipSettings& s, std::string_view t, std::string& error) {
            const std::string want = lower(trimmed(t));
            long long v;
            const Choice* found = nullptr;
            if (kyParseInteger(want, -1000000, 1000000, v)) found = findChoice<List>(v);
            for (const Choice& c : List)
                if (!found && ((c.word && want == c.word) || (c.label && want == lower(c.label))))
                    found = &c;
            if (!found) {
                std::vector<std::string> words;
                for (const Choice& c : List)
                    if (c.word)
                        words.push_back(c.word + std::string(" (") + std::to_string(c.value) + ")");
                error = "takes ";
                for (size_t i = 0; i < words.size(); ++i)
                    error += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
                return false;
            }
            s.*M = static_cast<std::remove_reference_t<decltype(s.*M)>>(found->value);
            return true;
        },
        [](const RipSettings& s) { return findChoice<List>(s.*M) != nullptr; },
        [](RipSettings& s) { s.*M = RipSettings{}.*M; }};
}

// ---- text ------------------------------------------------------------------------------

template <std::string RipSettings::*M>
kySettingInfo serverText(const char* name, const char* meaning) {
    return {name,
            meaning,
            "text of up to 255 bytes",
            Kind::Text,
            [](const RipSettings& s) { return kySingleByteToUtf8(s.*M); },
            [](const RipSettings& s) { return kySingleByteToUtf8(s.*M); },
            [](RipSettings& s, std::string_view t, std::string& error) {
                // The record holds single-byte text; what is typed is UTF-8.
                const std::string narrow = kyUtf8ToSingleByte(trimmed(t));
                if (narrow.size() > RipSettings::kDbTextBytes) {
                    error = "takes at most 255 characters";
                    return false;
                }
                for (unsigned char c : narrow)
                    if (c < 0x20 || c == 0x7F) {
                        error = "takes no control characters";
                        return false;
                    }
                s.*M = narrow;
                return true;
            },
            [](const RipSettings& s) {
                return std::none_of((s.*M).begin(), (s.*M).end(), [](char ch) {
                    const auto c = static_cast<unsigned char>(ch);
                    return c < 0x20 || c == 0x7F;
                });
            },
            [](RipSettings& s) { s.*M = RipSettings{}.*M; }};
}

// Text kept as UTF-8 (server addresses of the web services).
template <std::string RipSettings::*M>
kySettingInfo utf8Text(const char* name, const char* meaning, const char* accepts) {
    return {name,
            meaning,
            accepts,
            Kind::Text,
            [](const RipSettings& s) { return s.*M; },
            [](const RipSettings& s) { return s.*M; },
            [](RipSettings& s, std::string_view t, std::string& error) {
                const std::string text = trimmed(t);
                if (text.empty() || text.size() > RipSettings::kDbTextBytes ||
                    text.find_first_of(" \t\r\n") != std::string::npos) {
                    error = "takes an address without spaces, at most 255 characters";
                    return false;
                }
                s.*M = text;
                return true;
            },
            [](const RipSettings& s) {
                return !(s.*M).empty() && (s.*M).size() <= RipSettings::kDbTextBytes &&
                       (s.*M).find_first_of(" \t\r\n") == std::string::npos;
            },
            [](RipSettings& s) { s.*M = RipSettings{}.*M; }};
}

// ---- the name pattern ------------------------------------------------------------------

const char* const kSpaceLabels[] = {"Keep space in file names", "Replace space with underscore",
                                    "Replace space with dot", "Remove space from file names"};
const char* const kPartLabels[] = {
    "",           "<artist name>", "<album name>",   "<track name>",  "<track n>",
    "<track nn>", "<track start>", "<track length>", "<album genre>", "<album year>"};
const char* const kSeparatorTexts[] = {"", " ", " - ", ", ", ".", "\\", "_", "'"};

bool patternValid(const std::array<int32_t, 10>& p) {
    if (p[0] < 0 || p[0] > 3) return false;
    for (size_t i = 1; i < p.size(); ++i) {
        const int32_t hi = i % 2 ? 9 : 7; // odd indices are parts, even ones separators
        if (p[i] < 0 || p[i] > hi) return false;
    }
    return true;
}

std::string patternText(const RipSettings& s) {
    std::string text;
    for (size_t i = 0; i < s.aiName.size(); ++i) {
        if (i) text += ',';
        text += std::to_string(s.aiName[i]);
    }
    return text;
}

std::string patternDescription(const RipSettings& s) {
    std::string text = patternText(s);
    if (!patternValid(s.aiName)) return text;
    // The pattern as the wizard's lists spell it, separators written only after a part.
    std::string shown;
    for (size_t i = 1; i < s.aiName.size(); i += 2) {
        if (s.aiName[i] == 0) continue;
        shown += kPartLabels[s.aiName[i]];
        if (i + 1 < s.aiName.size()) shown += kSeparatorTexts[s.aiName[i + 1]];
    }
    while (!shown.empty() && shown.back() == ' ') shown.pop_back();
    return text + " (" + shown + "; " + kSpaceLabels[s.aiName[0]] + ")";
}

bool patternParse(RipSettings& s, std::string_view t, std::string& error) {
    std::array<int32_t, 10> pattern{};
    size_t count = 0, pos = 0;
    const std::string text = trimmed(t);
    bool ok = true;
    for (; ok && pos <= text.size(); ++count) {
        const size_t comma = std::min(text.find(',', pos), text.size());
        long long n;
        ok = count < pattern.size() && kyParseInteger(text.substr(pos, comma - pos), 0, 9, n);
        if (ok) pattern[count] = static_cast<int32_t>(n);
        pos = comma + 1;
    }
    if (!ok || count != pattern.size() || !patternValid(pattern)) {
        error = "takes ten numbers P0,...,P9 (e.g. 0,1,5,2,5,5,2,3,0,0): P0 space handling "
                "0-3, P1,P3,P5,P7,P9 name parts 0-9, P2,P4,P6,P8 separators 0-7";
        return false;
    }
    s.aiName = pattern;
    return true;
}

// ---- formats ---------------------------------------------------------------------------

std::vector<std::string> subformatsOf(const std::string& fileFormat) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    std::vector<std::string> list;
    for (int32_t i = 0; catalog.NextWriterFormat(i); ++i) {
        if (catalog.Entry(i)->displayName != fileFormat) continue;
        std::string name;
        for (int32_t k = 0; catalog.GetWriterSubformat(i, k, name); ++k) list.push_back(name);
        break;
    }
    return list;
}

bool fileFormatValid(const RipSettings& s) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    for (int32_t i = 0; catalog.NextWriterFormat(i); ++i)
        if (catalog.Entry(i)->displayName == s.szFileFormat) return true;
    return false;
}

bool dataFormatValid(const RipSettings& s) {
    const auto list = subformatsOf(s.szFileFormat);
    return std::find(list.begin(), list.end(), s.szDataFormat) != list.end();
}

// The compression levels of the file format: false when it has none.
bool levelsOf(const std::string& fileFormat, int32_t& lowest, int32_t& highest) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    const kyFormatEntry* e = catalog.Entry(findWriterFormatByName(fileFormat));
    if (!e || e->highestLevel < e->lowestLevel) return false;
    lowest = e->lowestLevel;
    highest = e->highestLevel;
    return true;
}

bool compressionValid(const RipSettings& s) {
    if (s.iCompressionLevel == -1) return true;
    int32_t lo, hi;
    return levelsOf(s.szFileFormat, lo, hi) && s.iCompressionLevel >= lo &&
           s.iCompressionLevel <= hi;
}

bool compressionParse(RipSettings& s, std::string_view v, std::string& error) {
    const std::string w = lower(trimmed(v));
    if (w == "default" || w == "-1") {
        s.iCompressionLevel = -1;
        return true;
    }
    int32_t lo, hi;
    if (!levelsOf(s.szFileFormat, lo, hi)) {
        error = "takes only default: " + s.szFileFormat + " has no compression levels";
        return false;
    }
    long long n;
    if (!kyParseInteger(w, lo, hi, n)) {
        error = "takes a level of " + s.szFileFormat + " from " + std::to_string(lo) + " to " +
                std::to_string(hi) + ", or default";
        return false;
    }
    s.iCompressionLevel = static_cast<int32_t>(n);
    return true;
}

std::string perDriveText(const std::map<std::string, int32_t>& values) {
    std::string text;
    for (const auto& [drive, value] : values)
        text += (text.empty() ? "" : "; ") + drive + ": " + std::to_string(value);
    return text;
}
std::string readOffsetsText(const RipSettings& s) {
    return perDriveText(s.readOffsets);
}
std::string subQBiasesText(const RipSettings& s) {
    return perDriveText(s.subQBiases);
}

// ---- the table -------------------------------------------------------------------------

std::string speedText(const RipSettings& s) {
    return std::to_string(s.iSpeed);
}

std::vector<kySettingInfo> makeTable() {
    std::vector<kySettingInfo> t;
    t.push_back({"szOutDir", "Folder the files are written to", "a folder", Kind::Text,
                 [](const RipSettings& s) { return s.szOutDir; },
                 [](const RipSettings& s) { return s.szOutDir; },
                 [](RipSettings& s, std::string_view v, std::string& error) {
                     const std::string dir = kyNormalFolder(trimmed(v));
                     if (dir.empty() || kyUtf8ToUtf16(dir).size() > RipSettings::kOutDirUnits) {
                         error = "takes a folder (at most 259 characters)";
                         return false;
                     }
                     s.szOutDir = dir;
                     return true;
                 },
                 [](const RipSettings&) { return true; },
                 [](RipSettings& s) { s.szOutDir = kyDefaultOutputDirectory(); }});
    t.push_back({"szFileFormat", "File format", "a format's name or short name (wav, bwf, ...)",
                 Kind::Text, [](const RipSettings& s) { return s.szFileFormat; },
                 [](const RipSettings& s) { return s.szFileFormat; },
                 [](RipSettings& s, std::string_view v, std::string& error) {
                     const std::string name = kyResolveFormatName(trimmed(v));
                     if (name.empty()) {
                         error = "takes a format DskR writes (see 'dskr-cli formats')";
                         return false;
                     }
                     if (name != s.szFileFormat) {
                         s.szFileFormat = name;
                         // Keep the data format when the new format has it too, else let
                         // the writer choose where it can.
                         if (!dataFormatValid(s)) {
                             const auto list = subformatsOf(name);
                             s.szDataFormat =
                                 std::find(list.begin(), list.end(), "<Auto select>") != list.end()
                                     ? "<Auto select>"
                                     : kyDefaultDataFormat(name);
                         }
                         // Levels are the codec's own: another format starts from its default.
                         s.iCompressionLevel = -1;
                     }
                     return true;
                 },
                 fileFormatValid,
                 [](RipSettings& s) { s.szFileFormat = RipSettings{}.szFileFormat; }});
    t.push_back({"szDataFormat", "Data subformat of the file format",
                 "a subformat of the file format (see 'dskr-cli formats')", Kind::Text,
                 [](const RipSettings& s) { return s.szDataFormat; },
                 [](const RipSettings& s) { return s.szDataFormat; },
                 [](RipSettings& s, std::string_view v, std::string& error) {
                     const std::string want = lower(trimmed(v));
                     for (const std::string& name : subformatsOf(s.szFileFormat))
                         if (lower(name) == want) {
                             s.szDataFormat = name;
                             return true;
                         }
                     error = "takes a subformat of " + s.szFileFormat + " (see 'dskr-cli formats')";
                     return false;
                 },
                 dataFormatValid,
                 [](RipSettings& s) { s.szDataFormat = kyDefaultDataFormat(s.szFileFormat); }});
    t.push_back(choiceSetting<&RipSettings::iOutChannels, kChannels>(
        "iOutChannels", "Output channels", "mono (1) or stereo (2)"));
    t.push_back({"iCompressionLevel", "Compression level of formats that have levels",
                 "default (-1), or a level of the file format (see 'dskr-cli formats')",
                 Kind::Integer,
                 [](const RipSettings& s) { return std::to_string(s.iCompressionLevel); },
                 [](const RipSettings& s) {
                     return s.iCompressionLevel == -1 ? std::string("-1 (default)")
                                                      : std::to_string(s.iCompressionLevel);
                 },
                 compressionParse, compressionValid,
                 [](RipSettings& s) { s.iCompressionLevel = RipSettings{}.iCompressionLevel; }});
    t.push_back(flagSetting<&RipSettings::bNoOverwritePrompt>(
        "bNoOverwritePrompt", "Replace existing files without asking"));
    t.push_back(flagSetting<&RipSettings::bMergeConsecutive>(
        "bMergeConsecutive", "Merge consecutive selected tracks into one file"));
    t.push_back(flagSetting<&RipSettings::bCreatePlaylist>("bCreatePlaylist",
                                                           "Write an M3U playlist of the files"));
    t.push_back(flagSetting<&RipSettings::bWriteCue>(
        "bWriteCue", "Write a CUE sheet of the files beside the playlist"));
    t.push_back(flagSetting<&RipSettings::bDetectGaps>(
        "bDetectGaps", "Search the disc for pregaps and indexes (for the CUE sheet and toc)"));
    t.push_back(flagSetting<&RipSettings::bRipHiddenTrack>(
        "bRipHiddenTrack", "Rip audio before track 1 as track 0 (\"Hidden Track\")"));
    t.push_back({"aiName", "File name pattern",
                 "ten numbers P0,...,P9: P0 space handling 0-3 (keep, underscore, dot, remove); "
                 "P1,P3,P5,P7,P9 name parts 0-9 (none, artist, album, track name, track n, "
                 "track nn, start, length, genre, year); P2,P4,P6,P8 separators 0-7 (none, "
                 "space, \" - \", \", \", \".\", folder, \"_\", \"'\")",
                 Kind::IntegerList, patternText, patternDescription, patternParse,
                 [](const RipSettings& s) { return patternValid(s.aiName); },
                 [](RipSettings& s) { s.aiName = RipSettings{}.aiName; }});
    t.push_back(flagSetting<&RipSettings::bResample>("bResample", "Resample to the new rate"));
    t.push_back(rangeSetting<&RipSettings::dwNewSampleRate, 1000, 384000>(
        "dwNewSampleRate", "New sample rate in Hz", "1000 to 384000"));
    t.push_back(choiceSetting<&RipSettings::eResamplingAlg, kResamplers>(
        "eResamplingAlg", "Resampling algorithm",
        "nearest (0), linear (1), cubic (2), fast (4), normal (5) or slow (6)"));
    t.push_back(flagSetting<&RipSettings::bRemoveSilence>("bRemoveSilence",
                                                          "Remove the leading silence of tracks"));
    t.push_back(
        flagSetting<&RipSettings::bCutOff>("bCutOff", "Cut tracks off after the cut-off length"));
    t.push_back(rangeSetting<&RipSettings::iCutOffLength, 1, 86400>(
        "iCutOffLength", "Cut-off length in seconds", "1 to 86400"));
    t.push_back(
        flagSetting<&RipSettings::bCutOffFade>("bCutOffFade", "Fade out at the cut-off position"));
    t.push_back(flagSetting<&RipSettings::bNormalize>("bNormalize", "Adjust the volume"));
    t.push_back(choiceSetting<&RipSettings::eNormalizeType, kNormalizeTypes>(
        "eNormalizeType", "Volume adjustment", "peak (1), rg (10), rg-iso (11) or r128 (22)"));
    t.push_back(flagSetting<&RipSettings::bNormalizeMeta>(
        "bNormalizeMeta", "Store the volume adjustment as metadata (off: change the samples)"));
    t.push_back({"fNormalizeTarget", "Target of the volume adjustment", "a number from -200 to 200",
                 Kind::Real,
                 [](const RipSettings& s) {
                     char buf[32];
                     auto r = std::to_chars(buf, buf + sizeof buf, s.fNormalizeTarget);
                     return std::string(buf, r.ptr);
                 },
                 [](const RipSettings& s) {
                     char buf[32];
                     auto r = std::to_chars(buf, buf + sizeof buf, s.fNormalizeTarget);
                     return std::string(buf, r.ptr);
                 },
                 [](RipSettings& s, std::string_view v, std::string& error) {
                     double d;
                     if (!kyParseDecimal(trimmed(v), -200, 200, d)) {
                         error = "takes a number from -200 to 200";
                         return false;
                     }
                     s.fNormalizeTarget = static_cast<float>(d);
                     return true;
                 },
                 [](const RipSettings& s) {
                     return std::isfinite(s.fNormalizeTarget) && s.fNormalizeTarget >= -200.0f &&
                            s.fNormalizeTarget <= 200.0f;
                 },
                 [](RipSettings& s) { s.fNormalizeTarget = RipSettings{}.fNormalizeTarget; }});
    t.push_back(flagSetting<&RipSettings::bNormalizeUnitDB>("bNormalizeUnitDB",
                                                            "The target is in dB (off: a factor)"));
    t.push_back(flagSetting<&RipSettings::bNormalizeAlbum>(
        "bNormalizeAlbum", "One volume adjustment for the whole album"));
    t.push_back(flagSetting<&RipSettings::bNormalizeNeverClip>(
        "bNormalizeNeverClip", "Never let the volume adjustment clip"));
    t.push_back(flagSetting<&RipSettings::bMp3Id3v2>("bMp3Id3v2", "Write an ID3v2 tag in MP3 files"));
    t.push_back(flagSetting<&RipSettings::bMp3Id3v1>("bMp3Id3v1", "Write an ID3v1 tag in MP3 files"));
    t.push_back(flagSetting<&RipSettings::bMp3Ape>("bMp3Ape", "Write an APE tag in MP3 files"));
    t.push_back(flagSetting<&RipSettings::bMp2Id3v2>("bMp2Id3v2", "Write an ID3v2 tag in MP2 files"));
    t.push_back(flagSetting<&RipSettings::bMp2Id3v1>("bMp2Id3v1", "Write an ID3v1 tag in MP2 files"));
    t.push_back(flagSetting<&RipSettings::bAacId3v2>("bAacId3v2", "Write an ID3v2 tag in AAC files"));
    t.push_back(flagSetting<&RipSettings::bAacId3v1>("bAacId3v1", "Write an ID3v1 tag in AAC files"));
    t.push_back(flagSetting<&RipSettings::bAacApe>("bAacApe", "Write an APE tag in AAC files"));
    t.push_back(rangeSetting<&RipSettings::iDevice, 0, 255>(
        "iDevice", "Drive number (see 'dskr-cli drives')", "0 to 255"));
    t.push_back({"iSpeed", "Read speed factor", "a speed factor from 1 to 254, or max (255)",
                 Kind::Integer, speedText,
                 [](const RipSettings& s) {
                     return std::to_string(s.iSpeed) +
                            (s.iSpeed == 255 ? " (Max)" : " (" + std::to_string(s.iSpeed) + " x)");
                 },
                 [](RipSettings& s, std::string_view v, std::string& error) {
                     long long n;
                     const std::string w = lower(trimmed(v));
                     if (w == "max")
                         n = 255;
                     else if (!kyParseInteger(w, 1, 255, n)) {
                         error = "takes a speed factor from 1 to 254, or max";
                         return false;
                     }
                     s.iSpeed = static_cast<int32_t>(n);
                     return true;
                 },
                 [](const RipSettings& s) { return s.iSpeed >= 1 && s.iSpeed <= 255; },
                 [](RipSettings& s) { s.iSpeed = RipSettings{}.iSpeed; }});
    t.push_back(choiceSetting<&RipSettings::eMode, kModes>("eMode", "Ripping mode",
                                                           "burst (0), jitter (1), scratch (2) or verify (3)"));
    t.push_back(flagSetting<&RipSettings::bContinueOnReadError>(
        "bContinueOnReadError",
        "Fill a sector that never reads with silence and go on (the file is then suspect)"));
    t.push_back(flagSetting<&RipSettings::bTestAndCopy>(
        "bTestAndCopy", "Read every file twice and compare the checksums"));
    t.push_back(flagSetting<&RipSettings::bAccurateRip>(
        "bAccurateRip", "Check every track against the AccurateRip database"));
    t.push_back({"szAccurateRipServer", "AccurateRip server",
                 "a server address (http://host[:port])", Kind::Text,
                 [](const RipSettings& s) { return s.szAccurateRipServer; },
                 [](const RipSettings& s) { return s.szAccurateRipServer; },
                 [](RipSettings& s, std::string_view v, std::string& error) {
                     std::string url;
                     if (!kyHttpServerUrl(trimmed(v), "szAccurateRipServer", "http://", url,
                                          error))
                         return false;
                     s.szAccurateRipServer = url;
                     return true;
                 },
                 [](const RipSettings& s) {
                     std::string url, error;
                     return kyHttpServerUrl(s.szAccurateRipServer, "szAccurateRipServer",
                                            "http://", url, error);
                 },
                 [](RipSettings& s) { s.szAccurateRipServer = RipSettings{}.szAccurateRipServer; }});
    t.push_back(rangeSetting<&RipSettings::iAccurateRipTimeout, 1, 600>(
        "iAccurateRipTimeout", "Longest wait for the AccurateRip server in seconds",
        "1 to 600"));
    t.push_back(flagSetting<&RipSettings::bWriteLog>("bWriteLog",
                                                     "Write the rip log beside the files"));
    t.push_back(flagSetting<&RipSettings::bKeepPreEmphasis>(
        "bKeepPreEmphasis", "Keep pre-emphasised tracks as on the disc (off: de-emphasise)"));
    t.push_back({"iReadOffset", "Read offset of each drive in samples, by the drive's name",
                 "nothing: 'dskr-cli rip --offset N --save' keeps the offset of the drive read",
                 Kind::Text, readOffsetsText, readOffsetsText,
                 [](RipSettings&, std::string_view, std::string& error) {
                     error = "is kept by 'dskr-cli rip --offset N --save'";
                     return false;
                 },
                 [](const RipSettings& s) {
                     return std::all_of(s.readOffsets.begin(), s.readOffsets.end(),
                                        [](const auto& o) {
                                            return o.second >= -5880 && o.second <= 5880;
                                        });
                 },
                 [](RipSettings& s) { s.readOffsets.clear(); }, false});
    t.push_back({"iSubQBias",
                 "How far each drive's Q sub-channel is off from its audio in sectors, by the "
                 "drive's name (learned from rips, so that the Q can place a start)",
                 "nothing: it is learned from rips whose starts the audio confirms", Kind::Text,
                 subQBiasesText, subQBiasesText,
                 [](RipSettings&, std::string_view, std::string& error) {
                     error = "is learned from rips whose starts the audio confirms";
                     return false;
                 },
                 [](const RipSettings& s) {
                     return std::all_of(s.subQBiases.begin(), s.subQBiases.end(),
                                        [](const auto& b) {
                                            return b.second >= -RipSettings::kMaxSubQBias &&
                                                   b.second <= RipSettings::kMaxSubQBias;
                                        });
                 },
                 [](RipSettings& s) { s.subQBiases.clear(); }, false});
    t.push_back(rangeSetting<&RipSettings::iEncoderThreads, 0, RipSettings::kMaxEncoderThreads>(
        "iEncoderThreads",
        "Encoder threads beside the reading, and files converted at once (0: one per core; 1: "
        "all on one thread)",
        "0 to 64"));
    t.push_back(rangeSetting<&RipSettings::iEncoderQueueMiB, 0, RipSettings::kMaxEncoderQueueMiB>(
        "iEncoderQueueMiB", "Read audio held in memory for the encoders, in MiB (more waits in "
        "temporary files)", "0 to 65536"));
    t.push_back(flagSetting<&RipSettings::bEjectWhenDone>("bEjectWhenDone",
                                                          "Eject the disc when the batch is done"));
    t.push_back(flagSetting<&RipSettings::bExitWhenDone>(
        "bExitWhenDone", "Close the desktop wizard when the batch is done (read, never saved)",
        false));
    t.push_back(serverText<&RipSettings::szDBServer>("szDBServer", "freedb/gnudb server"));
    t.push_back(serverText<&RipSettings::szDBProxy>("szDBProxy", "Proxy for freedb/gnudb"));
    t.push_back(serverText<&RipSettings::szDBEmail>(
        "szDBEmail", "E-mail address given to the freedb/gnudb server"));
    t.push_back(utf8Text<&RipSettings::szMusicBrainzServer>(
        "szMusicBrainzServer", "MusicBrainz server", "a server address (https://host[:port])"));
    t.push_back(utf8Text<&RipSettings::szCoverArtServer>(
        "szCoverArtServer", "Cover Art Archive server", "a server address (https://host[:port])"));
    t.push_back({"szLookupOrder", "Sources of disc names, in the order they are asked",
                 "a list of musicbrainz, gnudb, local and cdtext, separated by commas",
                 Kind::Text, [](const RipSettings& s) { return s.szLookupOrder; },
                 [](const RipSettings& s) { return s.szLookupOrder; },
                 [](RipSettings& s, std::string_view v, std::string& error) {
                     std::vector<LookupSource> order;
                     if (!parseLookupOrder(trimmed(v), order, error)) return false;
                     s.szLookupOrder = lookupOrderText(order);
                     return true;
                 },
                 [](const RipSettings& s) {
                     std::vector<LookupSource> order;
                     std::string ignored;
                     return parseLookupOrder(s.szLookupOrder, order, ignored);
                 },
                 [](RipSettings& s) { s.szLookupOrder = RipSettings{}.szLookupOrder; }});
    t.push_back(flagSetting<&RipSettings::bFetchCoverArt>(
        "bFetchCoverArt", "Save the release's front cover beside the files and in them"));
    t.push_back({"LastDirs", "Recent output folders, most recent first (kept by DskR)",
                 "nothing: DskR keeps this list itself", Kind::TextList,
                 [](const RipSettings& s) {
                     std::string text;
                     for (const auto& d : s.lastDirs) text += (text.empty() ? "" : ", ") + d;
                     return text;
                 },
                 [](const RipSettings& s) {
                     std::string text;
                     for (const auto& d : s.lastDirs) text += (text.empty() ? "" : ", ") + d;
                     return text;
                 },
                 [](RipSettings&, std::string_view, std::string& error) {
                     error = "is kept by DskR itself";
                     return false;
                 },
                 [](const RipSettings&) { return true; },
                 [](RipSettings& s) { s.lastDirs.clear(); }, false});
    return t;
}

} // namespace

const std::vector<kySettingInfo>& kySettingsTable() {
    static const std::vector<kySettingInfo> table = makeTable();
    return table;
}

const kySettingInfo* kyFindSetting(std::string_view name) {
    const std::string want = lower(name);
    for (const kySettingInfo& info : kySettingsTable())
        if (lower(info.name) == want) return &info;
    return nullptr;
}

void kyValidateSettings(RipSettings& settings, std::vector<std::string>* problems) {
    // In table order, so that the data format is checked against the file format in use.
    for (const kySettingInfo& info : kySettingsTable()) {
        if (info.valid(settings)) continue;
        const std::string was = info.text(settings);
        info.reset(settings);
        if (problems)
            problems->push_back("The stored setting " + std::string(info.name) + " (\"" + was +
                                "\") is not valid (it takes " + info.accepts + "); the default \"" +
                                info.text(settings) + "\" is used.");
    }
}

std::string kyDefaultOutputDirectory() {
    std::string music = kyUserMusicFolder();
    if (!music.empty() && music.back() != '/' && music.back() != '\\') music += '/';
    return music;
}

std::string kyDefaultDataFormat(const std::string& fileFormat) {
    const auto list = subformatsOf(fileFormat);
    for (const char* wanted : {"PCM 16-bit", "Lossless 16-bit"})
        if (std::find(list.begin(), list.end(), wanted) != list.end()) return wanted;
    if (list.empty()) return RipSettings{}.szDataFormat;
    return list[list.size() / 2];
}

std::string kyResolveFormatName(std::string_view text) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    const std::string want = lower(text);
    // Names a user would guess where an extension is shared or differs from the name.
    static const std::map<std::string, std::string> aliases = {
        {"wav", "Microsoft wave format"},
        {"wave", "Microsoft wave format"},
        {"bwf", "Broadcast wave format (EBU BWF)"},
        {"aiff-c", "Audio interchange file format - Compressed"},
        {"caf-be", "Apple CoreAudio format (big-endian)"},
        {"caf-le", "Apple CoreAudio format (little-endian)"},
        {"aac", "MPEG-4 AAC - Low Complexity"},
    };
    std::string byAlias;
    if (auto it = aliases.find(want); it != aliases.end()) byAlias = it->second;
    // An extension of its own first (mov, mp4, m4a), else one a user may mean by it.
    std::string byExtension, bySimilarExtension;
    const std::string similar = want == "aif" ? "aiff" : want == "mp4" ? "m4a" : want;
    for (int32_t i = 0; catalog.NextWriterFormat(i); ++i) {
        const kyFormatEntry* e = catalog.Entry(i);
        if (lower(e->displayName) == want) return e->displayName;
        if (!byAlias.empty() && e->displayName == byAlias) return byAlias;
        if (byExtension.empty() && lower(e->extension) == want) byExtension = e->displayName;
        if (bySimilarExtension.empty() && lower(e->extension) == similar)
            bySimilarExtension = e->displayName;
    }
    if (!byAlias.empty()) return std::string();
    return byExtension.empty() ? bySimilarExtension : byExtension;
}

bool kyParseSwitch(std::string_view text, bool& value) {
    const std::string w = lower(trimmed(text));
    if (w == "on" || w == "yes" || w == "true" || w == "1") {
        value = true;
        return true;
    }
    if (w == "off" || w == "no" || w == "false" || w == "0") {
        value = false;
        return true;
    }
    return false;
}

bool kyParseInteger(std::string_view text, long long lo, long long hi, long long& value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    long long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
    value = v;
    return true;
}

bool kyParseDecimal(std::string_view text, double lo, double hi, double& value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    double v = 0;
    auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v < lo ||
        v > hi)
        return false;
    value = v;
    return true;
}

std::string kyNormalFolder(std::string_view path) {
    if (path.empty()) return {};
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(std::filesystem::path(path), ec);
    if (ec) return {};
    std::string dir = p.lexically_normal().string();
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}
