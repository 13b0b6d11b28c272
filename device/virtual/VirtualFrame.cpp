// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual frame: NOR flash semantics on an image file.
//
// The image file is the flash. Nothing is cached: every read goes to the file
// and every change is written (and, unless sync=0, fdatasync'ed) before the
// command returns, so a process killed at any point leaves the image exactly
// as a real chip would be left by a pulled cable.

#include "device/virtual/VirtualFrame.h"

#include "device/linux/FrameLock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kestova {

namespace {

constexpr uint32_t kMaxFlashSize = 1u << 24;  // 24-bit addresses

uint32_t Be24(const uint8_t* p) {
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[2]);
}

bool ParseUnsigned(const std::string& text, uint64_t& out) {
    if (text.empty()) return false;
    size_t pos = 0;
    try {
        if (text[0] == '-' || text[0] == '+') return false;
        out = std::stoull(text, &pos, 0);
    } catch (const std::exception&) {
        return false;
    }
    return pos == text.size();
}

// Where the image path ends in a frame argument. A path may hold commas:
// the longest part before a comma (or the whole argument) that names an
// existing file is the path, so "./new,frame.img" works once the file is
// there; otherwise the path ends at the first comma.
size_t PathLength(const std::string& frameArg) {
    struct stat st {};
    for (size_t end = frameArg.size();;) {
        if (end > 0 && ::stat(frameArg.substr(0, end).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return end;
        if (end == 0) break;
        const size_t comma = frameArg.rfind(',', end - 1);
        if (comma == std::string::npos) break;
        end = comma;
    }
    const auto comma = frameArg.find(',');
    return comma == std::string::npos ? frameArg.size() : comma;
}

std::string PathOfArgument(const std::string& frameArg) { return frameArg.substr(0, PathLength(frameArg)); }

} // namespace

// ---------------------------------------------------------------- model

FrameModel FrameModel::UsbFullSpeed() {
    FrameModel m;
    m.commandUs = 1000;      // command and status stages: one 1 ms frame
    m.packetUs = 53;         // 1 ms / 19 packets of 64 bytes (about 1.2 MB/s)
    m.erase4kUs = 45000;     // sector erase, typical
    m.erase64kUs = 150000;   // 64 KiB block erase, typical
    m.pageUs = 700;          // page program, typical
    m.statusWriteUs = 10000; // write status register, typical
    return m;
}

bool FrameModel::Active() const {
    return commandUs || packetUs || erase4kUs || erase64kUs || pageUs || statusWriteUs;
}

uint64_t FrameModel::TransferUs(int32_t length) const {
    const uint64_t packets = length > 0 ? (uint64_t(length) + 63) / 64 : 0;
    return commandUs + packets * packetUs;
}

uint64_t FrameModel::ProgramUs(uint32_t address, uint32_t length) const {
    if (length == 0) return 0;
    const uint64_t first = address / 256, last = (uint64_t(address) + length - 1) / 256;
    return (last - first + 1) * pageUs;
}

// ---------------------------------------------------------------- options

VirtualFrameOptions ParseVirtualFrameArgument(const std::string& frameArg) {
    VirtualFrameOptions o;
    // Single figures of the model, applied after the model itself whatever
    // their place in the argument.
    std::vector<std::pair<uint64_t FrameModel::*, uint64_t>> overrides;
    auto figureOf = [](const std::string& key) -> uint64_t FrameModel::* {
        if (key == "cmd_us") return &FrameModel::commandUs;
        if (key == "packet_us") return &FrameModel::packetUs;
        if (key == "erase4k_us") return &FrameModel::erase4kUs;
        if (key == "erase64k_us") return &FrameModel::erase64kUs;
        if (key == "page_us") return &FrameModel::pageUs;
        if (key == "wrsr_us") return &FrameModel::statusWriteUs;
        return nullptr;
    };
    const size_t pathLength = PathLength(frameArg);
    if (pathLength == 0) throw std::invalid_argument("virtual frame: no image path given");
    o.path = frameArg.substr(0, pathLength);
    size_t start = pathLength + 1;
    while (start <= frameArg.size()) {
        size_t end = frameArg.find(',', start);
        if (end == std::string::npos) end = frameArg.size();
        const std::string item = frameArg.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;  // tolerate "a.img," and ",,"
        const auto eq = item.find('=');
        if (eq == std::string::npos)
            throw std::invalid_argument("virtual frame option '" + item + "' is not key=value");
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        auto number = [&](uint64_t& dst) {
            if (!ParseUnsigned(value, dst))
                throw std::invalid_argument("virtual frame option " + key +
                                            " needs a non-negative number, not '" + value + "'");
        };
        uint64_t n = 0;
        if (key == "model") {
            if (value == "usb-full-speed") o.model = FrameModel::UsbFullSpeed();
            else if (value == "none") o.model = FrameModel{};
            else
                throw std::invalid_argument("virtual frame model '" + value +
                                            "' is not known (usb-full-speed, none)");
        } else if (figureOf(key)) {
            number(n);
            overrides.emplace_back(figureOf(key), n);
        } else if (key == "latency_us") {
            number(o.latencyUs);
        } else if (key == "bytes_per_s") {
            number(o.bytesPerS);
        } else if (key == "unplug_after") {
            number(n);
            o.unplugAfter = n;
        } else if (key == "corrupt_reads") {
            double p = -1;
            size_t pos = 0;
            try {
                p = std::stod(value, &pos);
            } catch (const std::exception&) {
                pos = 0;
            }
            if (pos != value.size() || value.empty() || !(p >= 0.0 && p <= 1.0))
                throw std::invalid_argument("virtual frame option corrupt_reads needs a probability "
                                            "between 0 and 1, not '" + value + "'");
            o.corruptReads = p;
        } else if (key == "seed") {
            number(o.seed);
        } else if (key == "firmware") {
            if (value.size() > 63)
                throw std::invalid_argument("virtual frame firmware text is longer than 63 characters");
            if (value.find('\xFF') != std::string::npos || value.find('\0') != std::string::npos)
                throw std::invalid_argument("virtual frame firmware text holds a 0 or 0xFF byte");
            o.firmware = value;
        } else if (key == "vendor") {
            if (value.size() > 8)
                throw std::invalid_argument("virtual frame vendor identification is longer than 8 characters");
            o.vendor = value;
        } else if (key == "log") {
            o.logPath = value;
        } else if (key == "busy_polls") {
            number(n);
            if (n > 1000000) throw std::invalid_argument("virtual frame busy_polls is too large");
            o.busyPolls = unsigned(n);
        } else if (key == "write_protect") {
            if (value != "0" && value != "1")
                throw std::invalid_argument("virtual frame option write_protect takes 0 or 1");
            o.writeProtect = (value == "1");
        } else if (key == "sync") {
            if (value != "0" && value != "1")
                throw std::invalid_argument("virtual frame option sync takes 0 or 1");
            o.sync = (value == "1");
        } else {
            throw std::invalid_argument("unknown virtual frame option '" + key + "'");
        }
    }
    for (const auto& [figure, us] : overrides) {
        if (us > 60'000'000) throw std::invalid_argument("virtual frame model figure over 60 s");
        o.model.*figure = us;
    }
    return o;
}

bool ImageFilePresent(const std::string& frameArgOrPath) {
    struct stat st {};
    const std::string path = PathOfArgument(frameArgOrPath);
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// ---------------------------------------------------------------- monitor

std::vector<FrameCommand> VirtualFrameMonitor::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

void VirtualFrameMonitor::ClearCommands() {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.clear();
    count_ = failed_ = toDevice_ = fromDevice_ = wireUs_ = modelUs_ = 0;
}

uint64_t VirtualFrameMonitor::CommandCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

uint64_t VirtualFrameMonitor::FailedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

uint64_t VirtualFrameMonitor::BytesToDevice() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return toDevice_;
}

uint64_t VirtualFrameMonitor::BytesFromDevice() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fromDevice_;
}

