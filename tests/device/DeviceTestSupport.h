// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers for device tests: temporary frame images and a unit wrapper that
// injects faults deterministically.

#include "device/CommUSB.h"
#include "device/ScsiUnit.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "tests/support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace kestova::test {

// A blank formatted image (defaults: 2 MiB, album at 1 MiB) in `dir`.
inline std::string MakeImage(const TempDir& dir, const std::string& name = "frame.img",
                             FrameImageLayout layout = {}) {
    const std::string p = dir.File(name);
    FormatFrameImage(p, layout, /*overwrite=*/true);
    return p;
}

inline bool IsRead(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[5] == 0 && c.cdb[10] == 0x03; }
inline bool IsChecksum(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[5] == 5; }
inline bool IsStatus(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[5] == 0 && c.cdb[10] == 0x05; }
inline uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }

} // namespace kestova::test
