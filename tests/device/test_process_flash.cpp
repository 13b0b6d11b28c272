// SPDX-License-Identifier: GPL-3.0-or-later
// The flash command set on the wire, against the virtual frame.

#include "DeviceTestSupport.h"
#include "device/ProcessFlash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

using namespace kestova;
using namespace kestova::test;

namespace {

class FlashTest : public ::testing::Test {
protected:
    // Attaches a frame on a fresh image; `hook` (optional) injects faults.
    void Attach(const std::string& options = "", FaultyUnit::Hook hook = nullptr,
                FrameImageLayout layout = {}) {
        path = MakeImage(dir, "frame.img", layout);
        auto frame = VirtualFrame::Open(path + options);
        monitor = frame->Monitor();
        if (hook) link.AttachUnit(std::make_unique<FaultyUnit>(std::move(frame), std::move(hook)));
        else link.AttachUnit(std::move(frame));
        flash.SetHidComm(&link);
        flash.SetSleeper([this](unsigned ms) {
            sleeps.push_back(ms);
            nowMs += ms;
        });
        flash.SetClock([this] { return nowMs; });
    }
    // Puts known bytes into the image through the full write path.
    void Seed(uint32_t addr, const std::vector<uint8_t>& data) {
        for (size_t off = 0; off < data.size(); off += 4096) {
            const int32_t n = int32_t(std::min<size_t>(4096, data.size() - off));
            ASSERT_TRUE(flash.WriteToFlash(data.data() + off, n, addr + uint32_t(off)));
        }
        monitor->ClearCommands();
    }
    std::vector<FrameCommand> Wire() const { return monitor->Commands(); }

    TempDir dir;
    std::string path;
    CCommUSB link;
    CProcessFlash flash;
    std::shared_ptr<VirtualFrameMonitor> monitor;
    std::vector<unsigned> sleeps;
    uint64_t nowMs = 0;  // the flash layer's clock; sleeps and stalled reads advance it
};

std::vector<uint8_t> Pattern(size_t n, uint8_t salt = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + salt + (i >> 8));
    return v;
}

// Replaces the checksum reply of selected checksum queries (counted from 0)
// with a wrong value.
FaultyUnit::Hook SpoilChecksums(std::vector<int> which) {
    auto seen = std::make_shared<int>(0);
    return [which, seen](int, const uint8_t* cdb, uint8_t* buf, int32_t, DataDirection, bool ok) {
        if (cdb[0] == 0xCD && cdb[5] == 5) {
            const int n = (*seen)++;
            if (std::find(which.begin(), which.end(), n) != which.end()) buf[1] ^= 0x01;
        }
        return ok;
    };
}

} // namespace

TEST_F(FlashTest, InformationBlockReadIsOneReadAndOneChecksum) {
    Attach();
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(flash.ReadData(0, 512, buf.data()), CProcessFlash::kReadOk);
    const auto w = Wire();
    int reads = 0, sums = 0;
    for (const auto& c : w) {
        if (IsRead(c)) {
            ++reads;
            EXPECT_EQ(Be24(&c.cdb[7]), 512u);
            EXPECT_EQ(c.length, 512);
            EXPECT_EQ(Be24(&c.cdb[11]), 0u);
        } else if (IsChecksum(c)) {
            ++sums;
            EXPECT_EQ(c.cdb[7] * 256 + c.cdb[8], 512);
            EXPECT_EQ(c.cdb[6], 5);
        } else {
            EXPECT_TRUE(IsStatus(c)) << "only the ready poll may join them";
        }
    }
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(sums, 1);
    EXPECT_EQ(0, std::memcmp(buf.data(), ReadFile(path).data(), 512));
}

