// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The virtual frame: a ScsiUnit whose flash is a raw image file, byte for byte
// (a dump read from a real chip with an SPI programmer works as well).
//
// Quick use (tests, programs):
//
//     auto frame = VirtualFrame::Open("/tmp/x.img,unplug_after=5");  // throws on error
//     auto monitor = frame->Monitor();        // survives the unit; thread-safe
//     CCommUSB link;
//     link.AttachUnit(std::move(frame));      // link is online now
//     ... drive it through CProcessFlash ...
//     monitor->Commands();                    // every command: CDB, direction, length, result
//     monitor->CommandCount(); monitor->BytesToDevice(); monitor->BytesFromDevice();
//     monitor->Clock();                       // what the last 0xCA command set
//
// Blank images are made with FormatFrameImage (device/virtual/FrameImage.h).
//
// The frame argument is "PATH[,key=value...]" (a PATH with a comma is found
// when that file exists: the longest existing part before a comma is PATH)
// with these keys:
//   latency_us=N     sleep N microseconds per command
//   bytes_per_s=N    plus (data bytes / N) seconds per command
//   unplug_after=N   after N commands the frame is off the bus for good:
//                    every later command and INQUIRY fails
//   corrupt_reads=P  probability (0..1) that a flash read returns one flipped byte
//   seed=N           random seed for corrupt_reads (default 1: runs repeat exactly)
//   firmware=TEXT    firmware version text (default "VF-1.00"); empty = none
//   vendor=TEXT      INQUIRY vendor identification (default "norvelta")
//   log=FILE         append one line per command to FILE
//   busy_polls=N     after every erase or program, the next N status reads
//                    report busy (exercises the host's ready poll)
//   write_protect=1  the flash is protected: erase, program and status
//                    writes are refused with DATA PROTECT (write protected)
//   sync=0|1         1 (default): every change is fdatasync'ed before the
//                    command returns; 0 skips the sync (benchmarks, long
//                    crash-sweep tests). Changes still reach the file itself
//                    before the command returns, so the next frame opened on
//                    the same image (after this one is released) sees them.
//   model=NAME       the time a real frame takes (FrameModel): "usb-full-speed"
//                    or "none" (default: every command is instant)
//   cmd_us, packet_us, erase4k_us, erase64k_us, page_us, wrsr_us
//                    override one figure of the model (see FrameModel)
//
// The frame goes off the bus when unplug_after runs out (for good) and while
// its image file is missing from its path (renamed away or deleted); it
// answers again once the same file is back. Off the bus, every command ends
// with CHECK CONDITION, NOT READY, "medium not present" (3A/00), and INQUIRY
// fails. A malformed command is refused with ILLEGAL REQUEST (invalid
// command operation code 20/00, address out of range 21/00, invalid field
// 24/00), a failed image read or write with MEDIUM ERROR (11/00, 0C/00). ImageFilePresent() is the cheap
// check for a frame argument or path without opening anything.

#include "device/ScsiUnit.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestova {

// The time a typical frame takes, so that benchmarks and users can tell how
// long a real frame would need. The link: one USB round trip per command
// (command and status stages) plus one bulk packet time per 64 data bytes.
// The chip: erase and program times of a small SPI NOR flash. While the chip
// is busy, a status read answers with the busy bit set at once, and every
// other command that needs the chip waits until it is done (the firmware
// finishes an erase or program before it takes the next command), so a host
// that polls sees what it would see on hardware. All zero: no delays.
struct FrameModel {
    uint64_t commandUs = 0;      // per command: USB round trip
    uint64_t packetUs = 0;       // per 64-byte packet of the data stage
    uint64_t erase4kUs = 0;      // 4 KiB sector erase
    uint64_t erase64kUs = 0;     // 64 KiB block erase
    uint64_t pageUs = 0;         // per 256-byte page touched by a page program
    uint64_t statusWriteUs = 0;  // write status register (a write cycle of its own)

