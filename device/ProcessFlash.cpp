// SPDX-License-Identifier: GPL-3.0-or-later
// SPI NOR instructions wrapped into vendor commands, the verified read, the
// clock and the firmware version.

#include "device/ProcessFlash.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <thread>

namespace kestova {

namespace {

constexpr uint8_t kOpVendorOut = 0xCB;  // no data or data to the frame
constexpr uint8_t kOpVendorIn = 0xCD;   // data from the frame
constexpr uint8_t kOpSetClock = 0xCA;

constexpr uint8_t kSpiWriteEnable = 0x06;
constexpr uint8_t kSpiWriteStatus = 0x01;
constexpr uint8_t kSpiReadStatus = 0x05;
constexpr uint8_t kSpiReleasePowerDown = 0xAB;
constexpr uint8_t kDefaultEraseOpcode = 0x20;

constexpr uint8_t kSelectorVersion = 1;
constexpr uint8_t kSelectorChecksum = 5;
constexpr uint8_t kFlagProgramMode = 0x02;

constexpr int32_t kReplySize = 64;        // status, checksum and version replies
constexpr uint32_t kAddressLimit = 1u << 24;

void PutBe24(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 16);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v);
}

int32_t RoundUp64(int32_t n) { return (n + 63) & ~63; }

} // namespace

bool CProcessFlash::Send(const uint8_t cdb[16], uint8_t* buffer, int32_t length, DataDirection dir) {
    return link_ != nullptr && link_->SendCmdToDPF(cdb, buffer, length, dir);
}