FrameClock VirtualFrameMonitor::Clock() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_;
}

uint64_t VirtualFrameMonitor::WireMicros() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wireUs_;
}

uint64_t VirtualFrameMonitor::ModelMicros() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return modelUs_;
}

bool VirtualFrameMonitor::Unplugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unplugged_;
}

void VirtualFrameMonitor::Record(const FrameCommand& c) {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(c);
    ++count_;
    wireUs_ += c.elapsedUs;
    modelUs_ += c.modelUs;
    if (!c.ok) {
        ++failed_;
    } else if (c.direction == DataDirection::ToDevice) {
        toDevice_ += uint64_t(c.length);
    } else if (c.direction == DataDirection::FromDevice) {
        fromDevice_ += uint64_t(c.length);
    }
}

void VirtualFrameMonitor::SetClock(const FrameClock& c) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ = c;
}

void VirtualFrameMonitor::SetUnplugged() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = true;
}

// ---------------------------------------------------------------- frame

std::unique_ptr<VirtualFrame> VirtualFrame::Open(const std::string& frameArg) {
    return Open(ParseVirtualFrameArgument(frameArg));
}

std::unique_ptr<VirtualFrame> VirtualFrame::Open(const VirtualFrameOptions& options) {
    if (options.path.empty()) throw std::invalid_argument("virtual frame: no image path given");
    int fd = ::open(options.path.c_str(), O_RDWR | O_CLOEXEC);
    // An image the user may only read is opened for reading: the album can
    // be looked at, every write fails.
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd = ::open(options.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open frame image " + options.path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw std::runtime_error("frame image " + options.path + " is not a regular file");
    }
    if (st.st_size <= 0 || uint64_t(st.st_size) > kMaxFlashSize) {
        ::close(fd);
        throw std::runtime_error("frame image " + options.path +
                                 " must hold between 1 byte and 16 MiB of flash");
    }
    // Held for as long as the frame is open: a second program (or a second
    // link in this one) must not write beside it, nor read an album that is
    // being rewritten; an open that can only read never stops a writer.
    if (std::string lockError = HoldFrameImageOrClose(fd); !lockError.empty())
        throw std::runtime_error("frame image " + options.path + ": " + lockError);
    std::unique_ptr<VirtualFrame> frame(new VirtualFrame(options, fd, uint32_t(st.st_size)));
    frame->dev_ = uint64_t(st.st_dev);
    frame->ino_ = uint64_t(st.st_ino);
    if (!options.logPath.empty()) {
        frame->log_ = std::fopen(options.logPath.c_str(), "a");
        if (!frame->log_)
            throw std::runtime_error("cannot open frame log " + options.logPath + ": " + std::strerror(errno));
    }
    return frame;
}

