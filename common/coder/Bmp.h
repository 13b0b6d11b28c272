// SPDX-License-Identifier: GPL-3.0-or-later
// BMP files and the pixel layouts the codecs work with.
//
// Two layouts appear throughout the codecs:
//  - the encoder input layout: `height` rows from the BOTTOM picture row up,
//    3 bytes per pixel B, G, R, each row padded to BmpRowStride(width) bytes
//    (exactly the pixel block of a bottom-up 24-bit BMP);
//  - RgbImage: rows from the TOP, 3 bytes per pixel R, G, B, no padding
//    (the layout of QImage::Format_RGB888 with bytesPerLine == 3 * width).
//
// Everything here is safe on any input: a truncated or malformed file is
// refused with a false/0 result and nothing is read past a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestova {

// Size of the BITMAPFILEHEADER + BITMAPINFOHEADER every BMP written here has.
inline constexpr std::size_t kBmpHeaderSize = 54;

// Largest picture (in pixels) the BMP readers accept; a bigger header is
// refused before anything is allocated.
inline constexpr std::uint64_t kBmpMaxPixels = 1ull << 26;

// Bytes in one padded 24-bit row: (3 * width + 3) rounded down to a multiple of 4.
std::size_t BmpRowStride(int width);

// Bytes of an encoder input buffer (BmpRowStride(width) * height); 0 for a
// width or height below 1.
std::size_t EncoderInputSize(int width, int height);

// The one pixel-row conversion of the project: copies `height` rows of
// `width` 3-byte pixels from `src` (rows `srcStride` bytes apart) to `dst`
// (rows `dstStride` apart), reversing the row order when `flipRows` (top-down
// <-> bottom-up) and exchanging the first and third byte of every pixel when
// `swapRedBlue` (B, G, R <-> R, G, B). Bytes past 3 * width in a destination
// row are left as they are.
void ConvertPixelRows(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
                      std::size_t dstStride, int width, int height, bool flipRows,
                      bool swapRedBlue);

// Where the pixels of a BMP to be written come from, for the one BMP writer
// below: `pixels` with rows `stride` bytes apart, the top picture row first
// when `topDown` (else the bottom row), pixels R, G, B when `rgb` (else
// B, G, R).
struct BmpSource {
    const std::uint8_t* pixels = nullptr;
    std::size_t stride = 0;
    bool topDown = false;
    bool rgb = false;
    // Each file row is padded to BmpRowStride(width) bytes. The padding is
    // 0, or, when this is set, the source bytes that follow the row's last
    // pixel (the decoder's wider picture rows hold decoded samples there);
    // it needs B, G, R rows of at least BmpRowStride(width) bytes.
    bool paddingFromSource = false;
    // biSizeImage: the pixel block's size, or 0 (allowed for uncompressed
    // files, and what the prepared bitmaps have always carried).
    bool recordImageSize = false;
};

// The one BMP writer of the project: a 24-bit bottom-up BMP (54-byte header,
// no colour table) of width x height. Resolution fields are 0 ("not given"):
// these pictures have no physical size. Empty for a size below 1, too many
// pixels, or a source that does not fit the description.
std::vector<std::uint8_t> BmpFileBytes(const BmpSource& source, int width, int height);

// A top-down RGB picture (see above).
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // width * height * 3 bytes, R G B, rows from the top

    bool empty() const { return width <= 0 || height <= 0; }
};

// Reads the prepared bitmap at `path` for the encoder: a BMP of exactly
// width x height pixels. Bit count 16 is expanded from 5-5-5 (each component
// << 3), every other bit count is taken as 24-bit rows starting at byte 54.
// `out` receives the encoder input layout and must hold at least
// EncoderInputSize(width, height) bytes (`outSize`).
// Returns 1 when the picture was read, 0 when the file cannot be opened, is
// not a BMP ("BM"), has another width or height in its header, or is too
// short for width x height pixels. On 0 the contents of `out` are unspecified.
int LoadPicFromDir(const std::string& path, std::uint8_t* out, std::size_t outSize, int width,
                   int height);

// The same on a BMP file already in memory.
int LoadPicFromMemory(const std::uint8_t* data, std::size_t size, std::uint8_t* out,
                      std::size_t outSize, int width, int height);

// Writes a 24-bit BMP: `rows` holds `height` rows of 3 * width bytes (B, G, R,
// NOT padded), the first row being the BOTTOM picture row. Rows are padded
// with zero bytes to a multiple of 4 in the file; biSizeImage and the
// resolution fields are 0. Returns false (and leaves no file behind) when the
// file cannot be written or width/height are below 1.
bool SaveBmpFile(const std::uint8_t* rows, int width, int height, const std::string& path);

// General BMP reader for pictures of any size: uncompressed 24-bit, 32-bit
// and 16-bit (5-5-5) files, bottom-up or top-down rows. Returns false on
// anything else or on a malformed/truncated file (with a reason in *error
// when given).
bool ParseBmp(const std::uint8_t* data, std::size_t size, RgbImage& out,
              std::string* error = nullptr);
bool ReadBmp(const std::string& path, RgbImage& out, std::string* error = nullptr);

// A 24-bit bottom-up BMP of `image`, in memory or as a file (same bytes as
// SaveBmpFile writes).
std::vector<std::uint8_t> EncodeBmp24(const RgbImage& image);
bool WriteBmp24(const std::string& path, const RgbImage& image);

// Layout conversions between RgbImage and the encoder input layout.
// ToEncoderInput returns EncoderInputSize(w, h) bytes (padding bytes 0).
std::vector<std::uint8_t> ToEncoderInput(const RgbImage& image);
// `input` must hold EncoderInputSize(width, height) bytes.
RgbImage FromEncoderInput(const std::uint8_t* input, int width, int height);

// Reads a whole file into memory; false when it cannot be opened or read.
// `maxSize` bounds what is accepted (a larger file fails).
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& data,
                   std::size_t maxSize = std::size_t(1) << 30);

}  // namespace kestova
