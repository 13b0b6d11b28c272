// SPDX-License-Identifier: GPL-3.0-or-later
// BMP files: the prepared-bitmap reader, the writer, the general reader.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "common/coder/Bmp.h"
#include "common/files/SafeFile.h"
#include "tests/coder/coder_test_util.h"

using namespace kestova;
using namespace kestova::testutil;

namespace {

// A BMP header with the given fields (the rest as a plain Windows writer).
std::vector<std::uint8_t> Header(int w, int h, int bits, std::size_t imageBytes) {
    std::vector<std::uint8_t> d(54, 0);
    auto p32 = [&d](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) d[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
    };
    d[0] = 'B';
    d[1] = 'M';
    p32(2, std::uint32_t(54 + imageBytes));
    p32(10, 54);
    p32(14, 40);
    p32(18, std::uint32_t(w));
    p32(22, std::uint32_t(h));
    d[26] = 1;
    d[28] = std::uint8_t(bits);
    return d;
}

// A 16-bit 5-5-5 BMP from pixel values listed bottom row first.
std::vector<std::uint8_t> Bmp16(int w, int h, const std::vector<std::uint16_t>& px) {
    const std::size_t stride = (std::size_t(w) * 2 + 3) & ~std::size_t(3);
    std::vector<std::uint8_t> d = Header(w, h, 16, stride * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            d.push_back(std::uint8_t(px[std::size_t(y) * w + x]));
            d.push_back(std::uint8_t(px[std::size_t(y) * w + x] >> 8));
        }
        for (std::size_t i = std::size_t(w) * 2; i < stride; ++i) d.push_back(0xCC);
    }
    return d;
}

}  // namespace

TEST(LoadPicFromDir, Expands16BitPixels) {
    // 3 x 2: rows of 6 bytes padded to 8 in the file.
    const std::vector<std::uint16_t> px = {0x7FFF, 0x001F, 0x03E0, 0x7C00, 0x8000, 0x4210};
    const std::vector<std::uint8_t> file = Bmp16(3, 2, px);
    std::vector<std::uint8_t> out(EncoderInputSize(3, 2), 0x99);
    ASSERT_EQ(out.size(), 24u);
    ASSERT_EQ(LoadPicFromMemory(file.data(), file.size(), out.data(), out.size(), 3, 2), 1);
    const std::uint8_t expect[24] = {
        248, 248, 248, 248, 0, 0, 0, 248, 0, 0, 0, 0,  // bottom row + padding
        0, 0, 248, 0, 0, 0, 128, 128, 128, 0, 0, 0};   // bit 15 ignored; 0x4210 = 16,16,16 << 3
    EXPECT_EQ(0, std::memcmp(out.data(), expect, 24));
    // Through a file, too.
    TempDir dir;
    ASSERT_TRUE(WriteFileSafely(dir / "a.bmp", file.data(), file.size(), SafeWriteMode::Replace));
    std::vector<std::uint8_t> out2(24, 0);
    EXPECT_EQ(LoadPicFromDir(dir / "a.bmp", out2.data(), out2.size(), 3, 2), 1);
    EXPECT_EQ(out, out2);
}

TEST(LoadPicFromDir, Reads24BitRowsAndOtherDepthsAs24Bit) {
    const RgbImage img = PhotoLike(130, 7);
    const std::vector<std::uint8_t> file = EncodeBmp24(img);
    std::vector<std::uint8_t> out(EncoderInputSize(130, 7), 0);
    ASSERT_EQ(LoadPicFromMemory(file.data(), file.size(), out.data(), out.size(), 130, 7), 1);
    EXPECT_EQ(out, ToEncoderInput(img));
    // A bit count other than 16 still reads 24-bit rows from byte 54.
    std::vector<std::uint8_t> other = file;
    other[28] = 32;
    ASSERT_EQ(LoadPicFromMemory(other.data(), other.size(), out.data(), out.size(), 130, 7), 1);
    EXPECT_EQ(out, ToEncoderInput(img));
    // Top-down rows (negative height) are turned the right way up.
    std::vector<std::uint8_t> topDown = Header(130, -7, 24, 392 * 7);
    for (int y = 6; y >= 0; --y)
        topDown.insert(topDown.end(), file.begin() + 54 + y * 392, file.begin() + 54 + (y + 1) * 392);
    ASSERT_EQ(LoadPicFromMemory(topDown.data(), topDown.size(), out.data(), out.size(), 130, 7), 1);
    EXPECT_EQ(out, ToEncoderInput(img));
}

