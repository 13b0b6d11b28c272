// SPDX-License-Identifier: GPL-3.0-or-later
// kestova-cli against hostile frames and a hostile output folder: crafted
// index entries and LCD sizes must not exhaust memory, planted links in the
// output folder are never followed, a failed write leaves what the path
// named, device text reaches the terminal escaped.

#include "common/coder/Bmp.h"
#include "device/virtual/FrameImage.h"
#include "flash_manager/AlbumLayout.h"
#include "tests/support/HostilePictures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestova {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct CliRun {
    int code = -1;
    long peakKiB = 0;  // the program's peak resident size
    std::string out, err;
};

// Runs kestova-cli with `args`; its peak memory comes from wait4's rusage.
CliRun Cli(const TempDir& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{KESTOVA_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const std::string out = dir.File(".stdout"), err = dir.File(".stderr");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("KESTOVA_FRAME=", 0) != 0) envs.push_back(*e);
    envs.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> cenv;
    for (auto& e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    CliRun r;
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return r;
    int status = 0;
    struct rusage ru {};
    if (wait4(pid, &status, 0, &ru) != pid) return r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    r.peakKiB = ru.ru_maxrss;
    const auto o = ReadFile(out), e = ReadFile(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    fs::remove(out);
    fs::remove(err);
    return r;
}

// A picture file for `add`: a 64 x 64 colour pattern.
std::string PictureFile(const TempDir& dir) {
    RgbImage img;
    img.width = img.height = 64;
    img.rgb.resize(64 * 64 * 3);
    for (size_t i = 0; i < img.rgb.size(); ++i) img.rgb[i] = uint8_t(i * 13 + (i >> 7));
    const std::string p = dir.File("picture.bmp");
    EXPECT_TRUE(WriteBmp24(p, img));
    return p;
}

// Well above a sound run of the program (Qt and the codecs: about 20 MB),
// far below what the crafted frames used to make it take (gigabytes).
constexpr long kMemoryBoundKiB = 96 * 1024;

class CliHardening : public ::testing::Test {
protected:
    TempDir dir;
    std::string image = dir.File("frame.img");
    std::string Frame(const std::string& extra = "") const { return image + ",sync=0" + extra; }
};

// A 16 MB frame with one real picture and 479 more entries on it, each
// claiming 0xFFA000 bytes (nearly the whole flash).
TEST_F(CliHardening, OverlappingGiantEntriesStayWithinTensOfMegabytes) {
    FrameImageLayout l;
    l.flashSize = 0xFFF000;
    l.albumStart = 0x1000;  // slot 0 at 0x5000: 0x5000 + 0xFFA000 is exactly the flash end
    l.lcdWidth = 128;
    l.lcdHeight = 128;
    FormatFrameImage(image, l, true);
    ASSERT_EQ(Cli(dir, {"--frame", Frame(), "add", PictureFile(dir)}).code, 0);
    auto img = ReadFile(image);
    const size_t index = l.albumStart + album::kIndexHeaderSize;
    ASSERT_EQ(img[index], 1);
    const uint32_t address = album::GetLE24(img, index + 1);
    for (size_t i = 1; i < album::kIndexEntryCount; ++i) {
        uint8_t* e = &img[index + 8 * i];
        e[0] = 1;
        album::PutLE24({e, 8}, 1, address);
        album::PutLE24({e, 8}, 5, 0xFFA000);
    }
    WriteFile(image, img);
    // Inside the album area, so only the slot limit keeps them out.
    const auto block = std::span(img).subspan(l.albumStart, 4096);
    ASSERT_EQ(album::ParseIndexBlock(block, l.albumStart, l.flashSize - l.albumStart).entries.size(), 480u);

    CliRun r = Cli(dir, {"--frame", Frame(), "ls"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    r = Cli(dir, {"--frame", Frame(), "export", "all", dir.File("out")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_LT(r.peakKiB, kMemoryBoundKiB);
    std::vector<std::string> written;
    for (const auto& e : fs::directory_iterator(dir.File("out"))) written.push_back(e.path().filename());
    EXPECT_EQ(written, std::vector<std::string>{"0001.bmp"});
    std::printf("[ measured ] export of the crafted frame: peak %ld KiB\n", r.peakKiB);

    // The next commit drops the over-long entries from the flash.
    ASSERT_EQ(Cli(dir, {"--frame", Frame(), "add", PictureFile(dir)}).code, 0);
    img = ReadFile(image);
    const auto parsed = album::ParseIndexBlock(std::span(img).subspan(l.albumStart, 4096), l.albumStart,
                                               l.flashSize - l.albumStart);
    EXPECT_EQ(parsed.entries.size(), 2u);
    EXPECT_EQ(parsed.skipped, 0u);
}

TEST_F(CliHardening, OversizedLcdMakesTheFrameUnusableWithoutLargeAllocations) {
    const struct {
        uint16_t w, h;
    } sizes[] = {{4097, 1}, {1, 4097}, {16000, 16000}};
    const std::string picture = PictureFile(dir);
    for (const auto& s : sizes) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        FormatFrameImage(image, {}, true);
        auto img = ReadFile(image);
        album::PutLE16(img, 35, s.w);
        album::PutLE16(img, 37, s.h);
        WriteFile(image, img);
        for (const std::vector<std::string>& cmd : {std::vector<std::string>{"add", picture},
                                                   {"export", "all", dir.File("out")},
                                                   {"info"}}) {
            std::vector<std::string> args{"--frame", Frame()};
            args.insert(args.end(), cmd.begin(), cmd.end());
            const CliRun r = Cli(dir, args);
            EXPECT_EQ(r.code, 4) << cmd[0] << ": " << r.err;
            EXPECT_NE(r.err.find("the frame reports an LCD larger than any picture can be made for"),
                      std::string::npos)
                << r.err;
            EXPECT_LT(r.peakKiB, kMemoryBoundKiB) << cmd[0];
        }
        EXPECT_EQ(ReadFile(image), img);  // nothing written
    }
}

// The export folder holds planted links: a dangling one and one to a file
// outside. Without --force nothing is written through them; with --force
// they are replaced by the pictures, never followed.
TEST_F(CliHardening, PlantedLinksInTheExportFolderAreNeverFollowed) {
    FormatFrameImage(image, {}, true);
    const std::string picture = PictureFile(dir);
    ASSERT_EQ(Cli(dir, {"--frame", Frame(), "add", picture, picture}).code, 0);
    TempDir outside;
    const std::string victim = outside.File("victim"), ghost = outside.File("ghost");
    const std::vector<uint8_t> precious{'k', 'e', 'e', 'p'};
    for (bool force : {false, true}) {
        for (const std::string format : {"bmp", "jpg"}) {
            SCOPED_TRACE(format + (force ? " --force" : ""));
            WriteFile(victim, precious);
            const fs::path out = dir.path() / ("out-" + format + (force ? "-f" : ""));
            fs::create_directories(out);
            fs::create_symlink(ghost, out / ("0001." + format));
            fs::create_symlink(victim, out / ("0002." + format));
            std::vector<std::string> args{"--frame", Frame(), "export", "all", out.string(), "--format", format};
            if (force) args.push_back("--force");
            const CliRun r = Cli(dir, args);
            EXPECT_EQ(r.code, force ? 0 : 5) << r.err;
            if (!force) {
                EXPECT_NE(r.err.find("2 file(s) exist already"), std::string::npos) << r.err;
            }
            EXPECT_EQ(ReadFile(victim), precious);
            EXPECT_FALSE(fs::exists(fs::symlink_status(ghost)));
            for (const char* n : {"0001.", "0002."}) {
                const auto st = fs::symlink_status(out / (n + format));
                EXPECT_EQ(force ? fs::is_regular_file(st) : fs::is_symlink(st), true) << n;
                if (force) {
                    EXPECT_GT(fs::file_size(out / (n + format)), 100u);
                }
            }
        }
    }
    // get (told to overwrite: without --force it leaves any existing name
    // alone) and show replace a planted link at their file name, never follow
    // it; get's file is written through no predictable side file either.
    for (const std::string cmd : {"get", "show"}) {
        SCOPED_TRACE(cmd);
        WriteFile(victim, precious);
        const std::string target = dir.File(cmd + ".out");
        fs::create_symlink(victim, target);
        fs::create_symlink(victim, target + ".part");
        // get keeps an existing name unless told to replace it.
        std::vector<std::string> args = {"--frame", Frame(), cmd, "1", target};
        if (cmd == "get") args.push_back("--force");
        const CliRun r = Cli(dir, args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(ReadFile(victim), precious);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(target + ".part")));
    }
}

// A write that cannot be done leaves what the path named: a device node or
// a FIFO is neither written nor removed.
TEST_F(CliHardening, FailedWriteLeavesTheNode) {
    FormatFrameImage(image, {}, true);
    ASSERT_EQ(Cli(dir, {"--frame", Frame(), "add", PictureFile(dir)}).code, 0);
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& target : {std::string("/dev/full"), fifo}) {
        for (const std::string cmd : {"show", "get"}) {
            SCOPED_TRACE(cmd + " " + target);
            struct stat before {}, after {};
            ASSERT_EQ(lstat(target.c_str(), &before), 0);
            std::vector<std::string> args = {"--frame", Frame(), cmd, "1", target};
            if (cmd == "get") args.push_back("--force");  // past the refusal of an existing name
            const CliRun r = Cli(dir, args);
            EXPECT_EQ(r.code, 5) << r.err;
            EXPECT_NE(r.err.find("cannot write " + target), std::string::npos) << r.err;
            ASSERT_EQ(lstat(target.c_str(), &after), 0);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_rdev, before.st_rdev);
            EXPECT_EQ(after.st_ino, before.st_ino);
        }
    }
}

TEST_F(CliHardening, DeviceTextIsPrintedEscaped) {
    FormatFrameImage(image, {}, true);
    const std::string firmware = "V1\x1b]0;owned\x07\x1b[2J";
    for (const std::vector<std::string>& cmd : {std::vector<std::string>{"info"}, {"probe"}}) {
        const CliRun r = Cli(dir, {"--frame", Frame(",firmware=" + firmware), cmd[0]});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << cmd[0];
        EXPECT_NE(r.out.find("V1\\x1B]0;owned\\x07\\x1B[2J"), std::string::npos) << r.out;
    }
    // A unit whose vendor identification carries an escape is listed escaped.
    const CliRun r = Cli(dir, {"--frame", Frame(",vendor=\x1b[8mx"), "list"});
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\x1B[8mx"), std::string::npos) << r.out;
}

TEST_F(CliHardening, HostilePicturesAreRefusedWithinABoundedPeak) {
    FormatFrameImage(image, {}, true);
    const auto file = [&](const std::string& name, const testing::Bytes& bytes) {
        const std::string p = dir.File(name);
        EXPECT_TRUE(testing::WriteBytes(p, bytes));
        return p;
    };
    const std::string before = Cli(dir, {"--frame", Frame(), "ls"}).out;
    // Tiny files claiming 100 MP: truncated, and the album is untouched.
    for (const std::string& tiny : {file("tiny.gif", testing::TinyGif(10000, 10000)),
                                    file("tiny.png", testing::TinyPng(10000, 10000)),
                                    file("tiny.bmp", testing::TinyBmp(10000, 10000))}) {
        const CliRun r = Cli(dir, {"--frame", Frame(), "add", tiny});
        EXPECT_EQ(r.code, 4) << tiny;
        EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;
        EXPECT_LT(r.peakKiB, kMemoryBoundKiB) << tiny;
    }
    // 100 MP at 16 bits a channel (1.2 GB decoded the way Qt reads it):
    // refused from its header, one or two at once.
    const std::string deep = file("deep.png", testing::RgbaPng(10000, 10000, 16));
    CliRun r = Cli(dir, {"--frame", Frame(), "add", deep, deep});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("too large to decode: 100 MP at 16 bits a channel"), std::string::npos) << r.err;
    EXPECT_LT(r.peakKiB, kMemoryBoundKiB);
    EXPECT_EQ(Cli(dir, {"--frame", Frame(), "ls"}).out, before);

    // Two 100 MP 8-bit ones are decoded (400 MB each) one after the other,
    // however many workers the machine has: together they would need 850 MB.
    const std::string wide = file("wide.png", testing::RgbaPng(10000, 10000, 8));
    r = Cli(dir, {"--frame", Frame(), "add", wide, wide});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_LT(r.peakKiB, 600 * 1024);
    std::printf("[ measured ] add of two 100 MP 8-bit PNGs: peak %ld KiB\n", r.peakKiB);
}

TEST_F(CliHardening, LockHolderNameIsPrintedEscapedAndQuoted) {
    // Any process may call itself anything: this one's name carries an
    // escape sequence and mimics our own wording.
    FormatFrameImage(image, {}, true);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = ::open(image.c_str(), O_RDWR);
        flock(fd, LOCK_EX);
        prctl(PR_SET_NAME, "\x1b[2Jx (pid 1)", 0, 0, 0);
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    const CliRun r = Cli(dir, {"--frame", Frame(), "ls"});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(r.code, 7) << r.err;
    EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("in use by process '\\x1B[2Jx (pid 1)' (pid " + std::to_string(holder) + ")"),
              std::string::npos)
        << r.err;
}

// Who may keep the owner from writing the frame image: only another open
// that can write it. An open that can only read (any user may make one of
// a readable file, and lock it) never blocks `add`; `ls` names a writer.
TEST_F(CliHardening, OnlyAnOpenThatCanWriteTheImageKeepsItsOwnerOut) {
    FormatFrameImage(image, {}, true);
    const std::string picture = PictureFile(dir);
    enum Lock { FlockExclusive, FlockShared, OfdWrite };
    struct Case {
        const char* what;
        int openFlags;
        Lock lock;
        bool blocks;
    } cases[] = {
        {"read-only open, exclusive flock", O_RDONLY, FlockExclusive, false},
        {"read-only open, shared flock", O_RDONLY, FlockShared, false},
        {"writable open, exclusive flock", O_RDWR, FlockExclusive, true},
        {"writable open, shared flock", O_RDWR, FlockShared, true},
        {"writable open, open-file write lock", O_RDWR, OfdWrite, true},
    };
    int pictures = 0;
    for (const Case& c : cases) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t holder = fork();
        if (holder == 0) {
            const int fd = ::open(image.c_str(), c.openFlags);
            if (c.lock == OfdWrite) {
                struct flock range {};
                range.l_type = F_WRLCK;
                range.l_whence = SEEK_SET;
                (void)!fcntl(fd, F_OFD_SETLK, &range);
            } else {
                flock(fd, c.lock == FlockShared ? LOCK_SH : LOCK_EX);
            }
            prctl(PR_SET_NAME, "holder", 0, 0, 0);
            (void)!write(ready[1], "r", 1);
            pause();
            _exit(0);
        }
        char ch = 0;
        ASSERT_EQ(read(ready[0], &ch, 1), 1);
        const CliRun added = Cli(dir, {"--frame", Frame(), "add", picture});
        const CliRun listed = Cli(dir, {"--frame", Frame(), "ls"});
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
        const std::string named = "in use by process 'holder' (pid " + std::to_string(holder) + ")";
        if (c.blocks) {
            EXPECT_EQ(added.code, 7) << c.what << ": " << added.err;
            EXPECT_EQ(listed.code, 7) << c.what << ": " << listed.err;
            if (c.lock != OfdWrite) {
                EXPECT_NE(added.err.find(named), std::string::npos) << c.what << ": " << added.err;
                EXPECT_NE(listed.err.find(named), std::string::npos) << c.what << ": " << listed.err;
            }
        } else {
            EXPECT_EQ(added.code, 0) << c.what << ": " << added.err;
            ++pictures;
            EXPECT_EQ(listed.code, 0) << c.what << ": " << listed.err;
            EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), pictures) << c.what << ": " << listed.out;
        }
    }
}

TEST_F(CliHardening, ExportOfAnEmptyAlbumIsNotAnError) {
    FormatFrameImage(image, {}, true);
    const CliRun r = Cli(dir, {"--frame", Frame(), "export", "all", dir.File("out")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE((r.out + r.err).find("the album is empty; nothing exported"), std::string::npos) << r.out;
}

} // namespace
} // namespace kestova
