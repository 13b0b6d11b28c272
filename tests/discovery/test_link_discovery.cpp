// SPDX-License-Identifier: GPL-3.0-or-later
// Recognition and the hot-plug handler of the link, on a fake sysfs tree with
// fake units behind the opener.

#include "FakeUnits.h"

#include "device/CommUSB.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kestova::test {
namespace {

class LinkDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        sys = std::make_unique<FakeSysfs>(tmp.path());
        std::vector<std::unique_ptr<CandidateSource>> sources;
        sources.push_back(MakeSysfsCandidateSource({sys->Root(), "/dev", bus.Opener()}));
        link.SetCandidateSources(std::move(sources));
        auto monitor = std::make_unique<PipeMonitor>();
        notices = monitor->injector();
        link.SetHotplugMonitor(std::move(monitor));
        link.SetStatusHandler([this](bool online) { events.push_back(online); });
    }

    // A frame (or any unit) plugged in: sysfs entry plus a device behind it.
    std::shared_ptr<FakeDevice> Plug(const std::string& sg, const std::string& vendor = "NORVELTA",
                                     bool usb = true) {
        sys->AddUnit(sg, usb, 5, vendor, "Photo Frame");
        auto d = bus.Add("/dev/" + sg);
        d->vendor = vendor;
        return d;
    }

    TempDir tmp;
    std::unique_ptr<FakeSysfs> sys;
    FakeBus bus;
    CCommUSB link;
    PipeMonitor::Injector notices{-1};
    std::vector<bool> events;
};

TEST_F(LinkDiscovery, CdRomOfAnotherVendorIsQueriedReleasedAndNeverTaken) {
    auto drive = Plug("sg1", "HL-DT-ST");
    link.InitComm();
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_EQ(drive->opens, 1);
    EXPECT_GE(drive->inquiries, 1);
    EXPECT_EQ(drive->releases, 1);
    EXPECT_EQ(drive->openUnits, 0);

    // Every later scan looks at it again and lets go again.
    link.HandleHotplug();
    link.HandleHotplug();
    EXPECT_EQ(drive->opens, 3);
    EXPECT_EQ(drive->openUnits, 0);
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_TRUE(events.empty());
}

TEST_F(LinkDiscovery, FrameOnANonUsbBusIsNotTaken) {
    Plug("sg1", "NORVELTA", /*usb=*/false);
    link.InitComm();
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_TRUE(bus.Opened().empty());  // not even opened

    auto reports = link.SurveyUnits();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_FALSE(reports[0].isFrame);
    EXPECT_EQ(reports[0].reason, "not on a USB bus");
    EXPECT_EQ(reports[0].vendor, "NORVELTA");
}

TEST_F(LinkDiscovery, VendorIdentificationIsComparedWithoutLetterCase) {
    Plug("sg1", "NorVelta");
    link.InitComm();
    EXPECT_TRUE(link.GetUSBDeviceStatus());
    EXPECT_EQ(link.UnitName(), "/dev/sg1");
    EXPECT_EQ(link.DeviceInfo().vendor, "NorVelta");
    EXPECT_EQ(events, std::vector<bool>{true});
}

TEST_F(LinkDiscovery, VendorWordMustBeContainedWhole) {
    auto a = Plug("sg1", "NORVELT");   // cut short: not the frame
    auto b = Plug("sg2", "xNORVELTA");  // contains the word: the frame
    link.InitComm();
    EXPECT_EQ(link.UnitName(), "/dev/sg2");
    EXPECT_EQ(a->openUnits, 0);

    link.SetVendorIdStr("ACME");  // another vendor word: the open frame no longer matches
    link.HandleHotplug();
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_EQ(events, (std::vector<bool>{true, false}));
}

TEST_F(LinkDiscovery, SecondFrameWhileOneIsOnlineIsIgnored) {
    auto first = Plug("sg1");
    link.InitComm();
    ASSERT_EQ(link.UnitName(), "/dev/sg1");

    auto second = Plug("sg2");
    notices.Notice();
    link.HandleHotplug();
    EXPECT_EQ(link.UnitName(), "/dev/sg1");
    EXPECT_EQ(second->opens, 0);  // the handler does not scan while online
    EXPECT_EQ(events, std::vector<bool>{true});

    // Testing it directly accepts it as a frame but keeps the open one.
    UnitCandidate c;
    for (auto& cand : MakeSysfsCandidateSource({sys->Root(), "/dev", bus.Opener()})->Enumerate())
        if (cand.node == "/dev/sg2") c = cand;
    std::string why;
    EXPECT_TRUE(link.TestDevice(c, &why));
    EXPECT_EQ(why, "another frame is already online");
    EXPECT_EQ(link.UnitName(), "/dev/sg1");
    EXPECT_EQ(second->opens, 1);
    EXPECT_EQ(second->openUnits, 0);
    EXPECT_EQ(first->openUnits, 1);
    EXPECT_EQ(events, std::vector<bool>{true});
}