TEST(LoadPicFromDir, RefusesShortWrongOrMissingFiles) {
    const RgbImage img = Gradient(20, 10);
    const std::vector<std::uint8_t> file = EncodeBmp24(img);
    std::vector<std::uint8_t> out(EncoderInputSize(20, 10), 0);
    for (std::size_t len = 0; len < file.size(); ++len) {
        std::vector<std::uint8_t> cut(file.begin(), file.begin() + std::ptrdiff_t(len));
        EXPECT_EQ(LoadPicFromMemory(cut.data(), cut.size(), out.data(), out.size(), 20, 10), 0) << len;
    }
    const std::vector<std::uint8_t> f16 = Bmp16(5, 3, std::vector<std::uint16_t>(15, 0x1234));
    std::vector<std::uint8_t> out16(EncoderInputSize(5, 3));
    for (std::size_t len = 0; len < f16.size(); ++len)
        EXPECT_EQ(LoadPicFromMemory(f16.data(), len, out16.data(), out16.size(), 5, 3), 0) << len;
    EXPECT_EQ(LoadPicFromMemory(f16.data(), f16.size(), out16.data(), out16.size(), 5, 3), 1);
    // Another size than asked, not a BMP, a too small output buffer.
    EXPECT_EQ(LoadPicFromMemory(file.data(), file.size(), out.data(), out.size(), 10, 20), 0);
    EXPECT_EQ(LoadPicFromMemory(file.data(), file.size(), out.data(), out.size(), 20, 9), 0);
    std::vector<std::uint8_t> notBmp = file;
    notBmp[0] = 'P';
    EXPECT_EQ(LoadPicFromMemory(notBmp.data(), notBmp.size(), out.data(), out.size(), 20, 10), 0);
    EXPECT_EQ(LoadPicFromMemory(file.data(), file.size(), out.data(), out.size() - 1, 20, 10), 0);
    TempDir dir;
    EXPECT_EQ(LoadPicFromDir(dir / "missing.bmp", out.data(), out.size(), 20, 10), 0);
    ASSERT_TRUE(WriteFileSafely(dir / "short.bmp", file.data(), file.size() - 1, SafeWriteMode::Replace));
    EXPECT_EQ(LoadPicFromDir(dir / "short.bmp", out.data(), out.size(), 20, 10), 0);
}

