#pragma once
// The device link: the online flag, the one opened unit, and the single road
// by which a vendor command reaches the frame (SendCmdToDPF).
//
// Discovery and hot-plug (finding the frame among the machine's units and
// following it being plugged and pulled) are members of this class too; their
// declarations live in the "discovery" section below and their definitions in
// CommUSBDiscovery.cpp.

#include "device/ScsiUnit.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kestova {

class CCommUSB {
public:
    // Per-command timeout handed to the unit.
    static constexpr unsigned kDefaultTimeoutMs = 5000;

    CCommUSB();
    ~CCommUSB();
    CCommUSB(const CCommUSB&) = delete;
    CCommUSB& operator=(const CCommUSB&) = delete;

    // ---- command tunnel ----
    // Sends one finished CDB. Refuses (false, nothing sent) while offline.
    // `length` is the data phase's byte count; `direction` as DataDirection.
    bool SendCmdToDPF(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                      DataDirection direction);
    bool GetUSBDeviceStatus() const;

    // Makes `unit` the open device and sets the link online (replacing and
    // releasing any unit held before). Used by discovery and by programs and
    // tests that attach a unit they opened themselves.
    void AttachUnit(std::unique_ptr<ScsiUnit> unit);
    // Releases the open unit (if any) and sets the link offline. Waits for a
    // command in flight to finish first.
    void DetachUnit();
    // Name of the open unit, empty when offline.
    std::string UnitName() const;

    void SetCommandTimeoutMs(unsigned ms) { timeoutMs_ = ms; }

    // ---- discovery (definitions in CommUSBDiscovery.cpp) ----
    // Filled in by the discovery layer; see that file for the contract.

private:
    mutable std::mutex mutex_;  // serialises commands against closing the unit
    std::unique_ptr<ScsiUnit> unit_;
    bool online_ = false;
    unsigned timeoutMs_ = kDefaultTimeoutMs;
};

} // namespace kestova
