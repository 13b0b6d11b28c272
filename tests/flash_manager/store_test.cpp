// SPDX-License-Identifier: GPL-3.0-or-later
// The picture store and the facade against the virtual frame: reading and
// recovering the index, editing, the commit's exact order on the wire,
// verified writes, stop requests, slot reuse, colours.

#include "tests/flash_manager/AlbumTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace kestova::albumtest {
namespace {

using album::kIndexBlockSize;

constexpr uint32_t kS = 64u << 10;  // album start of SmallLayout
constexpr uint32_t kP = 8192;       // its slot size
constexpr uint32_t kSlot0 = kS + 16384;

std::vector<uint8_t> Bytes(const std::string& path, uint32_t at, uint32_t n) {
    auto img = ReadFile(path);
    return std::vector<uint8_t>(img.begin() + at, img.begin() + at + n);
}

// Commits `pictures` as the album of a blank small frame.
void Seed(const std::string& path, const std::vector<std::vector<uint8_t>>& pictures) {
    Frame f = LoadFrame(path);
    for (const auto& p : pictures) ASSERT_EQ(f.dpf->AddData(p.data(), int(p.size())), 1);
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
}

// The album code a call throws, or 0 when it returns.
template <typename Call>
int ThrownCode(Call call) {
    try {
        call();
        return 0;
    } catch (int code) {
        return code;
    }
}

class StoreTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = MakeImage(dir, SmallLayout());
};

