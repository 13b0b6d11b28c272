// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual frame: NOR semantics, malformed commands, options.

#include "DeviceTestSupport.h"

#include "device/ProcessFlash.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

using namespace kestova;
using namespace kestova::test;

namespace {

struct Cdb {
    uint8_t b[16] = {};
};

Cdb Flash(uint8_t op, uint8_t n, uint32_t len = 0, uint32_t addr = 0) {
    Cdb c;
    c.b[0] = 0xCB;
    c.b[6] = n;
    c.b[7] = uint8_t(len >> 16);
    c.b[8] = uint8_t(len >> 8);
    c.b[9] = uint8_t(len);
    c.b[10] = op;
    c.b[11] = uint8_t(addr >> 16);
    c.b[12] = uint8_t(addr >> 8);
    c.b[13] = uint8_t(addr);
    return c;
}
Cdb Read(uint32_t len, uint32_t addr) {
    Cdb c = Flash(0x03, 4, len, addr);
    c.b[0] = 0xCD;
    return c;
}
Cdb Checksum(uint16_t len, uint32_t addr) {
    Cdb c = Flash(0, 5, 0, addr);
    c.b[0] = 0xCD;
    c.b[5] = 5;
    c.b[7] = uint8_t(len >> 8);
    c.b[8] = uint8_t(len);
    return c;
}

class VirtualFrameTest : public ::testing::Test {
protected:
    void Open(const std::string& options = "", FrameImageLayout layout = {}) {
        path = MakeImage(dir, "frame.img", layout);
        frame = VirtualFrame::Open(path + options);
        monitor = frame->Monitor();
    }
    bool Run(const Cdb& c, uint8_t* buf = nullptr, int32_t len = 0,
             DataDirection d = DataDirection::None) {
        return frame->Execute(c.b, buf, len, d, 1000).good();
    }
    bool Wren() { return Run(Flash(0x06, 1)); }
    bool Program(uint32_t addr, std::vector<uint8_t> data) {
        return Run(Flash(0x02, 4, uint32_t(data.size()), addr), data.data(), int32_t(data.size()),
                   DataDirection::ToDevice);
    }
    bool Erase(uint8_t op, uint32_t addr) { return Run(Flash(op, 4, 0, addr)); }
    std::vector<uint8_t> Image() { return ReadFile(path); }

    TempDir dir;
    std::string path;
    std::unique_ptr<VirtualFrame> frame;
    std::shared_ptr<VirtualFrameMonitor> monitor;
};

} // namespace

TEST_F(VirtualFrameTest, InquiryAnswersVendorAndCdRomType) {
    Open();
    InquiryData id;
    ASSERT_TRUE(frame->Inquiry(id));
    EXPECT_EQ(id.vendor, "norvelta");
    EXPECT_EQ(id.peripheralType, 5);

    // The same identification through an INQUIRY CDB.
    uint8_t cdb[16] = {0x12, 0, 0, 0, 36};
    uint8_t data[36];
    ASSERT_TRUE(frame->Execute(cdb, data, 36, DataDirection::FromDevice, 100));
    EXPECT_EQ(data[0] & 0x1F, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 8), "norvelta");

    frame.reset();  // one holder at a time
    auto other = VirtualFrame::Open(path + ",vendor=acme");
    ASSERT_TRUE(other->Inquiry(id));
    EXPECT_EQ(id.vendor, "acme");
}

TEST_F(VirtualFrameTest, ProgramOnlyClearsBitsAndNeedsTheLatch) {
    Open();
    const uint32_t a = 0x10000;
    // Without write enable nothing changes, but the command itself completes.
    EXPECT_TRUE(Program(a, {0x00, 0x00}));
    EXPECT_EQ(Image()[a], 0xFF);

    ASSERT_TRUE(Wren());
    EXPECT_TRUE(frame->WriteEnableLatch());
    ASSERT_TRUE(Program(a, {0xF0, 0x3C}));
    EXPECT_FALSE(frame->WriteEnableLatch()) << "program clears the latch";
    EXPECT_EQ(Image()[a], 0xF0);
    EXPECT_EQ(Image()[a + 1], 0x3C);

    // A second program ANDs: 0xF0 & 0x0F = 0x00, 0x3C & 0xFF stays 0x3C.
    ASSERT_TRUE(Program(a, {0x0F, 0xFF}));  // latch was cleared: ignored
    EXPECT_EQ(Image()[a], 0xF0);
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Program(a, {0x0F, 0xFF}));
    EXPECT_EQ(Image()[a], 0x00);
    EXPECT_EQ(Image()[a + 1], 0x3C);
}

