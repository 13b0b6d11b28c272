// SPDX-License-Identifier: GPL-3.0-or-later
// Bit-exactness of the encoder against a second, deliberately plain
// implementation of the same algorithm (one step at a time: 24-bit bit
// accumulator, code and value bits emitted separately, quantisation by
// division, table order spelled out), and of its entropy coding against
// libjpeg-turbo's. The frame's firmware reads these bytes and cannot be
// asked, so any difference here is a fault.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/coder/Kv350Encoder.h"
#include "common/coder/QuavJpegEncoder.h"
#include "tests/coder/coder_test_util.h"

using namespace kestova;
using namespace kestova::testutil;

namespace {

// ---------------------------------------------------------------------------
// The plain reference encoder.

const std::uint8_t kRefLum[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const std::uint8_t kRefChrom[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

struct RefHuff {
    std::uint32_t code[256] = {};
    int size[256] = {};
};

// Count lists and symbols of the typical tables, taken from the DHT bytes
// the encoder writes (their contents are checked against libjpeg-turbo's
// standard tables below).
struct RefTables {
    std::uint8_t bits[4][17];
    std::uint8_t vals[4][256];
};

class RefEncoder {
public:
    RefEncoder(int quality, bool standard, const RefTables& ht) : standard_(standard) {
        int q = std::uint16_t(quality);
        if (q == 0) q = 1;
        if (q > 100) q = 100;
        const int scale = q < 50 ? 5000 / q : 200 - 2 * q;
        for (int i = 0; i < 64; ++i) {
            lum_[i] = Scale(kRefLum[i], scale);
            chrom_[i] = Scale(kRefChrom[i], scale);
            const int u = i / 8, v = i % 8;
            const long aan = std::lround(16384.0 * S(u) * S(v));
            lumDiv_[i] = int((lum_[i] * aan + 1024) >> 11);
            chromDiv_[i] = int((chrom_[i] * aan + 1024) >> 11);
        }
        for (int i = 0; i < 256; ++i) {
            tab_[0][i] = 19595 * i;
            tab_[1][i] = 38470 * i;
            tab_[2][i] = 7471 * i + 32768;
            tab_[3][i] = -11059 * i;
            tab_[4][i] = -21709 * i;
            tab_[5][i] = 32768 * i + 8421375;
            tab_[6][i] = 32768 * i + 8421375;
            tab_[7][i] = -27439 * i;
            tab_[8][i] = -5329 * i;
        }
        for (int t = 0; t < 4; ++t) {
            std::uint32_t code = 0;
            int k = 0;
            for (int l = 1; l <= 16; ++l) {
                for (int i = 0; i < ht.bits[t][l]; ++i, ++k, ++code) {
                    huff_[t].code[ht.vals[t][k]] = code;
                    huff_[t].size[ht.vals[t][k]] = l;
                }
                code <<= 1;
            }
        }
        tables_ = ht;
        zz_ = ZigzagWalk();
    }

    std::vector<std::uint8_t> Compress(const std::uint8_t* in, int width, int height, int mode) {
        out_.clear();
        acc_ = 0;
        nacc_ = 0;
        pred_[0] = pred_[1] = pred_[2] = 0;
        const std::size_t stride = ((std::size_t(width) & 0xFFFF) * 3 + 3) & 0xFFFFC;
        const int si = mode & 3;
        const int mcuW = 8 * ((mode & 1) + 1), mcuH = 8 * ((mode & 2) / 2 + 1);
        const int nY = (mcuW / 8) * (mcuH / 8);
        const int mx = (width + mcuW - 1) / mcuW, my = (height + mcuH - 1) / mcuH;

        // Table segment bodies (length bytes on).
        std::vector<std::uint8_t> dqt = {0x00, 0x84, 0x00};
        for (int k = 0; k < 64; ++k) dqt.push_back(std::uint8_t(lum_[zz_[k]]));
        dqt.push_back(0x01);
        for (int k = 0; k < 64; ++k) dqt.push_back(std::uint8_t(chrom_[zz_[k]]));
        std::vector<std::uint8_t> dht = {0x01, 0xA2};
        const std::uint8_t cls[4] = {0x00, 0x10, 0x01, 0x11};
        const int order[4] = {0, 1, 2, 3};  // lum DC, lum AC, chrom DC, chrom AC
        for (int t : order) {
            dht.push_back(cls[t]);
            int n = 0;
            for (int l = 1; l <= 16; ++l) {
                dht.push_back(tables_.bits[t][l]);
                n += tables_.bits[t][l];
            }
            for (int i = 0; i < n; ++i) dht.push_back(tables_.vals[t][i]);
        }

        std::size_t indexAt = 0;
        if (standard_) {
            const std::uint8_t sampling[4] = {0x11, 0x21, 0x12, 0x22};
            Put({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01,
                 0x01, 0x01, 0x2C, 0x01, 0x2C, 0x00, 0x00, 0xFF, 0xDB});
            out_.insert(out_.end(), dqt.begin(), dqt.end());
            Put({0xFF, 0xC4});
            out_.insert(out_.end(), dht.begin(), dht.end());
            Put({0xFF, 0xC0, 0x00, 0x11, 0x08, std::uint8_t(height >> 8), std::uint8_t(height),
                 std::uint8_t(width >> 8), std::uint8_t(width), 0x03, 0x01, sampling[si], 0x00,
                 0x02, 0x11, 0x01, 0x03, 0x11, 0x01});
            Put({0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F,
                 0x00});
        } else {
            Put({std::uint8_t(width >> 8), std::uint8_t(width), std::uint8_t(height >> 8),
                 std::uint8_t(height), std::uint8_t(si), 0, 1, 1, 0, 1, 1, 0, 1, 1, 0, 0});
            indexAt = out_.size();
            out_.resize(out_.size() + std::size_t(mx) * my * 8, 0);
            out_.insert(out_.end(), dqt.begin(), dqt.end());
            out_.insert(out_.end(), dht.begin(), dht.end());
        }

        for (int mcuY = 0; mcuY < my; ++mcuY) {
            for (int mcuX = 0; mcuX < mx; ++mcuX) {
                // Tile: rows from the top, edges repeated.
                std::uint8_t tile[16][16][3];
                for (int k = 0; k < mcuH; ++k) {
                    int py = mcuY * mcuH + k;
                    if (py >= height) {
                        std::memcpy(tile[k], tile[k - 1], sizeof tile[k]);
                        continue;
                    }
                    const std::uint8_t* row = in + stride * std::size_t(height - 1 - py);
                    for (int c = 0; c < mcuW; ++c) {
                        const int px = std::min(mcuX * mcuW + c, width - 1);
                        for (int b = 0; b < 3; ++b) tile[k][c][b] = row[px * 3 + b];
                    }
                }
                // Colour conversion into Y0..Y(n-1), Cb, Cr.
                int blocks[6][64];
                int ci = 0;
                for (int r = 0; r < mcuH; ++r) {
                    for (int c = 0; c < mcuW; ++c) {
                        const int B = tile[r][c][0], G = tile[r][c][1], R = tile[r][c][2];
                        const int y = ((tab_[0][R] + tab_[1][G] + tab_[2][B]) >> 16) - 128;
                        const int blk = mcuW == 16 ? c / 8 + 2 * (r / 8) : r / 8;
                        blocks[blk][(r % 8) * 8 + c % 8] = y;
                        if ((r % 2 == 1 && (mode & 2)) || (c % 2 == 1 && (mode & 1))) continue;
                        blocks[nY][ci] = ((tab_[3][R] + tab_[4][G] + tab_[5][B]) >> 16) - 128;
                        blocks[nY + 1][ci] = ((tab_[6][R] + tab_[7][G] + tab_[8][B]) >> 16) - 128;
                        ++ci;
                    }
                }
                for (int b = 0; b < nY + 2; ++b) Fdct(blocks[b]);
                if (standard_) {
                    for (int b = 0; b < nY; ++b) Block(blocks[b], 0);
                    Block(blocks[nY], 1);
                    Block(blocks[nY + 1], 2);
                } else {
                    const std::size_t entry = indexAt + (std::size_t(mcuY) * mx + mcuX) * 8;
                    const std::size_t dist = out_.size() - entry;
                    const unsigned v[4] = {unsigned(pred_[0]) & 0xFFFF, unsigned(pred_[1]) & 0xFFFF,
                                           unsigned(pred_[2]) & 0xFFFF, unsigned(dist) & 0xFFFF};
                    for (int i = 0; i < 4; ++i) {
                        out_[entry + 2 * i] = std::uint8_t(v[i] & 0xFF);
                        out_[entry + 2 * i + 1] = std::uint8_t(v[i] >> 8);
                    }
                    Block(blocks[nY], 1);
                    Block(blocks[nY + 1], 2);
                    for (int b = 0; b < nY; ++b) Block(blocks[b], 0);
                    FillToByte();
                }
            }
        }
        if (standard_) {
            FillToByte();
            Put({0xFF, 0xD9});
        }
        return out_;
    }

    static double S(int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * M_PI / 16.0); }

private:
    static int Scale(int t, int scale) {
        int v = (t * scale + 50) / 100;
        if (v <= 0) v = 1;
        if (v > 255) v = 255;
        return v;
    }

    void Put(std::initializer_list<std::uint8_t> bytes) {
        out_.insert(out_.end(), bytes.begin(), bytes.end());
    }

    // MSB-first, 24-bit accumulator; whole bytes leave from its top.
    void Emit(std::uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) {
            acc_ = ((acc_ << 1) | ((value >> i) & 1u)) & 0xFFFFFFu;
            ++nacc_;
            if (nacc_ == 8) {
                const std::uint8_t b = std::uint8_t(acc_ & 0xFF);
                out_.push_back(b);
                if (standard_ && b == 0xFF) out_.push_back(0x00);
                nacc_ = 0;
                acc_ = 0;
            }
        }
    }
    void FillToByte() {
        while (nacc_ != 0) Emit(1, 1);
    }

    static void Fdct(int* d) {
        auto mul = [](int x, int c) { return (x * c) >> 8; };
        for (int pass = 0; pass < 2; ++pass) {
            for (int line = 0; line < 8; ++line) {
                int* p[8];
                for (int i = 0; i < 8; ++i) p[i] = pass == 0 ? &d[line * 8 + i] : &d[i * 8 + line];
                const int t0 = *p[0] + *p[7], t7 = *p[0] - *p[7];
                const int t1 = *p[1] + *p[6], t6 = *p[1] - *p[6];
                const int t2 = *p[2] + *p[5], t5 = *p[2] - *p[5];
                const int t3 = *p[3] + *p[4], t4 = *p[3] - *p[4];
                const int e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
                *p[0] = e10 + e11;
                *p[4] = e10 - e11;
                const int z1 = mul(e12 + e13, 181);
                *p[2] = e13 + z1;
                *p[6] = e13 - z1;
                const int o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
                const int z5 = mul(o10 - o12, 98);
                const int z2 = mul(o10, 139) + z5;
                const int z4 = mul(o12, 334) + z5;
                const int z3 = mul(o11, 181);
                const int z11 = t7 + z3, z13 = t7 - z3;
                *p[5] = z13 + z2;
                *p[3] = z13 - z2;
                *p[1] = z11 + z4;
                *p[7] = z11 - z4;
            }
        }
    }

    static int Quant(int c, int d) {
        const int h = d >> 1;
        if (c < 0) {
            const int t = h - c;
            return t >= d ? -(t / d) : 0;
        }
        const int t = c + h;
        return t >= d ? t / d : 0;
    }

    static int Category(int v) {
        int m = v < 0 ? -v : v, n = 0;
        while (m) {
            ++n;
            m >>= 1;
        }
        return n;
    }

    // component 0 = Y, 1 = Cb, 2 = Cr
    void Block(const int* coef, int component) {
        const int* div = component == 0 ? lumDiv_ : chromDiv_;
        const RefHuff& dc = huff_[component == 0 ? 0 : 2];
        const RefHuff& ac = huff_[component == 0 ? 1 : 3];
        int q[64];
        for (int k = 0; k < 64; ++k) q[k] = Quant(coef[zz_[k]], div[zz_[k]]);
        const int diff = q[0] - pred_[component];
        pred_[component] = q[0];
        const int cat = Category(diff);
        if (dc.size[cat] == 0) return;
        Emit(dc.code[cat], dc.size[cat]);
        if (cat) Emit(std::uint32_t(diff < 0 ? diff - 1 : diff) & ((1u << cat) - 1), cat);
        int run = 0;
        for (int k = 1; k < 64; ++k) {
            int v = q[k];
            if (v == 0) {
                ++run;
                continue;
            }
            // Kept deliberately: AC values saturate at the baseline limit.
            v = std::clamp(v, -1023, 1023);
            while (run > 15) {
                Emit(ac.code[0xF0], ac.size[0xF0]);
                run -= 16;
            }
            const int n = Category(v);
            const int sym = run * 16 + n;
            if (ac.size[sym] == 0) return;
            Emit(ac.code[sym], ac.size[sym]);
            Emit(std::uint32_t(v < 0 ? v - 1 : v) & ((1u << n) - 1), n);
            run = 0;
        }
        if (run > 0) Emit(ac.code[0x00], ac.size[0x00]);
    }

    bool standard_;
    int lum_[64], chrom_[64], lumDiv_[64], chromDiv_[64];
    int tab_[9][256];
    RefHuff huff_[4];
    RefTables tables_;
    std::vector<int> zz_;
    std::vector<std::uint8_t> out_;
    std::uint32_t acc_ = 0;
    int nacc_ = 0;
    int pred_[3] = {0, 0, 0};
};

// The count lists and symbol lists as the encoder's DHT body carries them.
RefTables TablesFromDeviceStream(const std::vector<std::uint8_t>& dev, std::size_t at) {
    RefTables t{};
    std::size_t p = at + 2;
    for (int i = 0; i < 4; ++i) {
        ++p;  // class/identifier
        int n = 0;
        t.bits[i][0] = 0;
        for (int l = 1; l <= 16; ++l) n += (t.bits[i][l] = dev[p++]);
        for (int k = 0; k < n; ++k) t.vals[i][k] = dev[p++];
    }
    return t;
}

RefTables TypicalTables() {
    std::vector<std::uint8_t> dev;
    CKv350Encoder::Encode(Gradient(8, 8), 50, 0, false, dev);
    return TablesFromDeviceStream(dev, 16 + 8 + 132);
}

// Pictures that exercise every path: smooth, photo-like, noise (large
// coefficients, long codes, many 0xFF bytes), hard black/white edges
// (the largest coefficients at the finest qualities), odd sizes.
std::vector<RgbImage> Pictures() {
    std::vector<RgbImage> p;
    p.push_back(Gradient(1, 1));
    p.push_back(Gradient(17, 5));
    p.push_back(PhotoLike(130, 100));
    p.push_back(Noise(33, 47, 3));
    p.push_back(PhotoLike(220, 176, 11));
    RgbImage checker{40, 24, std::vector<std::uint8_t>(40 * 24 * 3)};
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x)
            for (int c = 0; c < 3; ++c)
                checker.rgb[(std::size_t(y) * 40 + x) * 3 + c] =
                    ((x + y + c) % 2 || (x / 3 + y) % 5 == 0) ? 255 : 0;
    p.push_back(checker);
    p.push_back(Noise(48, 32, 5));
    return p;
}

}  // namespace

