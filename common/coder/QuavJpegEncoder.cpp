#include "common/coder/QuavJpegEncoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/coder/Bmp.h"

namespace kestova {

const std::uint8_t CQuavJpegEncoder::kBaseLum[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

const std::uint8_t CQuavJpegEncoder::kBaseChrom[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

const std::uint16_t CQuavJpegEncoder::kAanScales[64] = {
    16384, 22725, 21407, 19266, 16384, 12873, 8867,  4520,  22725, 31521, 29692, 26722, 22725,
    17855, 12299, 6270,  21407, 29692, 27969, 25172, 21407, 16819, 11585, 5906,  19266, 26722,
    25172, 22654, 19266, 15137, 10426, 5315,  16384, 22725, 21407, 19266, 16384, 12873, 8867,
    4520,  12873, 17855, 16819, 15137, 12873, 10114, 6967,  3552,  8867,  12299, 11585, 10426,
    8867,  6967,  4799,  2446,  4520,  6270,  5906,  5315,  4520,  3552,  2446,  1247};


namespace {

// Typical Huffman tables: count lists (entry 0 unused) and symbol lists.
const std::uint8_t kDcLumBits[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const std::uint8_t kDcChromBits[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const std::uint8_t kDcVal[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const std::uint8_t kAcLumBits[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const std::uint8_t kAcLumVal[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const std::uint8_t kAcChromBits[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const std::uint8_t kAcChromVal[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

const std::uint8_t* const kBits[4] = {kDcLumBits, kAcLumBits, kDcChromBits, kAcChromBits};
const std::uint8_t* const kVals[4] = {kDcVal, kAcLumVal, kDcVal, kAcChromVal};
const int kValCount[4] = {12, 162, 12, 162};

// Tile buffer: up to 16 rows of 16 pixels, 3 bytes each.
constexpr int kTileStride = 48;

inline int BitLength(std::uint32_t v) { return int(std::bit_width(v)); }

// Fills the tile of the MCU at (mcuX, mcuY): rows from the top, the last
// valid column and row repeated past the picture's right and bottom edges.
void FillTile(const std::uint8_t* input, int width, int height, std::size_t stride,
              const SamplingGeometry& g, int mcuX, int mcuY, std::uint8_t* tile) {
    const int x0 = mcuX * g.mcuWidth;
    const int y0 = mcuY * g.mcuHeight;
    const int validCols = std::min(g.mcuWidth, width - x0);
    for (int k = 0; k < g.mcuHeight; ++k) {
        std::uint8_t* dst = tile + k * kTileStride;
        if (y0 + k >= height) {
            std::memcpy(dst, dst - kTileStride, std::size_t(g.mcuWidth) * 3);
            continue;
        }
        const std::uint8_t* src =
            input + stride * std::size_t(height - 1 - (y0 + k)) + std::size_t(x0) * 3;
        std::memcpy(dst, src, std::size_t(validCols) * 3);
        for (int c = validCols; c < g.mcuWidth; ++c) {
            dst[c * 3 + 0] = dst[(validCols - 1) * 3 + 0];
            dst[c * 3 + 1] = dst[(validCols - 1) * 3 + 1];
            dst[c * 3 + 2] = dst[(validCols - 1) * 3 + 2];
        }
    }
}

// Points rows[k] at MCU row k of the MCU at (mcuX, mcuY), 3 bytes per
// pixel B, G, R from its left edge: straight into the picture when the MCU
// lies wholly inside it, else into `tile` filled with the edges repeated.
void McuRows(const std::uint8_t* input, int width, int height, std::size_t stride,
             const SamplingGeometry& g, int mcuX, int mcuY, std::uint8_t* tile,
             const std::uint8_t** rows) {
    const int x0 = mcuX * g.mcuWidth;
    const int y0 = mcuY * g.mcuHeight;
    if (x0 + g.mcuWidth <= width && y0 + g.mcuHeight <= height) {
        for (int k = 0; k < g.mcuHeight; ++k)
            rows[k] = input + stride * std::size_t(height - 1 - (y0 + k)) + std::size_t(x0) * 3;
        return;
    }
    FillTile(input, width, height, stride, g, mcuX, mcuY, tile);
    for (int k = 0; k < g.mcuHeight; ++k) rows[k] = tile + k * kTileStride;
}

bool ValidSize(int width, int height) {
    return width >= 1 && height >= 1 && width <= 0xFFFF && height <= 0xFFFF;
}

}  // namespace

SamplingGeometry GeometryFor(int width, int height, int mode) {
    SamplingGeometry g{};
    const int idx = mode & 3;
    g.mcuWidth = 8 * ((idx & 1) + 1);
    g.mcuHeight = 8 * ((idx & 2) / 2 + 1);
    g.yBlocks = (g.mcuWidth / 8) * (g.mcuHeight / 8);
    g.mcusX = width > 0 ? (width + g.mcuWidth - 1) / g.mcuWidth : 0;
    g.mcusY = height > 0 ? (height + g.mcuHeight - 1) / g.mcuHeight : 0;
    return g;
}

// Bounds-checked bit and byte output. In standard streams every 0xFF byte is
// followed by a stuffed 0x00.
struct CQuavJpegEncoder::Writer {
    std::uint8_t* out = nullptr;
    std::size_t cap = 0;
    std::size_t pos = 0;
    std::uint64_t acc = 0;
    int nbits = 0;
    bool stuff = false;
    bool overflow = false;
    std::uint8_t* index = nullptr;  // next MCU index entry (device picture)

    void Byte(std::uint8_t b) {
        if (pos >= cap) {
            overflow = true;
            return;
        }
        out[pos++] = b;
    }
    void Bytes(const std::uint8_t* p, std::size_t n) {
        if (cap - pos < n || pos > cap) {
            overflow = true;
            pos = cap;
            return;
        }
        std::memcpy(out + pos, p, n);
        pos += n;
    }
    void Word(unsigned v) {
        Byte(std::uint8_t(v >> 8));
        Byte(std::uint8_t(v));
    }
    void Bits(std::uint32_t code, int len) {
        acc = (acc << len) | code;
        nbits += len;
        if (nbits >= 32) Drain();
    }
    void Drain() {
        // Common case: 32 or more bits pending and room for them; the top 32
        // go out as one big-endian word unless (in a standard stream) one of
        // its bytes is 0xFF and needs a stuffed 0x00 after it.
        if (nbits >= 32 && cap - pos >= 4) {
            const std::uint32_t word = std::uint32_t(acc >> (nbits - 32));
            const std::uint32_t inv = ~word;
            const bool hasFF = ((inv - 0x01010101u) & ~inv & 0x80808080u) != 0;
            if (!stuff || !hasFF) {
                std::uint8_t* p = out + pos;
                p[0] = std::uint8_t(word >> 24);
                p[1] = std::uint8_t(word >> 16);
                p[2] = std::uint8_t(word >> 8);
                p[3] = std::uint8_t(word);
                pos += 4;
                nbits -= 32;
            }
        }
        while (nbits >= 8) {
            nbits -= 8;
            const std::uint8_t b = std::uint8_t(acc >> nbits);
            Byte(b);
            if (stuff && b == 0xFF) Byte(0);
        }
    }
    // Fills with 1-bits up to the next byte boundary and writes everything.
    void Align() {
        if (nbits & 7) {
            const int fill = 8 - (nbits & 7);
            Bits((1u << fill) - 1, fill);
        }
        Drain();
        acc = 0;
        nbits = 0;
    }
};

CQuavJpegEncoder::CQuavJpegEncoder(int quality) : quality_(std::uint16_t(quality)) {
    standard_ = false;
    InitEncoder();
}

void CQuavJpegEncoder::InitEncoder() {
    InitColorTable();
    InitQuantTable();
    InitHuffmanTable();
}

void CQuavJpegEncoder::InitColorTable() {
    for (int i = 0; i < 256; ++i) {
        colour_[0][i] = 19595 * i;
        colour_[1][i] = 38470 * i;
        colour_[2][i] = 7471 * i + 32768;
        colour_[3][i] = -11059 * i;
        colour_[4][i] = -21709 * i;
        colour_[5][i] = 32768 * i + 8421375;
        colour_[6][i] = 32768 * i + 8421375;
        colour_[7][i] = -27439 * i;
        colour_[8][i] = -5329 * i;
        // The B entries once more with the level shift folded in:
        // (x - 128 * 65536) >> 16 == (x >> 16) - 128 for any x.
        shiftedB_[0][i] = colour_[2][i] - (128 << 16);
        shiftedB_[1][i] = colour_[5][i] - (128 << 16);
        shiftedB_[2][i] = colour_[8][i] - (128 << 16);
    }
}

void CQuavJpegEncoder::ScaleTable(const std::uint8_t* base, int scale, std::uint8_t* table) {
    for (int i = 0; i < 64; ++i) {
        int v = (int(base[i]) * scale + 50) / 100;
        if (v <= 0) v = 1;
        if (v > 255) v = 255;
        table[i] = std::uint8_t(v);
    }
}

void CQuavJpegEncoder::InitQuantTable() {
    int q = quality_;
    if (q == 0) q = 1;
    if (q > 100) q = 100;
    scale_ = std::uint16_t(q < 50 ? 5000 / q : 200 - 2 * q);
    ScaleTable(kBaseLum, scale_, lumTable_);
    ScaleTable(kBaseChrom, scale_, chromTable_);
    for (int i = 0; i < 64; ++i) {
        lumDiv_[i] = std::uint16_t((std::uint32_t(lumTable_[i]) * kAanScales[i] + 1024) >> 11);
        chromDiv_[i] =
            std::uint16_t((std::uint32_t(chromTable_[i]) * kAanScales[i] + 1024) >> 11);
    }
    // Exact reciprocals: with recip = floor(2^31 / d) + 1, the excess
    // e = recip * d - 2^31 is at most d, so (t * recip) >> 31 == t / d
    // whenever t * d < 2^31. DCT outputs of 8-bit samples stay below
    // 2^15 and divisors below 2^12, so every dividend qualifies.
    auto fill = [](const std::uint16_t* div, QuantSet& qs) {
        for (int i = 0; i < 64; ++i) {
            qs.half[i] = std::uint32_t(div[i]) >> 1u;
            qs.thr[i] = std::int32_t(div[i] - qs.half[i]);
            qs.recip[i] = std::uint32_t((std::uint64_t(1) << 31) / div[i] + 1);
        }
    };
    fill(lumDiv_, lumQ_);
    fill(chromDiv_, chromQ_);
}

void CQuavJpegEncoder::ComputeHuffmanTable(const std::uint8_t* bits, const std::uint8_t* val,
                                           tag_HUFFMAN_TABLE& t) {
    std::memset(&t, 0, sizeof t);
    std::memcpy(t.bits, bits, 17);
    int count = 0;
    for (int l = 1; l <= 16; ++l) count += bits[l];
    std::memcpy(t.val, val, std::size_t(count));
    // Canonical codes, shortest first.
    std::uint32_t code = 0;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < bits[l]; ++i) {
            t.code[val[k]] = code;
            t.size[val[k]] = std::uint8_t(l);
            ++code;
            ++k;
        }
        code <<= 1;
    }
}

void CQuavJpegEncoder::InitHuffmanTable() {
    for (int i = 0; i < 4; ++i) ComputeHuffmanTable(kBits[i], kVals[i], huff_[i]);
}

std::size_t CQuavJpegEncoder::MaxOutputSize(int width, int height, int mode, bool standard) {
    if (!ValidSize(width, height)) return 0;
    const SamplingGeometry g = GeometryFor(width, height, mode);
    const std::size_t mcus = std::size_t(g.mcusX) * std::size_t(g.mcusY);
    // Worst block: DC code and bits 22, 63 AC codes of at most 16 + 10 bits,
    // EOB: 1664 bits = 208 bytes; twice that when every byte is stuffed.
    const std::size_t block = standard ? 416 : 208;
    const std::size_t perMcu = std::size_t(g.yBlocks + 2) * block + 2;
    const std::size_t fixed =
        standard ? 2 + 18 + 134 + 420 + 19 + 14 + 4 + 2
                 : kDevHeaderSize + kDevQuantSize + kDevHuffSize + mcus * kDevIndexEntrySize;
    return fixed + mcus * perMcu;
}

bool CQuavJpegEncoder::Begin(int width, int height, int mode, std::uint8_t* output,
                             std::size_t cap, Writer& w) {
    if (!output || !ValidSize(width, height)) return false;
    width_ = width;
    height_ = height;
    samplingIndex_ = mode & 3;
    mode_ = mode;
    geo_ = GeometryFor(width, height, mode);
    pred_[0] = pred_[1] = pred_[2] = 0;
    w.out = output;
    w.cap = cap;
    w.pos = 0;
    w.acc = 0;
    w.nbits = 0;
    w.stuff = standard_;
    w.overflow = false;
    return WriteJpegHeader(w);
}

bool CQuavJpegEncoder::write_app0(Writer& w) {
    static const std::uint8_t app0[18] = {0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F', 0x00,
                                          0x01, 0x01, 0x01, 0x01, 0x2C, 0x01, 0x2C, 0x00, 0x00};
    w.Bytes(app0, sizeof app0);
    return !w.overflow;
}

bool CQuavJpegEncoder::write_sof(Writer& w, std::uint8_t marker) {
    static const std::uint8_t sampling[4] = {0x11, 0x21, 0x12, 0x22};
    const std::uint8_t sof[19] = {0xFF,
                                  marker,
                                  0x00,
                                  0x11,
                                  0x08,
                                  std::uint8_t(height_ >> 8),
                                  std::uint8_t(height_),
                                  std::uint8_t(width_ >> 8),
                                  std::uint8_t(width_),
                                  0x03,
                                  0x01,
                                  sampling[samplingIndex_],
                                  0x00,
                                  0x02,
                                  0x11,
                                  0x01,
                                  0x03,
                                  0x11,
                                  0x01};
    w.Bytes(sof, sizeof sof);
    return !w.overflow;
}

bool CQuavJpegEncoder::write_sos(Writer& w) {
    static const std::uint8_t sos[14] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                                         0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
    w.Bytes(sos, sizeof sos);
    return !w.overflow;
}

bool CQuavJpegEncoder::WriteJpegHeader(Writer& w) {
    // Bodies of the DQT and DHT segments (from their length bytes on), shared
    // by both containers.
    std::uint8_t dqt[kDevQuantSize];
    dqt[0] = 0x00;
    dqt[1] = 0x84;
    dqt[2] = 0x00;
    for (int k = 0; k < 64; ++k) dqt[3 + k] = lumTable_[kZigzag[k]];
    dqt[67] = 0x01;
    for (int k = 0; k < 64; ++k) dqt[68 + k] = chromTable_[kZigzag[k]];

    std::uint8_t dht[kDevHuffSize];
    std::size_t n = 0;
    dht[n++] = 0x01;
    dht[n++] = 0xA2;
    static const std::uint8_t classId[4] = {0x00, 0x10, 0x01, 0x11};
    for (int t = 0; t < 4; ++t) {
        dht[n++] = classId[t];
        std::memcpy(dht + n, kBits[t] + 1, 16);
        n += 16;
        std::memcpy(dht + n, kVals[t], std::size_t(kValCount[t]));
        n += std::size_t(kValCount[t]);
    }

    if (standard_) {
        w.Word(0xFFD8);
        write_app0(w);
        w.Word(0xFFDB);
        w.Bytes(dqt, sizeof dqt);
        w.Word(0xFFC4);
        w.Bytes(dht, sizeof dht);
        write_sof(w, 0xC0);
        write_sos(w);
        return !w.overflow;
    }

    const std::uint8_t header[kDevHeaderSize] = {std::uint8_t(width_ >> 8),
                                                 std::uint8_t(width_),
                                                 std::uint8_t(height_ >> 8),
                                                 std::uint8_t(height_),
                                                 std::uint8_t(samplingIndex_),
                                                 0,
                                                 1,
                                                 1,
                                                 0,
                                                 1,
                                                 1,
                                                 0,
                                                 1,
                                                 1,
                                                 0,
                                                 0};
    w.Bytes(header, sizeof header);
    const std::size_t indexBytes =
        std::size_t(geo_.mcusX) * std::size_t(geo_.mcusY) * kDevIndexEntrySize;
    if (w.overflow || w.cap - w.pos < indexBytes) {
        w.overflow = true;
        return false;
    }
    w.index = w.out + w.pos;
    std::memset(w.index, 0, indexBytes);
    w.pos += indexBytes;
    w.Bytes(dqt, sizeof dqt);
    w.Bytes(dht, sizeof dht);
    return !w.overflow;
}

namespace {

// Colour conversion of one MCU for sampling index Idx, all sizes known at
// compile time. The blocks come out transposed (sample (row, col) at
// col * 8 + row), the order the forward DCT's row pass works on.
template <int Idx>
void ConvertMcu(const std::uint8_t* const* rows, const std::int32_t (*colour)[256],
                const std::int32_t (*shiftedB)[256], std::int32_t* blocks) {
    constexpr bool subH = (Idx & 1) != 0, subV = (Idx & 2) != 0;
    constexpr int mcuW = subH ? 16 : 8, mcuH = subV ? 16 : 8;
    constexpr int nY = (mcuW / 8) * (mcuH / 8);
    std::int32_t* const cb = blocks + nY * 64;
    std::int32_t* const cr = cb + 64;
    const std::int32_t *ry = colour[0], *gy = colour[1], *by = shiftedB[0];
    const std::int32_t *rcb = colour[3], *gcb = colour[4], *bcb = shiftedB[1];
    const std::int32_t *rcr = colour[6], *gcr = colour[7], *bcr = shiftedB[2];
    // Y: every pixel, into block (col / 8) + 2 * (row / 8) of a 16-wide MCU
    // or block (row / 8) of an 8-wide one, row by row.
    for (int row = 0; row < mcuH; ++row) {
        for (int half = 0; half < mcuW / 8; ++half) {
            const std::uint8_t* q = rows[row] + half * 24;
            std::int32_t* dst =
                blocks + (mcuW == 16 ? half + 2 * (row >> 3) : (row >> 3)) * 64 + (row & 7);
            for (int col = 0; col < 8; ++col, q += 3)
                dst[col * 8] = (ry[q[2]] + gy[q[1]] + by[q[0]]) >> 16;
        }
    }
    // Cb, Cr: decimated (the top-left pixel of each group), row by row.
    constexpr int rowStep = subV ? 2 : 1, colStep = subH ? 2 : 1;
    for (int row = 0, ci = 0; row < mcuH; row += rowStep, ++ci) {
        const std::uint8_t* q = rows[row];
        for (int k = 0; k < 8; ++k, q += 3 * colStep) {
            const int b = q[0], g = q[1], r = q[2];
            cb[k * 8 + ci] = (rcb[r] + gcb[g] + bcb[b]) >> 16;
            cr[k * 8 + ci] = (rcr[r] + gcr[g] + bcr[b]) >> 16;
        }
    }
}

}  // namespace

void CQuavJpegEncoder::BGRToYCbCrEx(const std::uint8_t* const* rows, std::int32_t* blocks) const {
    switch (samplingIndex_) {
        case 0: ConvertMcu<0>(rows, colour_, shiftedB_, blocks); break;
        case 1: ConvertMcu<1>(rows, colour_, shiftedB_, blocks); break;
        case 2: ConvertMcu<2>(rows, colour_, shiftedB_, blocks); break;
        default: ConvertMcu<3>(rows, colour_, shiftedB_, blocks); break;
    }
}

namespace {

// One 8-point pass of the integer AAN forward DCT over the eight lines of a
// block: elements of a line are Step apart, lines are Next apart.
template <int Step, int Next>
inline void Dct8(std::int32_t* data) {
    constexpr std::int32_t c0_707 = 181, c0_382 = 98, c0_541 = 139, c1_306 = 334;
    for (int line = 0; line < 8; ++line) {
        std::int32_t* d = data + line * Next;
        const std::int32_t tmp0 = d[0 * Step] + d[7 * Step];
        const std::int32_t tmp7 = d[0 * Step] - d[7 * Step];
        const std::int32_t tmp1 = d[1 * Step] + d[6 * Step];
        const std::int32_t tmp6 = d[1 * Step] - d[6 * Step];
        const std::int32_t tmp2 = d[2 * Step] + d[5 * Step];
        const std::int32_t tmp5 = d[2 * Step] - d[5 * Step];
        const std::int32_t tmp3 = d[3 * Step] + d[4 * Step];
        const std::int32_t tmp4 = d[3 * Step] - d[4 * Step];

        std::int32_t tmp10 = tmp0 + tmp3;
        const std::int32_t tmp13 = tmp0 - tmp3;
        std::int32_t tmp11 = tmp1 + tmp2;
        std::int32_t tmp12 = tmp1 - tmp2;
        d[0 * Step] = tmp10 + tmp11;
        d[4 * Step] = tmp10 - tmp11;
        const std::int32_t z1 = ((tmp12 + tmp13) * c0_707) >> 8;
        d[2 * Step] = tmp13 + z1;
        d[6 * Step] = tmp13 - z1;

        tmp10 = tmp4 + tmp5;
        tmp11 = tmp5 + tmp6;
        tmp12 = tmp6 + tmp7;
        const std::int32_t z5 = ((tmp10 - tmp12) * c0_382) >> 8;
        const std::int32_t z2 = ((tmp10 * c0_541) >> 8) + z5;
        const std::int32_t z4 = ((tmp12 * c1_306) >> 8) + z5;
        const std::int32_t z3 = (tmp11 * c0_707) >> 8;
        const std::int32_t z11 = tmp7 + z3;
        const std::int32_t z13 = tmp7 - z3;
        d[5 * Step] = z13 + z2;
        d[3 * Step] = z13 - z2;
        d[1 * Step] = z11 + z4;
        d[7 * Step] = z11 - z4;
    }
}

}  // namespace

namespace {

// The forward DCT of the block t given transposed (t[col * 8 + row]; used
// as scratch) into `out` in natural order.
inline void DctOfTransposed(std::int32_t* t, std::int32_t* out) {
    Dct8<8, 1>(t);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) out[r * 8 + c] = t[c * 8 + r];
    Dct8<8, 1>(out);
}

}  // namespace

void CQuavJpegEncoder::ForwardDct(std::int32_t* data) {
    // Integer AAN forward DCT, 8 fractional bits in the constants, products
    // truncated by an arithmetic shift; rows first, then columns. The output
    // is scaled by the AAN factors, which the quantisation divisors undo.
    // Each pass runs across the eight lines at once, over contiguous
    // elements, which the compiler vectorises; the row pass does so on the
    // transposed block.
    std::int32_t t[64];
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) t[c * 8 + r] = data[r * 8 + c];
    DctOfTransposed(t, data);
}

void CQuavJpegEncoder::CompressOneTile(const std::uint8_t* const* rows,
                                       std::int32_t* blocks) const {
    std::int32_t transposed[6 * 64];
    BGRToYCbCrEx(rows, transposed);
    for (int b = 0; b < geo_.yBlocks + 2; ++b) DctOfTransposed(transposed + b * 64, blocks + b * 64);
}

namespace {

// kZigzagBits[r][b]: the bits, in zigzag order, of the natural positions
// 8r .. 8r+7 whose bits are set in b.
struct ZigzagBits {
    std::uint64_t t[8][256];
};
constexpr ZigzagBits MakeZigzagBits() {
    ZigzagBits z{};
    int pos[64] = {};
    for (int k = 0; k < 64; ++k) pos[CQuavJpegEncoder::kZigzag[k]] = k;
    for (int r = 0; r < 8; ++r)
        for (int b = 0; b < 256; ++b) {
            std::uint64_t m = 0;
            for (int c = 0; c < 8; ++c)
                if (b & (1 << c)) m |= std::uint64_t(1) << pos[r * 8 + c];
            z.t[r][b] = m;
        }
    return z;
}
constexpr ZigzagBits kZigzagBits = MakeZigzagBits();

}  // namespace

std::uint64_t CQuavJpegEncoder::Quantize(const std::int32_t* coef, const QuantSet& qs) {
    // A value quantises to non-zero exactly when |c| + d/2 >= d. The test
    // runs as one straight (vectorisable) loop giving a byte per position;
    // the bytes of each row are gathered into 8 bits by one multiplication
    // (byte j lands on bit 56 + j, with no carries) and the rows' bits are
    // moved to their zigzag positions by table.
    alignas(16) std::uint8_t nz[64];
    for (int i = 0; i < 64; ++i) {
        const std::int32_t c = coef[i];
        const std::int32_t sign = c >> 31;
        nz[i] = std::uint8_t(((c ^ sign) - sign) >= qs.thr[i]);
    }
    std::uint64_t mask = 0;
    for (int r = 0; r < 8; ++r) {
        std::uint64_t row;
        std::memcpy(&row, nz + 8 * r, 8);
        if (row == 0) continue;
        if constexpr (std::endian::native == std::endian::big) {
            // Byte j of the row belongs at bits 8j.
            std::uint64_t swapped = 0;
            for (int j = 0; j < 8; ++j) swapped |= ((row >> (56 - 8 * j)) & 0xFF) << (8 * j);
            row = swapped;
        }
        mask |= kZigzagBits.t[r][(row * 0x0102040810204080ull) >> 56];
    }
    return mask;
}

bool CQuavJpegEncoder::HuffmanEncode(const std::int32_t* coef, const QuantSet& qs,
                                     int component, Writer& w) {
    const tag_HUFFMAN_TABLE& dct = huff_[component == 0 ? 0 : 2];
    const tag_HUFFMAN_TABLE& ac = huff_[component == 0 ? 1 : 3];

    // The bit accumulator is kept in locals: byte stores through the output
    // pointer could otherwise alias the writer's fields and force reloads.
    std::uint64_t acc = w.acc;
    int bits = w.nbits;
    auto put = [&](std::uint32_t code, int len) {
        acc = (acc << len) | code;
        bits += len;
        if (bits >= 32) {
            w.acc = acc;
            w.nbits = bits;
            w.Drain();
            acc = w.acc;
            bits = w.nbits;
        }
    };
    auto done = [&]() {
        w.acc = acc;
        w.nbits = bits;
        return !w.overflow;
    };

    const std::uint64_t nonzero = Quantize(coef, qs);
    const std::int32_t dc = QuantizeOne(coef, qs, 0);
    const std::int32_t diff = dc - pred_[component];
    pred_[component] = dc;
    {
        const std::uint32_t mag = std::uint32_t(diff < 0 ? -diff : diff);
        const int cat = BitLength(mag);
        if (cat > 11 || dct.size[cat] == 0) return done();  // no code: the block stops here
        const std::uint32_t extra = std::uint32_t(diff < 0 ? diff - 1 : diff) & ((1u << cat) - 1);
        put((dct.code[cat] << cat) | extra, dct.size[cat] + cat);
    }

    // AC values in zigzag order: zero runs, ZRL for every 16 zeros, EOB when
    // the block ends in zeros. Only the non-zero values are quantised, as a
    // magnitude and a sign: the extra bits of a negative value v (the low
    // bits of v - 1 = -m - 1 = ~m) are those of ~m.
    std::uint64_t rest = nonzero & ~std::uint64_t(1);
    int last = 0;
    while (rest) {
        const int k = std::countr_zero(rest);
        rest &= rest - 1;
        int run = k - last - 1;
        last = k;
        const int i = kZigzag[k];
        const std::int32_t c = coef[i];
        const std::uint32_t sign = std::uint32_t(c >> 31);
        std::uint32_t mag = std::uint32_t(
            ((std::uint64_t((std::uint32_t(c) ^ sign) - sign + qs.half[i])) * qs.recip[i]) >> 31);
        // Baseline AC values have at most 10 magnitude bits; a value beyond
        // that (possible only at the finest qualities) is saturated so that
        // the stream stays decodable.
        mag = mag > 1023 ? 1023 : mag;
        while (run > 15) {
            put(ac.code[0xF0], ac.size[0xF0]);
            run -= 16;
        }
        const int nbits = BitLength(mag);
        const int sym = run * 16 + nbits;
        if (ac.size[sym] == 0) return done();
        const std::uint32_t extra = (mag ^ sign) & ((1u << nbits) - 1);
        put((ac.code[sym] << nbits) | extra, ac.size[sym] + nbits);
    }
    if (last < 63) put(ac.code[0x00], ac.size[0x00]);
    return done();
}

bool CQuavJpegEncoder::CodeMcu(const std::int32_t* blocks, Writer& w) {
    const int nY = geo_.yBlocks;
    if (!standard_) {
        // MCU index entry: the predictors before this MCU and the distance
        // from the entry to the MCU's first data byte, all little-endian.
        std::uint8_t* e = w.index;
        const std::size_t dist = std::size_t((w.out + w.pos) - e);
        const std::uint16_t vals[4] = {std::uint16_t(pred_[0]), std::uint16_t(pred_[1]),
                                       std::uint16_t(pred_[2]), std::uint16_t(dist)};
        for (int i = 0; i < 4; ++i) {
            e[2 * i] = std::uint8_t(vals[i]);
            e[2 * i + 1] = std::uint8_t(vals[i] >> 8);
        }
        w.index += kDevIndexEntrySize;
        HuffmanEncode(blocks + nY * 64, chromQ_, 1, w);
        HuffmanEncode(blocks + (nY + 1) * 64, chromQ_, 2, w);
        for (int b = 0; b < nY; ++b) HuffmanEncode(blocks + b * 64, lumQ_, 0, w);
        w.Align();
    } else {
        for (int b = 0; b < nY; ++b) HuffmanEncode(blocks + b * 64, lumQ_, 0, w);
        HuffmanEncode(blocks + nY * 64, chromQ_, 1, w);
        HuffmanEncode(blocks + (nY + 1) * 64, chromQ_, 2, w);
    }
    return !w.overflow;
}

bool CQuavJpegEncoder::Finish(Writer& w, std::size_t& outSize) {
    if (standard_) {
        w.Align();
        w.Byte(0xFF);
        w.Byte(0xD9);
    }
    if (w.overflow) return false;
    outSize = w.pos;
    return true;
}

bool CQuavJpegEncoder::CompressImage(const std::uint8_t* input, std::uint8_t* output,
                                     std::size_t outCapacity, int width, int height,
                                     std::size_t& outSize, int mode) {
    if (!input || !output || !ValidSize(width, height)) return false;
    const std::size_t stride = BmpRowStride(width);
    Writer w;
    if (!Begin(width, height, mode, output, outCapacity, w)) return false;
    std::uint8_t tile[16 * kTileStride];
    const std::uint8_t* rows[16];
    std::int32_t blocks[6 * 64];
    for (int my = 0; my < geo_.mcusY; ++my) {
        for (int mx = 0; mx < geo_.mcusX; ++mx) {
            McuRows(input, width, height, stride, geo_, mx, my, tile, rows);
            CompressOneTile(rows, blocks);
            if (!CodeMcu(blocks, w)) return false;
        }
    }
    return Finish(w, outSize);
}

bool CQuavJpegEncoder::CompressDct(const CDctPicture& picture, std::uint8_t* output,
                                   std::size_t outCapacity, std::size_t& outSize) {
    if (picture.Empty()) return false;
    Writer w;
    if (!Begin(picture.Width(), picture.Height(), picture.Mode(), output, outCapacity, w))
        return false;
    const std::size_t mcus = std::size_t(geo_.mcusX) * std::size_t(geo_.mcusY);
    for (std::size_t i = 0; i < mcus; ++i)
        if (!CodeMcu(picture.Mcu(i), w)) return false;
    return Finish(w, outSize);
}

bool CDctPicture::Build(const std::uint8_t* input, int width, int height, int mode) {
    coeffs_.reset();
    if (!input || !ValidSize(width, height)) return false;
    width_ = width;
    height_ = height;
    mode_ = mode;
    geo_ = GeometryFor(width, height, mode);
    // The colour tables do not depend on the quality; any encoder object
    // converts the same way.
    CQuavJpegEncoder enc(50);
    enc.width_ = width;
    enc.height_ = height;
    enc.samplingIndex_ = mode & 3;
    enc.mode_ = mode;
    enc.geo_ = geo_;
    const std::size_t perMcu = std::size_t(geo_.yBlocks + 2) * 64;
    coeffs_.reset(new std::int32_t[std::size_t(geo_.mcusX) * std::size_t(geo_.mcusY) * perMcu]);
    const std::size_t stride = BmpRowStride(width);
    std::uint8_t tile[16 * kTileStride];
    const std::uint8_t* rows[16];
    std::int32_t* dst = coeffs_.get();
    for (int my = 0; my < geo_.mcusY; ++my) {
        for (int mx = 0; mx < geo_.mcusX; ++mx) {
            McuRows(input, width, height, stride, geo_, mx, my, tile, rows);
            enc.CompressOneTile(rows, dst);
            dst += perMcu;
        }
    }
    return true;
}

}  // namespace kestova
