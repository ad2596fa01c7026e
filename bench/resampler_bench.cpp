// Resampling speed, 44.1 kHz to 48 kHz stereo, in times real time on one core: every
// algorithm code through a source -> resampler -> sink chain in CD-sector blocks, and
// sox's "rate -h" and "rate -v" (single-threaded) on the same audio in the same run.
// Run it a few times on a quiet machine and take the best.
#include "core/filter.h"
#include "core/sample_block.h"
#include "filters/resampling_filter.h"
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kInRate = 44100;
constexpr uint32_t kOutRate = 48000;
constexpr uint32_t kSeconds = 60;
constexpr uint32_t kFrames = kInRate * kSeconds;
constexpr int kRepeats = 3;

class MemorySource : public kySourceFilter2 {
public:
    explicit MemorySource(const std::vector<std::vector<float>>& data)
        : kySourceFilter2("Bench source"), m_data(data) {
        m_format.channels = 2;
        m_format.channelMask = 3;
        m_format.lengthFrames = kFrames;
        m_format.sampleRate = kInRate;
        m_format.blockFrames = 588;
    }
    kyError Prepare() override {
        m_pos = 0;
        return m_block.allocate(2, 588);
    }
    kyError Process() override {
        if (m_pos >= kFrames) return m_downstream->EndOfStream();
        const uint32_t n = std::min<uint32_t>(588, kFrames - m_pos);
        for (uint32_t c = 0; c < 2; ++c)
            std::copy_n(m_data[c].begin() + m_pos, n, m_block.plane(c));
        m_pos += n;
        return m_downstream->Write(m_block.planes(), n);
    }

private:
    const std::vector<std::vector<float>>& m_data;
    uint32_t m_pos = 0;
    kyPlaneBuffer m_block;
};

class NullSink : public kySinkFilter2 {
public:
    NullSink() : kySinkFilter2("Bench sink") {}
    kyError Write(float** planes, uint32_t frames) override {
        frames_ += frames;
        checksum += planes[0][0];
        return KY_OK;
    }
    uint64_t frames_ = 0;
    double checksum = 0;
};

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double runOurs(const std::vector<std::vector<float>>& data, uint32_t code) {
    double best = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        MemorySource source(data);
        kyResamplingFilter resampler(kOutRate, code);
        NullSink sink;
        source.Connect(&sink);
        source.InsertAfter(&resampler);
        const auto t0 = std::chrono::steady_clock::now();
        const kyError e = sink.Run();
        const auto t1 = std::chrono::steady_clock::now();
        if (kyFailed(e)) {
            std::printf("code %u failed: %s\n", code, kyErrorMessage(e));
            return 0;
        }
        best = std::min(best, seconds(t0, t1));
    }
    return kSeconds / best;
}

double runSox(const std::string& in, const std::string& out, const char* quality) {
    const std::string cmd = "sox --single-threaded -D -t f32 -r 44100 -c 2 '" + in + "' -t f32 '" +
                            out + "' rate " + quality + " 48000 2>/dev/null";
    double best = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = std::system(cmd.c_str());
        const auto t1 = std::chrono::steady_clock::now();
        if (rc != 0) return 0;
        best = std::min(best, seconds(t0, t1));
    }
    return kSeconds / best;
}

} // namespace

int main() {
    // Music-like test audio: a few partials, a slow sweep and some noise, about -6 dBFS.
    std::vector<std::vector<float>> data(2, std::vector<float>(kFrames));
    uint32_t x = 1;
    for (uint32_t i = 0; i < kFrames; ++i) {
        const double t = double(i) / kInRate;
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        const double n = (double(x) / 4294967296.0 - 0.5) * 0.02;
        const double s = 0.2 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 3520 * t) +
                         0.1 * std::sin(2 * M_PI * (500 + 150 * t) * t);
        data[0][i] = float(s + n);
        data[1][i] = float(0.8 * s - n);
    }

    std::printf("44100 -> 48000 Hz, stereo, %u s of audio, best of %d, one core\n", kSeconds,
                kRepeats);
    for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
        const char* label = kyResampleAlgorithmLabel(code);
        std::printf("  code %u %-40s %8.1f x realtime\n", code, label ? label : "(not offered)",
                    runOurs(data, code));
    }

    // The same audio for sox, as raw interleaved floats in a temporary directory.
    std::error_code ec;
    const auto dir = std::filesystem::temp_directory_path(ec) /
                     ("resampler_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir, ec);
    const std::string in = (dir / "in.f32").string(), out = (dir / "out.f32").string();
    if (FILE* f = std::fopen(in.c_str(), "wb")) {
        std::vector<float> inter(size_t(kFrames) * 2);
        for (uint32_t i = 0; i < kFrames; ++i) {
            inter[2 * i] = data[0][i];
            inter[2 * i + 1] = data[1][i];
        }
        std::fwrite(inter.data(), sizeof(float), inter.size(), f);
        std::fclose(f);
        if (std::system("sox --version >/dev/null 2>&1") == 0) {
            std::printf("  sox rate -h (single-threaded, with file I/O) %14.1f x realtime\n",
                        runSox(in, out, "-h"));
            std::printf("  sox rate -v (single-threaded, with file I/O) %14.1f x realtime\n",
                        runSox(in, out, "-v"));
        } else {
            std::printf("  sox not installed: no comparison\n");
        }
    }
    std::filesystem::remove_all(dir, ec);
    return 0;
}
