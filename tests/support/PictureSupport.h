// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test pictures the session tests share: noise around mid grey and its
// device-picture bytes.

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace kestova::test {

// Random noise of `amplitude` around mid grey (deterministic per seed).
inline RgbImage Noise(int w, int h, int amplitude, unsigned seed = 3)
{
    RgbImage img;
    img.width = w;
    img.height = h;
    img.rgb.resize(size_t(w) * size_t(h) * 3);
    std::mt19937 rng(seed);
    for (auto& v : img.rgb)
        v = uint8_t(std::clamp(128 + int(rng() % unsigned(2 * amplitude + 1)) - amplitude, 0, 255));
    return img;
}

// The picture as the frame stores it.
inline std::vector<uint8_t> DevicePicture(const RgbImage& img, int quality = 90)
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(CKv350Encoder::Encode(img, quality, 3, false, out));
    return out;
}

} // namespace kestova::test
