#include "job/file_conversion.h"
#include "core/manager.h"
#include "filters/normalize_filter.h"
#include "filters/progress_indicator_filter.h"
#include "formats/reader_filter.h"
#include "formats/writer_filter.h"
#include "job/processing_stages.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>

kyFileConversion::kyFileConversion(std::string input, std::string output)
    : m_input(std::move(input)), m_output(std::move(output)) {}

kyFileConversion::~kyFileConversion() {
    release();
}

void kyFileConversion::release() {
    {
        std::lock_guard<std::mutex> lock(m_chainLock);
        if (m_writer) m_writer->DestroyChain(); // the reader too, once connected
        if (m_reader && !m_connected) m_reader->DestroyChain();
        m_writer = nullptr;
        m_reader = nullptr;
        m_progress = nullptr;
        m_normalize = nullptr;
    }
    m_pending.discard();
}

kyError kyFileConversion::fail(kyError e, const std::string& subject) {
    m_subject = subject;
    m_message = kyErrorText(e);
    // Kept for the caller on this thread, whatever closing the chain notes.
    const std::string reason = kyErrorReason(e);
    release();
    kySetErrorReason(e, reason);
    return e;
}

kyError kyFileConversion::prepare(const RipSettings& settings, const kyConversionTarget& target) {
    m_settings = settings;
    kyManager& manager = kyManager::Instance();
    kyError e = manager.OpenReader(m_reader, m_input.c_str(), -2, 0);
    if (kyFailed(e) || !m_reader) {
        if (!kyFailed(e)) e = KYERR_UNKNOWN;
        return fail(e, m_input);
    }
    m_reader->GetFormat(m_source);

    if (!m_pending.create(m_output)) {
        e = KYERR_CREATE_FILE;
        kySetErrorReason(e, errno);
        return fail(e, m_output);
    }
    e = manager.CreateWriter(m_writer, m_pending.temporaryPath().c_str(), target.subformat.c_str(),
                             target.format);
    if (kyFailed(e) || !m_writer) {
        if (!kyFailed(e)) e = KYERR_UNKNOWN;
        return fail(e, m_output);
    }
    kyApplyWriterSettings(*m_writer, m_settings);
    e = manager.ConnectWithConversion(m_reader, m_writer, target.channels, 0);
    if (kyFailed(e)) return fail(e, m_output);
    m_connected = true;
    kyProcessingStages stages;
    e = kyInsertProcessingStages(*m_reader, *m_writer, m_settings, m_source.sampleRate, stages);
    if (kyFailed(e)) return fail(e, m_output);
    m_normalize = stages.normalize;
    m_twoPasses.store(m_normalize != nullptr);

    auto* progress = new kyProgressIndicatorFilter();
    progress->setProgressHook([this](int32_t percent) {
        m_percent.store(percent, std::memory_order_relaxed);
        if (m_progressHook) m_progressHook(percent);
    });
    m_reader->InsertAfter(progress);
    std::lock_guard<std::mutex> lock(m_chainLock);
    m_progress = progress;
    if (m_cancel.load()) m_progress->Cancel();
    return KY_OK;
}

void kyFileConversion::setProgressHook(std::function<void(int32_t percent)> hook) {
    m_progressHook = std::move(hook);
}

void kyFileConversion::setSecondPassHook(std::function<void()> hook) {
    m_secondPassHook = std::move(hook);
}

void kyFileConversion::cancel() {
    m_cancel.store(true);
    std::lock_guard<std::mutex> lock(m_chainLock);
    if (m_progress) m_progress->Cancel();
}

double kyFileConversion::seconds() const {
    if (!m_source.sampleRate || m_source.lengthFrames == KY_NO_LENGTH) return 0.0;
    return static_cast<double>(m_source.lengthFrames) / m_source.sampleRate;
}

double kyFileConversion::fraction() const {
    const double pass = m_percent.load(std::memory_order_relaxed) / 100.0;
    if (!m_twoPasses.load()) return pass;
    return (m_secondPass.load(std::memory_order_relaxed) ? 1.0 + pass : pass) / 2.0;
}

