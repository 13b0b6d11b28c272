// SPDX-License-Identifier: GPL-3.0-or-later
// The baseline JPEG encoder: tables, transform, both containers, bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "common/coder/Kv350Encoder.h"
#include "common/coder/QuavJpegEncoder.h"
#include "tests/coder/coder_test_util.h"

using namespace kestova;
using namespace kestova::testutil;

namespace {

std::vector<std::uint8_t> EncodeRgb(const RgbImage& img, int quality, int mode, bool standard) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(CKv350Encoder::Encode(img, quality, mode, standard, out));
    return out;
}

double S(int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * M_PI / 16.0); }

}  // namespace

TEST(EncoderTables, QualityIsClampedAndScaled) {
    CQuavJpegEncoder q0(0), q1(1), q150(150), q100(100), q50(50), q49(49), q75(75);
    EXPECT_EQ(q0.ScaleFactor(), 5000);
    EXPECT_EQ(0, std::memcmp(q0.LumTable(), q1.LumTable(), 64));
    EXPECT_EQ(0, std::memcmp(q0.ChromTable(), q1.ChromTable(), 64));
    EXPECT_EQ(q150.ScaleFactor(), 0);
    EXPECT_EQ(0, std::memcmp(q150.LumTable(), q100.LumTable(), 64));
    EXPECT_EQ(q50.ScaleFactor(), 100);
    EXPECT_EQ(q49.ScaleFactor(), 102);  // 5000 / 49
    EXPECT_EQ(q75.ScaleFactor(), 50);
    EXPECT_EQ(0, std::memcmp(q50.LumTable(), kBaseLumQuant, 64));
    EXPECT_EQ(0, std::memcmp(q50.ChromTable(), kBaseChromQuant, 64));
    // Annex K corner values, natural order.
    EXPECT_EQ(q50.LumTable()[0], 16);
    EXPECT_EQ(q50.LumTable()[63], 99);
    EXPECT_EQ(q50.ChromTable()[9], 21);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(q100.LumTable()[i], 1);
        EXPECT_EQ(q100.ChromTable()[i], 1);
        EXPECT_GE(q100.LumDivisors()[i], 1);
        // quality 1: 5000 % of the base, saturated at 255
        EXPECT_EQ(q1.LumTable()[i], std::min(255, (kBaseLumQuant[i] * 5000 + 50) / 100));
    }
    EXPECT_EQ(q100.LumDivisors()[0], 8);
    // q75: (16 * 50 + 50) / 100 = 8; divisor (8 * 16384 + 1024) >> 11 = 64
    EXPECT_EQ(q75.LumTable()[0], 8);
    EXPECT_EQ(q75.LumDivisors()[0], 64);
    // Negative qualities are taken as 16-bit values, i.e. above 100.
    CQuavJpegEncoder qneg(-5);
    EXPECT_EQ(qneg.ScaleFactor(), 0);
}

TEST(EncoderTables, HuffmanCodesAreCanonical) {
    CQuavJpegEncoder enc(90);
    const tag_HUFFMAN_TABLE& lumDc = enc.Huffman(0);
    const tag_HUFFMAN_TABLE& lumAc = enc.Huffman(1);
    const tag_HUFFMAN_TABLE& chromDc = enc.Huffman(2);
    const tag_HUFFMAN_TABLE& chromAc = enc.Huffman(3);
    EXPECT_EQ(lumDc.size[0], 2);
    EXPECT_EQ(lumDc.code[0], 0u);
    EXPECT_EQ(lumDc.size[11], 9);
    EXPECT_EQ(lumDc.code[11], 0x1FEu);
    EXPECT_EQ(chromDc.size[11], 11);
    EXPECT_EQ(chromDc.code[11], 0x7FEu);
    EXPECT_EQ(lumAc.size[0x00], 4);  // EOB 1010
    EXPECT_EQ(lumAc.code[0x00], 0xAu);
    EXPECT_EQ(lumAc.size[0xF0], 11);  // ZRL 11111111001
    EXPECT_EQ(lumAc.code[0xF0], 0x7F9u);
    EXPECT_EQ(lumAc.size[0x01], 2);
    EXPECT_EQ(lumAc.size[0xFA], 16);
    EXPECT_EQ(lumAc.code[0xFA], 0xFFFEu);
    EXPECT_EQ(chromAc.size[0x00], 2);
    EXPECT_EQ(chromAc.size[0xF0], 10);
    // Every symbol 8-bit input can produce has a code; nothing else has one.
    for (int run = 0; run < 16; ++run)
        for (int size = 1; size <= 10; ++size) {
            EXPECT_GT(lumAc.size[run * 16 + size], 0);
            EXPECT_GT(chromAc.size[run * 16 + size], 0);
        }
    EXPECT_EQ(lumAc.size[0x0B], 0);
    EXPECT_EQ(lumDc.size[12], 0);
}

