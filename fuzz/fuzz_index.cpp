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

    // The bytes as an index block of an album at 1 MiB, 1 MiB long.
    const std::uint32_t s = 0x100000, l = 0x100000;
    const ParsedIndex p = ParseIndexBlock(bytes, s, l);
    if (p.entries.size() + p.skipped > kIndexEntryCount) std::abort();
    for (const IndexEntry& e : p.entries)
        if (!EntryIsValid(e, s, l)) std::abort();
    // What we write, we read back: same entries, "ABFS", same colours.
    const auto block = BuildIndexBlock(bytes, p.entries);
    const ParsedIndex again = ParseIndexBlock(block, s, l);
    if (!again.hasMagic || again.entries != p.entries || again.skipped != 0) std::abort();
    if (size >= 8 && again.colors != p.colors) std::abort();

    // The bytes as an information block, and the album geometry it gives.
    const DeviceInfo info = ParseDeviceInfo(bytes);
    if (info.maxPictures == 0) std::abort();
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
