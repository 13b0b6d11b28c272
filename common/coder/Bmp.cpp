// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/coder/Bmp.h"
#include "common/files/SafeFile.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

namespace kestova {

namespace {

std::uint16_t Le16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

bool SetError(std::string* error, const char* why) {
    if (error) *error = why;
    return false;
}

}  // namespace

std::size_t BmpRowStride(int width) {
    if (width < 1) return 0;
    return (std::size_t(width) * 3 + 3) & ~std::size_t(3);
}

void ConvertPixelRows(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
                      std::size_t dstStride, int width, int height, bool flipRows,
                      bool swapRedBlue) {
    if (!src || !dst || width < 1 || height < 1) return;
    const std::size_t rowBytes = std::size_t(width) * 3;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* s = src + srcStride * std::size_t(flipRows ? height - 1 - y : y);
        std::uint8_t* d = dst + dstStride * std::size_t(y);
        if (!swapRedBlue) {
            std::memcpy(d, s, rowBytes);
            continue;
        }
        for (std::size_t x = 0; x < rowBytes; x += 3) {
            const std::uint8_t first = s[x];
            d[x + 1] = s[x + 1];
            d[x] = s[x + 2];
            d[x + 2] = first;
        }
    }
}

std::vector<std::uint8_t> BmpFileBytes(const BmpSource& src, int width, int height) {
    if (!src.pixels || width < 1 || height < 1) return {};
    if (std::uint64_t(width) * std::uint64_t(height) > kBmpMaxPixels) return {};
    const std::size_t rowBytes = std::size_t(width) * 3;
    const std::size_t stride = BmpRowStride(width);
    if (src.stride < (src.paddingFromSource ? stride : rowBytes)) return {};
    if (src.paddingFromSource && src.rgb) return {};
    const std::size_t image = stride * std::size_t(height);
    std::vector<std::uint8_t> file(kBmpHeaderSize + image, 0);
    std::uint8_t* h = file.data();
    h[0] = 'B';
    h[1] = 'M';
    Put32(h + 2, std::uint32_t(kBmpHeaderSize + image));
    Put32(h + 10, std::uint32_t(kBmpHeaderSize));
    Put32(h + 14, 40);
    Put32(h + 18, std::uint32_t(width));
    Put32(h + 22, std::uint32_t(height));
    Put16(h + 26, 1);
    Put16(h + 28, 24);
    if (src.recordImageSize) Put32(h + 34, std::uint32_t(image));
    std::uint8_t* pixels = file.data() + kBmpHeaderSize;
    // The file's rows run from the bottom up, B, G, R.
    ConvertPixelRows(src.pixels, src.stride, pixels, stride, width, height, src.topDown, src.rgb);
    if (src.paddingFromSource && stride > rowBytes) {
        for (int y = 0; y < height; ++y) {
            const std::size_t from = src.stride * std::size_t(src.topDown ? height - 1 - y : y);
            std::memcpy(pixels + stride * std::size_t(y) + rowBytes, src.pixels + from + rowBytes,
                        stride - rowBytes);
        }
    }
    return file;
}

std::size_t EncoderInputSize(int width, int height) {
    if (width < 1 || height < 1) return 0;
    return BmpRowStride(width) * std::size_t(height);
}

int LoadPicFromMemory(const std::uint8_t* data, std::size_t size, std::uint8_t* out,
                      std::size_t outSize, int width, int height) {
    if (!data || !out || width < 1 || height < 1) return 0;
    if (std::uint64_t(width) * std::uint64_t(height) > kBmpMaxPixels) return 0;
    const std::size_t stride = BmpRowStride(width);
    if (outSize < stride * std::size_t(height)) return 0;
    if (size < kBmpHeaderSize || data[0] != 'B' || data[1] != 'M') return 0;
    // The prepared bitmap must be exactly the picture size; rows may be
    // stored top-down (negative height) by some writers.
    const std::int32_t bw = std::int32_t(Le32(data + 18));
    const std::int32_t bh = std::int32_t(Le32(data + 22));
    if (bw != width) return 0;
    bool topDown = false;
    if (bh == height) {
    } else if (bh == -height) {
        topDown = true;
    } else {
        return 0;
    }
    const std::uint16_t bitCount = Le16(data + 28);
    const std::uint8_t* pixels = data + kBmpHeaderSize;
    const std::size_t avail = size - kBmpHeaderSize;

    if (bitCount == 16) {
        const std::size_t srcStride = (std::size_t(width) * 2 + 3) & ~std::size_t(3);
        if (avail < srcStride * std::size_t(height)) return 0;
        for (int y = 0; y < height; ++y) {
            const int srcRow = topDown ? height - 1 - y : y;
            const std::uint8_t* s = pixels + srcStride * std::size_t(srcRow);
            std::uint8_t* d = out + stride * std::size_t(y);
            for (int x = 0; x < width; ++x) {
                const unsigned p = Le16(s + 2 * x);
                d[3 * x + 0] = std::uint8_t((p & 0x1F) << 3);
                d[3 * x + 1] = std::uint8_t(((p >> 5) & 0x1F) << 3);
                d[3 * x + 2] = std::uint8_t(((p >> 10) & 0x1F) << 3);
            }
            std::memset(d + 3 * std::size_t(width), 0, stride - 3 * std::size_t(width));
        }
        return 1;
    }
    // Every other depth is taken as 24-bit rows.
    if (avail < stride * std::size_t(height)) return 0;
    if (!topDown) {
        std::memcpy(out, pixels, stride * std::size_t(height));
    } else {
        ConvertPixelRows(pixels, stride, out, stride, width, height, true, false);
    }
    return 1;
}