TEST_F(VirtualFrameTest, EraseUnitsFollowTheOpcode) {
    FrameImageLayout layout;
    layout.eraseOpcode = 0x52;  // the information block names its own opcode
    Open("", layout);
    std::vector<uint8_t> zeros(4096, 0);
    auto fill = [&](uint32_t from, uint32_t to) {
        for (uint32_t a = from; a < to; a += 4096) {
            ASSERT_TRUE(Wren());
            ASSERT_TRUE(Program(a, zeros));
        }
    };
    auto erased = [&](uint32_t from, uint32_t to) {
        const auto img = Image();
        for (uint32_t a = from; a < to; ++a)
            if (img[a] != 0xFF) return false;
        return true;
    };
    auto zeroed = [&](uint32_t from, uint32_t to) {
        const auto img = Image();
        for (uint32_t a = from; a < to; ++a)
            if (img[a] != 0x00) return false;
        return true;
    };

    fill(0x100000, 0x120000);
    // 0x20 erases the 4 KiB unit around the address.
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Erase(0x20, 0x101234));
    EXPECT_TRUE(erased(0x101000, 0x102000));
    EXPECT_TRUE(zeroed(0x100000, 0x101000));
    EXPECT_TRUE(zeroed(0x102000, 0x120000));

    // The named opcode erases 4 KiB as well.
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Erase(0x52, 0x103000));
    EXPECT_TRUE(erased(0x103000, 0x104000));
    EXPECT_TRUE(zeroed(0x104000, 0x120000));

    // 0xD8, not named here, wipes the whole 64 KiB block like a real chip.
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Erase(0xD8, 0x118000));
    EXPECT_TRUE(zeroed(0x104000, 0x110000));
    EXPECT_TRUE(erased(0x110000, 0x120000));

    // Without the latch an erase is ignored.
    fill(0x110000, 0x111000);
    ASSERT_TRUE(Erase(0x20, 0x110000));
    EXPECT_TRUE(zeroed(0x110000, 0x111000));

    // An unknown erase-like opcode fails and keeps the latch.
    ASSERT_TRUE(Wren());
    EXPECT_FALSE(Erase(0xC7, 0x110000));
    EXPECT_TRUE(frame->WriteEnableLatch());
    EXPECT_TRUE(zeroed(0x110000, 0x111000));
}

TEST_F(VirtualFrameTest, D8NamedByTheBlockErasesOnlyFourKiB) {
    FrameImageLayout layout;
    layout.eraseOpcode = 0xD8;
    Open("", layout);
    for (uint32_t a : {0x100000u, 0x101000u}) {
        ASSERT_TRUE(Wren());
        ASSERT_TRUE(Program(a, std::vector<uint8_t>(4096, 0)));
    }
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Erase(0xD8, 0x100000));
    const auto img = Image();
    EXPECT_EQ(img[0x100000], 0xFF);
    EXPECT_EQ(img[0x100FFF], 0xFF);
    EXPECT_EQ(img[0x101000], 0x00);
}