TEST_F(StoreTest, BlankAreaReadsEmptyAndGetsAnAbfsPrimary) {
    Frame f = LoadFrame(path);
    int n = -1;
    f.dpf->GetFileNum(n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(f.dpf->GetOnePicSize(), int(kP));
    EXPECT_EQ(f.dpf->GetMaxFileNum(), 6);
    int w = 0, h = 0;
    f.dpf->GetLCDParam(w, h);
    EXPECT_EQ(w, 96);
    EXPECT_EQ(h, 64);
    auto primary = Bytes(path, kS, kIndexBlockSize);
    EXPECT_EQ(std::memcmp(primary.data(), "ABFS", 4), 0);
    for (size_t i = 4; i < primary.size(); ++i) ASSERT_EQ(primary[i], 0xFF) << i;
    // The backup is read, not rewritten.
    auto backup = Bytes(path, kS + 4096, kIndexBlockSize);
    for (uint8_t b : backup) ASSERT_EQ(b, 0xFF);
    // GetFileAtIndex on an empty album fails for every index.
    uint8_t buf[16];
    int len = 0;
    EXPECT_EQ(f.dpf->GetFileAtIndex(0, buf, 16, len), 0);
    EXPECT_EQ(f.dpf->GetFileAtIndex(-1, buf, 16, len), 0);
    EXPECT_EQ(len, 16);
}

TEST_F(StoreTest, PrimaryWithoutMagicIsRestoredFromBackup) {
    const auto a = Picture(3000, 1), b = Picture(5000, 2), c = Picture(700, 3);
    Seed(path, {a, b});
    Seed(path, {c});  // adds c; the backup now lists a, b
    ASSERT_EQ(ReadAlbum(path), (Album{a, b, c}));

    auto img = ReadFile(path);
    img[kS] = 'X';  // a commit cut off after the primary's erase looks like this
    WriteFile(path, img);
    const auto backupBefore = Bytes(path, kS + 4096, kIndexBlockSize);

    {
        // A program that may edit the album makes the backup the primary again.
        Frame f = LoadFrame(path);
        int n = 0;
        f.dpf->GetFileNum(n);
        EXPECT_EQ(n, 2);
    }
    EXPECT_EQ(ReadAlbum(path), (Album{a, b}));
    const auto primary = Bytes(path, kS, kIndexBlockSize);
    EXPECT_EQ(std::memcmp(primary.data(), "ABFS", 4), 0);
    EXPECT_TRUE(std::equal(primary.begin() + 4, primary.end(), backupBefore.begin() + 4));
    EXPECT_EQ(Bytes(path, kS + 4096, kIndexBlockSize), backupBefore);
}

// Writes entry `i` of the primary index in `img` by hand (in use, 24-bit
// address and length, little-endian), as a damaged or foreign index would hold it.
void PutEntry(std::vector<uint8_t>& img, size_t i, uint32_t addr, uint32_t len) {
    uint8_t* e = &img[kS + 256 + 8 * i];
    e[0] = 1;
    e[1] = uint8_t(addr), e[2] = uint8_t(addr >> 8), e[3] = uint8_t(addr >> 16);
    e[5] = uint8_t(len), e[6] = uint8_t(len >> 8), e[7] = uint8_t(len >> 16);
}

TEST_F(StoreTest, InvalidEntriesAreSkippedAndDisappearAtTheNextCommit) {
    const auto a = Picture(1000, 4), b = Picture(2000, 5);
    auto img = ReadFile(path);
    std::memcpy(&img[kS], "ABFS", 4);
    auto entry = [&](size_t i, uint32_t addr, uint32_t len) { PutEntry(img, i, addr, len); };
    entry(0, kSlot0, uint32_t(a.size()));
    entry(1, kS + 9000, 100);               // inside the reserved 16 KiB
    entry(2, kS + 65536 - 50, 51);          // ends past the album area
    entry(3, kSlot0, kP + 1);               // longer than one slot
    entry(4, kSlot0, 0xFFA000);             // longer than the whole area
    entry(200, kSlot0 + kP, uint32_t(b.size()));  // behind unused entries
    std::copy(a.begin(), a.end(), img.begin() + kSlot0);
    std::copy(b.begin(), b.end(), img.begin() + kSlot0 + kP);
    WriteFile(path, img);

    {
        Frame f = LoadFrame(path);
        int n = 0;
        f.dpf->GetFileNum(n);
        ASSERT_EQ(n, 2);
        EXPECT_EQ(PictureAt(*f.dpf, 0), a);
        EXPECT_EQ(PictureAt(*f.dpf, 1), b);
        EXPECT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    }
    const auto primary = Bytes(path, kS, kIndexBlockSize);
    EXPECT_EQ(primary[256], 1);
    EXPECT_EQ(primary[264], 1);
    for (size_t i = 256 + 16; i < kIndexBlockSize; ++i) ASSERT_EQ(primary[i], 0xFF) << i;
    EXPECT_EQ(ReadAlbum(path), (Album{a, b}));
}

TEST(StoreLimits, LowestFreeSlotIsTakenAndCountIsCapped) {
    TempDir dir;
    auto layout = SmallLayout();
    layout.maxPictures = 3;  // P = 16 KiB, 3 slots
    const std::string path = MakeImage(dir, layout);
    Seed(path, {Picture(100, 1), Picture(100, 2), Picture(100, 3)});
    Frame f = LoadFrame(path);
    const auto extra = Picture(100, 9);
    EXPECT_EQ(f.dpf->AddData(extra.data(), 100), 0);
    EXPECT_EQ(f.dpf->DeleteFileAt(0), 0);
    EXPECT_FALSE(f.dpf->Store().SlotTaken(0));
    EXPECT_EQ(f.dpf->AddData(extra.data(), 100), 1);
    uint32_t addr = 0;
    int len = 0;
    ASSERT_TRUE(f.dpf->GetFileInfo(2, addr, len));
    EXPECT_EQ(addr, kSlot0);  // slot 0 again
    EXPECT_TRUE(f.dpf->Store().SlotTaken(0));
    EXPECT_EQ(f.dpf->DeleteFileAt(3), 1);  // out of range
    EXPECT_EQ(f.dpf->DeleteFileAt(-1), 1);
}

TEST_F(StoreTest, PicturesMustFitTheirSlot) {
    Frame f = LoadFrame(path);
    const auto big = Picture(kP + 1, 1);
    EXPECT_EQ(f.dpf->AddData(big.data(), int(big.size())), 0);
    EXPECT_EQ(f.dpf->AddData(big.data(), 0), 0);  // empty picture
    EXPECT_EQ(f.dpf->AddData(big.data(), int(kP)), 1);
    WriteFile(dir.File("big.bin"), big);
    EXPECT_EQ(f.dpf->AddFile(dir.File("big.bin")), 0);
    EXPECT_EQ(f.dpf->AddFile(dir.File("missing.bin")), 0);
    WriteFile(dir.File("ok.bin"), Picture(10, 2));
    EXPECT_EQ(f.dpf->AddFile(dir.File("ok.bin")), 1);
    int n = 0;
    f.dpf->GetFileNum(n);
    EXPECT_EQ(n, 2);
}

TEST(StoreLimits, MoreThan480PicturesAreNeverAdded) {
    TempDir dir;
    FrameImageLayout l;
    l.flashSize = 4u << 20;
    l.albumStart = 64u << 10;
    l.maxPictures = 500;
    const std::string path = MakeImage(dir, l);
    Frame f = LoadFrame(path);
    EXPECT_EQ(f.dpf->GetMaxFileNum(), 480);
    EXPECT_GE(f.dpf->GetSlotCount(), 500u);
    const auto p = Picture(16, 1);
    for (int i = 0; i < 480; ++i) ASSERT_EQ(f.dpf->AddData(p.data(), 16), 1) << i;
    EXPECT_EQ(f.dpf->AddData(p.data(), 16), 0);
}

TEST(StoreLimits, SlotSizeZeroIsReportedUnusableWithoutWriting) {
    TempDir dir;
    auto layout = SmallLayout();
    layout.maxPictures = 20;  // 48 KiB of slot area for 20 pictures: slot size 0
    const std::string path = MakeImage(dir, layout);
    const auto before = ReadFile(path);
    Frame f = OpenFrame(path);
    EXPECT_EQ(ThrownCode([&] { f.dpf->ReadDPFInfo(); }), kAlbumErrorUnusable);
    int w = 0, h = 0;
    f.dpf->GetLCDParam(w, h);
    EXPECT_EQ(w, 96);  // the device's own fields stay known
    EXPECT_EQ(f.dpf->GetOnePicSize(), 0);
    EXPECT_THROW(f.dpf->Read(), int);
    const auto p = Picture(16, 1);
    EXPECT_EQ(f.dpf->AddData(p.data(), 16), 0);
    EXPECT_THROW(f.dpf->Update(), int);
    for (const auto& c : f.monitor->Commands()) EXPECT_FALSE(IsErase(c) || IsProgram(c));
    EXPECT_EQ(ReadFile(path), before);
}

TEST(StoreLimits, MovedStartShortensTheArea) {
    TempDir dir;
    const std::string path = MakeImage(dir, MovedAlbumLayout());
    Frame f = LoadFrame(path);
    EXPECT_EQ(f.dpf->GetAlbumStart(), 0x20000u);
    EXPECT_EQ(f.dpf->GetAlbumLength(), 0x20000u);  // 256 KiB - 128 KiB, not 192 KiB
    const auto& g = f.dpf->Store().Geometry();
    EXPECT_LE(g.SlotAddress(g.slotCount - 1) + g.slotSize, MovedAlbumLayout().flashSize);
    // Fill every slot; every write lands inside the flash.
    const auto p = Picture(g.slotSize, 3);
    for (int i = 0; i < f.dpf->GetMaxFileNum(); ++i) ASSERT_EQ(f.dpf->AddData(p.data(), int(p.size())), 1);
    EXPECT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    EXPECT_EQ(ReadAlbum(path).size(), size_t(f.dpf->GetMaxFileNum()));
}

TEST(StoreLimits, DpfhWithWrongCheckByteIsIgnored) {
    TempDir dir;
    FrameImageLayout l = SmallLayout();
    l.dpfhLocator = 0x1010;
    l.dpfhTarget = 0x18001;
    auto img = BuildFrameImage(l);
    img[260] ^= 1;
    const std::string path = dir.File("f.img");
    WriteImageFile(path, img, true);
    Frame f = LoadFrame(path);
    EXPECT_EQ(f.dpf->GetAlbumStart(), kS);
    for (const auto& c : f.monitor->Commands()) {
        if (c.cdb[0] == 0xCD && c.cdb[10] == 0x03) {
            EXPECT_NE(Be24(&c.cdb[11]), 0x1000u);
        }
    }
}

// A new frame: every slot and the backup block read back erased, so the
// only erase is the primary's; the pictures go first, while the primary
// still lists the old (empty) album, and the index blocks last.
TEST_F(StoreTest, CommitOfThreeNewPicturesOnTheWire) {
    std::vector<std::pair<std::vector<long>, uint64_t>> calls;
    std::shared_ptr<VirtualFrameMonitor> monitor;
    Frame f = LoadFrame(path, [&](int a, long k, long n) {
        calls.push_back({{a, k, n}, monitor->CommandCount()});
    });
    monitor = f.monitor;
    const auto a = Picture(100, 1), b = Picture(5000, 2), c = Picture(8192, 3);
    for (const auto* p : {&a, &b, &c}) ASSERT_EQ(f.dpf->AddData(p->data(), int(p->size())), 1);
    f.monitor->ClearCommands();
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);

    std::string error;
    const auto log = f.monitor->Commands();
    const auto steps = DecodeSteps(log, error);
    ASSERT_EQ(error, "");
    std::vector<Step> want = {{'P', 0, 0}};
    // A unit counts as erased only once all of it was read back: the head
    // first (64 bytes), then each whole unit.
    auto blank = [&](uint32_t at, uint32_t units) {
        want.push_back({'R', at, 64});
        for (uint32_t u = 0; u < units; ++u) want.push_back({'R', at + 4096 * u, 4096});
    };
    const uint32_t slots[3] = {kSlot0, kSlot0 + kP, kSlot0 + 2 * kP};
    const int pages[3] = {1, 2, 2};  // 100 bytes; 5000 = 4096 + 904; 8192 = exactly two
    std::vector<size_t> lastWriteStep;
    for (int i = 0; i < 3; ++i) {
        blank(slots[i], kP / 4096);
        for (int j = 0; j < pages[i]; ++j) want.push_back({'W', slots[i] + 4096u * uint32_t(j), 4096});
        lastWriteStep.push_back(want.size());
    }
    blank(kS + 4096, 1);
    for (const Step s : {Step{'W', kS + 4352, 3840}, Step{'W', kS + 4096, 256}, Step{'E', kS, 0},
                         Step{'C', kS, 4096}, Step{'W', kS + 256, 3840}, Step{'W', kS, 256}})
        want.push_back(s);
    ASSERT_EQ(steps.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(Describe(steps[i]), Describe(want[i])) << i;
    EXPECT_EQ(std::count_if(steps.begin(), steps.end(), [](const Step& s) { return s.kind == 'E'; }), 1);

    // Progress (0,k,3) right after the k-th picture's last verified write.
    ASSERT_EQ(calls.size(), 3u);
    uint64_t done = 0;
    size_t stepIndex = 0;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(calls[size_t(k)].first, (std::vector<long>{0, k, 3}));
        for (; stepIndex < lastWriteStep[size_t(k)]; ++stepIndex) {
            const char kind = steps[stepIndex].kind;
            done += kind == 'P' || kind == 'C' ? 1 : kind == 'R' ? 3 : kind == 'E' ? 4 : 5;
        }
        EXPECT_EQ(calls[size_t(k)].second, done) << k;
    }

    // The page after 5000 bytes carries the last 904 bytes and erased filler.
    const auto page = Bytes(path, slots[1] + 4096, 4096);
    EXPECT_TRUE(std::equal(b.begin() + 4096, b.end(), page.begin()));
    EXPECT_EQ(page[904], 0xFF);
    EXPECT_EQ(ReadAlbum(path), (Album{a, b, c}));
    // Written entries leave byte 4 at 0xFF.
    const auto primary = Bytes(path, kS, kIndexBlockSize);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(primary[256 + 8 * i + 4], 0xFF);
}

