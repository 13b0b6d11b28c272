// SPDX-License-Identifier: GPL-3.0-or-later
// The machine's CD-ROM units as sysfs shows them.
//
// Every SCSI generic unit is /sys/class/scsi_generic/sgN, whose "device" link
// leads to the SCSI device directory (type, vendor, model). The unit counts as
// USB when one of that directory's ancestors is a USB device (its "subsystem"
// link ends in "usb"). CD-ROM units without a generic node (sg module not
// loaded) are taken through their block node /dev/srN, which carries SG_IO
// just as well.

#include "device/linux/LinuxDiscovery.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kestova {

namespace fs = std::filesystem;

namespace {

std::string ReadAttr(const fs::path& file) {
    std::ifstream in(file);
    std::string s;
    if (!in) return s;
    std::getline(in, s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r' || s.back() == '\t'))
        s.pop_back();
    size_t start = s.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : s.substr(start);
}

int ReadType(const fs::path& file) {
    std::string s = ReadAttr(file);
    if (s.empty() || s.size() > 3 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return std::stoi(s);
}

// True when a directory between `dir` and the sysfs root is a USB device.
bool UnderUsb(fs::path dir, const fs::path& root) {
    std::error_code ec;
    for (int depth = 0; depth < 64 && !dir.empty(); ++depth) {
        if (dir == root || dir == dir.root_path()) break;
        fs::path sub = dir / "subsystem";
        if (fs::is_symlink(fs::symlink_status(sub, ec))) {
            fs::path target = fs::read_symlink(sub, ec);
            if (!ec && target.filename() == "usb") return true;
        }
        dir = dir.parent_path();
    }
    return false;
}

// Units listed in one class directory (scsi_generic or block).
void ScanClass(const fs::path& root, const std::string& cls, const std::string& devDir,
               bool (*wanted)(const std::string&), std::vector<SysfsUnit>& out,
               std::vector<fs::path>& seenDevices) {
    std::error_code ec;
    fs::path classDir = root / "class" / cls;
    fs::directory_iterator it(classDir, ec), end;
    if (ec) return;
    std::vector<std::string> names;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        names.push_back(it->path().filename().string());
    }
    // sg2 before sg10: the order a user reads.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (const auto& name : names) {
        if (!wanted(name)) continue;
        fs::path device = fs::canonical(classDir / name / "device", ec);
        if (ec) continue;
        if (std::find(seenDevices.begin(), seenDevices.end(), device) != seenDevices.end()) continue;
        SysfsUnit u;
        u.name = name;
        u.node = devDir + "/" + name;
        u.peripheralType = ReadType(device / "type");
        if (u.peripheralType != 5) continue;  // only CD-ROM units can be the frame
        u.vendor = ReadAttr(device / "vendor");
        u.model = ReadAttr(device / "model");
        fs::path canonicalRoot = fs::canonical(root, ec);
        u.usb = UnderUsb(device, ec ? root : canonicalRoot);
        seenDevices.push_back(device);
        out.push_back(std::move(u));
    }
}

bool IsGeneric(const std::string& name) { return name.rfind("sg", 0) == 0; }
bool IsCdBlock(const std::string& name) { return name.rfind("sr", 0) == 0; }

class SysfsCandidateSource : public CandidateSource {
public:
    SysfsCandidateSource(SysfsScanOptions options, KeyVolumeOptions volumes)
        : options_(std::move(options)), volumes_(std::move(volumes)) {
        if (!options_.opener) options_.opener = DefaultNodeOpener();
    }

    std::vector<UnitCandidate> Enumerate() override {
        std::vector<UnitCandidate> out;
        for (auto& u : ScanSysfsUnits(options_.sysRoot, options_.devDir)) {
            UnitCandidate c;
            c.node = u.node;
            c.peripheralType = u.peripheralType;
            c.usb = u.usb;
            c.sysVendor = u.vendor;
            c.sysModel = u.model;
            NodeOpener opener = options_.opener;
            std::string node = u.node;
            c.open = [opener, node](std::string& error) { return opener(node, error); };
            out.push_back(std::move(c));
        }
        return out;
    }

    std::unique_ptr<HotplugMonitor> OpenMonitor() override { return MakeUdevHotplugMonitor(); }

    int UnmountVolumesHolding(const std::string& keyFile) override {
        return UnmountKeyFileVolumes(keyFile, volumes_);
    }

private:
    SysfsScanOptions options_;
    KeyVolumeOptions volumes_;
};

} // namespace

std::vector<SysfsUnit> ScanSysfsUnits(const std::string& sysRoot, const std::string& devDir) {
    std::vector<SysfsUnit> out;
    std::vector<fs::path> seen;
    fs::path root(sysRoot);
    ScanClass(root, "scsi_generic", devDir, IsGeneric, out, seen);
    ScanClass(root, "block", devDir, IsCdBlock, out, seen);
    return out;
}

std::unique_ptr<CandidateSource> MakeSysfsCandidateSource(SysfsScanOptions options, KeyVolumeOptions volumes) {
    return std::make_unique<SysfsCandidateSource>(std::move(options), std::move(volumes));
}

} // namespace kestova
