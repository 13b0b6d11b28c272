// SPDX-License-Identifier: GPL-3.0-or-later
// The sysfs scan: which units of a machine are candidates, and what is read
// about them before anything is opened.

#include "FakeUnits.h"

#include <gtest/gtest.h>

#include <fstream>

namespace kestova::test {
namespace {

TEST(SysfsScan, KeepsCdRomUnitsAndTellsUsbFromOtherBuses) {
    TempDir tmp;
    FakeSysfs sys(tmp.path());
    sys.AddUnit("sg0", false, 0, "ATA", "Samsung SSD");          // a disk: never a candidate
    sys.AddUnit("sg1", false, 5, "HL-DT-ST", "DVDRAM GH24NSD1");  // SATA optical drive
    sys.AddUnit("sg2", true, 5, "NORVELTA", "Photo Frame");       // the frame
    sys.AddUnit("sg3", true, 0, "Generic", "Flash Disk");         // a USB stick

    auto units = ScanSysfsUnits(sys.Root(), "/devx");
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].name, "sg1");
    EXPECT_FALSE(units[0].usb);
    EXPECT_EQ(units[1].name, "sg2");
    EXPECT_TRUE(units[1].usb);
    EXPECT_EQ(units[1].node, "/devx/sg2");
    EXPECT_EQ(units[1].peripheralType, 5);
    // sysfs pads the identification with blanks; the scan trims them.
    EXPECT_EQ(units[1].vendor, "NORVELTA");
    EXPECT_EQ(units[1].model, "Photo Frame");
}

TEST(SysfsScan, BlockNodeOnlyWhenTheUnitHasNoGenericNode) {
    TempDir tmp;
    FakeSysfs sys(tmp.path());
    sys.AddUnit("sg4", true, 5, "NORVELTA", "Photo Frame", "sr0");  // both nodes: take sg4 once
    sys.AddUnit("", true, 5, "NORVELTA", "Photo Frame", "sr1");     // sg module missing: sr1
    sys.AddUnit("", true, 0, "Generic", "Disk", "sda");              // not sr*, not CD-ROM

    auto units = ScanSysfsUnits(sys.Root(), "/dev");
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].node, "/dev/sg4");
    EXPECT_EQ(units[1].node, "/dev/sr1");
    EXPECT_TRUE(units[1].usb);
}

TEST(SysfsScan, NumericOrderAndBrokenEntries) {
    TempDir tmp;
    FakeSysfs sys(tmp.path());
    sys.AddUnit("sg10", true, 5, "A", "x");
    sys.AddUnit("sg2", true, 5, "B", "y");
    auto dir = sys.AddUnit("sg3", true, 5, "C", "z");
    std::ofstream(dir / "type") << "five\n";  // unreadable type: not a candidate
    // A class entry whose device link leads nowhere.
    std::filesystem::create_symlink("../../devices/gone", tmp.path() / "class/scsi_generic/sg7");

    auto units = ScanSysfsUnits(sys.Root(), "/dev");
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].name, "sg2");
    EXPECT_EQ(units[1].name, "sg10");
}

TEST(SysfsScan, MissingTreeGivesNoUnits) {
    TempDir tmp;
    EXPECT_TRUE(ScanSysfsUnits((tmp.path() / "nothing").string(), "/dev").empty());
    auto source = MakeSysfsCandidateSource({(tmp.path() / "nothing").string(), "/dev", {}});
    EXPECT_TRUE(source->Enumerate().empty());
}

TEST(SysfsScan, CandidatesOpenThroughTheInjectedOpener) {
    TempDir tmp;
    FakeSysfs sys(tmp.path());
    sys.AddUnit("sg1", true, 5, "NORVELTA", "Photo Frame");
    FakeBus bus;
    auto dev = bus.Add("/dev/sg1");
    auto source = MakeSysfsCandidateSource({sys.Root(), "/dev", bus.Opener()});
    auto cands = source->Enumerate();
    ASSERT_EQ(cands.size(), 1u);
    EXPECT_EQ(dev->opens, 0);  // enumerating opens nothing
    std::string err;
    auto unit = cands[0].open(err);
    ASSERT_NE(unit, nullptr) << err;
    EXPECT_EQ(unit->Name(), "/dev/sg1");
    EXPECT_EQ(dev->opens, 1);
}

} // namespace
} // namespace kestova::test
