// 16-bit stereo PCM to float planes and back, in samples per second.
#include "core/data_format.h"
#include "core/sample_block.h"
#include <benchmark/benchmark.h>
#include <random>
#include <vector>

namespace {
constexpr uint32_t kFrames = 588 * 16;

void pcm16ToFloat(benchmark::State& state) {
    std::vector<int16_t> raw(kFrames * 2);
    std::mt19937 rng(1);
    for (auto& s : raw) s = static_cast<int16_t>(rng());
    kyPlaneBuffer planes;
    planes.allocate(2, kFrames);
    for (auto _ : state) {
        InterleavedToPlanar(planes.planes(), raw.data(), 2, 0, kFrames, "PCM 16-bit", false, false);
        benchmark::DoNotOptimize(planes.plane(0));
        benchmark::ClobberMemory();
    }
    state.counters["samples/s"] =
        benchmark::Counter(double(kFrames) * 2 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(pcm16ToFloat);

void floatToPcm16(benchmark::State& state) {
    std::vector<int16_t> raw(kFrames * 2);
    kyPlaneBuffer planes;
    planes.allocate(2, kFrames);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (uint32_t i = 0; i < kFrames; ++i) planes.plane(0)[i] = d(rng), planes.plane(1)[i] = d(rng);
    for (auto _ : state) {
        PlanarToInterleaved(raw.data(), planes.planes(), nullptr, 2, 0, kFrames, "PCM 16-bit",
                            false, false);
        benchmark::DoNotOptimize(raw.data());
        benchmark::ClobberMemory();
    }
    state.counters["samples/s"] =
        benchmark::Counter(double(kFrames) * 2 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(floatToPcm16);
} // namespace

BENCHMARK_MAIN();
