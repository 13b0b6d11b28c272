// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A frame that another program (or another link in this process) holds.
//
// Whoever opens a unit holds it exclusively until it releases it (how a
// backend takes it: device/linux/FrameLock.h). A unit that is taken is not
// opened at all: nothing is read or written. The opener throws
// FrameInUseError, whose Holder() names the program where the system tells
// it. This is all the generic link and the front-ends need to know of it.
//
//     try { auto unit = candidate.open(error); ... }
//     catch (const FrameInUseError& e) { e.what(); e.Holder(); }

#include <stdexcept>
#include <string>
#include <utility>

namespace kestova {

// "the frame is in use by process 'mackestova' (pid 4242)", or "... by
// another program".
inline std::string FrameInUseMessage(const std::string& holder) {
    return "the frame is in use by " + (holder.empty() ? std::string("another program") : holder);
}

class FrameInUseError : public std::runtime_error {
public:
    // `holder`: "process 'mackestova' (pid 4242)", or empty when unknown.
    explicit FrameInUseError(std::string holder)
        : std::runtime_error(FrameInUseMessage(holder)), holder_(std::move(holder)) {}
    const std::string& Holder() const { return holder_; }

private:
    std::string holder_;
};

} // namespace kestova
