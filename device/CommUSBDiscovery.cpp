// SPDX-License-Identifier: GPL-3.0-or-later
// Discovery and hot-plug of the link: recognising the frame among the
// candidate units, the hot-plug handler, and the online / offline news to the
// front-end. The link knows no backend: its candidates, its hot-plug
// notices and the unmounting of the frame's volume all come from the
// candidate sources a program hands it.
//
// Locking: discoveryMutex_ makes scans and handler runs one at a time. The
// open unit is only ever touched under mutex_, the same lock that every
// command holds for its whole run, so a re-check waits for a command in
// flight and the unit is never released under it. The front-end's status
// handler is called after both locks are let go.

#include "device/CommUSB.h"
#include "device/FrameInUse.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <utility>

namespace kestova {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ContainsNoCase(const std::string& text, const std::string& word) {
    return Lower(text).find(Lower(word)) != std::string::npos;
}

} // namespace

// ---- configuration ----

void CCommUSB::SetVendorIdStr(const std::string& word) { vendorWord_ = word; }
void CCommUSB::SetProductIdStr(const std::string& word) { productWord_ = word; }
void CCommUSB::SetKeyFileName(const std::string& name) {
    // Names longer than a file name can be are cut, as a volume root cannot
    // hold them anyway.
    keyFile_ = name.substr(0, std::min<size_t>(name.size(), 255));
}
void CCommUSB::SetStatusHandler(StatusHandler handler) { statusHandler_ = std::move(handler); }

void CCommUSB::SetCandidateSources(std::vector<std::unique_ptr<CandidateSource>> sources) {
    std::lock_guard<std::mutex> lock(discoveryMutex_);
    sources_ = std::move(sources);
}

void CCommUSB::SetHotplugMonitor(std::unique_ptr<HotplugMonitor> monitor) {
    std::lock_guard<std::mutex> lock(discoveryMutex_);
    monitor_ = std::move(monitor);
    monitorInjected_ = true;
}

// ---- status news ----

void CCommUSB::QueueStatus(bool online) {
    std::lock_guard<std::mutex> lock(eventMutex_);
    if (online == reportedOnline_) return;  // one event per change
    reportedOnline_ = online;
    pendingEvents_.push_back(online);
}

void CCommUSB::FlushStatus() {
    std::vector<bool> events;
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        events.swap(pendingEvents_);
    }
    if (!statusHandler_) return;
    for (bool online : events) statusHandler_(online);
}

void CCommUSB::SetUSBDeviceStatus(bool online) {
    if (online) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!unit_) return;  // nothing to be online with
            online_ = true;
        }
        QueueStatus(true);
    } else {
        std::unique_ptr<ScsiUnit> gone;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gone = std::move(unit_);
            online_ = false;
        }
        if (gone) gone->Release();
        QueueStatus(false);
    }
    FlushStatus();
}

// ---- recognition ----

bool CCommUSB::GetDeviceInfo(ScsiUnit& unit, InquiryData& out) {
    out = InquiryData{};
    return unit.Inquiry(out);
}

bool CCommUSB::IsFrameIdentity(const InquiryData& info, std::string* reason) const {
    if (info.peripheralType >= 0 && info.peripheralType != 5) {
        if (reason) *reason = "INQUIRY reports peripheral type " + std::to_string(info.peripheralType) +
                              ", not a CD-ROM unit";
        return false;
    }
    if (!ContainsNoCase(info.vendor, vendorWord_)) {
        if (reason) *reason = "vendor identification \"" + info.vendor + "\" does not contain \"" +
                              vendorWord_ + "\"";
        return false;
    }
    if (!ContainsNoCase(info.product, productWord_)) {
        if (reason) *reason = "product identification \"" + info.product + "\" does not contain \"" +
                              productWord_ + "\"";
        return false;
    }
    return true;
}

std::unique_ptr<ScsiUnit> CCommUSB::OpenIfFrame(const UnitCandidate& c, InquiryData& info,
                                                std::string* reason, TakenFrame* taken) {
    if (c.peripheralType >= 0 && c.peripheralType != 5) {
        if (reason) *reason = "not a CD-ROM unit";
        return nullptr;
    }
    if (!c.usb && !c.isVirtual) {
        if (reason) *reason = "not on a USB bus";
        return nullptr;
    }
    if (!c.open) {
        if (reason) *reason = "cannot be opened";
        return nullptr;
    }
    std::string error;
    std::unique_ptr<ScsiUnit> unit;
    try {
        unit = c.open(error);
    } catch (const FrameInUseError& e) {
        // Held by someone else: nothing was opened, so only what the scan
        // read tells whether it is the frame.
        if (reason) *reason = e.what();
        if (taken && (c.isVirtual || (!c.sysVendor.empty() && ContainsNoCase(c.sysVendor, vendorWord_))))
            *taken = TakenFrame{c.node, e.Holder(), e.what()};
        return nullptr;
    } catch (const std::exception& e) {
        error = e.what();
        unit.reset();
    }
    if (!unit) {
        if (reason) *reason = "cannot be opened" + (error.empty() ? std::string() : ": " + error);
        return nullptr;
    }
    if (!GetDeviceInfo(*unit, info)) {
        unit->Release();
        if (reason) *reason = "does not answer INQUIRY";
        return nullptr;
    }
    if (!IsFrameIdentity(info, reason)) {
        unit->Release();
        return nullptr;
    }
    return unit;
}

