#pragma once
// kyProgressIndicatorFilter ("Progress indicator"): passes audio unchanged, counts the
// frames that went through, and reports the percentage done and any downstream failure.
// After Cancel() every further write answers "Operation cancelled" and forwards nothing.
//
// Hooks. Front ends can either derive and override the two virtual hooks
// ProgressChanged() and ErrorOccurred(), or set plain std::function callbacks with
// setProgressHook() / setErrorHook(): the base versions of the virtual hooks call the
// callbacks when set and do nothing otherwise. Both run on the thread that runs the chain.
// Cancel() may be called from another thread; it only sets a flag the writes read.
#include "core/filter.h"
#include <atomic>
#include <cstdint>
#include <functional>

class kyProgressIndicatorFilter : public kyMorphFilter {
public:
    using ProgressHook = std::function<void(int32_t percent)>;
    using ErrorHook = std::function<void(kyError code)>;

    kyProgressIndicatorFilter();

    // Source side.
    kyError Prepare() override;
    // Counting does not touch the samples, so the stream may pass as interleaved bytes:
    // the request is forwarded upstream.
    const char* GetInterleavedFormat(uint32_t channels) override;
    kyError RunInterleaved() override;

    // Sink side.
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;
    kyError WriteInterleaved(const void* bytes, uint32_t byteCount, uint32_t frames) override;

    // Called with 0 at each start, then whenever the percentage (0..100) changes.
    virtual void ProgressChanged(int32_t percent);
    // Called once per run with the code of the first failure seen downstream or upstream.
    virtual void ErrorOccurred(kyError code);

    void setProgressHook(ProgressHook hook) { m_progressHook = std::move(hook); }
    void setErrorHook(ErrorHook hook) { m_errorHook = std::move(hook); }

    // Safe from any thread: the next write answers "Operation cancelled".
    void Cancel() { m_cancelled.store(true, std::memory_order_relaxed); }
    bool cancelled() const { return m_cancelled.load(std::memory_order_relaxed); }

    // Stream length in frames (0x7FFFFFFF when unknown), frames delivered so far, the
    // upstream sample rate and the last percentage reported.
    int64_t lengthFrames() const { return m_length; }
    int64_t position() const { return m_position; }
    uint32_t sampleRate() const { return m_sampleRate; }
    int32_t lastPercent() const { return m_lastPercent; }

private:
    void reset();
    void advance(uint32_t frames);
    kyError fail(kyError code);

    int64_t m_length = KY_NO_LENGTH;
    int64_t m_position = 0;
    uint32_t m_sampleRate = 44100;
    int32_t m_lastPercent = -1;
    bool m_errorReported = false;
    std::atomic<bool> m_cancelled{false};
    ProgressHook m_progressHook;
    ErrorHook m_errorHook;
};
