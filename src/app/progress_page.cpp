#include "app/progress_page.h"

bool BatchSession::start() {
    if (m_running) return false;
    m_running = true;
    return true;
}

bool BatchSession::finish() {
    m_running = false;
    return m_quit;
}

bool BatchSession::quitRequest() {
    if (!m_running) return true;
    m_quit = true;
    return false;
}

bool BatchSession::deviceNotice() {
    if (!m_running) return true;
    m_deferred = true;
    return false;
}

bool BatchSession::lookupRequest() {
    return deviceNotice();
}

bool BatchSession::takeDeferred() {
    const bool deferred = m_deferred;
    m_deferred = false;
    return deferred;
}
