#pragma once
// kyAudioOutputFilter, the sink that plays a stream on a sound card from a worker thread.
//
// Start() runs the chain on the worker from the current position; Stop() asks it to end
// and, when waiting, returns once it has (a device that never takes data still lets it go:
// the worker waits in poll on the device and on a stop eventfd, and writes at most 50 ms at
// a time). The chain is never touched by anyone else while the worker runs, and the filter
// is never destroyed before its worker has ended.
//
// The position is the frame being heard: what was written less what the device still
// holds. At the end of the stream the worker waits until the device has played what it
// holds, then drops it, so it never blocks in a drain.
//
// Device classes implement the device operations below, which run on the worker, and call
// Stop(true) in their destructors before their device goes.
#include "core/filter.h"
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class kyAudioOutputFilter : public kySinkFilter2 {
public:
    // Called on the worker thread when the stream came to its end (KY_OK) or failed; not
    // after a requested stop. A window posts it on to its own thread.
    using EndNotification = std::function<void(kyError)>;

    static constexpr uint32_t kPreferredBlockFrames = 4096;
    static constexpr uint32_t kStopTimeoutMs = 2500;

    kyAudioOutputFilter(const char* name, uint32_t rate, uint32_t channels);
    ~kyAudioOutputFilter() override;

    void SetEndNotification(EndNotification notify) { m_notify = std::move(notify); }
    // Off: the worker keeps the normal scheduling (tests that play faster than real time).
    void SetRealtime(bool on) { m_realtime = on; }

    kyError Start();
    // Asks the worker to end; with `wait`, returns once it has. True when it ended within
    // 2500 ms (it is waited for regardless: the chain is never freed under it).
    bool Stop(bool wait);
    bool IsRunning() const { return m_running.load(); }
    bool AtEnd() const { return m_atEnd.load(); }
    // Fails with "Invalid parameter" at or beyond the stream's length; restarts a running
    // filter at the new place.
    kyError Seek(uint64_t frame);
    kyError SeekSeconds(double seconds);
    // The stream's length in seconds, 0 when the source gave none.
    double Duration() const;
    uint64_t Position() const { return m_position.load(); }
    uint64_t TotalFrames() const { return m_total; }
    uint32_t Rate() const { return m_rate; }
    uint32_t Channels() const { return m_channels; }
    // The result the last run ended with.
    kyError LastResult() const { return m_result.load(); }
    // The device's name and what it was opened with, for messages ("hw:0,0, S16_LE").
    virtual std::string Description() const = 0;

    // Plays the whole stream from the current position and waits for its end.
    kyError Run() override;
    kyError Write(float** planes, uint32_t frames) override;
    kyError EndOfStream() override;
    // The worker ends before any member of the chain goes.
    void ChainGoing() override { Stop(true); }

protected:
    // Gets the device ready to play from silence.
    virtual kyError deviceBegin() = 0;
    // Plays `frames` interleaved float frames of Channels() channels. Waits for room with
    // waitForDevice(); returns KYERR_CANCELLED as soon as a stop is requested.
    virtual kyError deviceWrite(const float* interleaved, uint32_t frames) = 0;
    // Frames written but not yet heard.
    virtual int64_t deviceDelay() = 0;
    // Throws away what the device still holds.
    virtual void deviceDrop() = 0;
    // No more data comes: a device that waits for more before it starts must start now.
    virtual void deviceEndOfData() {}
    // Called by Stop() on the stopping thread, the stop flag already set: a device whose
    // write cannot wait on the stop event gets its write to return here.
    virtual void deviceInterrupt() {}

    bool stopRequested() const { return m_stop.load(); }
    // Sleeps until one of `fds` is ready, a stop is requested or `timeoutMs` passed; false on
    // a stop. `fds` may be empty.
    bool waitForDevice(struct pollfd* fds, unsigned count, int timeoutMs);
    // The frames that reached the device in this run.
    uint64_t written() const { return m_written; }

    uint32_t m_rate;
    uint32_t m_channels;

private:
    void worker();
    kyError finish();
    void updatePosition();

    int m_stopFd = -1;
    std::thread m_thread;
    std::atomic<std::thread::id> m_workerId{};
    std::mutex m_lock;
    std::condition_variable m_doneSignal;
    bool m_done = true;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_atEnd{false};
    std::atomic<uint64_t> m_position{0};
    std::atomic<kyError> m_result{KY_OK};
    bool m_realtime = true;
    EndNotification m_notify;

    // Worker state.
    uint64_t m_startFrame = 0;
    uint64_t m_total = 0;
    uint64_t m_skip = 0;
    uint64_t m_written = 0;
    uint32_t m_sourceChannels = 0;
    uint32_t m_sourceRate = 0;
    std::vector<float> m_interleaved;
};
