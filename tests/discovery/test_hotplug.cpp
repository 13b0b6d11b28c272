// SPDX-License-Identifier: GPL-3.0-or-later
// The hot-plug path as a program drives it: a descriptor in its own event
// loop (injected notices here), the poll fallback, and the real udev monitor
// where the machine has one.

#include "FakeUnits.h"

#include "device/CommUSB.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <thread>

namespace kestova::test {
namespace {

struct Rig {
    TempDir tmp;
    FakeSysfs sys{tmp.path()};
    FakeBus bus;
    CCommUSB link;
    std::vector<bool> events;
    std::mutex eventsMutex;

    explicit Rig(std::unique_ptr<HotplugMonitor> monitor, bool injectMonitor = true) {
        std::vector<std::unique_ptr<CandidateSource>> sources;
        sources.push_back(MakeSysfsCandidateSource({sys.Root(), "/dev", bus.Opener()}));
        link.SetCandidateSources(std::move(sources));
        if (injectMonitor) link.SetHotplugMonitor(std::move(monitor));
        link.SetStatusHandler([this](bool online) {
            std::lock_guard<std::mutex> lock(eventsMutex);
            events.push_back(online);
        });
    }
    std::vector<bool> Events() {
        std::lock_guard<std::mutex> lock(eventsMutex);
        return events;
    }
};

TEST(Hotplug, NoticesThroughTheDescriptorRunTheHandlerOncePerWakeUp) {
    auto monitor = std::make_unique<PipeMonitor>();
    auto inject = monitor->injector();
    auto drained = monitor->drained;
    const int fd = monitor->Fd();
    Rig rig(std::move(monitor));

    EXPECT_TRUE(rig.link.InitComm());
    EXPECT_EQ(rig.link.HotplugFd(), fd);
    EXPECT_EQ(rig.link.HotplugTimeoutMs(), -1);  // the descriptor is enough
    EXPECT_FALSE(rig.link.GetUSBDeviceStatus());

    // The frame's units come with several notices (generic and block node).
    rig.sys.AddUnit("sg1", true, 5, "NORVELTA", "Photo Frame", "sr0");
    auto frame = rig.bus.Add("/dev/sg1");
    inject.Notice();
    inject.Notice();
    inject.Notice();
    ASSERT_TRUE(Readable(fd));
    rig.link.HandleHotplug();
    EXPECT_FALSE(Readable(fd));  // all drained in one run
    EXPECT_EQ(*drained, 3);
    EXPECT_EQ(frame->opens, 1);
    EXPECT_EQ(rig.Events(), std::vector<bool>{true});
}

TEST(Hotplug, EventLoopSeesPlugAndPullFromAnotherThread) {
    auto monitor = std::make_unique<PipeMonitor>();
    auto inject = monitor->injector();
    Rig rig(std::move(monitor));
    rig.link.InitComm();

    std::shared_ptr<FakeDevice> frame;
    std::thread kernel([&] {
        rig.sys.AddUnit("sg1", true, 5, "norvelta", "Photo Frame");
        frame = rig.bus.Add("/dev/sg1");
        inject.Notice();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (rig.Events().empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        frame->present = false;
        rig.sys.RemoveUnit("sg1");
        inject.Notice();
    });

    // What a program's loop does: wait on the descriptor, run the handler.
    for (int rounds = 0; rounds < 300 && rig.Events().size() < 2; ++rounds) {
        pollfd p{rig.link.HotplugFd(), POLLIN, 0};
        int timeout = rig.link.HotplugTimeoutMs();
        int r = poll(&p, 1, timeout < 0 ? 100 : timeout);
        if (r > 0) rig.link.HandleHotplug();
    }
    kernel.join();
    EXPECT_EQ(rig.Events(), (std::vector<bool>{true, false}));
    EXPECT_EQ(frame->openUnits, 0);
}

// Runs the loop a program runs until `count` events were told (or a bound).
void RunLoop(Rig& rig, size_t count) {
    for (int rounds = 0; rounds < 200 && rig.Events().size() < count; ++rounds) {
        pollfd p{rig.link.HotplugFd(), POLLIN, 0};
        const int timeout = rig.link.HotplugTimeoutMs();
        if (poll(&p, 1, timeout < 0 ? 20 : timeout) >= 0 && (p.revents & POLLIN || timeout >= 0))
            rig.link.HandleHotplug();
    }
}

TEST(Hotplug, FramePutStraightBackIsFoundWithoutAnotherNotice) {
    for (bool wakeable : {true, false}) {
        SCOPED_TRACE(wakeable ? "monitor wakes the loop" : "link asks for a short timeout");
        auto monitor = std::make_unique<PipeMonitor>();
        monitor->wakeable = wakeable;
        auto inject = monitor->injector();
        Rig rig(std::move(monitor));
        rig.sys.AddUnit("sg1", true, 5, "NORVELTA", "Photo Frame");
        auto frame = rig.bus.Add("/dev/sg1");
        rig.link.InitComm();
        ASSERT_TRUE(rig.link.GetUSBDeviceStatus());

        // Pull and replug before the loop gets to run: both sets of notices
        // are drained by one handler run, which handles the loss only.
        frame->present = false;
        inject.Notice();
        auto again = rig.bus.Add("/dev/sg1");
        inject.Notice();
        rig.link.HandleHotplug();
        ASSERT_EQ(rig.Events(), (std::vector<bool>{true, false}));
        if (wakeable) {
            EXPECT_TRUE(Readable(rig.link.HotplugFd()));
            EXPECT_EQ(rig.link.HotplugTimeoutMs(), -1);
        } else {
            EXPECT_FALSE(Readable(rig.link.HotplugFd()));
            EXPECT_EQ(rig.link.HotplugTimeoutMs(), CCommUSB::kFollowUpMs);
        }

        RunLoop(rig, 3);  // no further notice is injected
        EXPECT_EQ(rig.Events(), (std::vector<bool>{true, false, true}));
        EXPECT_EQ(again->opens, 1);
        EXPECT_EQ(rig.link.HotplugTimeoutMs(), -1);  // back to waiting on the descriptor
    }
}

TEST(Hotplug, WithoutAMonitorTheLinkIsPolledEverySecond) {
    Rig rig(nullptr);
    EXPECT_FALSE(rig.link.InitComm());
    EXPECT_EQ(rig.link.HotplugFd(), -1);
    EXPECT_EQ(rig.link.HotplugTimeoutMs(), CCommUSB::kPollIntervalMs);
    EXPECT_EQ(CCommUSB::kPollIntervalMs, 1000);

    // Each poll tick runs the same handler.
    rig.sys.AddUnit("sg1", true, 5, "NORVELTA", "Photo Frame");
    auto frame = rig.bus.Add("/dev/sg1");
    rig.link.HandleHotplug();
    EXPECT_TRUE(rig.link.GetUSBDeviceStatus());
    rig.link.HandleHotplug();  // a tick with nothing new re-checks only
    EXPECT_EQ(frame->opens, 1);
    EXPECT_GE(frame->inquiries, 2);
}

TEST(Hotplug, NothingRunsBeforeDiscoveryStarts) {
    Rig rig(std::make_unique<PipeMonitor>());
    EXPECT_EQ(rig.link.HotplugTimeoutMs(), -1);
    rig.sys.AddUnit("sg1", true, 5, "NORVELTA", "Photo Frame");
    rig.bus.Add("/dev/sg1");
    EXPECT_TRUE(rig.link.ScanForFrame());  // a one-shot scan needs no monitor
    EXPECT_EQ(rig.Events(), std::vector<bool>{true});
}

TEST(Hotplug, UdevMonitorWhereUdevIsAvailable) {
#ifndef KESTOVA_HAVE_UDEV
    GTEST_SKIP() << "built without libudev";
#else
    std::string why;
    auto monitor = MakeUdevHotplugMonitor(&why);
    if (!monitor) GTEST_SKIP() << "udev is not available here: " << why;
    const int fd = monitor->Fd();
    ASSERT_GE(fd, 0);
    // Non-blocking: draining an empty queue returns at once.
    auto t0 = std::chrono::steady_clock::now();
    monitor->Drain();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    // The link can make the descriptor readable to run its handler again.
    EXPECT_FALSE(Readable(fd));
    ASSERT_TRUE(monitor->Wake());
    EXPECT_TRUE(Readable(fd));
    monitor->Drain();
    EXPECT_FALSE(Readable(fd));

    // The machine's scan brings the same kind of monitor when none is injected.
    Rig rig(nullptr, /*injectMonitor=*/false);
    EXPECT_TRUE(rig.link.InitComm());
    EXPECT_GE(rig.link.HotplugFd(), 0);
    EXPECT_EQ(rig.link.HotplugTimeoutMs(), -1);
    rig.link.HandleHotplug();  // no notice pending: must not block
    EXPECT_FALSE(rig.link.GetUSBDeviceStatus());
#endif
}

} // namespace
} // namespace kestova::test
