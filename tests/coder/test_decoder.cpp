// SPDX-License-Identifier: GPL-3.0-or-later
// The device picture decoder: fidelity, random access through the MCU index,
// BMP output, and refusal of bad input.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "common/coder/JPGEncode.h"
#include "common/coder/Kv350Encoder.h"
#include "common/coder/QuavJpegEncoder.h"
#include "common/files/SafeFile.h"
#include "tests/coder/coder_test_util.h"

using namespace kestova;
using namespace kestova::testutil;

namespace {

std::vector<std::uint8_t> DevicePicture(const RgbImage& img, int quality, int mode = 3) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(CKv350Encoder::Encode(img, quality, mode, false, out));
    return out;
}

std::uint32_t Le32(const std::vector<std::uint8_t>& d, std::size_t at) {
    return std::uint32_t(d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (std::uint32_t(d[at + 3]) << 24));
}

// Minimal MSB-first bit writer for hand-made entropy data.
struct BitSink {
    std::vector<std::uint8_t> bytes;
    std::uint32_t acc = 0;
    int n = 0;
    void Put(std::uint32_t code, int len) {
        for (int i = len - 1; i >= 0; --i) {
            acc = (acc << 1) | ((code >> i) & 1);
            if (++n == 8) {
                bytes.push_back(std::uint8_t(acc));
                acc = 0;
                n = 0;
            }
        }
    }
    void Align() {
        while (n) Put(1, 1);
    }
};

}  // namespace

TEST(Decoder, RoundTripIsCloseToTheSourceInEveryMode) {
    for (int mode = 0; mode < 4; ++mode) {
        const RgbImage img = PhotoLike(100, 60);
        const std::vector<std::uint8_t> pic = DevicePicture(img, 95, mode);
        RgbImage out;
        std::string err;
        ASSERT_TRUE(CKv350Encoder::Decode(pic.data(), pic.size(), 100, 60, out, &err)) << err;
        ASSERT_EQ(out.width, 100);
        ASSERT_EQ(out.height, 60);
        EXPECT_GE(Psnr(img, out), 26.0) << "mode " << mode;
    }
}

#ifdef KESTOVA_HAVE_LIBJPEG
TEST(Decoder, MatchesLibjpegOnTheSamePicturesJfif) {
    // The same picture and quality as JFIF, decoded by libjpeg with the fast
    // integer inverse DCT and without chroma smoothing (both closest to this
    // decoder): mean difference at most 1.5, no sample more than 24 apart.
    for (int mode : {0, 1, 2, 3}) {
        for (const RgbImage& img : {PhotoLike(320, 240), Gradient(130, 100), PhotoLike(128, 160, 9)}) {
            const std::vector<std::uint8_t> pic = DevicePicture(img, 90, mode);
            std::vector<std::uint8_t> jfif;
            ASSERT_TRUE(CKv350Encoder::Encode(img, 90, mode, true, jfif));
            RgbImage ours, ref;
            ASSERT_TRUE(CKv350Encoder::Decode(pic.data(), pic.size(), 0, 0, ours));
            ASSERT_TRUE(LibjpegDecode(jfif, ref, JDCT_IFAST, false));
            EXPECT_LE(MeanAbsDiff(ours, ref), 1.5) << img.width << "x" << img.height << " mode " << mode;
            EXPECT_LE(MaxAbsDiff(ours, ref), 24) << img.width << "x" << img.height << " mode " << mode;
            EXPECT_GE(Psnr(ours, ref), 38.0);
        }
    }
}
#endif

