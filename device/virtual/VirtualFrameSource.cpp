// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual frame as a candidate. Its image file may be renamed away and
// back at any time; once its unplug_after count has run out it stays off the
// bus for the rest of the run, even though a fresh open would answer again.

#include "device/virtual/VirtualFrameSource.h"

#include "device/FrameInUse.h"
#include "device/virtual/VirtualFrame.h"

#include <exception>
#include <utility>
#include <vector>

namespace kestova {

namespace {

class VirtualFrameSource : public CandidateSource {
public:
    VirtualFrameSource(std::string frameArg, VirtualFrameOpener opener)
        : state_(std::make_shared<State>()) {
        state_->frameArg = std::move(frameArg);
        state_->opener = std::move(opener);
        try {
            state_->path = ParseVirtualFrameArgument(state_->frameArg).path;
        } catch (const std::exception& e) {
            state_->badArgument = e.what();
            state_->path = state_->frameArg;
        }
    }

    std::vector<UnitCandidate> Enumerate() override {
        UnitCandidate c;
        c.node = state_->path;
        c.peripheralType = 5;
        c.usb = true;
        c.isVirtual = true;
        std::shared_ptr<State> st = state_;
        c.stillPresent = [st] { return !st->retired && ImageFilePresent(st->path); };
        c.lost = [st] {
            // Off the bus for good when its command budget ran out; a missing
            // image file only keeps it away until the file is back.
            if (st->monitor && st->monitor->Unplugged()) st->retired = true;
            st->monitor.reset();
        };
        c.open = [st](std::string& error) -> std::unique_ptr<ScsiUnit> {
            if (!st->badArgument.empty()) {
                error = st->badArgument;
                return nullptr;
            }
            if (st->retired) {
                error = "off the bus for the rest of this run (unplug_after ran out)";
                return nullptr;
            }
            if (!ImageFilePresent(st->path)) {
                error = "image file is missing";
                return nullptr;
            }
            if (st->opener) return st->opener(st->frameArg, error);
            try {
                auto frame = VirtualFrame::Open(st->frameArg);
                st->monitor = frame->Monitor();
                return frame;
            } catch (const FrameInUseError&) {
                throw;  // taken by someone else: told apart from a failed open
            } catch (const std::exception& e) {
                error = e.what();
                return nullptr;
            }
        };
        return {std::move(c)};
    }

    bool NeedsPolling() const override { return true; }

private:
    struct State {
        std::string frameArg, path, badArgument;
        VirtualFrameOpener opener;
        std::shared_ptr<VirtualFrameMonitor> monitor;
        bool retired = false;
    };
    std::shared_ptr<State> state_;
};

} // namespace

std::unique_ptr<CandidateSource> MakeVirtualFrameSource(const std::string& frameArg, VirtualFrameOpener opener) {
    return std::make_unique<VirtualFrameSource>(frameArg, std::move(opener));
}

} // namespace kestova
