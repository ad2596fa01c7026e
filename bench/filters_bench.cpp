// The channel broker, trim, progress and silence-removal filters on stereo float blocks of
// 588 frames (one CD sector), in frames per second and times CD real time (44100 frames/s).
#include "core/filter.h"
#include "core/sample_block.h"
#include "filters/channel_broker_filter.h"
#include "filters/progress_indicator_filter.h"
#include "filters/silence_removal_filter.h"
#include "filters/trim_filter.h"
#include <benchmark/benchmark.h>
#include <bit>
#include <random>

namespace {

constexpr uint32_t kBlock = 588;
constexpr uint32_t kRate = 44100;

class BenchSource : public kySourceFilter2 {
public:
    BenchSource(uint32_t channels, uint32_t length) : kySourceFilter2("Bench source") {
        m_format.channels = channels;
        m_format.lengthFrames = length;
        m_format.blockFrames = kBlock;
    }
    kyError Prepare() override { return KY_OK; }
    kyError Process() override { return KY_OK; }
};

class NullSink : public kySinkFilter2 {
public:
    NullSink() : kySinkFilter2("Null sink") {}
    uint64_t frames = 0;
    kyError Write(float** planes, uint32_t n) override {
        benchmark::DoNotOptimize(planes[0][0]);
        frames += n;
        return KY_OK;
    }
};

// One CD sector of audible noise (or of near-silence).
kyPlaneBuffer sector(uint32_t channels, float level) {
    kyPlaneBuffer b;
    b.allocate(channels, kBlock);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-level, level);
    for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t i = 0; i < kBlock; ++i) b.plane(c)[i] = d(rng);
    return b;
}

void report(benchmark::State& state, uint64_t frames) {
    state.counters["frames/s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.counters["x realtime"] =
        benchmark::Counter(double(frames) / kRate, benchmark::Counter::kIsRate);
}

// Runs `filter` between a source of `channels` channels and a null sink, one block per
// iteration. `restartEvery` blocks the filter is prepared again (a new track).
template <typename Filter>
void runFilter(benchmark::State& state, Filter* filter, uint32_t channels, float level,
               uint32_t length, uint64_t restartEvery) {
    auto* source = new BenchSource(channels, length);
    auto* sink = new NullSink;
    source->Connect(sink);
    sink->InsertBefore(filter);
    kyPlaneBuffer block = sector(channels, level);
    if (kyFailed(filter->Prepare())) state.SkipWithError("Prepare failed");
    uint64_t frames = 0, blocks = 0;
    for (auto _ : state) {
        if (++blocks == restartEvery) {
            blocks = 0;
            filter->Prepare();
        }
        if (kyFailed(filter->Write(block.planes(), kBlock))) state.SkipWithError("Write failed");
        frames += kBlock;
    }
    report(state, frames);
    source->DestroyChain();
}

void BrokerStereoToMono(benchmark::State& state) {
    runFilter(state, new kyChannelBrokerFilter(1), 2, 0.5f, KY_NO_LENGTH, 0);
}
BENCHMARK(BrokerStereoToMono);

void BrokerMonoToStereo(benchmark::State& state) {
    runFilter(state, new kyChannelBrokerFilter(2), 1, 0.5f, KY_NO_LENGTH, 0);
}
BENCHMARK(BrokerMonoToStereo);

void BrokerStereoToThree(benchmark::State& state) {
    runFilter(state, new kyChannelBrokerFilter(3), 2, 0.5f, KY_NO_LENGTH, 0);
}
BENCHMARK(BrokerStereoToThree);

// The batch's cut-off: keep 30 s, fade out over 0.25 s, on 31-s tracks.
void TrimCutWithFade(benchmark::State& state) {
    const uint32_t track = 31 * 75 * kBlock;
    runFilter(state, new kyTrimFilter(0, 30 * kRate, kRate / 4), 2, 0.5f, track, 31 * 75);
}
BENCHMARK(TrimCutWithFade);

void ProgressKnownLength(benchmark::State& state) {
    auto* progress = new kyProgressIndicatorFilter;
    uint64_t reports = 0;
    progress->setProgressHook([&](int32_t) { ++reports; });
    const uint32_t track = 180 * 75 * kBlock;
    runFilter(state, progress, 2, 0.5f, track, 180 * 75);
    benchmark::DoNotOptimize(reports);
}
BENCHMARK(ProgressKnownLength);

const float kThreshold = std::bit_cast<float>(0x39000100u);

// The batch's setting once past the leading silence: a plain pass.
void SilenceLeadingOnly(benchmark::State& state) {
    runFilter(state, new kySilenceRemovalFilter(kThreshold, 8, true), 2, 0.5f, KY_NO_LENGTH, 0);
}
BENCHMARK(SilenceLeadingOnly);

// Every frame examined: audible noise, and near-silence that is being dropped.
void SilenceFullAudible(benchmark::State& state) {
    runFilter(state, new kySilenceRemovalFilter(kThreshold, 8, false), 2, 0.5f, KY_NO_LENGTH, 0);
}
BENCHMARK(SilenceFullAudible);

void SilenceFullSilent(benchmark::State& state) {
    runFilter(state, new kySilenceRemovalFilter(kThreshold, 8, false), 2, kThreshold, KY_NO_LENGTH,
              0);
}
BENCHMARK(SilenceFullSilent);

} // namespace

BENCHMARK_MAIN();
