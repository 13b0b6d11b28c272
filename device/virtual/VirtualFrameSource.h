// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The virtual frame as a discovery candidate: a program that was given
// --frame hands the link MakeVirtualFrameSource(frameArg) beside (or instead
// of) the Linux scan.

#include "device/Discovery.h"

#include <functional>
#include <memory>
#include <string>

namespace kestova {

// Opens the virtual frame named by a frame argument. Returns null and fills
// `error` when it cannot be opened; throws FrameInUseError when another
// program or link holds it.
using VirtualFrameOpener =
    std::function<std::unique_ptr<ScsiUnit>(const std::string& frameArg, std::string& error)>;

// A virtual frame given as "PATH[,key=value...]". It is present while its image
// file is; once its unplug_after count has run out it stays away for the rest
// of the run. It needs polling (no notice tells of a file being renamed).
// `opener` defaults to the virtual frame itself.
std::unique_ptr<CandidateSource> MakeVirtualFrameSource(const std::string& frameArg,
                                                        VirtualFrameOpener opener = {});

} // namespace kestova
