// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the HEIF/AVIF reader on arbitrary bytes. The size it
// reports is the size it decodes, and a refusal always says why.
#include <cstdint>
#include <cstdlib>

#include "imaging/HeifDecode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestova::heif::Picture info;
    const kestova::heif::Result probed = kestova::heif::Probe(data, size, info);
    if (!probed.ok()) {
        if (probed.message.empty()) std::abort();
        return 0;
    }
    if (info.width <= 0 || info.height <= 0) std::abort();
    // Keep each run small: the reader's own limit refuses the rest.
    kestova::heif::Picture pic;
    const kestova::heif::Result decoded = kestova::heif::Decode(data, size, pic, 1024);
    if (decoded.ok()) {
        if (pic.rgba.size() != std::size_t(pic.width) * std::size_t(pic.height) * 4) std::abort();
    } else if (decoded.message.empty()) {
        std::abort();
    }
    return 0;
}