    // Full-speed USB (12 Mbit/s, 1 ms frames, 19 bulk packets of 64 bytes a
    // frame at most) and the typical figures of a 16 Mbit SPI NOR datasheet.
    static FrameModel UsbFullSpeed();
    bool Active() const;
    // Time on the wire of one command carrying `length` data bytes.
    uint64_t TransferUs(int32_t length) const;
    // Chip time of a page program of `length` bytes at `address`: the chip
    // programs 256-byte pages, one after another.
    uint64_t ProgramUs(uint32_t address, uint32_t length) const;
};

struct VirtualFrameOptions {
    std::string path;
    uint64_t latencyUs = 0;
    uint64_t bytesPerS = 0;                   // 0 = no per-byte delay
    std::optional<uint64_t> unplugAfter;      // commands before going off the bus
    double corruptReads = 0.0;
    uint64_t seed = 1;
    std::optional<std::string> firmware = std::string("VF-1.00");  // nullopt/empty = none
    std::string vendor = "norvelta";
    std::string logPath;
    unsigned busyPolls = 0;
    bool sync = true;
    bool writeProtect = false;
    FrameModel model;
};

// Parses "PATH[,key=value...]". Throws std::invalid_argument with a message
// naming the offending key or value.
VirtualFrameOptions ParseVirtualFrameArgument(const std::string& frameArg);

// True when the image file named by a frame argument (or a plain path) exists.
bool ImageFilePresent(const std::string& frameArgOrPath);

// One command as the frame saw it.
struct FrameCommand {
    std::array<uint8_t, 16> cdb{};
    DataDirection direction = DataDirection::None;
    int32_t length = 0;
    bool ok = false;
    uint8_t senseKey = 0;  // of a refused command (CHECK CONDITION)
    uint8_t asc = 0;
    uint64_t elapsedUs = 0;   // real time the command took, chip waits included
    uint64_t modelUs = 0;     // frame model: how far this command moved the frame's own clock
};

// The clock as the last 0xCA command set it.
struct FrameClock {
    bool set = false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int dstFlag = 0;
    int zoneByte = 0;                   // 12 + UTC offset in hours
    std::array<uint8_t, 16> cdb{};      // the command exactly as received
};

// Observation side of a virtual frame: command log, counters and clock.
// Shared between the frame and whoever holds it, so it stays readable after
// the link has released the unit. All members are thread-safe.
class VirtualFrameMonitor {
public:
    std::vector<FrameCommand> Commands() const;
    void ClearCommands();                 // also resets the counters
    uint64_t CommandCount() const;        // commands executed (ok or not)
    uint64_t FailedCount() const;
    uint64_t BytesToDevice() const;       // data bytes of successful commands
    uint64_t BytesFromDevice() const;
    FrameClock Clock() const;
    bool Unplugged() const;               // unplug_after has run out
    // Real time spent inside commands (delays, model and chip waits
    // included): the wire time a host waited for, reset by ClearCommands.
    uint64_t WireMicros() const;
    // The frame model's own time for the commands so far: every command sent
    // the moment the one before it ended (a host with no CPU time of its
    // own), so it does not depend on the machine's load. 0 without a model.
    uint64_t ModelMicros() const;

private:
    friend class VirtualFrame;
    void Record(const FrameCommand& c);
    void SetClock(const FrameClock& c);
    void SetUnplugged();

    mutable std::mutex mutex_;
    std::vector<FrameCommand> commands_;
    uint64_t count_ = 0, failed_ = 0, toDevice_ = 0, fromDevice_ = 0, wireUs_ = 0, modelUs_ = 0;
    FrameClock clock_;
    bool unplugged_ = false;
};

class VirtualFrame : public ScsiUnit {
public:
    static constexpr int32_t kMaxTransfer = 4096;
    static constexpr uint32_t kEraseUnit = 4096;
    static constexpr uint32_t kBlock64K = 65536;

    // Opens the image named by `frameArg` ("PATH[,key=value...]") and holds
    // it exclusively until Release. Throws std::invalid_argument for a bad
    // argument, FrameInUseError (device/FrameInUse.h) when another program or
    // link holds the image, and std::runtime_error when the image cannot be
    // opened or is empty.
    static std::unique_ptr<VirtualFrame> Open(const std::string& frameArg);
    static std::unique_ptr<VirtualFrame> Open(const VirtualFrameOptions& options);

