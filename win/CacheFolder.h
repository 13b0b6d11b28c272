// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The cache of kestova's window on disk: the cache folder "PicsInMiniDPF"
// with one 24-bit bitmap per album entry (named by NextCacheFileName,
// numbers reused), and the staging file "JPGTmp.jpg" that holds the last
// stored picture in the device picture format. Both lie in a folder of
// this window's own under the user's private cache folder (two windows on
// two frames never share a bitmap), removed when the window ends; folders
// of windows that ended without removing theirs go at the next start.
// Without a cache folder nothing is cached and every write fails (an entry
// without its bitmap is not listed).
//
// Any thread may write a bitmap or the staging file (the frame worker does
// during a read or a batch); the paths are fixed at Open.

#include "desktop/RunFolder.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace kestova::win {

class CacheFolder {
public:
    // Takes `root` (a private folder, or empty when none could be made):
    // clears what windows that are gone left there, and makes this window's
    // own cache folder in it.
    void Open(const QString& root);

    const QString& Directory() const { return directory_; }
    const QString& StagingPath() const { return staging_; }

    // The first free "NNNN.bmp" of the cache folder (numbers are reused);
    // empty without a cache folder.
    QString NextCacheFileName() const;
    // Writes a cache bitmap under the first free name; its path, or empty.
    QString WriteCacheBitmap(const std::vector<uint8_t>& bmp) const;
    // Overwrites the staging file with a stored picture; false when it
    // could not be written (true without a staging file).
    bool WriteStaging(const std::vector<uint8_t>& bytes) const;
    // Removes every bitmap of the cache folder.
    void Clear() const;

private:
    desktop::RunFolder run_;
    QString directory_;
    QString staging_;
};

// Deletes every file of `dir` matching `pattern`; sub-folders stay.
void ClearCacheDirectory(const QString& dir, const QString& pattern);

} // namespace kestova::win
