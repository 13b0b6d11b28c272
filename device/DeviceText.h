// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Text that comes from a device (firmware version, INQUIRY vendor and
// product) is whatever the device sent. Shown on a terminal or in a window it
// must not carry control bytes: an escape sequence could rewrite the screen,
// change the window title or hide other output.

#include <string>
#include <string_view>

namespace kestova {

// `text` with every control byte (0x00-0x1F, 0x7F), every C1 control
// (U+0080-U+009F, raw or UTF-8 encoded) and every byte that is not part of
// valid UTF-8 written as \xNN (two upper-case hex digits). Printable ASCII
// and valid UTF-8 of printable characters pass unchanged.
std::string EscapeDeviceText(std::string_view text);

} // namespace kestova
