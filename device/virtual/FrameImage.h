// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Blank frame images: the information block at the start of the flash, the
// optional DPFH record, and 0xFF everywhere else (erased NOR flash).
//
//     FrameImageLayout layout;             // 128x128, 2 MiB, album at 1 MiB, 60 pictures
//     layout.lcdWidth = 160;
//     FormatFrameImage("/tmp/x.img", layout);      // throws on a bad layout or I/O error
//
// Information block (first 512 bytes; numbers little-endian):
//   32-34 album start   35-36 LCD width   37-38 LCD height   39 erase opcode
//   40 program-mode flag   43-45 flash size   46-47 maximum pictures (0 = 60)
//   256-259 "DPFH", 260 check byte (bytes 256-260 sum to 0 mod 256),
//   261-263 locator A; the 64-byte record at A-16 holds in its bytes 11-13
//   the address V whose next multiple of 64 KiB is the album start.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestova {

struct FrameImageLayout {
    uint32_t flashSize = 2u << 20;
    uint32_t albumStart = 1u << 20;
    uint16_t lcdWidth = 128;
    uint16_t lcdHeight = 128;
    uint8_t eraseOpcode = 0x20;
    bool programMode = false;
    uint16_t maxPictures = 60;
    // DPFH record: locator address A (the 64-byte record lies at A - 16) and
    // the address V stored in it (defaults to albumStart).
    std::optional<uint32_t> dpfhLocator;
    std::optional<uint32_t> dpfhTarget;
};

// Fields of an information block as the frame stores them (no rule applied
// except decoding; maxPictures is the raw value, 0 meaning 60).
struct FrameInfoBlock {
    uint32_t albumStart = 0;
    uint16_t lcdWidth = 0, lcdHeight = 0;
    uint8_t eraseOpcode = 0;
    uint8_t programModeFlag = 0;
    uint32_t flashSize = 0;
    uint16_t maxPictures = 0;
    bool dpfhValid = false;      // magic and check byte agree
    bool dpfhMagic = false;      // "DPFH" present (check byte may still be wrong)
    uint32_t dpfhLocator = 0;
};

// Throws std::invalid_argument naming the first field that cannot work.
void ValidateFrameImageLayout(const FrameImageLayout& layout);

std::vector<uint8_t> BuildFrameImage(const FrameImageLayout& layout);

// The whole flash contents for a layout. Checks only what cannot be encoded
// at all (24-bit fields, a DPFH record outside the image), so tests can build
// deliberately unusable frames; FormatFrameImage checks everything.
// (Declared above; see ValidateFrameImageLayout for the full checks.)

// Writes a new image file. Refuses to replace an existing file unless
// `overwrite`; the file appears complete or not at all (temp file + rename).
// With `checkLayout` false, only the encoding limits are checked.
// Throws std::invalid_argument (layout) or std::runtime_error (I/O).
void FormatFrameImage(const std::string& path, const FrameImageLayout& layout, bool overwrite = false,
                      bool checkLayout = true);

// Writes `bytes` as a new image file with the same no-clobber, all-or-nothing
// rule (used for hand-made images in tests).
void WriteImageFile(const std::string& path, const std::vector<uint8_t>& bytes, bool overwrite = false);

// Decodes the first 512 bytes of the flash.
FrameInfoBlock ParseFrameInfoBlock(const uint8_t block[512]);

} // namespace kestova
