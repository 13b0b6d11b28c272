// SPDX-License-Identifier: GPL-3.0-or-later
// The stage program's picture placement: DrawMyImage and the crop capture.

#include "imaging/Preparation.h"
#include "imaging/ProcessPic.h"
#include "tests/imaging/TestPictures.h"

#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestova {
namespace {

using namespace kestova::testing;

const QRgb kRed = qRgb(255, 0, 0), kGreen = qRgb(0, 255, 0), kBlue = qRgb(0, 0, 255),
           kYellow = qRgb(255, 255, 0), kWhite = qRgb(255, 255, 255);

QImage Stage(const MacPicture& pic) {
    QImage stage(kStageWidth, kStageHeight, QImage::Format_RGB32);
    stage.fill(Qt::white);
    QPainter p(&stage);
    DrawMyImage(p, QRectF(0, 0, kStageWidth, kStageHeight), pic, true);
    return stage;
}

bool Near(QRgb a, QRgb b) { return ColourDistance(a, b) < 30; }

TEST(Stage, FreshPictureIsUprightAndCentred) {
    const auto pic = MakePicture(Quadrants(100, 60));
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->angle, 180.0f);
    EXPECT_EQ(pic->xScale, -1.0f);
    EXPECT_EQ(pic->yScale, 1.0f);
    EXPECT_EQ(pic->xOffset, 0.0f);
    EXPECT_EQ(pic->yOffset, 0.0f);
    const QImage s = Stage(*pic);
    // The picture spans (240..339, 170..229).
    EXPECT_TRUE(Near(s.pixel(265, 185), kRed));
    EXPECT_TRUE(Near(s.pixel(315, 185), kGreen));
    EXPECT_TRUE(Near(s.pixel(265, 215), kBlue));
    EXPECT_TRUE(Near(s.pixel(315, 215), kYellow));
    EXPECT_EQ(s.pixel(238, 200), kWhite);
    EXPECT_EQ(s.pixel(341, 200), kWhite);
    EXPECT_EQ(s.pixel(290, 168), kWhite);
    EXPECT_EQ(s.pixel(290, 231), kWhite);
    EXPECT_TRUE(Near(s.pixel(241, 171), kRed));
    EXPECT_TRUE(Near(s.pixel(338, 228), kYellow));
}

TEST(Stage, OffsetsMoveThePictureCentre) {
    auto pic = MakePicture(Quadrants(100, 60));
    pic->xOffset = 30;
    pic->yOffset = -20;
    const QImage s = Stage(*pic);
    // Centre at (320, 180): red quadrant around (295, 165).
    EXPECT_TRUE(Near(s.pixel(295, 165), kRed));
    EXPECT_TRUE(Near(s.pixel(345, 195), kYellow));
    EXPECT_EQ(s.pixel(268, 180), kWhite);
}

TEST(Stage, RotationTurnsClockwiseAboutThePictureCentre) {
    auto pic = MakePicture(Quadrants(100, 60));
    pic->angle = 180 + 90;  // the user's rotation 90
    const QImage s = Stage(*pic);
    // Now 60 wide, 100 tall around (290, 200); red went to the top-right.
    EXPECT_TRUE(Near(s.pixel(305, 175), kRed));
    EXPECT_TRUE(Near(s.pixel(275, 175), kBlue));
    EXPECT_TRUE(Near(s.pixel(305, 225), kGreen));
    EXPECT_TRUE(Near(s.pixel(275, 225), kYellow));
    EXPECT_EQ(s.pixel(255, 200), kWhite);  // was covered before the turn
    pic->angle = 180 - 90;                 // the other way: red to the bottom-left
    EXPECT_TRUE(Near(Stage(*pic).pixel(275, 225), kRed));
}

TEST(Stage, ScaleActsAboutThePictureCentreWithSignsKept) {
    auto pic = MakePicture(Quadrants(100, 60));
    pic->xScale = -2;
    pic->yScale = 2;
    const QImage s = Stage(*pic);
    // 200 x 120 around (290, 200): spans (190..389, 140..259), still upright.
    EXPECT_TRUE(Near(s.pixel(195, 145), kRed));
    EXPECT_TRUE(Near(s.pixel(385, 255), kYellow));
    EXPECT_EQ(s.pixel(187, 200), kWhite);
    EXPECT_EQ(s.pixel(290, 137), kWhite);
}