TEST_F(FlashTest, ShortTailGoesOutRoundedButOnlyRequestedBytesArrive) {
    Attach();
    Seed(0x100000, Pattern(4096, 3));
    // The caller's buffer is exactly 100 bytes between two guard zones.
    std::vector<uint8_t> guarded(100 + 64, 0xA5);
    uint8_t* buf = guarded.data() + 32;
    ASSERT_EQ(flash.ReadData(0x100000, 100, buf), CProcessFlash::kReadOk);
    EXPECT_EQ(0, std::memcmp(buf, Pattern(4096, 3).data(), 100));
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(guarded[size_t(i)], 0xA5);
        EXPECT_EQ(guarded[size_t(132 + i)], 0xA5) << "byte past the tail was written";
    }
    const auto w = Wire();
    ASSERT_GE(w.size(), 2u);
    EXPECT_TRUE(IsRead(w[0]));
    EXPECT_EQ(Be24(&w[0].cdb[7]), 128u);
    EXPECT_EQ(w[0].length, 128);
    const auto& sum = w.back();
    EXPECT_TRUE(IsChecksum(sum));
    EXPECT_EQ(sum.cdb[7] * 256 + sum.cdb[8], 100);

    // The plain read splits 4096+100 into a 4096 chunk and a 128 on the wire.
    monitor->ClearCommands();
    std::vector<uint8_t> big(4196);
    ASSERT_TRUE(flash.ReadFromFlash(big.data(), 4196, 0x100000));
    std::vector<int> lengths;
    for (const auto& c : Wire())
        if (IsRead(c)) lengths.push_back(c.length);
    EXPECT_EQ(lengths, (std::vector<int>{4096, 128}));
}

TEST_F(FlashTest, WholeChunksMakeNoTailRead) {
    Attach();
    const auto data = Pattern(8192, 9);
    Seed(0x100000, data);
    std::vector<uint8_t> buf(8192);
    ASSERT_EQ(flash.ReadData(0x100000, 8192, buf.data()), CProcessFlash::kReadOk);
    EXPECT_EQ(buf, data);
    std::vector<uint32_t> readAddrs;
    for (const auto& c : Wire()) {
        if (IsRead(c)) {
            EXPECT_EQ(c.length, 4096);
            readAddrs.push_back(Be24(&c.cdb[11]));
        }
    }
    EXPECT_EQ(readAddrs, (std::vector<uint32_t>{0x100000, 0x101000}));
}

TEST_F(FlashTest, ChunkAgreeingOnThirdAttemptIsAccepted) {
    Attach("", SpoilChecksums({0, 1}));
    const auto data = Pattern(4096 + 300, 1);
    Seed(0x100000, data);
    std::vector<uint8_t> buf(data.size());
    ASSERT_EQ(flash.ReadData(0x100000, int32_t(data.size()), buf.data()), CProcessFlash::kReadOk);
    EXPECT_EQ(buf, data);
    int reads = 0;
    for (const auto& c : Wire()) reads += IsRead(c);
    EXPECT_EQ(reads, 3 + 1) << "three attempts for chunk 0, one for the tail";
}

TEST_F(FlashTest, ThirdDisagreementGivesCode2ForChunkAndTail) {
    {
        Attach("", SpoilChecksums({0, 1, 2}));
        std::vector<uint8_t> buf(4096);
        EXPECT_EQ(flash.ReadData(0x100000, 4096, buf.data()), CProcessFlash::kReadChecksumMismatch);
        int reads = 0;
        for (const auto& c : Wire()) reads += IsRead(c);
        EXPECT_EQ(reads, 3);
    }
    {
        // Chunk 0 fine, the tail disagrees three times: its bytes never arrive.
        TempDir other;
        CCommUSB link2;
        auto frame = VirtualFrame::Open(MakeImage(other));
        link2.AttachUnit(std::make_unique<FaultyUnit>(std::move(frame), SpoilChecksums({1, 2, 3})));
        CProcessFlash f2;
        f2.SetHidComm(&link2);
        std::vector<uint8_t> buf(4096 + 100, 0x5A);
        EXPECT_EQ(f2.ReadData(0x100000, 4196, buf.data()), CProcessFlash::kReadChecksumMismatch);
        EXPECT_EQ(buf[0], 0xFF) << "chunk 0 stays in the buffer";
        EXPECT_EQ(buf[4096], 0x5A) << "a rejected tail never reaches the caller";
        EXPECT_EQ(buf[4195], 0x5A);
    }
}