TEST_F(StoreTest, DeletionsAndReorderCostOnlyTheIndexBlocks) {
    const auto a = Picture(100, 1), b = Picture(200, 2), c = Picture(300, 3);
    Seed(path, {a, b, c});
    int progressCalls = 0;
    Frame f = LoadFrame(path, [&](int, long, long) { ++progressCalls; });
    EXPECT_FALSE(f.dpf->HasPendingChanges());
    EXPECT_EQ(f.dpf->DeleteFileAt(1), 0);
    EXPECT_EQ(f.dpf->MoveFile(1, 0), 1);
    EXPECT_TRUE(f.dpf->HasPendingChanges());
    f.monitor->ClearCommands();
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    std::string error;
    const auto steps = DecodeSteps(f.monitor->Commands(), error);
    ASSERT_EQ(error, "");
    // The backup's head holds the previous index: erased without reading more.
    const std::vector<Step> want = {{'P', 0, 0},          {'R', kS + 4096, 64},
                                    {'E', kS + 4096, 0}, {'W', kS + 4352, 3840}, {'W', kS + 4096, 256},
                                    {'E', kS, 0},        {'C', kS, 4096},
                                    {'W', kS + 256, 3840}, {'W', kS, 256}};
    EXPECT_EQ(steps, want);
    EXPECT_EQ(progressCalls, 0);
    EXPECT_FALSE(f.dpf->HasPendingChanges());
    EXPECT_EQ(ReadAlbum(path), (Album{c, a}));
}

TEST_F(StoreTest, EditingKeepsCommittedAndNewPicturesApart) {
    const auto a = Picture(100, 1), b = Picture(200, 2);
    Seed(path, {a, b});
    Frame f = LoadFrame(path);
    const auto n1 = Picture(300, 3), n2 = Picture(400, 4);
    f.dpf->AddData(n1.data(), 300);
    f.dpf->AddData(n2.data(), 400);
    EXPECT_EQ(f.dpf->GetCommittedNum(), 2);
    // A new picture cannot move among the ones on the flash, nor the reverse.
    EXPECT_EQ(f.dpf->MoveFile(3, 0), 0);
    EXPECT_EQ(f.dpf->MoveFile(0, 2), 0);
    EXPECT_EQ(f.dpf->MoveFile(3, 2), 1);   // n2 before n1
    EXPECT_EQ(f.dpf->MoveFile(0, 9), 0);
    // Deleting a new picture touches only the edited album.
    EXPECT_EQ(f.dpf->DeleteFileAt(3), 0);  // n1
    EXPECT_EQ(f.dpf->GetCommittedNum(), 2);
    // Deleting a committed one removes it from both lists.
    EXPECT_EQ(f.dpf->DeleteFileAt(0), 0);
    EXPECT_EQ(f.dpf->GetCommittedNum(), 1);
    EXPECT_EQ(PictureAt(*f.dpf, 0), b);
    EXPECT_EQ(PictureAt(*f.dpf, 1), n2);
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    EXPECT_EQ(f.dpf->GetCommittedNum(), 2);
    EXPECT_EQ(ReadAlbum(path), (Album{b, n2}));
}

TEST_F(StoreTest, TakenPicturesGoBackOnlyWhereTheyCanStand) {
    const auto a = Picture(100, 1), b = Picture(200, 2), c = Picture(300, 3);
    Seed(path, {a, b, c});
    Frame f = LoadFrame(path);
    const auto n1 = Picture(400, 4), n2 = Picture(500, 5);
    ASSERT_EQ(f.dpf->AddData(n1.data(), 400), 1);
    auto old = f.dpf->TakeFileAt(1);   // b, of the flash
    auto fresh = f.dpf->TakeFileAt(2); // n1, new
    ASSERT_TRUE(old.item && old.committed);
    ASSERT_TRUE(fresh.item && !fresh.committed);
    EXPECT_FALSE(f.dpf->TakeFileAt(2).item);
    EXPECT_EQ(f.dpf->PutBackFile(0, fresh), 0);  // a new picture before the flash's
    EXPECT_EQ(f.dpf->PutBackFile(3, old), 0);    // the flash's after a new one's place
    // A new picture that took b's freed slot keeps it; once it is gone
    // again, both go back.
    ASSERT_EQ(f.dpf->AddData(n2.data(), 500), 1);
    EXPECT_EQ(f.dpf->PutBackFile(1, old), 0);
    EXPECT_EQ(f.dpf->DeleteFileAt(2), 0);
    EXPECT_EQ(f.dpf->PutBackFile(1, old), 1);
    EXPECT_EQ(f.dpf->PutBackFile(3, fresh), 1);
    EXPECT_EQ(f.dpf->GetCommittedNum(), 3);
    EXPECT_EQ(PictureAt(*f.dpf, 1), b);
    // b went back as the flash's: only n1 is written.
    int written = 0;
    f.monitor->ClearCommands();
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    for (const Step& s : [&] { std::string e; return DecodeSteps(f.monitor->Commands(), e); }())
        written += s.kind == 'W' && s.address >= kSlot0 ? 1 : 0;
    EXPECT_EQ(written, 1);
    EXPECT_EQ(ReadAlbum(path), (Album{a, b, c, n1}));
}