TEST_F(LinkDiscovery, PullGivesOneOfflineEventAndTheNextEventFindsTheFrameAgain) {
    auto frame = Plug("sg1");
    link.InitComm();
    ASSERT_TRUE(link.GetUSBDeviceStatus());

    // Pulled and put straight back: the kernel gives the unit a new life, the
    // old open node stays dead.
    frame->present = false;
    auto again = bus.Add("/dev/sg1");

    link.HandleHotplug();  // first notice: the loss only
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_TRUE(link.DeviceInfo().vendor.empty());
    EXPECT_EQ(frame->openUnits, 0);
    EXPECT_EQ(again->opens, 0);
    EXPECT_EQ(events, (std::vector<bool>{true, false}));

    link.HandleHotplug();  // next notice: the scan finds it
    EXPECT_TRUE(link.GetUSBDeviceStatus());
    EXPECT_EQ(again->opens, 1);
    EXPECT_EQ(events, (std::vector<bool>{true, false, true}));
}

TEST_F(LinkDiscovery, PulledForGoodStaysOfflineWithoutRepeatedEvents) {
    auto frame = Plug("sg1");
    link.InitComm();
    frame->present = false;
    sys->RemoveUnit("sg1");
    for (int i = 0; i < 3; ++i) link.HandleHotplug();
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_EQ(events, (std::vector<bool>{true, false}));
    uint8_t cdb[16] = {0xCB};
    EXPECT_FALSE(link.SendCmdToDPF(cdb, nullptr, 0, DataDirection::None));
}

TEST_F(LinkDiscovery, UnitVanishingMidCommandLeavesTheLinkOfflineWithoutReleaseUnderIt) {
    auto frame = Plug("sg1");
    link.InitComm();
    ASSERT_TRUE(link.GetUSBDeviceStatus());
    {
        std::lock_guard<std::mutex> lock(frame->m);
        frame->blockExecute = true;
    }

    bool commandResult = true;
    std::thread worker([&] {
        uint8_t cdb[16] = {0xCD};
        uint8_t buf[64];
        commandResult = link.SendCmdToDPF(cdb, buf, sizeof buf, DataDirection::FromDevice);
    });
    {
        std::unique_lock<std::mutex> lock(frame->m);
        frame->cv.wait(lock, [&] { return frame->executing; });
    }
    frame->present = false;  // pulled while the command is under way

    std::atomic<bool> handlerDone{false};
    std::thread loop([&] {
        link.HandleHotplug();
        handlerDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(handlerDone);  // waits for the command in flight
    {
        std::lock_guard<std::mutex> lock(frame->m);
        frame->gateOpen = true;
    }
    frame->cv.notify_all();
    worker.join();
    loop.join();

    EXPECT_FALSE(commandResult);
    EXPECT_FALSE(frame->releasedDuringExecute);
    EXPECT_EQ(frame->openUnits, 0);
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_EQ(events, (std::vector<bool>{true, false}));

    const int before = frame->executes;
    uint8_t cdb[16] = {0xCB};
    EXPECT_FALSE(link.SendCmdToDPF(cdb, nullptr, 0, DataDirection::None));
    EXPECT_EQ(frame->executes, before);
}

TEST_F(LinkDiscovery, UnitsThatFailToOpenOrAnswerAreSkipped) {
    auto locked = Plug("sg1");
    locked->openError = "Permission denied";
    sys->AddUnit("sg2", true, 5, "NORVELTA", "Photo Frame");  // listed, but gone before the open
    auto mute = Plug("sg3");
    mute->answersInquiry = false;
    auto frame = Plug("sg4");

    auto reports = link.SurveyUnits();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].reason, "cannot be opened: Permission denied");
    EXPECT_EQ(reports[1].reason, "cannot be opened: No such device");
    EXPECT_EQ(reports[2].reason, "does not answer INQUIRY");
    EXPECT_TRUE(reports[3].isFrame);
    EXPECT_TRUE(reports[3].reason.empty());
    EXPECT_FALSE(link.GetUSBDeviceStatus());  // a survey never goes online
    EXPECT_EQ(mute->openUnits + frame->openUnits, 0);
    EXPECT_EQ(mute->opens, 1);

    link.InitComm();
    EXPECT_EQ(link.UnitName(), "/dev/sg4");
    EXPECT_EQ(mute->openUnits, 0);
}

