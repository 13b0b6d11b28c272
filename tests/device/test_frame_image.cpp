// SPDX-License-Identifier: GPL-3.0-or-later
// Blank frame images: information block offsets, DPFH record, refusals.

#include "DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

#include <sys/stat.h>

using namespace kestova;
using namespace kestova::test;

TEST(FrameImage, DefaultLayoutBytes) {
    TempDir dir;
    const std::string p = MakeImage(dir);
    const auto img = ReadFile(p);
    ASSERT_EQ(img.size(), 2u << 20);
    // album start 0x100000, LCD 128x128, erase 0x20, flag 0, flash 0x200000, 60 pictures
    const uint8_t expect[] = {0x00, 0x00, 0x10, 0x80, 0x00, 0x80, 0x00, 0x20, 0x00,
                              0xFF, 0xFF, 0x00, 0x00, 0x20, 0x3C, 0x00};
    EXPECT_EQ(0, std::memcmp(img.data() + 32, expect, sizeof expect));
    for (size_t i = 0; i < img.size(); ++i) {
        if (i >= 32 && i < 48) continue;
        if (img[i] != 0xFF) {
            ADD_FAILURE() << "byte " << i << " is not erased";
            break;
        }
    }
    const FrameInfoBlock f = ParseFrameInfoBlock(img.data());
    EXPECT_EQ(f.albumStart, 0x100000u);
    EXPECT_EQ(f.flashSize, 0x200000u);
    EXPECT_EQ(f.maxPictures, 60);
    EXPECT_FALSE(f.dpfhMagic);
}

TEST(FrameImage, CustomFieldsAndDpfhRecordRoundTrip) {
    FrameImageLayout l;
    l.flashSize = 0x400000;
    l.albumStart = 0x180000;
    l.lcdWidth = 160;
    l.lcdHeight = 0x0180;
    l.eraseOpcode = 0xD8;
    l.programMode = true;
    l.maxPictures = 120;
    l.dpfhLocator = 0x1000;
    l.dpfhTarget = 0x1A0001;  // album start becomes 0x1B0000
    const auto img = BuildFrameImage(l);
    const FrameInfoBlock f = ParseFrameInfoBlock(img.data());
    EXPECT_EQ(f.albumStart, 0x180000u);
    EXPECT_EQ(f.lcdWidth, 160);
    EXPECT_EQ(f.lcdHeight, 0x180);
    EXPECT_EQ(f.eraseOpcode, 0xD8);
    EXPECT_EQ(f.programModeFlag, 1);
    EXPECT_EQ(f.flashSize, 0x400000u);
    EXPECT_EQ(f.maxPictures, 120);
    EXPECT_TRUE(f.dpfhValid);
    EXPECT_EQ(f.dpfhLocator, 0x1000u);
    uint8_t sum = 0;
    for (int i = 256; i <= 260; ++i) sum = uint8_t(sum + img[size_t(i)]);
    EXPECT_EQ(sum, 0);
    // the record at A - 16 holds V little-endian in its bytes 11-13
    EXPECT_EQ(img[0x1000 - 16 + 11], 0x01);
    EXPECT_EQ(img[0x1000 - 16 + 12], 0x00);
    EXPECT_EQ(img[0x1000 - 16 + 13], 0x1A);
    EXPECT_EQ(img[0x1000 - 16 + 10], 0xFF);
    EXPECT_NO_THROW(ValidateFrameImageLayout(l));

    // A broken check byte reads as "magic present, record not valid".
    auto broken = img;
    broken[260] ^= 1;
    const FrameInfoBlock g = ParseFrameInfoBlock(broken.data());
    EXPECT_TRUE(g.dpfhMagic);
    EXPECT_FALSE(g.dpfhValid);
}

TEST(FrameImage, RefusesLayoutsThatCannotWork) {
    auto bad = [](auto change) {
        FrameImageLayout l;
        change(l);
        return l;
    };
    const FrameImageLayout cases[] = {
        bad([](FrameImageLayout& l) { l.flashSize = 0x1000000; }),        // size field is 24-bit
        bad([](FrameImageLayout& l) { l.flashSize = 0x200100; }),         // not 4 KiB aligned
        bad([](FrameImageLayout& l) { l.albumStart = 0x100800; }),        // not 4 KiB aligned
        bad([](FrameImageLayout& l) { l.albumStart = 0; }),               // on the info block
        bad([](FrameImageLayout& l) { l.maxPictures = 481; }),            // more than the index holds
        bad([](FrameImageLayout& l) { l.maxPictures = 300; }),            // no room for 300 slots
        bad([](FrameImageLayout& l) { l.lcdWidth = 0; }),
        bad([](FrameImageLayout& l) { l.eraseOpcode = 0x02; }),           // that is page program
        bad([](FrameImageLayout& l) { l.dpfhLocator = 0x100; }),          // record on the info block
        bad([](FrameImageLayout& l) { l.dpfhLocator = 0x100010; }),       // record inside the album
        bad([](FrameImageLayout& l) { l.dpfhLocator = 0x200000; }),       // record past the end
    };
    for (const auto& l : cases) EXPECT_THROW(ValidateFrameImageLayout(l), std::invalid_argument);
    // Unusable geometry can still be built on purpose (for album tests).
    FrameImageLayout tight;
    tight.maxPictures = 300;
    EXPECT_NO_THROW(BuildFrameImage(tight));
}

TEST(FrameImage, NeverReplacesAnExistingFileUnlessAsked) {
    TempDir dir;
    const std::string p = dir.File("x.img");
    FormatFrameImage(p, {});
    WriteImageFile(dir.File("keep.img"), {1, 2, 3});
    EXPECT_THROW(FormatFrameImage(dir.File("keep.img"), {}), std::runtime_error);
    EXPECT_EQ(ReadFile(dir.File("keep.img")), (std::vector<uint8_t>{1, 2, 3}));
    FrameImageLayout small;
    small.flashSize = 0x100000;
    small.albumStart = 0x80000;
    EXPECT_NO_THROW(FormatFrameImage(dir.File("keep.img"), small, /*overwrite=*/true));
    EXPECT_EQ(ReadFile(dir.File("keep.img")).size(), 0x100000u);
    EXPECT_THROW(FormatFrameImage(dir.File("no/such/dir.img"), {}), std::runtime_error);
    // No temporary files are left behind.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) (void)e, ++files;
    EXPECT_EQ(files, 2);
}

// The image holds the user's photos: it gets the mode the umask allows, as
// any new file would (600 under umask 077), also when it replaces one.
TEST(FrameImage, NewImageFollowsTheUmask) {
    TempDir dir;
    for (mode_t mask : {mode_t(077), mode_t(022), mode_t(007)}) {
        for (bool overwrite : {false, true}) {
            const std::string p = dir.File("m" + std::to_string(mask));
            const mode_t old = umask(mask);
            FormatFrameImage(p, {}, overwrite);
            umask(old);
            struct stat st {};
            ASSERT_EQ(stat(p.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << std::oct << mask << " " << overwrite;
        }
    }
}