VirtualFrame::VirtualFrame(VirtualFrameOptions options, int fd, uint32_t flashSize)
    : options_(std::move(options)), fd_(fd), flashSize_(flashSize),
      rng_(options_.seed), monitor_(std::make_shared<VirtualFrameMonitor>()) {}

VirtualFrame::~VirtualFrame() { Release(); }

void VirtualFrame::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (log_) std::fclose(log_);
    log_ = nullptr;
}

bool VirtualFrame::ImagePresent() const {
    struct stat st {};
    return ::stat(options_.path.c_str(), &st) == 0 && uint64_t(st.st_dev) == dev_ &&
           uint64_t(st.st_ino) == ino_;
}

uint64_t VirtualFrame::NextRandom() {
    // splitmix64: the same seed gives the same faults on every platform.
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

namespace {

// Commands the firmware answers without the flash chip: they do not wait
// for an erase or program in progress (a status read reports it instead).
bool NeedsChip(const uint8_t* cdb) {
    if (cdb[0] == 0xCB) return true;
    if (cdb[0] == 0xCD) return cdb[5] == 5 || (cdb[5] == 0 && cdb[10] != 0x05);
    return false;
}

} // namespace

void VirtualFrame::Delay(const uint8_t* cdb, int32_t length, DataDirection dir) {
    using Clock = std::chrono::steady_clock;
    const int32_t dataLength = dir == DataDirection::None ? 0 : length;
    uint64_t us = options_.latencyUs;
    if (options_.bytesPerS > 0 && dataLength > 0)
        us += uint64_t(dataLength) * 1000000ull / options_.bytesPerS;
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
    const FrameModel& m = options_.model;
    lastModelUs_ = 0;
    if (!m.Active()) return;
    const uint64_t before = modelClockUs_;
    if (NeedsChip(cdb)) modelClockUs_ = std::max(modelClockUs_, modelChipReadyUs_);
    modelClockUs_ += m.TransferUs(dataLength);
    lastModelUs_ = modelClockUs_ - before;
    // The wire clock runs on from where the last command ended when the host
    // sent this one at once, so the sleeps' own overshoot does not add up
    // over thousands of commands.
    const Clock::time_point now = Clock::now();
    Clock::time_point t = std::max(now, wireClock_);
    if (NeedsChip(cdb)) t = std::max(t, chipReadyAt_);
    t += std::chrono::microseconds(m.TransferUs(dataLength));
    wireClock_ = t;
    std::this_thread::sleep_until(t);
}

void VirtualFrame::ChipBusyFor(uint64_t us) {
    if (us == 0) return;
    modelChipReadyUs_ = modelClockUs_ + us;
    chipReadyAt_ = std::max(std::chrono::steady_clock::now(), wireClock_) + std::chrono::microseconds(us);
}

bool VirtualFrame::ChipBusy() const { return std::chrono::steady_clock::now() < chipReadyAt_; }

ScsiResult VirtualFrame::Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                                 DataDirection direction, unsigned /*timeoutMs*/) {
    const auto started = std::chrono::steady_clock::now();
    FrameCommand rec;
    if (cdb) std::copy(cdb, cdb + 16, rec.cdb.begin());
    rec.direction = direction;
    rec.length = length;
    ScsiResult result;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (released_) {
            result = ScsiResult::System(EBADF);
        } else if (cdb == nullptr || length < 0) {
            result = ScsiResult::System(EINVAL);
        } else if (!ImagePresent() || (options_.unplugAfter && executed_ >= *options_.unplugAfter)) {
            // Off the bus: the frame answers as a unit whose medium is gone.
            if (options_.unplugAfter && executed_ >= *options_.unplugAfter) monitor_->SetUnplugged();
            result = ScsiResult::Check(kNotReady, kAscMediumNotPresent, 0);
        } else {
            ++executed_;
            Delay(cdb, length, direction);
            if (direction == DataDirection::FromDevice && buffer && length > 0)
                std::memset(buffer, 0, size_t(length));
            refusal_ = {kIllegalRequest, kAscInvalidField};
            rec.ok = Dispatch(cdb, buffer, length, direction);
            result = rec.ok ? ScsiResult::Good() : ScsiResult::Check(refusal_.key, refusal_.asc, 0);
            rec.modelUs = lastModelUs_;
            if (options_.unplugAfter && executed_ >= *options_.unplugAfter) monitor_->SetUnplugged();
        }
        rec.senseKey = result.SenseKey();
        rec.asc = result.Asc();
        LogLine(rec);
    }
    rec.elapsedUs = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - started).count());
    monitor_->Record(rec);
    return result;
}

