#include "app/options_page.h"

#include "filters/normalize_filter.h"
#include "filters/resampling_filter.h"
#include "formats/format_catalog.h"
#include "job/output_naming.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>

int rowOfValue(const std::vector<OptionItem>& items, int32_t value) {
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].value == value) return static_cast<int>(i);
    return -1;
}

std::vector<OptionItem> fileFormatItems() {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    std::vector<OptionItem> items;
    std::string extension, name;
    for (int32_t i = 0; catalog.NextWriterFormat(i, &extension, &name); ++i) {
        std::string shortName = extension;
        std::transform(shortName.begin(), shortName.end(), shortName.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        items.push_back({shortName + " | " + name, i});
    }
    return items;
}

int fileFormatRow(const std::vector<OptionItem>& items, std::string_view fileFormat) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    for (size_t i = 0; i < items.size(); ++i)
        if (const kyFormatEntry* e = catalog.Entry(items[i].value); e && e->displayName == fileFormat)
            return static_cast<int>(i);
    return 0;
}

std::vector<OptionItem> dataFormatItems(int32_t format) {
    std::vector<OptionItem> items;
    std::string name;
    for (int32_t k = 0; kyFormatCatalog::Instance().GetWriterSubformat(format, k, name); ++k)
        items.push_back({name, k});
    return items;
}

int dataFormatRow(const std::vector<OptionItem>& items, std::string_view dataFormat) {
    for (std::string_view want : {dataFormat, std::string_view("PCM 16-bit"),
                                  std::string_view("Lossless 16-bit")})
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i].text == want) return static_cast<int>(i);
    return items.empty() ? -1 : static_cast<int>(items.size() / 2);
}

std::vector<OptionItem> channelItems(int32_t format) {
    std::vector<OptionItem> items;
    const kyFormatEntry* e = kyFormatCatalog::Instance().Entry(format);
    if (!e) return items;
    if (e->minChannels < 2) items.push_back({"Mono", 1});
    if (e->maxChannels > 1) items.push_back({"Stereo", 2});
    return items;
}

std::vector<OptionItem> namePartItems() {
    return {{"", 0},
            {"<artist name>", 1},
            {"<album name>", 2},
            {"<track name>", 3},
            {"<track n>", 4},
            {"<track nn>", 5},
            {"<track start>", 6},
            {"<track length>", 7},
            {"<album genre>", 8},
            {"<album year>", 9}};
}

std::vector<OptionItem> separatorItems() {
    return {{" ", 1}, {" - ", 2}, {",", 3}, {".", 4}, {"\\", 5}, {"_", 6}, {"'", 7}, {" none ", 0}};
}

std::vector<OptionItem> spaceItems() {
    return {{"Keep space in file names", 0},
            {"Replace space with underscore", 1},
            {"Replace space with dot", 2},
            {"Remove space from file names", 3}};
}

std::vector<OptionItem> rateItems() {
    std::vector<OptionItem> items;
    // No 6000: below the lowest rate the checks before a batch accept.
    for (int32_t rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000})
        items.push_back({std::to_string(rate), rate});
    return items;
}

std::vector<OptionItem> algorithmItems() {
    std::vector<OptionItem> items;
    for (int32_t a : {0, 1, 2, 4, 5, 6})
        items.push_back({kyResampleAlgorithmLabel(static_cast<uint32_t>(a)), a});
    return items;
}

std::vector<OptionItem> normalizeTypeItems() {
    return {{"Peak level", KYNORM_PEAK},
            {"Replay Gain Standard", KYNORM_REPLAYGAIN},
            {"Replay Gain ISO 226:2003", KYNORM_REPLAYGAIN_ISO},
            {"EBU R 128", KYNORM_EBU_R128}};
}

std::vector<OptionItem> metaItems() {
    return {{"Modify Audio", 0}, {"Store Meta data", 1}};
}

std::vector<OptionItem> modeItems() {
    return {{"Burst mode (fastest)", 0},
            {"Jitter correcting mode", 1},
            {"Scratch correcting mode", 2},
            {"Verified burst mode", 3}};
}

std::vector<OptionItem> speedItems(uint32_t maxSpeed) {
    std::vector<OptionItem> items;
    if (maxSpeed > 0) {
        for (int32_t s : {1, 2, 4, 6, 8, 10, 12, 16, 20, 24, 32, 36})
            if (static_cast<uint32_t>(s) < maxSpeed) items.push_back({std::to_string(s) + " x", s});
        if (maxSpeed < 255)
            items.push_back({std::to_string(maxSpeed) + " x", static_cast<int32_t>(maxSpeed)});
    }
    items.push_back({"Max", 255});
    return items;
}

std::vector<OptionItem> unitItems(uint32_t type) {
    switch (type) {
    case KYNORM_FIXED:
        return {{"x", 0}, {"dB", 1}};
    case KYNORM_PEAK:
    case KYNORM_RMS:
    case KYNORM_AC_RMS:
        return {{"x", 0}, {"dBFS", 1}};
    case KYNORM_REPLAYGAIN:
    case KYNORM_REPLAYGAIN_ISO:
        return {{"dB(SPL)", 1}};
    case KYNORM_EBU_R128:
        return {{"LU", 1}};
    default:
        return {{"dBFS", 1}};
    }
}

