#include "cli/cli_settings.h"
#include "filters/resampling_filter.h"
#include "formats/format_catalog.h"
#include "job/output_naming.h"
#include "job/processing_stages.h"
#include "platform/http_client.h"
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace {
std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}
} // namespace

namespace {
// A number and an optional unit after it ("-1", "-1dBFS", "-1 dBFS", "0.9x"), read the
// same way in every locale. The unit comes back in lower case.
bool splitTarget(const std::string& text, double& value, std::string& unit) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin < end && *begin == ' ') ++begin;
    if (begin < end && *begin == '+') ++begin;
    auto r = std::from_chars(begin, end, value);
    if (r.ec != std::errc() || !std::isfinite(value)) return false;
    const char* u = r.ptr;
    while (u < end && *u == ' ') ++u;
    unit = lower(std::string(u, end));
    return true;
}

// The normalisation target for `type` in the unit its settings store: dBFS or a factor
// for peak, dB for ReplayGain's reference, LU relative to -23 LUFS for R 128.
bool parseTarget(const std::string& text, uint8_t type, float& target, bool& isDb,
                 std::string& error) {
    double v;
    std::string unit;
    if (splitTarget(text, v, unit)) {
        if (type == KYNORM_PEAK) {
            if ((unit.empty() || unit == "dbfs" || unit == "db") && v >= -96 && v <= 0) {
                target = static_cast<float>(v);
                isDb = true;
                return true;
            }
            if (unit == "x" && v > 0 && v <= 1) {
                target = static_cast<float>(v);
                isDb = false;
                return true;
            }
        } else if (type == KYNORM_REPLAYGAIN || type == KYNORM_REPLAYGAIN_ISO) {
            if ((unit.empty() || unit == "db" || unit == "db(spl)" || unit == "dbspl") && v >= 60 &&
                v <= 110) {
                target = static_cast<float>(v);
                isDb = true;
                return true;
            }
        } else if (type == KYNORM_EBU_R128) {
            // Loudness in LUFS, or a level relative to -23 LUFS in LU.
            if ((unit.empty() || unit == "lufs") && v >= -70 && v <= 0) {
                target = static_cast<float>(v + 23.0);
                isDb = true;
                return true;
            }
            if (unit == "lu" && v >= -47 && v <= 23) {
                target = static_cast<float>(v);
                isDb = true;
                return true;
            }
        } else {
            error = "--target needs --normalize peak, rg, rg-iso or r128";
            return false;
        }
    }
    switch (type) {
    case KYNORM_PEAK:
        error = "--target for peak takes a level in dBFS (-96 to 0, e.g. -1dBFS) or a factor "
                "(e.g. 0.9x)";
        break;
    case KYNORM_EBU_R128:
        error = "--target for r128 takes a loudness in LUFS (-70 to 0, e.g. -23LUFS) or a "
                "level in LU relative to -23 LUFS (e.g. -5LU)";
        break;
    default:
        error = "--target for ReplayGain takes the reference level in dB (60 to 110, e.g. 89dB)";
        break;
    }
    return false;
}
// The tag options apply to the tags of the output format's own stream.
bool applyTagOptions(const CliArguments& args, RipSettings& s, std::string& error) {
    const char* given = nullptr;
    for (const char* o :
         {"--id3v2", "--no-id3v2", "--id3v1", "--no-id3v1", "--ape-tag", "--no-ape-tag"})
        if (args.has(o)) given = o;
    if (!given) return true;
    const kyFormatEntry* e =
        kyFormatCatalog::Instance().Entry(findWriterFormatByName(s.szFileFormat));
    const std::string ext = e ? lower(e->extension) : std::string();
    bool *id3v2 = nullptr, *id3v1 = nullptr, *ape = nullptr;
    if (ext == "mp3") {
        id3v2 = &s.bMp3Id3v2;
        id3v1 = &s.bMp3Id3v1;
        ape = &s.bMp3Ape;
    } else if (ext == "mp2") {
        id3v2 = &s.bMp2Id3v2;
        id3v1 = &s.bMp2Id3v1;
    } else if (ext == "aac") {
        id3v2 = &s.bAacId3v2;
        id3v1 = &s.bAacId3v1;
        ape = &s.bAacApe;
    } else {
        error = std::string(given) + " is for MP3, MP2 and AAC files";
        return false;
    }
    if (!ape && (args.has("--ape-tag") || args.has("--no-ape-tag"))) {
        error = "MP2 files carry no APE tag";
        return false;
    }
    if (args.has("--id3v2")) *id3v2 = true;
    if (args.has("--no-id3v2")) *id3v2 = false;
    if (args.has("--id3v1")) *id3v1 = true;
    if (args.has("--no-id3v1")) *id3v1 = false;
    if (args.has("--ape-tag")) *ape = true;
    if (args.has("--no-ape-tag")) *ape = false;
    return true;
}
} // namespace

