#include "cli/terminal_frontend.h"
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

std::atomic<bool> TerminalFrontend::interrupted{false};

namespace {
// A terminal is redrawn at most this often.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// "LBA 12345 (2:44.45)": the sector and its place on the disc.
std::string positionText(uint32_t lba) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "LBA %u (%u:%02u.%02u)", lba, lba / 4500, lba / 75 % 60,
                  lba % 75);
    return buf;
}

std::string plural(unsigned n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}
} // namespace

std::string kyButtonText(std::string_view text, char* key) {
    std::string out;
    if (key) *key = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '&') {
            out += '&';
            ++i;
        } else if (i + 1 < text.size() && key && !*key) {
            *key = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + 1])));
        }
    }
    return out;
}

std::string kyClockText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    const auto whole = static_cast<long long>(seconds + 0.5);
    char buf[32];
    if (whole >= 3600)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld", whole / 60, whole % 60);
    return buf;
}

TerminalFrontend::TerminalFrontend(FILE* out, bool interactive, OverwritePolicy policy,
                                   Verbosity verbosity)
    : m_out(out), m_interactive(interactive), m_policy(policy), m_verbosity(verbosity) {}

void TerminalFrontend::line(const std::string& text) {
    endProgress();
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
}

void TerminalFrontend::note(const std::string& text) {
    if (m_verbosity != Verbosity::Quiet) line(text);
}

void TerminalFrontend::endProgress() {
    if (m_progressShown) {
        std::fputs("\r\033[K", m_out);
        m_progressShown = false;
    }
}

