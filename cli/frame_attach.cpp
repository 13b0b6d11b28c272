// How a command gets hold of the frame.

#include "cli/cli_common.h"

#include "device/virtual/VirtualFrame.h"

#include <stdexcept>

namespace kestova::cli {

std::unique_ptr<CCommUSB> AttachFrame(const CliContext& ctx) {
    auto link = std::make_unique<CCommUSB>();
    if (!ctx.frameSpec.empty()) {
        try {
            link->AttachUnit(VirtualFrame::Open(ctx.frameSpec));
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

} // namespace kestova::cli