void loadStoredSettings(RipSettings& settings) {
    SettingsLoadReport report;
    loadSettings(settings, &report);
    if (!report.message.empty()) std::fprintf(stderr, "dskr-cli: %s\n", report.message.c_str());
    // A first start would open the help in the wizard; here a pointer to it will do.
    if (report.openHelp)
        std::fprintf(stderr,
                     "Welcome to DskR 5. 'dskr-cli --help' lists every command and option.\n");
}

std::string resolveFormatName(const std::string& text) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    const std::string want = lower(text);
    // Aliases a user would guess where an extension is shared or differs from the name.
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

bool applyAccurateRipOptions(const CliArguments& args, RipSettings& s, std::string& error) {
    long n;
    if (auto v = args.get("--accuraterip-server")) {
        std::string url;
        if (!kyHttpServerUrl(*v, "--accuraterip-server", "http://", url, error)) return false;
        s.szAccurateRipServer = url;
    }
    if (auto v = args.get("--accuraterip-timeout")) {
        if (!parseInteger(*v, 1, 600, n)) {
            error = "--accuraterip-timeout takes seconds, 1 to 600";
            return false;
        }
        s.iAccurateRipTimeout = static_cast<int32_t>(n);
    }
    return true;
}

bool applyRunOptions(const CliArguments& args, RipSettings& s, OverwritePolicy& policy,
                     std::string& error) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    long n;
    double d;
    if (auto v = args.get("--out")) {
        if (v->empty()) {
            error = "--out needs a folder";
            return false;
        }
        std::error_code ec;
        std::filesystem::path p = std::filesystem::absolute(*v, ec);
        std::string dir = p.lexically_normal().string();
        if (dir.empty() || dir.back() != '/') dir += '/';
        s.szOutDir = dir;
    }
    if (auto v = args.get("--format")) {
        const std::string name = resolveFormatName(*v);
        if (name.empty()) {
            error = "unknown format '" + *v + "' (see 'dskr-cli formats')";
            return false;
        }
        if (name != s.szFileFormat && !args.has("--subformat")) s.szDataFormat = "<Auto select>";
        // Levels are the codec's own: another format starts from its default.
        if (name != s.szFileFormat) s.iCompressionLevel = -1;
        s.szFileFormat = name;
    }
    if (auto v = args.get("--subformat")) {
        const int32_t index = findWriterFormatByName(s.szFileFormat);
        bool found = false;
        std::string name;
        for (int32_t k = 0; index >= 0 && catalog.GetWriterSubformat(index, k, name); ++k)
            if (lower(name) == lower(*v)) {
                s.szDataFormat = name;
                found = true;
                break;
            }
        if (!found) {
            error = "'" + *v + "' is not a subformat of " + s.szFileFormat +
                    " (see 'dskr-cli formats')";
            return false;
        }
    }
    if (auto v = args.get("--compression")) {
        const kyFormatEntry* e = catalog.Entry(findWriterFormatByName(s.szFileFormat));
        if (!e || e->highestLevel < e->lowestLevel) {
            error = s.szFileFormat + " has no compression levels";
            return false;
        }
        if (lower(*v) == "default") {
            s.iCompressionLevel = -1;
        } else if (parseInteger(*v, e->lowestLevel, e->highestLevel, n)) {
            s.iCompressionLevel = static_cast<int32_t>(n);
        } else {
            error = "--compression for " + s.szFileFormat + " takes a level from " +
                    std::to_string(e->lowestLevel) + " to " + std::to_string(e->highestLevel) +
                    ", or default";
            return false;
        }
    }
    if (auto v = args.get("--channels")) {
        if (!parseInteger(*v, 1, 2, n)) {
            error = "--channels takes 1 or 2";
            return false;
        }
        s.iOutChannels = static_cast<int32_t>(n);
    }
    if (auto v = args.get("--pattern")) {
        std::array<int32_t, 10> pattern{};
        size_t count = 0, pos = 0;
        bool ok = true;
        for (; ok && pos <= v->size(); ++count) {
            const size_t comma = std::min(v->find(',', pos), v->size());
            ok = count < pattern.size() && parseInteger(v->substr(pos, comma - pos), 0, 9, n);
            if (ok) pattern[count] = static_cast<int32_t>(n);
            pos = comma + 1;
        }
        if (!ok || count != pattern.size()) {
            error = "--pattern takes ten numbers P0,...,P9 (e.g. 0,1,5,2,5,5,2,3,0,0)";
            return false;
        }
        s.aiName = pattern;
    }
    if (args.has("--merge")) s.bMergeConsecutive = true;
    if (args.has("--playlist")) s.bCreatePlaylist = true;
    if (auto v = args.get("--resample")) {
        if (!parseInteger(*v, 1000, 384000, n)) {
            error = "--resample takes a sample rate in Hz (1000 to 384000)";
            return false;
        }
        s.bResample = true;
        s.dwNewSampleRate = static_cast<uint32_t>(n);
    }
    if (auto v = args.get("--resampler")) {
        if (!parseInteger(*v, 0, 999, n) || (n > 7 && n != 999)) {
            error = "--resampler takes an algorithm code: 0 nearest, 1 linear, 2 cubic, "
                    "4 F.I.R. fast, 5 F.I.R. normal, 6 F.I.R. slow";
            return false;
        }
        s.eResamplingAlg = static_cast<int32_t>(n);
    }
    if (args.has("--remove-silence")) s.bRemoveSilence = true;
    if (auto v = args.get("--cutoff")) {
        if (!parseDecimal(*v, 1, 86400, d)) {
            error = "--cutoff takes a length in seconds";
            return false;
        }
        s.bCutOff = true;
        s.iCutOffLength = static_cast<int32_t>(d + 0.5);
    }
    // On/off settings and their opposites.
    const struct {
        const char* on;
        const char* off;
        bool& field;
    } flags[] = {
        {"--fade", "--no-fade", s.bCutOffFade},
        {"--test-and-copy", "--no-test-and-copy", s.bTestAndCopy},
        {"--cue", "--no-cue", s.bWriteCue},
        {"--detect-gaps", "--no-detect-gaps", s.bDetectGaps},
        {"--hidden-track", "--no-hidden-track", s.bRipHiddenTrack},
        {"--continue-on-errors", "--no-continue-on-errors", s.bContinueOnReadError},
        {"--accuraterip", "--no-accuraterip", s.bAccurateRip},
        {"--log", "--no-log", s.bWriteLog},
        {"--keep-preemphasis", "--no-keep-preemphasis", s.bKeepPreEmphasis},
    };
    for (const auto& f : flags) {
        if (args.has(f.on) && args.has(f.off)) {
            error = std::string("choose ") + f.on + " or " + f.off;
            return false;
        }
        if (args.has(f.on)) f.field = true;
        if (args.has(f.off)) f.field = false;
    }
    if (!applyAccurateRipOptions(args, s, error)) return false;
    if (auto v = args.get("--mode")) {
        static const std::map<std::string, int32_t> modes = {
            {"burst", 0}, {"jitter", 1}, {"scratch", 2}};
        auto it = modes.find(lower(*v));
        if (it == modes.end()) {
            error = "--mode takes burst, jitter or scratch";
            return false;
        }
        s.eMode = it->second;
    }
    if (auto v = args.get("--jobs")) {
        if (!parseInteger(*v, 0, RipSettings::kMaxEncoderThreads, n)) {
            error = "--jobs takes the number of encoder threads (1 to " +
                    std::to_string(RipSettings::kMaxEncoderThreads) + ", 0: one per core)";
            return false;
        }
        s.iEncoderThreads = static_cast<int32_t>(n);
    }
    if (auto v = args.get("--encoder-queue")) {
        if (!parseInteger(*v, 0, RipSettings::kMaxEncoderQueueMiB, n)) {
            error = "--encoder-queue takes MiB of audio held for the encoders (0 to " +
                    std::to_string(RipSettings::kMaxEncoderQueueMiB) + ")";
            return false;
        }
        s.iEncoderQueueMiB = static_cast<int32_t>(n);
    }
    if (auto v = args.get("--speed")) {
        if (lower(*v) == "max")
            s.iSpeed = 255;
        else if (parseInteger(*v, 1, 254, n))
            s.iSpeed = static_cast<int32_t>(n);
        else {
            error = "--speed takes a speed factor (1 to 254) or max";
            return false;
        }
    }
    if (auto v = args.get("--overwrite")) {
        const std::string w = lower(*v);
        if (w == "ask")
            policy = OverwritePolicy::Ask;
        else if (w == "replace")
            policy = OverwritePolicy::Replace;
        else if (w == "skip")
            policy = OverwritePolicy::Skip;
        else {
            error = "--overwrite takes ask, replace or skip";
            return false;
        }
        s.bNoOverwritePrompt = policy == OverwritePolicy::Replace;
    }
    if (args.has("--eject")) s.bEjectWhenDone = true;
    return applyNormalizeOptions(args, s, error);
}