void CCommUSB::NoteTaken(TakenFrame taken) {
    std::lock_guard<std::mutex> lock(eventMutex_);
    taken_ = std::move(taken);
    takenSeen_ = !taken_.node.empty();
}

CCommUSB::TakenFrame CCommUSB::FrameInUse() const {
    std::lock_guard<std::mutex> lock(eventMutex_);
    return taken_;
}

bool CCommUSB::TestDeviceLocked(const UnitCandidate& candidate, std::string* reason) {
    InquiryData info;
    TakenFrame taken;
    std::unique_ptr<ScsiUnit> unit = OpenIfFrame(candidate, info, reason, &taken);
    if (!taken.node.empty()) NoteTaken(std::move(taken));
    if (!unit) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unit_) {
            // A second frame while one is online: the open one stays.
            if (reason) *reason = "another frame is already online";
        } else {
            unit_ = std::move(unit);
            online_ = true;
            openCandidate_ = candidate;
            openInfo_ = info;
        }
    }
    if (!unit) NoteTaken({});  // ours now
    if (unit) {
        unit->Release();
        return true;
    }
    QueueStatus(true);
    return true;
}

bool CCommUSB::TestDevice(const UnitCandidate& candidate, std::string* reason) {
    bool accepted;
    {
        std::lock_guard<std::mutex> lock(discoveryMutex_);
        accepted = TestDeviceLocked(candidate, reason);
    }
    FlushStatus();
    return accepted;
}

// ---- scanning ----

std::vector<UnitCandidate> CCommUSB::EnumerateAll() {
    std::vector<UnitCandidate> all;
    for (auto& source : sources_) {
        std::vector<UnitCandidate> some;
        try {
            some = source->Enumerate();
        } catch (const std::exception&) {
            continue;  // an unreadable tree is a source without units
        }
        for (auto& c : some) all.push_back(std::move(c));
    }
    return all;
}

bool CCommUSB::ScanLocked() {
    std::vector<UnitCandidate> candidates = EnumerateAll();
    NoteTaken({});  // what this scan sees decides

    // The frame's own volume may be mounted by the desktop; when asked to,
    // unmount it once per arrival of a USB CD-ROM unit, before opening it.
    std::vector<std::string> nodes;
    bool arrived = false;
    for (const auto& c : candidates) {
        if (c.isVirtual || !c.usb || c.peripheralType != 5) continue;
        nodes.push_back(c.node);
        if (std::find(seenNodes_.begin(), seenNodes_.end(), c.node) == seenNodes_.end()) arrived = true;
    }
    seenNodes_ = std::move(nodes);
    if (arrived && !keyFile_.empty()) UnmountVolumesLocked();

    TakenFrame firstTaken;
    for (const auto& c : candidates) {
        if (GetUSBDeviceStatus()) break;
        TestDeviceLocked(c, nullptr);
        if (firstTaken.node.empty()) firstTaken = FrameInUse();
    }
    // A frame taken by us wins; otherwise the first one held elsewhere is told.
    NoteTaken(GetUSBDeviceStatus() ? TakenFrame{} : std::move(firstTaken));
    return GetUSBDeviceStatus();
}

bool CCommUSB::ScanForFrame() {
    bool online;
    {
        std::lock_guard<std::mutex> lock(discoveryMutex_);
        online = GetUSBDeviceStatus() || ScanLocked();
    }
    FlushStatus();
    return online;
}

