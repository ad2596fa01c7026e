#pragma once
// Encoder workers: files whose audio has been read are encoded on threads of their own,
// while the reading thread goes on with the next file.
//
// A job owns a writer (not yet run, its output file already created) and the spool of its
// audio; a worker connects the two, runs the writer and closes its file. The caller keeps
// the jobs in its own order and takes their results in that order (wait), so what follows
// an encoding (putting the file in place, its record, the playlist) happens as it would
// have on one thread. cancel() stops every job not yet finished: a running one at its next
// block, a queued one before it starts, both with "Operation cancelled".
#include "core/error.h"
#include "job/audio_spool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class kyWriterFilter;

class kyEncodeJob {
public:
    // Takes `writer` (destroyed with its chain once run, or with the job) and `spool`.
    kyEncodeJob(kyWriterFilter* writer, std::unique_ptr<kyAudioSpool> spool,
                uint32_t quantizerKind);
    ~kyEncodeJob();
    kyEncodeJob(const kyEncodeJob&) = delete;
    kyEncodeJob& operator=(const kyEncodeJob&) = delete;

    // Set once the job is done (by its worker, or by cancellation before it ran); then
    // error() and reason() may be read.
    bool done() const { return m_done.load(std::memory_order_acquire); }
    kyError error() const { return m_error; }
    // The failure's detail as the worker saw it (see kyErrorReason).
    const std::string& reason() const { return m_reason; }

private:
    friend class kyEncoderPool;
    void run(const std::atomic<bool>& cancel);
    void finish(kyError e);

    kyWriterFilter* m_writer;
    std::unique_ptr<kyAudioSpool> m_spool;
    uint32_t m_quantizerKind;
    kyError m_error = KY_OK;
    std::string m_reason;
    std::atomic<bool> m_done{false};
};

class kyEncoderPool {
public:
    // `threads` workers, at least one; see threadsFor.
    explicit kyEncoderPool(unsigned threads);
    ~kyEncoderPool(); // cancels what is left and ends the workers
    kyEncoderPool(const kyEncoderPool&) = delete;
    kyEncoderPool& operator=(const kyEncoderPool&) = delete;

    // The workers for the iEncoderThreads setting: 0 means one per core.
    static unsigned threadsFor(int32_t setting);

    void submit(std::shared_ptr<kyEncodeJob> job);
    // Waits at most `timeout` for `job`; true once it is done.
    bool wait(const kyEncodeJob& job, std::chrono::milliseconds timeout);
    void cancel();
    bool cancelled() const { return m_cancel.load(); }
    unsigned threads() const { return static_cast<unsigned>(m_workers.size()); }

private:
    void work();

    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_wake; // a job queued, or the end
    std::condition_variable m_doneSignal;
    std::deque<std::shared_ptr<kyEncodeJob>> m_queue;
    bool m_stopping = false;
    std::atomic<bool> m_cancel{false};
};
