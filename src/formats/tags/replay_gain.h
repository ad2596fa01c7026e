#pragma once
// ReplayGain values as tags and chunks carry them: the texts of the gain and peak
// properties ("-6.50 dB", "0.988831"), and the 16-bit adjustment words of "RGAD" frames
// and "rgad" chunks (name code << 13 | originator << 10 | sign << 9 | tenths of a dB).
#include <cstdint>
#include <optional>
#include <string>

constexpr uint32_t KY_RG_NAME_RADIO = 1;      // track gain
constexpr uint32_t KY_RG_NAME_AUDIOPHILE = 2; // album gain
constexpr uint32_t KY_RG_ORIGINATOR_AUTOMATIC = 3;

// The adjustment word of a gain in dB: tenths of a dB rounded half up, at most 511, with the
// sign bit set whenever a negative gain leaves a non-zero value; a gain that is not a number
// gives 0.
uint16_t kyReplayGainWord(double gainDb, uint32_t nameCode);
// The gain in dB a word carries when its name code is `nameCode` and it names an
// originator; nothing otherwise.
std::optional<double> kyReplayGainOfWord(uint16_t word, uint32_t nameCode);

// The finite number at the start of a gain or peak text ("-6.50 dB", "+1.2", " 0.98"),
// whatever the locale; nothing when there is none.
std::optional<double> kyReplayGainNumber(const char* text);

// What an "RGAD" frame or "rgad" chunk says, as property texts: the peak (when it is
// finite and not 1.0) and the gains of words that carry one ("%f dB").
struct kyRgadTexts {
    std::optional<std::string> peak, trackGain, albumGain;
};
kyRgadTexts kyDecodeRgad(float peak, uint16_t radio, uint16_t audiophile);
