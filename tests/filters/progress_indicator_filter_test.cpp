#include "filters/progress_indicator_filter.h"
#include "filters/stream_fixture.h"
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace filters_test;

namespace {

// Records what the hooks are told, through the virtual hooks a display derives from.
class RecordingProgress : public kyProgressIndicatorFilter {
public:
    std::vector<int32_t> percents;
    std::vector<kyError> errors;
    // Cancels from inside the hook once this percentage is reached or passed.
    int32_t cancelAt = -1;

    void ProgressChanged(int32_t percent) override {
        percents.push_back(percent);
        if (cancelAt >= 0 && percent >= cancelAt) Cancel();
    }
    void ErrorOccurred(kyError code) override { errors.push_back(code); }
};

} // namespace

TEST(ProgressIndicatorFilter, CountsFramesIntoPercentagesAndPassesAudioUnchanged) {
    const Planes in = noise(2, 588 * 75, 4); // one second of CD audio
    std::vector<int32_t> reference;
    for (const BlockPattern& bp : standardPatterns()) {
        SCOPED_TRACE(bp.name);
        auto* progress = new RecordingProgress;
        auto* src = new ScriptedSource(in, bp);
        src->setSampleRate(48000);
        Chain chain(src, {progress});
        ASSERT_EQ(chain.run(), KY_OK);
        EXPECT_EQ(chain.sink->got, in);
        EXPECT_EQ(progress->lengthFrames(), 588 * 75);
        EXPECT_EQ(progress->position(), 588 * 75);
        EXPECT_EQ(progress->sampleRate(), 48000u);
        const auto& p = progress->percents;
        ASSERT_FALSE(p.empty());
        EXPECT_EQ(p.front(), 0);
        EXPECT_EQ(p.back(), 100);
        for (size_t i = 1; i < p.size(); ++i) EXPECT_LT(p[i - 1], p[i]);
        EXPECT_TRUE(progress->errors.empty());
    }
    // With CD sectors every value is the rounded share of the frames delivered so far.
    auto* progress = new RecordingProgress;
    Chain chain(new ScriptedSource(in, {"588", {588}}), {progress});
    ASSERT_EQ(chain.run(), KY_OK);
    std::vector<int32_t> want{0};
    for (int sectors = 1; sectors <= 75; ++sectors) {
        const int32_t percent = static_cast<int32_t>(sectors * 588 * 100.0 / (588 * 75) + 0.5);
        if (percent != want.back()) want.push_back(percent);
    }
    EXPECT_EQ(progress->percents, want);
}

TEST(ProgressIndicatorFilter, WithoutLengthCountsUpAndWrapsThenEndsAt100) {
    auto* src = new ScriptedSource(noise(1, 250), {"1", {1}});
    src->setLength(KY_NO_LENGTH);
    auto* progress = new RecordingProgress;
    Chain chain(src, {progress});
    ASSERT_EQ(chain.run(), KY_OK);
    std::vector<int32_t> want{0};
    for (int i = 1; i <= 250; ++i) want.push_back(i % 100);
    want.push_back(100);
    EXPECT_EQ(progress->percents, want);
    EXPECT_EQ(progress->lengthFrames(), KY_NO_LENGTH);
}

TEST(ProgressIndicatorFilter, SourceLongerThanAnnouncedStopsAt100) {
    for (uint32_t announced : {0u, 1000u}) {
        SCOPED_TRACE(announced);
        auto* src = new ScriptedSource(noise(2, 3000), {"588", {588}});
        src->setLength(announced);
        auto* progress = new RecordingProgress;
        Chain chain(src, {progress});
        ASSERT_EQ(chain.run(), KY_OK);
        for (int32_t p : progress->percents) {
            EXPECT_GE(p, 0);
            EXPECT_LE(p, 100);
        }
        EXPECT_EQ(progress->percents.back(), 100);
        EXPECT_EQ(chain.sink->frames(), 3000u);
    }
}

TEST(ProgressIndicatorFilter, CancelStopsAtTheNextWriteAndForwardsNothingMore) {
    for (const BlockPattern& bp : standardPatterns()) {
        SCOPED_TRACE(bp.name);
        auto* progress = new RecordingProgress;
        progress->cancelAt = 30;
        Chain chain(new ScriptedSource(noise(2, 20000), bp), {progress});
        EXPECT_EQ(chain.run(), KYERR_CANCELLED);
        // Everything up to the write that reached 30 % went through, nothing after it.
        const uint32_t delivered = chain.sink->frames();
        EXPECT_EQ(int64_t(delivered), progress->position());
        EXPECT_GE(progress->percents.back(), 30);
        EXPECT_LT(progress->percents.back(), 100);
        EXPECT_EQ(progress->percents.back(), int32_t(delivered * 100.0 / 20000 + 0.5));
        EXPECT_EQ(chain.sink->endCalls, 0);
        EXPECT_TRUE(progress->errors.empty()); // a cancel is not an error

        // Every later write and the end of the stream are refused too.
        float plane[4] = {};
        float* planes[] = {plane, plane, nullptr};
        EXPECT_EQ(progress->Write(planes, 4), KYERR_CANCELLED);
        EXPECT_EQ(progress->WriteInterleaved(plane, 16, 4), KYERR_CANCELLED);
        EXPECT_EQ(progress->EndOfStream(), KYERR_CANCELLED);
        EXPECT_EQ(chain.sink->frames(), delivered);
        EXPECT_EQ(chain.sink->endCalls, 0);
        EXPECT_TRUE(progress->errors.empty());
    }
}

