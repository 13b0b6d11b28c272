// SPDX-License-Identifier: GPL-3.0-or-later
// SG_IO pass-through on Linux.

#include "device/linux/SgUnit.h"

#include "device/linux/FrameLock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestova {

namespace {

int RealIoctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

std::string Trimmed(const uint8_t* p, int n) {
    std::string s(reinterpret_cast<const char*>(p), size_t(n));
    const auto nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

} // namespace

SgUnit::SgUnit(int fd, std::string name, IoctlFn ioctlFn)
    : fd_(fd), name_(std::move(name)), ioctl_(ioctlFn ? std::move(ioctlFn) : IoctlFn(RealIoctl)) {}

SgUnit::~SgUnit() { Release(); }

void SgUnit::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

ScsiResult SgUnit::Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length, DataDirection direction,
                           unsigned timeoutMs) {
    return Command(cdb, 16, buffer, length, direction, timeoutMs);
}

ScsiResult SgUnit::Command(const uint8_t* cdb, uint8_t cdbLength, uint8_t* buffer, int32_t length,
                           DataDirection direction, unsigned timeoutMs) {
    lastSense_.clear();
    if (fd_ < 0) return ScsiResult::System(EBADF);
    if (cdb == nullptr || cdbLength == 0 || cdbLength > 16 || length < 0) return ScsiResult::System(EINVAL);
    if (length > 0 && buffer == nullptr) return ScsiResult::System(EINVAL);

    sg_io_hdr_t h;
    std::memset(&h, 0, sizeof h);
    unsigned char cmd[16];
    std::memcpy(cmd, cdb, cdbLength);
    unsigned char sense[32] = {};
    h.interface_id = 'S';
    h.cmd_len = cdbLength;
    h.cmdp = cmd;
    h.mx_sb_len = sizeof sense;
    h.sbp = sense;
    h.timeout = timeoutMs;
    switch (direction) {
    case DataDirection::None:
        if (length != 0) return ScsiResult::System(EINVAL);
        h.dxfer_direction = SG_DXFER_NONE;
        break;
    case DataDirection::ToDevice:
        h.dxfer_direction = SG_DXFER_TO_DEV;
        break;
    case DataDirection::FromDevice:
        h.dxfer_direction = SG_DXFER_FROM_DEV;
        // Bytes the frame does not send read as 0, not as stale memory.
        if (length > 0) std::memset(buffer, 0, size_t(length));
        break;
    default:
        return ScsiResult::System(EINVAL);
    }
    if (direction != DataDirection::None) {
        h.dxfer_len = unsigned(length);
        h.dxferp = length > 0 ? buffer : nullptr;
    }
    if (ioctl_(fd_, SG_IO, &h) < 0) return ScsiResult::System(errno);

    ScsiResult r;
    r.scsiStatus = h.status;
    r.hostStatus = h.host_status;
    r.driverStatus = h.driver_status;
    r.residual = h.resid;
    if (h.sb_len_wr > 0) {
        r.senseLength = uint8_t(std::min<size_t>(h.sb_len_wr, r.sense.size()));
        std::memcpy(r.sense.data(), sense, r.senseLength);
    }
    constexpr unsigned kDriverSense = 0x08;  // DRIVER_SENSE: the sense buffer holds data
    const bool driverOk = (h.driver_status & ~kDriverSense) == 0;
    if (h.host_status == 0 && driverOk && h.status == 0 && (h.info & SG_INFO_OK_MASK) == SG_INFO_OK) {
        r.outcome = ScsiOutcome::Good;
    } else if (h.host_status == 0 && driverOk && (h.status & 0x7E) == 0x02) {
        r.outcome = ScsiOutcome::CheckCondition;  // the unit refused it; the sense says why
    } else {
        r.outcome = ScsiOutcome::TransportError;
    }
    if (!r.good() && r.senseLength > 0) lastSense_.assign(reinterpret_cast<const char*>(sense), r.senseLength);
    return r;
}

InquiryData DecodeInquiry(const uint8_t* d, int length) {
    InquiryData id;
    if (length < 36) return id;
    id.peripheralType = d[0] & 0x1F;
    id.vendor = Trimmed(d + 8, 8);
    id.product = Trimmed(d + 16, 16);
    id.revision = Trimmed(d + 32, 4);
    return id;
}

bool SgUnit::Inquiry(InquiryData& out) {
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
    uint8_t data[36];
    if (!Command(cdb, 6, data, 36, DataDirection::FromDevice, kInquiryTimeoutMs).good()) return false;
    out = DecodeInquiry(data, 36);
    return true;
}

std::unique_ptr<SgUnit> OpenSgUnit(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<SgUnit> {
        if (error) *error = why;
        return nullptr;
    };
    // O_NONBLOCK: a CD-ROM node opens even without a medium, and a generic
    // node held by someone else answers EBUSY at once instead of blocking.
    // O_EXCL on a generic (character) node asks the sg driver for exclusive
    // use; on a CD-ROM block node it would mean "not mounted", which is not
    // ours to ask, so there only the lock below speaks.
    struct stat st {};
    const bool generic = ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | (generic ? O_EXCL : 0));
    if (fd < 0) {
        const int e = errno;
        if (e == EBUSY) throw FrameInUseError(FrameLockHolderOfPath(path));
        if (e == EACCES || e == EPERM)
            return fail(path + ": no permission to open it (is the udev rule installed?)");
        return fail(path + ": " + std::strerror(e));
    }
    int version = 0;
    if (::ioctl(fd, SG_GET_VERSION_NUM, &version) < 0 || version < 30000) {
        ::close(fd);
        return fail(path + ": not a SCSI pass-through node");
    }
    if (std::string lockError = HoldFrameOrClose(fd); !lockError.empty())
        return fail(path + ": " + lockError);
    return std::make_unique<SgUnit>(fd, path);
}

} // namespace kestova