TEST_F(StoreTest, PicturesLoadLazilyAndStayCached) {
    const auto a = Picture(5000, 1);
    Seed(path, {a});
    Frame f = LoadFrame(path);
    auto readsOf = [&](uint32_t addr) {
        int n = 0;
        for (const auto& c : f.monitor->Commands())
            if (c.cdb[0] == 0xCD && c.cdb[10] == 0x03 && Be24(&c.cdb[11]) == addr) ++n;
        return n;
    };
    EXPECT_EQ(readsOf(kSlot0), 0);
    std::vector<uint8_t> buf(a.size());
    int len = 0;
    // One byte short: refused, reports the length, reads nothing.
    EXPECT_EQ(f.dpf->GetFileAtIndex(0, buf.data(), int(a.size()) - 1, len), 0);
    EXPECT_EQ(len, int(a.size()));
    EXPECT_EQ(readsOf(kSlot0), 0);
    EXPECT_EQ(f.dpf->GetFileAtIndex(0, buf.data(), int(a.size()), len), 1);
    EXPECT_EQ(buf, a);
    EXPECT_EQ(len, int(a.size()));
    const int first = readsOf(kSlot0);
    EXPECT_GE(first, 1);
    std::fill(buf.begin(), buf.end(), 0);
    EXPECT_EQ(f.dpf->GetFileAtIndex(0, buf.data(), int(a.size()), len), 1);
    EXPECT_EQ(buf, a);
    EXPECT_EQ(readsOf(kSlot0), first);  // served from memory
    EXPECT_EQ(f.dpf->GetFileAtIndex(1, buf.data(), int(a.size()), len), 0);
    EXPECT_EQ(len, int(a.size()));  // bad index: length stays the buffer size
}

// A hostile index: one real picture and 479 more entries on its bytes. The
// entries longer than a slot are not listed; the cache of one album read
// never outgrows the album area, and DontKeep keeps nothing at all.
TEST_F(StoreTest, OverlappingEntriesCannotMakeTheCacheOutgrowTheArea) {
    const auto a = Picture(kP, 7);
    auto img = ReadFile(path);
    std::memcpy(&img[kS], "ABFS", 4);
    PutEntry(img, 0, kSlot0, kP);
    for (size_t i = 1; i < 480; ++i) PutEntry(img, i, kSlot0, i % 2 ? 0xFFA000 : kP);
    std::copy(a.begin(), a.end(), img.begin() + kSlot0);
    WriteFile(path, img);

    Frame f = LoadFrame(path);
    int n = 0;
    f.dpf->GetFileNum(n);
    ASSERT_EQ(n, 240);  // entry 0 and the 239 even ones of a slot's length
    std::vector<uint8_t> buf(kP);
    int len = 0;
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(f.dpf->GetFileAtIndex(i, buf.data(), int(kP), len, PictureCache::DontKeep), 1);
        ASSERT_EQ(buf, a);
    }
    EXPECT_EQ(f.dpf->Store().CachedBytes(), 0u);
    for (int i = 0; i < n; ++i) ASSERT_EQ(f.dpf->GetFileAtIndex(i, buf.data(), int(kP), len), 1);
    EXPECT_EQ(buf, a);
    const size_t area = f.dpf->GetAlbumLength();
    EXPECT_LE(f.dpf->Store().CachedBytes(), area);
    EXPECT_GE(f.dpf->Store().CachedBytes(), area - kP);  // kept until the budget is used
    f.dpf->DropCachedPictures();
    EXPECT_EQ(f.dpf->Store().CachedBytes(), 0u);
    EXPECT_FALSE(f.dpf->Store().GetItem(0)->HasData());
    // A picture added since the read keeps its bytes: they are its only copy.
    for (int i = 0; i < n - 5; ++i) ASSERT_EQ(f.dpf->DeleteFileAt(0), 0);
    const auto added = Picture(100, 8);
    ASSERT_EQ(f.dpf->AddData(added.data(), 100), 1);
    f.dpf->DropCachedPictures();
    EXPECT_TRUE(f.dpf->Store().GetItem(5)->HasData());
    // The commit writes only what is listed: no over-long entry survives it.
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    for (uint32_t block : {kS, kS + 4096}) {
        const auto parsed = album::ParseIndexBlock(Bytes(path, block, kIndexBlockSize), kS, 65536);
        EXPECT_EQ(parsed.skipped, 0u) << block;
    }
    EXPECT_EQ(ReadAlbum(path), (Album{a, a, a, a, a, added}));
}

// Verified writes: the checksum reply of chosen verification queries is
// spoiled, so the frame looks as if the page landed wrong.
struct SpoilSums {
    uint32_t address;
    int failures;     // how many verification replies to spoil at this address
    int spoiled = 0;
    int programs = 0;
    bool operator()(int, const uint8_t* cdb, uint8_t* buf, int32_t, DataDirection, bool ok) {
        if (cdb[0] == 0xCB && cdb[10] == 0x02 && Be24(cdb + 11) == address) ++programs;
        if (ok && cdb[0] == 0xCD && cdb[5] == 5 && Be24(cdb + 11) == address && programs > 0 &&
            spoiled < failures) {
            ++spoiled;
            buf[1] ^= 0x01;
        }
        return ok;
    }
};

TEST_F(StoreTest, WriteSucceedsWhenVerificationFailsTwice) {
    auto spoil = std::make_shared<SpoilSums>(SpoilSums{kSlot0, 2});
    Frame f = LoadFrame(path, nullptr, [spoil](int i, const uint8_t* c, uint8_t* b, int32_t n, DataDirection d, bool ok) {
        return (*spoil)(i, c, b, n, d, ok);
    });
    const auto a = Picture(3000, 1);
    f.dpf->AddData(a.data(), 3000);
    EXPECT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    EXPECT_EQ(spoil->programs, 3);
    EXPECT_EQ(ReadAlbum(path), (Album{a}));
}

TEST_F(StoreTest, WriteThatFailsVerificationThreeTimesThrows1) {
    const auto old = Picture(100, 7);
    Seed(path, {old});
    auto spoil = std::make_shared<SpoilSums>(SpoilSums{kSlot0 + kP, 3});
    Frame f = LoadFrame(path, nullptr, [spoil](int i, const uint8_t* c, uint8_t* b, int32_t n, DataDirection d, bool ok) {
        return (*spoil)(i, c, b, n, d, ok);
    });
    const auto a = Picture(3000, 1);
    f.dpf->AddData(a.data(), 3000);
    EXPECT_EQ(ThrownCode([&] { f.dpf->Update(); }), kAlbumErrorRead);
    EXPECT_EQ(spoil->programs, 3);
    // The failed commit keeps the edit pending, and the frame shows the old album.
    int n = 0;
    f.dpf->GetFileNum(n);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(f.dpf->GetCommittedNum(), 1);
    EXPECT_EQ(ReadAlbum(path), (Album{old}));
}