TEST_F(FlashTest, CorruptedReadsAreRepairedByRetry) {
    // Roughly every other read comes back with one flipped bit.
    Attach(",corrupt_reads=0.5,seed=3");
    const auto data = Pattern(16 * 4096, 5);
    Seed(0x100000, data);
    std::vector<uint8_t> buf(data.size());
    int rc = flash.ReadData(0x100000, int32_t(data.size()), buf.data());
    if (rc == CProcessFlash::kReadOk) EXPECT_EQ(buf, data);
    else EXPECT_EQ(rc, CProcessFlash::kReadChecksumMismatch);
    int reads = 0;
    for (const auto& c : Wire()) reads += IsRead(c);
    EXPECT_GT(reads, 16) << "some chunks needed another attempt";
}

TEST_F(FlashTest, FailedQueriesAndReadsGiveTheirCodes) {
    // Checksum query fails: code 1, and GetVerifyValue leaves both outputs 0.
    Attach("", [](int, const uint8_t* cdb, uint8_t* buf, int32_t, DataDirection, bool ok) {
        if (cdb[0] == 0xCD && cdb[5] == 5) {
            buf[0] = 0x12;  // garbage in the reply must not leak out
            buf[1] = 0x34;
            return false;
        }
        return ok;
    });
    uint8_t hi = 9, lo = 9;
    EXPECT_FALSE(flash.GetVerifyValue(hi, lo, 0x100000, 4096));
    EXPECT_EQ(hi, 0);
    EXPECT_EQ(lo, 0);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(flash.ReadData(0, 512, buf.data()), CProcessFlash::kReadChecksumQueryFailed);

    // A failed read: code 3. Offline: code 3 with nothing sent.
    link.DetachUnit();
    monitor->ClearCommands();
    EXPECT_EQ(flash.ReadData(0, 512, buf.data()), CProcessFlash::kReadFailed);
    EXPECT_FALSE(flash.ReadFromFlash(buf.data(), 512, 0));
    EXPECT_FALSE(flash.WriteToFlash(buf.data(), 512, 0x100000));
    EXPECT_FALSE(flash.EraseOneBlockFlash(0x100000));
    EXPECT_EQ(monitor->CommandCount(), 0u);
}

TEST_F(FlashTest, ReadFailsWhenFramePulledMidway) {
    Attach(",unplug_after=1");
    std::vector<uint8_t> buf(8192);
    EXPECT_EQ(flash.ReadData(0x100000, 8192, buf.data()), CProcessFlash::kReadFailed);
}

TEST_F(FlashTest, WritesThroughPreambleChangeTheFlash) {
    Attach();
    const auto data = Pattern(4096, 11);
    ASSERT_TRUE(flash.WriteToFlash(data.data(), 4096, 0x101000));
    auto img = ReadFile(path);
    EXPECT_EQ(0, std::memcmp(img.data() + 0x101000, data.data(), 4096));

    // The preamble on the wire: WREN, WRSR 0, WREN, then the program.
    const auto w = Wire();
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0].cdb[10], 0x06);
    EXPECT_EQ(w[1].cdb[10], 0x01);
    EXPECT_EQ(w[1].cdb[6], 2);
    EXPECT_EQ(w[1].cdb[11], 0x00);
    EXPECT_EQ(w[2].cdb[10], 0x06);
    EXPECT_EQ(w[3].cdb[10], 0x02);
    EXPECT_EQ(Be24(&w[3].cdb[7]), 4096u);
    EXPECT_EQ(Be24(&w[3].cdb[11]), 0x101000u);
    EXPECT_EQ(w[3].direction, DataDirection::ToDevice);

    // Erase through the preamble restores 0xFF.
    monitor->ClearCommands();
    ASSERT_TRUE(flash.EraseOneBlockFlash(0x101000));
    img = ReadFile(path);
    EXPECT_EQ(img[0x101000], 0xFF);
    EXPECT_EQ(img[0x101FFF], 0xFF);
    const auto e = Wire();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[3].cdb[10], 0x20) << "default erase opcode";
    EXPECT_EQ(e[3].cdb[6], 4);

    // The bare page program without write enable leaves the flash alone.
    uint8_t cdb[16] = {0xCB, 0, 0, 0, 0, 0, 4, 0, 0x10, 0, 0x02, 0x10, 0x10, 0x00};
    ASSERT_TRUE(link.SendCmdToDPF(cdb, const_cast<uint8_t*>(data.data()), 4096, DataDirection::ToDevice));
    EXPECT_EQ(ReadFile(path)[0x101000], 0xFF);
}