TEST_F(VirtualFrameTest, MalformedCommandsFailAndChangeNothing) {
    Open();
    const auto before = Image();
    std::vector<uint8_t> big(4097, 0);
    uint8_t buf[4200];
    ASSERT_TRUE(Wren());
    // Program longer than 4096.
    EXPECT_FALSE(Run(Flash(0x02, 4, 4097, 0x100000), big.data(), 4097, DataDirection::ToDevice));
    // Program past the end of the flash.
    EXPECT_FALSE(Run(Flash(0x02, 4, 16, 0x200000 - 8), big.data(), 16, DataDirection::ToDevice));
    // Program whose CDB length differs from the data phase.
    EXPECT_FALSE(Run(Flash(0x02, 4, 32, 0x100000), big.data(), 16, DataDirection::ToDevice));
    // Erase past the end.
    EXPECT_FALSE(Erase(0x20, 0x200000));
    // Unknown vendor operation and unknown instruction.
    Cdb junk = Flash(0x06, 1);
    junk.b[0] = 0xC0;
    EXPECT_FALSE(Run(junk));
    EXPECT_FALSE(Run(Flash(0x9F, 1)));
    // Reads: too long, past the end, wrong direction.
    EXPECT_FALSE(Run(Read(4160, 0), buf, 4160, DataDirection::FromDevice));
    EXPECT_FALSE(Run(Read(64, 0x200000 - 32), buf, 64, DataDirection::FromDevice));
    EXPECT_FALSE(Run(Read(64, 0), buf, 64, DataDirection::ToDevice));
    EXPECT_FALSE(Run(Checksum(64, 0x200000 - 32), buf, 64, DataDirection::FromDevice));
    // The latch survives the failed commands, and the flash is untouched.
    EXPECT_TRUE(frame->WriteEnableLatch());
    EXPECT_EQ(Image(), before);
    EXPECT_EQ(monitor->FailedCount(), 10u);
}

TEST_F(VirtualFrameTest, ReadReturnsRequestedLengthChecksumAndVersion) {
    Open(",firmware=KV 2.5");
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i + 1);
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Program(0x100000, data));

    // A 100-byte tail goes out as 128: the frame returns all 128.
    uint8_t buf[128];
    ASSERT_TRUE(Run(Read(128, 0x100000), buf, 128, DataDirection::FromDevice));
    EXPECT_EQ(0, std::memcmp(buf, data.data(), 100));
    EXPECT_EQ(buf[100], 0xFF);
    EXPECT_EQ(buf[127], 0xFF);

    uint8_t reply[64];
    ASSERT_TRUE(Run(Checksum(100, 0x100000), reply, 64, DataDirection::FromDevice));
    EXPECT_EQ(reply[0] * 256 + reply[1], 5050);  // 1 + 2 + ... + 100
    ASSERT_TRUE(Run(Checksum(4096, 0x1FF000), reply, 64, DataDirection::FromDevice));
    EXPECT_EQ(reply[0] * 256 + reply[1], (4096 * 255) % 65536);

    Cdb version;
    version.b[0] = 0xCD;
    version.b[5] = 1;
    version.b[6] = 1;
    version.b[10] = 1;
    ASSERT_TRUE(Run(version, reply, 64, DataDirection::FromDevice));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply)), "KV 2.5");

    frame.reset();  // one holder at a time
    auto none = VirtualFrame::Open(path + ",firmware=");
    ASSERT_TRUE(none->Execute(version.b, reply, 64, DataDirection::FromDevice, 100));
    EXPECT_EQ(reply[0], 0xFF);
}

TEST_F(VirtualFrameTest, ClockIsKeptAndInvalidClockRejected) {
    Open();
    const uint8_t set[16] = {0xCA, 0, 0, 0, 0, 0x0A, 0x14, 3, 7, 14, 5, 9, 0, 0, 1, 20};
    ASSERT_TRUE(frame->Execute(set, nullptr, 0, DataDirection::None, 100));
    FrameClock c = monitor->Clock();
    EXPECT_TRUE(c.set);
    EXPECT_EQ(c.year, 2010);
    EXPECT_EQ(c.month, 3);
    EXPECT_EQ(c.day, 7);
    EXPECT_EQ(c.hour, 14);
    EXPECT_EQ(c.second, 9);
    EXPECT_EQ(c.dstFlag, 1);
    EXPECT_EQ(c.zoneByte, 20);

    uint8_t bad[16];
    std::memcpy(bad, set, 16);
    bad[7] = 13;  // month 13
    EXPECT_FALSE(frame->Execute(bad, nullptr, 0, DataDirection::None, 100));
    EXPECT_EQ(monitor->Clock().month, 3);
}

