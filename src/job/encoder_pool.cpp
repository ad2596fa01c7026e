#include "job/encoder_pool.h"
#include "filters/quantizer_factory.h"
#include "formats/writer_filter.h"

#include <algorithm>

kyEncodeJob::kyEncodeJob(kyWriterFilter* writer, std::unique_ptr<kyAudioSpool> spool,
                         uint32_t quantizerKind)
    : m_writer(writer), m_spool(std::move(spool)), m_quantizerKind(quantizerKind) {}

kyEncodeJob::~kyEncodeJob() {
    if (m_writer) m_writer->DestroyChain();
}

void kyEncodeJob::finish(kyError e) {
    m_error = e;
    m_done.store(true, std::memory_order_release);
}

void kyEncodeJob::run(const std::atomic<bool>& cancel) {
    if (cancel.load() || !m_writer || !m_spool) {
        if (m_writer) m_writer->DestroyChain();
        m_writer = nullptr;
        finish(KYERR_CANCELLED);
        return;
    }
    kySetThreadQuantizerKind(m_quantizerKind);
    auto* source = new kySpoolSource(std::move(m_spool), cancel);
    source->Connect(m_writer);
    kyError e = m_writer->Run();
    if (kySucceeded(e) && cancel.load()) e = KYERR_CANCELLED;
    if (kyFailed(e)) m_reason = kyErrorReason(e);
    // Closes the file before anyone puts it in place.
    m_writer->DestroyChain();
    m_writer = nullptr;
    kySetThreadQuantizerKind(KY_QUANTIZER_DEFAULT_KIND);
    finish(e);
}

unsigned kyEncoderPool::threadsFor(int32_t setting) {
    if (setting > 0) return static_cast<unsigned>(setting);
    return std::max(1u, std::thread::hardware_concurrency());
}

kyEncoderPool::kyEncoderPool(unsigned threads) {
    threads = std::max(1u, threads);
    for (unsigned i = 0; i < threads; ++i) m_workers.emplace_back([this] { work(); });
}

kyEncoderPool::~kyEncoderPool() {
    cancel();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_workers) t.join();
}

void kyEncoderPool::submit(std::shared_ptr<kyEncodeJob> job) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void kyEncoderPool::cancel() {
    m_cancel.store(true);
    m_wake.notify_all();
}

bool kyEncoderPool::wait(const kyEncodeJob& job, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_doneSignal.wait_for(lock, timeout, [&job] { return job.done(); });
}

void kyEncoderPool::work() {
    for (;;) {
        std::shared_ptr<kyEncodeJob> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty()) return; // stopping
            job = std::move(m_queue.front());
            m_queue.pop_front();
        }
        job->run(m_cancel);
        {
            // Under the lock, so a waiter cannot miss the signal between its check and
            // its sleep.
            std::lock_guard<std::mutex> lock(m_mutex);
        }
        m_doneSignal.notify_all();
    }
}
