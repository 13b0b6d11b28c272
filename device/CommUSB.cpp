// SPDX-License-Identifier: GPL-3.0-or-later
// The command tunnel: one unit, one command at a time.

#include "device/CommUSB.h"

#include <algorithm>
#include <utility>

namespace kestova {

CCommUSB::CCommUSB() = default;

CCommUSB::~CCommUSB() { DetachUnit(); }

bool CCommUSB::SendCmdToDPF(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                            DataDirection direction) {
    return SendCmdToDPF(cdb, buffer, length, direction, timeoutMs_);
}

bool CCommUSB::SendCmdToDPF(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                            DataDirection direction, unsigned timeoutMs) {
    if (cdb == nullptr || length < 0) return false;
    switch (direction) {
    case DataDirection::None:
        // A command without data phase carries no length.
        if (length != 0) return false;
        buffer = nullptr;
        break;
    case DataDirection::ToDevice:
    case DataDirection::FromDevice:
        if (length > 0 && buffer == nullptr) return false;
        break;
    default:
        return false;
    }
    // The lock is held for the whole command so that DetachUnit (hot-plug)
    // can never release the unit underneath it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!online_ || !unit_) return false;
    const ScsiResult r =
        unit_->Execute(cdb, buffer, length, direction, std::min(timeoutMs, unsigned(timeoutMs_)));
    // A read that came back short is a failed read: the missing tail would
    // otherwise pass for zeros the frame sent.
    if (r.Complete(direction)) return true;
    lastFailure_ = r;
    lastFailureDirection_ = direction;
    hasFailure_ = true;
    return false;
}

bool CCommUSB::LastFailure(ScsiResult& result, DataDirection& direction) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hasFailure_) return false;
    result = lastFailure_;
    direction = lastFailureDirection_;
    return true;
}

void CCommUSB::ClearLastFailure() {
    std::lock_guard<std::mutex> lock(mutex_);
    hasFailure_ = false;
}

bool CCommUSB::GetUSBDeviceStatus() const { return online_.load(); }

void CCommUSB::AttachUnit(std::unique_ptr<ScsiUnit> unit) {
    std::unique_ptr<ScsiUnit> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = std::move(unit_);
        unit_ = std::move(unit);
        online_ = (unit_ != nullptr);
        hasFailure_ = false;
    }
    if (old) old->Release();
}

void CCommUSB::DetachUnit() {
    std::unique_ptr<ScsiUnit> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = std::move(unit_);
        online_ = false;
    }
    if (old) old->Release();
}

std::string CCommUSB::UnitName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return (online_ && unit_) ? unit_->Name() : std::string();
}

} // namespace kestova
