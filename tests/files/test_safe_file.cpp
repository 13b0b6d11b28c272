// SPDX-License-Identifier: GPL-3.0-or-later
// The safe file writer: planted links are never followed, a taken name is
// never overwritten without Replace, a failed write removes only its own
// temporary file, and the file gets the mode the umask allows.

#include "common/files/SafeFile.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace kestova {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

// What one folder holds besides the names the test made (temporary files left behind).
size_t Strays(const fs::path& dir, size_t expected) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) (void)e, ++n;
    return n - expected;
}

struct Case {
    const char* name;
    const char* planted;  // "", "file", "dangling", "link", "fifo"
    SafeWriteMode mode;
    bool ok;
    bool exists;
};

TEST(SafeFile, PlantedNamesAreNeverFollowed) {
    const Case cases[] = {
        {"free name, new", "", SafeWriteMode::CreateNew, true, false},
        {"free name, replace", "", SafeWriteMode::Replace, true, false},
        {"file, new", "file", SafeWriteMode::CreateNew, false, true},
        {"file, replace", "file", SafeWriteMode::Replace, true, false},
        {"dangling link, new", "dangling", SafeWriteMode::CreateNew, false, true},
        {"dangling link, replace", "dangling", SafeWriteMode::Replace, true, false},
        {"link to a file, new", "link", SafeWriteMode::CreateNew, false, true},
        {"link to a file, replace", "link", SafeWriteMode::Replace, true, false},
        {"fifo, new", "fifo", SafeWriteMode::CreateNew, false, true},
        {"fifo, replace", "fifo", SafeWriteMode::Replace, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir outside, folder;
        const std::string victim = outside.File("victim"), ghost = outside.File("ghost");
        WriteFile(victim, Text("precious"));
        const std::string target = folder.File("0001.bmp");
        const std::string planted = c.planted;
        if (planted == "file") WriteFile(target, Text("old"));
        if (planted == "dangling") fs::create_symlink(ghost, target);
        if (planted == "link") fs::create_symlink(victim, target);
        if (planted == "fifo") {
            ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
        }

        const SafeWriteResult r = WriteFileSafely(target, "new bytes", 9, c.mode);
        EXPECT_EQ(r.ok, c.ok) << r.reason;
        EXPECT_EQ(r.exists, c.exists);
        EXPECT_EQ(r.reason.empty(), c.ok);
        // Nothing outside the folder changes, ever.
        EXPECT_EQ(ReadFile(victim), Text("precious"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(ghost)));
        EXPECT_EQ(Strays(outside.path(), 1), 0u);
        EXPECT_EQ(Strays(folder.path(), planted.empty() ? size_t(c.ok) : 1), 0u);
        const auto st = fs::symlink_status(target);
        if (c.ok) {
            EXPECT_TRUE(fs::is_regular_file(st));
            EXPECT_EQ(ReadFile(target), Text("new bytes"));
        } else if (planted == "file") {
            EXPECT_EQ(ReadFile(target), Text("old"));
        } else if (planted == "dangling" || planted == "link") {
            EXPECT_TRUE(fs::is_symlink(st));
        } else if (planted == "fifo") {
            EXPECT_EQ(st.type(), fs::file_type::fifo);
        }
    }
}

TEST(SafeFile, FailedWriteRemovesOnlyItsOwnTemporaryFile) {
    TempDir folder;
    const std::string target = folder.File("picture.bmp");
    WriteFile(target, Text("old"));
    const SafeWriteResult r = WriteFileSafely(
        target, [](int fd) { return WriteAll(fd, "half", 4) && (errno = ENOSPC, false); }, SafeWriteMode::Replace);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ENOSPC);
    EXPECT_EQ(ReadFile(target), Text("old"));
    EXPECT_EQ(Strays(folder.path(), 1), 0u);

    // A device node: no temporary file can even be made beside it unless
    // the folder is writable, and the node itself is never replaced.
    struct stat before {};
    ASSERT_EQ(stat("/dev/full", &before), 0);
    for (SafeWriteMode mode : {SafeWriteMode::CreateNew, SafeWriteMode::Replace})
        EXPECT_FALSE(WriteFileSafely("/dev/full", "x", 1, mode).ok);
    struct stat after {};
    ASSERT_EQ(stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, before.st_rdev);

    // A folder that does not exist, or a name that is a folder.
    EXPECT_FALSE(WriteFileSafely(folder.File("missing/x"), "x", 1, SafeWriteMode::Replace).ok);
    EXPECT_FALSE(WriteFileSafely(folder.Path(), "x", 1, SafeWriteMode::Replace).ok);
    EXPECT_TRUE(fs::is_directory(folder.path()));
}

TEST(SafeFile, NewFilesFollowTheUmask) {
    TempDir folder;
    for (mode_t mask : {mode_t(077), mode_t(022), mode_t(027)}) {
        const mode_t old = umask(mask);
        const std::string target = folder.File("m" + std::to_string(mask));
        const bool ok = WriteFileSafely(target, "x", 1, SafeWriteMode::CreateNew).ok;
        umask(old);
        ASSERT_TRUE(ok);
        struct stat st {};
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << std::oct << mask;
    }
}

} // namespace
} // namespace kestova
