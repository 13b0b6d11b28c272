// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Linux backend of discovery: the machine's CD-ROM units from sysfs,
// opened through SG_IO, udev plug / unplug notices, and unmounting the
// frame's own volume. A program that looks for real frames hands the link
// MakeSysfsCandidateSource(); that source brings the udev monitor and the
// unmounting with it.

#include "device/Discovery.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestova {

// Opens a device node for SCSI pass-through (the SG_IO unit). Returns null and
// fills `error` on failure.
using NodeOpener = std::function<std::unique_ptr<ScsiUnit>(const std::string& node, std::string& error)>;

// The SG_IO opener.
NodeOpener DefaultNodeOpener();

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

// The SCSI generic units (and CD-ROM block units without one) found under a
// sysfs tree. Only units of peripheral type 5 are listed. The source's
// notices are the udev monitor below; it unmounts the frame's volume with
// UnmountKeyFileVolumes(keyFile, volumes).
struct SysfsScanOptions {
    std::string sysRoot = "/sys";
    std::string devDir = "/dev";
    NodeOpener opener;         // empty: the SG_IO opener
};
std::unique_ptr<CandidateSource> MakeSysfsCandidateSource(SysfsScanOptions options = {},
                                                          KeyVolumeOptions volumes = {});

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