// Every mode, quality and container against the plain reference, and the
// fitting's quality-independent path against the same bytes.
static void MatchesThePlainReference() {
    const RefTables tables = TypicalTables();
    const int qualities[] = {0, 1, 7, 10, 25, 49, 50, 51, 75, 90, 99, 100, 150, -3};
    for (const RgbImage& img : Pictures()) {
        const std::vector<std::uint8_t> input = ToEncoderInput(img);
        for (int mode : {0, 1, 2, 3, 4}) {
            for (int quality : qualities) {
                for (bool standard : {false, true}) {
                    RefEncoder ref(quality, standard, tables);
                    const std::vector<std::uint8_t> want =
                        ref.Compress(input.data(), img.width, img.height, mode);
                    std::vector<std::uint8_t> got;
                    ASSERT_TRUE(CKv350Encoder::Encode(input.data(), img.width, img.height,
                                                      quality, mode, standard, got));
                    ASSERT_EQ(got, want) << img.width << "x" << img.height << " mode " << mode
                                         << " q" << quality << (standard ? " JFIF" : " device");
                    if (!standard) {
                        // The quality-independent path used by the fitting.
                        CDctPicture dct;
                        ASSERT_TRUE(dct.Build(input.data(), img.width, img.height, mode));
                        CQuavJpegEncoder enc(quality);
                        std::vector<std::uint8_t> buf(want.size());
                        std::size_t size = 0;
                        ASSERT_TRUE(enc.CompressDct(dct, buf.data(), buf.size(), size));
                        buf.resize(size);
                        ASSERT_EQ(buf, want) << "CompressDct " << img.width << "x" << img.height
                                             << " mode " << mode << " q" << quality;
                    }
                }
            }
        }
    }
}