int LoadPicFromDir(const std::string& path, std::uint8_t* out, std::size_t outSize, int width,
                   int height) {
    if (width < 1 || height < 1) return 0;
    if (std::uint64_t(width) * std::uint64_t(height) > kBmpMaxPixels) return 0;
    // A 16-bit file is smaller than a 24-bit one; more than the 24-bit size
    // plus a generous header is never needed.
    std::vector<std::uint8_t> data;
    const std::size_t need = kBmpHeaderSize + EncoderInputSize(width, height);
    std::ifstream f(path, std::ios::binary);
    if (!f) return 0;
    data.resize(need);
    f.read(reinterpret_cast<char*>(data.data()), std::streamsize(need));
    data.resize(std::size_t(f.gcount()));
    return LoadPicFromMemory(data.data(), data.size(), out, outSize, width, height);
}

bool SaveBmpFile(const std::uint8_t* rows, int width, int height, const std::string& path) {
    BmpSource src;
    src.pixels = rows;
    src.stride = std::size_t(width > 0 ? width : 0) * 3;
    const std::vector<std::uint8_t> file = BmpFileBytes(src, width, height);
    if (file.empty()) return false;
    return WriteFileSafely(path, file.data(), file.size(), SafeWriteMode::Replace).ok;
}

bool ParseBmp(const std::uint8_t* data, std::size_t size, RgbImage& out, std::string* error) {
    out = RgbImage{};
    if (!data || size < kBmpHeaderSize) return SetError(error, "file too short for a BMP header");
    if (data[0] != 'B' || data[1] != 'M') return SetError(error, "not a BMP file");
    const std::uint32_t offBits = Le32(data + 10);
    const std::uint32_t infoSize = Le32(data + 14);
    if (infoSize < 40 || infoSize > size - 14) return SetError(error, "unsupported BMP header");
    const std::int32_t bw = std::int32_t(Le32(data + 18));
    const std::int32_t bhRaw = std::int32_t(Le32(data + 22));
    const std::uint16_t planes = Le16(data + 26);
    const std::uint16_t bits = Le16(data + 28);
    const std::uint32_t compression = Le32(data + 30);
    if (planes != 1) return SetError(error, "bad plane count");
    if (compression != 0 && !(compression == 3 && (bits == 16 || bits == 32)))
        return SetError(error, "compressed BMP not supported");
    if (bits != 16 && bits != 24 && bits != 32) return SetError(error, "unsupported bit depth");
    if (bw < 1 || bhRaw == 0 || bhRaw == std::numeric_limits<std::int32_t>::min())
        return SetError(error, "bad picture size");
    const bool topDown = bhRaw < 0;
    const std::int64_t bh = topDown ? -std::int64_t(bhRaw) : std::int64_t(bhRaw);
    if (std::uint64_t(bw) * std::uint64_t(bh) > kBmpMaxPixels)
        return SetError(error, "picture too large");
    const int w = bw, h = int(bh);

    // Channel masks: BI_RGB defaults, or the BI_BITFIELDS masks that follow
    // the 40-byte info header.
    std::uint32_t rMask, gMask, bMask;
    if (bits == 16) {
        rMask = 0x7C00;
        gMask = 0x03E0;
        bMask = 0x001F;
    } else {
        rMask = 0xFF0000;
        gMask = 0x00FF00;
        bMask = 0x0000FF;
    }
    if (compression == 3) {
        if (size < 14 + 40 + 12) return SetError(error, "missing colour masks");
        rMask = Le32(data + 54);
        gMask = Le32(data + 58);
        bMask = Le32(data + 62);
        if (!rMask || !gMask || !bMask) return SetError(error, "bad colour masks");
    }
    const std::size_t bpp = bits / 8;
    const std::size_t srcStride = (std::size_t(w) * bpp + 3) & ~std::size_t(3);
    if (offBits < 14 + infoSize || offBits > size || size - offBits < srcStride * std::size_t(h))
        return SetError(error, "BMP pixel data truncated");

    auto channel = [](std::uint32_t v, std::uint32_t mask) -> std::uint8_t {
        int shift = 0;
        while (!(mask & 1u)) {
            mask >>= 1;
            ++shift;
        }
        std::uint32_t c = (v >> shift) & mask;
        int width = 0;
        for (std::uint32_t m = mask; m & 1u; m >>= 1) ++width;
        if (width >= 8) return std::uint8_t(c >> (width - 8));
        return std::uint8_t(c << (8 - width));
    };

    out.width = w;
    out.height = h;
    out.rgb.resize(std::size_t(w) * std::size_t(h) * 3);
    const std::uint8_t* pixels = data + offBits;
    for (int y = 0; y < h; ++y) {
        const int srcRow = topDown ? y : h - 1 - y;
        const std::uint8_t* s = pixels + srcStride * std::size_t(srcRow);
        std::uint8_t* d = out.rgb.data() + std::size_t(y) * std::size_t(w) * 3;
        if (bits == 24) {
            ConvertPixelRows(s, srcStride, d, std::size_t(w) * 3, w, 1, false, true);
        } else {
            for (int x = 0; x < w; ++x) {
                const std::uint32_t v = bits == 16 ? Le16(s + 2 * x) : Le32(s + 4 * x);
                d[3 * x + 0] = channel(v, rMask);
                d[3 * x + 1] = channel(v, gMask);
                d[3 * x + 2] = channel(v, bMask);
            }
        }
    }
    if (error) error->clear();
    return true;
}

