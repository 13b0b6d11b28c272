// SPDX-License-Identifier: GPL-3.0-or-later
// The command tunnel: offline refusal and the lock against closing the unit.

#include <cerrno>
#include "DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace kestova;
using namespace kestova::test;

namespace {

// A unit that blocks inside Execute until released by the test, and records
// whether Release ever overlapped a command.
class SlowUnit : public ScsiUnit {
public:
    std::atomic<bool> inCommand{false}, overlapped{false}, released{false}, go{false};
    std::atomic<int> executed{0};
    ScsiResult Execute(const uint8_t*, uint8_t*, int32_t, DataDirection, unsigned) override {
        if (released) return ScsiResult::System(EBADF);
        inCommand = true;
        while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++executed;
        inCommand = false;
        return ScsiResult::Good();
    }
    bool Inquiry(InquiryData&) override { return true; }
    void Release() override {
        if (inCommand) overlapped = true;
        released = true;
    }
    std::string Name() const override { return "slow"; }
};

const uint8_t kWren[16] = {0xCB, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x06};

} // namespace

TEST(CommUSB, OfflineLinkSendsNothing) {
    TempDir dir;
    auto frame = VirtualFrame::Open(MakeImage(dir));
    auto monitor = frame->Monitor();
    CCommUSB link;
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_FALSE(link.SendCmdToDPF(kWren, nullptr, 0, DataDirection::None));
    EXPECT_EQ(link.UnitName(), "");

    link.AttachUnit(std::move(frame));
    EXPECT_TRUE(link.GetUSBDeviceStatus());
    EXPECT_TRUE(link.SendCmdToDPF(kWren, nullptr, 0, DataDirection::None));
    EXPECT_EQ(monitor->CommandCount(), 1u);

    link.DetachUnit();
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_FALSE(link.SendCmdToDPF(kWren, nullptr, 0, DataDirection::None));
    EXPECT_EQ(monitor->CommandCount(), 1u) << "an offline link must not reach the unit";
}

TEST(CommUSB, RejectsInconsistentDataPhaseWithoutSending) {
    TempDir dir;
    auto frame = VirtualFrame::Open(MakeImage(dir));
    auto monitor = frame->Monitor();
    CCommUSB link;
    link.AttachUnit(std::move(frame));
    uint8_t buf[64];
    EXPECT_FALSE(link.SendCmdToDPF(kWren, nullptr, 64, DataDirection::ToDevice));   // no buffer
    EXPECT_FALSE(link.SendCmdToDPF(kWren, buf, -1, DataDirection::FromDevice));     // negative
    EXPECT_FALSE(link.SendCmdToDPF(kWren, buf, 4, DataDirection::None));           // length without phase
    EXPECT_FALSE(link.SendCmdToDPF(nullptr, buf, 0, DataDirection::None));
    EXPECT_EQ(monitor->CommandCount(), 0u);
}

TEST(CommUSB, DetachWaitsForCommandInFlight) {
    auto unit = std::make_unique<SlowUnit>();
    SlowUnit* raw = unit.get();  // owned by the link until detached; checked before that
    CCommUSB link;
    link.AttachUnit(std::move(unit));

    std::atomic<bool> result{false};
    std::thread worker([&] { result = link.SendCmdToDPF(kWren, nullptr, 0, DataDirection::None); });
    while (!raw->inCommand) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::atomic<bool> detached{false};
    std::thread hotplug([&] {
        link.DetachUnit();
        detached = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(detached) << "the unit must not be closed under a command in flight";
    EXPECT_FALSE(raw->overlapped);
    raw->go = true;
    worker.join();
    hotplug.join();
    EXPECT_TRUE(result);
    EXPECT_TRUE(detached);
    EXPECT_FALSE(link.GetUSBDeviceStatus());
}

TEST(CommUSB, AttachReplacesAndReleasesPreviousUnit) {
    TempDir dir;
    auto first = VirtualFrame::Open(MakeImage(dir, "a.img"));
    auto second = VirtualFrame::Open(MakeImage(dir, "b.img"));
    auto m1 = first->Monitor();
    auto m2 = second->Monitor();
    CCommUSB link;
    link.AttachUnit(std::move(first));
    link.AttachUnit(std::move(second));
    EXPECT_EQ(link.UnitName(), dir.File("b.img"));
    EXPECT_TRUE(link.SendCmdToDPF(kWren, nullptr, 0, DataDirection::None));
    EXPECT_EQ(m1->CommandCount(), 0u);
    EXPECT_EQ(m2->CommandCount(), 1u);
}
