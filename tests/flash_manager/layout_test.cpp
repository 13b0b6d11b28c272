// SPDX-License-Identifier: GPL-3.0-or-later
// The on-flash layout as pure functions: information block, DPFH record,
// slot geometry, index block parsing and building, colours, the album backup file.

#include "flash_manager/AlbumBackup.h"
#include "flash_manager/AlbumLayout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kestova::album {
namespace {

std::vector<uint8_t> InfoBlock(uint32_t start, uint32_t flashSize, uint16_t maxPictures) {
    std::vector<uint8_t> b(512, 0xFF);
    PutLE24(b, 32, start);
    PutLE16(b, 35, 320);
    PutLE16(b, 37, 240);
    b[39] = 0xD8;
    b[40] = 0;
    PutLE24(b, 43, flashSize);
    PutLE16(b, 46, maxPictures);
    return b;
}

void PutDpfh(std::vector<uint8_t>& b, uint32_t locator, bool goodCheck) {
    std::memcpy(b.data() + 256, "DPFH", 4);
    const uint8_t sum = uint8_t('D' + 'P' + 'F' + 'H');
    b[260] = uint8_t(0x100 - sum + (goodCheck ? 0 : 1));
    PutLE24(b, 261, locator);
}

TEST(DeviceInfo, FieldsAndDefaults) {
    auto b = InfoBlock(0x100000, 0x200000, 0);
    DeviceInfo i = ParseDeviceInfo(b);
    EXPECT_EQ(i.albumStart, 0x100000u);
    EXPECT_EQ(i.lcdWidth, 320);
    EXPECT_EQ(i.lcdHeight, 240);
    EXPECT_EQ(i.EraseOpcode(), 0xD8);
    EXPECT_FALSE(i.ProgramMode());
    EXPECT_EQ(i.flashSize, 0x200000u);
    EXPECT_EQ(i.maxPicturesRaw, 0);
    EXPECT_EQ(i.maxPictures, 60u);  // 0 stands for 60
    EXPECT_FALSE(i.hasDpfh);

    b[40] = 7;
    PutLE16(b, 46, 25);
    i = ParseDeviceInfo(b);
    EXPECT_TRUE(i.ProgramMode());
    EXPECT_EQ(i.maxPictures, 25u);
}

TEST(DeviceInfo, DpfhNeedsMagicAndCheckByte) {
    auto b = InfoBlock(0x100000, 0x200000, 60);
    PutDpfh(b, 0x1234, true);
    DeviceInfo i = ParseDeviceInfo(b);
    EXPECT_TRUE(i.hasDpfh);
    EXPECT_EQ(i.dpfhLocator, 0x1234u);

    PutDpfh(b, 0x1234, false);
    EXPECT_FALSE(ParseDeviceInfo(b).hasDpfh);

    PutDpfh(b, 0x1234, true);
    b[257] = 'Q';
    b[260] = uint8_t(b[260] + 'P' - 'Q');  // sum still 0, magic wrong
    EXPECT_FALSE(ParseDeviceInfo(b).hasDpfh);
}

TEST(DeviceInfo, ShortOrEmptyBlockIsSafe) {
    EXPECT_EQ(ParseDeviceInfo({}).maxPictures, 60u);
    std::vector<uint8_t> b(40, 0xFF);
    DeviceInfo i = ParseDeviceInfo(b);
    EXPECT_EQ(i.flashSize, 0u);  // bytes past the buffer read as 0
    EXPECT_FALSE(i.hasDpfh);
}

TEST(DeviceInfo, DpfhRecordRoundsUpTo64K) {
    std::vector<uint8_t> rec(64, 0xEE);
    PutLE24(rec, 11, 0x120001);
    EXPECT_EQ(AlbumStartFromDpfhRecord(rec), 0x130000u);
    PutLE24(rec, 11, 0x120000);
    EXPECT_EQ(AlbumStartFromDpfhRecord(rec), 0x120000u);
    PutLE24(rec, 11, 0xFFFFFF);
    EXPECT_EQ(AlbumStartFromDpfhRecord(rec), 0x1000000u);  // no wrap to 0
}

TEST(Geometry, AreaShortenedWhenStartMovesForward) {
    // Unmoved: flash size - start.
    EXPECT_EQ(AlbumAreaLength(0x200000, 0x100000, 0x100000), 0x100000u);
    // Moved forward by 64 KiB: the area still ends at the flash end.
    EXPECT_EQ(AlbumAreaLength(0x200000, 0x100000, 0x110000), 0xF0000u);
    // Moved backwards: keeps the unmoved length.
    EXPECT_EQ(AlbumAreaLength(0x200000, 0x100000, 0x0F0000), 0x100000u);
    // Past the end of the flash: no area at all.
    EXPECT_EQ(AlbumAreaLength(0x200000, 0x100000, 0x200000), 0u);
    EXPECT_EQ(AlbumAreaLength(0, 0, 0), 0u);
}

TEST(Geometry, WorkedExample) {
    Geometry g = ComputeGeometry(1u << 20, 1u << 20, 60);
    ASSERT_TRUE(g.usable);
    EXPECT_EQ(g.slotSize, 16384u);
    EXPECT_EQ(g.slotCount, 63u);
    EXPECT_EQ(g.SlotAddress(0), (1u << 20) + 16384);
    EXPECT_EQ(g.SlotAddress(62) + g.slotSize, 2u << 20);  // last slot ends at the flash end
    EXPECT_EQ(g.PictureLimit(), 60u);
}

TEST(Geometry, SlotSizeZeroIsUnusable) {
    // 16384 + 4096 * M is the least area; one byte less gives slot size 0.
    Geometry ok = ComputeGeometry(0x10000, 16384 + 4096 * 10, 10);
    EXPECT_TRUE(ok.usable);
    EXPECT_EQ(ok.slotSize, 4096u);
    Geometry bad = ComputeGeometry(0x10000, 16384 + 4096 * 10 - 1, 10);
    EXPECT_FALSE(bad.usable);
    EXPECT_EQ(bad.slotSize, 0u);
    EXPECT_FALSE(ComputeGeometry(0x10000, 100, 10).usable);  // smaller than the index blocks
    EXPECT_FALSE(ComputeGeometry(0x10000, 0, 60).usable);
}

TEST(Geometry, StartMustNotShareTheInformationBlocksUnit) {
    EXPECT_FALSE(ComputeGeometry(0, 1u << 20, 60).usable);
    EXPECT_FALSE(ComputeGeometry(0x10800, 1u << 20, 60).usable);  // not on an erase unit
    EXPECT_FALSE(ComputeGeometry(0xF00000, 0x200000, 60).usable);  // beyond 24-bit addresses
    EXPECT_TRUE(ComputeGeometry(0x1000, 1u << 20, 60).usable);
}

TEST(Geometry, MaxPicturesZeroAndAbove480) {
    EXPECT_EQ(ComputeGeometry(1u << 20, 1u << 20, 0).maxPictures, 60u);
    Geometry big = ComputeGeometry(1u << 20, 15u << 20, 1000);
    ASSERT_TRUE(big.usable);
    EXPECT_EQ(big.PictureLimit(), 480u);  // the index lists no more
    EXPECT_GE(big.slotCount, 1000u);      // slots keep the device's geometry
}

std::vector<uint8_t> BlankBlock() { return std::vector<uint8_t>(4096, 0xFF); }

void PutEntry(std::vector<uint8_t>& b, size_t i, uint32_t address, uint32_t length, uint8_t flag = 1) {
    const size_t at = 256 + 8 * i;
    b[at] = flag;
    PutLE24(b, at + 1, address);
    PutLE24(b, at + 5, length);
}

TEST(IndexBlock, UsedValidEntriesInEntryOrder) {
    const uint32_t s = 0x100000, l = 0x100000;
    auto b = BlankBlock();
    std::memcpy(b.data(), "ABFS", 4);
    PutEntry(b, 0, s + 16384 + 16384, 1000);
    PutEntry(b, 1, s + 16384, 500, 0x00);          // flag other than 1: unused
    PutEntry(b, 200, s + 16384, 2000);             // behind unused entries: still listed
    PutEntry(b, 201, s + 8192, 100);               // in the reserved area
    PutEntry(b, 202, s + l - 100, 101);            // ends past the area
    PutEntry(b, 479, s + l - 100, 100);            // ends exactly at the area end
    ParsedIndex p = ParseIndexBlock(b, s, l);
    EXPECT_TRUE(p.hasMagic);
    ASSERT_EQ(p.entries.size(), 3u);
    EXPECT_EQ(p.entries[0], (IndexEntry{s + 32768, 1000}));
    EXPECT_EQ(p.entries[1], (IndexEntry{s + 16384, 2000}));
    EXPECT_EQ(p.entries[2], (IndexEntry{s + l - 100, 100}));
    EXPECT_EQ(p.skipped, 2u);

    // With the slot size given, an entry longer than one slot is skipped too.
    PutEntry(b, 300, s + 16384, 16385);
    p = ParseIndexBlock(b, s, l, 16384);
    EXPECT_EQ(p.entries.size(), 3u);
    EXPECT_EQ(p.skipped, 3u);
    EXPECT_EQ(ParseIndexBlock(b, s, l).entries.size(), 4u);  // no slot size: area only
    EXPECT_FALSE(EntryIsValid({s + 16384, 0xFFA000}, s, 0xFFFFFF - s, 0x40000));
    EXPECT_TRUE(EntryIsValid({s + 16384, 0x40000}, s, 0xFFFFFF - s, 0x40000));
}

TEST(DeviceInfo, LcdSizesPicturesCanBeMadeFor) {
    struct Case { uint32_t w, h; bool usable; } cases[] = {
        {128, 128, true}, {4096, 4096, true}, {4096, 1, true}, {0, 0, true},
        {4097, 1, false}, {1, 4097, false}, {16000, 16000, false}, {65535, 65535, false},
    };
    for (const Case& c : cases) EXPECT_EQ(LcdSizeIsUsable(c.w, c.h), c.usable) << c.w << "x" << c.h;
}

TEST(IndexBlock, MagicAndColours) {
    auto b = BlankBlock();
    EXPECT_FALSE(HasIndexMagic(b));
    std::memcpy(b.data(), "ABFs", 4);
    EXPECT_FALSE(HasIndexMagic(b));
    SetColors(b, AlbumColors{0x1234, 0xABCD});
    EXPECT_EQ(b[4], 0xCD);  // background first, little-endian
    EXPECT_EQ(b[5], 0xAB);
    EXPECT_EQ(b[6], 0x34);
    EXPECT_EQ(b[7], 0x12);
    EXPECT_EQ(GetColors(b), (AlbumColors{0x1234, 0xABCD}));
}

TEST(IndexBlock, ShortBuffersNeverOverread) {
    EXPECT_FALSE(ParseIndexBlock({}, 0x10000, 0x10000).hasMagic);
    auto b = BlankBlock();
    std::memcpy(b.data(), "ABFS", 4);
    PutEntry(b, 0, 0x10000 + 16384, 10);
    PutEntry(b, 1, 0x10000 + 16384, 20);
    // Only entry 0 lies wholly inside 256 + 8 + 7 bytes.
    ParsedIndex p = ParseIndexBlock(std::span<const uint8_t>(b.data(), 256 + 8 + 7), 0x10000, 0x10000);
    EXPECT_EQ(p.entries.size(), 1u);
}

TEST(IndexBlock, BuildKeepsHeaderAndWritesDenseEntries) {
    std::vector<uint8_t> header(256);
    for (size_t i = 0; i < header.size(); ++i) header[i] = uint8_t(i * 7);
    std::vector<IndexEntry> entries = {{0x123456, 0x000102}, {0x200000, 0xFFFFFF}};
    auto block = BuildIndexBlock(header, entries);
    EXPECT_EQ(std::memcmp(block.data(), "ABFS", 4), 0);
    EXPECT_TRUE(std::equal(header.begin() + 4, header.end(), block.begin() + 4));
    const uint8_t e0[8] = {0x01, 0x56, 0x34, 0x12, 0xFF, 0x02, 0x01, 0x00};
    EXPECT_EQ(std::memcmp(block.data() + 256, e0, 8), 0);
    EXPECT_EQ(block[256 + 8 + 4], 0xFF);  // byte 4 of every written entry
    for (size_t i = 256 + 16; i < 4096; ++i) ASSERT_EQ(block[i], 0xFF) << i;

    // More than 480 entries never spill past the block.
    std::vector<IndexEntry> many(500, IndexEntry{0x100000, 1});
    auto full = BuildIndexBlock(header, many);
    EXPECT_EQ(ParseIndexBlock(full, 0xF0000, 0x20000).entries.size(), 480u);
}

TEST(Colours, Rgb565Conversions) {
    EXPECT_EQ(Rgb565FromRgb24(0xFFFFFF), 0xFFFF);
    EXPECT_EQ(Rgb565FromRgb24(0xFF0000), 0xF800);
    EXPECT_EQ(Rgb565FromRgb24(0x00FF00), 0x07E0);
    EXPECT_EQ(Rgb565FromRgb24(0x0000FF), 0x001F);
    EXPECT_EQ(Rgb565FromRgb24(0x123456), uint16_t((0x12 >> 3) << 11 | (0x34 >> 2) << 5 | (0x56 >> 3)));
    EXPECT_EQ(Rgb24FromRgb565(0xFFFF), 0xF8FCF8u);  // low bits zero
    EXPECT_EQ(Rgb24FromRgb565(0xF800), 0xF80000u);
    EXPECT_EQ(Rgb24FromRgb565(Rgb565FromRgb24(0x8040C0)), 0x8040C0u);
    // Equal stored colours (a blank header) display as black on white.
    EXPECT_EQ(DisplayColors({0xFFFF, 0xFFFF}), (AlbumColors{0x0000, 0xFFFF}));
    EXPECT_EQ(DisplayColors({0x0010, 0x8000}), (AlbumColors{0x0010, 0x8000}));
}

// ---- album backup file ----

AlbumBackup SampleBackup() {
    AlbumBackup b;
    b.lcdWidth = 128;
    b.lcdHeight = 160;
    b.flashSize = 2u << 20;
    b.albumStart = 1u << 20;
    b.albumLength = 1u << 20;
    b.slotSize = 16384;
    b.slotCount = 63;
    b.maxPictures = 60;
    b.colors = {0xF800, 0x001F};
    b.pictures = {{0x104000, std::vector<uint8_t>(5000, 0xAB)}, {0x108000, {1, 2, 3}}};
    return b;
}

// Sets the CRC-32 trailer again after an edit, so only the edited field is wrong.
void Reseal(std::vector<uint8_t>& f) {
    const uint32_t crc = Crc32(std::span<const uint8_t>(f).first(f.size() - 4));
    for (int i = 0; i < 4; ++i) f[f.size() - 4 + size_t(i)] = uint8_t(crc >> (8 * i));
}

TEST(AlbumBackupFile, RoundTripsAndKeepsItsDocumentedLayout) {
    const AlbumBackup b = SampleBackup();
    const std::vector<uint8_t> f = SerializeAlbumBackup(b);
    ASSERT_EQ(f.size(), 64u + 12 + 5000 + 12 + 3 + 4);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 8), "KESTALBM");
    EXPECT_EQ(GetLE16(f, 8), 1);
    EXPECT_EQ(GetLE16(f, 14), 160);
    EXPECT_EQ(GetLE16(f, 40), 0xF800);
    EXPECT_EQ(GetLE24(f, 44), 2u);
    EXPECT_EQ(GetLE24(f, 64), 5000u);
    EXPECT_EQ(GetLE16(f, 68), Sum16(b.pictures[0].bytes));
    EXPECT_EQ(GetLE24(f, 72), 0x104000u);
    AlbumBackup back;
    std::string why;
    ASSERT_TRUE(ParseAlbumBackup(f, back, why)) << why;
    EXPECT_EQ(back, b);
    // The checksum is the common CRC-32 (the one zlib and PNG use).
    const char* check = "123456789";
    EXPECT_EQ(Crc32(std::span(reinterpret_cast<const uint8_t*>(check), 9)), 0xCBF43926u);
}

