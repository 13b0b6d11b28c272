// How a command gets hold of the frame.

#include "cli/cli_common.h"

#include "session/FrameLink.h"

namespace kestova::cli {

std::unique_ptr<CCommUSB> AttachFrame(const CliContext& ctx) {
    session::AttachResult r = session::AttachFrame(session::FrameChoice(ctx.frameArg));
    if (r.ok()) return std::move(r.link);
    throw CliError(r.status == session::AttachStatus::BadFrameArgument ? kExitUsage : kExitNoFrame,
                   session::AttachFailureText(r));
}

} // namespace kestova::cli
