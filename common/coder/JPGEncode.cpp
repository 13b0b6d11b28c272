// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/coder/JPGEncode.h"

#include <algorithm>
#include <cstring>

#include "common/coder/Bmp.h"
#include "common/files/SafeFile.h"
#include "common/coder/CodecTables.h"

namespace kestova {

namespace {

inline std::uint8_t Clamp255(int v) { return std::uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// (x * m + 32) >> 6, the inverse DCT's products with 6 fractional bits.
inline std::int32_t Mul6(std::int32_t x, std::int32_t m) {
    return std::int32_t((std::int64_t(x) * m + 32) >> 6);
}

}  // namespace

// Byte reader for the header and bit reader for the entropy-coded data.
// Past the end of the stream the bit reader supplies zero bytes, but
// consuming any of those bits marks the stream as overrun.
struct JPGEncode::Reader {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;  // header reading position

    bool Get8(std::uint8_t& v) {
        if (pos >= size) return false;
        v = data[pos++];
        return true;
    }
    bool Get16(std::uint16_t& v) {
        std::uint8_t hi, lo;
        if (!Get8(hi) || !Get8(lo)) return false;
        v = std::uint16_t((hi << 8) | lo);
        return true;
    }
    bool Skip(std::size_t n) {
        if (size - pos < n) return false;
        pos += n;
        return true;
    }

    std::uint64_t buf = 0;
    int have = 0;
    std::size_t next = 0;        // next byte to load into buf
    std::uint64_t consumed = 0;  // bits consumed since `start`
    std::uint64_t available = 0;