TEST(EncoderTransform, ColourConversionIsTheFixedPointTable) {
    // Solid pictures: the DC output of the (8x scaled) DCT is 64 times the
    // level-shifted sample.
    struct Case {
        std::uint8_t r, g, b;
    } cases[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 128, 128}, {255, 255, 255}, {0, 0, 0}, {17, 200, 93}};
    for (const Case& c : cases) {
        RgbImage img{8, 8, {}};
        for (int i = 0; i < 64; ++i) img.rgb.insert(img.rgb.end(), {c.r, c.g, c.b});
        const std::vector<std::uint8_t> in = ToEncoderInput(img);
        CDctPicture dct;
        ASSERT_TRUE(dct.Build(in.data(), 8, 8, 0));
        const int y = int(std::floor(0.299 * c.r + 0.587 * c.g + 0.114 * c.b + 0.5)) - 128;
        const int cb = int(std::floor(-0.168736 * c.r - 0.331264 * c.g + 0.5 * c.b + 128 + 0.4999)) - 128;
        const int cr = int(std::floor(0.5 * c.r - 0.418688 * c.g - 0.081312 * c.b + 128 + 0.4999)) - 128;
        EXPECT_NEAR(dct.Mcu(0)[0], 64 * y, 64) << int(c.r) << " " << int(c.g) << " " << int(c.b);
        EXPECT_NEAR(dct.Mcu(0)[64], 64 * cb, 64);
        EXPECT_NEAR(dct.Mcu(0)[128], 64 * cr, 64);
        for (int i = 1; i < 64; ++i) EXPECT_EQ(dct.Mcu(0)[i], 0);
    }
    // Exact values of the integer tables for pure red.
    RgbImage red{8, 8, {}};
    for (int i = 0; i < 64; ++i) red.rgb.insert(red.rgb.end(), {255, 0, 0});
    const std::vector<std::uint8_t> in = ToEncoderInput(red);
    CDctPicture dct;
    ASSERT_TRUE(dct.Build(in.data(), 8, 8, 0));
    EXPECT_EQ(dct.Mcu(0)[0], 64 * -52);
    EXPECT_EQ(dct.Mcu(0)[64], 64 * -43);
    EXPECT_EQ(dct.Mcu(0)[128], 64 * 127);
}

TEST(EncoderTransform, ForwardDctMatchesTheScaledFloatingPointDct) {
    std::mt19937 rng(3);
    double worst = 0;
    for (int trial = 0; trial < 200; ++trial) {
        std::int32_t block[64];
        double f[64];
        const bool smooth = trial % 2;
        for (int i = 0; i < 64; ++i) {
            const int v = smooth ? int((i % 8) * 12 + (i / 8) * 9) - 90 + int(rng() % 9)
                                 : int(rng() % 256) - 128;
            block[i] = v;
            f[i] = v;
        }
        CQuavJpegEncoder::ForwardDct(block);
        for (int u = 0; u < 8; ++u)
            for (int v = 0; v < 8; ++v) {
                double sum = 0;
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        sum += f[y * 8 + x] * std::cos((2 * y + 1) * u * M_PI / 16) *
                               std::cos((2 * x + 1) * v * M_PI / 16);
                const double cu = u ? 1.0 : std::sqrt(0.5), cv = v ? 1.0 : std::sqrt(0.5);
                const double F = 0.25 * cu * cv * sum;
                // The fast transform truncates every product, and the column
                // pass sums eight truncated row outputs: a few units of the
                // scaled output (about one per summed row).
                const double expected = F * 8.0 * S(u) * S(v);
                const double tolerance = 12.0 + 6.0 * S(u) * S(v);
                EXPECT_NEAR(block[u * 8 + v], expected, tolerance)
                    << "trial " << trial << " at " << u << "," << v;
                worst = std::max(worst, std::fabs(block[u * 8 + v] - expected) / tolerance);
            }
    }
    RecordProperty("worst", std::to_string(worst));
    std::printf("worst forward DCT error: %.2f of the tolerance\n", worst);
}

