// Encode and decode speed of the sample codecs, in multiples of real time, beside ffmpeg
// coding the same input (whole process, so its start-up is included; 60 s of audio keeps
// that small). Best of several runs: the machine may be busy.
#include "core/data_format.h"
#include "formats/codecs/g72x_adpcm.h"
#include "formats/codecs/gsm610.h"
#include "formats/codecs/ima_adpcm.h"
#include "formats/codecs/ms_adpcm.h"
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kSeconds = 60.0;
constexpr int kRuns = 3;

struct Case {
    const char* name;
    std::function<std::unique_ptr<kySampleEncoder>()> encoder; // null: G.711 through the core
    std::function<std::unique_ptr<kySampleDecoder>()> decoder;
    const char* dataFormat;
    uint32_t bits, channels, rate;
    const char* ffmpegCodec; // encoder for the same input, or null
};

std::vector<std::vector<float>> makeInput(uint32_t channels, uint32_t rate) {
    uint32_t frames = uint32_t(kSeconds * rate);
    std::vector<std::vector<float>> planes(channels, std::vector<float>(frames));
    uint32_t seed = 1;
    for (uint32_t ch = 0; ch < channels; ++ch)
        for (uint32_t i = 0; i < frames; ++i) {
            double t = double(i) / rate;
            seed = seed * 1664525u + 1013904223u;
            double noise = (seed >> 8) / double(1 << 24) - 0.5;
            planes[ch][i] = float(0.3 * std::sin(6.2831853 * (220.0 + 110 * ch) * t) +
                                  0.15 * std::sin(6.2831853 * 1375.0 * t) + 0.01 * noise);
        }
    return planes;
}

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

template <typename F> double best(F f) {
    double t = 1e30;
    for (int i = 0; i < kRuns; ++i) {
        auto a = std::chrono::steady_clock::now();
        f();
        t = std::min(t, seconds(a, std::chrono::steady_clock::now()));
    }
    return t;
}

void writeWav16(const std::string& path, const std::vector<std::vector<float>>& planes,
                uint32_t rate) {
    uint32_t chs = uint32_t(planes.size()), frames = uint32_t(planes[0].size());
    std::vector<int16_t> pcm(size_t(frames) * chs);
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t ch = 0; ch < chs; ++ch)
            pcm[size_t(i) * chs + ch] = int16_t(std::lrint(planes[ch][i] * 32767.0f));
    uint32_t dataBytes = uint32_t(pcm.size() * 2);
    uint8_t h[44];
    auto p32 = [&](int at, uint32_t v) { std::memcpy(h + at, &v, 4); };
    auto p16 = [&](int at, uint16_t v) { std::memcpy(h + at, &v, 2); };
    std::memcpy(h, "RIFF", 4);
    p32(4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    p32(16, 16);
    p16(20, 1);
    p16(22, uint16_t(chs));
    p32(24, rate);
    p32(28, rate * chs * 2);
    p16(32, uint16_t(chs * 2));
    p16(34, 16);
    std::memcpy(h + 36, "data", 4);
    p32(40, dataBytes);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(h, 1, 44, f);
    std::fwrite(pcm.data(), 2, pcm.size(), f);
    std::fclose(f);
}

} // namespace

