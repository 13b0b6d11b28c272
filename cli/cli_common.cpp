// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestova::cli {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0.
size_t Utf8Length(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    return n;
}

} // namespace

bool ReadInputFile(const std::string& path, size_t cap, std::vector<uint8_t>& bytes, std::string& why) {
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = S_ISDIR(st.st_mode)                          ? "is a folder"
              : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "is a device, not a file"
              : S_ISFIFO(st.st_mode)                       ? "is a named pipe (FIFO), not a file"
              : S_ISSOCK(st.st_mode)                       ? "is a socket, not a file"
                                                           : "is not a regular file";
        ::close(fd);
        return false;
    }
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::string("cannot be read: ") + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        if (bytes.size() + size_t(n) > cap) {
            why = "is longer than " + std::to_string(cap) + " bytes";
            ::close(fd);
            bytes.clear();
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    return true;
}

namespace {

// -1, 0 or 1 by the natural rule, without the final byte-order tie-break.
int NaturalCompare(const std::string& a, const std::string& b) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    size_t i = 0, j = 0;
    int zeros = 0;  // leading zeros of the first differing number, as a last word
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ai = i, bj = j;
            while (ai < a.size() && a[ai] == '0') ++ai;
            while (bj < b.size() && b[bj] == '0') ++bj;
            size_t ae = ai, be = bj;
            while (ae < a.size() && digit(a[ae])) ++ae;
            while (be < b.size() && digit(b[be])) ++be;
            if (ae - ai != be - bj) return ae - ai < be - bj ? -1 : 1;
            if (const int c = a.compare(ai, ae - ai, b, bj, be - bj)) return c < 0 ? -1 : 1;
            if (zeros == 0 && ai - i != bj - j) zeros = ai - i < bj - j ? -1 : 1;
            i = ae;
            j = be;
            continue;
        }
        const unsigned char x = static_cast<unsigned char>(fold(a[i])), y = static_cast<unsigned char>(fold(b[j]));
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
    return zeros;
}

} // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
    const int c = NaturalCompare(a, b);
    return c != 0 ? c < 0 : a < b;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        switch (c) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (c >= 0x80) {
            if (const size_t n = Utf8Length(s, i)) {
                out.append(s, i, n);
                i += n - 1;
                continue;
            }
        }
        if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

} // namespace kestova::cli
