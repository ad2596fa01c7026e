#include "support/codec_test_files.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <unistd.h>

namespace kytest {

namespace {

void put16le(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put32le(std::vector<uint8_t>& v, uint32_t x) {
    put16le(v, x & 0xFFFF);
    put16le(v, x >> 16);
}
void putTag(std::vector<uint8_t>& v, const char* t) {
    v.insert(v.end(), t, t + 4);
}
void put16be(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
void put32be(std::vector<uint8_t>& v, uint32_t x) {
    put16be(v, x >> 16);
    put16be(v, x & 0xFFFF);
}
void put64be(std::vector<uint8_t>& v, uint64_t x) {
    put32be(v, uint32_t(x >> 32));
    put32be(v, uint32_t(x));
}
uint32_t get16le(const uint8_t* p) {
    return p[0] | (p[1] << 8);
}
uint32_t get32le(const uint8_t* p) {
    return get16le(p) | (get16le(p + 2) << 16);
}
uint32_t get32be(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint64_t get64be(const uint8_t* p) {
    return (uint64_t(get32be(p)) << 32) | get32be(p + 4);
}

template <typename T>
bool decodeWith(const std::string& command, const std::string& rawPath, std::vector<T>& out) {
    if (!run(command)) return false;
    std::vector<uint8_t> raw = readFile(rawPath);
    std::remove(rawPath.c_str());
    out.resize(raw.size() / sizeof(T));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(T));
    return true;
}

} // namespace

ScratchDir::ScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kytestXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) m_dir = buf.data();
}

ScratchDir::~ScratchDir() {
    if (m_dir.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool haveTool(const char* tool) {
    return run(std::string("command -v ") + tool);
}

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(f);
}

bool ffmpegDecode(const std::string& file, const std::string& inputArgs, uint32_t channels,
                  std::vector<int16_t>& out) {
    std::string raw = file + ".ffmpeg.raw";
    return decodeWith("ffmpeg -nostdin -v error -y " + inputArgs + " -i " + shellQuote(file) +
                          " -f s16le -ac " + std::to_string(channels) + " " + shellQuote(raw),
                      raw, out);
}

bool ffmpegDecode(const std::string& file, uint32_t channels, std::vector<double>& out) {
    std::string raw = file + ".ffmpeg.raw";
    return decodeWith("ffmpeg -nostdin -v error -y -i " + shellQuote(file) + " -f f64le -ac " +
                          std::to_string(channels) + " " + shellQuote(raw),
                      raw, out);
}

bool soxDecode(const std::string& file, std::vector<int16_t>& out) {
    std::string raw = file + ".sox.raw";
    return decodeWith("sox " + shellQuote(file) + " -t raw -e signed-integer -b 16 -L " +
                          shellQuote(raw),
                      raw, out);
}

std::vector<uint8_t> makeWav(const WavFormat& f, const std::vector<uint8_t>& data,
                             uint32_t factFrames) {
    std::vector<uint8_t> fmt;
    put16le(fmt, f.tag);
    put16le(fmt, f.channels);
    put32le(fmt, f.rate);
    put32le(fmt, f.bytesPerSecond);
    put16le(fmt, f.blockAlign);
    put16le(fmt, f.bits);
    if (f.tag != 1) {
        put16le(fmt, uint32_t(f.extra.size()));
        fmt.insert(fmt.end(), f.extra.begin(), f.extra.end());
    }
    std::vector<uint8_t> v;
    putTag(v, "RIFF");
    put32le(v, 0);
    putTag(v, "WAVE");
    putTag(v, "fmt ");
    put32le(v, uint32_t(fmt.size()));
    v.insert(v.end(), fmt.begin(), fmt.end());
    if (fmt.size() & 1) v.push_back(0);
    if (factFrames) {
        putTag(v, "fact");
        put32le(v, 4);
        put32le(v, factFrames);
    }
    putTag(v, "data");
    put32le(v, uint32_t(data.size()));
    v.insert(v.end(), data.begin(), data.end());
    if (data.size() & 1) v.push_back(0);
    uint32_t riff = uint32_t(v.size() - 8);
    std::memcpy(v.data() + 4, &riff, 4); // little-endian host
    return v;
}

std::vector<uint8_t> makePcm16Wav(const std::vector<int16_t>& samples, uint16_t channels,
                                  uint32_t rate) {
    WavFormat f;
    f.channels = channels;
    f.rate = rate;
    f.bits = 16;
    f.blockAlign = static_cast<uint16_t>(2 * channels);
    f.bytesPerSecond = rate * f.blockAlign;
    std::vector<uint8_t> data(samples.size() * 2);
    if (!data.empty()) std::memcpy(data.data(), samples.data(), data.size());
    return makeWav(f, data);
}

bool parseWav(const std::vector<uint8_t>& file, WavFormat& f, std::vector<uint8_t>& data) {
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) ||
        std::memcmp(file.data() + 8, "WAVE", 4))
        return false;
    bool haveFmt = false, haveData = false;
    size_t pos = 12;
    while (pos + 8 <= file.size()) {
        const uint8_t* h = file.data() + pos;
        uint32_t size = get32le(h + 4);
        size_t body = pos + 8;
        size_t avail = file.size() - body;
        if (!std::memcmp(h, "fmt ", 4)) {
            if (size < 16 || size > avail) return false;
            const uint8_t* p = file.data() + body;
            f.tag = uint16_t(get16le(p));
            f.channels = uint16_t(get16le(p + 2));
            f.rate = get32le(p + 4);
            f.bytesPerSecond = get32le(p + 8);
            f.blockAlign = uint16_t(get16le(p + 12));
            f.bits = uint16_t(get16le(p + 14));
            f.extra.clear();
            if (size >= 18) {
                uint32_t cb = std::min<uint32_t>(get16le(p + 16), size - 18);
                f.extra.assign(p + 18, p + 18 + cb);
            }
            haveFmt = true;
        } else if (!std::memcmp(h, "data", 4)) {
            // Tools writing to a pipe leave the size open: take the rest of the file.
            size_t n = size > avail ? avail : size;
            data.assign(file.begin() + long(body), file.begin() + long(body + n));
            haveData = true;
        }
        pos = body + size + (size & 1);
    }
    return haveFmt && haveData;
}

