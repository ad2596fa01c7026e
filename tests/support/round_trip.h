#pragma once
// Helpers of round-trip tests: files read back whole through the catalogue as float planes
// with their properties, and the WAV format of plain PCM (as input for other tools). What a
// lossless subformat stores and the signal-to-noise ratio are in format_round_trip.h.
#include "core/filter.h"
#include "core/property_table.h"
#include "support/codec_test_files.h"
#include "support/format_round_trip.h"
#include <cstdint>
#include <string>
#include <vector>

namespace kytest {

// A whole file read through the catalogue: with detection (index -2) or the entry at
// `index`, from frame `seek` on; the subformat (property 2), the entry's name (property 1)
// and the text properties from 3 on.
struct PlanesBack {
    kyError open = KY_OK;
    kyError run = KY_OK;
    kyAudioFormat fmt{};
    std::string subformat;
    std::string entry;
    kyPropertyTable props;
    std::vector<std::vector<float>> planes;
};
PlanesBack readPlanes(const std::string& path, uint32_t seek = 0, int32_t index = -2);
// The same, as the result of opening and then of reading.
kyError readWhole(const std::string& path, std::vector<std::vector<float>>& out, kyAudioFormat& fmt,
                  std::string* subformat = nullptr, kyPropertyTable* props = nullptr);

// The format of plain integer PCM.
WavFormat pcmWavFormat(uint16_t channels, uint32_t rate, uint16_t bits);

} // namespace kytest
