// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Runs a link's discovery from the Qt event loop: the link's descriptor (when
// it has one) and a single-shot timer both lead to HandleHotplug, and after
// every run the timer is set again from the delay the link asks for then (a
// poll where udev is missing, a quick follow-up right after a loss, none when
// the descriptor is enough). Each program shows the outcome its own way from
// `ran`.
//
//     link.InitComm();
//     auto* driver = new HotplugDriver(link, options.pollIntervalMs);
//     connect(driver, &HotplugDriver::ran, this, &Window::ShowFrameInUse);
//     driver->Arm();   // now, or once the window is ready to follow the frame

#include <QObject>

namespace kestova {
class CCommUSB;
}

class QSocketNotifier;
class QTimer;

namespace kestova::session {

class HotplugDriver : public QObject {
    Q_OBJECT
public:
    // `link` must outlive the driver and have run InitComm (its descriptor is
    // taken here). `pollCapMs` > 0 caps every wait (tests poll faster than a
    // person needs); 0 keeps the link's own delays.
    explicit HotplugDriver(CCommUSB& link, int pollCapMs = 0, QObject* parent = nullptr);
    ~HotplugDriver() override;

    // Starts the timer on the link's current delay, or stops it when the
    // link needs no poll.
    void Arm();
    // One discovery run now: HandleHotplug, `ran`, then Arm.
    void Run();

    // The wait before the next run: -1 when the descriptor is enough
    // (`linkDelayMs` < 0 with a descriptor), the link's default poll when it
    // names no delay but has no descriptor either, else its delay; never more
    // than `pollCapMs` when that is > 0.
    static int NextDelayMs(int linkDelayMs, bool hasDescriptor, int pollCapMs);

signals:
    // After every run, on the thread the driver lives in.
    void ran();

private:
    CCommUSB& link_;
    int pollCapMs_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* timer_ = nullptr;
};

} // namespace kestova::session
