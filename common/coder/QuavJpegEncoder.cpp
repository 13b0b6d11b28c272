// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/coder/QuavJpegEncoder.h"

#include <algorithm>
#include <cstring>

#include "common/coder/Bmp.h"
#include "common/coder/EncoderStages.h"

namespace kestova {

namespace {

// Tile buffer: up to 16 rows of 16 pixels, 3 bytes each.
constexpr int kTileStride = 48;

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


CQuavJpegEncoder::CQuavJpegEncoder(int quality) : quality_(std::uint16_t(quality)) {
    standard_ = false;
    InitEncoder();
}

void CQuavJpegEncoder::InitEncoder() {
    kernels_ = &encoder::ActiveKernels();
    InitQuantTable();
    InitHuffmanTable();
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
    ScaleTable(kBaseLumQuant, scale_, lumTable_);
    ScaleTable(kBaseChromQuant, scale_, chromTable_);
    for (int i = 0; i < 64; ++i) {
        lumDiv_[i] = std::uint16_t((std::uint32_t(lumTable_[i]) * kAanScales[i] + 1024) >> 11);
        chromDiv_[i] =
            std::uint16_t((std::uint32_t(chromTable_[i]) * kAanScales[i] + 1024) >> 11);
    }
    // Exact reciprocals: with recip = floor(2^31 / d) + 1, the excess
    // e = recip * d - 2^31 is at most d, so (t * recip) >> 31 == t / d
    // whenever t * d < 2^31. DCT outputs of 8-bit samples stay below
    // 2^15 and divisors below 2^12, so every dividend qualifies.
    auto fill = [](const std::uint16_t* div, encoder::QuantSet& qs) {
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
    for (int i = 0; i < 4; ++i)
        ComputeHuffmanTable(kHuffmanSpecs[i].bits, kHuffmanSpecs[i].vals, huff_[i]);
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
                                  kSamplingByte[samplingIndex_],
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
    for (const HuffmanSpec& t : kHuffmanSpecs) {
        dht[n++] = t.classId;
        std::memcpy(dht + n, t.bits + 1, 16);
        n += 16;
        std::memcpy(dht + n, t.vals, std::size_t(t.count));
        n += std::size_t(t.count);
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

void CQuavJpegEncoder::ForwardDct(std::int32_t* data) {
    std::int32_t t[64];
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) t[c * 8 + r] = data[r * 8 + c];
    encoder::ActiveKernels().fdct(t, data);
}

void CQuavJpegEncoder::CompressOneTile(const std::uint8_t* const* rows,
                                       std::int32_t* blocks) const {
    alignas(32) std::int32_t transposed[6 * 64];
    kernels_->convert[samplingIndex_](rows, transposed);
    for (int b = 0; b < geo_.yBlocks + 2; ++b)
        kernels_->fdct(transposed + b * 64, blocks + b * 64);
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
    alignas(32) std::int32_t blocks[6 * 64];
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
    // Colour conversion and DCT do not depend on the quality; any encoder
    // object does them the same way.
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
