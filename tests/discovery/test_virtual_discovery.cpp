// SPDX-License-Identifier: GPL-3.0-or-later
// A virtual frame as a discovery candidate: its image file renamed away and
// back, its unplug_after budget, and a frame that is not ours.

#include "FakeUnits.h"

#include "device/CommUSB.h"
#include "device/linux/FrameLock.h"
#include "device/virtual/VirtualFrame.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrameSource.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

namespace kestova::test {
namespace {

namespace fs = std::filesystem;

// The virtual frame as a link's only candidate source.
std::vector<std::unique_ptr<CandidateSource>> Only(const std::string& frameArg) {
    std::vector<std::unique_ptr<CandidateSource>> sources;
    sources.push_back(MakeVirtualFrameSource(frameArg));
    return sources;
}

struct VirtualRig {
    TempDir tmp;
    std::string image = (tmp.path() / "frame.img").string();
    CCommUSB link;
    std::vector<bool> events;

    explicit VirtualRig(const std::string& options = "") {
        FrameImageLayout layout;
        layout.flashSize = 1u << 20;
        layout.albumStart = 512u << 10;
        FormatFrameImage(image, layout);
        link.SetCandidateSources(Only(image + options));  // no machine units in tests
        link.SetHotplugMonitor(nullptr);
        link.SetStatusHandler([this](bool online) { events.push_back(online); });
    }
};

TEST(VirtualDiscovery, ImageRenamedAwayAndBack) {
    VirtualRig rig;
    EXPECT_FALSE(rig.link.InitComm());  // polled
    EXPECT_EQ(rig.link.HotplugTimeoutMs(), 1000);
    ASSERT_TRUE(rig.link.GetUSBDeviceStatus());
    EXPECT_EQ(rig.link.UnitName(), rig.image);

    fs::rename(rig.image, rig.image + ".away");
    rig.link.HandleHotplug();
    EXPECT_FALSE(rig.link.GetUSBDeviceStatus());
    rig.link.HandleHotplug();  // still away: nothing new
    auto reports = rig.link.SurveyUnits();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].isVirtual);
    EXPECT_EQ(reports[0].reason, "cannot be opened: image file is missing");

    fs::rename(rig.image + ".away", rig.image);
    rig.link.HandleHotplug();
    EXPECT_TRUE(rig.link.GetUSBDeviceStatus());
    EXPECT_EQ(rig.events, (std::vector<bool>{true, false, true}));

    // Commands reach the frame again.
    uint8_t cdb[16] = {0xCD, 0, 0, 0, 0, 0, 1, 0, 0, 64, 0x05};
    uint8_t status[64];
    EXPECT_TRUE(rig.link.SendCmdToDPF(cdb, status, 64, DataDirection::FromDevice));
}

TEST(VirtualDiscovery, NewSourcesReplaceTheVirtualFrame) {
    VirtualRig rig;
    std::string second = (rig.tmp.path() / "second.img").string();
    fs::copy_file(rig.image, second);
    rig.link.SetCandidateSources(Only(second));
    rig.link.SetCandidateSources(Only(second + ",latency_us=0"));
    auto reports = rig.link.SurveyUnits();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].node, second);
    rig.link.InitComm();
    EXPECT_EQ(rig.link.UnitName(), second);
}

TEST(VirtualDiscovery, VirtualFrameIsPolledEvenBesideAMonitor) {
    VirtualRig rig;
    rig.link.SetHotplugMonitor(std::make_unique<PipeMonitor>());
    EXPECT_TRUE(rig.link.InitComm());
    EXPECT_EQ(rig.link.HotplugTimeoutMs(), 1000);  // udev cannot see a file being renamed
}

TEST(VirtualDiscovery, UnplugAfterTakesItOffTheBusForTheRestOfTheRun) {
    VirtualRig rig(",unplug_after=2");
    rig.link.InitComm();
    ASSERT_TRUE(rig.link.GetUSBDeviceStatus());
    uint8_t cdb[16] = {0xCB, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x06};
    EXPECT_TRUE(rig.link.SendCmdToDPF(cdb, nullptr, 0, DataDirection::None));
    EXPECT_TRUE(rig.link.SendCmdToDPF(cdb, nullptr, 0, DataDirection::None));
    EXPECT_FALSE(rig.link.SendCmdToDPF(cdb, nullptr, 0, DataDirection::None));
    EXPECT_TRUE(rig.link.GetUSBDeviceStatus());  // nobody has looked yet

    rig.link.HandleHotplug();
    EXPECT_FALSE(rig.link.GetUSBDeviceStatus());
    for (int i = 0; i < 3; ++i) rig.link.HandleHotplug();  // a fresh open would answer: not taken
    EXPECT_FALSE(rig.link.GetUSBDeviceStatus());
    EXPECT_EQ(rig.events, (std::vector<bool>{true, false}));
    auto reports = rig.link.SurveyUnits();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].reason.find("unplug_after"), std::string::npos) << reports[0].reason;
}

