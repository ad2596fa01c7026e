// The level meter: slicing, the peaks it reports against the block peaks of a known signal,
// pass-through, and the meter positions' rise and fall.
#include "filters/vu_meter_filter.h"
#include "support/chain_helpers.h"
#include <cmath>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct Report {
    std::vector<float> peaks;
    float seconds;
};

class RecordingMeter : public kyVUMeterFilter {
public:
    explicit RecordingMeter(bool measureFirst = false) : kyVUMeterFilter(measureFirst) {}
    std::vector<Report> reports;

protected:
    void Levels(const float* peaks, uint32_t channels, float seconds) override {
        reports.push_back({std::vector<float>(peaks, peaks + channels), seconds});
    }
};

// Runs `planes` through source -> meter -> collecting sink; the meter's reports are moved
// to `reports` before the chain goes.
std::vector<std::vector<float>> runThrough(RecordingMeter* meter,
                                           std::vector<std::vector<float>> planes, uint32_t rate,
                                           uint32_t block, std::vector<Report>& reports) {
    auto* source = new kytest::MemorySource(planes, rate, block);
    auto* sink = new kytest::CollectSink(static_cast<uint32_t>(planes.size()));
    source->Connect(sink);
    source->InsertAfter(meter);
    EXPECT_EQ(sink->Run(), KY_OK);
    auto data = sink->data;
    reports = std::move(meter->reports);
    sink->DestroyChain();
    return data;
}

// A signal whose peak changes every few thousand frames, differently per channel.
std::vector<std::vector<float>> steppedSignal(uint32_t frames) {
    std::vector<std::vector<float>> planes(2, std::vector<float>(frames));
    for (uint32_t i = 0; i < frames; ++i) {
        const float level0 = 0.1f + 0.8f * float((i / 3000) % 5) / 4.0f;
        const float level1 = 0.9f - 0.7f * float((i / 7001) % 3) / 2.0f;
        planes[0][i] = level0 * std::sin(float(i) * 0.05f);
        planes[1][i] = -level1 * std::fabs(std::cos(float(i) * 0.011f));
    }
    return planes;
}

} // namespace

TEST(VUMeterFilter, PeaksAreTheBlockPeaksOfEverySlice) {
    const uint32_t frames = 44100 * 2 + 123;
    const auto signal = steppedSignal(frames);
    for (bool measureFirst : {false, true}) {
        std::vector<Report> reports;
        const auto out = runThrough(new RecordingMeter(measureFirst), signal, 44100, 8192, reports);
        EXPECT_EQ(out, signal) << "the meter must pass the audio unchanged";
        // Slices of at most 44100 / 8 frames, restarting at every 8192-frame block.
        uint32_t pos = 0;
        size_t n = 0;
        while (pos < frames) {
            const uint32_t blockEnd = std::min(frames, (pos / 8192 + 1) * 8192);
            const uint32_t slice = std::min(blockEnd - pos, 5512u);
            ASSERT_LT(n, reports.size());
            const Report& r = reports[n++];
            for (uint32_t c = 0; c < 2; ++c) {
                float peak = 0;
                for (uint32_t i = pos; i < pos + slice; ++i)
                    peak = std::max(peak, std::fabs(signal[c][i]));
                EXPECT_EQ(r.peaks[c], peak) << "slice at " << pos << " channel " << c;
            }
            EXPECT_FLOAT_EQ(r.seconds, float(slice) / 44100.0f);
            pos += slice;
        }
        EXPECT_EQ(n, reports.size());
    }
}

TEST(VUMeterFilter, SliceLimitsAndReprepare) {
    struct Case {
        uint32_t rate, block, limit;
    };
    for (const Case& c : {Case{44100, 8192, 5512}, Case{44100, 588, 588}, Case{4, 4096, 1},
                          Case{7, 3, 1}, Case{48000, 100000, 6000}}) {
        auto* meter = new RecordingMeter();
        auto* source =
            new kytest::MemorySource(kytest::sinePlanes(1, 1000, c.rate), c.rate, c.block);
        auto* sink = new kytest::CollectSink(1);
        source->Connect(sink);
        source->InsertAfter(meter);
        ASSERT_EQ(sink->Run(), KY_OK);
        EXPECT_EQ(meter->SliceLimit(), c.limit) << c.rate << "/" << c.block;
        EXPECT_EQ(meter->FramesDelivered(), 1000u);
        sink->DestroyChain();
    }
    // Blocks shorter than the limit: one report per block.
    std::vector<Report> reports;
    runThrough(new RecordingMeter(), kytest::sinePlanes(2, 588 * 10, 44100), 44100, 588, reports);
    EXPECT_EQ(reports.size(), 10u);

    // The same meter prepared for a stream with more channels sizes its arrays anew.
    auto* wide = new RecordingMeter();
    auto* mono = new kytest::MemorySource(kytest::sinePlanes(1, 500, 44100), 44100, 100);
    auto* sink = new kytest::CollectSink(1);
    mono->Connect(sink);
    mono->InsertAfter(wide);
    ASSERT_EQ(sink->Run(), KY_OK);
    wide->kySinkFilter::Disconnect();
    mono->DestroyChain();
    auto* six = new kytest::MemorySource(kytest::sinePlanes(6, 500, 44100), 44100, 100);
    six->Connect(wide);
    ASSERT_EQ(sink->Run(), KY_OK);
    ASSERT_FALSE(wide->reports.empty());
    EXPECT_EQ(wide->reports.back().peaks.size(), 6u);
    sink->DestroyChain();
}

