#pragma once
// The batch runner's front end on a terminal: labels and status as lines; a progress
// line redrawn in place at most ten times a second, with the speed (× real time), the
// time left for the file and the batch, and the re-reads and read errors so far; prompts
// answered on the terminal. Without a terminal it prints plain lines, one more per file
// with its speed, and takes the safe answer to every prompt (skip an existing file, do
// not abort the batch), saying so.
#include "cd/dsk_reader.h"
#include "job/batch_frontend.h"
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

enum class OverwritePolicy { Ask, Replace, Skip };
enum class Verbosity { Quiet, Normal, Verbose };

class TerminalFrontend : public kyBatchFrontend {
public:
    // Progress and labels go to `out` (stderr, so that stdout can carry JSON).
    TerminalFrontend(FILE* out, bool interactive, OverwritePolicy policy,
                     Verbosity verbosity = Verbosity::Normal);

    void setTrackLabel(const std::string& text) override;
    void setFileLabel(const std::string& text) override;
    void setStatus(const std::string& text) override;
    void setFileProgress(int percent) override;
    void setBatchProgress(int percent) override;
    void setTitle(const std::string& text) override;
    void setBusy(bool) override {}
    int ask(const std::string& text, const std::string& caption,
            const std::vector<kyPromptButton>& buttons) override;
    bool askFileName(const std::string& title, std::string& path) override;
    void showError(kyError code, const std::string& caption,
                   const std::string& detail = {}) override;
    bool pumpEvents() override;
    void setAudioLengths(double file, double batchBefore, double batchTotal) override;
    void fileFinished(kyError result) override;

    // What the CD source ran into while reading (its read observer).
    void readEvent(const kyDskReader::ReadEvent& event);
    // A line of its own, unless quiet (verbose notes such as skipped drives).
    void note(const std::string& text);

    const std::string& lastStatus() const { return m_status; }

    // Set from the SIGINT handler: the batch stops like a cancel.
    static std::atomic<bool> interrupted;

private:
    using Clock = std::chrono::steady_clock;

    void drawProgress(bool force);
    void endProgress();
    void line(const std::string& text);
    bool readAnswer(std::string& answer);
    size_t terminalWidth() const;
    // Seconds of audio of the current file done so far.
    double fileAudioDone() const;

    FILE* m_out;
    bool m_interactive;
    OverwritePolicy m_policy;
    Verbosity m_verbosity;
    int m_file = -1;
    int m_batch = -1;
    bool m_progressShown = false;
    std::string m_track, m_fileLabel, m_status;

    // Speed and time left.
    bool m_timing = false; // a file is being read
    Clock::time_point m_fileStart, m_lastDraw;
    double m_fileSeconds = 0;               // audio in the current file
    double m_batchBefore = 0;               // audio in the files before it
    double m_batchTotal = 0;                // audio in the whole batch
    double m_doneAudio = 0, m_doneTime = 0; // audio read and time spent on earlier files
    // Re-reads and failed reads: of the current file, and of the batch.
    unsigned m_fileRereads = 0, m_fileErrors = 0;
    unsigned m_rereads = 0, m_errors = 0;
};


// Ctrl-C while it lives asks the work to stop (TerminalFrontend::interrupted), and so do
// SIGTERM and SIGHUP (a closed terminal, a shutdown): the file being written is dropped and
// any earlier one of its name stays. A second signal of the same kind ends the program at
// once.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction m_old[std::size(kSignals)]{};
};
// A button text as shown on a terminal: "&Yes" -> "Yes" ("&&" stands for "&"); the
// character after a single "&" (its accelerator key) in `key`, when given.
std::string kyButtonText(std::string_view text, char* key = nullptr);

// "m:ss", or "h:mm:ss" from an hour on.
std::string kyClockText(double seconds);
