// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/FailureText.h"

#include "device/ProcessFlash.h"
#include "flash_manager/AlbumLayout.h"

#include <cstdio>
#include <cstring>

namespace kestova::session {

std::string StoreFailureText(int code, bool writing) {
    switch (code) {
    case kAlbumErrorRead: return writing ? "a write failed its check" : "a read failed";
    case kAlbumErrorErase: return "an erase failed";
    case kAlbumErrorUnusable:
        return "the frame's album area is unusable: it is too small for one 4096-byte slot per picture, "
               "or badly placed on the flash";
    case kAlbumErrorLcdSize:
        return "the frame reports an LCD larger than any picture can be made for (at most 4096 pixels a side "
               "and 16 megapixels); its information block is damaged, so the frame is not used";
    default: return "the album layer failed with code " + std::to_string(code);
    }
}

namespace {

std::string Hex(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

// The sense key with the additional sense codes a frame is likely to give.
std::string SenseText(const ScsiResult& r) {
    const unsigned key = r.SenseKey(), asc = r.Asc(), ascq = r.Ascq();
    switch (key) {
    case 0x2:
        if (asc == 0x3A) return "medium not present";
        if (asc == 0x04) return "not ready (the unit is becoming ready or needs a start)";
        return "not ready";
    case 0x3:
        if (asc == 0x11) return "medium error (unrecovered read error)";
        if (asc == 0x0C) return "medium error (write error)";
        return "medium error";
    case 0x4: return "hardware error";
    case 0x5:
        if (asc == 0x20) return "illegal request (invalid command operation code)";
        if (asc == 0x21) return "illegal request (address out of range)";
        if (asc == 0x24) return "illegal request (invalid field in the command)";
        return "illegal request";
    case 0x6:
        if (asc == 0x28) return "unit attention (the medium may have changed)";
        if (asc == 0x29) return "unit attention (power on or reset)";
        return "unit attention";
    case 0x7:
        if (asc == 0x27) return "data protect (write protected)";
        return "data protect";
    case 0xB: return "aborted command";
    default: break;
    }
    if (r.senseLength == 0) return "check condition without sense data";
    return "sense key " + Hex(key) + ", additional sense " + Hex(asc) + "/" + Hex(ascq);
}

} // namespace

std::string CommandFailureText(const ScsiResult& r, DataDirection direction) {
    switch (r.outcome) {
    case ScsiOutcome::Good:
        if (direction == DataDirection::FromDevice && r.residual != 0)
            return "the frame sent " + std::to_string(r.residual) + " bytes fewer than asked for";
        return {};
    case ScsiOutcome::CheckCondition: return SenseText(r);
    case ScsiOutcome::TransportError: {
        std::string text = "transport error";
        std::string detail;
        if (r.scsiStatus != 0) detail = "SCSI status " + Hex(r.scsiStatus);
        if (r.hostStatus != 0) detail += (detail.empty() ? "" : ", ") + std::string("host status ") + Hex(r.hostStatus);
        if (r.driverStatus != 0)
            detail += (detail.empty() ? "" : ", ") + std::string("driver status ") + Hex(r.driverStatus);
        return detail.empty() ? text : text + " (" + detail + ")";
    }
    case ScsiOutcome::SystemError:
        return r.systemError != 0 ? "system error (" + std::string(std::strerror(r.systemError)) + ")"
                                  : "system error";
    }
    return {};
}

std::string ReadFailureText(int readCode) {
    switch (readCode) {
    case CProcessFlash::kReadOk: return "read";
    case CProcessFlash::kReadChecksumQueryFailed: return "checksum query failed";
    case CProcessFlash::kReadChecksumMismatch: return "checksum mismatch";
    default: return "read failed";
    }
}

std::string Failure::Text(bool writing) const {
    std::string text = storeCode != 0 ? StoreFailureText(storeCode, writing) : std::string("a command failed");
    if (!command.empty()) text += ": " + command;
    return text;
}

} // namespace kestova::session
