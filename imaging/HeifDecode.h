// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Phone photos: HEIF files (HEIC, HEVC-coded, as phones save them) and AVIF
// (AV1-coded) through libheif. Standard C++ at this interface, so the reader
// can be fuzzed on its own; the picture loader wraps it like Qt's readers.
//
// - Only the primary image is read, with its transformations applied
//   (rotation, mirroring, crop), so a phone photo comes out upright.
// - Grid (tiled) images are put together by libheif.
// - 10- and 12-bit pictures come out at 8 bits a channel.
// - Alpha is passed on; the caller lays it over white like any other format.
// - Nothing is decoded before the caller has seen the size (Probe), so the
//   decode budget is checked first.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestova::heif {

enum class Failure {
    None = 0,
    NotHeif,          // not an ISO base media file of a HEIF brand
    NoPrimaryImage,   // a HEIF file whose primary image cannot be found
    UnsupportedCodec, // no decoder here for the image's coding
    Truncated,        // the file ends before the image data does
    Corrupt,          // the decoder refused the data
};

// What the first box says: a HEIF still image (HEIC, AVIF or another brand
// of the family), or not one at all. Cheap: looks at the `ftyp` box only.
enum class Brand { None, Heic, Avif, Heif };
Brand Sniff(const std::uint8_t* data, std::size_t size);

struct Picture {
    int width = 0;   // upright: transformations applied
    int height = 0;
    int bitDepth = 8;        // of the stored luma
    bool hasAlpha = false;
    std::vector<std::uint8_t> rgba;  // width * height * 4 (R, G, B, A); empty after Probe
};

struct Result {
    Failure failure = Failure::None;
    std::string message;  // words for a person; empty when ok
    bool ok() const { return failure == Failure::None; }
};

// One file read once: Open reads its boxes and describes the primary image
// (size, depth, alpha) without decoding a pixel; Decode then decodes it
// without reading the boxes again. libheif reads from the caller's memory,
// which must outlive the reader.
class Reader {
public:
    Reader();
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    Result Open(const std::uint8_t* data, std::size_t size, Picture& info);
    // Into `out.rgba` (size, depth and alpha as Open gave them). Pictures
    // wider or higher than `maxSide` pixels are refused before decoding.
    Result Decode(Picture& out, int maxSide = 65535);

private:
    struct Opened;
    std::unique_ptr<Opened> opened_;
};

// Open on a reader of its own.
Result Probe(const std::uint8_t* data, std::size_t size, Picture& info);

// The memory a decode of `info` needs at its peak, in bytes: the coded
// planes at their stored depth plus the interleaved 8-bit result.
std::int64_t DecodeBytes(const Picture& info);

// Open and Decode on a reader of its own.
Result Decode(const std::uint8_t* data, std::size_t size, Picture& out, int maxSide = 65535);

} // namespace kestova::heif