bool VirtualFrame::Refuse(uint8_t key, uint8_t asc) {
    refusal_ = {key, asc};
    return false;
}

bool VirtualFrame::Protected() {
    latch_ = false;
    return Refuse(kDataProtect, kAscWriteProtected);
}

void VirtualFrame::LogLine(const FrameCommand& c) {
    if (!log_) return;
    char line[128];
    int n = 0;
    for (int i = 0; i < 16; ++i) n += std::snprintf(line + n, sizeof line - size_t(n), "%02x ", c.cdb[size_t(i)]);
    std::snprintf(line + n, sizeof line - size_t(n), "dir=%d len=%d %s\n", int(c.direction), int(c.length),
                  c.ok ? "ok" : "fail");
    std::fputs(line, log_);
    std::fflush(log_);
}

bool VirtualFrame::Dispatch(const uint8_t* cdb, uint8_t* buffer, int32_t length, DataDirection dir) {
    if (length > 0 && buffer == nullptr) return false;
    switch (cdb[0]) {
    case 0xCB: return FlashCommand(cdb, buffer, length, dir);
    case 0xCD: return ReadCommand(cdb, buffer, length, dir);
    case 0xCA: return SetClockCommand(cdb, length, dir);
    case 0x12: return InquiryCommand(cdb, buffer, length, dir);
    case 0x00: return dir == DataDirection::None && length == 0;  // TEST UNIT READY
    default: return Refuse(kIllegalRequest, kAscInvalidOpcode);
    }
}