TEST(Stage, CropCaptureMatchesWhatTheStageShows) {
    auto pic = MakePicture(Pattern(400, 300));
    pic->angle = 180 + 30;
    pic->xScale = -0.8f;
    pic->yScale = 0.8f;
    pic->xOffset = 17;
    pic->yOffset = -9;
    const QImage s = Stage(*pic);
    const QRectF crop(200, 110, 128, 96);
    const QImage captured = RenderCrop(*pic, crop);
    ASSERT_EQ(captured.size(), QSize(128, 96));
    EXPECT_EQ(captured.format(), QImage::Format_RGB888);
    const QImage shown = s.copy(200, 110, 128, 96).convertToFormat(QImage::Format_RGB888);
    EXPECT_LT(MeanDistance(captured, shown), 1.0);
    EXPECT_LE(MaxDistance(captured, shown), 40);
    // A rectangle dragged up and to the left (negative size) is the same area.
    EXPECT_EQ(RenderCrop(*pic, QRectF(328, 206, -128, -96)), captured);
}

TEST(Stage, UncoveredPixelsGetTheBackgroundColour) {
    auto pic = MakePicture(Quadrants(100, 60));
    // Picture in the middle, crop far to the left: nothing covered.
    const QImage far = RenderCrop(*pic, QRectF(0, 0, 64, 64), Qt::magenta);
    for (int y = 0; y < 64; y += 9)
        for (int x = 0; x < 64; x += 9) ASSERT_EQ(far.pixel(x, y), qRgb(255, 0, 255));
    // Half covered: left of the picture is background, inside is picture.
    const QImage half = RenderCrop(*pic, QRectF(200, 180, 80, 40), Qt::magenta);
    EXPECT_EQ(half.pixel(10, 10), qRgb(255, 0, 255));
    EXPECT_TRUE(Near(half.pixel(60, 5), kRed));
}

TEST(Stage, SuitableScaleCoversTheCentredCrop) {
    EXPECT_NEAR(SuitableScale(QSize(1280, 960), 128, 128), 128.0f / 960.0f, 1e-6);
    EXPECT_NEAR(SuitableScale(QSize(100, 300), 128, 160), 1.28f, 1e-6);
    EXPECT_EQ(SuitableScale(QSize(), 128, 128), 0.0f);
    const QRectF crop = CentredCropRect(128, 160);
    EXPECT_EQ(crop, QRectF(226, 120, 128, 160));

    for (QSize size : {QSize(1280, 960), QSize(90, 300), QSize(333, 77)}) {
        SCOPED_TRACE(size.width());
        auto pic = MakePicture(Pattern(size.width(), size.height()));
        const float s = SuitableScale(size, 128, 160);
        pic->xScale = -s;
        pic->yScale = s;
        const QImage lcd = RenderCropForLcd(*pic, crop, 128, 160, Qt::magenta);
        ASSERT_EQ(lcd.size(), QSize(128, 160));
        int background = 0;
        for (int y = 1; y < 159; ++y)
            for (int x = 1; x < 127; ++x) background += lcd.pixel(x, y) == qRgb(255, 0, 255);
        EXPECT_EQ(background, 0);
    }
}

TEST(Stage, CaptureWritesAnUprightBitmap) {
    QTemporaryDir dir;
    auto pic = MakePicture(Quadrants(200, 200));
    pic->xScale = -0.64f;  // 128 x 128 on the stage, exactly under the crop
    pic->yScale = 0.64f;
    const QString path = dir.filePath("crop.bmp");
    ASSERT_TRUE(SaveCropAsBitmap(*pic, CentredCropRect(128, 128), 128, 128, path));
    const QImage back = QImage(path).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(back.size(), QSize(128, 128));
    EXPECT_TRUE(Near(back.pixel(20, 20), kRed));
    EXPECT_TRUE(Near(back.pixel(108, 20), kGreen));
    EXPECT_TRUE(Near(back.pixel(20, 108), kBlue));
    EXPECT_TRUE(Near(back.pixel(108, 108), kYellow));
    EXPECT_EQ(MaxDistance(LoadPreparedBitmap(path, 128, 128).convertToFormat(QImage::Format_RGB32), back), 0);
    // Nothing placed: nothing written.
    EXPECT_FALSE(SaveCropAsBitmap(MacPicture{}, CentredCropRect(128, 128), 128, 128, dir.filePath("x.bmp")));
    EXPECT_FALSE(QFile::exists(dir.filePath("x.bmp")));
}

TEST(Stage, LoadPictureReportsUnreadableFiles) {
    QTemporaryDir dir;
    QString error;
    EXPECT_EQ(LoadPicture(dir.filePath("missing.png"), &error), nullptr);
    EXPECT_TRUE(error.contains("missing.png"));
    ASSERT_TRUE(WriteFile(dir.filePath("q.jpg"), WithExifOrientation(Encode(Quadrants(100, 60), "JPEG", 95), 6)));
    const auto pic = LoadPicture(dir.filePath("q.jpg"), &error);
    ASSERT_TRUE(pic);
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(pic->image.size(), QSize(60, 100));  // orientation applied
    EXPECT_EQ(pic->angle, 180.0f);
}

} // namespace
} // namespace kestova