TEST_F(StoreTest, FailedEraseThrows2AndTheCommitCanBeRetried) {
    const auto old = Picture(100, 7);
    Seed(path, {old});
    constexpr uint32_t kTarget = kSlot0 + kP;
    // The slot still holds a picture deleted long ago, so it must be erased.
    auto img = ReadFile(path);
    img[kTarget + 5] = 0x00;
    WriteFile(path, img);
    Frame f = LoadFrame(path, nullptr, [](int, const uint8_t* c, uint8_t*, int32_t, DataDirection, bool ok) {
        return ok && !(c[0] == 0xCB && c[10] == 0x20 && Be24(c + 11) == kTarget);
    });
    const auto a = Picture(3000, 1);
    f.dpf->AddData(a.data(), 3000);
    EXPECT_EQ(ThrownCode([&] { f.dpf->Update(); }), kAlbumErrorErase);
    EXPECT_EQ(ReadAlbum(path), (Album{old}));
    // The frame comes back; the same store commits again from the start.
    f.dpf->GetLink()->DetachUnit();  // the pulled unit lets go of the image
    f.dpf->GetLink()->AttachUnit(VirtualFrame::Open(path + ",sync=0"));
    EXPECT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    EXPECT_EQ(ReadAlbum(path), (Album{old, a}));
}

// A unit whose gate decides, before the frame sees a command, whether it gets
// there; a command held back fails as a lost transfer.
class GatedUnit : public ScsiUnit {
public:
    using Gate = std::function<bool(const uint8_t cdb[16])>;
    GatedUnit(std::unique_ptr<ScsiUnit> inner, Gate gate) : inner_(std::move(inner)), gate_(std::move(gate)) {}
    ScsiResult Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length, DataDirection dir,
                       unsigned timeoutMs) override {
        if (!gate_(cdb)) return ScsiResult::Transport();
        return inner_->Execute(cdb, buffer, length, dir, timeoutMs);
    }
    bool Inquiry(InquiryData& out) override { return inner_->Inquiry(out); }
    void Release() override { inner_->Release(); }
    std::string Name() const override { return inner_->Name(); }

private:
    std::unique_ptr<ScsiUnit> inner_;
    Gate gate_;
};

bool IsEraseAt(const uint8_t cdb[16], uint32_t address) {
    return cdb[0] == 0xCB && cdb[6] == 4 && cdb[10] == 0x20 && Be24(cdb + 11) == address;
}

// The write-enable commands before the primary index's erase are lost on
// the way (they fail and never reach the chip), so the chip ignores that
// erase while the erase command itself completes.
std::unique_ptr<ScsiUnit> LostWriteEnableUnit(std::unique_ptr<ScsiUnit> inner) {
    return std::make_unique<GatedUnit>(std::move(inner), [armed = false](const uint8_t cdb[16]) mutable {
        const bool preamble = cdb[0] == 0xCB && (cdb[10] == 0x06 || cdb[10] == 0x01);
        if (armed && preamble) return false;
        if (IsEraseAt(cdb, kS)) armed = false;
        // The backup's header is the last write before the primary is erased.
        if (cdb[0] == 0xCB && cdb[10] == 0x02 && Be24(cdb + 11) == kS + 4096 && Be24(cdb + 7) == 256) armed = true;
        return true;
    });
}

TEST_F(StoreTest, PrimaryEraseLostByTheChipStopsTheCommitBeforeAnyPicture) {
    const auto a = Picture(3000, 1), b = Picture(5000, 2), c = Picture(100, 3);
    Seed(path, {a, b, c});
    auto link = std::make_unique<CCommUSB>();
    link->AttachUnit(LostWriteEnableUnit(VirtualFrame::Open(path + ",sync=0")));
    DPF dpf;
    dpf.Init(std::move(link));
    dpf.GetFlashLayer()->SetSleeper([](unsigned) {});
    dpf.ReadDPFInfo();
    dpf.Read();
    // Delete b, put c first, and give b's slot to a new picture.
    ASSERT_EQ(dpf.DeleteFileAt(1), 0);
    ASSERT_EQ(dpf.MoveFile(1, 0), 1);
    const auto n = Picture(2000, 4);
    ASSERT_EQ(dpf.AddData(n.data(), int(n.size())), 1);
    try {
        dpf.Update();
        FAIL() << "a primary that was never erased was written over";
    } catch (int code) {
        EXPECT_EQ(code, kAlbumErrorErase);
    }
    // The primary still lists the old album, and no slot was touched.
    EXPECT_EQ(ReadAlbum(path), (Album{a, b, c}));
}

TEST_F(StoreTest, StopRequestEndsTheCommitBetweenPictures) {
    const auto old = Picture(100, 7);
    Seed(path, {old});
    DPF* self = nullptr;
    std::vector<long> seen;
    Frame f = LoadFrame(path, [&](int, long k, long) {
        seen.push_back(k);
        if (k == 0 && self) self->RequestStop();
    });
    self = f.dpf.get();
    const auto a = Picture(1000, 1), b = Picture(2000, 2), c = Picture(3000, 3);
    for (const auto* p : {&a, &b, &c}) f.dpf->AddData(p->data(), int(p->size()));
    EXPECT_EQ(f.dpf->Update(), DPF::kUpdateStoppedEarly);
    EXPECT_EQ(seen, (std::vector<long>{0}));
    // The flash lists exactly what it holds; the rest stays pending.
    EXPECT_EQ(ReadAlbum(path), (Album{old, a}));
    int n = 0;
    f.dpf->GetFileNum(n);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(f.dpf->GetCommittedNum(), 2);
    EXPECT_TRUE(f.dpf->HasPendingChanges());
    EXPECT_FALSE(f.dpf->Store().StopRequested());
    for (uint32_t s = 0; s < 4; ++s) EXPECT_TRUE(f.dpf->Store().SlotTaken(s)) << s;
    EXPECT_EQ(PictureAt(*f.dpf, 3), c);
    // The next commit writes only the two pending pictures.
    seen.clear();
    self = nullptr;
    EXPECT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    EXPECT_EQ(seen, (std::vector<long>{0, 1}));
    EXPECT_EQ(ReadAlbum(path), (Album{old, a, b, c}));
    EXPECT_FALSE(f.dpf->HasPendingChanges());
}

TEST_F(StoreTest, StopRequestNeverEndsACommitBeforeOrAfterTheLastPicture) {
    Frame f = LoadFrame(path);
    const auto a = Picture(1000, 1);
    f.dpf->AddData(a.data(), 1000);
    f.dpf->RequestStop();  // before the commit: the only picture is still written
    EXPECT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    EXPECT_EQ(ReadAlbum(path), (Album{a}));
}

