// SPDX-License-Identifier: GPL-3.0-or-later
// The album commands of kestova-cli, run as a program against virtual frames.

#include "tests/flash_manager/AlbumTestSupport.h"

#include <gtest/gtest.h>

#include "common/coder/Kv350Encoder.h"
#include "device/linux/FrameLock.h"

#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace kestova::albumtest {
namespace {

namespace fs = std::filesystem;

// A device picture for the small frame's 96 x 64 LCD (a flat colour from
// `seed`), followed by bytes of Picture() up to `size`: `put` takes only
// pictures the frame can show, and the tests still choose exact lengths.
std::vector<uint8_t> DevicePicture(size_t size, unsigned seed) {
    RgbImage image;
    image.width = 96;
    image.height = 64;
    image.rgb.assign(size_t(96 * 64 * 3), 0);
    for (size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] = uint8_t(seed * 40 + (i % 3) * 70);
    std::vector<uint8_t> bytes;
    if (!CKv350Encoder::Encode(image, 50, 3, false, bytes) || bytes.size() > size) return {};
    const std::vector<uint8_t> tail = Picture(size - bytes.size(), seed);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

struct CliRun {
    int code = -1;
    std::string out;
};

// Runs kestova-cli with `args` (already quoted as needed); stderr is dropped.
CliRun Cli(const std::string& args) {
    const std::string cmd = std::string("'") + KESTOVA_CLI + "' " + args + " 2>/dev/null";
    CliRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class CliAlbumTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string image = MakeImage(dir, SmallLayout());
    std::string Frame(const std::string& extra = "") {
        return "--frame '" + image + ",sync=0" + extra + "' ";
    }
    std::string PictureFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string p = dir.File(name);
        WriteFile(p, bytes);
        return "'" + p + "' ";
    }
};

TEST_F(CliAlbumTest, PutListMoveGetRemove) {
    const auto a = DevicePicture(3000, 1), b = DevicePicture(8192, 2), c = DevicePicture(1000, 3);
    const std::string files = PictureFile("a", a) + PictureFile("b", b) + PictureFile("c", c);
    ASSERT_EQ(Cli(Frame() + "put " + files).code, 0);
    CliRun ls = Cli(Frame() + "ls --json");
    ASSERT_EQ(ls.code, 0);
    EXPECT_EQ(ls.out,
              "[{\"position\":1,\"address\":81920,\"slot\":0,\"length\":3000},"
              "{\"position\":2,\"address\":90112,\"slot\":1,\"length\":8192},"
              "{\"position\":3,\"address\":98304,\"slot\":2,\"length\":1000}]\n");
    EXPECT_EQ(Cli(Frame() + "mv 3 1").code, 0);
    EXPECT_EQ(ReadAlbum(image), (Album{c, a, b}));
    EXPECT_EQ(Cli(Frame() + "get 3 '" + dir.File("out") + "'").code, 0);
    EXPECT_EQ(ReadFile(dir.File("out")), b);
    EXPECT_EQ(Cli(Frame() + "rm 1,3").code, 0);
    EXPECT_EQ(ReadAlbum(image), (Album{a}));
    ls = Cli(Frame() + "ls");
    EXPECT_EQ(ls.out, "   1  0x014000  slot 0    3000 bytes\n");
}

TEST_F(CliAlbumTest, RefusalsAndBadArguments) {
    const auto a = DevicePicture(1000, 1);
    ASSERT_EQ(Cli(Frame() + "put " + PictureFile("a", a)).code, 0);
    // Bytes the frame cannot show are refused: nothing added, exit 4.
    EXPECT_EQ(Cli(Frame() + "put " + PictureFile("noise", Picture(3000, 9))).code, 4);
    EXPECT_EQ(ReadAlbum(image), (Album{a}));
    EXPECT_EQ(Cli(Frame() + "rm 2").code, 4);        // no such picture
    EXPECT_EQ(Cli(Frame() + "rm 1-x").code, 1);      // not a range
    EXPECT_EQ(Cli(Frame() + "rm 0").code, 1);        // positions count from 1
    EXPECT_EQ(Cli(Frame() + "mv 1 2").code, 4);
    EXPECT_EQ(Cli(Frame() + "get 1 '" + dir.File("no/such/dir") + "'").code, 5);
    // One file too long for a slot, one missing: the rest is added, exit 6.
    const CliRun put = Cli(Frame() + "put " + PictureFile("big", Picture(8193, 2)) + "'" +
                        dir.File("missing") + "' " + PictureFile("ok", DevicePicture(1050, 3)));
    EXPECT_EQ(put.code, 6);
    EXPECT_EQ(ReadAlbum(image).size(), 2u);
    EXPECT_EQ(Cli(Frame() + "colors --font 12345").code, 1);
    EXPECT_EQ(Cli(Frame() + "ls --help").code, 0);
}

TEST_F(CliAlbumTest, ColoursAndInfo) {
    CliRun r = Cli(Frame() + "colors --font FF0000 --background 0000ff");
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "stored font #F80000, background #0000F8\n");  // what the frame holds, rounded to RGB565
    EXPECT_EQ(Cli(Frame() + "colors").out, "font #F80000, background #0000F8\n");
    // White (RGB565 0xFFFF) is what is stored, even though the frame shows
    // its default for it, and that is what is said.
    EXPECT_EQ(Cli(Frame() + "colors --font FFFFFF").out, "stored font #F8FCF8, background #0000F8\n");
    EXPECT_EQ(Cli(Frame() + "colors --font F80000").code, 0);
    r = Cli(Frame() + "info --json");
    ASSERT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\"slot_size\":8192,\"slot_count\":6,\"max_pictures\":6"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"firmware\":\"VF-1.00\""), std::string::npos);

    auto tiny = SmallLayout();
    tiny.maxPictures = 20;  // slot size 0
    image = MakeImage(dir, tiny, "tiny.img");
    r = Cli(Frame() + "info");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.out.find("LCD:               96 x 64"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("unusable"), std::string::npos);
    EXPECT_EQ(Cli(Frame() + "ls").code, 4);
}

