#include "app/rip_settings.h"
#include "app/settings_table.h"

#include "core/text.h"
#include "platform/settings_store.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

constexpr size_t kRecent = RipSettings::kRecentDirectories;
constexpr std::string_view kReadOffsetPrefix = "iReadOffset.";
constexpr std::string_view kSubQBiasPrefix = "iSubQBias.";

// Copies as many bytes of the stored value over the field as the field holds, whatever
// the stored type; the rest of the field keeps its default.
template <typename T> void readRaw(const kySettingsStore& store, const char* name, T& field) {
    static_assert(std::is_trivially_copyable_v<T>);
    auto bytes = store.rawBytes(name, true);
    if (!bytes) return;
    std::memcpy(&field, bytes->data(), std::min(bytes->size(), sizeof(T)));
}

void readFlag(const kySettingsStore& store, const char* name, bool& field) {
    uint8_t v = field ? 1 : 0;
    readRaw(store, name, v);
    field = v != 0;
}

// Wide text up to its terminator, at most `units` UTF-16 units (never half a pair).
std::optional<std::u16string> readWideText(const kySettingsStore& store, const char* name,
                                           size_t units) {
    auto bytes = store.rawBytes(name, true);
    if (!bytes) return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes->size(); i += 2) {
        char16_t c = static_cast<char16_t>((*bytes)[i] | ((*bytes)[i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    if (text.size() > units) {
        text.resize(units);
        if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    }
    return text;
}

void readWide(const kySettingsStore& store, const char* name, std::string& field, size_t units) {
    if (auto text = readWideText(store, name, units)) field = kyUtf16ToUtf8(*text);
}

// A folder is taken whole or not at all: a path cut to fit would name another folder.
bool readFolder(const kySettingsStore& store, const char* name, std::string& field) {
    auto text = readWideText(store, name, SIZE_MAX);
    if (!text || text->size() > RipSettings::kOutDirUnits) return false;
    field = kyUtf16ToUtf8(*text);
    return true;
}

void readNarrow(const kySettingsStore& store, const char* name, std::string& field) {
    auto bytes = store.rawBytes(name, false);
    if (!bytes) return;
    std::string text;
    for (uint8_t b : *bytes) {
        if (b == 0 || text.size() == RipSettings::kDbTextBytes) break;
        text.push_back(static_cast<char>(b));
    }
    field = text;
}

// A text of at most kMaxText UTF-16 units: an address or list cut to fit would be another
// one, so a longer (or empty) stored text leaves the default.
constexpr size_t kMaxText = 255;
void readText(const kySettingsStore& store, const char* name, std::string& field) {
    auto text = readWideText(store, name, SIZE_MAX);
    if (text && !text->empty() && text->size() <= kMaxText) field = kyUtf16ToUtf8(*text);
}

void writeFlag(kySettingsStore& store, const char* name, bool v) {
    uint8_t b = v ? 1 : 0;
    store.setBinary(name, &b, 1);
}

// Lower case for comparing folder names: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic capitals, which covers the names people give their music folders.
char32_t foldCase(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c < 0x80) return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x100 && c <= 0x137 && (c & 1) == 0) return c + 1;
    if (c >= 0x139 && c <= 0x148 && (c & 1) == 1) return c + 1;
    if (c >= 0x14A && c <= 0x177 && (c & 1) == 0) return c + 1;
    if (c == 0x178) return 0xFF;
    if (c >= 0x179 && c <= 0x17E && (c & 1) == 1) return c + 1;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

std::u32string folded(const std::string& utf8) {
    std::u32string out = kyUtf8ToUtf32(utf8);
    for (char32_t& c : out) c = foldCase(c);
    return out;
}

std::string resolvePath(const std::string& storePath) {
    return storePath.empty() ? settingsStorePath() : storePath;
}

} // namespace

std::string settingsStorePath() {
    return kySettingsStore::defaultPath();
}

bool loadSettings(RipSettings& s, SettingsLoadReport* report, const std::string& storePath) {
    s = RipSettings{};
    if (report) *report = SettingsLoadReport{};
    std::string path = resolvePath(storePath);

    kySettingsStore store;
    auto result = kySettingsStore::LoadResult::Unreadable;
    if (!path.empty()) result = store.load(path, report ? &report->message : nullptr);

    if (result != kySettingsStore::LoadResult::Unreadable && !path.empty()) {
        std::u16string version = readWideText(store, "VersionNumber", 259).value_or(u"0.0");
        if (version < u"5.0") {
            store.setString("VersionNumber", "5.0");
            store.save(path);
            // A store that was put aside because it was damaged belonged to an earlier
            // run: that user is not new, so no help on their account.
            if (version == u"0.0" && result != kySettingsStore::LoadResult::Malformed && report)
                report->openHelp = true;
        }
    }

    readFolder(store, "szOutDir", s.szOutDir);
    readWide(store, "szFileFormat", s.szFileFormat, RipSettings::kFileFormatUnits);
    readWide(store, "szDataFormat", s.szDataFormat, RipSettings::kDataFormatUnits);
    readRaw(store, "iOutChannels", s.iOutChannels);
    readRaw(store, "iCompressionLevel", s.iCompressionLevel);
    readFlag(store, "bNoOverwritePrompt", s.bNoOverwritePrompt);
    readFlag(store, "bMergeConsecutive", s.bMergeConsecutive);
    readFlag(store, "bCreatePlaylist", s.bCreatePlaylist);
    readFlag(store, "bWriteCue", s.bWriteCue);
    readFlag(store, "bDetectGaps", s.bDetectGaps);
    readFlag(store, "bRipHiddenTrack", s.bRipHiddenTrack);
    readRaw(store, "aiName", s.aiName);
    readFlag(store, "bResample", s.bResample);
    readRaw(store, "dwNewSampleRate", s.dwNewSampleRate);
    readRaw(store, "eResamplingAlg", s.eResamplingAlg);
    readFlag(store, "bRemoveSilence", s.bRemoveSilence);
    readFlag(store, "bCutOff", s.bCutOff);
    readRaw(store, "iCutOffLength", s.iCutOffLength);
    readFlag(store, "bCutOffFade", s.bCutOffFade);
    readFlag(store, "bNormalize", s.bNormalize);
    readRaw(store, "eNormalizeType", s.eNormalizeType);
    readFlag(store, "bNormalizeMeta", s.bNormalizeMeta);
    readRaw(store, "fNormalizeTarget", s.fNormalizeTarget);
    readFlag(store, "bNormalizeUnitDB", s.bNormalizeUnitDB);
    readFlag(store, "bNormalizeAlbum", s.bNormalizeAlbum);
    readFlag(store, "bNormalizeNeverClip", s.bNormalizeNeverClip);
    readFlag(store, "bMp3Id3v2", s.bMp3Id3v2);
    readFlag(store, "bMp3Id3v1", s.bMp3Id3v1);
    readFlag(store, "bMp3Ape", s.bMp3Ape);
    readFlag(store, "bMp2Id3v2", s.bMp2Id3v2);
    readFlag(store, "bMp2Id3v1", s.bMp2Id3v1);
    readFlag(store, "bAacId3v2", s.bAacId3v2);
    readFlag(store, "bAacId3v1", s.bAacId3v1);
    readFlag(store, "bAacApe", s.bAacApe);
    readRaw(store, "iDevice", s.iDevice);
    readRaw(store, "iSpeed", s.iSpeed);
    readRaw(store, "eMode", s.eMode);
    readFlag(store, "bEjectWhenDone", s.bEjectWhenDone);
    readFlag(store, "bExitWhenDone", s.bExitWhenDone);
    readFlag(store, "bContinueOnReadError", s.bContinueOnReadError);
    readFlag(store, "bTestAndCopy", s.bTestAndCopy);
    readFlag(store, "bAccurateRip", s.bAccurateRip);
    readText(store, "szAccurateRipServer", s.szAccurateRipServer);
    readRaw(store, "iAccurateRipTimeout", s.iAccurateRipTimeout);
    s.iAccurateRipTimeout = std::clamp(s.iAccurateRipTimeout, 1, 600);
    readFlag(store, "bWriteLog", s.bWriteLog);
    readFlag(store, "bKeepPreEmphasis", s.bKeepPreEmphasis);
    readRaw(store, "iEncoderThreads", s.iEncoderThreads);
    s.iEncoderThreads = std::clamp(s.iEncoderThreads, 0, RipSettings::kMaxEncoderThreads);
    readRaw(store, "iEncoderQueueMiB", s.iEncoderQueueMiB);
    s.iEncoderQueueMiB = std::clamp(s.iEncoderQueueMiB, 0, RipSettings::kMaxEncoderQueueMiB);
    // Values kept per drive: "<prefix><drive's key>".
    auto perDrive = [&](std::string_view prefix, auto keep) {
        for (const std::string& name : store.names()) {
            if (name.size() <= prefix.size() ||
                !std::equal(prefix.begin(), prefix.end(), name.begin(),
                            [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
                continue;
            int32_t value = 0;
            readRaw(store, name.c_str(), value);
            keep(name.substr(prefix.size()), value);
        }
    };
    perDrive(kReadOffsetPrefix,
             [&](const std::string& drive, int32_t v) { setReadOffset(s, drive, v); });
    perDrive(kSubQBiasPrefix,
             [&](const std::string& drive, int32_t v) { setSubQBias(s, drive, v); });
    readNarrow(store, "szDBServer", s.szDBServer);
    readNarrow(store, "szDBProxy", s.szDBProxy);
    readNarrow(store, "szDBEmail", s.szDBEmail);
    readText(store, "szMusicBrainzServer", s.szMusicBrainzServer);
    readText(store, "szCoverArtServer", s.szCoverArtServer);
    readText(store, "szLookupOrder", s.szLookupOrder);
    readFlag(store, "bFetchCoverArt", s.bFetchCoverArt);

    if (s.szOutDir.empty()) s.szOutDir = kyDefaultOutputDirectory();

    for (size_t i = 0; i < kRecent; ++i) {
        std::string name = "LastDirs." + std::to_string(i);
        std::string dir;
        if (!store.find(name)) break;
        if (!readFolder(store, name.c_str(), dir)) continue; // too long: left out
        if (dir.empty()) break;
        s.lastDirs.push_back(dir);
    }
    kyValidateSettings(s, report ? &report->problems : nullptr);
    return true;
}

bool saveSettings(const RipSettings& s, const std::string& storePath) {
    std::string path = resolvePath(storePath);
    if (path.empty()) return false;
    kySettingsStore store;
    // Keep what is stored beside the record (VersionNumber, bExitWhenDone, ...).
    if (store.load(path) == kySettingsStore::LoadResult::Unreadable) return false;

    store.setString("szOutDir", s.szOutDir);
    store.setString("szFileFormat", s.szFileFormat);
    store.setString("szDataFormat", s.szDataFormat);
    store.setDword("iOutChannels", static_cast<uint32_t>(s.iOutChannels));
    store.setDword("iCompressionLevel", static_cast<uint32_t>(s.iCompressionLevel));
    writeFlag(store, "bNoOverwritePrompt", s.bNoOverwritePrompt);
    writeFlag(store, "bMergeConsecutive", s.bMergeConsecutive);
    writeFlag(store, "bCreatePlaylist", s.bCreatePlaylist);
    writeFlag(store, "bWriteCue", s.bWriteCue);
    writeFlag(store, "bDetectGaps", s.bDetectGaps);
    writeFlag(store, "bRipHiddenTrack", s.bRipHiddenTrack);
    uint8_t name[40];
    for (size_t i = 0; i < 10; ++i)
        for (size_t b = 0; b < 4; ++b)
            name[i * 4 + b] = static_cast<uint8_t>(static_cast<uint32_t>(s.aiName[i]) >> (8 * b));
    store.setBinary("aiName", name, sizeof name);
    writeFlag(store, "bResample", s.bResample);
    store.setDword("dwNewSampleRate", s.dwNewSampleRate);
    store.setDword("eResamplingAlg", static_cast<uint32_t>(s.eResamplingAlg));
    writeFlag(store, "bRemoveSilence", s.bRemoveSilence);
    writeFlag(store, "bCutOff", s.bCutOff);
    store.setDword("iCutOffLength", static_cast<uint32_t>(s.iCutOffLength));
    writeFlag(store, "bCutOffFade", s.bCutOffFade);
    writeFlag(store, "bNormalize", s.bNormalize);
    store.setBinary("eNormalizeType", &s.eNormalizeType, 1);
    writeFlag(store, "bNormalizeMeta", s.bNormalizeMeta);
    uint32_t targetBits;
    std::memcpy(&targetBits, &s.fNormalizeTarget, 4);
    store.setDword("fNormalizeTarget", targetBits);
    writeFlag(store, "bNormalizeUnitDB", s.bNormalizeUnitDB);
    writeFlag(store, "bNormalizeAlbum", s.bNormalizeAlbum);
    writeFlag(store, "bNormalizeNeverClip", s.bNormalizeNeverClip);
    writeFlag(store, "bMp3Id3v2", s.bMp3Id3v2);
    writeFlag(store, "bMp3Id3v1", s.bMp3Id3v1);
    writeFlag(store, "bMp3Ape", s.bMp3Ape);
    writeFlag(store, "bMp2Id3v2", s.bMp2Id3v2);
    writeFlag(store, "bMp2Id3v1", s.bMp2Id3v1);
    writeFlag(store, "bAacId3v2", s.bAacId3v2);
    writeFlag(store, "bAacId3v1", s.bAacId3v1);
    writeFlag(store, "bAacApe", s.bAacApe);
    store.setDword("iDevice", static_cast<uint32_t>(s.iDevice));
    store.setDword("iSpeed", static_cast<uint32_t>(s.iSpeed));
    store.setDword("eMode", static_cast<uint32_t>(s.eMode));
    writeFlag(store, "bEjectWhenDone", s.bEjectWhenDone);
    writeFlag(store, "bContinueOnReadError", s.bContinueOnReadError);
    writeFlag(store, "bTestAndCopy", s.bTestAndCopy);
    writeFlag(store, "bAccurateRip", s.bAccurateRip);
    store.setString("szAccurateRipServer", s.szAccurateRipServer);
    store.setDword("iAccurateRipTimeout", static_cast<uint32_t>(s.iAccurateRipTimeout));
    writeFlag(store, "bWriteLog", s.bWriteLog);
    writeFlag(store, "bKeepPreEmphasis", s.bKeepPreEmphasis);
    store.setDword("iEncoderThreads", static_cast<uint32_t>(s.iEncoderThreads));
    store.setDword("iEncoderQueueMiB", static_cast<uint32_t>(s.iEncoderQueueMiB));
    // Values kept per drive are written anew: loading took every stored one into the
    // record, so one it no longer holds was reset (or, a bias, contradicted by the drive).
    auto savePerDrive = [&](std::string_view prefix, const std::map<std::string, int32_t>& kept) {
        for (const std::string& name : store.names())
            if (name.size() >= prefix.size() &&
                kyEqualsNoCaseAscii(std::string_view(name).substr(0, prefix.size()), prefix))
                store.remove(name);
        for (const auto& [key, value] : kept)
            store.setDword(std::string(prefix) + key, static_cast<uint32_t>(value));
    };
    savePerDrive(kReadOffsetPrefix, s.readOffsets);
    savePerDrive(kSubQBiasPrefix, s.subQBiases);
    // Single-byte texts are kept as UTF-8 in the store file.
    store.setString("szDBServer",
                    kySingleByteToUtf8(s.szDBServer.substr(0, RipSettings::kDbTextBytes)));
    store.setString("szDBProxy",
                    kySingleByteToUtf8(s.szDBProxy.substr(0, RipSettings::kDbTextBytes)));
    store.setString("szDBEmail",
                    kySingleByteToUtf8(s.szDBEmail.substr(0, RipSettings::kDbTextBytes)));
    store.setString("szMusicBrainzServer", s.szMusicBrainzServer);
    store.setString("szCoverArtServer", s.szCoverArtServer);
    store.setString("szLookupOrder", s.szLookupOrder);
    writeFlag(store, "bFetchCoverArt", s.bFetchCoverArt);

    for (size_t i = 0; i < kRecent; ++i) {
        std::string valueName = "LastDirs." + std::to_string(i);
        if (i < s.lastDirs.size() && !s.lastDirs[i].empty())
            store.setString(valueName, s.lastDirs[i]);
        else
            store.remove(valueName);
    }
    return store.save(path);
}

std::string readOffsetKey(const std::string& vendorProduct) {
    std::string key;
    for (char c : vendorProduct) {
        const bool blank = c == ' ' || c == '\t' || static_cast<unsigned char>(c) < 0x20;
        if (blank && (key.empty() || key.back() == ' ')) continue;
        key += blank ? ' ' : c;
    }
    while (!key.empty() && key.back() == ' ') key.pop_back();
    return key;
}

int32_t readOffsetFor(const RipSettings& s, const std::string& vendorProduct) {
    const std::string key = readOffsetKey(vendorProduct);
    if (key.empty()) return 0;
    for (const auto& [k, offset] : s.readOffsets)
        if (folded(k) == folded(key)) return offset;
    return 0;
}

void setReadOffset(RipSettings& s, const std::string& vendorProduct, int32_t samples) {
    const std::string key = readOffsetKey(vendorProduct);
    if (key.empty()) return;
    std::erase_if(s.readOffsets,
                  [&](const auto& entry) { return folded(entry.first) == folded(key); });
    s.readOffsets[key] = std::clamp<int32_t>(samples, -5880, 5880);
}

std::optional<int32_t> subQBiasFor(const RipSettings& s, const std::string& vendorProduct) {
    const std::string key = readOffsetKey(vendorProduct);
    if (key.empty()) return std::nullopt;
    for (const auto& [k, bias] : s.subQBiases)
        if (folded(k) == folded(key)) return bias;
    return std::nullopt;
}

void setSubQBias(RipSettings& s, const std::string& vendorProduct, std::optional<int32_t> sectors) {
    const std::string key = readOffsetKey(vendorProduct);
    if (key.empty()) return;
    std::erase_if(s.subQBiases,
                  [&](const auto& entry) { return folded(entry.first) == folded(key); });
    if (sectors && *sectors >= -RipSettings::kMaxSubQBias && *sectors <= RipSettings::kMaxSubQBias)
        s.subQBiases[key] = *sectors;
}

void addRecentDirectory(RipSettings& s, const std::string& path) {
    if (path.empty()) return; // an empty slot ends the list
    // Slots are filled from the first without gaps; keep them that way.
    std::erase_if(s.lastDirs, [](const std::string& d) { return d.empty(); });
    const std::u32string key = folded(path);
    std::erase_if(s.lastDirs, [&](const std::string& d) { return folded(d) == key; });
    if (s.lastDirs.size() >= kRecent) s.lastDirs.resize(kRecent - 1);
    s.lastDirs.insert(s.lastDirs.begin(), path);
}
