#include "gui/task_bar_progress.h"

#include <QDBusMessage>
#include <QVariantMap>

std::unique_ptr<mdTaskBarProgress> mdTaskBarProgress::create() {
    return create(QDBusConnection::sessionBus());
}

std::unique_ptr<mdTaskBarProgress> mdTaskBarProgress::create(const QDBusConnection& bus) {
    if (!bus.isConnected()) return nullptr;
    std::unique_ptr<mdTaskBarProgress> p(new mdTaskBarProgress(bus));
    p->SetState(Indeterminate);
    return p;
}

mdTaskBarProgress::~mdTaskBarProgress() {
    SetState(NoProgress);
}

void mdTaskBarProgress::SetValue(uint64_t value, uint64_t total) {
    m_progress = total ? static_cast<double>(std::min(value, total)) / static_cast<double>(total)
                       : 0.0;
    SetState(Normal);
}

void mdTaskBarProgress::SetState(State state) {
    m_state = state;
    send();
}

void mdTaskBarProgress::send() {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/com/canonical/unity/launcherentry/dskr"), kInterface, "Update");
    QVariantMap properties;
    properties["progress"] = m_state == Indeterminate ? 0.0 : m_progress;
    properties["progress-visible"] = m_state != NoProgress;
    properties["urgent"] = m_state == Error;
    signal << QString(kApplication) << properties;
    m_bus.send(signal);
}