std::vector<uint8_t> makeCafIma4(uint32_t channels, double rate, uint64_t frames,
                                 const std::vector<uint8_t>& packets) {
    std::vector<uint8_t> v;
    putTag(v, "caff");
    put16be(v, 1);
    put16be(v, 0);
    putTag(v, "desc");
    put64be(v, 32);
    uint64_t rateBits;
    std::memcpy(&rateBits, &rate, 8);
    put64be(v, rateBits);
    putTag(v, "ima4");
    put32be(v, 0);
    put32be(v, 34 * channels);
    put32be(v, 64);
    put32be(v, channels);
    put32be(v, 0);
    uint64_t count = packets.size() / (34 * channels);
    if (frames % 64) {
        putTag(v, "pakt");
        put64be(v, 24);
        put64be(v, count);
        put64be(v, frames);
        put32be(v, 0);
        put32be(v, uint32_t(count * 64 - frames));
    }
    putTag(v, "data");
    put64be(v, packets.size() + 4);
    put32be(v, 0);
    v.insert(v.end(), packets.begin(), packets.end());
    return v;
}

bool parseCaf(const std::vector<uint8_t>& file, std::string& formatId, uint32_t& channels,
              std::vector<uint8_t>& data) {
    if (file.size() < 8 || std::memcmp(file.data(), "caff", 4)) return false;
    bool haveDesc = false, haveData = false;
    size_t pos = 8;
    while (pos + 12 <= file.size()) {
        const uint8_t* h = file.data() + pos;
        uint64_t size = get64be(h + 4);
        size_t body = pos + 12;
        size_t avail = file.size() - body;
        if (size == ~uint64_t(0) || size > avail) size = avail;
        if (!std::memcmp(h, "desc", 4) && size >= 32) {
            formatId.assign(reinterpret_cast<const char*>(h + 12 + 8), 4);
            channels = get32be(h + 12 + 24);
            haveDesc = true;
        } else if (!std::memcmp(h, "data", 4) && size >= 4) {
            data.assign(file.begin() + long(body + 4), file.begin() + long(body + size));
            haveData = true;
        }
        pos = body + size;
    }
    return haveDesc && haveData;
}

