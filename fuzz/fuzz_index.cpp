// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the album's index block and information block parsers on
// arbitrary bytes, and the geometry derived from them.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "flash_manager/AlbumLayout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestova::album;
    const std::span<const std::uint8_t> bytes(data, size);

    // The bytes as an index block of an album at 1 MiB, 1 MiB long, 60 slots.
    const std::uint32_t s = 0x100000, l = 0x100000;
    const std::uint32_t slot = ComputeGeometry(s, l, 60).slotSize;
    const ParsedIndex p = ParseIndexBlock(bytes, s, l, slot);
    if (p.entries.size() + p.skipped > kIndexEntryCount) std::abort();
    for (const IndexEntry& e : p.entries)
        if (!EntryIsValid(e, s, l, slot) || e.length > slot) std::abort();
    // Checked against the area only, the same entries are used: at least as many pass.
    const ParsedIndex loose = ParseIndexBlock(bytes, s, l);
    if (loose.entries.size() < p.entries.size() ||
        loose.entries.size() + loose.skipped != p.entries.size() + p.skipped)
        std::abort();
    // What we write, we read back: same entries, "ABFS", same colours.
    const auto block = BuildIndexBlock(bytes, p.entries);
    const ParsedIndex again = ParseIndexBlock(block, s, l, slot);
    if (!again.hasMagic || again.entries != p.entries || again.skipped != 0) std::abort();
    if (size >= 8 && again.colors != p.colors) std::abort();

    // The bytes as an information block, and the album geometry it gives.
    const DeviceInfo info = ParseDeviceInfo(bytes);
    if (info.maxPictures == 0) std::abort();
    // An LCD that passes the check never needs more than 48 MiB for one RGB picture.
    if (LcdSizeIsUsable(info.lcdWidth, info.lcdHeight) &&
        std::uint64_t(info.lcdWidth) * info.lcdHeight * 3 > (std::uint64_t(48) << 20))
        std::abort();
    const std::uint32_t start = info.hasDpfh ? AlbumStartFromDpfhRecord(bytes) : info.albumStart;
    const std::uint32_t length = AlbumAreaLength(info.flashSize, info.albumStart, start);
    if (length != 0 && std::uint64_t(start) + length > info.flashSize) std::abort();
    const Geometry g = ComputeGeometry(start, length, info.maxPictures);
    if (g.usable) {
        if (g.slotSize == 0 || g.slotSize % kEraseUnit != 0 || g.slotCount < g.maxPictures) std::abort();
        if (std::uint64_t(g.SlotAddress(g.slotCount - 1)) + g.slotSize > std::uint64_t(start) + length)
            std::abort();
        if (g.PictureLimit() > kIndexEntryCount) std::abort();
    }
    return 0;
}