TEST(Decoder, EveryMcuDecodesAloneFromItsIndexEntry) {
    for (const auto& [img, mode] : {std::pair{PhotoLike(220, 176), 3}, std::pair{PhotoLike(128, 128, 3), 3},
                                    std::pair{Noise(40, 24), 0}, std::pair{PhotoLike(50, 40), 1}}) {
        const std::vector<std::uint8_t> pic = DevicePicture(img, 85, mode);
        JPGEncode dec;
        DecodedPicture full;
        ASSERT_TRUE(dec.Decode(pic.data(), pic.size(), 0, 0, full)) << dec.LastError();
        const SamplingGeometry g = GeometryFor(img.width, img.height, mode);
        // The decoder's MCU grid follows the width rounded up to 8.
        const int mcusX = (full.roundedWidth + g.mcuWidth - 1) / g.mcuWidth;
        ASSERT_EQ(mcusX, g.mcusX);
        for (int m = 0; m < g.mcusX * g.mcusY; ++m) {
            std::vector<std::uint8_t> tile;
            ASSERT_TRUE(dec.DecodeMcuFromIndex(pic.data(), pic.size(), unsigned(m), tile)) << dec.LastError();
            ASSERT_EQ(tile.size(), std::size_t(g.mcuWidth) * g.mcuHeight * 3);
            const int x0 = (m % g.mcusX) * g.mcuWidth, y0 = (m / g.mcusX) * g.mcuHeight;
            for (int y = 0; y < g.mcuHeight && y0 + y < full.height; ++y)
                for (int x = 0; x < g.mcuWidth && x0 + x < full.roundedWidth; ++x)
                    for (int c = 0; c < 3; ++c)
                        ASSERT_EQ(tile[(std::size_t(y) * g.mcuWidth + x) * 3 + c],
                                  full.bgr[(std::size_t(y0 + y) * full.roundedWidth + x0 + x) * 3 + c])
                            << "MCU " << m << " pixel " << x << "," << y;
        }
        std::vector<std::uint8_t> tile;
        EXPECT_FALSE(dec.DecodeMcuFromIndex(pic.data(), pic.size(), unsigned(g.mcusX * g.mcusY), tile));
    }
}

