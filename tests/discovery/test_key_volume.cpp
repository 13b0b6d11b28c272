// SPDX-License-Identifier: GPL-3.0-or-later
// Unmounting the frame's own volume: which mounts qualify, what is run, and
// that nothing of it can stop discovery.

#include "FakeUnits.h"

#include "device/CommUSB.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

namespace kestova::test {
namespace {

namespace fs = std::filesystem;

struct MountRig {
    TempDir tmp;
    std::string mounts = (tmp.path() / "mounts").string();
    std::vector<std::vector<std::string>> runs;
    KeyVolumeOptions options;

    MountRig() {
        options.mountsFile = mounts;
        options.haveUdisksctl = [] { return true; };
        // The test's volumes are folders, not file systems of their own.
        options.volumeIsOnDevice = [](const std::string&, const std::string&) { return true; };
        options.run = [this](const std::vector<std::string>& argv) {
            runs.push_back(argv);
            return 1;  // fails: must not matter
        };
    }
    std::string Volume(const std::string& name, bool withKey) {
        fs::path dir = tmp.path() / name;
        fs::create_directories(dir);
        if (withKey) std::ofstream(dir / "LanguageUnicode.ini") << "x";
        return dir.string();
    }
    // Mount table fields escape blanks as \040.
    static std::string Escape(std::string s) {
        std::string out;
        for (char c : s) out += (c == ' ') ? std::string("\\040") : std::string(1, c);
        return out;
    }
};

TEST(KeyVolume, MountTableFieldsAreDecoded) {
    MountRig rig;
    std::ofstream(rig.mounts) << "/dev/sr0 /media/me/My\\040Frame iso9660 ro,nosuid 0 0\n"
                              << "garbage\n"
                              << "proc /proc proc rw 0 0\n";
    auto table = ReadMountTable(rig.mounts);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].mountPoint, "/media/me/My Frame");
    EXPECT_EQ(table[0].fsType, "iso9660");
    EXPECT_EQ(table[1].device, "proc");
    EXPECT_TRUE(ReadMountTable(rig.mounts + ".missing").empty());
}

TEST(KeyVolume, OnlyDeviceVolumesWhoseRootHoldsTheKeyFile) {
    MountRig rig;
    std::string frame = rig.Volume("My Frame", true);
    std::string stick = rig.Volume("stick", false);
    std::string ram = rig.Volume("ram", true);
    std::string nested = rig.Volume("deep/inside", false);
    rig.Volume("deep", true);  // the key file one level up does not count for "deep/inside"
    std::ofstream(rig.mounts) << "/dev/sr0 " << MountRig::Escape(frame) << " iso9660 ro 0 0\n"
                              << "/dev/sdb1 " << stick << " vfat rw 0 0\n"
                              << "tmpfs " << ram << " tmpfs rw 0 0\n"
                              << "/dev/sdc1 " << nested << " vfat rw 0 0\n";
    EXPECT_EQ(UnmountKeyFileVolumes("LanguageUnicode.ini", rig.options), 1);
    ASSERT_EQ(rig.runs.size(), 1u);
    EXPECT_EQ(rig.runs[0], (std::vector<std::string>{"udisksctl", "unmount", "--no-user-interaction",
                                                      "--block-device", "/dev/sr0"}));
}

TEST(KeyVolume, NothingWithoutUdisksctlOrWithAPathForAName) {
    MountRig rig;
    std::string frame = rig.Volume("f", true);
    std::ofstream(rig.mounts) << "/dev/sr0 " << frame << " iso9660 ro 0 0\n";
    rig.options.haveUdisksctl = [] { return false; };
    EXPECT_EQ(UnmountKeyFileVolumes("LanguageUnicode.ini", rig.options), 0);
    rig.options.haveUdisksctl = [] { return true; };
    EXPECT_EQ(UnmountKeyFileVolumes("../f/LanguageUnicode.ini", rig.options), 0);
    EXPECT_EQ(UnmountKeyFileVolumes("", rig.options), 0);
    EXPECT_TRUE(rig.runs.empty());
}

// A mount (FUSE, say) that names a /dev node it does not live on is left
// alone; only a block node whose device number is the mount root's counts.
TEST(KeyVolume, MountNamingAnotherDeviceIsLeftAlone) {
    MountRig rig;
    const std::string vol = rig.Volume("claimed", true);
    std::ofstream(rig.mounts) << "/dev/null " << vol << " fuse ro 0 0\n"
                              << "/dev/kestova-no-such-node " << vol << " fuse ro 0 0\n";
    rig.options.volumeIsOnDevice = nullptr;  // the real check
    EXPECT_EQ(UnmountKeyFileVolumes("LanguageUnicode.ini", rig.options), 0);
    EXPECT_TRUE(rig.runs.empty());

    struct stat root {};
    ASSERT_EQ(stat(vol.c_str(), &root), 0);
    EXPECT_FALSE(VolumeIsOnDevice("/dev/null", vol));  // a character device
    EXPECT_FALSE(VolumeIsOnDevice(vol, vol));           // a folder
    // The block node of the folder's own file system, where this machine has one.
    std::error_code ec;
    for (fs::directory_iterator it("/dev", fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        struct stat st {};
        const std::string node = it->path().string();
        if (stat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == root.st_dev) {
            EXPECT_TRUE(VolumeIsOnDevice(node, vol));
            EXPECT_FALSE(VolumeIsOnDevice(node, "/proc"));
        }
    }
}

TEST(KeyVolume, LinkUnmountsOncePerArrivalBeforeOpening) {
    MountRig rig;
    std::string frameVol = rig.Volume("f", true);
    std::ofstream(rig.mounts) << "/dev/sr0 " << frameVol << " iso9660 ro 0 0\n";

    TempDir sysTmp;
    FakeSysfs sys(sysTmp.path());
    FakeBus bus;
    CCommUSB link;
    std::vector<size_t> openedAtUnmount;
    rig.options.run = [&](const std::vector<std::string>& argv) {
        rig.runs.push_back(argv);
        openedAtUnmount.push_back(bus.Opened().size());
        return 0;
    };
    std::vector<std::unique_ptr<CandidateSource>> sources;
    sources.push_back(MakeSysfsCandidateSource({sys.Root(), "/dev", bus.Opener()}, rig.options));
    link.SetCandidateSources(std::move(sources));
    link.SetHotplugMonitor(nullptr);
    link.SetKeyFileName("LanguageUnicode.ini");

    link.InitComm();  // nothing plugged in: nothing to unmount
    EXPECT_TRUE(rig.runs.empty());

    sys.AddUnit("sg1", true, 5, "HL-DT-ST", "DVD");  // a USB CD-ROM arrives
    bus.Add("/dev/sg1")->vendor = "HL-DT-ST";
    link.HandleHotplug();
    ASSERT_EQ(rig.runs.size(), 1u);
    EXPECT_EQ(openedAtUnmount[0], 0u);  // before the unit was opened
    EXPECT_EQ(bus.Opened().size(), 1u);

    link.HandleHotplug();  // same unit still there: no second unmount
    EXPECT_EQ(rig.runs.size(), 1u);

    sys.RemoveUnit("sg1");
    link.HandleHotplug();
    sys.AddUnit("sg1", true, 5, "HL-DT-ST", "DVD");  // plugged in again
    link.HandleHotplug();
    EXPECT_EQ(rig.runs.size(), 2u);
    EXPECT_EQ(link.EjectMyDPF(), 1);
}

} // namespace
} // namespace kestova::test