bool ReadBmp(const std::string& path, RgbImage& out, std::string* error) {
    std::vector<std::uint8_t> data;
    if (!ReadWholeFile(path, data)) {
        out = RgbImage{};
        return SetError(error, "cannot read file");
    }
    return ParseBmp(data.data(), data.size(), out, error);
}

std::vector<std::uint8_t> EncodeBmp24(const RgbImage& image) {
    if (image.empty() || image.rgb.size() < std::size_t(image.width) * image.height * 3)
        return {};
    BmpSource src;
    src.pixels = image.rgb.data();
    src.stride = std::size_t(image.width) * 3;
    src.topDown = true;
    src.rgb = true;
    return BmpFileBytes(src, image.width, image.height);
}

bool WriteBmp24(const std::string& path, const RgbImage& image) {
    const std::vector<std::uint8_t> file = EncodeBmp24(image);
    if (file.empty()) return false;
    return WriteFileSafely(path, file.data(), file.size(), SafeWriteMode::Replace).ok;
}

std::vector<std::uint8_t> ToEncoderInput(const RgbImage& image) {
    if (image.empty() || image.rgb.size() < std::size_t(image.width) * image.height * 3)
        return {};
    const std::size_t stride = BmpRowStride(image.width);
    std::vector<std::uint8_t> out(stride * std::size_t(image.height), 0);
    ConvertPixelRows(image.rgb.data(), std::size_t(image.width) * 3, out.data(), stride,
                     image.width, image.height, true, true);
    return out;
}

RgbImage FromEncoderInput(const std::uint8_t* input, int width, int height) {
    RgbImage img;
    if (!input || width < 1 || height < 1) return img;
    img.width = width;
    img.height = height;
    img.rgb.resize(std::size_t(width) * std::size_t(height) * 3);
    ConvertPixelRows(input, BmpRowStride(width), img.rgb.data(), std::size_t(width) * 3, width,
                     height, true, true);
    return img;
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& data, std::size_t maxSize) {
    data.clear();
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return false;
    const std::streamoff len = f.tellg();
    if (len < 0 || std::uint64_t(len) > maxSize) return false;
    f.seekg(0);
    data.resize(std::size_t(len));
    if (len > 0 && !f.read(reinterpret_cast<char*>(data.data()), len)) {
        data.clear();
        return false;
    }
    return true;
}

}  // namespace kestova
