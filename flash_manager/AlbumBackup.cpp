// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash_manager/AlbumBackup.h"

#include <array>
#include <cstring>

namespace kestova::album {
namespace {

constexpr char kMagic[8] = {'K', 'E', 'S', 'T', 'A', 'L', 'B', 'M'};

uint32_t GetLE32(std::span<const uint8_t> b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void PutLE32(std::span<uint8_t> b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

} // namespace

uint16_t Sum16(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return uint16_t(sum);
}

uint32_t Crc32(std::span<const uint8_t> bytes) {
    const auto& table = CrcTable();
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> SerializeAlbumBackup(const AlbumBackup& b) {
    size_t size = kBackupHeaderSize + 4;
    for (const BackupPicture& p : b.pictures) size += kBackupRecordHeaderSize + p.bytes.size();
    std::vector<uint8_t> out(size, 0);
    const std::span<uint8_t> s(out);
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    PutLE16(s, 8, kBackupVersion);
    PutLE16(s, 10, uint16_t(kBackupHeaderSize));
    PutLE16(s, 12, b.lcdWidth);
    PutLE16(s, 14, b.lcdHeight);
    PutLE32(s, 16, b.flashSize);
    PutLE32(s, 20, b.albumStart);
    PutLE32(s, 24, b.albumLength);
    PutLE32(s, 28, b.slotSize);
    PutLE32(s, 32, b.slotCount);
    PutLE32(s, 36, b.maxPictures);
    PutLE16(s, 40, b.colors.font);
    PutLE16(s, 42, b.colors.background);
    PutLE32(s, 44, uint32_t(b.pictures.size()));
    size_t at = kBackupHeaderSize;
    for (const BackupPicture& p : b.pictures) {
        PutLE32(s, at, uint32_t(p.bytes.size()));
        PutLE16(s, at + 4, Sum16(p.bytes));
        PutLE32(s, at + 8, p.address);
        if (!p.bytes.empty()) std::memcpy(out.data() + at + kBackupRecordHeaderSize, p.bytes.data(), p.bytes.size());
        at += kBackupRecordHeaderSize + p.bytes.size();
    }
    PutLE32(s, at, Crc32(s.first(at)));
    return out;
}

bool ParseAlbumBackup(std::span<const uint8_t> bytes, AlbumBackup& out, std::string& why) {
    out = {};
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        why = "not an album backup (it does not begin with \"KESTALBM\")";
        return false;
    }
    if (bytes.size() < kBackupHeaderSize + 4) {
        why = "damaged: it ends inside its header";
        return false;
    }
    const uint16_t version = GetLE16(bytes, 8);
    if (version != kBackupVersion) {
        why = "format version " + std::to_string(version) + " is not one this program reads (it reads version " +
              std::to_string(kBackupVersion) + ")";
        return false;
    }
    const size_t body = bytes.size() - 4;
    if (Crc32(bytes.first(body)) != GetLE32(bytes, body)) {
        why = "damaged: its checksum does not match (changed or cut short since it was written)";
        return false;
    }
    if (GetLE16(bytes, 10) != kBackupHeaderSize) {
        why = "damaged: its header length is not " + std::to_string(kBackupHeaderSize);
        return false;
    }
    out.lcdWidth = GetLE16(bytes, 12);
    out.lcdHeight = GetLE16(bytes, 14);
    out.flashSize = GetLE32(bytes, 16);
    out.albumStart = GetLE32(bytes, 20);
    out.albumLength = GetLE32(bytes, 24);
    out.slotSize = GetLE32(bytes, 28);
    out.slotCount = GetLE32(bytes, 32);
    out.maxPictures = GetLE32(bytes, 36);
    out.colors.font = GetLE16(bytes, 40);
    out.colors.background = GetLE16(bytes, 42);
    const uint32_t count = GetLE32(bytes, 44);
    if (out.lcdWidth == 0 || out.lcdHeight == 0) {
        why = "damaged: it names an LCD of 0 pixels";
        return false;
    }
    if (count > kIndexEntryCount) {
        why = "damaged: it claims " + std::to_string(count) + " pictures, more than an album lists";
        return false;
    }
    size_t at = kBackupHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string which = "picture " + std::to_string(i + 1);
        if (body - at < kBackupRecordHeaderSize) {
            why = "damaged: " + which + " is cut short";
            return false;
        }
        const uint32_t length = GetLE32(bytes, at);
        if (length == 0 || length > body - at - kBackupRecordHeaderSize) {
            why = "damaged: " + which + (length == 0 ? " is empty" : " is cut short");
            return false;
        }
        BackupPicture p;
        p.address = GetLE32(bytes, at + 8);
        const auto data = bytes.subspan(at + kBackupRecordHeaderSize, length);
        if (Sum16(data) != GetLE16(bytes, at + 4)) {
            why = "damaged: " + which + " does not match its sum";
            return false;
        }
        p.bytes.assign(data.begin(), data.end());
        out.pictures.push_back(std::move(p));
        at += kBackupRecordHeaderSize + length;
    }
    if (at != body) {
        why = "damaged: " + std::to_string(body - at) + " bytes follow the last picture";
        return false;
    }
    return true;
}

} // namespace kestova::album
