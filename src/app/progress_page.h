#pragma once
// The progress page without its widgets: what may happen while a batch runs. The batch
// runs on the window's thread and lets window events through after each block, so every
// request that reaches the window meanwhile is decided here: cancelling (from Cancel,
// Back, the close box, Escape or Finish) asks first; a second start is refused; device
// notices and look-ups wait for the end of the batch; a request to quit the program stops
// the batch and is carried out when it has ended.
#include <string>

inline constexpr const char* kProgressTitle = "Reading and Converting";
inline constexpr const char* kCancelQuestion = "Are you sure you want to cancel the ongoing batch?";
inline constexpr const char* kCancelling = "Cancelling, please wait...";

class BatchSession {
public:
    // A request to leave the page or end the program.
    enum class Leave {
        Allowed, // no batch runs: go ahead
        Ask,     // a batch runs: ask kCancelQuestion first (Yes cancels it)
    };

    bool running() const { return m_running; }
    // False when a batch already runs (a second start does nothing).
    bool start();
    // The batch has ended. True when a quit request waits to be carried out.
    bool finish();

    Leave leaveRequest() const { return m_running ? Leave::Ask : Leave::Allowed; }

    // The program was asked to quit (a session ending, a signal): while a batch runs it is
    // remembered, and the batch told to stop. True when it may quit at once.
    bool quitRequest();
    bool quitPending() const { return m_quit; }

    // A device notice or a look-up request: true when it may be handled now, otherwise it
    // is kept for takeDeferred().
    bool deviceNotice();
    bool lookupRequest();
    // After the batch: whether anything was kept (one look-up serves every kept notice).
    bool takeDeferred();

private:
    bool m_running = false;
    bool m_quit = false;
    bool m_deferred = false;
};
