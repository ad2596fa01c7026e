#include "formats/tags/replay_gain.h"
#include "core/text.h"
#include <cmath>
#include <cstring>

uint16_t kyReplayGainWord(double gainDb, uint32_t nameCode) {
    if (std::isnan(gainDb)) gainDb = 0;
    const double tenths = std::fabs(gainDb) * 10.0 + 0.5;
    const uint32_t value = tenths >= 511.0 ? 511u : static_cast<uint32_t>(tenths);
    // A gain such as -0.05 dB rounds to 0.1 dB and must stay negative; one that rounds to
    // 0 has no sign.
    const uint32_t sign = gainDb < 0 && value > 0 ? 1 : 0;
    return static_cast<uint16_t>((nameCode << 13) | (KY_RG_ORIGINATOR_AUTOMATIC << 10) |
                                 (sign << 9) | value);
}

std::optional<double> kyReplayGainOfWord(uint16_t word, uint32_t nameCode) {
    if ((word >> 13) != nameCode || ((word >> 10) & 7) == 0) return std::nullopt;
    const double gain = (word & 0x1FF) * 0.1;
    return (word & 0x200) ? -gain : gain;
}

std::optional<double> kyReplayGainNumber(const char* text) {
    double value = 0;
    if (!kyParseLeadingNumber(text, value) || !std::isfinite(value)) return std::nullopt;
    return value;
}

kyRgadTexts kyDecodeRgad(float peak, uint16_t radio, uint16_t audiophile) {
    kyRgadTexts out;
    peak = std::fabs(peak);
    if (std::isfinite(peak) && peak != 1.0f) out.peak = kyFormatFixed(peak, 6);
    if (auto g = kyReplayGainOfWord(radio, KY_RG_NAME_RADIO))
        out.trackGain = kyFormatFixed(*g, 6) + " dB";
    if (auto g = kyReplayGainOfWord(audiophile, KY_RG_NAME_AUDIOPHILE))
        out.albumGain = kyFormatFixed(*g, 6) + " dB";
    return out;
}
