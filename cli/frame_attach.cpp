// SPDX-License-Identifier: GPL-3.0-or-later
// How a command gets hold of the frame.

#include "cli/cli_common.h"

#include "session/FrameLink.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace kestova::cli {

namespace {

// One attempt. Returns null when another program holds the frame (`busy`
// then says so in words); throws CliError for every other failure.
std::unique_ptr<CCommUSB> TryAttach(const CliContext& ctx, std::string& busy) {
    session::AttachResult r = session::AttachFrame(session::FrameChoice(ctx.frameArg));
    if (r.ok()) return std::move(r.link);
    if (r.status == session::AttachStatus::Busy) {
        busy = session::AttachFailureText(r);
        return nullptr;
    }
    throw CliError(r.status == session::AttachStatus::BadFrameArgument ? kExitUsage : kExitNoFrame,
                   session::AttachFailureText(r));
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
        std::string busy;
        if (auto link = TryAttach(ctx, busy)) return link;
        const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!waiting || (limit >= 0 && waited >= limit))
            throw CliError(kExitBusy, busy + (waiting ? "; gave up waiting"
                                                      : "; nothing was read or written. "
                                                        "Close it there, or use --wait"));
        if (!told) {
            std::fprintf(stderr, "kestova-cli: %s; waiting...\n", busy.c_str());
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

} // namespace kestova::cli
