#include "playback/audio_output_filter.h"
#include "platform/thread_priority.h"
#include <algorithm>
#include <cmath>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

kyAudioOutputFilter::kyAudioOutputFilter(const char* name, uint32_t rate, uint32_t channels)
    : kySinkFilter2(name), m_rate(std::max<uint32_t>(1, rate)),
      m_channels(std::max<uint32_t>(1, channels)) {
    m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

kyAudioOutputFilter::~kyAudioOutputFilter() {
    // Device classes stop in their own destructors, before their device goes; this is the
    // last line of defence for one that did not.
    Stop(true);
    if (m_stopFd >= 0) close(m_stopFd);
}

kyError kyAudioOutputFilter::Start() {
    if (!m_upstream) return KYERR_SEQUENCE;
    if (m_stopFd < 0) return KYERR_UNKNOWN;
    Stop(true);
    uint64_t pending;
    while (read(m_stopFd, &pending, sizeof pending) > 0) {
    }
    m_stop = false;

    kyAudioFormat format{};
    kyError e = m_upstream->GetFormat(format);
    if (kyFailed(e)) return e;
    if (format.channels == 0 || format.sampleRate == 0) return KYERR_DATA_FORMAT;
    m_total = format.lengthFrames == KY_NO_LENGTH ? 0 : format.lengthFrames;
    m_sourceRate = format.sampleRate;
    m_sourceChannels = format.channels;
    // Sources seek to whole blocks at best (a CD source to whole sectors): the frames
    // between the place reached and the one asked for are skipped on the way out.
    m_startFrame = m_position.load();
    const uint32_t asked = static_cast<uint32_t>(std::min<uint64_t>(m_startFrame, UINT32_MAX));
    const uint32_t reached = m_upstream->Seek(asked);
    m_skip = reached <= asked ? asked - reached : 0;
    m_written = 0;
    m_atEnd = false;
    m_result = KY_OK;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_done = false;
    }
    m_running = true;
    try {
        m_thread = std::thread([this] { worker(); });
    } catch (const std::system_error&) {
        m_running = false;
        m_done = true;
        return KYERR_UNKNOWN;
    }
    return KY_OK;
}

bool kyAudioOutputFilter::Stop(bool wait) {
    // The worker may call this (from its source or its end notification) before Start has
    // even stored its thread object: it can only ask.
    const bool onWorker = m_workerId.load() == std::this_thread::get_id();
    if (!onWorker && !m_thread.joinable()) return true;
    m_stop = true;
    const uint64_t one = 1;
    if (m_stopFd >= 0 && write(m_stopFd, &one, sizeof one) < 0) {
        // The counter is full: a stop is pending anyway.
    }
    if (!onWorker) {
        // Only while the worker runs: afterwards the device has nothing to interrupt.
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_done) deviceInterrupt();
    }
    if (!wait || onWorker) return !onWorker;
    bool inTime;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        inTime = m_doneSignal.wait_for(lock, std::chrono::milliseconds(kStopTimeoutMs),
                                       [this] { return m_done; });
    }
    // There is no safe way to kill a thread: a source stuck in a read is waited for.
    m_thread.join();
    return inTime;
}

kyError kyAudioOutputFilter::Seek(uint64_t frame) {
    if (m_total != 0 && frame >= m_total) return KYERR_INVALID_PARAMETER;
    const bool wasRunning = IsRunning();
    Stop(true);
    m_position = frame;
    m_atEnd = false;
    return wasRunning ? Start() : KY_OK;
}

kyError kyAudioOutputFilter::SeekSeconds(double seconds) {
    const double rate = m_sourceRate ? m_sourceRate : m_rate;
    return Seek(seconds <= 0 ? 0 : static_cast<uint64_t>(std::llround(seconds * rate)));
}

double kyAudioOutputFilter::Duration() const {
    const double rate = m_sourceRate ? m_sourceRate : m_rate;
    return double(m_total) / rate;
}

kyError kyAudioOutputFilter::Run() {
    kyError e = Start();
    if (kyFailed(e)) return e;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_doneSignal.wait(lock, [this] { return m_done; });
    }
    m_thread.join();
    return m_result;
}

bool kyAudioOutputFilter::waitForDevice(pollfd* fds, unsigned count, int timeoutMs) {
    if (m_stop) return false;
    std::vector<pollfd> all(fds, fds + count);
    all.push_back({m_stopFd, POLLIN, 0});
    const int r = poll(all.data(), all.size(), timeoutMs);
    if (m_stop) return false;
    if (r > 0) std::copy_n(all.begin(), count, fds);
    return true;
}

void kyAudioOutputFilter::updatePosition() {
    const int64_t delay = std::clamp<int64_t>(deviceDelay(), 0, int64_t(m_written));
    m_position = m_startFrame + (m_written - uint64_t(delay));
}

kyError kyAudioOutputFilter::Write(float** planes, uint32_t frames) {
    if (m_stop) return KYERR_CANCELLED;
    uint32_t offset = 0;
    if (m_skip) {
        const uint32_t skipped = static_cast<uint32_t>(std::min<uint64_t>(m_skip, frames));
        m_skip -= skipped;
        offset = skipped;
    }
    // At most 50 ms a write, so that a stop never waits long.
    const uint32_t chunk = std::max<uint32_t>(1, m_rate / 20);
    while (offset < frames) {
        const uint32_t n = std::min(chunk, frames - offset);
        m_interleaved.resize(size_t(n) * m_channels);
        float* out = m_interleaved.data();
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t c = 0; c < m_channels; ++c)
                *out++ = c < m_sourceChannels && planes && planes[c] ? planes[c][offset + i] : 0.0f;
        kyError e = deviceWrite(m_interleaved.data(), n);
        if (kyFailed(e)) return e;
        m_written += n;
        offset += n;
        updatePosition();
    }
    return KY_OK;
}

kyError kyAudioOutputFilter::EndOfStream() {
    m_finished = true;
    return KY_OK;
}

kyError kyAudioOutputFilter::finish() {
    deviceEndOfData();
    // Wait out what the device holds (with a margin for a device that stalls), never drain.
    const int64_t held = deviceDelay();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(1000 + held * 1000 / m_rate);
    for (;;) {
        const int64_t delay = deviceDelay();
        updatePosition();
        if (delay <= 0 || std::chrono::steady_clock::now() > deadline) break;
        const int ms = static_cast<int>(std::clamp<int64_t>(delay * 1000 / m_rate, 1, 50));
        if (!waitForDevice(nullptr, 0, ms)) return KYERR_CANCELLED;
    }
    return KY_OK;
}

void kyAudioOutputFilter::worker() {
    m_workerId = std::this_thread::get_id();
    if (m_realtime) kyRaiseAudioThreadPriority();
    m_finished = false;
    kyError e = deviceBegin();
    if (kySucceeded(e)) e = m_upstream->Prepare();
    while (kySucceeded(e) && !m_finished && !m_stop) e = m_upstream->Process();
    bool ended = kySucceeded(e) && m_finished && !m_stop;
    if (ended) {
        e = finish();
        ended = kySucceeded(e);
    }
    updatePosition();
    deviceDrop();
    if (ended) m_position = m_startFrame + m_written;
    // The end-of-stream code is how a requested stop comes back: not a failure.
    if (e == KYERR_CANCELLED) e = KY_OK;
    m_atEnd = ended;
    m_result = e;
    const bool notify = ended || (kyFailed(e) && !m_stop);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_done = true;
        m_running = false;
    }
    m_doneSignal.notify_all();
    if (notify && m_notify) m_notify(e);
    m_workerId = std::thread::id();
}
