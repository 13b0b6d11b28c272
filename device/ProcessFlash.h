// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The flash layer: SPI NOR instructions wrapped into vendor commands, the
// checksum-verified read, the device clock and the firmware version.
// One instance per device facade. No locking of its own: one thread at a time.

#include "device/CommUSB.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <utility>

namespace kestova {

// The local time as the clock command needs it.
struct LocalTimeNow {
    std::tm local{};            // local broken-down time (tm_year since 1900, tm_mon 0-11)
    long utcOffsetSeconds = 0;  // local minus UTC, daylight saving included
    bool dst = false;           // daylight-saving time in effect
};

class CProcessFlash {
public:
    // Where SynchronizeDPFTime takes the time from; the default reads the
    // system clock and zone (localtime_r, tm_gmtoff, tm_isdst).
    using TimeSource = std::function<LocalTimeNow()>;
    // How the ready poll waits between status reads (default: sleep_for).
    using Sleeper = std::function<void(unsigned ms)>;
    // Milliseconds of a monotonic clock; the ready poll measures its wait
    // with it (default: steady_clock).
    using Clock = std::function<uint64_t()>;

    static constexpr unsigned kReadyPollMs = 10;
    static constexpr unsigned kDefaultReadyTimeoutMs = 5000;
    static constexpr int32_t kChunk = 4096;

    // ReadData result codes.
    enum ReadResult : int {
        kReadOk = 0,
        kReadChecksumQueryFailed = 1,
        kReadChecksumMismatch = 2,
        kReadFailed = 3,
    };

    CProcessFlash() = default;

    void SetHidComm(CCommUSB* link) { link_ = link; }
    CCommUSB* HidComm() const { return link_; }

    // Erase opcode and program-mode flag as the frame's information block
    // names them. The page-program and read opcodes are reset to 0x02/0x03.
    void SetOPCMD(uint8_t eraseOpcode, char programModeFlag);
    uint8_t EraseOpcode() const { return eraseOpcode_; }
    bool ProgramMode() const { return programMode_; }

    bool FlashWREN();
    bool FlashWRSR(uint8_t value);
    bool GetFlashStatus();
    // Polls the status until ready; false when the link goes offline or the
    // wait has lasted the ready timeout. The wait is measured in time, and
    // each status read gets only the time left, so a frame that lets every
    // read run into its timeout cannot stretch it.
    bool WaitFlashReady();
    bool EraseOneBlockFlash(uint32_t address);
    bool Flash_WR_Page(const uint8_t* buffer, int32_t length, int32_t address);
    bool WriteToFlash(const uint8_t* buffer, int32_t length, uint32_t address);
    // Reads a range in chunks of at most 4096 bytes; a chunk that is not a
    // multiple of 64 goes out extended to the next multiple of 64, but bytes
    // past `length` never reach `buffer`.
    bool ReadFromFlash(uint8_t* buffer, int32_t length, uint32_t address);
    bool GetVerifyValue(uint8_t& high, uint8_t& low, uint32_t address, int32_t length);
    static bool CheckDataIsOK(const uint8_t* buffer, int32_t length, int32_t value);
    // Verified read; returns a ReadResult code.
    int ReadData(int32_t address, int32_t length, uint8_t* buffer);
    bool FlashReleasePowerDown();

    // Sets the frame's clock from the local date, time and zone.
    bool SynchronizeDPFTime();
    // Firmware version text; `other` is only cleared on failure.
    bool ReadFirmwareVersion(std::string& version, std::string& other);

    // ---- pieces exposed for the command line and tests ----
    static LocalTimeNow SystemLocalTime();
    // The 16-byte set-clock frame for a given local time.
    static void BuildClockFrame(const LocalTimeNow& now, uint8_t cdb[16]);
    // The version text of a 64-byte reply; false when the reply says "none".
    static bool DecodeFirmwareReply(uint8_t reply[64], std::string& version);
    // The clock frame sent by the last SynchronizeDPFTime (all 0 before).
    const uint8_t* LastClockFrame() const { return lastClock_; }

    void SetTimeSource(TimeSource source) { timeSource_ = std::move(source); }
    void SetSleeper(Sleeper sleeper) { sleeper_ = std::move(sleeper); }
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // Upper bound of WaitFlashReady in milliseconds of the clock.
    void SetReadyTimeoutMs(unsigned ms) { readyTimeoutMs_ = ms; }

private:
    CCommUSB* link_ = nullptr;
    uint8_t eraseOpcode_ = 0x20;
    uint8_t programOpcode_ = 0x02;
    uint8_t readOpcode_ = 0x03;
    bool programMode_ = false;
    TimeSource timeSource_;
    Sleeper sleeper_;
    Clock clock_;
    unsigned readyTimeoutMs_ = kDefaultReadyTimeoutMs;
    uint8_t lastClock_[16] = {};

    bool Send(const uint8_t cdb[16], uint8_t* buffer, int32_t length, DataDirection dir);
    void WriteEnablePreamble();
    void Sleep(unsigned ms);
    uint64_t NowMs() const;
    // One status read allowed to take at most timeoutMs; true when ready.
    bool ReadStatus(unsigned timeoutMs);
};

} // namespace kestova
