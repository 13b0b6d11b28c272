// SPDX-License-Identifier: GPL-3.0-or-later
// The wait the hot-plug driver sets after each discovery run.

#include "session/HotplugDriver.h"

#include "device/CommUSB.h"

#include <gtest/gtest.h>

namespace kestova::session {
namespace {

TEST(HotplugDriver, NextDelayFollowsTheLinkWithinTheCap)
{
    const int poll = CCommUSB::kPollIntervalMs;
    struct Case {
        int linkDelayMs;
        bool hasDescriptor;
        int capMs;
        int expected;
    };
    const Case cases[] = {
        {-1, true, 0, -1},        // the descriptor is enough: no timer
        {-1, true, 30, -1},       // a cap does not start polling a link that needs none
        {-1, false, 0, poll},     // no descriptor and no wish: the link's default poll
        {-1, false, 30, 30},      // ... shortened by the cap
        {200, true, 0, 200},      // a follow-up after a loss, descriptor or not
        {200, false, 5000, 200},  // the cap only ever shortens
        {0, true, 30, 0},         // "at once" stays at once
        {poll * 5, false, 30, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.linkDelayMs << " fd " << c.hasDescriptor << " cap " << c.capMs);
        EXPECT_EQ(HotplugDriver::NextDelayMs(c.linkDelayMs, c.hasDescriptor, c.capMs), c.expected);
    }
}

} // namespace
} // namespace kestova::session