TEST_F(FlashTest, ZeroLengthWriteSendsNothing) {
    Attach();
    uint8_t b = 0;
    EXPECT_TRUE(flash.WriteToFlash(&b, 0, 0x100000));
    EXPECT_TRUE(flash.WriteToFlash(nullptr, 0, 0x100000));
    EXPECT_EQ(monitor->CommandCount(), 0u);
    // Over-long pages are refused before they reach the wire.
    std::vector<uint8_t> big(4097);
    EXPECT_FALSE(flash.WriteToFlash(big.data(), 4097, 0x100000));
    EXPECT_EQ(monitor->CommandCount(), 0u);
}

TEST_F(FlashTest, ProgramModeFlagOnlyOnPageProgram) {
    Attach();
    auto run = [&] {
        monitor->ClearCommands();
        const auto d = Pattern(256);
        std::vector<uint8_t> buf(256);
        EXPECT_TRUE(flash.WriteToFlash(d.data(), 256, 0x100000));
        EXPECT_TRUE(flash.EraseOneBlockFlash(0x100000));
        EXPECT_EQ(flash.ReadData(0x100000, 256, buf.data()), 0);
        EXPECT_TRUE(flash.GetFlashStatus());
        EXPECT_TRUE(flash.FlashReleasePowerDown());
        return Wire();
    };
    for (const auto& c : run()) EXPECT_EQ(c.cdb[15], 0) << "flag off";

    flash.SetOPCMD(0x20, 1);
    int programs = 0;
    for (const auto& c : run()) {
        const bool program = c.cdb[0] == 0xCB && c.cdb[10] == 0x02;
        programs += program;
        EXPECT_EQ(c.cdb[15], program ? 0x02 : 0x00);
    }
    EXPECT_EQ(programs, 1);
}

TEST_F(FlashTest, EraseOpcodeComesFromSetOPCMD) {
    Attach();
    flash.SetOPCMD(0xD8, 0);
    EXPECT_EQ(flash.EraseOpcode(), 0xD8);
    // Seed two neighbouring units, then erase with 0xD8 on a frame whose
    // block names 0x20: the whole 64 KiB block goes, which is what a host
    // with the wrong opcode does to a real chip.
    Seed(0x110000, Pattern(8192));
    ASSERT_TRUE(flash.EraseOneBlockFlash(0x110000));
    auto img = ReadFile(path);
    EXPECT_EQ(img[0x111000], 0xFF);
    // Erased or zeroed information blocks leave the default in force.
    flash.SetOPCMD(0xFF, 0);
    EXPECT_EQ(flash.EraseOpcode(), 0x20);
    flash.SetOPCMD(0x00, 0);
    EXPECT_EQ(flash.EraseOpcode(), 0x20);
}

TEST_F(FlashTest, ReadyPollChecksFirstAndSleepsOnlyWhileBusy) {
    Attach(",busy_polls=3");
    EXPECT_TRUE(flash.WaitFlashReady());
    EXPECT_TRUE(sleeps.empty()) << "a ready chip costs no sleep";

    const auto d = Pattern(64);
    ASSERT_TRUE(flash.WriteToFlash(d.data(), 64, 0x100000));  // now busy for 3 status reads
    monitor->ClearCommands();
    EXPECT_TRUE(flash.WaitFlashReady());
    EXPECT_EQ(sleeps, (std::vector<unsigned>{10, 10, 10}));
    EXPECT_EQ(monitor->CommandCount(), 4u);

    // A chip that stays busy: the wait ends when its time is up.
    sleeps.clear();
    ASSERT_TRUE(flash.WriteToFlash(d.data(), 64, 0x100000));
    flash.SetReadyTimeoutMs(25);
    EXPECT_FALSE(flash.WaitFlashReady());
    EXPECT_EQ(sleeps, (std::vector<unsigned>{10, 10, 5}));
}

