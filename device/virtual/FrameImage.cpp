// SPDX-License-Identifier: GPL-3.0-or-later
// Blank frame images.

#include "device/virtual/FrameImage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <string>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestova {

namespace {

constexpr uint32_t kMax24 = 0xFFFFFF;
constexpr uint32_t kEraseUnit = 4096;
constexpr uint32_t kAlbumOverhead = 16384;  // two index blocks + reserved
constexpr uint32_t kMaxIndexed = 480;

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put24(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
    b[at + 2] = uint8_t(v >> 16);
}
uint32_t Get16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t Get24(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16); }

[[noreturn]] void Bad(const std::string& what) { throw std::invalid_argument(what); }

std::string Hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

void CheckEncodable(const FrameImageLayout& l) {
    if (l.flashSize < 512) Bad("flash size " + Hex(l.flashSize) + " is too small for the information block");
    if (l.flashSize > kMax24) Bad("flash size " + Hex(l.flashSize) + " does not fit the 24-bit size field");
    if (l.albumStart > kMax24) Bad("album start " + Hex(l.albumStart) + " does not fit 24 bits");
    if (l.dpfhTarget && !l.dpfhLocator) Bad("a DPFH target needs a DPFH locator address");
    if (l.dpfhLocator) {
        const uint32_t a = *l.dpfhLocator;
        if (a > kMax24) Bad("DPFH locator " + Hex(a) + " does not fit 24 bits");
        if (a < 16 || uint64_t(a) - 16 + 64 > l.flashSize)
            Bad("DPFH record at " + Hex(a) + " - 16 does not lie inside the flash");
        if (a - 16 < 512) Bad("DPFH record at " + Hex(a) + " - 16 overlaps the information block");
        if (l.dpfhTarget.value_or(l.albumStart) > kMax24) Bad("DPFH target does not fit 24 bits");
    }
}

} // namespace

void ValidateFrameImageLayout(const FrameImageLayout& l) {
    CheckEncodable(l);
    if (l.flashSize % kEraseUnit) Bad("flash size " + Hex(l.flashSize) + " is not a multiple of 4096");
    if (l.albumStart < kEraseUnit || l.albumStart % kEraseUnit)
        Bad("album start " + Hex(l.albumStart) + " must be a multiple of 4096 after the information block");
    if (l.lcdWidth == 0 || l.lcdHeight == 0) Bad("LCD width and height must not be 0");
    const uint32_t m = l.maxPictures == 0 ? 60 : l.maxPictures;
    if (m > kMaxIndexed) Bad("at most 480 pictures fit the album index");
    switch (l.eraseOpcode) {
    case 0x00: case 0xFF: case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0xAB:
        Bad("erase opcode " + Hex(l.eraseOpcode) + " is another flash instruction");
    default:
        break;
    }
    uint32_t start = l.albumStart;
    if (l.dpfhLocator) {
        const uint32_t v = l.dpfhTarget.value_or(l.albumStart);
        start = (v + 0xFFFFu) & ~0xFFFFu;
        const uint32_t recEnd = *l.dpfhLocator - 16 + 64;
        if (recEnd > start && *l.dpfhLocator - 16 < l.flashSize)
            Bad("DPFH record at " + Hex(*l.dpfhLocator) + " - 16 lies inside the album area, which gets erased");
    }
    if (uint64_t(start) + kAlbumOverhead + uint64_t(kEraseUnit) * m > l.flashSize)
        Bad("album from " + Hex(start) + " to " + Hex(l.flashSize) + " has no room for " +
            std::to_string(m) + " slots of 4096 bytes");
}

std::vector<uint8_t> BuildFrameImage(const FrameImageLayout& l) {
    CheckEncodable(l);
    std::vector<uint8_t> img(l.flashSize, 0xFF);
    Put24(img, 32, l.albumStart);
    Put16(img, 35, l.lcdWidth);
    Put16(img, 37, l.lcdHeight);
    img[39] = l.eraseOpcode;
    img[40] = l.programMode ? 1 : 0;
    Put24(img, 43, l.flashSize);
    Put16(img, 46, l.maxPictures);
    if (l.dpfhLocator) {
        std::memcpy(img.data() + 256, "DPFH", 4);
        const uint8_t sum = uint8_t('D' + 'P' + 'F' + 'H');
        img[260] = uint8_t(0x100 - sum);
        Put24(img, 261, *l.dpfhLocator);
        Put24(img, size_t(*l.dpfhLocator - 16 + 11), l.dpfhTarget.value_or(l.albumStart));
    }
    return img;
}

namespace {

// The umask, read without setting it (umask() can only be read by changing
// it, which races with other threads creating files). The strictest mask
// when the kernel does not say: the image holds the user's photos.
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0) return mode_t(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    return 077;
}

} // namespace

void WriteImageFile(const std::string& path, const std::vector<uint8_t>& bytes, bool overwrite) {
    if (path.empty()) throw std::runtime_error("no image path given");
    struct stat st {};
    if (!overwrite && ::lstat(path.c_str(), &st) == 0)
        throw std::runtime_error(path + " already exists; not replacing it");
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else done += size_t(w);
    }
    const int err = errno;
    ok = ok && ::fchmod(fd, 0666 & ~CurrentUmask()) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(err ? err : EIO));
    }
    if (overwrite) {
        if (::rename(tmp.c_str(), path.c_str()) != 0) {
            const int e = errno;
            ::unlink(tmp.c_str());
            throw std::runtime_error("cannot create " + path + ": " + std::strerror(e));
        }
        return;
    }
    // link() refuses to replace a file that appeared in the meantime.
    if (::link(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error(e == EEXIST ? path + " already exists; not replacing it"
                                             : "cannot create " + path + ": " + std::strerror(e));
    }
    ::unlink(tmp.c_str());
}

void FormatFrameImage(const std::string& path, const FrameImageLayout& layout, bool overwrite,
                      bool checkLayout) {
    if (checkLayout) ValidateFrameImageLayout(layout);
    WriteImageFile(path, BuildFrameImage(layout), overwrite);
}

FrameInfoBlock ParseFrameInfoBlock(const uint8_t b[512]) {
    FrameInfoBlock f;
    f.albumStart = Get24(b + 32);
    f.lcdWidth = uint16_t(Get16(b + 35));
    f.lcdHeight = uint16_t(Get16(b + 37));
    f.eraseOpcode = b[39];
    f.programModeFlag = b[40];
    f.flashSize = Get24(b + 43);
    f.maxPictures = uint16_t(Get16(b + 46));
    f.dpfhMagic = std::memcmp(b + 256, "DPFH", 4) == 0;
    uint8_t sum = 0;
    for (int i = 256; i <= 260; ++i) sum = uint8_t(sum + b[i]);
    f.dpfhValid = f.dpfhMagic && sum == 0;
    f.dpfhLocator = Get24(b + 261);
    return f;
}

} // namespace kestova