TEST_F(StoreTest, BackupLeavesOutADeletedPictureWhoseSlotIsReused) {
    const auto a = Picture(3000, 1), b = Picture(3000, 2);
    Seed(path, {a, b});
    Frame f = LoadFrame(path);
    f.dpf->DeleteFileAt(0);  // a, slot 0
    const auto n = Picture(4000, 3);
    f.dpf->AddData(n.data(), 4000);
    uint32_t addr = 0;
    int len = 0;
    f.dpf->GetFileInfo(1, addr, len);
    ASSERT_EQ(addr, kSlot0);
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    const auto backup = Bytes(path, kS + 4096, kIndexBlockSize);
    auto parsed = album::ParseIndexBlock(backup, kS, 65536);
    ASSERT_EQ(parsed.entries.size(), 1u);
    EXPECT_EQ(parsed.entries[0].address, kSlot0 + kP);  // b only
    EXPECT_EQ(ReadAlbum(path), (Album{b, n}));

    // Without reuse the backup is the whole previous album.
    f = Frame{};  // let go of the frame first
    Frame g = LoadFrame(path);
    g.dpf->DeleteFileAt(1);  // n
    ASSERT_EQ(g.dpf->Update(), DPF::kUpdateCommitted);
    parsed = album::ParseIndexBlock(Bytes(path, kS + 4096, kIndexBlockSize), kS, 65536);
    ASSERT_EQ(parsed.entries.size(), 2u);
}

TEST_F(StoreTest, ColoursAreReadAndRewrittenInBothBlocks) {
    const auto a = Picture(100, 1);
    Seed(path, {a});
    Frame f = LoadFrame(path);
    uint16_t font = 0, bg = 0;
    f.dpf->GetAlbumColors(font, bg);
    EXPECT_EQ(font, 0xFFFF);  // blank header
    EXPECT_EQ(bg, 0xFFFF);
    const auto pending = Picture(100, 2);
    f.dpf->AddData(pending.data(), 100);
    EXPECT_EQ(f.dpf->SetAlbumColors(0x001F, 0xF800), 1);
    f.dpf->GetAlbumColors(font, bg);
    EXPECT_EQ(font, 0x001F);
    EXPECT_EQ(bg, 0xF800);
    for (uint32_t block : {kS, kS + 4096}) {
        const auto b = Bytes(path, block, 8);
        EXPECT_EQ(std::memcmp(b.data(), "ABFS", 4), 0);
        EXPECT_EQ(b[4], 0x00);
        EXPECT_EQ(b[5], 0xF8);
        EXPECT_EQ(b[6], 0x1F);
        EXPECT_EQ(b[7], 0x00);
    }
    // Uncommitted edits are not written by a colour change.
    EXPECT_EQ(ReadAlbum(path), (Album{a}));
    Frame g = LoadView(path);
    g.dpf->GetAlbumColors(font, bg);
    EXPECT_EQ(font, 0x001F);
    // A later commit keeps the colours.
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    Frame h = LoadView(path);
    h.dpf->GetAlbumColors(font, bg);
    EXPECT_EQ(bg, 0xF800);
    EXPECT_EQ(ReadAlbum(path), (Album{a, pending}));
}

TEST_F(StoreTest, DamagedIndexWithOverlappingEntriesNeverFreesALiveSlot) {
    const auto a = Picture(1000, 1), b = Picture(kP, 2);  // b starts mid slot 1, runs into slot 2
    auto img = ReadFile(path);
    std::memcpy(&img[kS], "ABFS", 4);
    auto entry = [&](size_t i, uint32_t addr, uint32_t len) { PutEntry(img, i, addr, len); };
    entry(0, kSlot0, uint32_t(a.size()));
    entry(1, kSlot0, 10);                              // a second entry in slot 0
    entry(2, kSlot0 + kP + 4096, uint32_t(b.size()));  // spans slots 1 and 2
    std::copy(a.begin(), a.end(), img.begin() + kSlot0);
    std::copy(b.begin(), b.end(), img.begin() + kSlot0 + kP + 4096);
    WriteFile(path, img);

    Frame f = LoadFrame(path);
    for (uint32_t s = 0; s < 3; ++s) EXPECT_TRUE(f.dpf->Store().SlotTaken(s)) << s;
    EXPECT_EQ(f.dpf->DeleteFileAt(1), 0);  // the 10-byte entry; a still lives in slot 0
    EXPECT_TRUE(f.dpf->Store().SlotTaken(0));
    const auto n = Picture(500, 3);
    ASSERT_EQ(f.dpf->AddData(n.data(), 500), 1);
    uint32_t addr = 0;
    int len = 0;
    f.dpf->GetFileInfo(2, addr, len);
    EXPECT_EQ(addr, kSlot0 + 3 * kP);  // not over a or b
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    EXPECT_EQ(ReadAlbum(path), (Album{a, b, n}));
}

TEST_F(StoreTest, RetriedCommitNeverBacksUpOverwrittenBytes) {
    const auto a = Picture(3000, 1), b = Picture(3000, 2);
    Seed(path, {a, b});
    // Cut the commit once a's slot (reused by n) has been erased.
    auto slotErased = std::make_shared<bool>(false);
    Frame f = LoadFrame(path, nullptr, [slotErased](int, const uint8_t* c, uint8_t*, int32_t, DataDirection, bool ok) {
        if (c[0] == 0xCB && c[10] == 0x20 && Be24(c + 11) == kSlot0) *slotErased = true;
        return ok && !(*slotErased && c[0] == 0xCB && c[10] == 0x02);
    });
    f.dpf->DeleteFileAt(0);
    const auto n = Picture(4000, 3);
    f.dpf->AddData(n.data(), 4000);
    EXPECT_THROW(f.dpf->Update(), int);
    // The user gives up the new picture too; the frame comes back.
    f.dpf->DeleteFileAt(1);
    f.dpf->GetLink()->DetachUnit();  // the pulled unit lets go of the image
    f.dpf->GetLink()->AttachUnit(VirtualFrame::Open(path + ",sync=0"));
    ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    // Neither index block lists a, whose bytes are gone.
    for (uint32_t block : {kS, kS + 4096}) {
        const auto parsed = album::ParseIndexBlock(Bytes(path, block, kIndexBlockSize), kS, 65536);
        ASSERT_EQ(parsed.entries.size(), 1u) << block;
        EXPECT_EQ(parsed.entries[0].address, kSlot0 + kP);
    }
    EXPECT_EQ(ReadAlbum(path), (Album{b}));
}

// A commit that failed after the primary's erase leaves the backup as the
// only index. Tried again on the same store, the commit makes it the primary
// again before it rewrites the backup, so a pull then still shows an album.
TEST_F(StoreTest, RetriedCommitNeverRewritesTheOnlyIndex) {
    const auto a = Picture(3000, 1), b = Picture(3000, 2);
    Seed(path, {a, b});
    Frame f = LoadFrame(path, nullptr, [](int, const uint8_t* c, uint8_t*, int32_t, DataDirection, bool ok) {
        return ok && !(c[0] == 0xCB && c[10] == 0x02 && Be24(c + 11) == kSlot0);
    });
    f.dpf->DeleteFileAt(0);
    const auto n = Picture(4000, 3);
    f.dpf->AddData(n.data(), 4000);  // a's slot: written after the primary's erase, and refused
    EXPECT_THROW(f.dpf->Update(), int);
    ASSERT_NE(std::memcmp(Bytes(path, kS, 4).data(), "ABFS", 4), 0);
    f.dpf->GetLink()->DetachUnit();
    // Pulled right after the backup's erase: nothing after it reaches the flash.
    f.dpf->GetLink()->AttachUnit(std::make_unique<GatedUnit>(
        VirtualFrame::Open(path + ",sync=0"), [pulled = false](const uint8_t cdb[16]) mutable {
            if (pulled) return false;
            pulled = IsEraseAt(cdb, kS + 4096);
            return true;
        }));
    EXPECT_THROW(f.dpf->Update(), int);
    EXPECT_EQ(ReadAlbum(path), (Album{b}));
}