TEST(BitExact, ReferenceHandlesTheLayoutExamples) {
    // Guards the reference itself with the fixed facts of the format.
    const RefTables tables = TypicalTables();
    const RgbImage img = PhotoLike(128, 128);
    const std::vector<std::uint8_t> input = ToEncoderInput(img);
    RefEncoder ref(90, false, tables);
    const std::vector<std::uint8_t> dev = ref.Compress(input.data(), 128, 128, 3);
    const std::uint8_t header[16] = {0x00, 0x80, 0x00, 0x80, 0x03, 0x00, 0x01, 0x01,
                                     0x00, 0x01, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00};
    ASSERT_GT(dev.size(), 1078u);
    EXPECT_EQ(0, std::memcmp(dev.data(), header, 16));
    const std::uint8_t entry0[8] = {0, 0, 0, 0, 0, 0, 0x26, 0x04};  // 1062
    EXPECT_EQ(0, std::memcmp(dev.data() + 16, entry0, 8));
    EXPECT_EQ(dev[528], 0x00);
    EXPECT_EQ(dev[529], 0x84);
    EXPECT_EQ(dev[660], 0x01);
    EXPECT_EQ(dev[661], 0xA2);
    // Typical table sizes: 12 DC symbols, 162 AC symbols.
    int n[4] = {0, 0, 0, 0};
    for (int t = 0; t < 4; ++t)
        for (int l = 1; l <= 16; ++l) n[t] += tables.bits[t][l];
    EXPECT_EQ(n[0], 12);
    EXPECT_EQ(n[1], 162);
    EXPECT_EQ(n[2], 12);
    EXPECT_EQ(n[3], 162);
}

