// SPDX-License-Identifier: GPL-3.0-or-later
// Phone photos: HEIC and AVIF through the picture loader, upright, tiled,
// deep and transparent, and the ways such a file can be bad.

#include "imaging/HeifDecode.h"
#include "imaging/PictureLoader.h"
#include "tests/imaging/HeifTestFiles.h"
#include "tests/imaging/TestPictures.h"

#include <QTemporaryDir>
#include <QTransform>

#include <gtest/gtest.h>

namespace kestova {
namespace {

using namespace kestova::testing;

struct HeifCase {
    const char* name;
    HeifOptions options;
    int width, height;   // of the source
    QTransform upright;  // what the orientation does to the source
    QByteArray format;
};

TEST(HeifReader, PhonePicturesComeOutUprightAndClose) {
    const QTransform none, quarterRight = QTransform().rotate(90);
    const HeifCase cases[] = {
        {"heic", {}, 96, 64, none, "heic"},
        {"avif", {heif_compression_AV1}, 96, 64, none, "avif"},
        // A phone held upright stores the sensor's landscape and a rotation.
        {"rotated heic", {.orientation = heif_orientation_rotate_90_cw}, 96, 64, quarterRight, "heic"},
        // Odd sides are written as a grid of one coded tile, cropped.
        {"tiled heic", {}, 97, 65, none, "heic"},
        {"10-bit heic", {.bitDepth = 10}, 96, 64, none, "heic"},
    };
    QTemporaryDir dir;
    for (const HeifCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QImage source = Photo(c.width, c.height);
        const QByteArray file = EncodeHeif(source, c.options);
        ASSERT_FALSE(file.isEmpty()) << "no encoder";
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        ASSERT_TRUE(WriteFile(path, file));
        const LoadedPicture got = ReadPictureFile(path);
        ASSERT_TRUE(got.ok()) << got.message.toStdString();
        const QImage expected = source.transformed(c.upright).convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(got.uprightSize, expected.size());
        EXPECT_EQ(got.image.format(), QImage::Format_RGB32);
        EXPECT_EQ(got.format, c.format);
        EXPECT_GT(Psnr(got.image, expected), 30.0);
        // The corners say which way up it is, beyond what the PSNR shows.
        EXPECT_LT(ColourDistance(got.image.pixel(0, 0), expected.pixel(0, 0)), 40);
        EXPECT_LT(ColourDistance(got.image.pixel(expected.width() - 1, 0), expected.pixel(expected.width() - 1, 0)), 40);
    }
}

TEST(HeifReader, TransparencyIsLaidOverWhiteAndSizeIsChosenFirst) {
    QImage source(80, 60, QImage::Format_RGBA8888);
    source.fill(Qt::transparent);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 40; ++x) source.setPixelColor(x, y, QColor(0, 0, 255));
    const QByteArray file = EncodeHeif(source, {.alpha = true, .quality = 100});
    ASSERT_FALSE(file.isEmpty());
    QSize seen;
    const LoadedPicture got = ReadPictureData(file, QStringLiteral("a.heic"), [&seen](QSize s) {
        seen = s;
        return QSize(40, 30);
    });
    ASSERT_TRUE(got.ok()) << got.message.toStdString();
    EXPECT_EQ(seen, QSize(80, 60));
    EXPECT_EQ(got.uprightSize, QSize(80, 60));
    EXPECT_EQ(got.image.size(), QSize(40, 30));
    EXPECT_LT(ColourDistance(got.image.pixel(35, 15), qRgb(255, 255, 255)), 30);  // transparent half
    EXPECT_LT(ColourDistance(got.image.pixel(5, 15), qRgb(0, 0, 255)), 60);
}

TEST(HeifReader, BadFilesSayWhyAndNeverCrash) {
    const QByteArray good = EncodeHeif(Photo(64, 48));
    ASSERT_FALSE(good.isEmpty());
    QByteArray noImage = good.left(good.indexOf("meta") - 4);  // the ftyp box alone
    // The box that names the primary image, renamed; the coding of the
    // tiles ("hvc1" in their item entries) changed to one nobody decodes.
    QByteArray noPrimary = good;
    noPrimary.replace("pitm", "xitm");
    QByteArray unknownTiles = good;
    unknownTiles.replace("hvc1", "zzz1");
    struct Bad {
        const char* name;
        QByteArray bytes;
        PictureError error;
        const char* words;
    } cases[] = {
        {"cut in the middle", good.left(good.size() * 2 / 3), PictureError::Truncated, "truncated"},
        {"cut after ftyp", noImage, PictureError::Corrupt, "cannot be read"},
        {"no primary image", noPrimary, PictureError::Corrupt, "HEIC file has no primary image"},
        {"unknown tiles", unknownTiles, PictureError::Corrupt, "cannot be decoded"},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.name);
        const LoadedPicture got = ReadPictureData(c.bytes, QStringLiteral("p.heic"));
        EXPECT_FALSE(got.ok());
        EXPECT_TRUE(got.image.isNull());
        EXPECT_EQ(got.error, c.error);
        EXPECT_TRUE(got.message.startsWith(QStringLiteral("p.heic: "))) << got.message.toStdString();
        EXPECT_TRUE(got.message.contains(QLatin1String(c.words))) << got.message.toStdString();
    }
}