void normalizeTypeChosen(RipSettings& s, uint8_t type) {
    s.eNormalizeType = type;
    s.bNormalizeUnitDB = true;
    switch (type) {
    case KYNORM_REPLAYGAIN:
    case KYNORM_REPLAYGAIN_ISO:
        s.fNormalizeTarget = 89.0f;
        s.bNormalizeMeta = true;
        break;
    case KYNORM_BS1770_HIGHPASS:
    case KYNORM_BS1770:
        s.fNormalizeTarget = -20.0f;
        break;
    case KYNORM_EBU_R128:
        s.fNormalizeTarget = 0.0f;
        break;
    default:
        s.fNormalizeTarget = 0.0f;
        s.bNormalizeMeta = false;
        break;
    }
}

float convertNormalizeTarget(std::string_view fieldText, float stored, bool toDb) {
    double v = stored;
    readNumberField(fieldText, v);
    if (toDb) return v <= 0 ? -96.0f : static_cast<float>(20.0 * std::log10(v));
    return static_cast<float>(std::pow(10.0, v * 0.05));
}

std::string normalizeTargetText(float value, bool unitDb) {
    const double v = value;
    const bool whole = std::trunc(v * 1000) == std::trunc(v) * 1000;
    char buf[64];
    // Written the same in every locale: a German desktop would otherwise show "-6,00".
    const int decimals = whole ? 1 : unitDb ? 2 : 3;
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

bool albumGainAllowed(uint32_t type) {
    return type == KYNORM_REPLAYGAIN || type == KYNORM_REPLAYGAIN_ISO;
}

int64_t readRateField(std::string_view text, int64_t old) {
    const size_t first = text.find_first_of("0123456789");
    if (first == std::string_view::npos) return old;
    int64_t value = 0;
    size_t i = first;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<int64_t>(value * 10 + (text[i] - '0'), INT64_C(99999999999));
    return first > 0 && text[first - 1] == '-' ? -value : value;
}

int64_t readIntegerField(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    int64_t value = 0;
    auto r = std::from_chars(text.data() + i, text.data() + text.size(), value);
    return r.ec == std::errc() ? value : 0;
}

bool readNumberField(std::string_view text, double& value) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i < text.size() && text[i] == '+') ++i;
    double v = 0;
    auto r = std::from_chars(text.data() + i, text.data() + text.size(), v);
    if (r.ec != std::errc() || !std::isfinite(v)) return false;
    value = v;
    return true;
}

std::string exampleText(const RipSettings& settings, const DiscInfo& disc,
                        std::string_view directoryField) {
    std::string dir(directoryField);
    if (dir.empty() || dir.back() != '/') dir += '/';
    const TrackEntry* row = nullptr;
    for (const TrackEntry& r : disc.tracks)
        if (r.selected) {
            row = &r;
            break;
        }
    if (!row && !disc.tracks.empty()) row = &disc.tracks.front();
    std::string name;
    if (row) name = buildFileName(settings, disc, row);
    return "Example -->  " + dir + name;
}

std::string checkProcessingSettings(const RipSettings& s) {
    if (s.bResample && (s.dwNewSampleRate < 8000 || s.dwNewSampleRate > 192000))
        return "Please enter a sample rate from 8000 to 192000 Hz!";
    if (s.bCutOff && (s.iCutOffLength < 1 || s.iCutOffLength > 86400))
        return "Please enter a cut-off position from 1 to 86400 seconds!";
    if (s.bNormalize) {
        const double t = s.fNormalizeTarget;
        bool ok = std::isfinite(t);
        switch (s.eNormalizeType) {
        case KYNORM_PEAK:
            ok = ok && (s.bNormalizeUnitDB ? t >= -96 && t <= 0 : t > 0 && t <= 1);
            break;
        case KYNORM_REPLAYGAIN:
        case KYNORM_REPLAYGAIN_ISO:
            ok = ok && t >= 60 && t <= 110;
            break;
        case KYNORM_EBU_R128:
            ok = ok && t >= -47 && t <= 23;
            break;
        default:
            ok = false;
            break;
        }
        if (!ok) {
            switch (s.eNormalizeType) {
            case KYNORM_PEAK:
                return s.bNormalizeUnitDB
                           ? "Please enter a peak level from -96 to 0 dBFS!"
                           : "Please enter a peak level factor above 0 and at most 1!";
            case KYNORM_REPLAYGAIN:
            case KYNORM_REPLAYGAIN_ISO:
                return "Please enter a Replay Gain reference level from 60 to 110 dB(SPL)!";
            case KYNORM_EBU_R128:
                return "Please enter a loudness from -47 to 23 LU (relative to -23 LUFS)!";
            default:
                return "Please select a volume adjustment algorithm!";
            }
        }
    }
    return {};
}

DirectoryCheck checkOutputDirectory(std::string& directory) {
    if (directory.empty()) return DirectoryCheck::Empty;
    const bool root = directory.find_first_not_of('/') == std::string::npos;
    while (!directory.empty() && directory.back() == '/') directory.pop_back();
    if (root) {
        directory = "/";
        return DirectoryCheck::Ready;
    }
    std::error_code ec;
    const bool exists = std::filesystem::is_directory(directory, ec);
    directory += '/';
    return exists ? DirectoryCheck::Ready : DirectoryCheck::Missing;
}

bool createOutputDirectory(const std::string& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    return std::filesystem::is_directory(directory, ec);
}
