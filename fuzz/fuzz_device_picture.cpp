// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the device picture decoder on arbitrary bytes, the whole
// picture and single MCUs through the MCU index.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/coder/JPGEncode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestova::JPGEncode dec;
    kestova::DecodedPicture pic;
    if (dec.Decode(data, size, 0, 0, pic)) {
        // A decoded picture is complete and can always be written as a BMP.
        if (pic.bgr.size() != std::size_t(pic.roundedWidth) * std::size_t(pic.height) * 3)
            std::abort();
        const std::vector<std::uint8_t> bmp = kestova::JPGEncode::BmpBytes(pic);
        const std::size_t row = (std::size_t(pic.width) * 3 + 3) & ~std::size_t(3);
        if (bmp.size() != 54 + row * std::size_t(pic.height)) std::abort();
    } else if (dec.LastError().empty()) {
        std::abort();  // every failure names its reason
    }
    // Random access: the first, the last and one chosen MCU.
    std::vector<std::uint8_t> tile;
    const unsigned pick = size ? data[size - 1] : 0;
    for (unsigned m : {0u, pick, pick * 7u + 3u}) dec.DecodeMcuFromIndex(data, size, m, tile);
    return 0;
}