uint8_t VirtualFrame::NamedEraseOpcode() const {
    uint8_t op = 0xFF;
    if (flashSize_ > 39 && !ReadImage(39, &op, 1)) op = 0xFF;
    return op;
}

bool VirtualFrame::FlashCommand(const uint8_t* cdb, const uint8_t* data, int32_t length, DataDirection dir) {
    if (dir == DataDirection::FromDevice) return false;
    if (cdb[1] | cdb[2] | cdb[3] | cdb[4] | cdb[5] | cdb[14]) return false;
    const uint8_t op = cdb[10];
    const uint8_t n = cdb[6];
    const uint32_t len = Be24(cdb + 7);
    const uint32_t addr = Be24(cdb + 11);
    const bool noData = dir == DataDirection::None && length == 0 && len == 0;

    switch (op) {
    case 0x06:  // write enable
        if (n != 1 || !noData) return false;
        latch_ = true;
        return true;
    case 0x04:  // write disable
        if (n != 1 || !noData) return false;
        latch_ = false;
        return true;
    case 0xAB:  // release from deep power-down
        return n == 1 && noData;
    case 0x01:  // write status register (value in byte 11)
        if (n != 2 || !noData) return false;
        if (options_.writeProtect) return Protected();
        if (latch_) {
            statusReg_ = cdb[11] & 0xFC;  // busy and latch bits are read-only
            ChipBusyFor(options_.model.statusWriteUs);
        }
        latch_ = false;
        return true;
    case 0x02: {  // page program
        if (n != 4 || dir != DataDirection::ToDevice || int64_t(len) != length) return false;
        if (length <= 0 || length > kMaxTransfer) return false;
        if (uint64_t(addr) + uint64_t(len) > flashSize_) return Refuse(kIllegalRequest, kAscOutOfRange);
        if (options_.writeProtect) return Protected();
        bool ok = true;
        if (latch_) {
            uint8_t page[kMaxTransfer];
            ok = ReadImage(addr, page, len);
            if (ok) {
                for (uint32_t i = 0; i < len; ++i) page[i] &= data[i];  // NOR: bits only cleared
                ok = WriteImage(addr, page, len);
            }
            busyLeft_ = options_.busyPolls;
            ChipBusyFor(options_.model.ProgramUs(addr, len));
        }
        latch_ = false;
        return ok || Refuse(kMediumError, kAscWriteError);
    }
    default:
        break;
    }

    // Erase: 0x20 and the opcode the information block names erase the 4 KiB
    // unit; 0xD8 (when the block does not name it) is the chip's 64 KiB block
    // erase, so a host using the wrong opcode visibly wipes its neighbours.
    const uint8_t named = NamedEraseOpcode();
    const bool namedUsable = named != 0x00 && named != 0xFF;
    uint32_t unit = 0;
    if (op == 0x20 || (namedUsable && op == named)) unit = kEraseUnit;
    else if (op == 0xD8) unit = kBlock64K;
    else return Refuse(kIllegalRequest, kAscInvalidOpcode);  // unknown instruction
    if (n != 4 || !noData) return false;
    if (addr >= flashSize_) return Refuse(kIllegalRequest, kAscOutOfRange);
    if (options_.writeProtect) return Protected();
    bool ok = true;
    if (latch_) {
        const uint32_t start = addr & ~(unit - 1);
        const uint32_t end = std::min<uint64_t>(uint64_t(start) + unit, flashSize_);
        ok = EraseRange(start, end - start);
        busyLeft_ = options_.busyPolls;
        ChipBusyFor(unit == kEraseUnit ? options_.model.erase4kUs : options_.model.erase64kUs);
    }
    latch_ = false;
    return ok || Refuse(kMediumError, kAscWriteError);
}