#ifdef KESTOVA_HAVE_LIBJPEG
namespace {

// The DHT bodies libjpeg-turbo writes with its standard tables for a
// three-component baseline stream, concatenated: length-less table bodies
// in the order luminance DC, luminance AC, chrominance DC, chrominance AC.
std::vector<std::uint8_t> SegmentBodies(const std::vector<std::uint8_t>& jpg, std::uint8_t marker,
                                        bool& scanFound, std::vector<std::uint8_t>* scan) {
    std::vector<std::uint8_t> bodies;
    scanFound = false;
    std::size_t p = 2;
    while (p + 4 <= jpg.size() && jpg[p] == 0xFF) {
        const std::uint8_t m = jpg[p + 1];
        const std::size_t len = (std::size_t(jpg[p + 2]) << 8) | jpg[p + 3];
        if (m == marker) bodies.insert(bodies.end(), jpg.begin() + long(p + 4), jpg.begin() + long(p + 2 + len));
        if (m == 0xDA) {
            scanFound = true;
            if (scan) scan->assign(jpg.begin() + long(p + 2 + len), jpg.end());
            break;
        }
        p += 2 + len;
    }
    return bodies;
}

// Re-encodes the quantised coefficients of a JFIF stream with libjpeg-turbo
// (standard Huffman tables, no optimisation): the entropy-coded segment must
// come out byte for byte as ours.
bool LibjpegTranscode(const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out) {
    jpeg_decompress_struct src;
    jpeg_compress_struct dst;
    JpegError err;
    src.err = jpeg_std_error(&err.mgr);
    dst.err = src.err;
    err.mgr.error_exit = JpegErrorExit;
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&src);
        jpeg_destroy_compress(&dst);
        std::free(mem);
        return false;
    }
    jpeg_create_decompress(&src);
    jpeg_create_compress(&dst);
    jpeg_mem_src(&src, in.data(), static_cast<unsigned long>(in.size()));
    jpeg_read_header(&src, TRUE);
    jvirt_barray_ptr* coefs = jpeg_read_coefficients(&src);
    jpeg_copy_critical_parameters(&src, &dst);
    dst.optimize_coding = FALSE;
    jpeg_mem_dest(&dst, &mem, &size);
    jpeg_write_coefficients(&dst, coefs);
    jpeg_finish_compress(&dst);
    jpeg_finish_decompress(&src);
    out.assign(mem, mem + size);
    jpeg_destroy_compress(&dst);
    jpeg_destroy_decompress(&src);
    std::free(mem);
    return true;
}

}  // namespace

