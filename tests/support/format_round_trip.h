#pragma once
// Shared steps of the format round-trip tests: writing planes through a catalogue writer,
// reading a file back through a catalogue reader, what a lossless subformat stores, and
// asking ffprobe about a file.
#include "core/audio_format.h"
#include "core/error.h"
#include <cstdint>
#include <string>
#include <vector>

class kySourceFilter2;

namespace kytest {

// Writes `planes` at `rate` through writer entry `formatIndex` (blocks of 1000 frames).
// `prepare`, when given, may set source properties before the run.
kyError writeThroughCatalog(const std::string& path, int32_t formatIndex, const char* subformat,
                            std::vector<std::vector<float>> planes, uint32_t rate,
                            void (*prepare)(kySourceFilter2&) = nullptr);

// Reads a whole file through reader entry `formatIndex` (-2: detection).
kyError readThroughCatalog(const std::string& path, std::vector<std::vector<float>>& out,
                           kyAudioFormat& format, std::string* subformat = nullptr,
                           int32_t formatIndex = -2);

// The value a lossless subformat gives back for `x` (PCM rounding, G.711 companding, float
// as is).
float storedValue(const std::string& subformat, float x);

// Signal-to-noise ratio in dB of `test` against `ref`, after `skip` samples.
double snrDb(const std::vector<float>& ref, const std::vector<float>& test, size_t skip = 0);

// ffprobe's "key=value" lines for the first audio stream (`entries` as for
// -show_entries stream=...).
std::string probeStream(const std::string& path, const char* entries);

} // namespace kytest