TEST(EncoderTransform, OutputsStayBelow2To15ForEveryInput) {
    // The quantiser's exact reciprocals rely on this bound. The largest
    // output at each position comes from samples that follow the signs of
    // that position's cosine basis at full swing.
    std::int32_t worst = 0;
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v)
            for (int polarity = 0; polarity < 2; ++polarity) {
                std::int32_t block[64];
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x) {
                        const double b = std::cos((2 * y + 1) * u * M_PI / 16) *
                                         std::cos((2 * x + 1) * v * M_PI / 16);
                        block[y * 8 + x] = (b >= 0) == (polarity == 0) ? 127 : -128;
                    }
                CQuavJpegEncoder::ForwardDct(block);
                for (int i = 0; i < 64; ++i) worst = std::max(worst, std::abs(block[i]));
            }
    EXPECT_GE(worst, 8192);  // the DC of a flat -128 block
    EXPECT_LT(worst, 1 << 15);
}

TEST(DevicePicture, HeaderAndLayoutOf128x128) {
    const RgbImage img = PhotoLike(128, 128);
    const std::vector<std::uint8_t> pic = EncodeRgb(img, 90, 3, false);
    ASSERT_GT(pic.size(), 1078u);
    const std::uint8_t header[16] = {0x00, 0x80, 0x00, 0x80, 0x03, 0x00, 0x01, 0x01,
                                     0x00, 0x01, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(pic.data(), header, 16));
    // First index entry: predictors 0, distance 1078 - 16.
    const std::uint8_t first[8] = {0, 0, 0, 0, 0, 0, 0x26, 0x04};
    EXPECT_EQ(0, std::memcmp(pic.data() + 16, first, 8));
    // Quantisation tables at 528, Huffman tables at 660.
    CQuavJpegEncoder enc(90);
    EXPECT_EQ(pic[528], 0x00);
    EXPECT_EQ(pic[529], 0x84);
    EXPECT_EQ(pic[530], 0x00);
    EXPECT_EQ(pic[595], 0x01);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(pic[531 + k], enc.LumTable()[kZigzag[k]]);
        EXPECT_EQ(pic[596 + k], enc.ChromTable()[kZigzag[k]]);
    }
    EXPECT_EQ(pic[660], 0x01);
    EXPECT_EQ(pic[661], 0xA2);
    EXPECT_EQ(pic[662], 0x00);
    EXPECT_EQ(pic[662 + 17 + 12], 0x10);
    EXPECT_EQ(pic[662 + 17 + 12 + 17 + 162], 0x01);
    EXPECT_EQ(pic[662 + 2 * 17 + 12 + 162 + 17 + 12], 0x11);
    // Index entries: distances point at byte-aligned MCU starts in
    // increasing order; the last MCU ends at the end of the stream.
    std::size_t prevStart = 0;
    for (int m = 0; m < 64; ++m) {
        const std::uint8_t* e = pic.data() + 16 + 8 * m;
        const std::size_t start = 16 + 8 * m + std::size_t(e[6] | (e[7] << 8));
        if (m == 0) {
            EXPECT_EQ(start, 1078u);
        } else {
            EXPECT_GT(start, prevStart);
        }
        EXPECT_LT(start, pic.size());
        prevStart = start;
    }
    // No JPEG marker anywhere in the fixed part and no EOI at the end.
    EXPECT_FALSE(pic[pic.size() - 2] == 0xFF && pic[pic.size() - 1] == 0xD9);
}