TEST(VirtualDiscovery, ImageReplacedByAnotherFileIsAFreshFrame) {
    VirtualRig rig;
    rig.link.InitComm();
    ASSERT_TRUE(rig.link.GetUSBDeviceStatus());
    fs::rename(rig.image, rig.image + ".old");
    fs::copy_file(rig.image + ".old", rig.image);
    rig.link.HandleHotplug();  // the open image is not at its path any more
    EXPECT_FALSE(rig.link.GetUSBDeviceStatus());
    rig.link.HandleHotplug();
    EXPECT_TRUE(rig.link.GetUSBDeviceStatus());
    EXPECT_EQ(rig.events, (std::vector<bool>{true, false, true}));
}

TEST(VirtualDiscovery, OtherVendorOrBadArgumentIsNotTaken) {
    VirtualRig other(",vendor=acme");
    other.link.InitComm();
    EXPECT_FALSE(other.link.GetUSBDeviceStatus());
    auto reports = other.link.SurveyUnits();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].vendor, "acme");
    EXPECT_NE(reports[0].reason.find("does not contain \"norvelta\""), std::string::npos);

    VirtualRig bad(",no_such_key=1");
    bad.link.InitComm();
    EXPECT_FALSE(bad.link.GetUSBDeviceStatus());
    reports = bad.link.SurveyUnits();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].reason.find("no_such_key"), std::string::npos) << reports[0].reason;
    EXPECT_TRUE(bad.events.empty());
}

// Two links in one process on one image: the second is refused with the
// holder named (the lock belongs to the open image, not to the process), and
// nothing of the image is read or written until the first lets go.
TEST(VirtualDiscovery, OneLinkAtATimeOnAnImage) {
    VirtualRig first;
    first.link.InitComm();
    ASSERT_TRUE(first.link.GetUSBDeviceStatus());
    const std::vector<uint8_t> before = ReadFile(first.image);

    CCommUSB second;
    second.SetCandidateSources(Only(first.image + ",log=" + first.tmp.File("second.log")));
    second.SetHotplugMonitor(nullptr);
    std::vector<bool> events;
    second.SetStatusHandler([&](bool online) { events.push_back(online); });
    second.InitComm();
    EXPECT_FALSE(second.GetUSBDeviceStatus());
    const CCommUSB::TakenFrame taken = second.FrameInUse();
    EXPECT_EQ(taken.node, first.image);
    EXPECT_NE(taken.holder.find("(pid " + std::to_string(getpid()) + ")"), std::string::npos) << taken.holder;
    try {
        VirtualFrame::Open(first.image);
        ADD_FAILURE() << "a second open of a held image succeeded";
    } catch (const FrameInUseError& e) {
        EXPECT_EQ(e.Holder(), taken.holder);
        EXPECT_EQ(std::string(e.what()), "the frame is in use by " + taken.holder);
    }
    second.HandleHotplug();
    EXPECT_EQ(ReadFile(first.image), before);
    EXPECT_FALSE(fs::exists(first.tmp.File("second.log")));  // not one command reached it

    first.link.DetachUnit();
    second.HandleHotplug();
    EXPECT_TRUE(second.GetUSBDeviceStatus());
    EXPECT_TRUE(second.FrameInUse().node.empty());
    EXPECT_EQ(events, (std::vector<bool>{true}));
}