TEST_F(VirtualFrameTest, UnplugAfterTakesTheFrameOffForGood) {
    Open(",unplug_after=3");
    EXPECT_TRUE(Wren());
    EXPECT_TRUE(Wren());
    EXPECT_FALSE(monitor->Unplugged());
    EXPECT_TRUE(Wren());
    EXPECT_TRUE(monitor->Unplugged());
    EXPECT_FALSE(Wren());
    InquiryData id;
    EXPECT_FALSE(frame->Inquiry(id));
    EXPECT_FALSE(Wren());
    EXPECT_EQ(monitor->CommandCount(), 5u);
    EXPECT_EQ(monitor->FailedCount(), 2u);

    // A fresh frame on the same image (once this one is let go) is a new plug-in.
    frame.reset();
    auto again = VirtualFrame::Open(path);
    EXPECT_TRUE(again->Inquiry(id));
}

TEST_F(VirtualFrameTest, RefusalsComeWithSenseData) {
    Open(",unplug_after=8");
    uint8_t buf[64] = {};
    Cdb unknown;
    unknown.b[0] = 0xEE;
    Cdb wrongDirection = Read(64, 0);
    const struct {
        Cdb cdb;
        int32_t length;
        DataDirection dir;
        uint8_t key, asc;
    } cases[] = {
        {Read(64, 0), 64, DataDirection::FromDevice, 0, 0},
        {unknown, 0, DataDirection::None, 0x5, 0x20},                      // invalid command operation code
        {Flash(0x77, 4), 0, DataDirection::None, 0x5, 0x20},               // unknown flash instruction
        {Read(64, 0x300000), 64, DataDirection::FromDevice, 0x5, 0x21},    // past the end of the flash
        {Flash(0x20, 4, 0, 0x300000), 0, DataDirection::None, 0x5, 0x21},  // erase past the end
        {wrongDirection, 64, DataDirection::ToDevice, 0x5, 0x24},          // invalid field
    };
    for (const auto& c : cases) {
        const ScsiResult r = frame->Execute(c.cdb.b, buf, c.length, c.dir, 100);
        EXPECT_EQ(r.good(), c.key == 0);
        EXPECT_EQ(r.SenseKey(), c.key);
        EXPECT_EQ(r.Asc(), c.asc);
    }
    EXPECT_EQ(monitor->Commands()[1].senseKey, 0x5);
    // Off the bus: medium not present.
    EXPECT_TRUE(Wren());
    EXPECT_TRUE(Wren());
    const ScsiResult gone = frame->Execute(Read(64, 0).b, buf, 64, DataDirection::FromDevice, 100);
    EXPECT_EQ(gone.outcome, ScsiOutcome::CheckCondition);
    EXPECT_EQ(gone.SenseKey(), 0x2);
    EXPECT_EQ(gone.Asc(), 0x3A);
    frame->Release();
    EXPECT_EQ(frame->Execute(Read(64, 0).b, buf, 64, DataDirection::FromDevice, 100).outcome,
              ScsiOutcome::SystemError);
}

TEST_F(VirtualFrameTest, WriteProtectedFlashRefusesChangesWithDataProtect) {
    Open(",write_protect=1");
    std::vector<uint8_t> before(64), after(64);
    ASSERT_TRUE(Run(Read(64, 0x100000), before.data(), 64, DataDirection::FromDevice));
    for (const Cdb& c : {Flash(0x20, 4, 0, 0x100000), Flash(0x01, 2)}) {
        ASSERT_TRUE(Wren());
        const ScsiResult r = frame->Execute(c.b, nullptr, 0, DataDirection::None, 100);
        EXPECT_EQ(r.SenseKey(), 0x7);
        EXPECT_EQ(r.Asc(), 0x27);
        EXPECT_FALSE(frame->WriteEnableLatch());
    }
    ASSERT_TRUE(Wren());
    std::vector<uint8_t> zeros(64, 0);
    EXPECT_EQ(frame->Execute(Flash(0x02, 4, 64, 0x100000).b, zeros.data(), 64, DataDirection::ToDevice, 100)
                  .SenseKey(),
              0x7);
    ASSERT_TRUE(Run(Read(64, 0x100000), after.data(), 64, DataDirection::FromDevice));
    EXPECT_EQ(after, before);
}

