#include "gui/device_monitor.h"

#include <QSocketNotifier>
#include <cstring>
#include <libudev.h>
#include <sys/stat.h>

namespace {
// udev's daemon leaves its control socket here while it runs; without it no notice would
// ever arrive.
bool udevRunning() {
    struct stat st {};
    return ::stat("/run/udev/control", &st) == 0;
}
} // namespace

DeviceMonitor::DeviceMonitor(std::function<bool()> ready, bool useUdev, QObject* parent)
    : QObject(parent), m_ready(std::move(ready)) {
    if (useUdev && udevRunning()) {
        m_udev = udev_new();
        if (m_udev) m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (m_monitor &&
            (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", "disk") < 0 ||
             udev_monitor_enable_receiving(m_monitor) < 0)) {
            udev_monitor_unref(m_monitor);
            m_monitor = nullptr;
        }
        if (m_monitor) {
            m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor),
                                             QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, &DeviceMonitor::readUdev);
        }
    }
    m_timer.setInterval(kPollMs);
    connect(&m_timer, &QTimer::timeout, this, &DeviceMonitor::poll);
    if (!m_monitor) m_timer.start();
}

DeviceMonitor::~DeviceMonitor() {
    if (m_monitor) udev_monitor_unref(m_monitor);
    if (m_udev) udev_unref(m_udev);
}

void DeviceMonitor::setPaused(bool paused) {
    m_paused = paused;
    if (!paused) m_known = false; // the drive may have changed meanwhile
}

void DeviceMonitor::setPolling(bool on) {
    if (on || !m_monitor)
        m_timer.start();
    else
        m_timer.stop();
}

void DeviceMonitor::readUdev() {
    bool optical = false;
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        const char* cdrom = udev_device_get_property_value(device, "ID_CDROM");
        const char* node = udev_device_get_devnode(device);
        if ((cdrom && std::strcmp(cdrom, "1") == 0) ||
            (node && std::strncmp(node, "/dev/sr", 7) == 0))
            optical = true;
        udev_device_unref(device);
    }
    if (optical) emit deviceChanged();
}

void DeviceMonitor::poll() {
    if (m_paused || !m_ready) return;
    const bool ready = m_ready();
    if (m_known && ready != m_lastReady) emit deviceChanged();
    m_known = true;
    m_lastReady = ready;
}