TEST(StoreLimits, DpfhRecordBelowTheFlashStartIsUnusable) {
    TempDir dir;
    FrameImageLayout l = SmallLayout();
    auto img = BuildFrameImage(l);
    std::memcpy(&img[256], "DPFH", 4);
    img[260] = uint8_t(0x100 - uint8_t('D' + 'P' + 'F' + 'H'));
    img[261] = 8, img[262] = 0, img[263] = 0;  // locator 8: the record would lie at -8
    const std::string path = dir.File("f.img");
    WriteImageFile(path, img, true);
    Frame f = OpenFrame(path);
    EXPECT_EQ(ThrownCode([&] { f.dpf->ReadDPFInfo(); }), kAlbumErrorUnusable);
    EXPECT_EQ(ReadFile(path), img);
}

TEST(StoreLimits, DpfhRecordInsideTheAlbumsErasedPartsIsUnusable) {
    // Album moved to 128 KiB: index blocks at 0x20000-0x21FFF, reserved up to
    // 0x23FFF, seven 16 KiB slots from 0x24000 to the flash end.
    TempDir dir;
    FrameImageLayout l;
    l.flashSize = 256u << 10;
    l.albumStart = 64u << 10;
    l.maxPictures = 6;
    l.dpfhTarget = 0x20000;
    const auto p = Picture(3000, 1);
    // A commit erases the index blocks and the slots: the record that locates
    // the album must not lie there, or the album is lost after the first commit.
    for (uint32_t record : {0x20000u + 100, 0x24000u + 3 * 0x4000}) {
        l.dpfhLocator = record + 16;
        const std::string path = dir.File("in.img");
        const auto img = BuildFrameImage(l);
        WriteImageFile(path, img, true);
        Frame f = OpenFrame(path);
        try {
            f.dpf->ReadDPFInfo();
            f.dpf->Read();
            f.dpf->AddData(p.data(), int(p.size()));
            f.dpf->Update();
            FAIL() << "record at " << record << " accepted";
        } catch (int code) {
            EXPECT_EQ(code, kAlbumErrorUnusable) << record;
        }
        EXPECT_EQ(ReadFile(path), img) << record;
    }
    // The reserved 8 KiB are never written: a record there is fine.
    l.dpfhLocator = 0x22000 + 16;
    const std::string path = dir.File("reserved.img");
    WriteImageFile(path, BuildFrameImage(l), true);
    {
        Frame f = LoadFrame(path);
        EXPECT_EQ(f.dpf->GetAlbumStart(), 0x20000u);
        ASSERT_EQ(f.dpf->AddData(p.data(), int(p.size())), 1);
        ASSERT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    }
    EXPECT_EQ(ReadAlbum(path), (Album{p}));
}

TEST(StoreLimits, UnreadableDpfhRecordIsAnError) {
    TempDir dir;
    FrameImageLayout l = SmallLayout();
    l.dpfhLocator = 0x1010;
    l.dpfhTarget = 0x18001;
    const std::string path = MakeImage(dir, l);
    // Reads of the record fail: guessing a start instead could erase foreign bytes.
    Frame f = OpenFrame(path, nullptr, [](int, const uint8_t* c, uint8_t*, int32_t, DataDirection, bool ok) {
        return ok && !(c[0] == 0xCD && c[10] == 0x03 && Be24(c + 11) == 0x1000);
    });
    EXPECT_EQ(ThrownCode([&] { f.dpf->ReadDPFInfo(); }), kAlbumErrorRead);
    for (const auto& c : f.monitor->Commands()) EXPECT_FALSE(IsErase(c) || IsProgram(c));
}

TEST_F(StoreTest, AlbumReadsCorrectlyThroughOccasionalCorruptReads) {
    const auto a = Picture(8000, 1), b = Picture(4096, 2);
    Seed(path, {a, b});
    Frame f = LoadFrame(path + ",corrupt_reads=0.2,seed=7");
    EXPECT_EQ(PictureAt(*f.dpf, 0), a);
    EXPECT_EQ(PictureAt(*f.dpf, 1), b);
}

TEST_F(StoreTest, FacadeBasics) {
    Frame f = LoadFrame(path);  // null callback: commits report nothing
    EXPECT_TRUE(f.dpf->IsDeviceOnline());
    EXPECT_EQ(f.dpf->GetFlashSize(), 128 << 10);
    std::string version;
    EXPECT_NE(f.dpf->ReadFirmwareVersion(version), 0);
    EXPECT_EQ(version, "VF-1.00");
    EXPECT_TRUE(f.dpf->SynchronizeDPFTime());
    const auto a = Picture(100, 1);
    f.dpf->AddData(a.data(), 100);
    EXPECT_EQ(f.dpf->Update(), DPF::kUpdateCommitted);
    f.dpf->ReleaseAlbum();
    int n = -1;
    f.dpf->GetFileNum(n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(f.dpf->GetMaxFileNum(), 0);
    // A new attach reads it again.
    f.dpf->ReadDPFInfo();
    f.dpf->Read();
    f.dpf->GetFileNum(n);
    EXPECT_EQ(n, 1);
}

TEST_F(StoreTest, UnreadableInformationBlockIsAnError) {
    Frame f = OpenFrame(path + ",unplug_after=0");
    EXPECT_THROW(f.dpf->ReadDPFInfo(), int);
    EXPECT_THROW(f.dpf->Read(), int);
}

} // namespace
} // namespace kestova::albumtest

// ---- a commit fed while it runs (a batch still being prepared) ----

