// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the small seed corpora of the codec fuzz targets:
//   seed_generator <fuzz/corpus directory>
// Device pictures of a few sizes, modes and qualities, and BMP files of the
// depths and orientations the readers handle.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/coder/Bmp.h"
#include "common/files/SafeFile.h"
#include "common/coder/Kv350Encoder.h"

using namespace kestova;

namespace {

RgbImage Pattern(int w, int h) {
    RgbImage img{w, h, std::vector<std::uint8_t>(std::size_t(w) * h * 3)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &img.rgb[(std::size_t(y) * w + x) * 3];
            p[0] = std::uint8_t(x * 9 + y);
            p[1] = std::uint8_t((x ^ y) * 5);
            p[2] = std::uint8_t(y * 11);
        }
    return img;
}

void Put(const std::filesystem::path& p, const std::vector<std::uint8_t>& d) {
    if (!WriteFileSafely(p.string(), d.data(), d.size(), SafeWriteMode::Replace)) std::fprintf(stderr, "cannot write %s\n", p.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed_generator <corpus dir>\n");
        return 2;
    }
    const std::filesystem::path root(argv[1]);
    const auto dev = root / "fuzz_device_picture";
    const auto bmp = root / "fuzz_bmp";
    std::filesystem::create_directories(dev);
    std::filesystem::create_directories(bmp);
    struct Case { int w, h, q, mode; } cases[] = {
        {8, 8, 50, 0}, {16, 16, 90, 3}, {17, 9, 75, 3}, {24, 16, 100, 1}, {16, 24, 30, 2}, {1, 1, 90, 3}, {40, 24, 10, 0}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out;
        if (CKv350Encoder::Encode(Pattern(c.w, c.h), c.q, c.mode, false, out))
            Put(dev / ("seed_" + std::to_string(c.w) + "x" + std::to_string(c.h) + "_m" + std::to_string(c.mode) + "_q" + std::to_string(c.q)), out);
    }
    Put(bmp / "seed_24_13x5", EncodeBmp24(Pattern(13, 5)));
    Put(bmp / "seed_24_4x4", EncodeBmp24(Pattern(4, 4)));
    {
        // 16-bit 5-5-5, 3 x 2.
        std::vector<std::uint8_t> d = EncodeBmp24(Pattern(3, 2));
        d.resize(54);
        d[28] = 16;
        const std::uint16_t px[6] = {0x7FFF, 0x001F, 0x03E0, 0x7C00, 0x8000, 0x4210};
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 3; ++x) {
                d.push_back(std::uint8_t(px[y * 3 + x]));
                d.push_back(std::uint8_t(px[y * 3 + x] >> 8));
            }
            d.push_back(0);
            d.push_back(0);
        }
        Put(bmp / "seed_16_3x2", d);
    }
    {
        // 32-bit top-down, 2 x 2.
        std::vector<std::uint8_t> d = EncodeBmp24(Pattern(2, 2));
        d.resize(54);
        d[28] = 32;
        d[22] = 0xFE;
        d[23] = d[24] = d[25] = 0xFF;
        for (int i = 0; i < 16; ++i) d.push_back(std::uint8_t(i * 17));
        Put(bmp / "seed_32_topdown_2x2", d);
    }
    return 0;
}