TEST(Decoder, BmpOf130x100KeepsDecodedSamplesInTheRowPadding) {
    TempDir dir;
    const RgbImage img = PhotoLike(130, 100);
    const std::vector<std::uint8_t> pic = DevicePicture(img, 90);
    ASSERT_TRUE(WriteFileSafely(dir / "p.dpf", pic.data(), pic.size(), SafeWriteMode::Replace));
    ASSERT_TRUE(CKv350Encoder::DeCode(dir / "p.dpf", dir / "p.bmp", 130, 100));
    std::vector<std::uint8_t> bmp;
    ASSERT_TRUE(ReadWholeFile(dir / "p.bmp", bmp));
    ASSERT_EQ(bmp.size(), 54u + 392u * 100u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(Le32(bmp, 2), 54u + 392u * 100u);
    EXPECT_EQ(Le32(bmp, 10), 54u);
    EXPECT_EQ(Le32(bmp, 14), 40u);
    EXPECT_EQ(Le32(bmp, 18), 130u);
    EXPECT_EQ(Le32(bmp, 22), 100u);
    EXPECT_EQ(bmp[28], 24);
    EXPECT_EQ(Le32(bmp, 34), 392u * 100u);

    JPGEncode dec;
    DecodedPicture full;
    ASSERT_TRUE(dec.Decode(pic.data(), pic.size(), 130, 100, full));
    EXPECT_EQ(full.roundedWidth, 136);
    for (int row = 0; row < 100; ++row) {
        const std::uint8_t* fileRow = bmp.data() + 54 + std::size_t(row) * 392;
        const std::uint8_t* picRow = full.bgr.data() + std::size_t(99 - row) * 136 * 3;
        ASSERT_EQ(0, std::memcmp(fileRow, picRow, 392)) << row;
        // The last two bytes are B and G of decoded column 130, which the
        // encoder filled by repeating column 129: close to column 129.
        EXPECT_NEAR(fileRow[390], fileRow[387], 40);
    }
    // The BMP reads back as the decoded picture.
    RgbImage back;
    ASSERT_TRUE(ReadBmp(dir / "p.bmp", back));
    RgbImage direct;
    ASSERT_TRUE(CKv350Encoder::Decode(pic.data(), pic.size(), 130, 100, direct));
    EXPECT_EQ(back.rgb, direct.rgb);
}

TEST(Decoder, BmpOf128x128HasNoPaddingAndSizeIsChecked) {
    TempDir dir;
    const std::vector<std::uint8_t> pic = DevicePicture(Gradient(128, 128), 80);
    ASSERT_TRUE(WriteFileSafely(dir / "p.dpf", pic.data(), pic.size(), SafeWriteMode::Replace));
    ASSERT_TRUE(CKv350Encoder::DeCode(dir / "p.dpf", dir / "a.bmp", 128, 128));
    EXPECT_EQ(std::filesystem::file_size(dir / "a.bmp"), 54u + 384u * 128u);
    ASSERT_TRUE(CKv350Encoder::DeCode(dir / "p.dpf", dir / "b.bmp", 0, 0));
    EXPECT_FALSE(CKv350Encoder::DeCode(dir / "p.dpf", dir / "c.bmp", 128, 160));
    EXPECT_FALSE(CKv350Encoder::DeCode(dir / "p.dpf", dir / "d.bmp", 160, 128));
    EXPECT_FALSE(std::filesystem::exists(dir / "c.bmp"));
    EXPECT_FALSE(std::filesystem::exists(dir / "d.bmp"));
    EXPECT_TRUE(CKv350Encoder::DeCode(dir / "p.dpf", dir / "e.bmp", 0, 128));
    EXPECT_FALSE(CKv350Encoder::DeCode(dir / "missing.dpf", dir / "f.bmp", 0, 0));
    EXPECT_FALSE(CKv350Encoder::DeCode(dir / "p.dpf", dir / "no/such/dir/g.bmp", 0, 0));
}

TEST(Decoder, RejectsEveryTruncation) {
    const std::vector<std::uint8_t> pic = DevicePicture(PhotoLike(40, 24), 90);
    JPGEncode dec;
    DecodedPicture out;
    ASSERT_TRUE(dec.Decode(pic.data(), pic.size(), 0, 0, out));
    for (std::size_t len = 0; len < pic.size(); ++len) {
        // A fresh copy of exactly `len` bytes, so ASan sees any read past it.
        std::vector<std::uint8_t> cut(pic.begin(), pic.begin() + std::ptrdiff_t(len));
        EXPECT_FALSE(dec.Decode(cut.data(), cut.size(), 0, 0, out)) << len;
        EXPECT_FALSE(dec.LastError().empty());
        EXPECT_TRUE(out.bgr.empty());
    }
}

TEST(Decoder, RejectsBadHeadersAndTables) {
    const std::vector<std::uint8_t> good = DevicePicture(PhotoLike(128, 128), 90);
    const std::size_t huff = 660, quant = 528;
    auto fails = [](std::vector<std::uint8_t> d, const char* what) {
        JPGEncode dec;
        DecodedPicture out;
        EXPECT_FALSE(dec.Decode(d.data(), d.size(), 0, 0, out)) << what;
    };
    auto with = [&good](std::size_t at, std::uint8_t v) {
        std::vector<std::uint8_t> d = good;
        d[at] = v;
        return d;
    };
    fails(with(huff + 2, 0x02), "Huffman class/identifier 0x02");
    fails(with(huff + 2 + 17 + 12, 0x20), "Huffman class 0x20");
    fails(with(4, 7), "sampling mode 7");
    fails(with(5, 2), "quantisation table number 2");
    fails(with(8, 3), "DC table number 3");
    fails(with(13, 2), "AC table number 2");
    {
        std::vector<std::uint8_t> d = with(0, 0);
        d[1] = 0;
        fails(d, "width 0");
    }
    {   // DC count total 0
        std::vector<std::uint8_t> d = good;
        for (int l = 0; l < 16; ++l) d[huff + 3 + l] = 0;
        fails(d, "empty DC table");
    }
    {   // DC count total 17 (over 16)
        std::vector<std::uint8_t> d = good;
        d[huff + 3 + 15] = 17 - 12 + d[huff + 3 + 15];
        fails(d, "DC table too large");
    }
    {   // more codes of length 2 than a prefix code allows
        std::vector<std::uint8_t> d = good;
        d[huff + 3 + 0] = 2;
        d[huff + 3 + 1] = 5;
        d[huff + 3 + 2] = 0;
        d[huff + 3 + 3] = 0;
        for (int l = 4; l < 16; ++l) d[huff + 3 + l] = 0;
        d[huff + 3 + 8] = 5;
        fails(d, "overfull code lengths");
    }
    fails(with(quant + 1, 0x85), "quantisation segment longer than 132");
    {   // a huge size with a tiny file fails before any allocation
        std::vector<std::uint8_t> d(good.begin(), good.begin() + 1200);
        d[0] = d[1] = d[2] = d[3] = 0xFF;
        fails(d, "65535 x 65535 in 1200 bytes");
    }
    // Garbage in the coded data: every result is clean (true or false), and
    // a successful decode has the full picture.
    std::mt19937 rng(42);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<std::uint8_t> d = good;
        const int flips = 1 + int(rng() % 8);
        for (int i = 0; i < flips; ++i) d[1078 + rng() % (d.size() - 1078)] = std::uint8_t(rng());
        JPGEncode dec;
        DecodedPicture out;
        if (dec.Decode(d.data(), d.size(), 0, 0, out)) {
            EXPECT_EQ(out.bgr.size(), 128u * 128u * 3u);
        } else {
            EXPECT_FALSE(dec.LastError().empty());
        }
    }
}

