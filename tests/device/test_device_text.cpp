// SPDX-License-Identifier: GPL-3.0-or-later
// Device text shown to a person: control bytes escaped, printable text kept.

#include "device/DeviceText.h"

#include <gtest/gtest.h>

namespace kestova {
namespace {

TEST(DeviceText, ControlBytesAreEscaped) {
    using namespace std::string_literals;
    const struct {
        std::string in, out;
    } cases[] = {
        {"NORVELTA v1.2", "NORVELTA v1.2"},
        {"\x1b]0;owned\x07title", "\\x1B]0;owned\\x07title"},
        {"\x1b[2J\r\nline", "\\x1B[2J\\x0D\\x0Aline"},
        {"a\0b"s, "a\\x00b"},
        {"del\x7f", "del\\x7F"},
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},  // valid UTF-8 stays
        {"\x9b" "31m", "\\x9B31m"},                               // raw 8-bit CSI
        {"\xc2\x9b" "31m", "\\xC2\\x9B31m"},                      // CSI as UTF-8 (C1)
        {"latin \xe9t\xe9", "latin \\xE9t\\xE9"},                  // not UTF-8
        {"cut \xe2\x82", "cut \\xE2\\x82"},                       // truncated sequence
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeDeviceText(c.in), c.out) << c.out;
}

} // namespace
} // namespace kestova
