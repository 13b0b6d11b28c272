// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album's layout on the frame's flash, as pure functions over byte
// buffers: the device information block (with the DPFH record that can move
// the album), the slot geometry, and the 4096-byte "ABFS" index block.
//
// Nothing here touches the device; CPictureManager and DPF do the I/O and use
// these functions to interpret and build the bytes. Every parser accepts any
// bytes of any length and never reads past the span it is given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestova {

// Integer codes thrown by the album layer (caught by the front-ends' workers).
enum AlbumError : int {
    kAlbumErrorRead = 1,      // a flash read failed, or a write still failed its check after 3 tries
    kAlbumErrorErase = 2,     // an erase failed
    kAlbumErrorUnusable = 3,  // the album area cannot hold the album (e.g. slot size 0)
    kAlbumErrorLcdSize = 4,   // the LCD size is larger than any picture made here (see LcdSizeIsUsable)
};

namespace album {

constexpr uint32_t kInfoBlockSize = 512;
constexpr uint32_t kEraseUnit = 4096;
constexpr uint32_t kIndexBlockSize = 4096;
constexpr uint32_t kIndexHeaderSize = 256;
constexpr uint32_t kIndexEntrySize = 8;
constexpr uint32_t kIndexEntryCount = 480;
constexpr uint32_t kBackupOffset = 4096;     // backup index block, relative to the album start
constexpr uint32_t kSlotAreaOffset = 16384;  // two index blocks + 8 KiB reserved
constexpr uint32_t kDefaultMaxPictures = 60; // information block value 0 stands for this
constexpr uint32_t kDpfhRecordSize = 64;
constexpr uint32_t kDpfhBackOffset = 16;     // the record is read at locator - 16
constexpr uint32_t kDpfhAlign = 65536;
constexpr uint8_t kEntryInUse = 0x01;

static_assert(kIndexHeaderSize + kIndexEntryCount * kIndexEntrySize == kIndexBlockSize);

// Little-endian field helpers (the on-flash structures are little-endian).
uint32_t GetLE24(std::span<const uint8_t> b, size_t offset);
uint16_t GetLE16(std::span<const uint8_t> b, size_t offset);
void PutLE24(std::span<uint8_t> b, size_t offset, uint32_t value);
void PutLE16(std::span<uint8_t> b, size_t offset, uint16_t value);

// ---- device information block (flash bytes 0-511) ----
struct DeviceInfo {
    uint32_t albumStart = 0;       // bytes 32-34, before the DPFH rule
    uint16_t lcdWidth = 0;         // bytes 35-36
    uint16_t lcdHeight = 0;        // bytes 37-38
    std::array<uint8_t, 4> flashParams{};  // bytes 39-42: erase opcode, program-mode flag, 2 unused
    uint32_t flashSize = 0;        // bytes 43-45; also the end of the album area
    uint16_t maxPicturesRaw = 0;   // bytes 46-47 as stored
    uint32_t maxPictures = 0;      // the same, with 0 read as 60
    bool hasDpfh = false;          // "DPFH" at 256 and a zero 8-bit sum over 256-260
    uint32_t dpfhLocator = 0;      // bytes 261-263 (meaningful when hasDpfh)

    uint8_t EraseOpcode() const { return flashParams[0]; }
    bool ProgramMode() const { return flashParams[1] != 0; }
};

// Interprets an information block. Bytes missing from a short buffer read as 0.
DeviceInfo ParseDeviceInfo(std::span<const uint8_t> block);

// Album start from the 64-byte record read at locator - 16: bytes 11-13 as an
// address, rounded up to the next multiple of 65536.
uint32_t AlbumStartFromDpfhRecord(std::span<const uint8_t> record);

// Length of the album area. The area ends at the flash size; when the DPFH
// record moves the start forward, the area is shortened by the move, so the
// album never reaches past the end of the flash. 0 when the start lies at or
// past the end.
uint32_t AlbumAreaLength(uint32_t flashSize, uint32_t infoStart, uint32_t albumStart);

// LCD sizes a picture can be made for: at most kMaxLcdSide pixels a side and
// kMaxLcdPixels in all (the decoders refuse anything larger, and every
// buffer of one picture is sized from these). A side of 0 is not judged
// here: the front-ends report such a block as damaged.
constexpr uint32_t kMaxLcdSide = 4096;
constexpr uint64_t kMaxLcdPixels = uint64_t(1) << 24;  // 16 megapixels
bool LcdSizeIsUsable(uint32_t width, uint32_t height);

// ---- slot geometry ----
struct Geometry {
    uint32_t start = 0;        // S
    uint32_t length = 0;       // L
    uint32_t maxPictures = 0;  // M as the device gives it (0 taken as 60)
    uint32_t slotSize = 0;     // P, a multiple of 4096; 0 when unusable
    uint32_t slotCount = 0;    // N
    bool usable = false;