std::vector<uint8_t> makeAu(uint32_t encoding, uint32_t rate, uint32_t channels,
                            const std::vector<uint8_t>& data) {
    std::vector<uint8_t> v;
    putTag(v, ".snd");
    put32be(v, 24);
    put32be(v, uint32_t(data.size()));
    put32be(v, encoding);
    put32be(v, rate);
    put32be(v, channels);
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

std::vector<uint8_t> repackLsbFirst(const std::vector<uint8_t>& msbFirst, uint32_t bits) {
    std::vector<uint8_t> out;
    uint32_t inAcc = 0, inBits = 0, outAcc = 0, outBits = 0;
    for (uint8_t byte : msbFirst) {
        inAcc = (inAcc << 8) | byte;
        inBits += 8;
        while (inBits >= bits) {
            inBits -= bits;
            uint32_t code = (inAcc >> inBits) & ((1u << bits) - 1);
            outAcc |= code << outBits;
            outBits += bits;
            while (outBits >= 8) {
                out.push_back(uint8_t(outAcc));
                outAcc >>= 8;
                outBits -= 8;
            }
        }
        inAcc &= (1u << inBits) - 1;
    }
    if (outBits) out.push_back(uint8_t(outAcc));
    return out;
}

std::vector<int16_t> testSignal(uint32_t frames, uint32_t channels, uint32_t rate) {
    std::vector<int16_t> out(size_t(frames) * channels);
    std::mt19937 rng(1234);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const double pi = 3.14159265358979323846;
    for (uint32_t ch = 0; ch < channels; ++ch) {
        double f1 = 220.0 * (1 + ch), f2 = 330.0 + 40.0 * ch, f3 = 1250.0 + 100.0 * ch;
        for (uint32_t i = 0; i < frames; ++i) {
            double t = double(i) / rate;
            double env = 0.6 + 0.4 * std::sin(2 * pi * 1.5 * t);
            double sweep = std::sin(2 * pi * (f3 * t + 300.0 * t * t));
            double x =
                env * (0.25 * std::sin(2 * pi * f1 * t) + 0.15 * std::sin(2 * pi * f2 * t + ch)) +
                0.08 * sweep + 0.005 * noise(rng);
            out[size_t(i) * channels + ch] = int16_t(std::lround(x * 32767.0));
        }
    }
    return out;
}

std::vector<std::vector<float>> toPlanes(const std::vector<int16_t>& interleaved,
                                         uint32_t channels) {
    size_t frames = interleaved.size() / channels;
    std::vector<std::vector<float>> planes(channels, std::vector<float>(frames));
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t ch = 0; ch < channels; ++ch)
            planes[ch][i] = interleaved[i * channels + ch] / 32768.0f;
    return planes;
}

double snrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, size_t skip) {
    size_t n = std::min(ref.size(), test.size());
    double sig = 0, err = 0;
    for (size_t i = skip; i < n; ++i) {
        double d = double(ref[i]) - double(test[i]);
        sig += double(ref[i]) * ref[i];
        err += d * d;
    }
    if (err == 0) return 200.0;
    return 10.0 * std::log10(sig / err);
}

} // namespace kytest
