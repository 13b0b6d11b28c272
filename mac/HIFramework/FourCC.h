// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Four-character codes name commands, event classes and control signatures,
// as the window layout and the command table spell them ('quit', 'draw', ...).

#include <cstdint>
#include <string>

namespace kestova::mac {

using FourCharCode = uint32_t;

constexpr FourCharCode FourCC(const char (&s)[5])
{
    return (FourCharCode(uint8_t(s[0])) << 24) | (FourCharCode(uint8_t(s[1])) << 16) |
           (FourCharCode(uint8_t(s[2])) << 8) | FourCharCode(uint8_t(s[3]));
}

// Code of a four-character text; 0 when the text is not four characters long.
inline FourCharCode FourCCFromText(const std::string& s)
{
    if (s.size() != 4)
        return 0;
    return (FourCharCode(uint8_t(s[0])) << 24) | (FourCharCode(uint8_t(s[1])) << 16) |
           (FourCharCode(uint8_t(s[2])) << 8) | FourCharCode(uint8_t(s[3]));
}

inline std::string FourCCText(FourCharCode c)
{
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[i] = char((c >> (24 - 8 * i)) & 0xFF);
    return s;
}

// Event classes and kinds used by the program.
constexpr FourCharCode kEventClassCommand = FourCC("cmds");
constexpr uint32_t kEventCommandProcess = 1;
constexpr uint32_t kEventCommandUpdateStatus = 2;
constexpr FourCharCode kEventClassWindow = FourCC("wind");
constexpr uint32_t kEventWindowClose = 72;
// The program's own event: a worker task has ended.
constexpr FourCharCode kEventClassDraw = FourCC("draw");
constexpr uint32_t kEventKindDraw = FourCC("draw");

// Commands.
constexpr FourCharCode kHICommandQuit = FourCC("quit");
constexpr FourCharCode kHICommandNew = FourCC("new ");

struct EventTypeSpec {
    FourCharCode eventClass;
    uint32_t eventKind;
    bool operator==(const EventTypeSpec&) const = default;
};

struct HICommandExtended {
    uint32_t attributes = 0;
    FourCharCode commandID = 0;
};

} // namespace kestova::mac
