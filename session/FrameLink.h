// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Getting hold of a frame. A program that follows the frame coming and going
// builds its link with MakeLink and runs discovery on it (InitComm,
// HandleHotplug); a program that works once and ends calls AttachFrame.
//
//     FrameChoice choice(frameArg);            // --frame / KESTOVA_FRAME, or empty
//     AttachResult r = AttachFrame(choice);
//     if (!r.ok()) print(AttachFailureText(r));
//     dpf.Init(std::move(r.link), progress);

#include "device/CommUSB.h"
#include "device/virtual/VirtualFrameSource.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestova::session {

// Which frames a program looks at.
struct FrameChoice {
    explicit FrameChoice(std::string frameArg_ = {}, bool scanMachine_ = true, std::string keyFile_ = {})
        : frameArg(std::move(frameArg_)), scanMachine(scanMachine_), keyFile(std::move(keyFile_)) {}

    // A virtual frame "PATH[,key=value...]" (--frame, KESTOVA_FRAME); empty: none.
    std::string frameArg;
    // The machine's own units (the Linux scan) are candidates too.
    bool scanMachine = true;
    // A file at the root of the frame's own volume; a mounted volume holding
    // it is unmounted when a frame arrives. Empty: nothing is unmounted.
    std::string keyFile;
    // How discovery opens the virtual frame (tests hand one that leaves and
    // comes back); empty: the frame argument is opened as it is. AttachFrame
    // always opens it as it is.
    VirtualFrameOpener opener;
};

// The candidate sources a program hands its link: the Linux scan (when
// scanMachine) and the virtual frame (when frameArg names one).
std::vector<std::unique_ptr<CandidateSource>> CandidateSourcesFor(const FrameChoice& choice);

// A link set up for discovery (the frame's vendor word, the key file, the
// candidate sources) and not started yet.
std::unique_ptr<CCommUSB> MakeLink(const FrameChoice& choice);

enum class AttachStatus {
    Attached,          // link is online
    BadFrameArgument,  // frameArg is malformed (detail says how)
    CannotOpen,        // the virtual frame's image cannot be opened (detail says why)
    NoFrame,           // discovery found none (hint: a unit that looks like one but cannot be opened)
    Busy,              // another program holds the frame (holder names it where the system tells);
                       // nothing was read or written
};

struct AttachResult {
    AttachStatus status = AttachStatus::NoFrame;
    std::unique_ptr<CCommUSB> link;  // online when Attached
    std::string detail;
    std::string hint;
    std::string holder;  // Busy: "mackestova (pid 4242)", or empty when unknown
    bool ok() const { return status == AttachStatus::Attached; }
};

// Attaches once: the virtual frame when frameArg names one (opened directly),
// otherwise the first frame one scan of the machine finds.
AttachResult AttachFrame(const FrameChoice& choice);

// What went wrong, in the words the front-ends show ("the frame is in use by
// mackestova (pid 4242)" for Busy).
std::string AttachFailureText(const AttachResult& result);

} // namespace kestova::session