void CProcessFlash::Sleep(unsigned ms) {
    if (sleeper_) sleeper_(ms);
    else std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void CProcessFlash::SetOPCMD(uint8_t eraseOpcode, char programModeFlag) {
    // 0x00 and 0xFF are what an unprogrammed or zeroed information block
    // holds; neither is an erase instruction, so the default stays in force.
    eraseOpcode_ = (eraseOpcode == 0x00 || eraseOpcode == 0xFF) ? kDefaultEraseOpcode : eraseOpcode;
    programMode_ = programModeFlag != 0;
    programOpcode_ = 0x02;
    readOpcode_ = 0x03;
}

bool CProcessFlash::FlashWREN() {
    uint8_t cdb[16] = {kOpVendorOut};
    cdb[6] = 1;
    cdb[10] = kSpiWriteEnable;
    return Send(cdb, nullptr, 0, DataDirection::None);
}

bool CProcessFlash::FlashWRSR(uint8_t value) {
    uint8_t cdb[16] = {kOpVendorOut};
    cdb[6] = 2;
    cdb[10] = kSpiWriteStatus;
    cdb[11] = value;
    return Send(cdb, nullptr, 0, DataDirection::None);
}

bool CProcessFlash::FlashReleasePowerDown() {
    uint8_t cdb[16] = {kOpVendorOut};
    cdb[6] = 1;
    cdb[10] = kSpiReleasePowerDown;
    return Send(cdb, nullptr, 0, DataDirection::None);
}

uint64_t CProcessFlash::NowMs() const {
    if (clock_) return clock_();
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

bool CProcessFlash::ReadStatus(unsigned timeoutMs) {
    uint8_t cdb[16] = {kOpVendorIn};
    cdb[6] = 1;
    cdb[9] = kReplySize;
    cdb[10] = kSpiReadStatus;
    uint8_t reply[kReplySize] = {};
    if (link_ == nullptr ||
        !link_->SendCmdToDPF(cdb, reply, kReplySize, DataDirection::FromDevice, timeoutMs))
        return false;  // counts as busy
    return (reply[0] & 0x01) == 0;
}

bool CProcessFlash::GetFlashStatus() { return ReadStatus(CCommUSB::kDefaultTimeoutMs); }

bool CProcessFlash::WaitFlashReady() {
    // Check first; sleep only while the chip says busy. A pulled frame, a
    // chip that never gets ready or a frame that lets each status read time
    // out ends the wait with failure once the time is up: the bound is on
    // elapsed time, and each read may use only what is left of it.
    const uint64_t start = NowMs();
    const uint64_t limit = readyTimeoutMs_;
    auto left = [&]() -> uint64_t {
        const uint64_t spent = NowMs() - start;
        return spent >= limit ? 0 : limit - spent;
    };
    for (uint64_t remaining = limit; remaining > 0; remaining = left()) {
        if (ReadStatus(unsigned(remaining))) return true;
        if (link_ == nullptr || !link_->GetUSBDeviceStatus()) return false;
        remaining = left();
        if (remaining == 0) break;
        Sleep(unsigned(std::min<uint64_t>(kReadyPollMs, remaining)));
    }
    return false;
}

void CProcessFlash::WriteEnablePreamble() {
    // Results are not examined: a failure here shows up as a failed erase or
    // program, or as a checksum mismatch in the verified write.
    FlashWREN();
    FlashWRSR(0);
    FlashWREN();
}

bool CProcessFlash::EraseOneBlockFlash(uint32_t address) {
    if (link_ == nullptr || !link_->GetUSBDeviceStatus()) return false;
    if (address >= kAddressLimit) return false;
    WriteEnablePreamble();
    uint8_t cdb[16] = {kOpVendorOut};
    cdb[6] = 4;
    cdb[10] = eraseOpcode_;
    PutBe24(cdb + 11, address);
    return Send(cdb, nullptr, 0, DataDirection::None);
}

bool CProcessFlash::Flash_WR_Page(const uint8_t* buffer, int32_t length, int32_t address) {
    // One command carries at most 4096 bytes; anything else would be cut or
    // misread by the frame, so it is refused before it reaches the wire.
    if (length <= 0 || length > kChunk || address < 0 || buffer == nullptr) return false;
    if (uint64_t(address) + uint64_t(length) > kAddressLimit) return false;
    WriteEnablePreamble();
    uint8_t cdb[16] = {kOpVendorOut};
    cdb[6] = 4;
    PutBe24(cdb + 7, uint32_t(length));
    cdb[10] = programOpcode_;
    PutBe24(cdb + 11, uint32_t(address));
    if (programMode_) cdb[15] = kFlagProgramMode;
    return Send(cdb, const_cast<uint8_t*>(buffer), length, DataDirection::ToDevice);
}

bool CProcessFlash::WriteToFlash(const uint8_t* buffer, int32_t length, uint32_t address) {
    if (link_ == nullptr || !link_->GetUSBDeviceStatus()) return false;
    if (length == 0) return true;
    if (address >= kAddressLimit) return false;
    return Flash_WR_Page(buffer, length, int32_t(address));
}

bool CProcessFlash::ReadFromFlash(uint8_t* buffer, int32_t length, uint32_t address) {
    if (link_ == nullptr || !link_->GetUSBDeviceStatus()) return false;
    if (length < 0 || (length > 0 && buffer == nullptr)) return false;
    if (uint64_t(address) + uint64_t(length) > kAddressLimit) return false;
    if (length == 0) return true;
    std::memset(buffer, 0, size_t(length));
    std::array<uint8_t, kChunk> scratch;
    for (int32_t offset = 0; offset < length; offset += kChunk) {
        const int32_t chunk = std::min(kChunk, length - offset);
        const int32_t wire = RoundUp64(chunk);  // the frame moves whole 64-byte units
        uint8_t cdb[16] = {kOpVendorIn};
        cdb[6] = 4;
        PutBe24(cdb + 7, uint32_t(wire));
        cdb[10] = readOpcode_;
        PutBe24(cdb + 11, address + uint32_t(offset));
        if (wire == chunk) {
            if (!Send(cdb, buffer + offset, wire, DataDirection::FromDevice)) return false;
        } else {
            // Bytes past the requested length must never reach the caller.
            if (!Send(cdb, scratch.data(), wire, DataDirection::FromDevice)) return false;
            std::memcpy(buffer + offset, scratch.data(), size_t(chunk));
        }
    }
    const bool ready = WaitFlashReady();
    return ready && link_->GetUSBDeviceStatus();
}

bool CProcessFlash::GetVerifyValue(uint8_t& high, uint8_t& low, uint32_t address, int32_t length) {
    high = 0;
    low = 0;
    // The range length travels in 16 bits; a longer range cannot be asked for.
    if (length < 0 || length > 0xFFFF || address >= kAddressLimit) return false;
    uint8_t cdb[16] = {kOpVendorIn};
    cdb[5] = kSelectorChecksum;
    cdb[6] = 5;
    cdb[7] = uint8_t(length >> 8);
    cdb[8] = uint8_t(length);
    PutBe24(cdb + 11, address);
    uint8_t reply[kReplySize] = {};
    if (!Send(cdb, reply, kReplySize, DataDirection::FromDevice)) return false;
    high = reply[0];
    low = reply[1];
    return true;
}

bool CProcessFlash::CheckDataIsOK(const uint8_t* buffer, int32_t length, int32_t value) {
    if (length < 0 || (length > 0 && buffer == nullptr)) return false;
    uint32_t sum = 0;
    for (int32_t i = 0; i < length; ++i) sum += buffer[i];
    return int32_t(sum & 0xFFFF) == value;
}

int CProcessFlash::ReadData(int32_t address, int32_t length, uint8_t* buffer) {
    if (address < 0 || length < 0 || (length > 0 && buffer == nullptr)) return kReadFailed;
    if (uint64_t(address) + uint64_t(length) > kAddressLimit) return kReadFailed;
    const int32_t whole = length / kChunk;
    const int32_t tail = length % kChunk;

    // One chunk: up to three attempts until the frame's checksum agrees.
    auto readChunk = [&](uint8_t* into, uint32_t at, int32_t n) -> int {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!ReadFromFlash(into, n, at)) return kReadFailed;
            uint8_t high = 0, low = 0;
            if (!GetVerifyValue(high, low, at, n)) return kReadChecksumQueryFailed;
            if (CheckDataIsOK(into, n, high * 256 + low)) return kReadOk;
        }
        return kReadChecksumMismatch;
    };

    for (int32_t k = 0; k < whole; ++k) {
        const int rc = readChunk(buffer + k * kChunk, uint32_t(address + k * kChunk), kChunk);
        if (rc != kReadOk) return rc;
    }
    if (tail != 0) {
        // The tail goes through a scratch buffer and only reaches the caller
        // once its checksum agreed.
        std::array<uint8_t, kChunk> scratch{};
        const int rc = readChunk(scratch.data(), uint32_t(address + whole * kChunk), tail);
        if (rc != kReadOk) return rc;
        std::memcpy(buffer + whole * kChunk, scratch.data(), size_t(tail));
    }
    return kReadOk;
}

