// SPDX-License-Identifier: GPL-3.0-or-later
#include "device/DeviceText.h"

namespace kestova {

namespace {

// Length of the valid UTF-8 sequence at text[i] (2 to 4 bytes), or 0.
size_t Utf8Length(std::string_view text, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = b(i);
    const size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    if (c == 0xE0 && b(i + 1) < 0xA0) return 0;
    if (c == 0xED && b(i + 1) > 0x9F) return 0;
    if (c == 0xF0 && b(i + 1) < 0x90) return 0;
    if (c == 0xF4 && b(i + 1) > 0x8F) return 0;
    // C1 controls (U+0080-U+009F) act like escapes on many terminals.
    if (c == 0xC2 && b(i + 1) < 0xA0) return 0;
    return n;
}

} // namespace

std::string EscapeDeviceText(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
            continue;
        }
        if (c >= 0x80) {
            if (const size_t n = Utf8Length(text, i)) {
                out.append(text.substr(i, n));
                i += n - 1;
                continue;
            }
        }
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    return out;
}

} // namespace kestova