size_t TerminalFrontend::terminalWidth() const {
    winsize ws{};
    if (ioctl(fileno(m_out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        const long n = std::atol(columns);
        if (n > 0) return static_cast<size_t>(n);
    }
    return 80;
}

double TerminalFrontend::fileAudioDone() const {
    return m_fileSeconds * std::clamp(m_file, 0, 100) / 100.0;
}

void TerminalFrontend::drawProgress(bool force) {
    if (!m_interactive || m_verbosity == Verbosity::Quiet) return;
    const auto now = Clock::now();
    if (!force && m_progressShown && now - m_lastDraw < kRedrawInterval) return;
    m_lastDraw = now;

    // Speed from the audio read so far; nothing to say before a moment has passed.
    std::string fileText = std::to_string(std::clamp(m_file, 0, 100)) + "%";
    std::string batchText = std::to_string(std::clamp(m_batch, 0, 100)) + "%";
    if (m_timing) {
        const double elapsed = std::chrono::duration<double>(now - m_fileStart).count();
        const double done = fileAudioDone();
        if (elapsed > 0.2 && done > 0) {
            const double speed = done / elapsed;
            char buf[32];
            std::snprintf(buf, sizeof buf, " %.1fx", speed);
            fileText += buf;
            fileText += " " + kyClockText((m_fileSeconds - done) / speed) + " left";
            const double batchSpeed = (m_doneAudio + done) / (m_doneTime + elapsed);
            const double batchLeft = m_batchTotal - m_batchBefore - done;
            if (batchSpeed > 0) batchText += " " + kyClockText(batchLeft / batchSpeed) + " left";
        }
    }
    std::string counts;
    if (m_rereads || m_errors)
        counts = "  " + plural(m_rereads, "re-read") + ", " + plural(m_errors, "read error");

    // Bars share what room the texts leave.
    const size_t width = terminalWidth();
    const size_t fixed = std::string("file [] ").size() + fileText.size() +
                         std::string("   batch [] ").size() + batchText.size() + counts.size();
    const size_t room = width > fixed + 1 ? width - fixed - 1 : 0;
    const size_t barWidth = std::min<size_t>(room / 2, 24);
    auto bar = [barWidth](int p) {
        if (barWidth < 4) return std::string();
        const size_t filled = static_cast<size_t>(std::clamp(p, 0, 100)) * barWidth / 100;
        return "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "] ";
    };
    std::string text =
        "file " + bar(m_file) + fileText + "   batch " + bar(m_batch) + batchText + counts;
    if (text.size() >= width) text.resize(width > 1 ? width - 1 : 0); // never wrap
    std::fprintf(m_out, "\r\033[K%s", text.c_str());
    std::fflush(m_out);
    m_progressShown = true;
}

void TerminalFrontend::setTrackLabel(const std::string& text) {
    if (text == m_track) return;
    m_track = text;
    if (!text.empty()) note(text);
}

void TerminalFrontend::setFileLabel(const std::string& text) {
    if (text == m_fileLabel) return;
    m_fileLabel = text;
    // The end texts ("  Done!") go to both labels: show them once.
    if (!text.empty() && text != m_track) note("  " + text);
}

void TerminalFrontend::setStatus(const std::string& text) {
    if (text == m_status) return;
    m_status = text;
    if (!text.empty()) note(text);
}

void TerminalFrontend::setFileProgress(int percent) {
    if (percent == m_file) return;
    m_file = percent;
    drawProgress(percent == 0 || percent == 100);
}

void TerminalFrontend::setBatchProgress(int percent) {
    if (percent == m_batch) return;
    m_batch = percent;
    drawProgress(false);
}

void TerminalFrontend::setTitle(const std::string& text) {
    note(text);
}

void TerminalFrontend::setAudioLengths(double file, double batchBefore, double batchTotal) {
    m_fileSeconds = file;
    m_batchBefore = batchBefore;
    m_batchTotal = batchTotal;
    m_fileStart = Clock::now();
    m_timing = true;
    m_fileRereads = m_fileErrors = 0;
}

void TerminalFrontend::fileFinished(kyError result) {
    if (!m_timing) return; // skipped, or failed before reading
    m_timing = false;
    const double elapsed = std::chrono::duration<double>(Clock::now() - m_fileStart).count();
    const double audio = result == KY_OK ? m_fileSeconds : fileAudioDone();
    m_doneAudio += audio;
    m_doneTime += elapsed;
    if (result != KY_OK || m_verbosity == Verbosity::Quiet) return;
    // The file's own line: the speed it was read at, and what it took.
    char buf[160];
    std::snprintf(
        buf, sizeof buf, "  %s of audio in %.1f s (%.1fx realtime), %s, %s",
        kyClockText(m_fileSeconds).c_str(), elapsed, elapsed > 0 ? m_fileSeconds / elapsed : 0.0,
        plural(m_fileRereads, "re-read").c_str(), plural(m_fileErrors, "read error").c_str());
    line(buf);
}

void TerminalFrontend::readEvent(const kyDskReader::ReadEvent& event) {
    using Kind = kyDskReader::ReadEvent::Kind;
    std::string text;
    switch (event.kind) {
    case Kind::Retry:
        ++m_fileErrors;
        ++m_errors;
        if (m_verbosity == Verbosity::Verbose)
            text = "  read error at " + positionText(event.lba) + ", " +
                   std::to_string(event.sectors) + " sectors: retry " + std::to_string(event.count);
        break;
    case Kind::Reread:
        ++m_fileRereads;
        ++m_rereads;
        if (m_verbosity == Verbosity::Verbose)
            text = "  re-read at " + positionText(event.lba) + ", " +
                   std::to_string(event.sectors) + " sectors: read " +
                   std::to_string(event.count + 1);
        break;
    case Kind::Unreadable:
        if (m_verbosity != Verbosity::Quiet)
            text = "  could not read " + std::to_string(event.sectors) + " sectors at " +
                   positionText(event.lba) + " in " + std::to_string(event.count) + " attempts";
        break;
    }
    if (!text.empty())
        line(text);
    else
        drawProgress(false);
}

bool TerminalFrontend::readAnswer(std::string& answer) {
    endProgress();
    std::fflush(m_out);
    if (!std::getline(std::cin, answer)) return false;
    return true;
}

int TerminalFrontend::ask(const std::string& text, const std::string& caption,
                          const std::vector<kyPromptButton>& buttons) {
    const bool overwrite = std::any_of(buttons.begin(), buttons.end(), [](const kyPromptButton& b) {
        return kyButtonText(b.text).rfind("Skip", 0) == 0;
    });
    if (overwrite && m_policy != OverwritePolicy::Ask) {
        const char* want = m_policy == OverwritePolicy::Skip ? "Skip" : "Replace it";
        for (const auto& b : buttons)
            if (kyButtonText(b.text).rfind(want, 0) == 0) return b.code;
    }
    if (!m_interactive) {
        const int code = kySafeAnswer(buttons);
        std::string chosen;
        for (const auto& b : buttons)
            if (b.code == code) chosen = kyButtonText(b.text);
        endProgress();
        std::fprintf(m_out, "%s: %s\n  (no terminal to ask: answering \"%s\")\n", caption.c_str(),
                     text.c_str(), chosen.c_str());
        std::fflush(m_out);
        return code;
    }
    for (;;) {
        endProgress();
        std::fprintf(m_out, "%s\n%s\n", caption.c_str(), text.c_str());
        for (size_t i = 0; i < buttons.size(); ++i)
            std::fprintf(m_out, "  %zu) %s\n", i + 1, kyButtonText(buttons[i].text).c_str());
        std::fprintf(m_out, "Choose 1-%zu: ", buttons.size());
        std::string answer;
        if (!readAnswer(answer) || interrupted) return kySafeAnswer(buttons);
        try {
            const size_t n = std::stoul(answer);
            if (n >= 1 && n <= buttons.size()) return buttons[n - 1].code;
        } catch (...) {
        }
        for (const auto& b : buttons) { // the button's text or its accelerator key answers too
            char key = 0;
            const std::string shown = kyButtonText(b.text, &key);
            if (strcasecmp(answer.c_str(), shown.c_str()) == 0) return b.code;
            if (key && answer.size() == 1 &&
                std::tolower(static_cast<unsigned char>(answer[0])) == key)
                return b.code;
        }
    }
}

bool TerminalFrontend::askFileName(const std::string& title, std::string& path) {
    if (!m_interactive) return false;
    endProgress();
    std::fprintf(m_out, "%s [%s]: ", title.c_str(), path.c_str());
    std::string answer;
    if (!readAnswer(answer) || interrupted || answer.empty()) return false;
    path = answer;
    return true;
}

void TerminalFrontend::showError(kyError code, const std::string& caption,
                                 const std::string& detail) {
    endProgress();
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
