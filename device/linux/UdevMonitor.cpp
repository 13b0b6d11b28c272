// Plug and unplug notices from udev, on the subsystems where the frame's
// units appear (its SCSI generic node and its CD-ROM block node). The monitor
// listens to udev's own netlink group, so a notice arrives after udev has
// created the node and applied its rules (the uaccess permission included).

#include "device/Discovery.h"

#ifdef KESTOVA_HAVE_UDEV
#include <libudev.h>

#include <fcntl.h>
#endif

namespace kestova {

#ifdef KESTOVA_HAVE_UDEV
namespace {

class UdevHotplugMonitor : public HotplugMonitor {
public:
    UdevHotplugMonitor(udev* u, udev_monitor* m) : udev_(u), monitor_(m) {}
    ~UdevHotplugMonitor() override {
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    UdevHotplugMonitor(const UdevHotplugMonitor&) = delete;
    UdevHotplugMonitor& operator=(const UdevHotplugMonitor&) = delete;

    int Fd() const override { return udev_monitor_get_fd(monitor_); }

    int Drain() override {
        int count = 0;
        // The descriptor is non-blocking: this returns null once the queue
        // is empty. A bound keeps a storm of notices from starving the loop.
        for (int i = 0; i < 1024; ++i) {
            udev_device* dev = udev_monitor_receive_device(monitor_);
            if (!dev) break;
            ++count;
            udev_device_unref(dev);
        }
        return count;
    }

private:
    udev* udev_;
    udev_monitor* monitor_;
};

} // namespace

std::unique_ptr<HotplugMonitor> MakeUdevHotplugMonitor(std::string* error) {
    udev* u = udev_new();
    if (!u) {
        if (error) *error = "udev cannot be opened";
        return nullptr;
    }
    udev_monitor* m = udev_monitor_new_from_netlink(u, "udev");
    if (!m) {
        if (error) *error = "the udev netlink socket cannot be opened";
        udev_unref(u);
        return nullptr;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(m, "scsi_generic", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(m, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(m) < 0) {
        if (error) *error = "the udev monitor cannot be started";
        udev_monitor_unref(m);
        udev_unref(u);
        return nullptr;
    }
    int fd = udev_monitor_get_fd(m);
    int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        if (error) *error = "the udev monitor socket cannot be made non-blocking";
        udev_monitor_unref(m);
        udev_unref(u);
        return nullptr;
    }
    return std::make_unique<UdevHotplugMonitor>(u, m);
}

#else

std::unique_ptr<HotplugMonitor> MakeUdevHotplugMonitor(std::string* error) {
    if (error) *error = "built without libudev";
    return nullptr;
}

#endif

} // namespace kestova