TEST(HeifReader, PixelAndMemoryLimitsRefuseBeforeDecoding) {
    const QByteArray file = EncodeHeif(Photo(64, 48), {.bitDepth = 10});
    ASSERT_FALSE(file.isEmpty());
    DecodeBudget budget(int64_t(64) << 20);
    PictureLimits fewPixels;
    fewPixels.maxPixels = 64 * 48 - 1;
    PictureLimits littleMemory;
    littleMemory.maxDecodeBytes = 64 * 48 * 4;  // the result alone; decoding needs more
    littleMemory.budget = &budget;
    for (const auto& [limits, words] : {std::pair{fewPixels, "64 x 48"},
                                        std::pair{littleMemory, "too large to decode: 3072 pixels at 10 bits"}}) {
        const LoadedPicture got = ReadPictureData(file, QStringLiteral("p.heic"), {}, limits);
        EXPECT_EQ(got.error, PictureError::TooLarge);
        EXPECT_TRUE(got.message.contains(QLatin1String(words))) << got.message.toStdString();
    }
    // Within the budget it is read, and what it took is given back.
    PictureLimits enough;
    enough.budget = &budget;
    EXPECT_TRUE(ReadPictureData(file, QStringLiteral("p.heic"), {}, enough).ok());
    EXPECT_EQ(budget.InUse(), 0);
    EXPECT_GE(budget.Peak(), int64_t(64) * 48 * 4 * 2);
}

TEST(HeifReader, SniffLooksAtTheBrandsOnly) {
    const auto sniff = [](const QByteArray& b) {
        return heif::Sniff(reinterpret_cast<const uint8_t*>(b.constData()), size_t(b.size()));
    };
    const auto ftyp = [](const char* major, const char* compatible) {
        QByteArray b("\0\0\0\x14" "ftyp", 8);
        b += major;
        b += QByteArray("\0\0\0\0", 4);
        b += compatible;
        return b;
    };
    EXPECT_EQ(sniff(ftyp("heic", "mif1")), heif::Brand::Heic);
    EXPECT_EQ(sniff(ftyp("mif1", "avif")), heif::Brand::Avif);
    EXPECT_EQ(sniff(ftyp("mif1", "miaf")), heif::Brand::Heif);
    EXPECT_EQ(sniff(ftyp("isom", "mp41")), heif::Brand::None);  // a video, not a picture
    EXPECT_EQ(sniff(ftyp("heic", "mif1").left(12)), heif::Brand::None);
    EXPECT_EQ(sniff(Encode(Photo(8, 8), "png")), heif::Brand::None);
}

} // namespace
} // namespace kestova