TEST(BitExact, HuffmanTablesAndEntropyCodingMatchLibjpeg) {
    for (const RgbImage& img : Pictures()) {
        for (int mode : {0, 1, 2, 3}) {
            // libjpeg re-encodes the blocks of an MCU that lie wholly past
            // the picture's last block column or row as flat "dummy" blocks,
            // where we code the replicated edge; both decode alike, but the
            // bytes can only be compared where there are none.
            const int hs = (mode & 1) + 1, vs = (mode >> 1) + 1;
            if (((img.width + 7) / 8) % hs || ((img.height + 7) / 8) % vs) continue;
            for (int quality : {1, 50, 90, 100}) {
                std::vector<std::uint8_t> ours;
                ASSERT_TRUE(CKv350Encoder::Encode(img, quality, mode, true, ours));
                std::vector<std::uint8_t> theirs;
                ASSERT_TRUE(LibjpegTranscode(ours, theirs));
                bool s1 = false, s2 = false;
                std::vector<std::uint8_t> scanOurs, scanTheirs;
                const auto dhtOurs = SegmentBodies(ours, 0xC4, s1, &scanOurs);
                const auto dhtTheirs = SegmentBodies(theirs, 0xC4, s2, &scanTheirs);
                ASSERT_TRUE(s1 && s2);
                EXPECT_EQ(dhtOurs, dhtTheirs);
                EXPECT_EQ(SegmentBodies(ours, 0xDB, s1, nullptr),
                          SegmentBodies(theirs, 0xDB, s2, nullptr));
                ASSERT_EQ(scanOurs, scanTheirs)
                    << img.width << "x" << img.height << " mode " << mode << " q" << quality;
            }
        }
    }
}
#endif

