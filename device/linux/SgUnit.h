// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The frame's SCSI unit on Linux: SG_IO (sg v3 header) on /dev/sg* or /dev/sr*.
//
//     std::string why;
//     auto unit = OpenSgUnit("/dev/sg2", &why);   // nullptr (and a reason) on failure
//     InquiryData id;
//     if (unit && unit->Inquiry(id) && ...) link.AttachUnit(std::move(unit));
//
// A command succeeds only when the ioctl succeeded and host, driver and SCSI
// status are all good; a CHECK CONDITION is a failure whose sense data comes
// back in the result, and the residual count is reported as the driver gives it.

#include "device/ScsiUnit.h"

#include <functional>
#include <memory>
#include <string>

namespace kestova {

class SgUnit : public ScsiUnit {
public:
    // The ioctl used for SG_IO; replaceable so tests can inspect the header.
    using IoctlFn = std::function<int(int fd, unsigned long request, void* arg)>;

    // Takes ownership of `fd` (closed by Release or the destructor).
    SgUnit(int fd, std::string name, IoctlFn ioctlFn = {});
    ~SgUnit() override;
    SgUnit(const SgUnit&) = delete;
    SgUnit& operator=(const SgUnit&) = delete;

    ScsiResult Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length, DataDirection direction,
                       unsigned timeoutMs) override;
    bool Inquiry(InquiryData& out) override;
    void Release() override;
    std::string Name() const override { return name_; }

    // Sends a CDB of any length (6 for INQUIRY); Execute sends 16.
    ScsiResult Command(const uint8_t* cdb, uint8_t cdbLength, uint8_t* buffer, int32_t length,
                       DataDirection direction, unsigned timeoutMs);
    // Sense bytes of the last failed command (empty when none came back).
    const std::string& LastSense() const { return lastSense_; }

    static constexpr unsigned kInquiryTimeoutMs = 2000;

private:
    int fd_;
    std::string name_;
    IoctlFn ioctl_;
    std::string lastSense_;
};

// Opens a SCSI generic or CD-ROM node for SG_IO, exclusively (O_EXCL on a
// generic node, and the frame lock of device/linux/FrameLock.h on either) until
// Release. Returns nullptr and, when `error` is given, the reason (missing
// node, no permission, not an sg v3 capable node); throws FrameInUseError
// when another program or link holds the unit.
std::unique_ptr<SgUnit> OpenSgUnit(const std::string& path, std::string* error = nullptr);

// Decodes 36 bytes of standard INQUIRY data.
InquiryData DecodeInquiry(const uint8_t* data, int length);

} // namespace kestova
