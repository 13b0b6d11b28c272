#pragma once
// Building blocks of frame discovery: where candidate units come from and how
// plug / unplug notices reach the link. CCommUSB (CommUSBDiscovery.cpp) runs
// the recognition and the hot-plug handler on top of these; the platform
// pieces (sysfs scan, udev monitor, volume unmount) live in device/linux/.

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

// A place candidates come from: the machine's SCSI generic units, a virtual
// frame, or a fake list in tests.
class CandidateSource {
public:
    virtual ~CandidateSource() = default;
    virtual std::vector<UnitCandidate> Enumerate() = 0;
    // True when the platform's notices cannot see this source change (a
    // virtual frame's image file), so the link must be polled.
    virtual bool NeedsPolling() const { return false; }
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

// ---- platform pieces (device/linux/) ----

// Opens a device node for SCSI pass-through (the SG_IO unit). Returns null and
// fills `error` on failure.
using NodeOpener = std::function<std::unique_ptr<ScsiUnit>(const std::string& node, std::string& error)>;

// The SG_IO opener of device/linux/.
NodeOpener DefaultNodeOpener();

// The SCSI generic units (and CD-ROM block units without one) found under a
// sysfs tree. Only units of peripheral type 5 are listed.
struct SysfsScanOptions {
    std::string sysRoot = "/sys";
    std::string devDir = "/dev";
    NodeOpener opener;         // empty: the SG_IO opener
};
std::unique_ptr<CandidateSource> MakeSysfsCandidateSource(SysfsScanOptions options = {});

// Plain scan result, also used by the source above.
struct SysfsUnit {
    std::string name;          // sg2, sr0
    std::string node;          // devDir/name
    int peripheralType = -1;
    bool usb = false;
    std::string vendor, model;
};
std::vector<SysfsUnit> ScanSysfsUnits(const std::string& sysRoot, const std::string& devDir);

// The udev monitor on the scsi_generic and block subsystems. Null when udev
// cannot be opened (no libudev, no netlink access): the caller polls instead.
std::unique_ptr<HotplugMonitor> MakeUdevHotplugMonitor(std::string* error = nullptr);

// A virtual frame given as "PATH[,key=value...]". It is present while its image
// file is; once its unplug_after count has run out it stays away for the rest
// of the run. `opener` defaults to the virtual frame itself.
using SpecOpener = std::function<std::unique_ptr<ScsiUnit>(const std::string& frameArg, std::string& error)>;
std::unique_ptr<CandidateSource> MakeVirtualFrameSource(const std::string& frameArg, SpecOpener opener = {});

// Unmounting the frame's own volume: every mounted volume whose root holds
// `keyFile` is unmounted through udisksctl (when it is installed). Failures
// are ignored. Returns the number of volumes an unmount was attempted on.
struct KeyVolumeOptions {
    std::string mountsFile = "/proc/self/mounts";
    // Runs a command (argv[0] looked up in PATH); returns its exit status, or
    // -1 when it could not be started. Empty: the real runner.
    std::function<int(const std::vector<std::string>& argv)> run;
    // Whether udisksctl can be used. Empty: looked up in PATH.
    std::function<bool()> haveUdisksctl;
    // Whether the volume mounted at `mountPoint` really is the device node
    // the mount table names. Empty: VolumeIsOnDevice.
    std::function<bool(const std::string& node, const std::string& mountPoint)> volumeIsOnDevice;
};
int UnmountKeyFileVolumes(const std::string& keyFile, const KeyVolumeOptions& options = {});

// True when `node` is a block device and the file system mounted at
// `mountPoint` lives on it (the node's st_rdev equals the mount root's
// st_dev). The mount table's device name is whatever the mounter said: a
// FUSE mount can name any /dev node, and unmounting "its" device would
// unmount a volume the user never meant.
bool VolumeIsOnDevice(const std::string& node, const std::string& mountPoint);

// Mount table entry (octal escapes of /proc/self/mounts decoded).
struct MountEntry {
    std::string device, mountPoint, fsType;
};
std::vector<MountEntry> ReadMountTable(const std::string& mountsFile);

} // namespace kestova