namespace {

std::uint64_t Fnv1a(std::uint64_t h, const std::vector<std::uint8_t>& bytes) {
    for (const std::uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h;
}

// One hash over the streams of a fixed set of pictures, qualities, modes
// and both containers, plus the fitting's results.
std::uint64_t StreamsHash() {
    std::uint64_t h = 0xcbf29ce484222325ull;
    std::vector<RgbImage> pics = {PhotoLike(128, 128, 1), PhotoLike(320, 240, 2),
                                  PhotoLike(130, 100, 3), Noise(96, 64, 4), Gradient(220, 176)};
    for (const RgbImage& img : pics) {
        const std::vector<std::uint8_t> input = ToEncoderInput(img);
        for (int quality : {1, 10, 30, 50, 75, 90, 100}) {
            for (int mode : {0, 1, 2, 3}) {
                for (bool standard : {false, true}) {
                    std::vector<std::uint8_t> out;
                    EXPECT_TRUE(CKv350Encoder::Encode(input.data(), img.width, img.height,
                                                      quality, mode, standard, out));
                    h = Fnv1a(h, out);
                }
            }
        }
        // A slot that only the quality-10 stream fits.
        std::vector<std::uint8_t> q10;
        EXPECT_TRUE(CKv350Encoder::Encode(input.data(), img.width, img.height, 10, 3, false, q10));
        const FitResult fit =
            FitPictureToSlot(input.data(), img.width, img.height, 90, q10.size());
        EXPECT_EQ(fit.quality, 10);
        h = Fnv1a(h, fit.bytes);
    }
    return h;
}

}  // namespace

namespace {

// Runs `body` once on every encoder path this processor can execute (the
// vectorised stages and the portable ones), each announced in failures.
template <typename Body>
void OnEveryPath(Body body) {
    const EncoderPath before = CurrentEncoderPath();
    for (const EncoderPath path : AvailableEncoderPaths()) {
        ASSERT_TRUE(SetEncoderPath(path));
        SCOPED_TRACE(std::string("encoder path ") + EncoderPathName(path));
        body();
    }
    SetEncoderPath(before);
}

}  // namespace

TEST(BitExact, EveryPathOfEveryModeQualityAndContainerMatchesThePlainReference) {
    OnEveryPath(MatchesThePlainReference);
}

TEST(BitExact, EveryPathKeepsTheRecordedHash) {
    // Recorded once the streams were checked against the plain reference
    // and libjpeg-turbo; any change of a single output byte on any path (a
    // speed change that is not exact, say) changes it.
    OnEveryPath([] { EXPECT_EQ(StreamsHash(), 0x32ad1e44c1991231ull) << std::hex << StreamsHash(); });
}

TEST(BitExact, ThePathCanBeChosenAndThePortableOneIsAlwaysThere) {
    const std::vector<EncoderPath> paths = AvailableEncoderPaths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), EncoderPath::Portable);
    const EncoderPath before = CurrentEncoderPath();
    for (const EncoderPath p : paths) {
        EXPECT_TRUE(SetEncoderPath(p));
        EXPECT_EQ(CurrentEncoderPath(), p);
    }
    SetEncoderPath(before);
}