TEST_F(LinkDiscovery, UnitWhoseInquiryIsNotCdRomIsReleased) {
    auto odd = Plug("sg1");
    odd->type = 0;  // sysfs said CD-ROM, INQUIRY says disk
    link.InitComm();
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_EQ(odd->opens, 1);
    EXPECT_EQ(odd->openUnits, 0);
    auto reports = link.SurveyUnits();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].reason, "INQUIRY reports peripheral type 0, not a CD-ROM unit");
}

TEST_F(LinkDiscovery, SurveyReportsTheOpenFrameWithoutReopeningIt) {
    auto frame = Plug("sg1");
    link.InitComm();
    ASSERT_EQ(frame->opens, 1);
    auto reports = link.SurveyUnits();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].isFrame);
    EXPECT_EQ(reports[0].vendor, "NORVELTA");
    EXPECT_EQ(reports[0].product, "Photo Frame");
    EXPECT_EQ(frame->opens, 1);
    EXPECT_TRUE(link.GetUSBDeviceStatus());
}

TEST_F(LinkDiscovery, StatusHandlerMayUseTheLink) {
    auto frame = Plug("sg1");
    bool sent = false;
    link.SetStatusHandler([&](bool online) {
        events.push_back(online);
        uint8_t cdb[16] = {0xCB};
        if (online) sent = link.SendCmdToDPF(cdb, nullptr, 0, DataDirection::None);
        link.GetUSBDeviceStatus();
    });
    link.InitComm();
    EXPECT_TRUE(sent);
    EXPECT_EQ(frame->executes, 1);
}

TEST_F(LinkDiscovery, SetUSBDeviceStatusNeedsAUnitAndReleasesIt) {
    link.SetUSBDeviceStatus(true);  // nothing open: stays offline, nothing told
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_TRUE(events.empty());

    auto frame = Plug("sg1");
    link.InitComm();
    link.SetUSBDeviceStatus(true);  // already online: no second event
    link.SetUSBDeviceStatus(false);
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_EQ(frame->openUnits, 0);
    EXPECT_EQ(events, (std::vector<bool>{true, false}));

    link.HandleHotplug();  // still plugged in: found again
    EXPECT_EQ(events, (std::vector<bool>{true, false, true}));
}

TEST_F(LinkDiscovery, UnitAttachedBeforeDiscoveryIsKeptAndWatched) {
    auto frame = Plug("sg1");
    std::string err;
    link.AttachUnit(bus.Opener()("/dev/sg1", err));
    link.InitComm();  // already online: no scan, no event
    EXPECT_EQ(frame->opens, 1);
    EXPECT_TRUE(events.empty());
    frame->present = false;
    link.HandleHotplug();
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    EXPECT_EQ(events, std::vector<bool>{false});
}

} // namespace
} // namespace kestova::test

namespace kestova::test {
namespace {

// A frame that another program holds is told apart from "no frame": the link
// stays offline, names the holder, polls, and takes the frame once let go. A
// busy CD-ROM unit of another vendor is not reported as a taken frame.
TEST_F(LinkDiscovery, AFrameHeldElsewhereIsReportedAndTakenOnceLetGo) {
    auto drive = Plug("sg1", "HL-DT-ST");
    drive->inUse = true;
    auto frame = Plug("sg2");
    frame->inUse = true;
    frame->holder = "mackestova (pid 4242)";
    link.InitComm();
    EXPECT_FALSE(link.GetUSBDeviceStatus());
    const CCommUSB::TakenFrame taken = link.FrameInUse();
    EXPECT_EQ(taken.node, "/dev/sg2");
    EXPECT_EQ(taken.holder, "mackestova (pid 4242)");
    EXPECT_EQ(taken.message, "the frame is in use by mackestova (pid 4242)");
    EXPECT_EQ(link.HotplugTimeoutMs(), CCommUSB::kPollIntervalMs);  // no notice comes when it is let go

    auto reports = link.SurveyUnits();
    ASSERT_EQ(reports.size(), 2u);
    for (const auto& r : reports) {
        const bool isFrame = r.node == "/dev/sg2";
        EXPECT_EQ(r.inUse, isFrame) << r.node;
        EXPECT_EQ(r.isFrame, isFrame) << r.node;
        EXPECT_EQ(r.reason, isFrame ? taken.message : "the frame is in use by another program") << r.node;
    }

    frame->inUse = false;
    link.HandleHotplug();
    EXPECT_TRUE(link.GetUSBDeviceStatus());
    EXPECT_EQ(link.UnitName(), "/dev/sg2");
    EXPECT_TRUE(link.FrameInUse().node.empty());
    EXPECT_EQ(link.HotplugTimeoutMs(), -1);
    EXPECT_EQ(events, (std::vector<bool>{true}));
}

} // namespace
} // namespace kestova::test
