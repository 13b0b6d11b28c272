// How a command gets hold of the frame.

#include "cli/cli_common.h"

#include "device/FrameLock.h"
#include "device/virtual/VirtualFrame.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace kestova::cli {

namespace {

// One attempt. Throws FrameInUseError when another program holds the frame.
std::unique_ptr<CCommUSB> TryAttach(const CliContext& ctx) {
    auto link = std::make_unique<CCommUSB>();
    if (!ctx.frameSpec.empty()) {
        try {
            link->AttachUnit(VirtualFrame::Open(ctx.frameSpec));
        } catch (const FrameInUseError&) {
            throw;
        } catch (const std::invalid_argument& e) {
            throw CliError(kExitUsage, std::string("--frame: ") + e.what());
        } catch (const std::exception& e) {
            throw CliError(kExitNoFrame, std::string("cannot attach the virtual frame: ") + e.what());
        }
        return link;
    }
    // No frame named: take the one that discovery finds.
    link->SetVendorIdStr(CCommUSB::kDefaultVendorWord);
    if (link->ScanForFrame()) return link;
    const CCommUSB::TakenFrame taken = link->FrameInUse();
    if (!taken.node.empty()) throw FrameInUseError(taken.holder);

    // A unit that looks like the frame but cannot be opened is almost always
    // a permission problem; say so instead of "not found".
    std::string hint;
    for (const auto& r : link->SurveyUnits()) {
        if (r.usb && r.reason.rfind("cannot be opened", 0) == 0) {
            hint = " " + r.node + " (" + (r.vendor.empty() ? std::string("a USB CD-ROM unit") : r.vendor) +
                   ") " + r.reason + "; see \"Permissions\" in README.md for the udev rule.";
            break;
        }
    }
    throw CliError(kExitNoFrame,
                   "no frame found. Plug the frame in and make sure that the device is in \"UPDATE\" mode, "
                   "or name a virtual frame with --frame PATH (or KESTOVA_FRAME)." + hint);
}

// --wait's value in seconds; negative: no limit.
double WaitSeconds(const std::string& text) {
    if (text == "forever") return -1;
    size_t pos = 0;
    double s = -1;
    try {
        s = std::stod(text, &pos);
    } catch (const std::exception&) {
        pos = 0;
    }
    if (text.empty() || pos != text.size() || !(s >= 0 && s <= 1e7))
        throw CliError(kExitUsage, "--wait: '" + text + "' is not a number of seconds");
    return s;
}

} // namespace

std::unique_ptr<CCommUSB> AttachFrame(const CliContext& ctx) {
    const bool waiting = !ctx.wait.empty();
    const double limit = waiting ? WaitSeconds(ctx.wait) : 0;
    const auto start = std::chrono::steady_clock::now();
    bool told = false;
    for (;;) {
        try {
            return TryAttach(ctx);
        } catch (const FrameInUseError& e) {
            const double waited =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!waiting || (limit >= 0 && waited >= limit))
                throw CliError(kExitBusy, std::string(e.what()) +
                                              (waiting ? "; gave up waiting" : "; nothing was read or written. "
                                                                               "Close it there, or use --wait"));
            if (!told) {
                std::fprintf(stderr, "kestova-cli: %s; waiting...\n", e.what());
                told = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

} // namespace kestova::cli
