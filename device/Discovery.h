// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Building blocks of frame discovery: where candidate units come from and how
// plug / unplug notices reach the link. CCommUSB (CommUSBDiscovery.cpp) runs
// the recognition and the hot-plug handler on top of these. It knows no
// backend: every program hands the link its candidate sources (the Linux scan
// of device/linux/LinuxDiscovery.h, the virtual frame of
// device/virtual/VirtualFrameSource.h, fakes in tests), and a source brings
// what its platform adds (hot-plug notices, unmounting the frame's volume).

#include "device/ScsiUnit.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestova {

// One unit that might be the frame, as a scan saw it (nothing opened yet).
struct UnitCandidate {
    std::string node;          // device node (/dev/sg2) or the virtual frame's image path
    int peripheralType = -1;   // as the scan read it; -1 when only INQUIRY can tell
    bool usb = false;          // the unit sits under a USB device
    bool isVirtual = false;    // a virtual frame (counts as plugged in over USB)
    std::string sysVendor;     // identification as the scan read it (may be empty)
    std::string sysModel;

    // Opens the unit. Returns null and fills `error` when it cannot be opened.
    std::function<std::unique_ptr<ScsiUnit>(std::string& error)> open;
    // Optional: false once the unit has left (checked before an INQUIRY).
    std::function<bool()> stillPresent;
    // Optional: told when the link drops this unit after it stopped answering.
    std::function<void()> lost;
};

// Delivers plug / unplug notices through a file descriptor that a program
// watches in its own event loop.
class HotplugMonitor {
public:
    virtual ~HotplugMonitor() = default;
    // Readable when notices are pending.
    virtual int Fd() const = 0;
    // Reads every pending notice without blocking; returns how many were
    // relevant (0 is fine: the handler runs anyway).
    virtual int Drain() = 0;
    // Makes Fd() readable once more, so that the program's loop runs the
    // handler again soon. False when the monitor cannot do that (the link
    // then asks for a short timeout instead).
    virtual bool Wake() { return false; }
};

// A place candidates come from: the machine's SCSI generic units, a virtual
// frame, or a fake list in tests.
class CandidateSource {
public:
    virtual ~CandidateSource() = default;
    virtual std::vector<UnitCandidate> Enumerate() = 0;
    // True when the platform's notices cannot see this source change (a
    // virtual frame's image file), so the link must be polled.
    virtual bool NeedsPolling() const { return false; }
    // Opens the notices that tell when this source's units come and go (the
    // machine's udev monitor). Null when there are none; a link whose
    // sources give none polls. Asked once, when discovery starts.
    virtual std::unique_ptr<HotplugMonitor> OpenMonitor() { return nullptr; }
    // Unmounts the mounted volumes whose root holds `keyFile` (the desktop
    // may have mounted the frame's own CD-ROM volume). Returns how many an
    // unmount was tried on; failures are ignored. Sources without volumes
    // do nothing.
    virtual int UnmountVolumesHolding(const std::string& /*keyFile*/) { return 0; }
};

// What a survey found out about one candidate (kestova-cli list).
struct UnitReport {
    std::string node;
    bool usb = false;
    bool isVirtual = false;
    int peripheralType = -1;
    std::string vendor;        // INQUIRY identification when the unit answered,
    std::string product;       // else what the scan read
    std::string revision;
    bool isFrame = false;
    std::string reason;        // why it was not taken (empty for a frame)
    bool inUse = false;        // a frame held by another program or link
    std::string holder;        // who holds it, where the system tells ("mackestova (pid 4242)")
};

} // namespace kestova
