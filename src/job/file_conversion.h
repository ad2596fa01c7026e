#pragma once
// Converting audio files: one file read by its reader and written by another format's
// writer, with the processing the settings ask for; and many such files converted at once
// on several threads.
//
// Each output is written under a temporary name beside it (kyPendingFile) and put in
// place only when complete, so that a failed or cancelled conversion leaves any earlier
// file of that name as it was and no partial file.
#include "app/rip_settings.h"
#include "core/audio_format.h"
#include "core/error.h"
#include "job/output_file.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class kyReaderFilter;
class kyWriterFilter;
class kyProgressIndicatorFilter;
class kyNormalizeFilter;

// What every conversion of a run writes.
struct kyConversionTarget {
    int32_t format = -1;   // the catalogue's writer format
    std::string subformat; // may be empty
    uint32_t channels = 0; // 0: the input's count within the format's limits
};

class kyFileConversion {
public:
    kyFileConversion(std::string input, std::string output);
    ~kyFileConversion(); // destroys the chain and removes an uncommitted temporary file
    kyFileConversion(const kyFileConversion&) = delete;
    kyFileConversion& operator=(const kyFileConversion&) = delete;

    // Opens the input, makes the temporary file beside the output (its folder must exist)
    // and connects reader, processing stages and writer. On failure message() says why.
    kyError prepare(const RipSettings& settings, const kyConversionTarget& target);

    // Called on the running thread: with the percentage (0..100) of the pass, and when
    // the second pass of a normalisation begins.
    void setProgressHook(std::function<void(int32_t percent)> hook);
    void setSecondPassHook(std::function<void()> hook);

    // Runs the prepared conversion: the normalisation's analysis first where asked, then
    // the conversion; puts the file in place when it is complete, else removes the
    // temporary file. On failure message() says why.
    kyError run();
    // Safe from any thread, also before run(): the conversion stops at its next block
    // with "Operation cancelled".
    void cancel();

    const std::string& input() const { return m_input; }
    const std::string& output() const { return m_output; }
    // The input's format, once prepared.
    const kyAudioFormat& source() const { return m_source; }
    // Seconds of audio in the input (0 when its length is not known).
    double seconds() const;
    // The audio is read twice: analysed for a normalisation, then converted.
    bool twoPasses() const { return m_twoPasses.load(); }
    // The share of the conversion done, 0..1 (both passes of a normalisation counted).
    double fraction() const;
    // Why it failed: the error's text with its reason, as seen on the failing thread, and
    // the file it concerns (the input when it could not be read, else the output).
    const std::string& message() const { return m_message; }
    const std::string& subject() const { return m_subject; }

private:
    kyError fail(kyError e, const std::string& subject);
    // Destroys the chain and removes the temporary file unless it was put in place.
    void release();

    std::string m_input, m_output;
    RipSettings m_settings;
    kyPendingFile m_pending;
    kyReaderFilter* m_reader = nullptr; // owned until connected
    kyWriterFilter* m_writer = nullptr; // owns the chain once connected
    kyProgressIndicatorFilter* m_progress = nullptr;
    bool m_connected = false;
    kyNormalizeFilter* m_normalize = nullptr; // in the chain, when normalising
    kyAudioFormat m_source;
    std::atomic<bool> m_cancel{false};
    std::atomic<int32_t> m_percent{0};
    std::atomic<bool> m_twoPasses{false}, m_secondPass{false};
    std::function<void(int32_t)> m_progressHook;
    std::function<void()> m_secondPassHook;
    std::string m_message, m_subject;
    std::mutex m_chainLock; // m_progress against cancel() from another thread
};

// Many conversions, at most `threads` at once, each started in list order as a thread
// becomes free. One that fails fails alone. cancel() stops those running at their next
// block and starts no more; the ones never started end "Operation cancelled" too.
class kyConversionBatch {
public:
    struct Outcome {
        kyError error = KY_OK;
        std::string message; // on failure
        bool started = false;
        double elapsed = 0; // seconds spent converting
    };

    // Takes the conversions, not yet prepared: each is prepared by the thread that runs
    // it, one at a time (opening codec libraries is not done on two threads at once).
    kyConversionBatch(std::vector<std::unique_ptr<kyFileConversion>> files,
                      const RipSettings& settings, kyConversionTarget target);
    ~kyConversionBatch(); // cancels and waits for the threads

    // Starts the threads and returns at once.
    void start(unsigned threads);
    // Waits until every conversion has ended; false when `timeout` passed first.
    bool wait(std::chrono::milliseconds timeout);
    void cancel();

    size_t size() const { return m_files.size(); }
    const kyFileConversion& file(size_t i) const { return *m_files[i]; }
    // Read once file i has ended (finished(i)).
    bool finished(size_t i) const { return m_slots[i].done.load(std::memory_order_acquire); }
    bool started(size_t i) const { return m_slots[i].started.load(); }
    const Outcome& outcome(size_t i) const { return m_slots[i].outcome; }
    size_t finishedCount() const;
    // The share of the work done, 0..1, each file weighed by its size.
    double fraction() const;

private:
    struct Slot {
        std::atomic<bool> started{false};
        std::atomic<bool> done{false};
        Outcome outcome;
    };
    void work();
    void convert(size_t i);

    std::vector<std::unique_ptr<kyFileConversion>> m_files;
    std::unique_ptr<Slot[]> m_slots;
    std::vector<double> m_weights; // the inputs' sizes, as shares of their sum
    RipSettings m_settings;
    kyConversionTarget m_target;
    std::vector<std::thread> m_threads;
    std::atomic<size_t> m_next{0};
    std::atomic<bool> m_cancel{false};
    std::mutex m_prepare; // one prepare at a time
    std::mutex m_mutex;
    std::condition_variable m_ended;
    size_t m_running = 0; // threads not yet ended, under m_mutex
};
