// The noise-shaped 16-bit quantizer (what every resampled or normalised 16-bit file goes
// through) on stereo music-like material, per sample and through the block converter the
// writers use, in times real time on one core. Goal: 1000x.
#include "core/data_format.h"
#include "filters/quantizer_factory.h"
#include "tone_source.h"
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

using bench::kRate;

double bestSeconds(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const double t0 = bench::cpuSeconds();
        f();
        best = std::min(best, bench::cpuSeconds() - t0);
    }
    return best;
}

} // namespace

int main() {
    const uint32_t seconds = 60;
    const uint32_t frames = kRate * seconds;
    // Chords with a slow envelope and a little noise: music-like, never silent.
    std::vector<float> planes[2];
    uint32_t x = 1;
    for (int c = 0; c < 2; ++c) {
        planes[c].resize(frames);
        for (uint32_t i = 0; i < frames; ++i) {
            const double t = double(i) / kRate;
            const double env = 0.5 + 0.4 * std::sin(2 * M_PI * 0.3 * t + c);
            double v = 0.25 * std::sin(2 * M_PI * 220 * t) + 0.15 * std::sin(2 * M_PI * 277 * t) +
                       0.1 * std::sin(2 * M_PI * (330 + 5 * c) * t);
            x = x * 1664525u + 1013904223u;
            v += (double(x >> 8) / double(1u << 24) - 0.5) * 0.01;
            planes[c][i] = float(v * env);
        }
    }
    std::printf(
        "noise-shaped dither to 16 bits, stereo, %u s of audio, best of 10 (processor time)\n",
        seconds);

    int64_t sink = 0;
    const double perSample = bestSeconds(10, [&] {
        auto q = kyCreateQuantizer(16, 3, 2, kRate);
        for (uint32_t i = 0; i < frames; ++i) {
            sink += q->quantize(0, planes[0][i]);
            sink += q->quantize(1, planes[1][i]);
        }
    });
    benchmark::DoNotOptimize(sink);
    std::printf("  %-34s %8.0fx realtime\n", "per-sample calls", seconds / perSample);

    std::vector<uint8_t> out(size_t(8192) * 4);
    const double block = bestSeconds(10, [&] {
        auto q = kyCreateQuantizer(16, 3, 2, kRate);
        for (uint32_t at = 0; at < frames; at += 8192) {
            const uint32_t n = std::min<uint32_t>(8192, frames - at);
            float* p[2] = {planes[0].data(), planes[1].data()};
            PlanarToInterleaved(out.data(), p, q.get(), 2, at, n, "PCM 16-bit", false, false);
            benchmark::DoNotOptimize(out.data());
        }
    });
    std::printf("  %-34s %8.0fx realtime\n", "block converter (8192 frames)", seconds / block);
    return 0;
}
