// SPDX-License-Identifier: GPL-3.0-or-later
// The clock frame and the firmware version replies.

#include "DeviceTestSupport.h"
#include "device/ProcessFlash.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace kestova;
using namespace kestova::test;

namespace {

LocalTimeNow At(int y, int mo, int d, int h, int mi, int s, long offset, bool dst = false) {
    LocalTimeNow t;
    t.local.tm_year = y - 1900;
    t.local.tm_mon = mo - 1;
    t.local.tm_mday = d;
    t.local.tm_hour = h;
    t.local.tm_min = mi;
    t.local.tm_sec = s;
    t.utcOffsetSeconds = offset;
    t.dst = dst;
    return t;
}

std::vector<uint8_t> Frame(const LocalTimeNow& t) {
    uint8_t cdb[16];
    CProcessFlash::BuildClockFrame(t, cdb);
    return std::vector<uint8_t>(cdb, cdb + 16);
}

std::string Decode(std::vector<uint8_t> head, bool* ok = nullptr) {
    uint8_t reply[64] = {};
    std::memcpy(reply, head.data(), std::min<size_t>(64, head.size()));
    std::string v = "unchanged";
    const bool r = CProcessFlash::DecodeFirmwareReply(reply, v);
    if (ok) *ok = r;
    return v;
}

} // namespace

TEST(Clock, FrameForTheWorkedExample) {
    EXPECT_EQ(Frame(At(2010, 3, 7, 14, 5, 9, 8 * 3600)),
              (std::vector<uint8_t>{0xCA, 0, 0, 0, 0, 0x0A, 0x14, 0x03, 0x07, 0x0E, 0x05, 0x09, 0, 0, 0, 0x14}));
}

TEST(Clock, ZoneByteTruncatesTowardZero) {
    struct Case {
        long offset;
        bool dst;
        uint8_t zone;
    } cases[] = {
        {-5 * 3600, false, 7},        {0, false, 12},           {5 * 3600 + 1800, false, 17},
        {-(3 * 3600 + 1800), false, 9}, {2 * 3600, true, 14},   {14 * 3600, false, 26},
        {-12 * 3600, false, 0},       {-1800, false, 12},
    };
    for (const auto& c : cases) {
        const auto f = Frame(At(2024, 7, 1, 0, 0, 0, c.offset, c.dst));
        EXPECT_EQ(f[15], c.zone) << "offset " << c.offset;
        EXPECT_EQ(f[14], c.dst ? 1 : 0);
    }
    // Century and year of another century; a leap second is sent as 59.
    const auto f = Frame(At(1999, 12, 31, 23, 59, 60, 0));
    EXPECT_EQ(f[5], 99);
    EXPECT_EQ(f[6], 19);
    EXPECT_EQ(f[11], 59);
}

TEST(Clock, SynchronizeSendsTheFrameFromTheTimeSource) {
    TempDir dir;
    auto frame = VirtualFrame::Open(MakeImage(dir));
    auto monitor = frame->Monitor();
    CCommUSB link;
    CProcessFlash flash;
    flash.SetHidComm(&link);
    flash.SetTimeSource([] { return At(2010, 3, 7, 14, 5, 9, 8 * 3600); });
    EXPECT_FALSE(flash.SynchronizeDPFTime()) << "offline";
    link.AttachUnit(std::move(frame));
    ASSERT_TRUE(flash.SynchronizeDPFTime());
    const auto cmds = monitor->Commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].direction, DataDirection::None);
    EXPECT_EQ(cmds[0].length, 0);
    const FrameClock c = monitor->Clock();
    EXPECT_EQ(c.year, 2010);
    EXPECT_EQ(c.hour, 14);
    EXPECT_EQ(c.zoneByte, 20);
    EXPECT_EQ(0, std::memcmp(flash.LastClockFrame(), cmds[0].cdb.data(), 16));
}

TEST(Clock, SystemTimeUsesTheLocalZone) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "Asia/Kolkata", 1);  // UTC+5:30 all year
    tzset();
    const LocalTimeNow now = CProcessFlash::SystemLocalTime();
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
    if (now.utcOffsetSeconds == 0) GTEST_SKIP() << "no zone database on this machine";
    EXPECT_EQ(now.utcOffsetSeconds, 5 * 3600 + 1800);
    EXPECT_FALSE(now.dst);
    EXPECT_EQ(Frame(now)[15], 17);
}

TEST(FirmwareVersion, ReplyRules) {
    bool ok = false;
    EXPECT_EQ(Decode({0x31, 0x00, 0x32, 0x00, 0x00}, &ok), "102");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Decode({'V', '1', '.', '2', '3', 0xFF, 'x', 'y', 0}, &ok), "V1.23");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Decode({0xFF, 'a', 'b'}, &ok), "");
    EXPECT_FALSE(ok);
    // A text ended by 0 and padded with 0xFF keeps its length.
    EXPECT_EQ(Decode({'A', 'B', 0x00, 0xFF, 0xFF, 0xFF}, &ok), "AB");
    // 64 bytes without any end mark are taken whole, never read past.
    std::vector<uint8_t> full(64, 'z');
    EXPECT_EQ(Decode(full, &ok), std::string(64, 'z'));
}

TEST(FirmwareVersion, ReadThroughTheFrame) {
    TempDir dir;
    const std::string img = MakeImage(dir);
    CProcessFlash flash;
    CCommUSB link;
    flash.SetHidComm(&link);
    std::string version = "old", other = "keep";
    EXPECT_FALSE(flash.ReadFirmwareVersion(version, other));
    EXPECT_EQ(version, "");
    EXPECT_EQ(other, "") << "a failed query clears both";

    link.AttachUnit(VirtualFrame::Open(img + ",firmware=KV3.1"));
    other = "keep";
    EXPECT_TRUE(flash.ReadFirmwareVersion(version, other));
    EXPECT_EQ(version, "KV3.1");
    EXPECT_EQ(other, "keep");

    link.DetachUnit();  // one holder at a time: let go before opening it again
    link.AttachUnit(VirtualFrame::Open(img + ",firmware="));
    EXPECT_FALSE(flash.ReadFirmwareVersion(version, other));
    EXPECT_EQ(version, "");
    EXPECT_EQ(other, "keep");
}