TEST_F(CliAlbumTest, FramePulledMidCommitLeavesAWholeAlbum) {
    const auto a = DevicePicture(3000, 1), b = DevicePicture(5000, 2);
    ASSERT_EQ(Cli(Frame() + "put " + PictureFile("a", a)).code, 0);
    const std::vector<uint8_t> seeded = ReadFile(image);
    // The load takes a handful of commands; the commit of b about 50.
    for (int cut : {12, 20, 30, 40}) {
        WriteFile(image, seeded);
        const CliRun put = Cli(Frame(",unplug_after=" + std::to_string(cut)) + "put " + PictureFile("b", b));
        EXPECT_EQ(put.code, 3) << cut;
        const CliRun ls = Cli(Frame() + "ls");
        EXPECT_EQ(ls.code, 0);
        const Album album = ReadAlbum(image);
        EXPECT_TRUE(album == (Album{a}) || album == (Album{a, b})) << cut;
    }
}

// A second program while a slow write runs is refused with exit 7 and writes
// nothing; the first one's pictures and every old picture are there after.
TEST_F(CliAlbumTest, ASecondProgramIsRefusedWhileTheFrameIsInUse) {
    const auto a = DevicePicture(3000, 1), b = DevicePicture(6000, 2), c = DevicePicture(7000, 3),
               d = DevicePicture(1100, 4);
    ASSERT_EQ(Cli(Frame() + "put " + PictureFile("a", a)).code, 0);
    // About 110 commands at 30 ms: seconds of holding, far longer than the
    // five refused runs below take.
    const std::string slow = Frame(",latency_us=30000") + "put " + PictureFile("b", b) + PictureFile("c", c);
    CliRun first;
    std::thread writer([&] { first = Cli(slow); });
    // Looked up in the lock table: trying to open the image would take the
    // lock for a moment and could turn the writer away.
    auto held = [&] { return !FrameLockHolderOfPath(image).empty(); };
    for (int i = 0; i < 5000 && !held(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(held());
    // Each of them logs every command it sends: not one may reach the frame.
    const std::string log = dir.File("second.log");
    for (const std::string& cmd : {std::string("rm 1"), std::string("ls"), "put " + PictureFile("d", d),
                                   std::string("mv 1 2"), std::string("get 1 -")}) {
        const CliRun r = Cli(Frame(",log=" + log) + cmd);
        EXPECT_EQ(r.code, 7) << cmd;
        EXPECT_TRUE(r.out.empty()) << cmd;
    }
    EXPECT_TRUE(held()) << "the writer finished too early for the refusals to mean anything";
    // --wait takes the frame once the writer lets it go.
    CliRun waiter;
    std::thread waiting([&] { waiter = Cli("--wait 60 " + Frame() + "rm 2"); });
    writer.join();
    waiting.join();
    EXPECT_TRUE(ReadFile(log).empty());
    EXPECT_EQ(first.code, 0);
    EXPECT_EQ(waiter.code, 0);
    EXPECT_EQ(ReadAlbum(image), (Album{a, c}));
}

// Exit codes as the README's table gives them, for every subcommand's usage
// and range errors, on an album of one picture. Nothing of these changes it.
TEST_F(CliAlbumTest, ExitCodesFollowTheTable) {
    const auto a = DevicePicture(1000, 1);
    ASSERT_EQ(Cli(Frame() + "put " + PictureFile("a", a)).code, 0);
    const std::string out = "'" + dir.File("out.bin") + "'", folder = "'" + dir.File("exported") + "'";
    const std::string noise = PictureFile("noise", Picture(3000, 9)), none = "'" + dir.File("missing.png") + "'";
    struct Case {
        std::string args;
        int code;
    } cases[] = {
        // 1: usage
        {"", 1}, {"frobnicate", 1}, {"ls --bogus", 1}, {"--wait abc ls", 1}, {"info extra", 1},
        {"rm", 1}, {"rm 1-x", 1}, {"rm 0", 1}, {"mv", 1}, {"mv 1", 1}, {"mv x 1", 1}, {"mv 0 1", 1},
        {"get", 1}, {"get 1", 1}, {"get x " + out, 1}, {"get 0 " + out, 1},
        {"show 0 " + out, 1}, {"show x " + out, 1}, {"export 0 " + folder, 1}, {"export x " + folder, 1},
        {"put", 1}, {"add", 1}, {"add --quality 0 " + none, 1}, {"add --rotate up " + none, 1},
        {"colors --font 12345", 1}, {"frame new", 1}, {"frame new --lcd 0x0 " + out, 1},
        // 4: past the end of the album, or nothing could be added
        {"rm 2", 4}, {"rm 1-3", 4}, {"mv 1 2", 4}, {"mv 2 1", 4}, {"get 2 " + out, 4}, {"show 2 " + out, 4},
        {"export 2 " + folder, 4}, {"put " + noise, 4}, {"add " + none, 4},
        // 0: nothing to do is no error, and writes nothing
        {"mv 1 1", 0},
    };
    const std::vector<uint8_t> before = ReadFile(image);
    for (const Case& c : cases) {
        const std::string args = c.args.rfind("frame new", 0) == 0 ? c.args : Frame() + c.args;
        EXPECT_EQ(Cli(args).code, c.code) << c.args;
    }
    EXPECT_TRUE(ReadFile(image) == before);
    EXPECT_FALSE(fs::exists(dir.File("out.bin")));
    // 2: no frame there.
    EXPECT_EQ(Cli("--frame '" + dir.File("nowhere.img") + "' ls").code, 2);
    // An unknown command is said once, in one line that names it.
    const CliRun unknown = Cli(Frame() + "frobnicate 2>&1 | cat");
    EXPECT_EQ(unknown.out, "kestova-cli: unknown command 'frobnicate' (kestova-cli --help lists them)\n");
}

// A standard output that cannot take the output (a full disk) is an error,
// exit 5, for every command that prints what it read.
TEST_F(CliAlbumTest, FullStandardOutputExits5) {
    ASSERT_EQ(Cli(Frame() + "put " + PictureFile("a", DevicePicture(3000, 1))).code, 0);
    int k = 0;
    for (const std::string cmd : {"ls", "ls --json", "info", "info --json", "get 1 -", "probe", "probe --json",
                                  "export all "}) {
        std::string args = Frame() + cmd;
        if (cmd == "export all ") args += "'" + dir.File("export" + std::to_string(++k)) + "'";
        const int status = std::system(("'" + std::string(KESTOVA_CLI) + "' " + args + " >/dev/full 2>/dev/null").c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 5) << cmd;
    }
}

// A frame image whose name holds a comma: created with a warning, then found
// by its whole name, with options after it too.
TEST_F(CliAlbumTest, FrameFileNameWithAComma) {
    const std::string named = dir.File("new,frame.img");
    const int status = std::system(("'" + std::string(KESTOVA_CLI) + "' frame new --lcd 96x64 '" + named + "' 2>'" +
                                    dir.File("warn.txt") + "' >/dev/null").c_str());
    ASSERT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    const std::vector<uint8_t> warn = ReadFile(dir.File("warn.txt"));
    EXPECT_NE(std::string(warn.begin(), warn.end()).find("holds a comma"), std::string::npos);
    EXPECT_EQ(Cli("--frame '" + named + "' ls").code, 0);
    const std::string a = PictureFile("a", DevicePicture(2000, 1));
    EXPECT_EQ(Cli("--frame '" + named + ",sync=0' put " + a).code, 0);
    EXPECT_EQ(ReadAlbum(named), (Album{DevicePicture(2000, 1)}));
}

} // namespace
} // namespace kestova::albumtest
