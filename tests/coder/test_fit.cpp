// SPDX-License-Identifier: GPL-3.0-or-later
// EnCode / DeCode through files, and fitting a picture into one album slot.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/coder/Kv350Encoder.h"
#include "common/files/SafeFile.h"
#include "tests/coder/coder_test_util.h"

using namespace kestova;
using namespace kestova::testutil;

namespace {

std::vector<std::uint8_t> Plain(const RgbImage& img, int quality) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(CKv350Encoder::Encode(img, quality, 3, false, out));
    return out;
}

}  // namespace

TEST(EnCode, WritesExactlyTheEncodedBytes) {
    TempDir dir;
    const RgbImage img = PhotoLike(128, 128);
    ASSERT_TRUE(WriteBmp24(dir / "in.bmp", img));
    const int size = CKv350Encoder::EnCode(dir / "in.bmp", dir / "out.dpf", 128, 128, 90, 3, 0);
    ASSERT_GT(size, 0);
    std::vector<std::uint8_t> file;
    ASSERT_TRUE(ReadWholeFile(dir / "out.dpf", file));
    EXPECT_EQ(file.size(), std::size_t(size));
    EXPECT_EQ(file, Plain(img, 90));
    // Standard flag: a JFIF file of the same picture; an existing file is replaced.
    const int jsize = CKv350Encoder::EnCode(dir / "in.bmp", dir / "out.dpf", 128, 128, 100, 3, 1);
    ASSERT_GT(jsize, 0);
    ASSERT_TRUE(ReadWholeFile(dir / "out.dpf", file));
    EXPECT_EQ(file.size(), std::size_t(jsize));
    EXPECT_EQ(file[0], 0xFF);
    EXPECT_EQ(file[1], 0xD8);
    // Decoding the device picture gives the picture back.
    ASSERT_GT(CKv350Encoder::EnCode(dir / "in.bmp", dir / "p.dpf", 128, 128, 95, 3, 0), 0);
    ASSERT_TRUE(CKv350Encoder::DeCode(dir / "p.dpf", dir / "p.bmp", 128, 128));
    RgbImage back;
    ASSERT_TRUE(ReadBmp(dir / "p.bmp", back));
    EXPECT_GE(Psnr(img, back), 28.0);
}

TEST(EnCode, FailsCleanly) {
    TempDir dir;
    ASSERT_TRUE(WriteBmp24(dir / "in.bmp", Gradient(64, 32)));
    EXPECT_EQ(CKv350Encoder::EnCode(dir / "missing.bmp", dir / "a.dpf", 64, 32, 90, 3, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "a.dpf"));
    EXPECT_EQ(CKv350Encoder::EnCode(dir / "in.bmp", dir / "b.dpf", 64, 64, 90, 3, 0), 0);  // wrong size
    EXPECT_EQ(CKv350Encoder::EnCode(dir / "in.bmp", dir / "c.dpf", 0, 32, 90, 3, 0), 0);
    EXPECT_EQ(CKv350Encoder::EnCode(dir / "in.bmp", dir / "no/dir/d.dpf", 64, 32, 90, 3, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "b.dpf"));
    // The smallest pictures still get room for the whole fixed part.
    ASSERT_TRUE(WriteBmp24(dir / "one.bmp", Gradient(1, 1)));
    const int one = CKv350Encoder::EnCode(dir / "one.bmp", dir / "one.dpf", 1, 1, 100, 3, 0);
    EXPECT_GT(one, 566 + 8);
    EXPECT_TRUE(CKv350Encoder::DeCode(dir / "one.dpf", dir / "one-back.bmp", 1, 1));
}

// Every file the codecs write goes through the safe writer: a link planted
// under the name is replaced, never written through, and a FIFO there is
// refused and left alone (an ordinary stream would write into it).
TEST(CodecFileWriters, ReplaceAPlantedLinkAndRefuseAFifo) {
    TempDir dir;
    const RgbImage img = Gradient(16, 8);
    ASSERT_TRUE(WriteBmp24(dir / "in.bmp", img));
    ASSERT_GT(CKv350Encoder::EnCode(dir / "in.bmp", dir / "in.dpf", 16, 8, 90, 3, 0), 0);
    const std::vector<std::uint8_t> rows = ToEncoderInput(img);
    const struct {
        const char* name;
        std::function<bool(const std::string&)> write;
    } writers[] = {
        {"SaveBmpFile", [&](const std::string& p) { return SaveBmpFile(rows.data(), 16, 8, p); }},
        {"WriteBmp24", [&](const std::string& p) { return WriteBmp24(p, img); }},
        {"EnCode", [&](const std::string& p) { return CKv350Encoder::EnCode(dir / "in.bmp", p, 16, 8, 90, 3, 0) > 0; }},
        {"DeCode", [&](const std::string& p) { return CKv350Encoder::DeCode(dir / "in.dpf", p, 16, 8); }},
    };
    for (const auto& w : writers) {
        SCOPED_TRACE(w.name);
        const std::string victim = dir / (std::string(w.name) + ".victim");
        const std::string link = dir / (std::string(w.name) + ".link");
        const std::vector<std::uint8_t> kept{'k', 'e', 'e', 'p'};
        ASSERT_TRUE(WriteFileSafely(victim, kept.data(), kept.size(), SafeWriteMode::CreateNew));
        std::filesystem::create_symlink(victim, link);
        ASSERT_TRUE(w.write(link));
        std::vector<std::uint8_t> d;
        ASSERT_TRUE(ReadWholeFile(victim, d));
        EXPECT_EQ(d, kept);
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(link)));
        ASSERT_TRUE(ReadWholeFile(link, d));
        EXPECT_GT(d.size(), 54u);

        const std::string fifo = dir / (std::string(w.name) + ".fifo");
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        // A reader waits, so a writer that opened the FIFO would not block.
        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        EXPECT_FALSE(w.write(fifo));
        char byte;
        EXPECT_LE(::read(reader, &byte, 1), 0);  // nothing went into it
        ::close(reader);
        EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    }
}