TEST(DevicePicture, SolidGreyCodesOnlyDcAndEndOfBlock) {
    // 8 x 8 mid-grey in mode 0: Cb (00 00), Cr (00 00), Y (00 1010), padded
    // with 1-bits: 0000 0000 0010 1011.
    RgbImage img{8, 8, std::vector<std::uint8_t>(192, 128)};
    const std::vector<std::uint8_t> pic = EncodeRgb(img, 75, 0, false);
    ASSERT_EQ(pic.size(), 566u + 8 + 2);
    EXPECT_EQ(pic[4], 0);
    EXPECT_EQ(pic[574], 0x00);
    EXPECT_EQ(pic[575], 0x2B);
    // JFIF: Y (00 1010), Cb (00 00), Cr (00 00), then fill and EOI.
    const std::vector<std::uint8_t> jfif = EncodeRgb(img, 75, 0, true);
    ASSERT_GE(jfif.size(), 4u);
    EXPECT_EQ(jfif[jfif.size() - 4], 0x28);
    EXPECT_EQ(jfif[jfif.size() - 3], 0x03);
    EXPECT_EQ(jfif[jfif.size() - 2], 0xFF);
    EXPECT_EQ(jfif[jfif.size() - 1], 0xD9);
}

TEST(DevicePicture, MultiMcuPicturesCarryPredictorsInTheIndex) {
    // Two 8x8 MCUs (mode 0) of different solid colours: the second entry
    // holds the quantised DCs of the first.
    RgbImage img{16, 8, {}};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            if (x < 8) img.rgb.insert(img.rgb.end(), {255, 0, 0});
            else img.rgb.insert(img.rgb.end(), {0, 0, 255});
        }
    const std::vector<std::uint8_t> pic = EncodeRgb(img, 50, 0, false);
    CQuavJpegEncoder enc(50);
    auto q = [](int c, int d) { return c < 0 ? -((d / 2 - c) / d) : (c + d / 2) / d; };
    const int yDc = q(64 * -52, enc.LumDivisors()[0]);
    const int cbDc = q(64 * -43, enc.ChromDivisors()[0]);
    const int crDc = q(64 * 127, enc.ChromDivisors()[0]);
    const std::uint8_t* e = pic.data() + 24;
    EXPECT_EQ(std::int16_t(e[0] | (e[1] << 8)), yDc);
    EXPECT_EQ(std::int16_t(e[2] | (e[3] << 8)), cbDc);
    EXPECT_EQ(std::int16_t(e[4] | (e[5] << 8)), crDc);
}

TEST(DevicePicture, EdgesRepeatTheLastColumnAndRow) {
    // 220 x 176 in mode 3 is 14 x 11 MCUs; coding it must give the same data
    // as a 224-wide picture whose extra columns repeat column 219.
    const RgbImage img = PhotoLike(220, 176);
    RgbImage wide{224, 176, {}};
    for (int y = 0; y < 176; ++y)
        for (int x = 0; x < 224; ++x) {
            const int sx = std::min(x, 219);
            const std::uint8_t* p = &img.rgb[(std::size_t(y) * 220 + sx) * 3];
            wide.rgb.insert(wide.rgb.end(), p, p + 3);
        }
    const std::vector<std::uint8_t> a = EncodeRgb(img, 80, 3, false);
    const std::vector<std::uint8_t> b = EncodeRgb(wide, 80, 3, false);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(a[1], 220);
    EXPECT_EQ(b[1], 224);
    EXPECT_TRUE(std::equal(a.begin() + 2, a.end(), b.begin() + 2));
    EXPECT_EQ(a.size() - 566 - 8 * 14 * 11 > 0, true);

    // A partial bottom MCU row repeats the last picture row.
    const RgbImage low = PhotoLike(130, 100);
    RgbImage tall{130, 112, low.rgb};
    for (int y = 100; y < 112; ++y)
        tall.rgb.insert(tall.rgb.end(), low.rgb.end() - 130 * 3, low.rgb.end());
    const std::vector<std::uint8_t> c = EncodeRgb(low, 70, 3, false);
    const std::vector<std::uint8_t> d = EncodeRgb(tall, 70, 3, false);
    ASSERT_EQ(c.size(), d.size());
    EXPECT_TRUE(std::equal(c.begin() + 4, c.end(), d.begin() + 4));
}

TEST(DevicePicture, RowPaddingIsNeverRead) {
    // 17 pixels wide: stride 52, the last byte of each row is padding.
    const RgbImage img = PhotoLike(17, 9);
    std::vector<std::uint8_t> in = ToEncoderInput(img);
    ASSERT_EQ(in.size(), 52u * 9);
    std::vector<std::uint8_t> a, b;
    for (bool standard : {false, true}) {
        ASSERT_TRUE(CKv350Encoder::Encode(in.data(), 17, 9, 85, 3, standard, a));
        for (int y = 0; y < 9; ++y) in[std::size_t(y) * 52 + 51] = std::uint8_t(0xA5 + y);
        ASSERT_TRUE(CKv350Encoder::Encode(in.data(), 17, 9, 85, 3, standard, b));
        EXPECT_EQ(a, b);
    }
}

