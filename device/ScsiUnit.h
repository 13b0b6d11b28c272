// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One opened SCSI unit that can carry a 16-byte vendor CDB to the frame.
// Implementations: the SG_IO unit (device/linux/) and the virtual frame
// (device/virtual/). The link (CCommUSB) owns at most one unit at a time.

#include <array>
#include <cstdint>
#include <string>

namespace kestova {

// Direction of a command's data phase.
enum class DataDirection : int {
    None = 0,      // no data phase; length is 0 and the buffer is unused
    ToDevice = 1,  // host to device: the buffer's first length bytes are sent
    FromDevice = 2 // device to host: up to length bytes are received
};

// Standard INQUIRY identification of a unit.
struct InquiryData {
    int peripheralType = -1;   // byte 0 bits 4-0 (5 = CD-ROM)
    std::string vendor;        // bytes 8-15, trailing blanks removed
    std::string product;       // bytes 16-31, trailing blanks removed
    std::string revision;      // bytes 32-35, trailing blanks removed
};

// How one command ended, as the unit reports it.
enum class ScsiOutcome : int {
    Good = 0,            // completed with GOOD status
    CheckCondition = 1,  // the unit refused it and said why in its sense data
    TransportError = 2,  // it did not complete: host or driver error, timeout, a status other than GOOD
    SystemError = 3,     // the operating system refused the request (errno in systemError)
};

struct ScsiResult {
    ScsiOutcome outcome = ScsiOutcome::SystemError;
    std::array<uint8_t, 32> sense{};  // sense data as returned (CheckCondition)
    uint8_t senseLength = 0;
    int32_t residual = 0;             // bytes of the data phase that were not moved
    uint8_t scsiStatus = 0;           // the status byte (TransportError: not GOOD, not CHECK CONDITION)
    uint16_t hostStatus = 0;          // transport details where the platform has them
    uint16_t driverStatus = 0;
    int systemError = 0;              // errno (SystemError)

    static ScsiResult Good(int32_t residual = 0) {
        ScsiResult r;
        r.outcome = ScsiOutcome::Good;
        r.residual = residual;
        return r;
    }
    // CHECK CONDITION with fixed-format sense data of this key, ASC and ASCQ.
    static ScsiResult Check(uint8_t key, uint8_t asc, uint8_t ascq) {
        ScsiResult r;
        r.outcome = ScsiOutcome::CheckCondition;
        r.scsiStatus = 0x02;
        r.sense[0] = 0x70;
        r.sense[2] = key & 0x0F;
        r.sense[7] = 10;
        r.sense[12] = asc;
        r.sense[13] = ascq;
        r.senseLength = 18;
        return r;
    }
    static ScsiResult Transport() {
        ScsiResult r;
        r.outcome = ScsiOutcome::TransportError;
        return r;
    }
    static ScsiResult System(int error) {
        ScsiResult r;
        r.outcome = ScsiOutcome::SystemError;
        r.systemError = error;
        return r;
    }

    bool good() const { return outcome == ScsiOutcome::Good; }
    explicit operator bool() const { return good(); }
    // The command did what it was asked: GOOD and, for data from the unit,
    // every byte came (a short read is a failed read).
    bool Complete(DataDirection direction) const {
        return good() && (direction != DataDirection::FromDevice || residual == 0);
    }
    // Sense key, ASC and ASCQ from fixed (0x70/0x71) or descriptor
    // (0x72/0x73) sense data; 0 when there is none.
    uint8_t SenseKey() const {
        if (senseLength < 3) return 0;
        return (sense[0] & 0x7E) == 0x72 ? sense[1] & 0x0F : sense[2] & 0x0F;
    }
    uint8_t Asc() const {
        if ((sense[0] & 0x7E) == 0x72) return senseLength > 2 ? sense[2] : 0;
        return senseLength > 12 ? sense[12] : 0;
    }
    uint8_t Ascq() const {
        if ((sense[0] & 0x7E) == 0x72) return senseLength > 3 ? sense[3] : 0;
        return senseLength > 13 ? sense[13] : 0;
    }
};

class ScsiUnit {
public:
    virtual ~ScsiUnit() = default;

    // Executes one 16-byte CDB with a data phase of `length` bytes in
    // `direction`, into or out of `buffer`, waiting at most `timeoutMs`.
    // The result says how it ended (good() only with GOOD status), with the
    // sense data of a CHECK CONDITION and the residual count.
    virtual ScsiResult Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                               DataDirection direction, unsigned timeoutMs) = 0;

    // Standard INQUIRY. False when the unit does not answer.
    virtual bool Inquiry(InquiryData& out) = 0;

    // Releases the unit (closes the node). Further Execute calls fail.
    virtual void Release() = 0;

    // A human-readable name of the unit (device node or image path).
    virtual std::string Name() const = 0;
};

} // namespace kestova