uint8_t VirtualFrame::StatusByte() {
    uint8_t s = uint8_t(statusReg_ | (latch_ ? 0x02 : 0x00));
    if (busyLeft_ > 0) {
        s |= 0x01;
        --busyLeft_;
    } else if (ChipBusy()) {
        s |= 0x01;
    }
    return s;
}

bool VirtualFrame::ReadCommand(const uint8_t* cdb, uint8_t* buffer, int32_t length, DataDirection dir) {
    if (dir != DataDirection::FromDevice || length > kMaxTransfer) return false;
    if (cdb[1] | cdb[2] | cdb[3] | cdb[4] | cdb[14]) return false;
    const uint8_t sel = cdb[5];
    const uint8_t n = cdb[6];
    const uint32_t addr = Be24(cdb + 11);

    if (sel == 0) {
        if (cdb[10] == 0x05) {  // read status register
            if (n != 1 || length < 1) return false;
            buffer[0] = StatusByte();
            return true;
        }
        if (cdb[10] == 0x03) {  // read data: exactly the requested length
            const uint32_t len = Be24(cdb + 7);
            if (n != 4 || int64_t(len) != length || length == 0) return false;
            if (uint64_t(addr) + len > flashSize_) return Refuse(kIllegalRequest, kAscOutOfRange);
            if (!ReadImage(addr, buffer, len)) return Refuse(kMediumError, kAscReadError);
            if (options_.corruptReads > 0.0) {
                const double u = double(NextRandom() >> 11) / double(1ull << 53);
                if (u < options_.corruptReads) {
                    const uint64_t r = NextRandom();
                    buffer[r % len] ^= uint8_t(1u << ((r >> 32) % 8));
                }
            }
            return true;
        }
        return false;
    }
    if (sel == 5) {  // 16-bit byte sum of a range, high byte first
        if (n != 5 || cdb[9] != 0 || cdb[10] != 0 || length < 2) return false;
        const uint32_t len = (uint32_t(cdb[7]) << 8) | cdb[8];
        if (uint64_t(addr) + len > flashSize_) return Refuse(kIllegalRequest, kAscOutOfRange);
        uint32_t sum = 0;
        uint8_t chunk[kMaxTransfer];
        for (uint32_t done = 0; done < len;) {
            const uint32_t k = std::min<uint32_t>(len - done, kMaxTransfer);
            if (!ReadImage(addr + done, chunk, k)) return Refuse(kMediumError, kAscReadError);
            for (uint32_t i = 0; i < k; ++i) sum += chunk[i];
            done += k;
        }
        buffer[0] = uint8_t(sum >> 8);
        buffer[1] = uint8_t(sum);
        return true;
    }
    if (sel == 1) {  // firmware version text
        if (n != 1 || cdb[10] != 1 || length < 1) return false;
        const std::string fw = options_.firmware.value_or(std::string());
        if (fw.empty()) {
            std::memset(buffer, 0xFF, size_t(length));
        } else {
            std::memcpy(buffer, fw.data(), std::min<size_t>(fw.size(), size_t(length)));
        }
        return true;
    }
    return false;
}

