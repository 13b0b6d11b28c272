// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The words every front-end shows for a failure that comes up from below:
// the album layer's thrown codes, the verified read's result codes, and why
// the frame refused its last command. Front-ends put these into their own
// messages (a status line, a message box, a line on stderr).

#include "device/ScsiUnit.h"

#include <string>

namespace kestova::session {

// Why an operation on the frame failed.
struct Failure {
    int storeCode = 0;      // the album layer's thrown code; 0 when none was thrown
    std::string command;    // why the frame refused its last command, in words; empty when unknown
    bool frameGone = false; // the frame had left the bus (unplugged, medium not present)

    bool empty() const { return storeCode == 0 && command.empty(); }
    // "a read failed: medium not present", "an erase failed", ... `writing`
    // names a failed write instead of a failed read for code 1.
    std::string Text(bool writing = false) const;
};

// The album layer's codes: 1 "a read failed" (or, writing, "a write failed
// its check"), 2 "an erase failed", 3 the album area is unusable, 4 the LCD
// is larger than any picture made here.
std::string StoreFailureText(int code, bool writing = false);

// Why a command failed, from its result: "medium not present", "illegal
// request (invalid field in the command)", "transport error (host status
// 0x07)", ... Empty for a command that completed.
std::string CommandFailureText(const ScsiResult& result, DataDirection direction = DataDirection::None);

// CProcessFlash::ReadData's result codes 1 to 3.
std::string ReadFailureText(int readCode);

} // namespace kestova::session