TEST(VUMeterFilter, BlockSizeZeroAndTinyRateFinish) {
    // A source announcing a block size of 0 at 4 Hz: every write still ends.
    class OddSource : public kytest::MemorySource {
    public:
        using MemorySource::MemorySource;
        kyError GetFormat(kyAudioFormat& f) override {
            kyError e = MemorySource::GetFormat(f);
            f.blockFrames = 0;
            return e;
        }
    };
    auto* meter = new RecordingMeter();
    auto* source = new OddSource(kytest::sinePlanes(2, 37, 4), 4, 10);
    auto* sink = new kytest::CollectSink(2);
    source->Connect(sink);
    source->InsertAfter(meter);
    ASSERT_EQ(sink->Run(), KY_OK);
    EXPECT_EQ(meter->SliceLimit(), 1u);
    EXPECT_EQ(meter->reports.size(), 37u);
    EXPECT_EQ(sink->data[0].size(), 37u);
    sink->DestroyChain();
}

TEST(VUMeterFilter, PositionsRiseAtOnceAndFallInTime) {
    // One channel, fed slices by hand through a prepared chain.
    auto* meter = new kygfVUMeterFilter();
    auto* source = new kytest::MemorySource(std::vector<std::vector<float>>(1, {0.0f}), 44100, 441);
    auto* sink = new kytest::CollectSink(1);
    source->Connect(sink);
    source->InsertAfter(meter);
    ASSERT_EQ(sink->Run(), KY_OK); // prepares and ends: positions 0
    auto feed = [&](float peak, uint32_t frames) {
        std::vector<float> v(frames, 0.0f);
        if (frames) v[0] = peak;
        float* p = v.data();
        ASSERT_EQ(meter->Write(&p, frames), KY_OK);
    };
    EXPECT_EQ(meter->Channels(), 1u);
    feed(1.0f, 441);
    EXPECT_FLOAT_EQ(meter->Position(0), 1.0f);
    feed(std::pow(10.0f, -38.0f / 20.0f), 441);
    // -38 dB is 0.5: above 0.05, so the position falls by the fall rate (10 ms: 0.01).
    EXPECT_NEAR(meter->Position(0), 0.99f, 1e-5);
    for (int i = 0; i < 200; ++i) feed(std::pow(10.0f, -38.0f / 20.0f), 441);
    EXPECT_NEAR(meter->Position(0), 0.5f, 1e-5);
    feed(1.0f, 441);
    // Silence: five times the fall rate, from 1.0 to 0 in 0.2 s.
    for (int i = 0; i < 10; ++i) feed(0.0f, 441);
    EXPECT_NEAR(meter->Position(0), 0.5f, 1e-4);
    for (int i = 0; i < 10; ++i) feed(0.0f, 441);
    EXPECT_NEAR(meter->Position(0), 0.0f, 1e-4);
    feed(std::pow(10.0f, -76.0f / 20.0f), 441);
    EXPECT_EQ(meter->Position(0), 0.0f);
    feed(2.0f, 441);
    EXPECT_EQ(meter->Position(0), 1.0f);
    // Held: nothing moves; the end of the stream clears.
    meter->SetHold(true);
    feed(0.0f, 44100);
    EXPECT_EQ(meter->Position(0), 1.0f);
    meter->SetHold(false);
    const uint32_t generation = meter->Generation();
    ASSERT_EQ(meter->EndOfStream(), KY_OK);
    EXPECT_EQ(meter->Position(0), 0.0f);
    EXPECT_NE(meter->Generation(), generation);
    EXPECT_EQ(meter->Position(kygfVUMeterFilter::kMaxChannels + 3), 0.0f);
    sink->DestroyChain();
}

TEST(VUMeterFilter, PositionsAreReadWhileTheStreamRuns) {
    // A reader thread polls the positions the way a window's timer does.
    auto* meter = new kygfVUMeterFilter();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        float sum = 0;
        while (!done.load())
            for (uint32_t c = 0; c < kygfVUMeterFilter::kMaxChannels; ++c)
                sum += meter->Position(c);
        EXPECT_GE(sum, 0.0f);
    });
    auto* source = new kytest::MemorySource(kytest::sinePlanes(8, 44100, 44100, 0.9f), 44100, 1024);
    auto* sink = new kytest::CollectSink(8);
    source->Connect(sink);
    source->InsertAfter(meter);
    EXPECT_EQ(sink->Run(), KY_OK);
    done = true;
    reader.join();
    sink->DestroyChain();
}