TEST_F(VirtualFrameTest, MissingImageFileTakesTheFrameOffUntilItIsBack) {
    Open();
    const std::string away = dir.File("away.img");
    EXPECT_TRUE(frame->ImagePresent());
    EXPECT_TRUE(ImageFilePresent(path + ",latency_us=5"));
    ASSERT_EQ(0, std::rename(path.c_str(), away.c_str()));
    EXPECT_FALSE(frame->ImagePresent());
    EXPECT_FALSE(ImageFilePresent(path));
    InquiryData id;
    EXPECT_FALSE(frame->Inquiry(id));
    EXPECT_FALSE(Wren());
    ASSERT_EQ(0, std::rename(away.c_str(), path.c_str()));
    EXPECT_TRUE(frame->Inquiry(id));
    EXPECT_TRUE(Wren());
}

TEST_F(VirtualFrameTest, EveryChangeIsInTheFileWhenTheCommandReturns) {
    Open(",sync=1");
    for (uint32_t k = 0; k < 4; ++k) {
        ASSERT_TRUE(Wren());
        ASSERT_TRUE(Program(0x100000 + k, {uint8_t(k)}));
        EXPECT_EQ(ReadFile(path)[0x100000 + k], k) << "after program " << k;
    }
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Program(0x101000, {0x00}));
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Erase(0x20, 0x101000));
    EXPECT_EQ(ReadFile(path)[0x101000], 0xFF);
    // The next program to open the image (once this one lets go) sees it all.
    frame.reset();
    auto viewer = VirtualFrame::Open(path + ",sync=0");
    uint8_t buf[64];
    ASSERT_TRUE(viewer->Execute(Read(64, 0x100000).b, buf, 64, DataDirection::FromDevice, 100));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0, 1, 2, 3}));
}

TEST_F(VirtualFrameTest, CorruptReadsFlipOneBitDeterministically) {
    Open();
    frame.reset();  // each read below opens the image on its own
    auto readOnce = [&](const std::string& opts) {
        auto f = VirtualFrame::Open(path + opts);
        std::vector<uint8_t> buf(4096);
        EXPECT_TRUE(f->Execute(Read(4096, 0x100000).b, buf.data(), 4096, DataDirection::FromDevice, 100));
        return buf;
    };
    const auto a = readOnce(",corrupt_reads=1,seed=7");
    const auto b = readOnce(",corrupt_reads=1,seed=7");
    EXPECT_EQ(a, b) << "the same seed gives the same fault";
    int flippedBits = 0;
    for (uint8_t v : a) flippedBits += __builtin_popcount(uint8_t(~v));
    EXPECT_EQ(flippedBits, 1);
    const auto clean = readOnce(",corrupt_reads=0");
    EXPECT_EQ(clean, std::vector<uint8_t>(4096, 0xFF));
}

TEST_F(VirtualFrameTest, LogFileAndMemoryLogAgree) {
    TempDir logs;
    const std::string logPath = logs.File("frame.log");
    Open(",log=" + logPath);
    ASSERT_TRUE(Wren());
    uint8_t buf[64];
    ASSERT_TRUE(Run(Read(64, 0), buf, 64, DataDirection::FromDevice));
    EXPECT_FALSE(Run(Flash(0x9F, 1)));
    frame->Release();

    const auto cmds = monitor->Commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[1].direction, DataDirection::FromDevice);
    EXPECT_EQ(cmds[1].length, 64);
    EXPECT_TRUE(cmds[1].ok);
    EXPECT_FALSE(cmds[2].ok);
    EXPECT_EQ(monitor->BytesFromDevice(), 64u);

    const auto text = ReadFile(logPath);
    const std::string log(text.begin(), text.end());
    EXPECT_EQ(log,
              "cb 00 00 00 00 00 01 00 00 00 06 00 00 00 00 00 dir=0 len=0 ok\n"
              "cd 00 00 00 00 00 04 00 00 40 03 00 00 00 00 00 dir=2 len=64 ok\n"
              "cb 00 00 00 00 00 01 00 00 00 9f 00 00 00 00 00 dir=0 len=0 fail\n");
}

