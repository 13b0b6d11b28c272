// SPDX-License-Identifier: GPL-3.0-or-later
// The fixed tables and the device picture format, in one place for the
// encoder, the decoder and their tests: the zigzag order, the Annex K
// quantisation and Huffman tables, the AAN factors of both directions, the
// sizes of the device picture's parts and the MCU geometry of each sampling
// mode. Everything is constexpr, so a wrong entry shows up as one failing
// table test rather than as a disagreement between two copies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestova {

// Zigzag position k -> natural (row-major) index of an 8 x 8 block.
inline constexpr std::uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Natural index -> zigzag position: the inverse of kZigzag, derived from it.
inline constexpr std::array<std::uint8_t, 64> kNaturalToZigzag = [] {
    std::array<std::uint8_t, 64> inv{};
    for (int k = 0; k < 64; ++k) inv[kZigzag[k]] = std::uint8_t(k);
    return inv;
}();

// Base quantisation tables of ITU-T T.81 Annex K (K.1 luminance, K.2
// chrominance), natural order; quality 50 uses them unchanged.
inline constexpr std::uint8_t kBaseLumQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
inline constexpr std::uint8_t kBaseChromQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Forward AAN scale factors round(16384 * s(u) * s(v)), s(0) = 1,
// s(k) = sqrt(2) * cos(k * pi / 16), natural order; the encoder's divisors
// undo them.
inline constexpr std::uint16_t kAanScales[64] = {
    16384, 22725, 21407, 19266, 16384, 12873, 8867,  4520,  22725, 31521, 29692, 26722, 22725,
    17855, 12299, 6270,  21407, 29692, 27969, 25172, 21407, 16819, 11585, 5906,  19266, 26722,
    25172, 22654, 19266, 15137, 10426, 5315,  16384, 22725, 21407, 19266, 16384, 12873, 8867,
    4520,  12873, 17855, 16819, 15137, 12873, 10114, 6967,  3552,  8867,  12299, 11585, 10426,
    8867,  6967,  4799,  2446,  4520,  6270,  5906,  5315,  4520,  3552,  2446,  1247};

// Inverse AAN factors floor(64 * s(u) * s(v)), natural order; the decoder
// folds them into its dequantisation tables.
inline constexpr std::uint16_t kAanFactors[64] = {
    64, 88,  83,  75,  64, 50, 34, 17, 88, 123, 115, 104, 88, 69, 48, 24,
    83, 115, 109, 98,  83, 65, 45, 23, 75, 104, 98,  88,  75, 59, 40, 20,
    64, 88,  83,  75,  64, 50, 34, 17, 50, 69,  65,  59,  50, 39, 27, 13,
    34, 48,  45,  40,  34, 27, 18, 9,  17, 24,  23,  20,  17, 13, 9,  4};

// The typical Huffman tables of Annex K (K.3 to K.6): count lists (entry 0
// unused, entries 1..16 = codes of that length) and symbol lists.
inline constexpr std::uint8_t kDcLumBits[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
inline constexpr std::uint8_t kDcChromBits[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
inline constexpr std::uint8_t kDcVal[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
inline constexpr std::uint8_t kAcLumBits[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
inline constexpr std::uint8_t kAcLumVal[162] = {
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
inline constexpr std::uint8_t kAcChromBits[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
inline constexpr std::uint8_t kAcChromVal[162] = {
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

// The four tables in stream order (luminance DC, luminance AC, chrominance
// DC, chrominance AC) with the class/identifier byte each is written with.
struct HuffmanSpec {
    const std::uint8_t* bits;
    const std::uint8_t* vals;
    int count;
    std::uint8_t classId;
};
inline constexpr HuffmanSpec kHuffmanSpecs[4] = {{kDcLumBits, kDcVal, 12, 0x00},
                                                 {kAcLumBits, kAcLumVal, 162, 0x10},
                                                 {kDcChromBits, kDcVal, 12, 0x01},
                                                 {kAcChromBits, kAcChromVal, 162, 0x11}};
// Most symbols a DC and an AC table of a baseline stream can hold.
inline constexpr int kMaxDcSymbols = 16;
inline constexpr int kMaxAcSymbols = 162;

// The device picture: header, MCU index, quantisation tables, Huffman
// tables, then the MCUs' coded data.
inline constexpr std::size_t kDevHeaderSize = 16;
inline constexpr std::size_t kDevIndexEntrySize = 8;
inline constexpr std::size_t kDevQuantSize = 132;  // body of a two-table DQT segment
inline constexpr std::size_t kDevHuffSize = 418;   // body of the four-table DHT segment
inline constexpr std::size_t kDevIndexOffset = kDevHeaderSize;
// Header bytes: width and height (16-bit big-endian) at 0 and 2, the
// sampling mode at 4, then the quantisation, DC and AC table numbers of Y,
// Cb and Cr, and a reserved 16-bit field.
inline constexpr std::size_t kDevModeByte = 4;
inline constexpr std::size_t kDevQuantTableBytes = 5;  // Y, Cb, Cr: 5, 6, 7
inline constexpr std::size_t kDevDcTableBytes = 8;     // 8, 9, 10
inline constexpr std::size_t kDevAcTableBytes = 11;    // 11, 12, 13
inline constexpr int kMaxSamplingMode = 3;

// Offset of the first coded byte of a device picture with `mcus` MCUs
// (566 + 8 per MCU).
constexpr std::size_t DevDataOffset(std::size_t mcus) {
    return kDevHeaderSize + mcus * kDevIndexEntrySize + kDevQuantSize + kDevHuffSize;
}

// SOF sampling byte (H/V of component 1) of each sampling mode.
inline constexpr std::uint8_t kSamplingByte[4] = {0x11, 0x21, 0x12, 0x22};

// Geometry of one sampling mode (mode & 3): 0 = 1x1, 1 = 2x1, 2 = 1x2, 3 = 2x2.
struct SamplingGeometry {
    int yBlocks;    // Y blocks per MCU
    int mcuWidth;   // pixels
    int mcuHeight;  // pixels
    int mcusX;      // MCUs per row
    int mcusY;      // MCU rows
};
constexpr SamplingGeometry GeometryFor(int width, int height, int mode) {
    SamplingGeometry g{};
    const int idx = mode & 3;
    g.mcuWidth = 8 * ((idx & 1) + 1);
    g.mcuHeight = 8 * ((idx & 2) / 2 + 1);
    g.yBlocks = (g.mcuWidth / 8) * (g.mcuHeight / 8);
    g.mcusX = width > 0 ? (width + g.mcuWidth - 1) / g.mcuWidth : 0;
    g.mcusY = height > 0 ? (height + g.mcuHeight - 1) / g.mcuHeight : 0;
    return g;
}

}  // namespace kestova
