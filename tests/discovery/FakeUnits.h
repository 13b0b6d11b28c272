// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test doubles for discovery: a fake sysfs tree in a temporary directory and
// fake SCSI units behind an injectable opener, so that every plug, pull and
// failure can be staged without hardware.

#include "device/linux/LinuxDiscovery.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace kestova::test {

// A sysfs tree: SCSI devices under a USB device or a plain PCI/ATA host.
class FakeSysfs {
public:
    explicit FakeSysfs(const std::filesystem::path& root) : root_(root) {}
    // Adds a SCSI device with a generic node (sgName, e.g. "sg1") and, when
    // blockName is not empty, a block node (e.g. "sr0"). Returns the SCSI
    // device directory.
    std::filesystem::path AddUnit(const std::string& sgName, bool usb, int type, const std::string& vendor,
                                  const std::string& model, const std::string& blockName = "");
    // Removes a unit's class entries (the unit was pulled).
    void RemoveUnit(const std::string& name);
    std::string Root() const { return root_.string(); }
private:
    std::filesystem::path root_;
    int next_ = 0;
};

// One fake device on the fake bus.
struct FakeDevice {
    std::string vendor = "NORVELTA";
    std::string product = "Photo Frame";
    int type = 5;
    std::atomic<bool> present{true};
    std::atomic<bool> answersInquiry{true};
    std::atomic<int> opens{0};
    std::atomic<int> releases{0};
    std::atomic<int> inquiries{0};
    std::atomic<int> executes{0};
    std::atomic<int> openUnits{0};     // opened and not yet released
    std::string openError;             // when set, opening fails with it
    std::atomic<bool> inUse{false};    // held by another program: opening throws
    std::string holder;                // ...naming this holder
    // When set, Execute waits until `gate` opens (command in flight).
    std::mutex m;
    std::condition_variable cv;
    bool blockExecute = false;
    bool executing = false;
    bool gateOpen = false;
    std::atomic<bool> releasedDuringExecute{false};
};

class FakeBus {
public:
    std::shared_ptr<FakeDevice> Add(const std::string& node);
    std::shared_ptr<FakeDevice> Get(const std::string& node);
    NodeOpener Opener();
    std::vector<std::string> Opened() const;  // nodes in the order they were opened
private:
    mutable std::mutex m_;
    std::map<std::string, std::shared_ptr<FakeDevice>> devices_;
    std::shared_ptr<std::vector<std::string>> opened_ = std::make_shared<std::vector<std::string>>();
};

// A hot-plug monitor whose notices the test injects through a pipe.
class PipeMonitor : public HotplugMonitor {
public:
    PipeMonitor();
    ~PipeMonitor() override;
    int Fd() const override { return fds_[0]; }
    int Drain() override;
    bool Wake() override;
    bool wakeable = true;  // false: a monitor that cannot wake the loop
    // Returns a handle that stays valid after the link owns the monitor.
    struct Injector {
        int fd;
        void Notice() const;
    };
    Injector injector() const { return Injector{fds_[1]}; }
    std::shared_ptr<std::atomic<int>> drained = std::make_shared<std::atomic<int>>(0);
private:
    int fds_[2] = {-1, -1};
};

// True when the descriptor is readable right now.
bool Readable(int fd);

} // namespace kestova::test
