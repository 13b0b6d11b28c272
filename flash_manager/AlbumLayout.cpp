// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash_manager/AlbumLayout.h"

#include <algorithm>
#include <cstring>

namespace kestova::album {

namespace {

uint8_t ByteAt(std::span<const uint8_t> b, size_t offset) {
    return offset < b.size() ? b[offset] : 0;
}

constexpr uint8_t kIndexMagic[4] = {'A', 'B', 'F', 'S'};
constexpr uint8_t kDpfhMagic[4] = {'D', 'P', 'F', 'H'};

} // namespace

uint32_t GetLE24(std::span<const uint8_t> b, size_t offset) {
    return uint32_t(ByteAt(b, offset)) | uint32_t(ByteAt(b, offset + 1)) << 8 |
           uint32_t(ByteAt(b, offset + 2)) << 16;
}

uint16_t GetLE16(std::span<const uint8_t> b, size_t offset) {
    return uint16_t(ByteAt(b, offset) | ByteAt(b, offset + 1) << 8);
}

void PutLE24(std::span<uint8_t> b, size_t offset, uint32_t value) {
    b[offset] = uint8_t(value);
    b[offset + 1] = uint8_t(value >> 8);
    b[offset + 2] = uint8_t(value >> 16);
}

void PutLE16(std::span<uint8_t> b, size_t offset, uint16_t value) {
    b[offset] = uint8_t(value);
    b[offset + 1] = uint8_t(value >> 8);
}

DeviceInfo ParseDeviceInfo(std::span<const uint8_t> block) {
    DeviceInfo info;
    info.albumStart = GetLE24(block, 32);
    info.lcdWidth = GetLE16(block, 35);
    info.lcdHeight = GetLE16(block, 37);
    for (size_t i = 0; i < 4; ++i) info.flashParams[i] = ByteAt(block, 39 + i);
    info.flashSize = GetLE24(block, 43);
    info.maxPicturesRaw = GetLE16(block, 46);
    info.maxPictures = info.maxPicturesRaw == 0 ? kDefaultMaxPictures : info.maxPicturesRaw;

    bool magic = block.size() >= 261;
    for (size_t i = 0; magic && i < 4; ++i) magic = block[256 + i] == kDpfhMagic[i];
    if (magic) {
        uint8_t sum = 0;
        for (size_t i = 256; i <= 260; ++i) sum = uint8_t(sum + block[i]);
        info.hasDpfh = sum == 0;
    }
    if (info.hasDpfh) info.dpfhLocator = GetLE24(block, 261);
    return info;
}

uint32_t AlbumStartFromDpfhRecord(std::span<const uint8_t> record) {
    const uint32_t v = GetLE24(record, 11);
    return (v + (kDpfhAlign - 1)) / kDpfhAlign * kDpfhAlign;
}

uint32_t AlbumAreaLength(uint32_t flashSize, uint32_t infoStart, uint32_t albumStart) {
    // The unmoved area runs from the information block's start to the flash
    // end. A forward move shortens it by the move (the area still ends at the
    // flash end); a backward move keeps the unmoved length.
    const uint32_t from = std::max(infoStart, albumStart);
    return from >= flashSize ? 0 : flashSize - from;
}

uint32_t Geometry::PictureLimit() const {
    return std::min(maxPictures, kIndexEntryCount);
}

Geometry ComputeGeometry(uint32_t start, uint32_t length, uint32_t maxPictures) {
    Geometry g;
    g.start = start;
    g.length = length;
    g.maxPictures = maxPictures == 0 ? kDefaultMaxPictures : maxPictures;
    // The first erase unit holds the information block; an album that shares
    // it, or that does not begin on an erase unit, would erase foreign bytes.
    if (start < kEraseUnit || start % kEraseUnit != 0) return g;
    if (uint64_t(start) + length > (1u << 24)) return g;  // 24-bit flash addresses
    if (length < kSlotAreaOffset) return g;
    const uint32_t room = length - kSlotAreaOffset;
    const uint32_t p = (room / g.maxPictures) & ~(kEraseUnit - 1);
    if (p == 0) return g;
    g.slotSize = p;
    g.slotCount = room / p;
    g.usable = true;
    return g;
}

bool HasIndexMagic(std::span<const uint8_t> block) {
    return block.size() >= 4 && std::memcmp(block.data(), kIndexMagic, 4) == 0;
}

bool EntryIsValid(const IndexEntry& e, uint32_t start, uint32_t length, uint32_t slotSize) {
    const uint64_t first = uint64_t(start) + kSlotAreaOffset;
    const uint64_t end = uint64_t(start) + length;
    if (slotSize != 0 && e.length > slotSize) return false;
    return e.address >= first && uint64_t(e.address) + e.length <= end;
}

bool LcdSizeIsUsable(uint32_t width, uint32_t height) {
    return width <= kMaxLcdSide && height <= kMaxLcdSide && uint64_t(width) * height <= kMaxLcdPixels;
}

ParsedIndex ParseIndexBlock(std::span<const uint8_t> block, uint32_t start, uint32_t length,
                            uint32_t slotSize) {
    ParsedIndex out;
    out.hasMagic = HasIndexMagic(block);
    out.colors = GetColors(block);
    for (uint32_t i = 0; i < kIndexEntryCount; ++i) {
        const size_t at = kIndexHeaderSize + size_t(i) * kIndexEntrySize;
        if (at + kIndexEntrySize > block.size()) break;
        if (block[at] != kEntryInUse) continue;
        IndexEntry e{GetLE24(block, at + 1), GetLE24(block, at + 5)};
        if (EntryIsValid(e, start, length, slotSize))
            out.entries.push_back(e);
        else
            ++out.skipped;
    }
    return out;
}

AlbumColors GetColors(std::span<const uint8_t> block) {
    return AlbumColors{GetLE16(block, 6), GetLE16(block, 4)};
}

void SetColors(std::span<uint8_t> block, AlbumColors colors) {
    PutLE16(block, 4, colors.background);
    PutLE16(block, 6, colors.font);
}

void WriteEntries(std::span<uint8_t> block, const std::vector<IndexEntry>& entries) {
    std::fill(block.begin() + kIndexHeaderSize, block.begin() + kIndexBlockSize, uint8_t(0xFF));
    const size_t count = std::min<size_t>(entries.size(), kIndexEntryCount);
    for (size_t i = 0; i < count; ++i) {
        const size_t at = kIndexHeaderSize + i * kIndexEntrySize;
        block[at] = kEntryInUse;
        PutLE24(block, at + 1, entries[i].address);
        // byte 4 stays 0xFF
        PutLE24(block, at + 5, entries[i].length);
    }
}

std::array<uint8_t, kIndexBlockSize> BuildIndexBlock(std::span<const uint8_t> header,
                                                     const std::vector<IndexEntry>& entries) {
    std::array<uint8_t, kIndexBlockSize> block;
    block.fill(0xFF);
    std::copy_n(header.begin(), std::min<size_t>(header.size(), kIndexHeaderSize), block.begin());
    std::memcpy(block.data(), kIndexMagic, 4);
    WriteEntries(block, entries);
    return block;
}

uint16_t Rgb565FromRgb24(uint32_t rgb) {
    const uint32_t r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    return uint16_t((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
}

uint32_t Rgb24FromRgb565(uint16_t c) {
    const uint32_t r = (c >> 11) & 0x1F, g = (c >> 5) & 0x3F, b = c & 0x1F;
    return (r << 3) << 16 | (g << 2) << 8 | (b << 3);
}

AlbumColors DisplayColors(AlbumColors stored) {
    if (stored.font == stored.background) return AlbumColors{0x0000, 0xFFFF};
    return stored;
}

} // namespace kestova::album