    // Pictures the album can hold: M, but never more than the index lists.
    uint32_t PictureLimit() const;
    uint32_t SlotAddress(uint32_t slot) const { return start + kSlotAreaOffset + slot * slotSize; }
    uint32_t SlotAreaStart() const { return start + kSlotAreaOffset; }
};

// Slot size, slot count and whether the area can hold the album at all: the
// start must be a whole erase unit past the information block's unit, and
// the area must give every picture at least one 4096-byte slot.
Geometry ComputeGeometry(uint32_t start, uint32_t length, uint32_t maxPictures);

// ---- index block ----
struct IndexEntry {
    uint32_t address = 0;  // absolute flash address of the picture's first byte
    uint32_t length = 0;   // picture length in bytes
    bool operator==(const IndexEntry&) const = default;
};

struct AlbumColors {
    uint16_t font = 0;        // header bytes 6-7, RGB565
    uint16_t background = 0;  // header bytes 4-5, RGB565
    bool operator==(const AlbumColors&) const = default;
};

struct ParsedIndex {
    bool hasMagic = false;           // bytes 0-3 are "ABFS"
    AlbumColors colors;
    std::vector<IndexEntry> entries; // valid used entries, in entry order
    uint32_t skipped = 0;            // used entries that fail the validity rule
};

// True when the block begins with "ABFS".
bool HasIndexMagic(std::span<const uint8_t> block);

// An entry is valid when the picture lies inside the album area behind the
// reserved first 16 KiB (address >= S + 16384 and address + length <= S + L)
// and, when a slot size is given, is no longer than one slot: no program
// writes a longer picture, and a damaged or hostile index could otherwise
// make one album read fetch the whole flash once per entry.
// slotSize 0 checks the area only (for looking at raw blocks).
bool EntryIsValid(const IndexEntry& e, uint32_t start, uint32_t length, uint32_t slotSize = 0);

// Reads every one of the 480 entries (a short buffer yields only the entries
// it holds completely) and keeps the used, valid ones.
ParsedIndex ParseIndexBlock(std::span<const uint8_t> block, uint32_t start, uint32_t length,
                            uint32_t slotSize = 0);

AlbumColors GetColors(std::span<const uint8_t> block);
void SetColors(std::span<uint8_t> block, AlbumColors colors);

// Rewrites bytes 256-4095 of a 4096-byte block: 0xFF, then one entry per
// picture from entry 0 (flag 0x01, address, byte 4 left 0xFF, length).
// At most 480 entries are written; the caller never hands more.
void WriteEntries(std::span<uint8_t> block, const std::vector<IndexEntry>& entries);

// A fresh 4096-byte block: header bytes of `header` (its first 256 bytes,
// "ABFS" forced into 0-3) and the given entries.
std::array<uint8_t, kIndexBlockSize> BuildIndexBlock(std::span<const uint8_t> header,
                                                     const std::vector<IndexEntry>& entries);

// ---- colours ----
uint16_t Rgb565FromRgb24(uint32_t rgb);   // 0xRRGGBB -> RGB565 (top 5/6/5 bits)
uint32_t Rgb24FromRgb565(uint16_t c);     // RGB565 -> 0xRRGGBB, low bits zero
// The colours a display should use: equal colours (a blank header holds
// 0xFFFF twice) mean black text on white.
AlbumColors DisplayColors(AlbumColors stored);

} // namespace album
} // namespace kestova
