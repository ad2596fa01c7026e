#include "cli/terminal_frontend.h"
#include <algorithm>
#include <iostream>
#include <strings.h>
#include <unistd.h>

std::atomic<bool> TerminalFrontend::interrupted{false};

TerminalFrontend::TerminalFrontend(FILE* out, bool interactive, OverwritePolicy policy)
    : m_out(out), m_interactive(interactive), m_policy(policy) {}

void TerminalFrontend::line(const std::string& text) {
    endBars();
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
}

void TerminalFrontend::endBars() {
    if (m_barsShown) {
        std::fputs("\r\033[K", m_out);
        m_barsShown = false;
    }
}

void TerminalFrontend::drawBars() {
    if (!m_interactive) return;
    auto bar = [](int p) {
        const int width = 24;
        p = std::clamp(p, 0, 100);
        const int filled = p * width / 100;
        return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
               std::to_string(p) + "%";
    };
    std::fprintf(m_out, "\r\033[Kfile %s   batch %s", bar(std::max(m_file, 0)).c_str(),
                 bar(std::max(m_batch, 0)).c_str());
    std::fflush(m_out);
    m_barsShown = true;
}

void TerminalFrontend::setTrackLabel(const std::string& text) {
    if (text == m_track) return;
    m_track = text;
    if (!text.empty()) line(text);
}

void TerminalFrontend::setFileLabel(const std::string& text) {
    if (text == m_fileLabel) return;
    m_fileLabel = text;
    // The end texts ("  Done!") go to both labels: show them once.
    if (!text.empty() && text != m_track) line("  " + text);
}

void TerminalFrontend::setStatus(const std::string& text) {
    if (text == m_status) return;
    m_status = text;
    if (!text.empty()) line(text);
}

void TerminalFrontend::setFileProgress(int percent) {
    if (percent == m_file) return;
    m_file = percent;
    drawBars();
}

void TerminalFrontend::setBatchProgress(int percent) {
    if (percent == m_batch) return;
    m_batch = percent;
    drawBars();
}

void TerminalFrontend::setTitle(const std::string& text) {
    line(text);
}

bool TerminalFrontend::readAnswer(std::string& answer) {
    endBars();
    std::fflush(m_out);
    if (!std::getline(std::cin, answer)) return false;
    return true;
}

int TerminalFrontend::ask(const std::string& text, const std::string& caption,
                          const std::vector<kyPromptButton>& buttons) {
    const bool overwrite = std::any_of(buttons.begin(), buttons.end(), [](const kyPromptButton& b) {
        return b.text.rfind("Skip", 0) == 0;
    });
    if (overwrite && m_policy != OverwritePolicy::Ask) {
        const char* want = m_policy == OverwritePolicy::Skip ? "Skip" : "Replace it";
        for (const auto& b : buttons)
            if (b.text.rfind(want, 0) == 0) return b.code;
    }
    if (!m_interactive) {
        const int code = kySafeAnswer(buttons);
        std::string chosen;
        for (const auto& b : buttons)
            if (b.code == code) chosen = b.text;
        endBars();
        std::fprintf(m_out, "%s: %s\n  (no terminal to ask: answering \"%s\")\n", caption.c_str(),
                     text.c_str(), chosen.c_str());
        std::fflush(m_out);
        return code;
    }
    for (;;) {
        endBars();
        std::fprintf(m_out, "%s\n%s\n", caption.c_str(), text.c_str());
        for (size_t i = 0; i < buttons.size(); ++i)
            std::fprintf(m_out, "  %zu) %s\n", i + 1, buttons[i].text.c_str());
        std::fprintf(m_out, "Choose 1-%zu: ", buttons.size());
        std::string answer;
        if (!readAnswer(answer) || interrupted) return kySafeAnswer(buttons);
        try {
            const size_t n = std::stoul(answer);
            if (n >= 1 && n <= buttons.size()) return buttons[n - 1].code;
        } catch (...) {
        }
        for (const auto& b : buttons) // the button's own text answers too
            if (strcasecmp(answer.c_str(), b.text.c_str()) == 0) return b.code;
    }
}

bool TerminalFrontend::askFileName(const std::string& title, std::string& path) {
    if (!m_interactive) return false;
    endBars();
    std::fprintf(m_out, "%s [%s]: ", title.c_str(), path.c_str());
    std::string answer;
    if (!readAnswer(answer) || interrupted || answer.empty()) return false;
    path = answer;
    return true;
}

void TerminalFrontend::showError(kyError code, const std::string& caption,
                                 const std::string& detail) {
    endBars();
    if (code == KYERR_MISSING_COMPONENT) {
        // The codec library of the format is not installed: say which, and what to do.
        const std::string missing = kyErrorText(code);
        std::fprintf(m_out,
                     "%s: %s.\nWriting to this file format requires that you install a free "
                     "external third-party 'add-on'.\n'dskr-cli formats' names the library "
                     "each format needs.\n",
                     caption.c_str(), missing.c_str());
        std::fflush(m_out);
        return;
    }
    if (detail.empty())
        std::fprintf(m_out, "%s: %s\n", caption.c_str(), kyErrorText(code).c_str());
    else
        std::fprintf(m_out, "%s: %s: %s\n", caption.c_str(), kyErrorText(code).c_str(),
                     detail.c_str());
    std::fflush(m_out);
}

bool TerminalFrontend::pumpEvents() {
    return !interrupted.load();
}

namespace {
void onInterrupt(int) {
    TerminalFrontend::interrupted = true;
}
} // namespace

InterruptGuard::InterruptGuard() {
    TerminalFrontend::interrupted = false;
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &sa, &m_old[i]);
}

InterruptGuard::~InterruptGuard() {
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &m_old[i], nullptr);
}
