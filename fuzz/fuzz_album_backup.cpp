// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the album backup file reader on arbitrary bytes. What it
// accepts, written again, reads back the same.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "flash_manager/AlbumBackup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestova::album;
    AlbumBackup b;
    std::string why;
    if (!ParseAlbumBackup(std::span<const std::uint8_t>(data, size), b, why)) {
        if (why.empty()) std::abort();
        return 0;
    }
    if (b.pictures.size() > kIndexEntryCount || b.lcdWidth == 0 || b.lcdHeight == 0) std::abort();
    std::size_t bytes = 0;
    for (const BackupPicture& p : b.pictures) {
        if (p.bytes.empty()) std::abort();
        bytes += p.bytes.size();
    }
    if (bytes > size) std::abort();
    AlbumBackup again;
    if (!ParseAlbumBackup(SerializeAlbumBackup(b), again, why) || !(again == b)) std::abort();
    return 0;
}