kyError kyFileConversion::run() {
    if (!m_progress) return fail(KYERR_INVALID_PARAMETER, m_output);
    kyError e = m_cancel.load() ? KYERR_CANCELLED : KY_OK;
    if (kySucceeded(e) && m_normalize) {
        e = kyRunNormalizeAnalysis(*m_normalize, *m_progress, *m_writer);
        // One file is an album of its own: its album gain is its track gain.
        if (kySucceeded(e) && kyAlbumNormalization(m_settings)) {
            std::vector<kyGainAnalyzer*> analyzers(1, nullptr);
            float gain = 0.0f;
            e = m_normalize->GetAnalyzer(analyzers[0]);
            if (kySucceeded(e)) e = kyAlbumGain(analyzers, gain);
            if (kySucceeded(e)) m_normalize->SetAlbumGain(gain);
        }
        if (kySucceeded(e)) {
            m_percent.store(0, std::memory_order_relaxed);
            m_secondPass.store(true, std::memory_order_relaxed);
            if (m_secondPassHook) m_secondPassHook();
        }
    }
    if (kySucceeded(e)) e = m_writer->Run();
    if (kyFailed(e)) return fail(e, m_output); // removes the temporary file
    {
        // Closes the file before it is put in place.
        std::lock_guard<std::mutex> lock(m_chainLock);
        m_writer->DestroyChain();
        m_writer = nullptr;
        m_reader = nullptr;
        m_progress = nullptr;
        m_normalize = nullptr;
    }
    if (!m_pending.commit()) {
        e = KYERR_WRITE_FILE;
        kySetErrorReason(e, errno);
        return fail(e, m_output);
    }
    return KY_OK;
}

kyConversionBatch::kyConversionBatch(std::vector<std::unique_ptr<kyFileConversion>> files,
                                     const RipSettings& settings, kyConversionTarget target)
    : m_files(std::move(files)), m_slots(new Slot[m_files.size()]), m_settings(settings),
      m_target(std::move(target)) {
    // Weighed by size, so that the share done moves evenly over long and short files.
    double total = 0;
    for (const auto& f : m_files) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(f->input(), ec);
        m_weights.push_back(ec ? 1.0 : std::max(1.0, static_cast<double>(size)));
        total += m_weights.back();
    }
    for (double& w : m_weights) w /= total;
}

kyConversionBatch::~kyConversionBatch() {
    cancel();
    for (std::thread& t : m_threads) t.join();
}

void kyConversionBatch::start(unsigned threads) {
    threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(m_files.size())));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = m_files.empty() ? 0 : threads;
    }
    if (m_files.empty()) return;
    for (unsigned i = 0; i < threads; ++i) m_threads.emplace_back([this] { work(); });
}

bool kyConversionBatch::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_ended.wait_for(lock, timeout, [this] { return m_running == 0; });
}

void kyConversionBatch::cancel() {
    m_cancel.store(true);
    for (size_t i = 0; i < m_files.size(); ++i)
        if (m_slots[i].started.load()) m_files[i]->cancel();
}

size_t kyConversionBatch::finishedCount() const {
    size_t n = 0;
    for (size_t i = 0; i < m_files.size(); ++i) n += finished(i);
    return n;
}

double kyConversionBatch::fraction() const {
    double done = 0;
    for (size_t i = 0; i < m_files.size(); ++i) {
        if (finished(i))
            done += m_weights[i];
        else if (m_slots[i].started.load())
            done += m_weights[i] * m_files[i]->fraction();
    }
    return std::clamp(done, 0.0, 1.0);
}

void kyConversionBatch::work() {
    for (;;) {
        const size_t i = m_next.fetch_add(1);
        if (i >= m_files.size()) break;
        convert(i);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_running;
    }
    m_ended.notify_all();
}

void kyConversionBatch::convert(size_t i) {
    kyFileConversion& file = *m_files[i];
    Outcome& outcome = m_slots[i].outcome;
    kyError e = KYERR_CANCELLED;
    if (!m_cancel.load()) {
        // Seen by cancel() from here on; a cancel in between is caught by prepare and run.
        m_slots[i].started.store(true);
        if (m_cancel.load()) file.cancel();
        outcome.started = true;
        const auto begin = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(m_prepare);
            e = file.prepare(m_settings, m_target);
        }
        if (kySucceeded(e)) e = file.run();
        outcome.elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (kyFailed(e)) outcome.message = file.message();
    } else {
        outcome.message = kyErrorMessage(KYERR_CANCELLED);
    }
    outcome.error = e;
    m_slots[i].done.store(true, std::memory_order_release);
}