// ---------------------------------------------------------------- clock

LocalTimeNow CProcessFlash::SystemLocalTime() {
    LocalTimeNow now;
    const std::time_t t = std::time(nullptr);
    localtime_r(&t, &now.local);
    now.utcOffsetSeconds = now.local.tm_gmtoff;
    now.dst = now.local.tm_isdst > 0;
    return now;
}

void CProcessFlash::BuildClockFrame(const LocalTimeNow& now, uint8_t cdb[16]) {
    std::memset(cdb, 0, 16);
    const int year = now.local.tm_year + 1900;
    cdb[0] = kOpSetClock;
    cdb[5] = uint8_t(year % 100);
    cdb[6] = uint8_t(year / 100);
    cdb[7] = uint8_t(now.local.tm_mon + 1);
    cdb[8] = uint8_t(now.local.tm_mday);
    cdb[9] = uint8_t(now.local.tm_hour);
    cdb[10] = uint8_t(now.local.tm_min);
    cdb[11] = uint8_t(std::min(now.local.tm_sec, 59));  // a leap second is not a clock value
    cdb[14] = now.dst ? 1 : 0;
    // Whole hours, truncated toward zero (UTC+5:30 -> 5, UTC-3:30 -> -3).
    cdb[15] = uint8_t(12 + now.utcOffsetSeconds / 3600);
}

bool CProcessFlash::SynchronizeDPFTime() {
    const LocalTimeNow now = timeSource_ ? timeSource_() : SystemLocalTime();
    uint8_t cdb[16];
    BuildClockFrame(now, cdb);
    std::memcpy(lastClock_, cdb, 16);
    return Send(cdb, nullptr, 0, DataDirection::None);
}

// ---------------------------------------------------------------- version

bool CProcessFlash::DecodeFirmwareReply(uint8_t reply[64], std::string& version) {
    if (reply[0] == 0xFF) {  // the frame has no version text
        version.clear();
        return false;
    }
    for (int i = 0; i < 32; ++i) {
        if (reply[i] == 0xFF) {  // end of text
            reply[i] = 0;
            break;
        }
        // A 0 inside the text shows as the digit zero. A 0 followed by 0 or by
        // the 0xFF end mark is the end of the text, not a digit.
        if (i < 31 && reply[i] == 0 && reply[i + 1] != 0 && reply[i + 1] != 0xFF) reply[i] = '0';
    }
    const uint8_t* end = std::find(reply, reply + 64, uint8_t(0));
    version.assign(reinterpret_cast<const char*>(reply), size_t(end - reply));
    return true;
}

bool CProcessFlash::ReadFirmwareVersion(std::string& version, std::string& other) {
    uint8_t cdb[16] = {kOpVendorIn};
    cdb[5] = kSelectorVersion;
    cdb[6] = 1;
    cdb[10] = 1;
    uint8_t reply[kReplySize] = {};
    if (!Send(cdb, reply, kReplySize, DataDirection::FromDevice)) {
        version.clear();
        other.clear();
        return false;
    }
    return DecodeFirmwareReply(reply, version);
}

} // namespace kestova