TEST(ProgressIndicatorFilter, CancelFromAnotherThreadEndsAnEndlessRun) {
    auto* src = new ScriptedSource(noise(2, 588), {"588", {588}});
    src->setEndless(true);
    src->setLength(KY_NO_LENGTH);
    auto* progress = new kyProgressIndicatorFilter;
    std::atomic<int> reports{0};
    progress->setProgressHook([&](int32_t) { reports.fetch_add(1); });
    Chain chain(src, {progress});
    std::thread canceller([&] {
        while (reports.load() < 50) std::this_thread::yield();
        progress->Cancel();
    });
    EXPECT_EQ(chain.run(), KYERR_CANCELLED);
    canceller.join();
    EXPECT_TRUE(progress->cancelled());
}

TEST(ProgressIndicatorFilter, DownstreamFailureReachesTheErrorHookOnceWithItsCode) {
    struct Case {
        const char* name;
        int failAtWrite;
        kyError endResult;
    };
    for (const Case& c : {Case{"write", 3, KY_OK}, Case{"end of stream", -1, KYERR_WRITE_FILE}}) {
        SCOPED_TRACE(c.name);
        auto* progress = new kyProgressIndicatorFilter;
        std::vector<kyError> errors;
        progress->setErrorHook([&](kyError e) { errors.push_back(e); });
        Chain chain(new ScriptedSource(noise(2, 5000), {"588", {588}}), {progress});
        chain.sink->failAtWrite = c.failAtWrite;
        chain.sink->failWith = KYERR_WRITE_FILE;
        chain.sink->endResult = c.endResult;
        EXPECT_EQ(chain.run(), KYERR_WRITE_FILE);
        EXPECT_EQ(errors, std::vector<kyError>{KYERR_WRITE_FILE});
    }
}

TEST(ProgressIndicatorFilter, InterleavedRunCountsAndReportsFailuresOnce) {
    // Success: bytes pass through and the count follows them.
    {
        auto* src = new ScriptedSource(noise(2, 3000), {"588", {588}});
        src->setInterleaved("PCM 16-bit");
        auto* progress = new RecordingProgress;
        Chain chain(src, {progress});
        // The filter offers what its source offers, so a writer can take the bytes unchanged.
        EXPECT_STREQ(progress->GetInterleavedFormat(2), "PCM 16-bit");
        EXPECT_EQ(progress->GetInterleavedFormat(1), nullptr);
        ASSERT_EQ(progress->RunInterleaved(), KY_OK);
        EXPECT_EQ(chain.sink->interleavedFrames, 3000u);
        EXPECT_EQ(progress->position(), 3000);
        EXPECT_EQ(progress->percents.front(), 0);
        EXPECT_EQ(progress->percents.back(), 100);
    }
    // A failing write comes back through RunInterleaved as well, but is reported once.
    {
        auto* src = new ScriptedSource(noise(2, 3000), {"588", {588}});
        src->setInterleaved("PCM 16-bit");
        auto* progress = new RecordingProgress;
        Chain chain(src, {progress});
        chain.sink->failAtWrite = 2;
        chain.sink->failWith = KYERR_WRITE_FILE;
        EXPECT_EQ(progress->RunInterleaved(), KYERR_WRITE_FILE);
        EXPECT_EQ(progress->errors, std::vector<kyError>{KYERR_WRITE_FILE});
    }
    // A source that cannot run interleaved.
    {
        auto* progress = new RecordingProgress;
        Chain chain(new ScriptedSource(noise(2, 3000), {"588", {588}}), {progress});
        EXPECT_EQ(progress->RunInterleaved(), KYERR_SEQUENCE);
        EXPECT_EQ(progress->errors, std::vector<kyError>{KYERR_SEQUENCE});
    }
    // No upstream at all: counters reset to the defaults, the failure reported.
    RecordingProgress lone;
    EXPECT_EQ(lone.lastPercent(), -1);
    EXPECT_EQ(lone.RunInterleaved(), KYERR_SEQUENCE);
    EXPECT_EQ(lone.errors, std::vector<kyError>{KYERR_SEQUENCE});
    EXPECT_EQ(lone.percents, std::vector<int32_t>{0});
    EXPECT_EQ(lone.lengthFrames(), KY_NO_LENGTH);
    EXPECT_EQ(lone.sampleRate(), 44100u);
}

TEST(ProgressIndicatorFilter, PrepareFailureIsReportedAndANewRunStartsClean) {
    auto* src = new ScriptedSource(noise(2, 1000), {"588", {588}});
    src->setPrepareResult(KYERR_OPEN_FILE);
    auto* progress = new RecordingProgress;
    Chain chain(src, {progress});
    EXPECT_EQ(chain.run(), KYERR_OPEN_FILE);
    EXPECT_EQ(progress->errors, std::vector<kyError>{KYERR_OPEN_FILE});

    // The next run resets the counters, the cancel flag and the one-report latch.
    progress->Cancel();
    src->setPrepareResult(KY_OK);
    progress->percents.clear();
    ASSERT_EQ(chain.run(), KY_OK);
    EXPECT_FALSE(progress->cancelled());
    EXPECT_EQ(progress->percents.front(), 0);
    EXPECT_EQ(progress->percents.back(), 100);
    EXPECT_EQ(chain.sink->frames(), 1000u);
}
