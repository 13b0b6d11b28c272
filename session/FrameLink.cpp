// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/FrameLink.h"

#include "device/FrameInUse.h"
#include "device/linux/LinuxDiscovery.h"
#include "device/virtual/VirtualFrame.h"
#include "device/virtual/VirtualFrameSource.h"

#include <stdexcept>

namespace kestova::session {

std::vector<std::unique_ptr<CandidateSource>> CandidateSourcesFor(const FrameChoice& choice) {
    std::vector<std::unique_ptr<CandidateSource>> sources;
    if (choice.scanMachine) sources.push_back(MakeSysfsCandidateSource());
    if (!choice.frameArg.empty()) sources.push_back(MakeVirtualFrameSource(choice.frameArg, choice.opener));
    return sources;
}

std::unique_ptr<CCommUSB> MakeLink(const FrameChoice& choice) {
    auto link = std::make_unique<CCommUSB>();
    link->SetVendorIdStr(CCommUSB::kDefaultVendorWord);
    if (!choice.keyFile.empty()) link->SetKeyFileName(choice.keyFile);
    link->SetCandidateSources(CandidateSourcesFor(choice));
    return link;
}

AttachResult AttachFrame(const FrameChoice& choice) {
    AttachResult r;
    if (!choice.frameArg.empty()) {
        auto link = std::make_unique<CCommUSB>();
        link->SetVendorIdStr(CCommUSB::kDefaultVendorWord);
        try {
            link->AttachUnit(VirtualFrame::Open(choice.frameArg));
        } catch (const FrameInUseError& e) {
            r.status = AttachStatus::Busy;
            r.holder = e.Holder();
            r.detail = e.what();
            return r;
        } catch (const std::invalid_argument& e) {
            r.status = AttachStatus::BadFrameArgument;
            r.detail = e.what();
            return r;
        } catch (const std::exception& e) {
            r.status = AttachStatus::CannotOpen;
            r.detail = e.what();
            return r;
        }
        r.status = AttachStatus::Attached;
        r.link = std::move(link);
        return r;
    }
    FrameChoice machine = choice;
    machine.scanMachine = true;
    auto link = MakeLink(machine);
    if (link->ScanForFrame()) {
        r.status = AttachStatus::Attached;
        r.link = std::move(link);
        return r;
    }
    // A frame that another program holds is not "not found".
    const CCommUSB::TakenFrame taken = link->FrameInUse();
    if (!taken.node.empty()) {
        r.status = AttachStatus::Busy;
        r.holder = taken.holder;
        r.detail = taken.message.empty() ? FrameInUseMessage(taken.holder) : taken.message;
        return r;
    }
    // A unit that looks like the frame but cannot be opened is almost always
    // a permission problem; say so instead of "not found".
    for (const auto& u : link->SurveyUnits()) {
        if (u.usb && u.reason.rfind("cannot be opened", 0) == 0) {
            r.hint = u.node + " (" + (u.vendor.empty() ? std::string("a USB CD-ROM unit") : u.vendor) + ") " +
                     u.reason + "; see \"Permissions\" in README.md for the udev rule.";
            break;
        }
    }
    r.status = AttachStatus::NoFrame;
    return r;
}

std::string AttachFailureText(const AttachResult& r) {
    switch (r.status) {
    case AttachStatus::Attached: return {};
    case AttachStatus::BadFrameArgument: return "--frame: " + r.detail;
    case AttachStatus::CannotOpen: return "cannot attach the virtual frame: " + r.detail;
    case AttachStatus::Busy: return r.detail.empty() ? FrameInUseMessage(r.holder) : r.detail;
    case AttachStatus::NoFrame: break;
    }
    return "no frame found. Plug the frame in and make sure that the device is in \"UPDATE\" mode, "
           "or name a virtual frame with --frame PATH (or KESTOVA_FRAME)." +
           (r.hint.empty() ? std::string() : " " + r.hint);
}

} // namespace kestova::session
