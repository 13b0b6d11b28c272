// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album backup file: every picture of an album byte for byte in album
// order, the album colours, the LCD size and the flash geometry of the frame
// it came from, a format version and a checksum. One flat byte array, all
// numbers little-endian like the album's own structures on the flash
// (docs/album-backup.md describes it for readers without Kestova):
//
//   offset size  field
//   0      8     magic "KESTALBM"
//   8      2     format version (1)
//   10     2     header length (64)
//   12     2, 2  LCD width, LCD height
//   16     4     flash size
//   20     4, 4  album start, album length
//   28     4, 4  slot size, slot count
//   36     4     pictures the album can hold
//   40     2, 2  font colour, background colour (RGB565, as stored)
//   44     4     picture count n
//   48     16    zero
//   64     n records: length L (4), the 16-bit sum of its bytes (2), zero (2),
//          the flash address it was read from (4), then the L picture bytes
//   end-4  4     CRC-32 (the zlib / PNG one) of every byte before it
//
// Standard library only.

#include "flash_manager/AlbumLayout.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestova::album {

constexpr uint16_t kBackupVersion = 1;
constexpr uint32_t kBackupHeaderSize = 64;
constexpr uint32_t kBackupRecordHeaderSize = 12;

struct BackupPicture {
    uint32_t address = 0;       // where it lay on the flash it was read from
    std::vector<uint8_t> bytes;
    bool operator==(const BackupPicture&) const = default;
};

struct AlbumBackup {
    uint16_t lcdWidth = 0, lcdHeight = 0;
    uint32_t flashSize = 0;
    uint32_t albumStart = 0, albumLength = 0;
    uint32_t slotSize = 0, slotCount = 0;
    uint32_t maxPictures = 0;
    AlbumColors colors;
    std::vector<BackupPicture> pictures;
    bool operator==(const AlbumBackup&) const = default;
};

// The 16-bit sum, modulo 65536, of every byte (the frame's own checksum).
uint16_t Sum16(std::span<const uint8_t> bytes);
// CRC-32, reflected polynomial 0xEDB88320, start and final xor 0xFFFFFFFF.
uint32_t Crc32(std::span<const uint8_t> bytes);

std::vector<uint8_t> SerializeAlbumBackup(const AlbumBackup& backup);

// Reads a backup file's bytes. False with `why` (in words: "not an album
// backup", "format version 3 is newer than this program reads", "damaged:
// its checksum does not match", ...) when the bytes are not a whole, sound
// backup; `out` is then unspecified.
bool ParseAlbumBackup(std::span<const uint8_t> bytes, AlbumBackup& out, std::string& why);

} // namespace kestova::album