TEST(SaveBmpFile, PadsRowsAndWritesTheHeader) {
    TempDir dir;
    for (const int w : {130, 128, 1, 3}) {
        const int h = 5;
        std::vector<std::uint8_t> rows(std::size_t(w) * 3 * h);
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = std::uint8_t(i * 7 + 1);
        const std::string path = dir / ("w" + std::to_string(w) + ".bmp");
        ASSERT_TRUE(SaveBmpFile(rows.data(), w, h, path));
        std::vector<std::uint8_t> d;
        ASSERT_TRUE(ReadWholeFile(path, d));
        const std::size_t pad = (4 - (3 * std::size_t(w)) % 4) % 4;
        const std::size_t row = 3 * std::size_t(w) + pad;
        ASSERT_EQ(d.size(), 54 + row * h);
        if (w == 130) {
            EXPECT_EQ(pad, 2u);
        }
        if (w == 128) {
            EXPECT_EQ(pad, 0u);
        }
        EXPECT_EQ(d[0], 'B');
        EXPECT_EQ(d[1], 'M');
        EXPECT_EQ(d[2] | (d[3] << 8) | (d[4] << 16), int(54 + row * h));
        EXPECT_EQ(d[10], 54);
        EXPECT_EQ(d[14], 40);
        EXPECT_EQ(d[18] | (d[19] << 8), w);
        EXPECT_EQ(d[22], h);
        EXPECT_EQ(d[26], 1);
        EXPECT_EQ(d[28], 24);
        for (int i = 30; i < 54; ++i) EXPECT_EQ(d[std::size_t(i)], 0) << i;  // no compression, size or resolution
        for (int y = 0; y < h; ++y) {
            EXPECT_EQ(0, std::memcmp(d.data() + 54 + row * y, rows.data() + std::size_t(y) * w * 3, std::size_t(w) * 3));
            for (std::size_t p = 0; p < pad; ++p) EXPECT_EQ(d[54 + row * y + 3 * w + p], 0);
        }
        // Read back for the encoder: the same rows, padded.
        std::vector<std::uint8_t> in(EncoderInputSize(w, h));
        ASSERT_EQ(LoadPicFromDir(path, in.data(), in.size(), w, h), 1);
        for (int y = 0; y < h; ++y)
            EXPECT_EQ(0, std::memcmp(in.data() + BmpRowStride(w) * y, rows.data() + std::size_t(y) * w * 3, std::size_t(w) * 3));
    }
    std::uint8_t px[3] = {};
    EXPECT_FALSE(SaveBmpFile(px, 0, 1, dir / "zero.bmp"));
    EXPECT_FALSE(SaveBmpFile(px, 1, 1, dir / "no/such/dir.bmp"));
    EXPECT_FALSE(std::filesystem::exists(dir / "zero.bmp"));
}

TEST(ParseBmp, ReadsCommonDepthsAndRefusesMalformedFiles) {
    const RgbImage img = PhotoLike(31, 17);
    RgbImage back;
    std::string err;
    const std::vector<std::uint8_t> f24 = EncodeBmp24(img);
    ASSERT_TRUE(ParseBmp(f24.data(), f24.size(), back, &err)) << err;
    EXPECT_EQ(back.rgb, img.rgb);
    EXPECT_EQ(FromEncoderInput(ToEncoderInput(img).data(), 31, 17).rgb, img.rgb);

    // 32-bit top-down BI_RGB.
    std::vector<std::uint8_t> f32 = Header(31, -17, 32, 31 * 4 * 17);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 31; ++x) {
            const std::uint8_t* p = &img.rgb[(std::size_t(y) * 31 + x) * 3];
            f32.insert(f32.end(), {p[2], p[1], p[0], 0});
        }
    ASSERT_TRUE(ParseBmp(f32.data(), f32.size(), back, &err)) << err;
    EXPECT_EQ(back.rgb, img.rgb);

    // 16-bit: 5-bit components scaled up.
    const std::vector<std::uint8_t> f16 = Bmp16(2, 1, {0x7FFF, 0x001F});
    ASSERT_TRUE(ParseBmp(f16.data(), f16.size(), back, &err)) << err;
    EXPECT_EQ(back.rgb, (std::vector<std::uint8_t>{248, 248, 248, 0, 0, 248}));

    for (std::size_t len = 0; len < f24.size(); len += 7)
        EXPECT_FALSE(ParseBmp(f24.data(), len, back)) << len;
    auto broken = [&](std::size_t at, std::uint8_t v) {
        std::vector<std::uint8_t> d = f24;
        d[at] = v;
        return !ParseBmp(d.data(), d.size(), back, &err);
    };
    EXPECT_TRUE(broken(0, 'X'));
    EXPECT_TRUE(broken(28, 8));    // palette depth
    EXPECT_TRUE(broken(30, 1));    // RLE
    EXPECT_TRUE(broken(26, 2));    // planes
    EXPECT_TRUE(broken(10, 200));  // data offset past the pixels
    EXPECT_TRUE(broken(21, 0x7F)); // huge width, refused before allocating
    EXPECT_TRUE(back.rgb.empty());
    EXPECT_FALSE(ReadBmp("/nonexistent/x.bmp", back, &err));
}