TEST(Decoder, RunPastPosition63EndsTheBlockThere) {
    // An 8x8 picture in mode 0, hand-coded: the Cb block holds three ZRLs
    // (k = 49) and then run 15 / size 1, which passes 63. That must decode
    // like the valid coding of the same value at position 63 (run 14).
    RgbImage grey{8, 8, std::vector<std::uint8_t>(192, 128)};
    const std::vector<std::uint8_t> base = DevicePicture(grey, 50, 0);
    ASSERT_EQ(base.size(), 576u);
    CQuavJpegEncoder enc(50);
    const tag_HUFFMAN_TABLE& lumDc = enc.Huffman(0);
    const tag_HUFFMAN_TABLE& lumAc = enc.Huffman(1);
    const tag_HUFFMAN_TABLE& cDc = enc.Huffman(2);
    const tag_HUFFMAN_TABLE& cAc = enc.Huffman(3);
    auto build = [&](bool overrun) {
        BitSink s;
        s.Put(cDc.code[0], cDc.size[0]);
        for (int i = 0; i < 3; ++i) s.Put(cAc.code[0xF0], cAc.size[0xF0]);
        if (overrun) {
            s.Put(cAc.code[0xF1], cAc.size[0xF1]);
        } else {
            s.Put(cAc.code[0xE1], cAc.size[0xE1]);
        }
        s.Put(1, 1);  // value +1
        // k is now past 63: the block ends without EOB.
        s.Put(cDc.code[0], cDc.size[0]);
        s.Put(cAc.code[0], cAc.size[0]);
        s.Put(lumDc.code[0], lumDc.size[0]);
        s.Put(lumAc.code[0], lumAc.size[0]);
        s.Align();
        std::vector<std::uint8_t> d(574 + s.bytes.size());
        std::copy(base.begin(), base.begin() + 574, d.begin());
        std::copy(s.bytes.begin(), s.bytes.end(), d.begin() + 574);
        return d;
    };
    const std::vector<std::uint8_t> a = build(true), b = build(false);
    JPGEncode dec;
    DecodedPicture pa, pb, pg;
    ASSERT_TRUE(dec.Decode(a.data(), a.size(), 8, 8, pa)) << dec.LastError();
    ASSERT_TRUE(dec.Decode(b.data(), b.size(), 8, 8, pb)) << dec.LastError();
    ASSERT_TRUE(dec.Decode(base.data(), base.size(), 8, 8, pg)) << dec.LastError();
    EXPECT_EQ(pa.bgr, pb.bgr);
    EXPECT_NE(pa.bgr, pg.bgr);  // the coefficient did change the picture
}

TEST(Decoder, InverseDctOfDcOnlyBlocksIsFlat) {
    // DC value v with table entry 64 * 8 dequantises to 8v; the block is
    // v + 128 everywhere.
    std::uint16_t dqt[64];
    for (int i = 0; i < 64; ++i) dqt[i] = std::uint16_t(8 * kAanFactors[i]);
    for (int v : {-128, -50, 0, 1, 37, 127, 400}) {
        std::int16_t coef[64] = {};
        coef[0] = std::int16_t(v);
        std::uint8_t out[64];
        JPGEncode::tinyjpeg_idct_int(coef, dqt, out);
        for (int i = 0; i < 64; ++i) EXPECT_EQ(out[i], std::clamp(v + 128, 0, 255)) << v;
    }
}
