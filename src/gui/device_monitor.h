#pragma once
// Tells the track page when a disc may have come or gone: udev's notices for the optical
// drives' block devices, or, where udev does not run (containers, some minimal systems),
// a look at the selected drive's readiness every 2 seconds.
#include <QObject>
#include <QTimer>

#include <functional>

struct udev;
struct udev_monitor;
class QSocketNotifier;

class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    // `ready` answers whether the selected drive has a disc ready (for the poll).
    // `useUdev` false forces the poll.
    DeviceMonitor(std::function<bool()> ready, bool useUdev, QObject* parent = nullptr);
    ~DeviceMonitor() override;

    bool usesUdev() const { return m_monitor != nullptr; }
    // While paused (a batch runs) the drive is not asked and notices wait.
    void setPaused(bool paused);
    // Polls even with udev (virtual drives send no udev notices).
    void setPolling(bool on);
    static constexpr int kPollMs = 2000;

signals:
    void deviceChanged();

private:
    void readUdev();
    void poll();

    std::function<bool()> m_ready;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_timer;
    bool m_paused = false;
    bool m_lastReady = false;
    bool m_known = false;
};
