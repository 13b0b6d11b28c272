// SPDX-License-Identifier: GPL-3.0-or-later
// From a picture file to the prepared bitmap, and the bitmap file itself.

#include "common/coder/Bmp.h"
#include "imaging/Preparation.h"
#include "tests/imaging/TestPictures.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestova {
namespace {

using namespace kestova::testing;

class PrepareTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
};

// Vertical stripes 8 source pixels wide: any shift of the crop by even one
// scaled column changes many pixels.
QImage Stripes(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x / 8) % 2 ? 255 : 0, (x * 255) / w, (y * 255) / h));
    return img;
}

TEST_F(PrepareTest, LandscapeFileOnSquareLcdKeepsTheCentreColumns) {
    // 1600 x 1200 for 128 x 128: the picture scaled to 170 x 128, columns
    // 21 to 148 of it. A PNG takes the plain decode-then-scale road, so the
    // result must equal that reference exactly.
    const QImage src = Stripes(1600, 1200);
    ASSERT_TRUE(WriteFile(Path("wide.png"), Encode(src, "PNG")));
    const PreparedPicture p = PreparePictureFile(Path("wide.png"), 128, 128);
    ASSERT_TRUE(p.ok()) << p.message.toStdString();
    EXPECT_EQ(p.sourceSize, QSize(1600, 1200));
    EXPECT_EQ(p.geometry.scaledWidth, 170);
    EXPECT_EQ(p.geometry.cropX, 21);
    ASSERT_EQ(p.image.size(), QSize(128, 128));
    EXPECT_EQ(p.image.format(), QImage::Format_RGB888);
    const QImage reference = src.scaled(170, 128, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                 .copy(21, 0, 128, 128)
                                 .convertToFormat(QImage::Format_RGB888);
    EXPECT_EQ(MaxDistance(p.image, reference), 0);
    // One column off is far away: the test would see a misplaced crop.
    const QImage shifted = src.scaled(170, 128, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                               .copy(22, 0, 128, 128)
                               .convertToFormat(QImage::Format_RGB888);
    EXPECT_GT(MeanDistance(p.image, shifted), 20.0);
}

TEST_F(PrepareTest, CameraJpegUsesReducedDecodeAndStillMatches) {
    // The same through a JPEG: decoded at a reduced DCT scale, it must stay
    // close to a full decode scaled and cropped the plain way.
    const QImage src = Stripes(1600, 1200);
    const QByteArray jpeg = Encode(src, "JPEG", 92);
    ASSERT_TRUE(WriteFile(Path("wide.jpg"), jpeg));
    const PreparedPicture p = PreparePictureFile(Path("wide.jpg"), 128, 128);
    ASSERT_TRUE(p.ok()) << p.message.toStdString();
    ASSERT_EQ(p.image.size(), QSize(128, 128));
    const QImage full = ReadPictureData(jpeg, "wide.jpg").image;
    const QImage reference = full.scaled(170, 128, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                 .copy(21, 0, 128, 128)
                                 .convertToFormat(QImage::Format_RGB888);
    EXPECT_LT(MeanDistance(p.image, reference), 12.0);
}

TEST_F(PrepareTest, SmallPortraitFileIsEnlargedAndCutAcross) {
    // 100 x 300 for 128 x 160: scaled to 128 x 384, rows 112 to 271. Rows
    // 0..111 of the scaled picture are blue, 112..271 green, the rest red.
    QImage src(100, 300, QImage::Format_RGB32);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 100; ++x)
            src.setPixel(x, y, y < 112 * 300 / 384 ? qRgb(0, 0, 255)
                                : y < 272 * 300 / 384 ? qRgb(0, 255, 0)
                                                      : qRgb(255, 0, 0));
    ASSERT_TRUE(WriteFile(Path("tall.png"), Encode(src, "PNG")));
    const PreparedPicture p = PreparePictureFile(Path("tall.png"), 128, 160);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.geometry.scaledHeight, 384);
    EXPECT_EQ(p.geometry.cropY, 112);
    ASSERT_EQ(p.image.size(), QSize(128, 160));
    // Inside (away from the two blended boundary rows) it is all green.
    for (int y = 3; y < 157; ++y)
        ASSERT_LT(ColourDistance(p.image.pixel(64, y), qRgb(0, 255, 0)), 10) << y;
}

TEST_F(PrepareTest, RotationIsAppliedBeforeCovering) {
    // A 300 x 100 picture turned right is 100 x 300; on a 100 x 300 LCD it
    // then fits exactly and equals the plain clockwise turn.
    const QImage src = Pattern(300, 100);
    ASSERT_TRUE(WriteFile(Path("p.png"), Encode(src, "PNG")));
    PreparedPicture p = PreparePictureFile(Path("p.png"), 100, 300, Rotation::Right);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(MaxDistance(p.image, RotateRight(src).convertToFormat(QImage::Format_RGB888)), 0);
    p = PreparePictureFile(Path("p.png"), 100, 300, Rotation::Left);
    EXPECT_EQ(MaxDistance(p.image, RotateLeft(src).convertToFormat(QImage::Format_RGB888)), 0);
    // And with a reduced JPEG decode, the red corner still lands correctly.
    ASSERT_TRUE(WriteFile(Path("q.jpg"), Encode(Quadrants(1600, 1200), "JPEG", 90)));
    p = PreparePictureFile(Path("q.jpg"), 120, 160, Rotation::Right);
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(p.image.size(), QSize(120, 160));
    EXPECT_LT(ColourDistance(p.image.pixel(115, 5), qRgb(255, 0, 0)), 40);   // top-right: red
    EXPECT_LT(ColourDistance(p.image.pixel(5, 5), qRgb(0, 0, 255)), 40);     // top-left: blue
}

TEST_F(PrepareTest, ExtremeStripDoesNotBuildTheWholeScaledPicture) {
    // 2 x 20000 covering 128 x 128 would scale to 128 x 1280000; only the
    // crop is drawn, and it is the strip's middle colour.
    QImage strip(2, 20000, QImage::Format_RGB32);
    strip.fill(qRgb(0, 0, 255));
    for (int y = 9000; y < 11000; ++y) strip.setPixel(0, y, qRgb(255, 0, 0)), strip.setPixel(1, y, qRgb(255, 0, 0));
    const PreparedPicture p = PrepareImage(strip, 128, 128);
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(p.image.size(), QSize(128, 128));
    EXPECT_EQ(p.geometry.scaledWidth, 128);
    EXPECT_GT(p.geometry.scaledHeight, 1'000'000);
    EXPECT_LT(ColourDistance(p.image.pixel(64, 64), qRgb(255, 0, 0)), 10);
}

TEST_F(PrepareTest, FailuresCarryTheFileName) {
    PreparedPicture p = PreparePictureFile(Path("none.jpg"), 128, 128);
    EXPECT_EQ(p.error, PictureError::CannotOpen);
    EXPECT_TRUE(p.message.contains("none.jpg"));
    EXPECT_TRUE(p.image.isNull());
    const QByteArray jpeg = Encode(Pattern(200, 200), "JPEG", 90);
    ASSERT_TRUE(WriteFile(Path("cut.jpg"), jpeg.left(jpeg.size() / 2)));
    p = PreparePictureFile(Path("cut.jpg"), 128, 128);
    EXPECT_EQ(p.error, PictureError::Truncated);
    EXPECT_TRUE(p.message.contains("cut.jpg"));
    ASSERT_TRUE(WriteFile(Path("ok.png"), Encode(Pattern(20, 20), "PNG")));
    EXPECT_FALSE(PreparePictureFile(Path("ok.png"), 0, 128).ok());
}

TEST_F(PrepareTest, PreparedBitmapIs24BitBottomUpAndReadsBack) {
    const QImage pic = Pattern(130, 7).convertToFormat(QImage::Format_RGB888);
    ASSERT_TRUE(SavePreparedBitmap(pic, Path("p.bmp")));
    QFile f(Path("p.bmp"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    // 130 pixels: 390 bytes a row plus 2 padding bytes.
    ASSERT_EQ(bytes.size(), 54 + 7 * 392);
    EXPECT_EQ(uint8_t(bytes[28]), 24);
    // First stored row is the bottom picture row, B G R.
    const QRgb bottomLeft = pic.pixel(0, 6);
    EXPECT_EQ(uint8_t(bytes[54]), qBlue(bottomLeft));
    EXPECT_EQ(uint8_t(bytes[55]), qGreen(bottomLeft));
    EXPECT_EQ(uint8_t(bytes[56]), qRed(bottomLeft));
    EXPECT_EQ(bytes[54 + 390], 0);
    EXPECT_EQ(bytes[54 + 391], 0);
    // Back through the encoder's reader and through Qt's own BMP reader.
    EXPECT_EQ(MaxDistance(LoadPreparedBitmap(Path("p.bmp"), 130, 7), pic), 0);
    EXPECT_EQ(MaxDistance(QImage(Path("p.bmp")).convertToFormat(QImage::Format_RGB888), pic), 0);
    // A wrong size or a missing file gives nothing.
    EXPECT_TRUE(LoadPreparedBitmap(Path("p.bmp"), 128, 7).isNull());
    EXPECT_TRUE(LoadPreparedBitmap(Path("missing.bmp"), 130, 7).isNull());
    EXPECT_FALSE(SavePreparedBitmap(QImage(), Path("null.bmp")));
    EXPECT_FALSE(SavePreparedBitmap(pic, dir.filePath("no/such/dir/p.bmp")));
}

TEST_F(PrepareTest, RgbImageConversionsKeepEveryPixel) {
    const QImage pic = Pattern(33, 9).convertToFormat(QImage::Format_RGB888);
    const RgbImage rgb = ToRgbImage(pic);
    ASSERT_EQ(rgb.width, 33);
    ASSERT_EQ(rgb.height, 9);
    EXPECT_EQ(rgb.rgb[0], qRed(pic.pixel(0, 0)));
    EXPECT_EQ(rgb.rgb[3 * 33 * 8 + 3 * 32 + 2], qBlue(pic.pixel(32, 8)));
    EXPECT_EQ(FromRgbImage(rgb), pic);
    const std::vector<uint8_t> rows = ToBottomUpBgr(pic);
    ASSERT_EQ(rows.size(), size_t(33 * 9 * 3));
    EXPECT_EQ(rows[0], qBlue(pic.pixel(0, 8)));
    EXPECT_TRUE(FromRgbImage(RgbImage{}).isNull());
}

} // namespace
} // namespace kestova