TEST(AlbumBackupFile, DamagedOrForeignFilesAreRefusedWithTheReason) {
    const std::vector<uint8_t> good = SerializeAlbumBackup(SampleBackup());
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* why;
    } cases[] = {
        {"other magic", [](auto& f) { f[0] = 'X'; }, "not an album backup"},
        {"empty", [](auto& f) { f.clear(); }, "not an album backup"},
        {"cut in the header", [](auto& f) { f.resize(40); }, "ends inside its header"},
        {"newer version", [](auto& f) { f[8] = 2; Reseal(f); }, "format version 2"},
        {"a flipped picture byte", [](auto& f) { f[100] ^= 1; }, "checksum does not match"},
        {"cut short", [](auto& f) { f.resize(f.size() - 10); }, "checksum does not match"},
        {"picture sum", [](auto& f) { f[68] ^= 1; Reseal(f); }, "picture 1 does not match its sum"},
        {"longer count", [](auto& f) { f[44] = 3; Reseal(f); }, "picture 3 is cut short"},
        {"shorter count", [](auto& f) { f[44] = 1; Reseal(f); }, "bytes follow the last picture"},
        {"length past the end", [](auto& f) { f[64 + 12 + 5000 + 1] = 0x10; Reseal(f); }, "picture 2 is cut short"},
        {"no LCD", [](auto& f) { f[12] = f[13] = 0; Reseal(f); }, "LCD of 0 pixels"},
        {"more than an index lists", [](auto& f) { f[44] = 0xE1; f[45] = 1; Reseal(f); }, "481 pictures"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> f = good;
        c.damage(f);
        AlbumBackup out;
        std::string why;
        EXPECT_FALSE(ParseAlbumBackup(f, out, why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

} // namespace
} // namespace kestova::album
