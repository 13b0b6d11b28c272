// SPDX-License-Identifier: GPL-3.0-or-later
// The one entry point through which the front-ends turn a prepared bitmap
// into a device picture or a JFIF file, fit a picture into one album slot,
// and turn a device picture back into a bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/coder/Bmp.h"

namespace kestova {

class CKv350Encoder {
public:
    // Reads the prepared bitmap `bmpPath` (width x height pixels, see
    // LoadPicFromDir), encodes it at `quality` in sampling `mode` (the mode as
    // given; the encoder takes mode & 3), as a device picture when `standard`
    // is 0 or a baseline JFIF file otherwise, and writes it to `outPath`
    // (created or overwritten). Returns the number of bytes written, 0 on
    // failure (then no output file is left behind).
    static int EnCode(const std::string& bmpPath, const std::string& outPath, int width,
                      int height, int quality, int mode, int standard);

    // Decodes the device picture `picturePath` into a 24-bit BMP `bmpPath`.
    // expectedWidth/Height 0 accept any size. True when the BMP was written.
    static bool DeCode(const std::string& picturePath, const std::string& bmpPath,
                       int expectedWidth, int expectedHeight);

    // In-memory forms. `input` is the encoder input layout (Bmp.h).
    static bool Encode(const std::uint8_t* input, int width, int height, int quality, int mode,
                       bool standard, std::vector<std::uint8_t>& out);
    static bool Encode(const RgbImage& image, int quality, int mode, bool standard,
                       std::vector<std::uint8_t>& out);
    // Device picture bytes to a top-down RGB picture of the (unrounded) width.
    static bool Decode(const std::uint8_t* data, std::size_t size, int expectedWidth,
                       int expectedHeight, RgbImage& out, std::string* error = nullptr);
};

// Fitting a picture into one album slot: qualities q, q-10, q-20, ... down to
// the smallest positive one are tried in turn and the first whose device
// picture is at most `slotSize` bytes wins. The bytes are exactly those a
// plain encode at the winning quality gives (EnCode with mode `mode`,
// standard flag 0). Colour conversion and DCT are done once.
enum class FitStatus {
    Fitted,      // bytes/quality hold the result
    Unreadable,  // the bitmap could not be read (or is not width x height)
    Invalid,     // the picture cannot be encoded (size below 1 or too large)
    TooLarge,    // it does not fit even at the lowest quality tried
};

struct FitResult {
    FitStatus status = FitStatus::Invalid;
    std::vector<std::uint8_t> bytes;  // the device picture (Fitted only)
    int quality = 0;                  // the quality that fitted, as tried (Fitted only)
    int attempts = 0;                 // qualities tried
    bool ok() const { return status == FitStatus::Fitted; }
};

// `input` in the encoder input layout (Bmp.h) of width x height.
FitResult FitPictureToSlot(const std::uint8_t* input, int width, int height, int startQuality,
                           std::size_t slotSize, int mode = 3);
FitResult FitPictureToSlot(const RgbImage& image, int startQuality, std::size_t slotSize,
                           int mode = 3);
// From a prepared bitmap file of width x height pixels (read as EnCode does).
FitResult FitBmpToSlot(const std::string& bmpPath, int width, int height, int startQuality,
                       std::size_t slotSize, int mode = 3);

// The qualities the fitting tries, in order, for a starting quality.
std::vector<int> FitQualities(int startQuality);

}  // namespace kestova
