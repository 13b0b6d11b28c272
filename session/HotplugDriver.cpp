// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/HotplugDriver.h"

#include "device/CommUSB.h"

#include <QSocketNotifier>
#include <QTimer>

namespace kestova::session {

HotplugDriver::HotplugDriver(CCommUSB& link, int pollCapMs, QObject* parent)
    : QObject(parent), link_(link), pollCapMs_(pollCapMs)
{
    const int fd = link_.HotplugFd();
    if (fd >= 0) {
        notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { Run(); });
    }
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] { Run(); });
}

HotplugDriver::~HotplugDriver() = default;

int HotplugDriver::NextDelayMs(int linkDelayMs, bool hasDescriptor, int pollCapMs)
{
    if (linkDelayMs < 0 && hasDescriptor)
        return -1;
    int delay = linkDelayMs < 0 ? CCommUSB::kPollIntervalMs : linkDelayMs;
    if (pollCapMs > 0 && delay > pollCapMs)
        delay = pollCapMs;
    return delay;
}

void HotplugDriver::Arm()
{
    const int delay = NextDelayMs(link_.HotplugTimeoutMs(), link_.HotplugFd() >= 0, pollCapMs_);
    if (delay < 0)
        timer_->stop();
    else
        timer_->start(delay);
}

void HotplugDriver::Run()
{
    link_.HandleHotplug();
    emit ran();
    Arm();
}

} // namespace kestova::session
