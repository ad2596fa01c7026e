#pragma once
// Helpers for the tests of the formats written and read through codec libraries (FLAC,
// WavPack, Monkey's Audio, Ogg Vorbis): integer test signals of any width, writing a
// source to a file through the catalogue, reading a file back, and the samples of a WAV
// file an independent decoder wrote.
#include "core/filter.h"
#include "core/property_table.h"
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kytest {

// Interleaved integer samples of `bits` significant bits (music-like, near -6 dBFS).
struct IntSignal {
    uint32_t bits = 16;
    uint32_t channels = 2;
    uint32_t rate = 44100;
    std::vector<int32_t> samples;
    uint32_t frames() const { return static_cast<uint32_t>(samples.size() / channels); }
    // The same samples as float planes (value / 2^(bits-1)), which quantize back exactly.
    std::vector<std::vector<float>> planes() const;
    // As raw little-endian bytes of `width` bytes per sample, signed.
    std::vector<uint8_t> bytes(uint32_t width) const;
};
IntSignal intSignal(uint32_t frames, uint32_t channels, uint32_t rate, uint32_t bits);

// The metadata properties a source carries for the tag tests: every slot of the Vorbis
// comment table, with a text that is not plain ASCII among them.
void setTagProperties(kyPropertyTable& props);

struct WriteOptions {
    int32_t level = -1;          // compression level, -1: the subformat's
    bool interleaved = false;    // the source also offers its samples as raw bytes
    const char* rawId = nullptr; // ... in this id
    uint32_t rawWidth = 2;
    bool withTags = false;
    // More source properties (slot, text), set after those of `withTags`.
    std::vector<std::pair<uint32_t, std::string>> properties;
};
// Writes `signal` (as planes) to `path` through the catalogue entry `displayName`.
// Reports whether the writer took the source's raw samples in `passthrough`.
int32_t writeSignal(const std::string& path, const char* displayName, const char* subformat,
                    const IntSignal& signal, const WriteOptions& options = {},
                    bool* passthrough = nullptr);

// Writes `signal` through the catalogue entry `displayName` while the source announces
// `announced` frames (KY_NO_LENGTH: unknown), in blocks of 1000.
int32_t writeAnnounced(const std::string& path, const char* displayName, const char* subformat,
                       const IntSignal& signal, uint32_t announced);

// Reads a file through the catalogue (format detected) as float planes; the properties
// of the reader are copied to `props` when given.
int32_t readPlanes(const std::string& path, std::vector<std::vector<float>>& planes,
                   kyAudioFormat& format, kyPropertyTable* props = nullptr,
                   uint32_t startFrame = 0);
// Float planes back to interleaved integers of `bits` bits (exact for what a lossless
// reader delivers).
std::vector<int32_t> planesToInts(const std::vector<std::vector<float>>& planes, uint32_t bits);

// Interleaved integers of a PCM WAV file of `bits` significant bits, however wide its
// container (samples left-justified in it, as decoders write them). False when the file
// is not such a WAV file.
bool wavInts(const std::string& path, uint32_t bits, std::vector<int32_t>& out,
             uint32_t* channels = nullptr, uint32_t* rate = nullptr);

// mutagen (python3-mutagen) through Debian's interpreter, which has it (another python3 on
// PATH may not).
bool haveMutagen();
// The APE tag items of a file as mutagen reads them, one "Key=value" a line.
std::string mutagenApeItems(const std::string& path);

} // namespace kytest