namespace {
// The entropy-coded part of a JFIF stream: from after SOS to before EOI.
std::vector<std::uint8_t> ScanData(const std::vector<std::uint8_t>& jfif) {
    const std::size_t sos = 2 + 18 + 134 + 420 + 19 + 14;
    if (jfif.size() < sos + 2) return {};
    return std::vector<std::uint8_t>(jfif.begin() + sos, jfif.end() - 2);
}
}  // namespace

TEST(StandardStream, MarkersAndByteStuffing) {
    const RgbImage img = Noise(64, 48);
    const std::vector<std::uint8_t> jfif = EncodeRgb(img, 100, 3, true);
    ASSERT_GT(jfif.size(), 700u);
    const std::uint8_t start[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0,
                                  1, 1, 1, 0x01, 0x2C, 0x01, 0x2C, 0, 0, 0xFF, 0xDB, 0x00, 0x84};
    EXPECT_EQ(0, std::memcmp(jfif.data(), start, sizeof start));
    EXPECT_EQ(jfif[154], 0xFF);
    EXPECT_EQ(jfif[155], 0xC4);
    EXPECT_EQ(jfif[156], 0x01);
    EXPECT_EQ(jfif[157], 0xA2);
    const std::uint8_t sof[] = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0, 48, 0, 64, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
    EXPECT_EQ(0, std::memcmp(jfif.data() + 574, sof, sizeof sof));
    const std::uint8_t sos[] = {0xFF, 0xDA, 0, 12, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0};
    EXPECT_EQ(0, std::memcmp(jfif.data() + 593, sos, sizeof sos));
    EXPECT_EQ(jfif[jfif.size() - 2], 0xFF);
    EXPECT_EQ(jfif[jfif.size() - 1], 0xD9);
    const std::vector<std::uint8_t> scan = ScanData(jfif);
    int ffs = 0;
    for (std::size_t i = 0; i < scan.size(); ++i)
        if (scan[i] == 0xFF) {
            ++ffs;
            ASSERT_LT(i + 1, scan.size());
            EXPECT_EQ(scan[i + 1], 0x00) << "unstuffed 0xFF at " << i;
        }
    EXPECT_GT(ffs, 0);
    // The device picture of the same picture has 0xFF data bytes standing alone.
    const std::vector<std::uint8_t> pic = EncodeRgb(img, 100, 3, false);
    const std::size_t dataStart = 566 + 8 * 4 * 3;
    int alone = 0;
    for (std::size_t i = dataStart; i + 1 < pic.size(); ++i)
        if (pic[i] == 0xFF && pic[i + 1] != 0x00) ++alone;
    EXPECT_GT(alone, 0);
    // Mode 4 is sampling index 0 in the frame header: 1x1, 8x8 MCUs.
    const std::vector<std::uint8_t> m4 = EncodeRgb(img, 90, 4, true);
    EXPECT_EQ(m4[574 + 11], 0x11);
}

