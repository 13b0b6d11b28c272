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
    throw CliError(kExitNoFrame,
                   "no frame found. Plug the frame in and make sure that the device is in \"UPDATE\" mode, "
                   "or name a virtual frame with --frame PATH (or KESTOVA_FRAME).");
}

} // namespace kestova::cli
