#pragma once
// Test-only helpers for codec and format tests: a scratch directory, running Debian tools
// as independent decoders, minimal WAV/CAF wrappers and parsers, test signals and SNR.
#include <cstdint>
#include <string>
#include <vector>

namespace kytest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path(const std::string& name) const { return m_dir + "/" + name; }
    const std::string& dir() const { return m_dir; }

private:
    std::string m_dir;
};

// True when `tool` is on PATH.
bool haveTool(const char* tool);
// Runs a shell command with its output discarded; true on exit status 0.
bool run(const std::string& command);
// Quotes a path for the shell.
std::string shellQuote(const std::string& s);

std::vector<uint8_t> readFile(const std::string& path);
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Decodes a file to interleaved 16-bit samples with ffmpeg (`inputArgs` go before -i, for
// raw streams) or sox. False when the tool fails.
bool ffmpegDecode(const std::string& file, const std::string& inputArgs, uint32_t channels,
                  std::vector<int16_t>& out);
bool soxDecode(const std::string& file, std::vector<int16_t>& out);
// ffmpeg's decode as doubles: integer PCM, float and G.711 exactly, without a rounding step.
bool ffmpegDecode(const std::string& file, uint32_t channels, std::vector<double>& out);

// A RIFF/WAVE file: "fmt " (16-byte common part, then cbSize and `extra` unless the tag
// is 1), "fact" when factFrames is not 0, then "data".
struct WavFormat {
    uint16_t tag = 1;
    uint16_t channels = 1;
    uint32_t rate = 8000;
    uint32_t bytesPerSecond = 0;
    uint16_t blockAlign = 0;
    uint16_t bits = 0;
    std::vector<uint8_t> extra; // after cbSize
};
std::vector<uint8_t> makeWav(const WavFormat& f, const std::vector<uint8_t>& data,
                             uint32_t factFrames = 0);
// A 16-bit PCM WAV file of interleaved `samples`.
std::vector<uint8_t> makePcm16Wav(const std::vector<int16_t>& samples, uint16_t channels,
                                  uint32_t rate);

// Reads "fmt " and "data" of a WAV file; false when either is missing or cut short.
bool parseWav(const std::vector<uint8_t>& file, WavFormat& f, std::vector<uint8_t>& data);

// A CAF file of "ima4" packets (34 bytes per channel per 64 frames); "pakt" records the
// valid frame count when it is not a multiple of 64.
std::vector<uint8_t> makeCafIma4(uint32_t channels, double rate, uint64_t frames,
                                 const std::vector<uint8_t>& packets);
// Reads the format id, channel count and "data" payload of a CAF file.
bool parseCaf(const std::vector<uint8_t>& file, std::string& formatId, uint32_t& channels,
              std::vector<uint8_t>& data);

// A Sun/NeXT .au file: big-endian header, then `data` unchanged. Encodings: 1 mu-law,
// 23 G.721, 25 G.723 3-bit, 26 G.723 5-bit.
std::vector<uint8_t> makeAu(uint32_t encoding, uint32_t rate, uint32_t channels,
                            const std::vector<uint8_t>& data);
// Repacks a stream of `bits`-bit codes from most- to least-significant-bit-first order.
std::vector<uint8_t> repackLsbFirst(const std::vector<uint8_t>& msbFirst, uint32_t bits);

// Interleaved 16-bit test music: a few tones per channel with a slow sweep, an envelope and
// a little noise, peaking near -6 dBFS. Deterministic.
std::vector<int16_t> testSignal(uint32_t frames, uint32_t channels, uint32_t rate);
// Planes of floats (sample / 32768) from interleaved 16-bit samples.
std::vector<std::vector<float>> toPlanes(const std::vector<int16_t>& interleaved,
                                         uint32_t channels);

// Signal-to-noise ratio in dB of `test` against `ref` over the first `n` samples, each
// offset by `skip` samples at the start (codec warm-up).
double snrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, size_t skip = 0);

} // namespace kytest