TEST_F(VirtualFrameTest, BusyPollsReportBusyAfterWrites) {
    Open(",busy_polls=2");
    Cdb status;
    status.b[0] = 0xCD;
    status.b[6] = 1;
    status.b[9] = 64;
    status.b[10] = 0x05;
    uint8_t reply[64];
    ASSERT_TRUE(Run(status, reply, 64, DataDirection::FromDevice));
    EXPECT_EQ(reply[0] & 1, 0);
    ASSERT_TRUE(Wren());
    ASSERT_TRUE(Run(status, reply, 64, DataDirection::FromDevice));
    EXPECT_EQ(reply[0], 0x02) << "write-enable latch shows in the status";
    ASSERT_TRUE(Program(0x100000, {0}));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(Run(status, reply, 64, DataDirection::FromDevice));
        EXPECT_EQ(reply[0] & 1, 1);
    }
    ASSERT_TRUE(Run(status, reply, 64, DataDirection::FromDevice));
    EXPECT_EQ(reply[0] & 1, 0);
}

TEST(VirtualFrameArgument, ParsesOptionsAndRejectsNonsense) {
    const auto o = ParseVirtualFrameArgument(
        "/tmp/x.img,latency_us=1000,bytes_per_s=0x100000,unplug_after=0,corrupt_reads=0.25,"
        "seed=9,firmware=1.0,vendor=Norvelta,log=/tmp/l,busy_polls=3,sync=0");
    EXPECT_EQ(o.path, "/tmp/x.img");
    EXPECT_EQ(o.latencyUs, 1000u);
    EXPECT_EQ(o.bytesPerS, 0x100000u);
    ASSERT_TRUE(o.unplugAfter.has_value());
    EXPECT_EQ(*o.unplugAfter, 0u);
    EXPECT_DOUBLE_EQ(o.corruptReads, 0.25);
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.firmware.value_or("?"), "1.0");
    EXPECT_EQ(o.vendor, "Norvelta");
    EXPECT_EQ(o.logPath, "/tmp/l");
    EXPECT_EQ(o.busyPolls, 3u);
    EXPECT_FALSE(o.sync);
    EXPECT_FALSE(ParseVirtualFrameArgument("a.img").unplugAfter.has_value());

    for (const char* bad : {"", ",latency_us=1", "a.img,latency_us=-1", "a.img,latency_us=x",
                            "a.img,corrupt_reads=2", "a.img,colour=red", "a.img,vendor=123456789",
                            "a.img,sync=yes", "a.img,seed"})
        EXPECT_THROW(ParseVirtualFrameArgument(bad), std::invalid_argument) << bad;
    EXPECT_THROW(VirtualFrame::Open("/nonexistent/dir/x.img"), std::runtime_error);
}

// ---- the frame model: what a real frame's link and chip cost ----

TEST(FrameModel, OptionsCostsAndOverrides) {
    const FrameModel fs = FrameModel::UsbFullSpeed();
    EXPECT_FALSE(ParseVirtualFrameArgument("a.img").model.Active());
    const FrameModel parsed = ParseVirtualFrameArgument("a.img,model=usb-full-speed").model;
    EXPECT_EQ(parsed.erase4kUs, 45000u);
    EXPECT_EQ(parsed.erase64kUs, 150000u);
    EXPECT_EQ(parsed.pageUs, 700u);
    EXPECT_EQ(parsed.commandUs, fs.commandUs);
    // A single figure wins over the model wherever it stands.
    for (const char* arg : {"a.img,wrsr_us=0,model=usb-full-speed,page_us=5", "a.img,page_us=5,model=usb-full-speed,wrsr_us=0"}) {
        const FrameModel m = ParseVirtualFrameArgument(arg).model;
        EXPECT_EQ(m.pageUs, 5u) << arg;
        EXPECT_EQ(m.statusWriteUs, 0u) << arg;
        EXPECT_EQ(m.erase4kUs, 45000u) << arg;
    }
    EXPECT_FALSE(ParseVirtualFrameArgument("a.img,model=usb-full-speed,model=none").model.Active());
    for (const char* bad : {"a.img,model=usb3", "a.img,page_us=-1", "a.img,erase4k_us=61000000"})
        EXPECT_THROW(ParseVirtualFrameArgument(bad), std::invalid_argument) << bad;

    struct { int32_t length; uint64_t packets; } transfers[] = {{0, 0}, {1, 1}, {64, 1}, {65, 2}, {4096, 64}};
    for (const auto& t : transfers)
        EXPECT_EQ(fs.TransferUs(t.length), fs.commandUs + t.packets * fs.packetUs) << t.length;
    struct { uint32_t address, length; uint64_t pages; } programs[] = {
        {0x1000, 4096, 16}, {0x1000, 256, 1}, {0x10FF, 2, 2}, {0x1080, 256, 2}, {0x1000, 0, 0}, {0x1000, 3840, 15}};
    for (const auto& p : programs)
        EXPECT_EQ(fs.ProgramUs(p.address, p.length), p.pages * 700u) << p.address << "+" << p.length;
}

