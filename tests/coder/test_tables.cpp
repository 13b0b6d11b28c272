// SPDX-License-Identifier: GPL-3.0-or-later
// The one table set the encoder and the decoder share (CodecTables.h),
// checked against values worked out here independently: a wrong entry fails
// in this file, once, whichever of the codecs it would have broken.
#include <gtest/gtest.h>

#include <cmath>

#include "common/coder/CodecTables.h"
#include "tests/coder/coder_test_util.h"

using namespace kestova;

namespace {

double S(int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * M_PI / 16.0); }

}  // namespace

TEST(CodecTables, ZigzagWalksTheAntiDiagonalsInBothDirections) {
    const std::vector<int> walk = testutil::ZigzagWalk();
    ASSERT_EQ(walk.size(), 64u);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(kZigzag[k], walk[std::size_t(k)]) << "zigzag position " << k;
        EXPECT_EQ(kNaturalToZigzag[std::size_t(walk[std::size_t(k)])], k)
            << "natural index " << walk[std::size_t(k)];
    }
}

TEST(CodecTables, AanFactorsOfBothDirectionsFollowTheCosineFormula) {
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            const double s = S(u) * S(v);
            EXPECT_EQ(kAanScales[u * 8 + v], std::lround(16384.0 * s)) << u << "," << v;
            EXPECT_EQ(kAanFactors[u * 8 + v], int(std::floor(64.0 * s + 1e-9))) << u << "," << v;
        }
}

TEST(CodecTables, HuffmanSpecsAreTheTypicalTablesInStreamOrder) {
    // Class/identifier bytes, symbol counts and the sum of the count lists.
    const std::uint8_t classes[4] = {0x00, 0x10, 0x01, 0x11};
    const int counts[4] = {12, 162, 12, 162};
    std::size_t body = 2;
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(kHuffmanSpecs[t].classId, classes[t]);
        EXPECT_EQ(kHuffmanSpecs[t].count, counts[t]);
        int sum = 0;
        for (int l = 1; l <= 16; ++l) sum += kHuffmanSpecs[t].bits[l];
        EXPECT_EQ(sum, counts[t]);
        EXPECT_EQ(kHuffmanSpecs[t].bits[0], 0);
        body += 1 + 16 + std::size_t(counts[t]);
    }
    EXPECT_EQ(body, kDevHuffSize);
    EXPECT_EQ(kDevQuantSize, 2u + 2u * 65u);
}

TEST(CodecTables, GeometryAndDeviceLayoutOfEachMode) {
    struct Case {
        int w, h, mode, yBlocks, mcuW, mcuH, mcusX, mcusY;
    } cases[] = {
        {128, 128, 3, 4, 16, 16, 8, 8},  {220, 176, 3, 4, 16, 16, 14, 11},
        {130, 100, 0, 1, 8, 8, 17, 13},  {17, 5, 1, 2, 16, 8, 2, 1},
        {17, 17, 2, 2, 8, 16, 3, 2},     {1, 1, 4, 1, 8, 8, 1, 1},  // mode 4 acts as 0
        {0, 5, 3, 4, 16, 16, 0, 1},
    };
    for (const Case& c : cases) {
        const SamplingGeometry g = GeometryFor(c.w, c.h, c.mode);
        EXPECT_EQ(g.yBlocks, c.yBlocks) << c.w << "x" << c.h << " mode " << c.mode;
        EXPECT_EQ(g.mcuWidth, c.mcuW) << c.w << "x" << c.h << " mode " << c.mode;
        EXPECT_EQ(g.mcuHeight, c.mcuH) << c.w << "x" << c.h << " mode " << c.mode;
        EXPECT_EQ(g.mcusX, c.mcusX) << c.w << "x" << c.h << " mode " << c.mode;
        EXPECT_EQ(g.mcusY, c.mcusY) << c.w << "x" << c.h << " mode " << c.mode;
    }
    // A 128 x 128 picture in mode 3: 64 MCUs, data from byte 1078.
    EXPECT_EQ(DevDataOffset(64), 1078u);
    EXPECT_EQ(kSamplingByte[3], 0x22);
}
