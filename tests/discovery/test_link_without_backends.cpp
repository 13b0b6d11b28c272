// SPDX-License-Identifier: GPL-3.0-or-later
// The link on its own: this test is built against the generic device library
// alone, so it also fails to link if discovery ever calls into the Linux
// scan or the virtual frame itself. Without sources the link finds nothing;
// the hot-plug notices and the unmounting of the frame's volume come from
// the sources a program hands it.

#include "FakeUnits.h"

#include "device/CommUSB.h"

#include <gtest/gtest.h>

namespace kestova::test {
namespace {

// A source with one USB CD-ROM unit that is not the frame, which may bring
// notices and counts what the link asks of it.
struct CountingSource : CandidateSource {
    struct Log {
        int monitorsOpened = 0;
        std::vector<std::string> unmounted;  // key files asked for
    };
    std::shared_ptr<Log> log = std::make_shared<Log>();
    bool givesMonitor = false;
    std::string node;

    CountingSource(std::string node_, bool monitor) : givesMonitor(monitor), node(std::move(node_)) {}

    std::vector<UnitCandidate> Enumerate() override {
        UnitCandidate c;
        c.node = node;
        c.peripheralType = 5;
        c.usb = true;
        c.open = [](std::string& error) -> std::unique_ptr<ScsiUnit> {
            error = "no such unit";
            return nullptr;
        };
        return {c};
    }
    std::unique_ptr<HotplugMonitor> OpenMonitor() override {
        ++log->monitorsOpened;
        return givesMonitor ? std::make_unique<PipeMonitor>() : nullptr;
    }
    int UnmountVolumesHolding(const std::string& keyFile) override {
        log->unmounted.push_back(keyFile);
        return 1;
    }
};

TEST(LinkWithoutBackends, NoSourcesFindNothingAndPoll) {
    CCommUSB link;
    link.SetKeyFileName("LanguageUnicode.ini");
    std::vector<bool> events;
    link.SetStatusHandler([&](bool online) { events.push_back(online); });
    EXPECT_FALSE(link.InitComm());  // no notices without a source that has them
    EXPECT_EQ(link.HotplugFd(), -1);
    EXPECT_EQ(link.HotplugTimeoutMs(), CCommUSB::kPollIntervalMs);
    EXPECT_FALSE(link.ScanForFrame());
    link.HandleHotplug();
    EXPECT_TRUE(link.SurveyUnits().empty());
    EXPECT_EQ(link.EjectMyDPF(), 0);
    EXPECT_TRUE(events.empty());
}

// Which source's notices the link watches, and that every source is asked to
// unmount the frame's volume when a USB CD-ROM unit arrives.
TEST(LinkWithoutBackends, NoticesAndUnmountingComeFromTheSources) {
    struct Case {
        bool firstGives, secondGives, override;  // override: SetHotplugMonitor(nullptr)
        bool notified;
        int firstOpened, secondOpened;
    } cases[] = {
        {false, true, false, true, 1, 1},   // the first source with notices gives them
        {true, true, false, true, 1, 0},    // one monitor covers the machine
        {false, false, false, false, 1, 1}, // none: polled
        {true, true, true, false, 0, 0},    // the program's choice wins; none is opened
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.firstGives << c.secondGives << c.override);
        auto first = std::make_unique<CountingSource>("/dev/sg1", c.firstGives);
        auto second = std::make_unique<CountingSource>("/dev/sg2", c.secondGives);
        auto firstLog = first->log, secondLog = second->log;
        CCommUSB link;
        std::vector<std::unique_ptr<CandidateSource>> sources;
        sources.push_back(std::move(first));
        sources.push_back(std::move(second));
        link.SetCandidateSources(std::move(sources));
        link.SetKeyFileName("LanguageUnicode.ini");
        if (c.override) link.SetHotplugMonitor(nullptr);

        EXPECT_EQ(link.InitComm(), c.notified);
        EXPECT_EQ(link.HotplugFd() >= 0, c.notified);
        EXPECT_EQ(firstLog->monitorsOpened, c.firstOpened);
        EXPECT_EQ(secondLog->monitorsOpened, c.secondOpened);
        EXPECT_FALSE(link.GetUSBDeviceStatus());

        // Two units arrived with the first scan: one unmount round, each
        // source asked once; the same units seen again ask nothing more.
        const std::vector<std::string> once{"LanguageUnicode.ini"};
        EXPECT_EQ(firstLog->unmounted, once);
        EXPECT_EQ(secondLog->unmounted, once);
        link.HandleHotplug();
        EXPECT_EQ(firstLog->unmounted.size(), 1u);
        EXPECT_EQ(link.EjectMyDPF(), 2);
        EXPECT_EQ(secondLog->unmounted.size(), 2u);
        EXPECT_EQ(firstLog->monitorsOpened, c.firstOpened);  // asked only when discovery starts
    }
}

} // namespace
} // namespace kestova::test