bool VirtualFrame::SetClockCommand(const uint8_t* cdb, int32_t length, DataDirection dir) {
    if (dir != DataDirection::None || length != 0) return false;
    if (cdb[1] | cdb[2] | cdb[3] | cdb[4] | cdb[12] | cdb[13]) return false;
    FrameClock c;
    c.year = cdb[6] * 100 + cdb[5];
    c.month = cdb[7];
    c.day = cdb[8];
    c.hour = cdb[9];
    c.minute = cdb[10];
    c.second = cdb[11];
    c.dstFlag = cdb[14];
    c.zoneByte = cdb[15];
    if (cdb[5] > 99 || c.month < 1 || c.month > 12 || c.day < 1 || c.day > 31 || c.hour > 23 ||
        c.minute > 59 || c.second > 59 || c.dstFlag > 1 || c.zoneByte > 26)
        return false;
    c.set = true;
    std::copy(cdb, cdb + 16, c.cdb.begin());
    monitor_->SetClock(c);
    return true;
}

void VirtualFrame::FillInquiry(uint8_t* out) const {
    std::memset(out, ' ', 36);
    out[0] = 0x05;  // CD-ROM
    out[1] = 0x80;  // removable
    out[2] = 0x00;
    out[3] = 0x02;
    out[4] = 31;    // additional length
    out[5] = out[6] = out[7] = 0;
    std::memcpy(out + 8, options_.vendor.data(), std::min<size_t>(options_.vendor.size(), 8));
    static const char product[] = "Virtual Frame";
    std::memcpy(out + 16, product, sizeof product - 1);
    std::memcpy(out + 32, "1.00", 4);
}

bool VirtualFrame::InquiryCommand(const uint8_t* cdb, uint8_t* buffer, int32_t length, DataDirection dir) {
    if (dir != DataDirection::FromDevice || length > 255 || (cdb[1] & 0x01)) return false;
    uint8_t data[36];
    FillInquiry(data);
    std::memcpy(buffer, data, std::min<size_t>(36, size_t(length)));
    return true;
}

bool VirtualFrame::Inquiry(InquiryData& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released_ || monitor_->Unplugged() || !ImagePresent()) return false;
    if (options_.unplugAfter && executed_ >= *options_.unplugAfter) {
        monitor_->SetUnplugged();
        return false;
    }
    uint8_t data[36];
    FillInquiry(data);
    auto field = [&](int from, int len) {
        std::string s(reinterpret_cast<const char*>(data + from), size_t(len));
        while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
        return s;
    };
    out.peripheralType = data[0] & 0x1F;
    out.vendor = field(8, 8);
    out.product = field(16, 16);
    out.revision = field(32, 4);
    return true;
}

// ---------------------------------------------------------------- image I/O

bool VirtualFrame::ReadImage(uint32_t address, uint8_t* out, uint32_t length) const {
    if (fd_ < 0 || uint64_t(address) + length > flashSize_) return false;
    uint32_t done = 0;
    while (done < length) {
        const ssize_t r = ::pread(fd_, out + done, length - done, off_t(address) + done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;  // the image shrank underneath us
        done += uint32_t(r);
    }
    return true;
}

bool VirtualFrame::WriteImage(uint32_t address, const uint8_t* data, uint32_t length) {
    if (fd_ < 0 || uint64_t(address) + length > flashSize_) return false;
    uint32_t done = 0;
    while (done < length) {
        const ssize_t w = ::pwrite(fd_, data + done, length - done, off_t(address) + done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += uint32_t(w);
    }
    if (options_.sync && ::fdatasync(fd_) != 0) return false;
    return true;
}

bool VirtualFrame::EraseRange(uint32_t start, uint32_t length) {
    // One write (and one sync) for the whole unit or block.
    const std::vector<uint8_t> ff(length, 0xFF);
    return WriteImage(start, ff.data(), length);
}

} // namespace kestova
