#pragma once
// The batch runner's front end on a terminal: labels and status as lines, two progress
// bars redrawn in place, prompts answered on the terminal. Without a terminal it prints
// plain lines and takes the safe answer to every prompt (skip an existing file, do not
// abort the batch), saying so.
#include "job/batch_frontend.h"
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <string>

enum class OverwritePolicy { Ask, Replace, Skip };

class TerminalFrontend : public kyBatchFrontend {
public:
    // Progress and labels go to `out` (stderr, so that stdout can carry JSON).
    TerminalFrontend(FILE* out, bool interactive, OverwritePolicy policy);

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

    const std::string& lastStatus() const { return m_status; }

    // Set from the SIGINT handler: the batch stops like a cancel.
    static std::atomic<bool> interrupted;

private:
    void drawBars();
    void endBars();
    void line(const std::string& text);
    bool readAnswer(std::string& answer);

    FILE* m_out;
    bool m_interactive;
    OverwritePolicy m_policy;
    int m_file = -1;
    int m_batch = -1;
    bool m_barsShown = false;
    std::string m_track, m_fileLabel, m_status;
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