bool applyNormalizeOptions(const CliArguments& args, RipSettings& s, std::string& error) {
    for (auto [yes, no] : {std::pair{"--normalize", "--no-normalize"},
                           {"--meta", "--modify"},
                           {"--album-gain", "--no-album-gain"},
                           {"--never-clip", "--allow-clip"}})
        if (args.has(yes) && args.has(no)) {
            error = std::string("choose ") + yes + " or " + no;
            return false;
        }
    if (auto v = args.get("--normalize")) {
        static const std::map<std::string, uint8_t> types = {{"peak", KYNORM_PEAK},
                                                             {"rg", KYNORM_REPLAYGAIN},
                                                             {"rg-iso", KYNORM_REPLAYGAIN_ISO},
                                                             {"r128", KYNORM_EBU_R128}};
        auto it = types.find(lower(*v));
        if (it == types.end()) {
            error = "--normalize takes peak, rg, rg-iso or r128";
            return false;
        }
        if (it->second != s.eNormalizeType) {
            // Another type starts from its own target and mode, as in the options page.
            s.bNormalizeUnitDB = true;
            if (it->second == KYNORM_REPLAYGAIN || it->second == KYNORM_REPLAYGAIN_ISO) {
                s.fNormalizeTarget = 89.0f;
                s.bNormalizeMeta = true;
            } else if (it->second == KYNORM_EBU_R128) {
                s.fNormalizeTarget = 0.0f;
            } else {
                s.fNormalizeTarget = 0.0f;
                s.bNormalizeMeta = false;
            }
        }
        s.eNormalizeType = it->second;
        s.bNormalize = true;
    }
    if (args.has("--no-normalize")) s.bNormalize = false;
    if (auto v = args.get("--target")) {
        bool isDb = true;
        float target = 0;
        if (!parseTarget(*v, s.eNormalizeType, target, isDb, error)) return false;
        s.fNormalizeTarget = target;
        s.bNormalizeUnitDB = isDb;
    }
    if (args.has("--meta")) s.bNormalizeMeta = true;
    if (args.has("--modify")) s.bNormalizeMeta = false;
    if (args.has("--album-gain")) s.bNormalizeAlbum = true;
    if (args.has("--no-album-gain")) s.bNormalizeAlbum = false;
    if (args.has("--never-clip")) s.bNormalizeNeverClip = true;
    if (args.has("--allow-clip")) s.bNormalizeNeverClip = false;
    if (!applyTagOptions(args, s, error)) return false;
    if (args.has("--album-gain") && s.bNormalize && !kyAlbumNormalization(s))
        std::fprintf(stderr, "dskr-cli: an album gain is a ReplayGain matter: peak and R 128 "
                             "normalisation stay per file\n");
    return true;
}