TEST(Fitting, QualitiesStepDownByTen) {
    EXPECT_EQ(FitQualities(90), (std::vector<int>{90, 80, 70, 60, 50, 40, 30, 20, 10}));
    EXPECT_EQ(FitQualities(95), (std::vector<int>{95, 85, 75, 65, 55, 45, 35, 25, 15, 5}));
    EXPECT_EQ(FitQualities(10), (std::vector<int>{10}));
    EXPECT_EQ(FitQualities(11), (std::vector<int>{11, 1}));
    EXPECT_EQ(FitQualities(0), (std::vector<int>{0}));
}

TEST(Fitting, FirstFitWinsWithTheBytesOfAPlainEncode) {
    const RgbImage img = PhotoLike(160, 128);
    std::vector<std::size_t> sizes;
    for (int q : FitQualities(90)) sizes.push_back(Plain(img, q).size());
    for (std::size_t i = 1; i < sizes.size(); ++i) ASSERT_LT(sizes[i], sizes[i - 1]);
    // A slot exactly as large as the stream at each quality picks that quality.
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const int q = 90 - 10 * int(i);
        const FitResult r = FitPictureToSlot(ToEncoderInput(img).data(), 160, 128, 90, sizes[i]);
        ASSERT_EQ(r.status, FitStatus::Fitted) << q;
        EXPECT_EQ(r.quality, q);
        EXPECT_EQ(r.attempts, int(i) + 1);
        EXPECT_EQ(r.bytes, Plain(img, q)) << q;
        // One byte less: the next quality down wins (or nothing fits).
        const FitResult s = FitPictureToSlot(img, 90, sizes[i] - 1);
        if (i + 1 < sizes.size()) {
            ASSERT_EQ(s.status, FitStatus::Fitted);
            EXPECT_EQ(s.quality, q - 10);
            EXPECT_EQ(s.bytes, Plain(img, q - 10));
        } else {
            EXPECT_EQ(s.status, FitStatus::TooLarge);
            EXPECT_TRUE(s.bytes.empty());
        }
    }
    // A large slot takes the starting quality at once.
    const FitResult big = FitPictureToSlot(img, 90, 1 << 20);
    EXPECT_EQ(big.quality, 90);
    EXPECT_EQ(big.attempts, 1);
    EXPECT_EQ(big.bytes, Plain(img, 90));
}

TEST(Fitting, QualitiesAbove100AndOtherModes) {
    const RgbImage img = PhotoLike(64, 48);
    // 150, 140, ... 100 all encode as 100; 90 is the first different one.
    const std::size_t at90 = Plain(img, 90).size();
    const FitResult r = FitPictureToSlot(img, 150, at90);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.quality, 90);
    EXPECT_EQ(r.attempts, 7);
    EXPECT_EQ(r.bytes, Plain(img, 90));
    // Mode 0 fitting matches a plain mode-0 encode.
    std::vector<std::uint8_t> m0;
    ASSERT_TRUE(CKv350Encoder::Encode(img, 40, 0, false, m0));
    const FitResult r0 = FitPictureToSlot(img, 40, m0.size(), 0);
    ASSERT_TRUE(r0.ok());
    EXPECT_EQ(r0.bytes, m0);
}

TEST(Fitting, FromBmpFilesAndBadInput) {
    TempDir dir;
    const RgbImage img = PhotoLike(128, 128, 4);
    ASSERT_TRUE(WriteBmp24(dir / "p.bmp", img));
    const FitResult a = FitBmpToSlot(dir / "p.bmp", 128, 128, 90, 6000);
    const FitResult b = FitPictureToSlot(img, 90, 6000);
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.quality, b.quality);
    EXPECT_LE(a.bytes.size(), 6000u);
    EXPECT_EQ(FitBmpToSlot(dir / "missing.bmp", 128, 128, 90, 6000).status, FitStatus::Unreadable);
    EXPECT_EQ(FitBmpToSlot(dir / "p.bmp", 128, 160, 90, 6000).status, FitStatus::Unreadable);
    EXPECT_EQ(FitPictureToSlot(img, 90, 100).status, FitStatus::TooLarge);
    EXPECT_EQ(FitPictureToSlot(img, 90, 0).status, FitStatus::TooLarge);
    EXPECT_EQ(FitPictureToSlot(RgbImage{}, 90, 6000).status, FitStatus::Invalid);
    EXPECT_EQ(FitPictureToSlot(nullptr, 128, 128, 90, 6000).status, FitStatus::Invalid);
    // The fitted picture decodes at the LCD size.
    RgbImage out;
    ASSERT_TRUE(CKv350Encoder::Decode(a.bytes.data(), a.bytes.size(), 128, 128, out));
    EXPECT_GE(Psnr(img, out), 22.0);
}
