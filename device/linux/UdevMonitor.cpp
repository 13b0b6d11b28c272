// SPDX-License-Identifier: GPL-3.0-or-later
// Plug and unplug notices from udev, on the subsystems where the frame's
// units appear (its SCSI generic node and its CD-ROM block node). The monitor
// listens to udev's own netlink group, so a notice arrives after udev has
// created the node and applied its rules (the uaccess permission included).
//
// The descriptor handed to the program is an epoll set holding the udev
// socket and an eventfd: the link uses the eventfd to have its handler run
// once more (after a loss, to scan for a frame whose arrival notices were
// already drained together with the loss).

#include "device/linux/LinuxDiscovery.h"

#ifdef KESTOVA_HAVE_UDEV
#include <libudev.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace kestova {

#ifdef KESTOVA_HAVE_UDEV
namespace {

class UdevHotplugMonitor : public HotplugMonitor {
public:
    UdevHotplugMonitor(udev* u, udev_monitor* m, int epollFd, int wakeFd)
        : udev_(u), monitor_(m), epollFd_(epollFd), wakeFd_(wakeFd) {}
    ~UdevHotplugMonitor() override {
        close(epollFd_);
        close(wakeFd_);
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    UdevHotplugMonitor(const UdevHotplugMonitor&) = delete;
    UdevHotplugMonitor& operator=(const UdevHotplugMonitor&) = delete;

    int Fd() const override { return epollFd_; }

    int Drain() override {
        uint64_t wakes = 0;
        while (read(wakeFd_, &wakes, sizeof wakes) > 0) {
        }
        int count = 0;
        // The socket is non-blocking: this returns null once the queue is
        // empty. A bound keeps a storm of notices from starving the loop.
        for (int i = 0; i < 1024; ++i) {
            udev_device* dev = udev_monitor_receive_device(monitor_);
            if (!dev) break;
            ++count;
            udev_device_unref(dev);
        }
        return count;
    }

    bool Wake() override {
        const uint64_t one = 1;
        return write(wakeFd_, &one, sizeof one) == ssize_t(sizeof one);
    }

private:
    udev* udev_;
    udev_monitor* monitor_;
    int epollFd_;
    int wakeFd_;
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
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    bool ok = epollFd >= 0 && wakeFd >= 0;
    if (ok) {
        ev.data.fd = fd;
        ok = epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    if (ok) {
        ev.data.fd = wakeFd;
        ok = epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev) == 0;
    }
    if (!ok) {
        if (error) *error = "the udev monitor cannot be put into an epoll set";
        if (epollFd >= 0) close(epollFd);
        if (wakeFd >= 0) close(wakeFd);
        udev_monitor_unref(m);
        udev_unref(u);
        return nullptr;
    }
    return std::make_unique<UdevHotplugMonitor>(u, m, epollFd, wakeFd);
}

#else

std::unique_ptr<HotplugMonitor> MakeUdevHotplugMonitor(std::string* error) {
    if (error) *error = "built without libudev";
    return nullptr;
}

#endif

} // namespace kestova