// The holder is read from the kernel's lock table: an exact device and inode
// match, else a lone lock on the same inode (stacked file systems report
// another device); waiters, other lock kinds and ambiguous inodes name nobody.
TEST(FrameLockHolder, ReadFromTheLockTable) {
    TempDir proc;
    fs::create_directories(proc.path() / "4242");
    WriteFile(proc.File("4242/comm"), {'m', 'a', 'c', 'k', 'e', 's', 't', 'o', 'v', 'a', '\n'});
    auto table = [&](const std::string& text) { WriteFile(proc.File("locks"), {text.begin(), text.end()}); };
    const dev_t dev = makedev(0xfd, 0x01);
    struct Case {
        const char* locks;
        ino_t inode;
        const char* holder;
    } cases[] = {
        {"1: POSIX  ADVISORY  WRITE 77 fd:01:500 0 EOF\n1: -> FLOCK  ADVISORY  WRITE 99 fd:01:500 0 EOF\n"
         "2: FLOCK  ADVISORY  WRITE 4242 fd:01:500 0 EOF\n", 500, "process 'mackestova' (pid 4242)"},
        {"1: FLOCK  ADVISORY  WRITE 4242 00:2d:500 0 EOF\n", 500, "process 'mackestova' (pid 4242)"},
        {"1: FLOCK  ADVISORY  WRITE 5151 fd:01:600 0 EOF\n", 600, "a process (pid 5151)"},
        {"1: FLOCK  ADVISORY  WRITE 4242 fd:01:500 0 EOF\n", 501, ""},
        {"1: FLOCK  ADVISORY  READ 4242 00:2d:500 0 EOF\n2: FLOCK  ADVISORY  READ 5151 00:2e:500 0 EOF\n", 500, ""},
        {"1: OFDLCK ADVISORY  WRITE -1 fd:01:500 0 EOF\n", 500, ""},
        // A writer is named before the readers beside it.
        {"1: FLOCK  ADVISORY  READ 5151 fd:01:500 0 EOF\n2: FLOCK  ADVISORY  WRITE 4242 fd:01:500 0 EOF\n", 500,
         "process 'mackestova' (pid 4242)"},
    };
    for (const Case& c : cases) {
        table(c.locks);
        EXPECT_EQ(FrameLockHolder(dev, c.inode, proc.Path()), c.holder) << c.locks;
    }
}

// Whether a holder could write the image: from its own descriptors where
// they can be looked into, else from what its user may do by the mode.
TEST(FrameLockHolder, AHolderCountsAsAWriterOnlyWhenItMayWrite) {
    TempDir proc;
    const std::string image = proc.File("image");
    WriteFile(image, {1, 2, 3});
    struct stat file {};
    ASSERT_EQ(::stat(image.c_str(), &file), 0);
    file.st_uid = 1000;
    file.st_gid = 100;
    struct Case {
        const char* what;
        const char* flags;   // an fd on the image with these flags; null: no fd folder
        const char* status;  // the status file; null: none
        mode_t mode;
        bool cannotWrite;
    } cases[] = {
        {"its descriptor is read-only", "0100000", nullptr, 0666, true},
        {"its descriptor writes", "0100002", nullptr, 0444, false},
        {"its descriptor is write-only", "0100001", nullptr, 0444, false},
        {"the owner, who may write", nullptr, "Uid:\t1000\t1000\t1000\t1000\nGid:\t5\t5\t5\t5\n", 0644, false},
        {"the owner, on a read-only image", nullptr, "Uid:\t1000\t1000\t1000\t1000\nGid:\t5\t5\t5\t5\n", 0444,
         true},
        {"another user, not in the group", nullptr, "Uid:\t2000\t2000\t2000\t2000\nGid:\t5\t5\t5\t5\nGroups:\t7 8\n",
         0664, true},
        {"another user, in the group by a supplementary one", nullptr,
         "Uid:\t2000\t2000\t2000\t2000\nGid:\t5\t5\t5\t5\nGroups:\t7 100\n", 0664, false},
        {"another user, where everyone may write", nullptr, "Uid:\t2000\t2000\t2000\t2000\nGid:\t5\t5\t5\t5\n", 0646,
         false},
        {"root", nullptr, "Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n", 0444, false},
        {"nothing to tell", nullptr, nullptr, 0444, false},
    };
    long pid = 100;
    for (const Case& c : cases) {
        const std::string base = std::to_string(++pid);
        fs::create_directories(proc.path() / base);
        if (c.flags) {
            fs::create_directories(proc.path() / base / "fd");
            fs::create_directories(proc.path() / base / "fdinfo");
            fs::create_symlink(image, proc.path() / base / "fd" / "3");
            fs::create_symlink("/", proc.path() / base / "fd" / "4");  // another file: not looked at
            const std::string info = std::string("pos:\t0\nflags:\t") + c.flags + "\nmnt_id:\t1\n";
            WriteFile(proc.File(base + "/fdinfo/3"), {info.begin(), info.end()});
        }
        if (c.status) {
            const std::string status = std::string("Name:\tx\n") + c.status;
            WriteFile(proc.File(base + "/status"), {status.begin(), status.end()});
        }
        file.st_mode = S_IFREG | c.mode;
        EXPECT_EQ(HolderCannotWrite(pid, file, proc.Path()), c.cannotWrite) << c.what;
    }
}

} // namespace
} // namespace kestova::test
