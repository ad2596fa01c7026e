// The normalisation options of rip and convert, where a value alone is not the whole
// story: another type starts from its own target and mode, a target is read in the unit
// of its type, and an album gain is a ReplayGain matter.
#include "app/settings_table.h"
#include "cli/cli_run_options.h"
#include "filters/normalize_filter.h"
#include "job/processing_stages.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

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
    unit.assign(u, end);
    std::transform(unit.begin(), unit.end(), unit.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
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

} // namespace

bool applyNormalizeType(RipSettings& s, bool opposite, const std::string& value,
                        std::string& error) {
    if (opposite) {
        s.bNormalize = false;
        return true;
    }
    RipSettings chosen = s;
    std::string why;
    if (!kyFindSetting("eNormalizeType")->parse(chosen, value, why)) {
        error = "--normalize takes peak, rg, rg-iso or r128";
        return false;
    }
    const uint8_t type = chosen.eNormalizeType;
    if (type != s.eNormalizeType) {
        // Another type starts from its own target and mode, as in the options page.
        s.bNormalizeUnitDB = true;
        if (type == KYNORM_REPLAYGAIN || type == KYNORM_REPLAYGAIN_ISO) {
            s.fNormalizeTarget = 89.0f;
            s.bNormalizeMeta = true;
        } else if (type == KYNORM_EBU_R128) {
            s.fNormalizeTarget = 0.0f;
        } else {
            s.fNormalizeTarget = 0.0f;
            s.bNormalizeMeta = false;
        }
    }
    s.eNormalizeType = type;
    s.bNormalize = true;
    return true;
}

bool applyNormalizeTarget(RipSettings& s, bool, const std::string& value, std::string& error) {
    bool isDb = true;
    float target = 0;
    if (!parseTarget(value, s.eNormalizeType, target, isDb, error)) return false;
    s.fNormalizeTarget = target;
    s.bNormalizeUnitDB = isDb;
    return true;
}

bool applyAlbumGain(RipSettings& s, bool opposite, const std::string&, std::string&) {
    s.bNormalizeAlbum = !opposite;
    if (!opposite && s.bNormalize && !kyAlbumNormalization(s))
        std::fprintf(stderr, "dskr-cli: an album gain is a ReplayGain matter: peak and R 128 "
                             "normalisation stay per file\n");
    return true;
}
