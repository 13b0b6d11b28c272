// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the BMP readers (general reader and the prepared-bitmap
// reader of the encoder) on arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/coder/Bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestova::RgbImage img;
    std::string error;
    if (kestova::ParseBmp(data, size, img, &error)) {
        if (img.rgb.size() != std::size_t(img.width) * std::size_t(img.height) * 3) std::abort();
        // What we write, we read back unchanged.
        const std::vector<std::uint8_t> again = kestova::EncodeBmp24(img);
        kestova::RgbImage back;
        if (!kestova::ParseBmp(again.data(), again.size(), back) || back.rgb != img.rgb) std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    // The encoder's reader at the size the header claims (kept small) and at
    // a fixed LCD size.
    if (size >= 26) {
        const std::int32_t w = std::int32_t(data[18] | (data[19] << 8) | (data[20] << 16) | (std::uint32_t(data[21]) << 24));
        const std::int32_t h = std::int32_t(data[22] | (data[23] << 8) | (data[24] << 16) | (std::uint32_t(data[25]) << 24));
        const int aw = w < 0 ? -(w % 512) : w % 512;
        const int ah = h < 0 ? -(h % 512) : h % 512;
        for (const auto& [cw, ch] : {std::pair{aw, ah}, std::pair{aw, -ah}, std::pair{128, 128}}) {
            const std::size_t need = kestova::EncoderInputSize(cw, ch);
            if (!need) continue;
            std::vector<std::uint8_t> out(need);
            kestova::LoadPicFromMemory(data, size, out.data(), out.size(), cw, ch);
        }
    }
    return 0;
}