    ~VirtualFrame() override;
    VirtualFrame(const VirtualFrame&) = delete;
    VirtualFrame& operator=(const VirtualFrame&) = delete;

    ScsiResult Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                       DataDirection direction, unsigned timeoutMs) override;
    bool Inquiry(InquiryData& out) override;
    void Release() override;
    std::string Name() const override { return options_.path; }

    std::shared_ptr<VirtualFrameMonitor> Monitor() const { return monitor_; }
    const VirtualFrameOptions& Options() const { return options_; }
    uint32_t FlashSize() const { return flashSize_; }
    // The same file is still at the image path (not renamed away or deleted).
    bool ImagePresent() const;
    bool WriteEnableLatch() const { return latch_; }

private:
    VirtualFrame(VirtualFrameOptions options, int fd, uint32_t flashSize);

    // Sense keys and additional sense codes of the frame's refusals.
    static constexpr uint8_t kNotReady = 0x2, kMediumError = 0x3, kIllegalRequest = 0x5, kDataProtect = 0x7;
    static constexpr uint8_t kAscMediumNotPresent = 0x3A, kAscInvalidOpcode = 0x20, kAscOutOfRange = 0x21,
                             kAscInvalidField = 0x24, kAscReadError = 0x11, kAscWriteError = 0x0C,
                             kAscWriteProtected = 0x27;
    // Marks the command in progress as refused with this sense; returns false.
    bool Refuse(uint8_t key, uint8_t asc);
    bool Protected();

    bool Dispatch(const uint8_t* cdb, uint8_t* buffer, int32_t length, DataDirection dir);
    bool FlashCommand(const uint8_t* cdb, const uint8_t* data, int32_t length, DataDirection dir);
    bool ReadCommand(const uint8_t* cdb, uint8_t* buffer, int32_t length, DataDirection dir);
    bool SetClockCommand(const uint8_t* cdb, int32_t length, DataDirection dir);
    bool InquiryCommand(const uint8_t* cdb, uint8_t* buffer, int32_t length, DataDirection dir);
    void FillInquiry(uint8_t* out36) const;

    bool ReadImage(uint32_t address, uint8_t* out, uint32_t length) const;
    bool WriteImage(uint32_t address, const uint8_t* data, uint32_t length);
    bool EraseRange(uint32_t start, uint32_t length);
    uint8_t NamedEraseOpcode() const;
    uint8_t StatusByte();
    void Delay(const uint8_t* cdb, int32_t length, DataDirection dir);
    void ChipBusyFor(uint64_t us);
    bool ChipBusy() const;
    void LogLine(const FrameCommand& c);
    uint64_t NextRandom();

    mutable std::mutex mutex_;        // one command at a time, also against Release
    VirtualFrameOptions options_;
    int fd_ = -1;
    uint32_t flashSize_ = 0;
    uint64_t dev_ = 0, ino_ = 0;       // identity of the image file
    bool released_ = false;
    bool latch_ = false;               // write-enable latch
    uint8_t statusReg_ = 0;            // protection bits written by 0x01
    unsigned busyLeft_ = 0;
    struct {
        uint8_t key = 0, asc = 0;
    } refusal_;                        // why the command in progress is refused
    std::chrono::steady_clock::time_point chipReadyAt_{};  // model: chip busy until then
    std::chrono::steady_clock::time_point wireClock_{};    // model: end of the last command
    uint64_t modelClockUs_ = 0;      // model time with no host time between commands
    uint64_t modelChipReadyUs_ = 0;  // ... and when the chip is done on that clock
    uint64_t lastModelUs_ = 0;
    uint64_t executed_ = 0;
    uint64_t rng_ = 0;
    std::shared_ptr<VirtualFrameMonitor> monitor_;
    std::FILE* log_ = nullptr;
};

} // namespace kestova
