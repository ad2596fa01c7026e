#pragma once
// Helpers for the tests of the compressed-stream writers and readers (MP3, MP2, AAC, MPEG
// and AC3 in WAV): writing a test signal through a catalogue entry, reading a file back
// through the catalogue's detection, independent decoders, and a signal-to-noise ratio
// that first finds the codec's delay.
#include "core/audio_format.h"
#include "core/error.h"
#include "core/property_table.h"
#include "formats/writer_filter.h"
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kytest {

using Properties = std::vector<std::pair<uint32_t, std::string>>;

// Writes `signal` (interleaved 16-bit) through the writer entry named `entry` with
// `subformat` to `path`, the source answering with `props`; `tags` replaces the writer's
// tag options when given. The run's result.
kyError encodeFile(const std::string& entry, const std::string& subformat,
                   const std::vector<int16_t>& signal, uint32_t channels, uint32_t rate,
                   const std::string& path, const Properties& props = {},
                   const kyTagOptions* tags = nullptr);

// What a file reads as through the catalogue's detection.
struct ReadBack {
    kyError result = KY_OK;
    kyAudioFormat format{};
    std::string formatName, subformat;
    kyPropertyTable properties;
    std::vector<int16_t> samples; // interleaved
};
ReadBack readBack(const std::string& path, uint32_t seekTo = 0);

// Runs a command that writes raw signed 16-bit little-endian samples to `raw` and reads
// them; false when the command fails.
bool decodeRaw(const std::string& command, const std::string& raw, std::vector<int16_t>& out);

// The signal-to-noise ratio (dB) of `test` against `ref` after delaying `ref` by the lag
// (0 to maxLag frames) at which they match best; the lag found in `lag`.
double alignedSnrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& test,
                    uint32_t channels, uint32_t maxLag, uint32_t* lag = nullptr);

// The output of ffprobe for one stream entry ("bit_rate", "profile", ...), trimmed.
std::string probeStream(const std::string& file, const std::string& entry);

// Python 3 with mutagen, for the tag checks ("" when it is not there).
std::string mutagenPython();

} // namespace kytest
