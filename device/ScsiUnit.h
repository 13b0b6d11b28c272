#pragma once
// One opened SCSI unit that can carry a 16-byte vendor CDB to the frame.
// Implementations: the SG_IO unit (device/linux/) and the virtual frame
// (device/virtual/). The link (CCommUSB) owns at most one unit at a time.

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

class ScsiUnit {
public:
    virtual ~ScsiUnit() = default;

    // Executes one 16-byte CDB with a data phase of `length` bytes in
    // `direction`, into or out of `buffer`, waiting at most `timeoutMs`.
    // True only when the command completed with GOOD status.
    virtual bool Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                         DataDirection direction, unsigned timeoutMs) = 0;

    // Standard INQUIRY. False when the unit does not answer.
    virtual bool Inquiry(InquiryData& out) = 0;

    // Releases the unit (closes the node). Further Execute calls fail.
    virtual void Release() = 0;

    // A human-readable name of the unit (device node or image path).
    virtual std::string Name() const = 0;
};

} // namespace kestova