    void StartBits(std::size_t start) {
        buf = 0;
        have = 0;
        next = start;
        consumed = 0;
        available = start <= size ? std::uint64_t(size - start) * 8 : 0;
    }
    std::uint32_t Peek16() {
        while (have <= 56) {
            const std::uint8_t b = next < size ? data[next] : 0;
            ++next;
            buf |= std::uint64_t(b) << (56 - have);
            have += 8;
        }
        return std::uint32_t(buf >> 48);
    }
    void Consume(int n) {
        buf <<= n;
        have -= n;
        consumed += std::uint64_t(n);
    }
    // Next n (0..16) bits as a number.
    std::uint32_t Bits(int n) {
        if (n == 0) return 0;
        const std::uint32_t v = Peek16() >> (16 - n);
        Consume(n);
        return v;
    }
    void AlignToByte() {
        const int rest = int((8 - (consumed & 7)) & 7);
        if (rest) {
            Peek16();
            Consume(rest);
        }
    }
    bool Overrun() const { return consumed > available; }
};

bool JPGEncode::Fail(const char* why) {
    error_ = why;
    return false;
}

bool JPGEncode::GetDQT(Reader& r) {
    std::uint16_t length;
    if (!r.Get16(length)) return Fail("truncated quantisation tables");
    // A longer segment is not read: the stream is then read on from here and
    // normally fails at the Huffman tables.
    if (length > kDevQuantSize) return true;
    unsigned consumed = 0;
    while (consumed + 2 < length) {
        std::uint8_t id;
        if (!r.Get8(id)) return Fail("truncated quantisation tables");
        ++consumed;
        if (id > 1) break;
        for (int k = 0; k < 64; ++k) {
            std::uint8_t v;
            if (!r.Get8(v)) return Fail("truncated quantisation tables");
            const int n = kZigzag[k];
            tableDQT_[id][n] = std::uint16_t(v * kAanFactors[n]);
        }
        consumed += 64;
    }
    return true;
}

bool JPGEncode::GetDHT(Reader& r) {
    std::uint16_t length;
    if (!r.Get16(length)) return Fail("truncated Huffman tables");
    unsigned consumed = 0;
    while (consumed + 2 < length) {
        std::uint8_t classId;
        if (!r.Get8(classId)) return Fail("truncated Huffman tables");
        int slot;
        switch (classId) {
            case 0x00: slot = 0; break;
            case 0x01: slot = 1; break;
            case 0x10: slot = 2; break;
            case 0x11: slot = 3; break;
            default: return Fail("invalid Huffman table class/identifier");
        }
        std::uint32_t code = 0;
        int count = 0;
        for (int l = 1; l <= 16; ++l) {
            std::uint8_t n;
            if (!r.Get8(n)) return Fail("truncated Huffman tables");
            minCode_[slot][l] = code;
            valPtr_[slot][l] = std::uint8_t(std::min(count, 255));
            countLen_[slot][l] = n;
            code += std::uint32_t(n) << (16 - l);
            count += n;
        }
        const int limit = slot < 2 ? kMaxDcSymbols : kMaxAcSymbols;
        if (count < 1 || count > limit) return Fail("invalid Huffman table size");
        // More codes than code space: no prefix code has these lengths.
        if (code > 0x10000) return Fail("invalid Huffman code lengths");
        for (int i = 0; i < count; ++i)
            if (!r.Get8(tableDHT_[slot][i])) return Fail("truncated Huffman tables");
        symbolCount_[slot] = count;
        consumed += 17 + unsigned(count);
    }
    return true;
}

bool JPGEncode::ReadHeader(Reader& r, int expectedWidth, int expectedHeight) {
    if (r.size < kDevHeaderSize) return Fail("truncated header");
    std::memcpy(header_, r.data, kDevHeaderSize);
    std::uint16_t w = 0, h = 0;
    if (!r.Get16(w) || !r.Get16(h)) return Fail("truncated header");
    if (expectedWidth && w != expectedWidth) return Fail("picture width differs from the LCD");
    if (expectedHeight && h != expectedHeight)
        return Fail("picture height differs from the LCD");
    if (w == 0 || h == 0) return Fail("empty picture");
    width_ = w;
    height_ = h;
    roundedWidth_ = (w + 7) & ~7;
    r.Skip(kDevHeaderSize - 4);
    mode_ = header_[kDevModeByte];
    if (mode_ > kMaxSamplingMode) return Fail("unknown sampling mode");
    for (std::size_t i = kDevQuantTableBytes; i < kDevAcTableBytes + 3; ++i)
        if (header_[i] > 1) return Fail("invalid table number");
    // The grid covers the rounded width, as the rows of the picture buffer do.
    const SamplingGeometry g = GeometryFor(roundedWidth_, height_, mode_);
    mcuW_ = g.mcuWidth;
    mcuH_ = g.mcuHeight;
    yBlocks_ = g.yBlocks;
    mcuNumX_ = g.mcusX;
    mcuNumY_ = g.mcusY;
    if (std::uint64_t(roundedWidth_) * std::uint64_t(height_) > kMaxPixels)
        return Fail("picture too large");
    const std::size_t mcus = std::size_t(mcuNumX_) * std::size_t(mcuNumY_);
    // The whole MCU index is skipped (one entry per MCU).
    if (!r.Skip(mcus * kDevIndexEntrySize)) return Fail("truncated MCU index");
    if (!GetDQT(r) || !GetDHT(r)) return false;
    // Every MCU takes at least one byte of coded data.
    if (r.size - r.pos < mcus) return Fail("coded data too short");
    return true;
}

bool JPGEncode::DecodeSymbol(Reader& r, int slot, int& symbol) {
    const std::uint32_t w = r.Peek16();
    int len = 16;
    for (int l = 1; l <= 16; ++l) {
        const std::uint32_t m = minCode_[slot][l];
        if (m != 0 && m > w) {
            len = l - 1;
            break;
        }
    }
    const std::uint32_t offset = (w - minCode_[slot][len]) >> (16 - len);
    if (len < 1 || offset >= countLen_[slot][len]) return Fail("invalid Huffman code");
    const std::uint32_t index = valPtr_[slot][len] + offset;
    if (index >= std::uint32_t(symbolCount_[slot])) return Fail("invalid Huffman code");
    symbol = tableDHT_[slot][index];
    r.Consume(len);
    return true;
}

bool JPGEncode::HuffmanDecode(Reader& r, int dcTable, int acTable, int component,
                              std::int16_t* coef) {
    std::memset(coef, 0, 64 * sizeof(std::int16_t));
    auto value = [&r](int s) -> int {
        if (s == 0) return 0;
        const int v = int(r.Bits(s));
        return (v >> (s - 1)) ? v : v - ((1 << s) - 1);
    };
    int sym;
    if (!DecodeSymbol(r, dcTable, sym)) return false;
    preData_[component] = std::int16_t(preData_[component] + value(sym & 15));
    coef[0] = preData_[component];
    const int slot = acTable + 2;
    int k = 1;
    while (k <= 63) {
        if (!DecodeSymbol(r, slot, sym)) return false;
        if (sym == 0x00) break;
        if (sym == 0xF0) {
            k += 16;
            continue;
        }
        k += sym >> 4;
        const int v = value(sym & 15);
        if (k > 63) {
            coef[63] = std::int16_t(v);
            break;
        }
        coef[kZigzag[k]] = std::int16_t(v);
        ++k;
    }
    if (r.Overrun()) return Fail("coded data ends inside a block");
    return true;
}

namespace {

// One 8-point pass of the fast integer inverse DCT (6 fractional bits in the
// multipliers); `in` and `out` in natural order. Both passes of the 2-D
// transform run exactly this arithmetic.
inline void Idct8(const std::int32_t in[8], std::int32_t out[8]) {
    constexpr std::int32_t m1_414 = 91, m1_847 = 118, m2_613 = 167, m1_082 = 69;
    std::int32_t tmp10 = in[0] + in[4];
    std::int32_t tmp11 = in[0] - in[4];
    std::int32_t tmp13 = in[2] + in[6];
    std::int32_t tmp12 = Mul6(in[2] - in[6], m1_414) - tmp13;
    const std::int32_t e0 = tmp10 + tmp13, e3 = tmp10 - tmp13;
    const std::int32_t e1 = tmp11 + tmp12, e2 = tmp11 - tmp12;
    const std::int32_t z13 = in[5] + in[3], z10 = in[5] - in[3];
    const std::int32_t z11 = in[1] + in[7], z12 = in[1] - in[7];
    const std::int32_t t7 = z11 + z13;
    tmp11 = Mul6(z11 - z13, m1_414);
    const std::int32_t z5 = Mul6(z10 + z12, m1_847);
    tmp10 = Mul6(z12, m1_082) - z5;
    tmp12 = Mul6(z10, -m2_613) + z5;
    const std::int32_t t6 = tmp12 - t7;
    const std::int32_t t5 = tmp11 - t6;
    const std::int32_t t4 = tmp10 + t5;
    out[0] = e0 + t7;
    out[7] = e0 - t7;
    out[1] = e1 + t6;
    out[6] = e1 - t6;
    out[2] = e2 + t5;
    out[5] = e2 - t5;
    out[4] = e3 + t4;
    out[3] = e3 - t4;
}

} // namespace

void JPGEncode::tinyjpeg_idct_int(const std::int16_t* coef, const std::uint16_t* dqt,
                                  std::uint8_t* out) {
    std::int16_t ws[64];
    std::int32_t in[8], res[8];
    // Columns.
    for (int c = 0; c < 8; ++c) {
        for (int i = 0; i < 8; ++i)
            in[i] = (std::int32_t(coef[i * 8 + c]) * std::int32_t(dqt[i * 8 + c]) + 32) / 64;
        if (!in[1] && !in[2] && !in[3] && !in[4] && !in[5] && !in[6] && !in[7]) {
            for (int i = 0; i < 8; ++i) ws[i * 8 + c] = std::int16_t(in[0]);
            continue;
        }
        Idct8(in, res);
        for (int i = 0; i < 8; ++i) ws[i * 8 + c] = std::int16_t(res[i]);
    }
    // Rows.
    for (int r = 0; r < 8; ++r) {
        for (int i = 0; i < 8; ++i) in[i] = ws[r * 8 + i];
        Idct8(in, res);
        std::uint8_t* o = out + r * 8;
        for (int i = 0; i < 8; ++i) o[i] = Clamp255(((res[i] + 4) >> 3) + 128);
    }
}

bool JPGEncode::DecodeMcu(Reader& r, std::uint8_t* yData, std::uint8_t* cbData,
                          std::uint8_t* crData) {
    // Table numbers of component c (0 = Y, 1 = Cb, 2 = Cr) from the header.
    auto dc = [this](int c) { return header_[kDevDcTableBytes + std::size_t(c)]; };
    auto ac = [this](int c) { return header_[kDevAcTableBytes + std::size_t(c)]; };
    auto dqt = [this](int c) { return tableDQT_[header_[kDevQuantTableBytes + std::size_t(c)]]; };
    std::int16_t coef[64];
    if (!HuffmanDecode(r, dc(1), ac(1), 1, coef)) return false;
    tinyjpeg_idct_int(coef, dqt(1), cbData);
    if (!HuffmanDecode(r, dc(2), ac(2), 2, coef)) return false;
    tinyjpeg_idct_int(coef, dqt(2), crData);
    for (int b = 0; b < yBlocks_; ++b) {
        if (!HuffmanDecode(r, dc(0), ac(0), 0, coef)) return false;
        tinyjpeg_idct_int(coef, dqt(0), yData + b * 64);
    }
    // Every MCU starts on a byte boundary.
    r.AlignToByte();
    if (r.Overrun()) return Fail("coded data ends inside an MCU");
    return true;
}

void JPGEncode::StoreMcu(const std::uint8_t* yData, const std::uint8_t* cbData,
                         const std::uint8_t* crData, std::uint8_t* dst, std::size_t dstStride,
                         int dstX, int dstY, int clipW, int clipH) const {
    const int blocksPerRow = mcuW_ / 8;
    const int hs = mcuW_ / 8, vs = mcuH_ / 8;  // chroma subsampling factors
    for (int b = 0; b < yBlocks_; ++b) {
        const int bx = b % blocksPerRow, by = b / blocksPerRow;
        const std::uint8_t* yb = yData + b * 64;
        for (int row = 0; row < 8; ++row) {
            const int y = dstY + by * 8 + row;
            if (y >= clipH) break;
            const int cRow = ((by * 8 + row) / vs) * 8;
            for (int col = 0; col < 8; ++col) {
                const int x = dstX + bx * 8 + col;
                if (x >= clipW) break;
                const int ci = cRow + (bx * 8 + col) / hs;
                const int cb = cbData[ci] - 128, cr = crData[ci] - 128;
                const int yy = yb[row * 8 + col] * 1024;
                std::uint8_t* p = dst + std::size_t(y) * dstStride + std::size_t(x) * 3;
                p[0] = Clamp255((yy + 1815 * cb + 512) >> 10);
                p[1] = Clamp255((yy - 352 * cb - 731 * cr + 512) >> 10);
                p[2] = Clamp255((yy + 1436 * cr + 512) >> 10);
            }
        }
    }
}

JPGEncode::Reader JPGEncode::StartStream(const std::uint8_t* data, std::size_t size) {
    // Every picture starts from empty tables, whatever the previous one held.
    std::memset(tableDQT_, 0, sizeof tableDQT_);
    std::memset(minCode_, 0, sizeof minCode_);
    std::memset(valPtr_, 0, sizeof valPtr_);
    std::memset(countLen_, 0, sizeof countLen_);
    std::memset(symbolCount_, 0, sizeof symbolCount_);
    Reader r;
    r.data = data;
    r.size = size;
    return r;
}

bool JPGEncode::Decode(const std::uint8_t* data, std::size_t size, int expectedWidth,
                       int expectedHeight, DecodedPicture& out) {
    error_.clear();
    out = DecodedPicture{};
    if (!data) return Fail("no data");
    Reader r = StartStream(data, size);
    if (!ReadHeader(r, expectedWidth, expectedHeight)) return false;

    preData_[0] = preData_[1] = preData_[2] = 0;
    out.width = width_;
    out.roundedWidth = roundedWidth_;
    out.height = height_;
    out.mode = mode_;
    const std::size_t stride = std::size_t(roundedWidth_) * 3;
    out.bgr.assign(stride * std::size_t(height_), 0);
    r.StartBits(r.pos);
    std::uint8_t yData[4 * 64], cbData[64], crData[64];
    for (int my = 0; my < mcuNumY_; ++my) {
        for (int mx = 0; mx < mcuNumX_; ++mx) {
            if (!DecodeMcu(r, yData, cbData, crData)) {
                out = DecodedPicture{};
                return false;
            }
            StoreMcu(yData, cbData, crData, out.bgr.data(), stride, mx * mcuW_, my * mcuH_,
                     roundedWidth_, height_);
        }
    }
    return true;
}

bool JPGEncode::DecodeMcuFromIndex(const std::uint8_t* data, std::size_t size, unsigned mcu,
                                   std::vector<std::uint8_t>& tile) {
    error_.clear();
    tile.clear();
    if (!data) return Fail("no data");
    Reader r = StartStream(data, size);
    if (!ReadHeader(r, 0, 0)) return false;
    if (std::uint64_t(mcu) >= std::uint64_t(mcuNumX_) * std::uint64_t(mcuNumY_))
        return Fail("no such MCU");
    const std::size_t entry = kDevIndexOffset + std::size_t(mcu) * kDevIndexEntrySize;
    const std::uint8_t* e = data + entry;
    auto le16 = [](const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); };
    preData_[0] = std::int16_t(le16(e));
    preData_[1] = std::int16_t(le16(e + 2));
    preData_[2] = std::int16_t(le16(e + 4));
    const std::size_t start = entry + le16(e + 6);
    if (start >= size) return Fail("MCU index entry points past the end");
    r.StartBits(start);
    std::uint8_t yData[4 * 64], cbData[64], crData[64];
    if (!DecodeMcu(r, yData, cbData, crData)) return false;
    const std::size_t stride = std::size_t(mcuW_) * 3;
    tile.assign(stride * std::size_t(mcuH_), 0);
    StoreMcu(yData, cbData, crData, tile.data(), stride, 0, 0, mcuW_, mcuH_);
    return true;
}

std::vector<std::uint8_t> JPGEncode::BmpBytes(const DecodedPicture& p) {
    if (p.width < 1 || p.height < 1 || p.roundedWidth < p.width ||
        p.bgr.size() < std::size_t(p.roundedWidth) * std::size_t(p.height) * 3)
        return {};
    // Rows from the bottom up; a row's padding bytes are the decoded samples
    // right of the last column, which the rounded-width rows hold.
    BmpSource src;
    src.pixels = p.bgr.data();
    src.stride = std::size_t(p.roundedWidth) * 3;
    src.topDown = true;
    src.paddingFromSource = true;
    src.recordImageSize = true;
    return BmpFileBytes(src, p.width, p.height);
}

bool JPGEncode::BmpSave(const std::string& bmpPath, const DecodedPicture& picture) {
    const std::vector<std::uint8_t> file = BmpBytes(picture);
    if (file.empty()) return false;
    return WriteFileSafely(bmpPath, file.data(), file.size(), SafeWriteMode::Replace).ok;
}

bool JPGEncode::DecodeMyPicture(const std::string& picturePath, const std::string& bmpPath,
                                int expectedWidth, int expectedHeight) {
    std::vector<std::uint8_t> data;
    if (!ReadWholeFile(picturePath, data, std::size_t(64) << 20))
        return Fail("cannot read the picture file");
    DecodedPicture picture;
    if (!Decode(data.data(), data.size(), expectedWidth, expectedHeight, picture)) return false;
    if (!BmpSave(bmpPath, picture)) return Fail("cannot write the BMP file");
    return true;
}

}  // namespace kestova
