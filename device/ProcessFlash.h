#pragma once
// The flash layer: SPI NOR instructions wrapped into vendor commands, the
// checksum-verified read, the device clock and the firmware version.
// One instance per device facade. No locking of its own: one thread at a time.

#include "device/CommUSB.h"

#include <cstdint>
#include <string>

namespace kestova {

class CProcessFlash {
public:
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
    // bounded wait runs out.
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

private:
    CCommUSB* link_ = nullptr;
    uint8_t eraseOpcode_ = 0x20;
    uint8_t programOpcode_ = 0x02;
    uint8_t readOpcode_ = 0x03;
    bool programMode_ = false;
};

} // namespace kestova