// A frame that lets every status read run into its timeout: the wait is
// bounded by time, not by a count of reads, and each read only gets the time
// that is left of it.
TEST_F(FlashTest, ReadyPollEndsInTimeWhenEveryStatusReadStalls) {
    struct StalledStatus : ScsiUnit {
        std::unique_ptr<ScsiUnit> inner;
        uint64_t* clock;
        std::vector<unsigned> timeouts;
        ScsiResult Execute(const uint8_t cdb[16], uint8_t* buf, int32_t len, DataDirection dir,
                           unsigned timeoutMs) override {
            if (cdb[0] == 0xCD && cdb[10] == 0x05) {
                timeouts.push_back(timeoutMs);
                *clock += timeoutMs;  // no answer until the timeout
                return ScsiResult::Transport();
            }
            return inner->Execute(cdb, buf, len, dir, timeoutMs);
        }
        bool Inquiry(InquiryData& out) override { return inner->Inquiry(out); }
        void Release() override { inner->Release(); }
        std::string Name() const override { return inner->Name(); }
    };
    flash.SetClock([this] { return nowMs; });
    flash.SetSleeper([this](unsigned ms) { nowMs += ms; });
    for (unsigned limit : {5000u, 100u, 7u}) {
        SCOPED_TRACE(limit);
        path = MakeImage(dir, "stall.img");
        auto unit = std::make_unique<StalledStatus>();
        unit->inner = VirtualFrame::Open(path);
        unit->clock = &nowMs;
        StalledStatus* stalled = unit.get();
        link.AttachUnit(std::move(unit));
        flash.SetHidComm(&link);
        flash.SetReadyTimeoutMs(limit);
        nowMs = 1000;
        EXPECT_FALSE(flash.WaitFlashReady());
        EXPECT_LE(nowMs - 1000, limit);
        ASSERT_EQ(stalled->timeouts.size(), 1u);  // the first read used the whole limit
        EXPECT_EQ(stalled->timeouts[0], std::min(limit, CCommUSB::kDefaultTimeoutMs));
        // A verified read ends too, with a read failure, within the limit.
        uint8_t block[512];
        nowMs = 1000;
        EXPECT_EQ(flash.ReadData(0, 512, block), CProcessFlash::kReadFailed);
        EXPECT_LE(nowMs - 1000, limit);
    }
}

TEST_F(FlashTest, ReadyPollEndsWhenTheFrameIsPulled) {
    // The frame answers "busy" and disappears after a few status reads.
    Attach(",busy_polls=1000,unplug_after=8");
    const auto d = Pattern(64);
    ASSERT_TRUE(flash.WriteToFlash(d.data(), 64, 0x100000));
    int polls = 0;
    flash.SetSleeper([&](unsigned) {
        if (++polls == 3) link.DetachUnit();  // what the hot-plug handler does
    });
    EXPECT_FALSE(flash.WaitFlashReady());
    EXPECT_EQ(polls, 3);
}

TEST(FlashChecksum, ByteSumModulo65536) {
    std::vector<uint8_t> ff(4096, 0xFF);
    EXPECT_TRUE(CProcessFlash::CheckDataIsOK(ff.data(), 4096, (4096 * 255) % 65536));
    EXPECT_FALSE(CProcessFlash::CheckDataIsOK(ff.data(), 4096, 4096 * 255));
    const uint8_t some[] = {1, 2, 250};
    EXPECT_TRUE(CProcessFlash::CheckDataIsOK(some, 3, 253));
    EXPECT_TRUE(CProcessFlash::CheckDataIsOK(some, 0, 0));
}