TEST_F(VirtualFrameTest, ModelledChipAnswersBusyAndHoldsTheNextCommand) {
    // Only the chip costs time here, and an erase takes long enough that the
    // status read straight after it must see the chip busy.
    Open(",model=usb-full-speed,cmd_us=0,packet_us=0,wrsr_us=0,erase4k_us=600000,page_us=200000");
    Cdb status;
    status.b[0] = 0xCD;
    status.b[6] = 1;
    status.b[9] = 64;
    status.b[10] = 0x05;
    Cdb firmware;
    firmware.b[0] = 0xCD;
    firmware.b[5] = 1;
    firmware.b[6] = 1;
    firmware.b[10] = 1;
    uint8_t reply[64];
    using Clock = std::chrono::steady_clock;

    ASSERT_TRUE(Wren());
    const auto erased = Clock::now();
    ASSERT_TRUE(Erase(0x20, 0x100000));
    ASSERT_TRUE(Run(status, reply, 64, DataDirection::FromDevice));
    EXPECT_EQ(reply[0] & 1, 1) << "busy while the sector erase runs";
    ASSERT_TRUE(Run(firmware, reply, 64, DataDirection::FromDevice)) << "answered without the chip";
    // The next chip command waits for the erase, then the chip is ready.
    ASSERT_TRUE(Wren());
    EXPECT_GE(Clock::now() - erased, std::chrono::milliseconds(600));
    ASSERT_TRUE(Run(status, reply, 64, DataDirection::FromDevice));
    EXPECT_EQ(reply[0] & 1, 0);

    // A program of 300 bytes touches two pages; the checksum that verifies
    // it waits for both.
    const auto programmed = Clock::now();
    ASSERT_TRUE(Program(0x100000, std::vector<uint8_t>(300, 0x5A)));
    ASSERT_TRUE(Run(Checksum(300, 0x100000), reply, 64, DataDirection::FromDevice));
    EXPECT_GE(Clock::now() - programmed, std::chrono::milliseconds(400));
    EXPECT_EQ(reply[0] * 256 + reply[1], (300 * 0x5A) & 0xFFFF);
    EXPECT_GE(monitor->WireMicros(), 1'000'000u) << "the waits count as wire time";
    // The model's own clock: WREN, erase, status, firmware, WREN after the
    // 600 ms erase, status, program, checksum after two 200 ms pages.
    EXPECT_EQ(monitor->ModelMicros(), 600'000u + 400'000u);
}

TEST_F(VirtualFrameTest, HostReadyPollSeesTheModelledBusyBit) {
    Open(",model=usb-full-speed,erase4k_us=100000");
    CCommUSB link;
    link.AttachUnit(std::move(frame));
    CProcessFlash flash;
    flash.SetHidComm(&link);
    ASSERT_TRUE(flash.EraseOneBlockFlash(0x100000));
    monitor->ClearCommands();
    ASSERT_TRUE(flash.WaitFlashReady());
    // 100 ms of erase against 10 ms between polls: several busy answers.
    int polls = 0;
    for (const FrameCommand& c : monitor->Commands()) polls += IsStatus(c);
    EXPECT_GE(polls, 3);
}
