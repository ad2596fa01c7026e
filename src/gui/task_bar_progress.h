#pragma once
// Task-bar progress over D-Bus: the launcher-entry signal that docks and task bars
// (GNOME's Dash to Dock, KDE Plasma, Unity, ...) turn into a bar on the program's button.
// Without a session bus there is no object (the batch shows its progress in the window
// only).
#include "app/task_bar_progress.h"

#include <QDBusConnection>
#include <QString>
#include <memory>

class mdTaskBarProgress : public ImdTaskBarProgress {
public:
    // Null when no session bus can be reached.
    static std::unique_ptr<mdTaskBarProgress> create();
    // Over a given connection (tests start a bus of their own).
    static std::unique_ptr<mdTaskBarProgress> create(const QDBusConnection& bus);
    ~mdTaskBarProgress() override;

    void SetValue(uint64_t value, uint64_t total) override;
    void SetState(State state) override;

    static constexpr const char* kInterface = "com.canonical.Unity.LauncherEntry";
    static constexpr const char* kApplication = "application://dskr.desktop";

private:
    explicit mdTaskBarProgress(const QDBusConnection& bus) : m_bus(bus) {}
    void send();
    QDBusConnection m_bus;
    double m_progress = 0;
    State m_state = NoProgress;
};
