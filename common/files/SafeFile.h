// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One way to write a whole file that neither a planted link nor a race can
// turn into a write elsewhere, and that never destroys what the path named
// when it fails.
//
//   1. A temporary file is created exclusively in the target's folder
//      (mkstemp: a fresh name, O_EXCL, mode 0600), written, flushed to disk
//      (fsync) and given the mode a new file gets under the umask.
//   2. It then takes the target's name in one step:
//      - CreateNew: only if the name is free (renameat2 RENAME_NOREPLACE, or
//        link() where the file system lacks it). An existing name of any kind,
//        a dangling symbolic link included, is left as it is: the write fails
//        with `exists`.
//      - Replace: rename() over the name. A symbolic link there is replaced
//        by the file, never followed. A name that is not a regular file or a
//        link (a device node, a FIFO, a folder) is refused and left alone.
//   3. On any failure only the temporary file this call created is removed.
//
// Standard C++ and POSIX only, so the core writes its files through it as
// well as the session layer and every front-end.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kestova {

enum class SafeWriteMode {
    CreateNew,  // fail (exists) when anything already has the name
    Replace,    // replace a regular file or a link; refuse anything else
};

struct SafeWriteResult {
    bool ok = false;
    bool exists = false;  // CreateNew found the name taken
    int error = 0;        // errno of the step that failed (0 on success)
    std::string reason;   // the failure in words, for messages ("" on success)
    explicit operator bool() const { return ok; }
};

// Writes `size` bytes as the whole file at `path`.
SafeWriteResult WriteFileSafely(const std::string& path, const void* data, std::size_t size,
                                SafeWriteMode mode);

// The same for content produced piecewise: `fill` writes to the open
// temporary file descriptor and returns false (errno set) on failure.
SafeWriteResult WriteFileSafely(const std::string& path, const std::function<bool(int fd)>& fill,
                                SafeWriteMode mode);

// Writes all `size` bytes to `fd`, retrying short writes and EINTR.
bool WriteAll(int fd, const void* data, std::size_t size);

}  // namespace kestova