int main() {
    const Case cases[] = {
        {"IMA ADPCM (WAV) stereo",
         [] { return std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Wav); },
         [] { return std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Wav); }, nullptr, 4, 2, 44100,
         "adpcm_ima_wav -f wav"},
        {"IMA ADPCM (ima4) stereo",
         [] { return std::make_unique<kyImaAdpcmEncoder>(kyImaLayout::Ima4); },
         [] { return std::make_unique<kyImaAdpcmDecoder>(kyImaLayout::Ima4); }, nullptr, 4, 2,
         44100, "adpcm_ima_qt -f caf"},
        {"MS ADPCM stereo", [] { return std::make_unique<kyMsAdpcmEncoder>(); },
         [] { return std::make_unique<kyMsAdpcmDecoder>(); }, nullptr, 4, 2, 44100,
         "adpcm_ms -f wav"},
        {"G.723 24 kbit/s", [] { return std::make_unique<kyG72xEncoder>(); },
         [] { return std::make_unique<kyG72xDecoder>(); }, nullptr, 3, 1, 8000,
         "g726 -b:a 24k -f g726"},
        {"G.721 32 kbit/s", [] { return std::make_unique<kyG72xEncoder>(); },
         [] { return std::make_unique<kyG72xDecoder>(); }, nullptr, 4, 1, 8000,
         "g726 -b:a 32k -f g726"},
        {"G.723 40 kbit/s", [] { return std::make_unique<kyG72xEncoder>(); },
         [] { return std::make_unique<kyG72xDecoder>(); }, nullptr, 5, 1, 8000,
         "g726 -b:a 40k -f g726"},
        {"GSM 06.10", [] { return std::make_unique<kyGsm610Encoder>(); },
         [] { return std::make_unique<kyGsm610Decoder>(); }, nullptr, 0, 1, 8000,
         "libgsm_ms -f wav"},
        {"mu-Law stereo", nullptr, nullptr, "mu-Law", 8, 2, 44100, "pcm_mulaw -f wav"},
        {"A-Law stereo", nullptr, nullptr, "A-Law", 8, 2, 44100, "pcm_alaw -f wav"},
    };
    bool haveFfmpeg = std::system("command -v ffmpeg >/dev/null 2>&1") == 0;
    char dirTemplate[] = "/tmp/kybenchXXXXXX";
    const char* dir = mkdtemp(dirTemplate);

    std::printf("%d s of audio per codec, best of %d runs\n", int(kSeconds), kRuns);
    std::printf("%-26s %14s %14s %16s\n", "codec", "encode x rt", "decode x rt", "ffmpeg enc x rt");
    for (const Case& c : cases) {
        auto planes = makeInput(c.channels, c.rate);
        uint32_t frames = uint32_t(planes[0].size());
        std::vector<float*> ptrs;
        for (auto& p : planes) ptrs.push_back(p.data());
        ptrs.push_back(nullptr);
        std::vector<uint8_t> stream;

        double enc, dec;
        if (c.encoder) {
            enc = best([&] {
                auto e = c.encoder();
                e->start(c.bits, c.channels);
                stream.clear();
                // In the slices a writer sees: one CD sector at a time.
                for (uint32_t i = 0; i < frames; i += 588)
                    e->encode(ptrs.data(), i, std::min(588u, frames - i), stream);
                e->flush(stream);
            });
            std::vector<std::vector<float>> out(c.channels);
            std::vector<float*> outPtrs;
            for (auto& o : out) {
                o.resize(frames + 4096);
                outPtrs.push_back(o.data());
            }
            dec = best([&] {
                auto d = c.decoder();
                d->start(c.bits, c.channels);
                uint32_t at = 0;
                for (size_t pos = 0; pos < stream.size(); pos += d->bytesPerBlock()) {
                    size_t n = std::min<size_t>(d->bytesPerBlock(), stream.size() - pos);
                    uint32_t got = 0;
                    if (at + d->maxFrames(n) > out[0].size()) break;
                    d->decode(stream.data() + pos, n, outPtrs.data(), at, &got);
                    at += got;
                }
            });
        } else {
            stream.resize(size_t(frames) * c.channels);
            enc = best([&] {
                PlanarToInterleaved(stream.data(), ptrs.data(), nullptr, c.channels, 0, frames,
                                    c.dataFormat, false, false);
            });
            std::vector<uint8_t> copy = stream;
            dec = best([&] {
                InterleavedToPlanar(ptrs.data(), copy.data(), c.channels, 0, frames, c.dataFormat,
                                    false, false);
            });
        }

        double peer = 0;
        if (haveFfmpeg && dir && c.ffmpegCodec) {
            std::string in = std::string(dir) + "/in.wav", out = std::string(dir) + "/out";
            writeWav16(in, planes, c.rate);
            std::string cmd = "ffmpeg -nostdin -v error -y -i " + in + " -c:a " + c.ffmpegCodec +
                              " " + out + " >/dev/null 2>&1";
            double t = best([&] { (void)std::system(cmd.c_str()); });
            peer = kSeconds / t;
            std::remove(in.c_str());
            std::remove(out.c_str());
        }
        std::printf("%-26s %14.0f %14.0f %16s\n", c.name, kSeconds / enc, kSeconds / dec,
                    peer > 0 ? std::to_string(int(peer)).c_str() : "-");
    }
    if (dir) rmdir(dir);
    return 0;
}
