#pragma once
// Helpers of round-trip tests: files read back whole through the catalogue, what a lossless
// subformat stores for a sample, the signal-to-noise ratio of float planes, and the WAV
// format of plain PCM (as input for other tools).
#include "core/filter.h"
#include "core/property_table.h"
#include "support/codec_test_files.h"
#include <cstdint>
#include <string>
#include <vector>

namespace kytest {

// A whole file read through the catalogue: with detection (index -2) or the entry at
// `index`, from frame `seek` on; the subformat (property 2), the entry's name (property 1)
// and the text properties from 3 on.
struct ReadBack {
    kyError open = KY_OK;
    kyError run = KY_OK;
    kyAudioFormat fmt{};
    std::string subformat;
    std::string entry;
    kyPropertyTable props;
    std::vector<std::vector<float>> planes;
};
ReadBack readBack(const std::string& path, uint32_t seek = 0, int32_t index = -2);
// The same, as the result of opening and then of reading.
kyError readWhole(const std::string& path, std::vector<std::vector<float>>& out, kyAudioFormat& fmt,
                  std::string* subformat = nullptr, kyPropertyTable* props = nullptr);

// What a lossless subformat ("PCM 8-bit" to "PCM 32-bit", "mu-Law", "A-Law", float) stores
// for the sample x.
float storedSample(const std::string& subformat, float x);

// Signal-to-noise ratio in dB of `test` against `ref` from sample `skip` on (200 when equal).
double snrDb(const std::vector<float>& ref, const std::vector<float>& test, size_t skip = 0);

// The format of plain integer PCM.
WavFormat pcmWavFormat(uint16_t channels, uint32_t rate, uint16_t bits);

} // namespace kytest