namespace kestova::albumtest {
namespace {

// The pictures of `batch` reach the commit one at a time through a feed;
// `plain` commits them all added up front. Both must put the same commands
// on the wire and leave the same album.
TEST_F(StoreTest, FedCommitPutsTheSameCommandsOnTheWireAsAPlainOne) {
    const auto old = Picture(700, 9);
    Seed(path, {old});
    TempDir other;
    const std::string plainPath = MakeImage(other, SmallLayout());
    Seed(plainPath, {old});
    const std::vector<std::vector<uint8_t>> batch = {Picture(100, 1), Picture(5000, 2), Picture(8192, 3)};

    Frame plain = LoadFrame(plainPath);
    for (const auto& p : batch) ASSERT_EQ(plain.dpf->AddData(p.data(), int(p.size())), 1);
    plain.monitor->ClearCommands();
    ASSERT_EQ(plain.dpf->Update(), DPF::kUpdateCommitted);

    std::vector<std::vector<long>> progress;
    Frame fed = LoadFrame(path, [&](int a, long k, long n) { progress.push_back({a, k, n}); });
    size_t next = 0;
    std::vector<size_t> fedAtCommand;
    PictureFeed feed;
    feed.more = [&] {
        if (next == batch.size()) return false;
        fedAtCommand.push_back(fed.monitor->CommandCount());
        EXPECT_EQ(fed.dpf->AddData(batch[next].data(), int(batch[next].size())), 1);
        ++next;
        return true;
    };
    feed.pending = [&] { return long(batch.size() - next); };
    // The first picture is there before the commit starts, as kestova-cli does it.
    ASSERT_TRUE(feed.more());
    fed.monitor->ClearCommands();
    fedAtCommand.clear();
    ASSERT_EQ(fed.dpf->Update(feed), DPF::kUpdateCommitted);

    const auto want = plain.monitor->Commands();
    const auto got = fed.monitor->Commands();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].cdb, want[i].cdb) << "command " << i;
    EXPECT_EQ(ReadFile(path), ReadFile(plainPath));
    EXPECT_EQ(ReadAlbum(path), (Album{old, batch[0], batch[1], batch[2]}));
    // Pictures 2 and 3 arrived while the commit ran, each after the one
    // before it was written; the total counts what was still to come.
    ASSERT_EQ(fedAtCommand.size(), 2u);
    const auto programsBefore = [&](size_t at) {
        return std::count_if(got.begin(), got.begin() + long(at), [](const FrameCommand& c) { return IsProgram(c); });
    };
    EXPECT_EQ(programsBefore(fedAtCommand[0]), 1);  // batch[0]: one page
    EXPECT_EQ(programsBefore(fedAtCommand[1]), 3);  // batch[1]: two more
    EXPECT_EQ(progress, (std::vector<std::vector<long>>{{0, 0, 3}, {0, 1, 3}, {0, 2, 3}}));
}

// A commit started before any new picture is there (kestova-cli starts it
// while the first file is decoded), fed files that are added ('a') or
// skipped ('s'); an 'a' the full album refuses is skipped too. The wire is
// that of a plain commit of the pictures added; the progress total counts
// the pictures known plus at most as many still to come as the album has
// room for, never rises, falls only when a file is skipped, and ends "n of n".
TEST_F(StoreTest, FedCommitStartedEmptyTellsATruthfulTotal) {
    struct Case {
        const char* label;
        int old;            // pictures in the album before (room: 6 - old)
        const char* files;  // 'a' or 's' per file
        std::vector<std::vector<long>> progress;
    } cases[] = {
        {"more files than room", 3, "asaaa", {{0, 0, 3}, {0, 1, 3}, {0, 2, 3}}},
        {"the last file skipped", 0, "aas", {{0, 0, 3}, {0, 1, 3}, {0, 1, 2}}},
        {"skips in between", 0, "sasa", {{0, 0, 3}, {0, 1, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir d;
        const std::string fedPath = MakeImage(d, SmallLayout(), "fed.img");
        const std::string plainPath = MakeImage(d, SmallLayout(), "plain.img");
        Album old;
        for (int i = 0; i < c.old; ++i) old.push_back(Picture(2000, unsigned(50 + i)));
        Seed(fedPath, old);
        Seed(plainPath, old);
        const std::string files = c.files;

        std::vector<std::vector<long>> progress;
        Frame fed = LoadFrame(fedPath, [&](int a, long k, long n) { progress.push_back({a, k, n}); });
        size_t next = 0;
        Album added;
        PictureFeed feed;
        feed.more = [&] {
            while (next < files.size()) {
                const auto p = Picture(3000 + next, unsigned(next + 1));
                if (files[next++] == 'a' && fed.dpf->AddData(p.data(), int(p.size())) == 1) {
                    added.push_back(p);
                    return true;
                }
            }
            return false;
        };
        feed.pending = [&] { return long(files.size() - next); };
        fed.monitor->ClearCommands();
        ASSERT_EQ(fed.dpf->Update(feed), DPF::kUpdateCommitted);

        Frame plain = LoadFrame(plainPath);
        for (const auto& p : added) ASSERT_EQ(plain.dpf->AddData(p.data(), int(p.size())), 1);
        plain.monitor->ClearCommands();
        ASSERT_EQ(plain.dpf->Update(), DPF::kUpdateCommitted);
        const auto want = plain.monitor->Commands();
        const auto got = fed.monitor->Commands();
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].cdb, want[i].cdb) << "command " << i;
        EXPECT_EQ(ReadFile(fedPath), ReadFile(plainPath));

        Album all = old;
        all.insert(all.end(), added.begin(), added.end());
        EXPECT_EQ(ReadAlbum(fedPath), all);
        EXPECT_EQ(progress, c.progress);
        for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i][2], progress[i - 1][2]) << i;
    }
}

// The feed ends before the index steps, so the backup leaves out exactly
// the old picture whose slot a new one takes. A stop after the first
// written picture (as Ctrl-C reaches kestova-cli's commit) feeds nothing
// more but still writes the picture that waited for the backup and comes
// before it in the album, so the primary lists the album up to a point.
TEST_F(StoreTest, FedCommitBacksUpWhatStaysAndStopsBetweenPictures) {
    const auto a = Picture(3000, 1), b = Picture(3000, 2), c = Picture(3000, 3);
    Seed(path, {a, b, c});
    DPF* self = nullptr;
    std::vector<long> seen;
    Frame f = LoadFrame(path, [&](int, long k, long) {
        seen.push_back(k);
        if (self) self->RequestStop();
    });
    self = f.dpf.get();
    f.dpf->DeleteFileAt(0);  // a's slot is taken by the first new picture
    const auto n1 = Picture(4000, 4), n2 = Picture(4000, 5), n3 = Picture(4000, 6);
    ASSERT_EQ(f.dpf->AddData(n1.data(), 4000), 1);
    int fedCount = 0;
    PictureFeed feed;
    feed.more = [&] {
        const auto& p = fedCount++ == 0 ? n2 : n3;  // n2 takes slot 3, used by no old picture
        EXPECT_EQ(f.dpf->AddData(p.data(), int(p.size())), 1);
        return true;
    };
    EXPECT_EQ(f.dpf->Update(feed), DPF::kUpdateStoppedEarly);
    EXPECT_EQ(fedCount, 1) << "no picture is fed after the stop";
    EXPECT_EQ(seen, (std::vector<long>{0, 1}));
    const auto backup = album::ParseIndexBlock(Bytes(path, kS + 4096, kIndexBlockSize), kS, 65536);
    EXPECT_EQ(backup.entries, (std::vector<album::IndexEntry>{{kSlot0 + kP, 3000}, {kSlot0 + 2 * kP, 3000}}));
    EXPECT_EQ(ReadAlbum(path), (Album{b, c, n1, n2}));
    EXPECT_EQ(f.dpf->GetCommittedNum(), 4);
}

} // namespace
} // namespace kestova::albumtest