TEST(EncoderBounds, NothingIsWrittenPastTheOutputBuffer) {
    for (const bool standard : {false, true})
        for (const auto& img : {Noise(1, 1), Noise(16, 16, 5), PhotoLike(23, 9)}) {
            const std::vector<std::uint8_t> in = ToEncoderInput(img);
            CQuavJpegEncoder enc(100);
            enc.SetStandard(standard);
            std::vector<std::uint8_t> full(CQuavJpegEncoder::MaxOutputSize(img.width, img.height, 3, standard));
            std::size_t need = 0;
            ASSERT_TRUE(enc.CompressImage(in.data(), full.data(), full.size(), img.width, img.height, need, 3));
            full.resize(need);
            for (std::size_t cap = 0; cap <= need; ++cap) {
                std::vector<std::uint8_t> buf(cap + 64, 0xEE);
                std::size_t size = 12345;
                const bool ok = enc.CompressImage(in.data(), buf.data(), cap, img.width, img.height, size, 3);
                ASSERT_EQ(ok, cap == need) << cap;
                if (ok) {
                    EXPECT_EQ(size, need);
                    EXPECT_TRUE(std::equal(full.begin(), full.end(), buf.begin()));
                } else {
                    EXPECT_EQ(size, 12345u);
                }
                for (std::size_t i = cap; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << "write past " << cap;
            }
        }
}

TEST(EncoderBounds, WorstCaseBoundHoldsAndBadArgumentsFail) {
    // Noise at quality 100 in mode 0 is as large as streams get.
    for (const bool standard : {false, true})
        for (int mode = 0; mode < 4; ++mode) {
            const RgbImage img = Noise(40, 24, unsigned(mode) + 11);
            const std::vector<std::uint8_t> in = ToEncoderInput(img);
            const std::size_t bound = CQuavJpegEncoder::MaxOutputSize(40, 24, mode, standard);
            std::vector<std::uint8_t> out;
            ASSERT_TRUE(CKv350Encoder::Encode(in.data(), 40, 24, 100, mode, standard, out));
            EXPECT_LE(out.size(), bound);
            EXPECT_GT(out.size(), bound / 8);  // the bound is not absurdly loose
        }
    CQuavJpegEncoder enc(90);
    std::uint8_t in[64] = {}, out[4096];
    std::size_t size = 77;
    EXPECT_FALSE(enc.CompressImage(nullptr, out, sizeof out, 4, 4, size, 3));
    EXPECT_FALSE(enc.CompressImage(in, nullptr, sizeof out, 4, 4, size, 3));
    EXPECT_FALSE(enc.CompressImage(in, out, sizeof out, 0, 4, size, 3));
    EXPECT_FALSE(enc.CompressImage(in, out, sizeof out, 4, 0, size, 3));
    EXPECT_FALSE(enc.CompressImage(in, out, sizeof out, -3, 4, size, 3));
    EXPECT_FALSE(enc.CompressImage(in, out, sizeof out, 65536, 1, size, 3));
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(CQuavJpegEncoder::MaxOutputSize(0, 5, 3, false), 0u);
}

#ifdef KESTOVA_HAVE_LIBJPEG
TEST(StandardStream, DecodesWithLibjpegCloseToTheSource) {
    struct Case {
        RgbImage img;
        int quality, mode;
        double minPsnr;
    };
    const Case cases[] = {
        {PhotoLike(320, 240), 90, 3, 30.0}, {PhotoLike(320, 240), 100, 0, 38.0},
        {Gradient(130, 100), 75, 3, 33.0},  {Gradient(17, 9), 90, 1, 30.0},
        {Gradient(33, 47), 90, 2, 30.0},   {Gradient(1, 1), 90, 3, 35.0},
        {Noise(64, 64), 100, 0, 30.0},
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> jfif = EncodeRgb(c.img, c.quality, c.mode, true);
        RgbImage decoded;
        ASSERT_TRUE(LibjpegDecode(jfif, decoded)) << c.img.width << "x" << c.img.height;
        ASSERT_EQ(decoded.width, c.img.width);
        ASSERT_EQ(decoded.height, c.img.height);
        EXPECT_GE(Psnr(c.img, decoded), c.minPsnr)
            << c.img.width << "x" << c.img.height << " q" << c.quality << " mode " << c.mode;
    }
}

TEST(StandardStream, QuantisationTablesMatchLibjpegQualityScaling) {
    // libjpeg scales the same Annex K tables with the same formula; its
    // tables for a quality must equal ours.
    for (int quality : {1, 10, 25, 49, 50, 51, 75, 90, 100}) {
        jpeg_compress_struct cinfo;
        jpeg_error_mgr jerr;
        cinfo.err = jpeg_std_error(&jerr);
        jpeg_create_compress(&cinfo);
        cinfo.in_color_space = JCS_RGB;
        cinfo.input_components = 3;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, quality, TRUE);
        CQuavJpegEncoder enc(quality);
        for (int i = 0; i < 64; ++i) {
            EXPECT_EQ(cinfo.quant_tbl_ptrs[0]->quantval[i], enc.LumTable()[i]) << quality;
            EXPECT_EQ(cinfo.quant_tbl_ptrs[1]->quantval[i], enc.ChromTable()[i]) << quality;
        }
        jpeg_destroy_compress(&cinfo);
    }
}
#endif
