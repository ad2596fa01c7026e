#include "cli/cli_settings.h"
#include "filters/resampling_filter.h"
#include "formats/format_catalog.h"
#include "job/output_naming.h"
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace {
std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}
} // namespace

std::string resolveFormatName(const std::string& text) {
    const kyFormatCatalog& catalog = kyFormatCatalog::Instance();
    const std::string want = lower(text);
    // Aliases a user would guess where an extension is shared or differs from the name.
    static const std::map<std::string, std::string> aliases = {
        {"wav", "Microsoft wave format"},
        {"wave", "Microsoft wave format"},
        {"bwf", "Broadcast wave format (EBU BWF)"},
    };
    std::string byAlias;
    if (auto it = aliases.find(want); it != aliases.end()) byAlias = it->second;
    std::string byExtension;
    std::string alias = want == "aif" ? "aiff" : want == "mp4" ? "m4a" : want;
    for (int32_t i = 0; catalog.NextWriterFormat(i); ++i) {
        const kyFormatEntry* e = catalog.Entry(i);
        if (lower(e->displayName) == want) return e->displayName;
        if (!byAlias.empty() && e->displayName == byAlias) return byAlias;
        if (byExtension.empty() && lower(e->extension) == alias) byExtension = e->displayName;
    }
    return byAlias.empty() ? byExtension : std::string();
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
    if (args.has("--fade") && args.has("--no-fade")) {
        error = "choose --fade or --no-fade";
        return false;
    }
    if (args.has("--fade")) s.bCutOffFade = true;
    if (args.has("--no-fade")) s.bCutOffFade = false;
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
    return true;
}
