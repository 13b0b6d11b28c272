// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakeUnits.h"

#include "device/FrameInUse.h"

#include <fcntl.h>
#include <poll.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace kestova::test {

namespace fs = std::filesystem;

namespace {
void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}
// sysfs pads the vendor to 8 and the model to 16 characters.
std::string Pad(std::string s, size_t n) {
    if (s.size() < n) s.append(n - s.size(), ' ');
    return s;
}
} // namespace

fs::path FakeSysfs::AddUnit(const std::string& sgName, bool usb, int type, const std::string& vendor,
                            const std::string& model, const std::string& blockName) {
    int n = next_++;
    std::string hctl = std::to_string(n) + ":0:0:0";
    fs::path hostParent;
    if (usb) {
        // devices/pci0000:00/0000:00:14.0/usbN/N-1/N-1:1.0/hostN/...
        fs::path usbDev = root_ / "devices/pci0000:00/0000:00:14.0" / ("usb" + std::to_string(n + 1)) /
                          (std::to_string(n + 1) + "-1");
        fs::create_directories(usbDev);
        fs::create_symlink("../../../../../bus/usb", usbDev / "subsystem");
        hostParent = usbDev / (std::to_string(n + 1) + "-1:1.0");
        fs::create_directories(hostParent);
        fs::create_symlink("../../../../../../bus/usb", hostParent / "subsystem");
    } else {
        hostParent = root_ / "devices/pci0000:00/0000:00:17.0" / ("ata" + std::to_string(n + 1));
        fs::create_directories(hostParent);
        fs::path link = hostParent.parent_path() / "subsystem";
        if (!fs::is_symlink(link)) fs::create_symlink("../../../bus/pci", link);
    }
    fs::path host = hostParent / ("host" + std::to_string(n));
    fs::path scsiDev = host / ("target" + std::to_string(n) + ":0:0") / hctl;
    fs::create_directories(scsiDev);
    fs::create_symlink("../../../bus/scsi", host / "subsystem");
    WriteFile(scsiDev / "type", std::to_string(type) + "\n");
    WriteFile(scsiDev / "vendor", Pad(vendor, 8) + "\n");
    WriteFile(scsiDev / "model", Pad(model, 16) + "\n");

    auto addClass = [&](const std::string& cls, const std::string& name) {
        fs::path nodeDir = scsiDev / cls / name;
        fs::create_directories(nodeDir);
        fs::create_symlink("../../../" + hctl, nodeDir / "device");
        WriteFile(nodeDir / "dev", "21:" + std::to_string(n) + "\n");
        fs::create_directories(root_ / "class" / cls);
        fs::create_symlink(fs::relative(nodeDir, root_ / "class" / cls), root_ / "class" / cls / name);
    };
    if (!sgName.empty()) addClass("scsi_generic", sgName);
    if (!blockName.empty()) addClass("block", blockName);
    return scsiDev;
}

void FakeSysfs::RemoveUnit(const std::string& name) {
    std::error_code ec;
    fs::remove(root_ / "class/scsi_generic" / name, ec);
    fs::remove(root_ / "class/block" / name, ec);
}

// ---- fake units ----

namespace {

class FakeUnit : public ScsiUnit {
public:
    FakeUnit(std::string node, std::shared_ptr<FakeDevice> dev) : node_(std::move(node)), dev_(std::move(dev)) {
        ++dev_->openUnits;
    }
    ~FakeUnit() override {
        if (!released_) Release();
    }
    ScsiResult Execute(const uint8_t* /*cdb*/, uint8_t* /*buffer*/, int32_t /*length*/, DataDirection /*dir*/,
                       unsigned /*timeoutMs*/) override {
        ++dev_->executes;
        {
            std::unique_lock<std::mutex> lock(dev_->m);
            if (dev_->blockExecute) {
                dev_->executing = true;
                dev_->cv.notify_all();
                dev_->cv.wait(lock, [&] { return dev_->gateOpen; });
                dev_->executing = false;
            }
        }
        return !released_ && dev_->present ? ScsiResult::Good() : ScsiResult::Check(0x2, 0x3A, 0);
    }
    bool Inquiry(InquiryData& out) override {
        ++dev_->inquiries;
        if (released_ || !dev_->present || !dev_->answersInquiry) return false;
        out.peripheralType = dev_->type;
        out.vendor = dev_->vendor;
        out.product = dev_->product;
        out.revision = "1.00";
        return true;
    }
    void Release() override {
        if (released_) return;
        {
            std::lock_guard<std::mutex> lock(dev_->m);
            if (dev_->executing) dev_->releasedDuringExecute = true;
        }
        released_ = true;
        ++dev_->releases;
        --dev_->openUnits;
    }
    std::string Name() const override { return node_; }

private:
    std::string node_;
    std::shared_ptr<FakeDevice> dev_;
    std::atomic<bool> released_{false};
};

} // namespace

std::shared_ptr<FakeDevice> FakeBus::Add(const std::string& node) {
    std::lock_guard<std::mutex> lock(m_);
    auto d = std::make_shared<FakeDevice>();
    devices_[node] = d;
    return d;
}

std::shared_ptr<FakeDevice> FakeBus::Get(const std::string& node) {
    std::lock_guard<std::mutex> lock(m_);
    auto it = devices_.find(node);
    return it == devices_.end() ? nullptr : it->second;
}

NodeOpener FakeBus::Opener() {
    return [this](const std::string& node, std::string& error) -> std::unique_ptr<ScsiUnit> {
        auto d = Get(node);
        {
            std::lock_guard<std::mutex> lock(m_);
            opened_->push_back(node);
        }
        if (!d || !d->present) {
            error = "No such device";
            return nullptr;
        }
        if (!d->openError.empty()) {
            error = d->openError;
            return nullptr;
        }
        if (d->inUse) throw FrameInUseError(d->holder);
        ++d->opens;
        return std::make_unique<FakeUnit>(node, d);
    };
}

std::vector<std::string> FakeBus::Opened() const {
    std::lock_guard<std::mutex> lock(m_);
    return *opened_;
}

// ---- pipe monitor ----

PipeMonitor::PipeMonitor() {
    if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

PipeMonitor::~PipeMonitor() {
    close(fds_[0]);
    close(fds_[1]);
}

int PipeMonitor::Drain() {
    char buf[64];
    int n = 0;
    ssize_t r;
    while ((r = read(fds_[0], buf, sizeof buf)) > 0) n += int(r);
    *drained += n;
    return n;
}

bool PipeMonitor::Wake() {
    if (!wakeable) return false;
    char c = 2;
    return write(fds_[1], &c, 1) == 1;
}

void PipeMonitor::Injector::Notice() const {
    char c = 1;
    if (write(fd, &c, 1) != 1) throw std::runtime_error("notice write failed");
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

} // namespace kestova::test