std::vector<UnitReport> CCommUSB::SurveyUnits() {
    std::vector<UnitReport> reports;
    {
        std::lock_guard<std::mutex> lock(discoveryMutex_);
        std::string openName = UnitName();
        for (const auto& c : EnumerateAll()) {
            UnitReport r;
            r.node = c.node;
            r.usb = c.usb;
            r.isVirtual = c.isVirtual;
            r.peripheralType = c.peripheralType;
            r.vendor = c.sysVendor;
            r.product = c.sysModel;
            if (!openName.empty() && openName == c.node && openCandidate_.node == c.node) {
                r.isFrame = true;  // the open unit: reported as it is, not reopened
                r.peripheralType = openInfo_.peripheralType;
                r.vendor = openInfo_.vendor;
                r.product = openInfo_.product;
                r.revision = openInfo_.revision;
                reports.push_back(std::move(r));
                continue;
            }
            InquiryData info;
            TakenFrame taken;
            std::unique_ptr<ScsiUnit> unit = OpenIfFrame(c, info, &r.reason, &taken);
            if (!taken.node.empty()) {
                r.isFrame = true;  // as far as the scan can tell; its holder has it
                r.inUse = true;
                r.holder = taken.holder;
            }
            if (info.peripheralType >= 0 || !info.vendor.empty()) {
                r.peripheralType = info.peripheralType;
                r.vendor = info.vendor;
                r.product = info.product;
                r.revision = info.revision;
            }
            if (unit) {
                r.isFrame = true;
                r.reason.clear();
                unit->Release();
            }
            reports.push_back(std::move(r));
        }
    }
    return reports;
}

// ---- start-up and the hot-plug handler ----

bool CCommUSB::InitComm() {
    bool notified;
    {
        std::lock_guard<std::mutex> lock(discoveryMutex_);
        // The first source that has notices gives the monitor; one set of
        // notices covers the machine.
        if (!monitorInjected_ && !monitor_)
            for (auto& source : sources_)
                if ((monitor_ = source->OpenMonitor())) break;
        started_ = true;
        notified = monitor_ != nullptr;
        // A frame already present is announced like one that arrives later.
        if (!GetUSBDeviceStatus()) {
            ScanLocked();
        } else {
            std::lock_guard<std::mutex> ev(eventMutex_);
            reportedOnline_ = true;  // attached before discovery started
        }
    }
    FlushStatus();
    return notified;
}

int CCommUSB::HotplugFd() const { return monitor_ ? monitor_->Fd() : -1; }

int CCommUSB::HotplugTimeoutMs() const {
    if (!started_) return -1;
    if (followUp_) return kFollowUpMs;
    // No notice comes when another program lets a frame go: poll for it.
    if (takenSeen_) return kPollIntervalMs;
    if (!monitor_) return kPollIntervalMs;
    for (const auto& s : sources_)
        if (s->NeedsPolling()) return kPollIntervalMs;
    return -1;
}

void CCommUSB::HandleHotplug() {
    {
        std::lock_guard<std::mutex> lock(discoveryMutex_);
        if (monitor_) monitor_->Drain();
        followUp_ = false;

        const bool wasOnline = GetUSBDeviceStatus();
        std::unique_ptr<ScsiUnit> gone;
        UnitCandidate goneFrom;
        {
            // Held across the re-check: a command in flight finishes first,
            // and none starts until the unit is either confirmed or gone.
            std::lock_guard<std::mutex> unitLock(mutex_);
            if (unit_) {
                bool still = true;
                const bool fromCandidate = !openCandidate_.node.empty() && openCandidate_.node == unit_->Name();
                if (fromCandidate && openCandidate_.stillPresent) still = openCandidate_.stillPresent();
                InquiryData info;
                if (still) still = GetDeviceInfo(*unit_, info) && IsFrameIdentity(info, nullptr);
                if (still) return;  // the frame is still there: nothing changes
                gone = std::move(unit_);
                online_ = false;
                if (fromCandidate) goneFrom = std::move(openCandidate_);
                openCandidate_ = UnitCandidate{};
                openInfo_ = InquiryData{};
            }
        }
        if (gone) gone->Release();
        if (goneFrom.lost) goneFrom.lost();
        // The link is offline here; told once, also when the unit was let
        // go by another road (QueueStatus drops repeats).
        QueueStatus(false);
        // A loss and a new arrival are never handled in one run: after a loss
        // the next run does the scan. That run is asked for at once, since
        // the notices of a frame put straight back may already have been
        // drained together with those of the loss.
        if (wasOnline) {
            if (monitor_ && !monitor_->Wake()) followUp_ = true;
        } else {
            ScanLocked();
        }
    }
    FlushStatus();
}

InquiryData CCommUSB::DeviceInfo() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only when the open unit is still the one discovery took.
    if (!unit_ || openCandidate_.node.empty() || openCandidate_.node != unit_->Name()) return InquiryData{};
    return openInfo_;
}

int CCommUSB::UnmountVolumesLocked() {
    int tried = 0;
    for (auto& source : sources_) tried += source->UnmountVolumesHolding(keyFile_);
    return tried;
}

int CCommUSB::EjectMyDPF() {
    if (keyFile_.empty()) return 0;
    std::lock_guard<std::mutex> lock(discoveryMutex_);
    return UnmountVolumesLocked();
}

} // namespace kestova
