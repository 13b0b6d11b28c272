// SPDX-License-Identifier: GPL-3.0-or-later
// Cover-scale geometry, the 90-degree turns and the crop on white.

#include "imaging/Preparation.h"
#include "tests/imaging/TestPictures.h"

#include <gtest/gtest.h>

namespace kestova {
namespace {

using testing::Pattern;
using testing::Quadrants;

TEST(CoverGeometry, LandscapePictureOnSquareLcd) {
    // m = min(12.5, 9.375) - 0.00001: 170 x 128, columns 21..148 are kept.
    const CoverGeometry g = ComputeCoverGeometry(1600, 1200, 128, 128);
    EXPECT_FLOAT_EQ(g.m, 9.375f - 0.00001f);
    EXPECT_EQ(g.scaledWidth, 170);
    EXPECT_EQ(g.scaledHeight, 128);
    EXPECT_EQ(g.cropX, 21);
    EXPECT_EQ(g.cropY, 0);
}

TEST(CoverGeometry, SmallPortraitPictureIsEnlarged) {
    // m = min(0.78125, 1.875) - 0.00001: 128 x 384, rows from 112.
    const CoverGeometry g = ComputeCoverGeometry(100, 300, 128, 160);
    EXPECT_EQ(g.scaledWidth, 128);
    EXPECT_EQ(g.scaledHeight, 384);
    EXPECT_EQ(g.cropX, 0);
    EXPECT_EQ(g.cropY, 112);
}

TEST(CoverGeometry, AlwaysCoversTheTarget) {
    // Exact multiples (where the subtraction matters) and ratios in the
    // thousands (where single precision cannot carry it) alike.
    const int sizes[][4] = {{128, 128, 128, 128}, {256, 256, 128, 128}, {1280, 960, 320, 240},
                            {3, 7, 128, 160},     {1, 1, 320, 240},     {200000, 150, 128, 128},
                            {150, 500000, 128, 160}, {640, 480, 128, 128}, {4000, 3000, 220, 176}};
    for (const auto& s : sizes) {
        const CoverGeometry g = ComputeCoverGeometry(s[0], s[1], s[2], s[3]);
        SCOPED_TRACE(::testing::Message() << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3]);
        EXPECT_GE(g.scaledWidth, s[2]);
        EXPECT_GE(g.scaledHeight, s[3]);
        EXPECT_GE(g.cropX, 0);
        EXPECT_GE(g.cropY, 0);
        EXPECT_LE(g.cropX + s[2], g.scaledWidth);
        EXPECT_LE(g.cropY + s[3], g.scaledHeight);
        // One side is exactly (or within rounding of) the target's.
        EXPECT_TRUE(g.scaledWidth <= s[2] + 1 || g.scaledHeight <= s[3] + 1);
    }
    // Same size: nothing to scale, nothing to cut.
    const CoverGeometry same = ComputeCoverGeometry(128, 128, 128, 128);
    EXPECT_EQ(same.scaledWidth, 128);
    EXPECT_EQ(same.scaledHeight, 128);
}

TEST(CoverGeometry, UnusableSizesGiveZero) {
    EXPECT_EQ(ComputeCoverGeometry(0, 100, 128, 128).scaledWidth, 0);
    EXPECT_EQ(ComputeCoverGeometry(100, 100, 0, 128).scaledWidth, 0);
    EXPECT_EQ(ComputeCoverGeometry(100, -1, 128, 128).scaledHeight, 0);
}

TEST(Rotation, SwapsSidesAndMovesCornersTheRightWay) {
    const QImage src = Pattern(300, 200);
    const QImage right = RotateRight(src);
    const QImage left = RotateLeft(src);
    ASSERT_EQ(right.size(), QSize(200, 300));
    ASSERT_EQ(left.size(), QSize(200, 300));
    // Clockwise: the top-left source pixel ends at the top-right.
    EXPECT_EQ(right.pixel(199, 0), src.pixel(0, 0));
    EXPECT_EQ(right.pixel(0, 0), src.pixel(0, 199));
    // Counter-clockwise: the top-left source pixel ends at the bottom-left.
    EXPECT_EQ(left.pixel(0, 299), src.pixel(0, 0));
    EXPECT_EQ(left.pixel(0, 0), src.pixel(299, 0));
    // Every pixel by the formulas.
    for (int y = 0; y < 200; y += 7)
        for (int x = 0; x < 300; x += 11) {
            ASSERT_EQ(left.pixel(y, 300 - 1 - x), src.pixel(x, y));
            ASSERT_EQ(right.pixel(200 - 1 - y, x), src.pixel(x, y));
        }
}

TEST(Rotation, LeftThenRightAndFourTurnsRestore) {
    for (QSize size : {QSize(300, 200), QSize(1, 7), QSize(13, 1), QSize(64, 64)}) {
        const QImage src = Pattern(size.width(), size.height());
        EXPECT_EQ(RotateRight(RotateLeft(src)), src);
        EXPECT_EQ(RotateLeft(RotateRight(src)), src);
        EXPECT_EQ(RotateRight(RotateRight(RotateRight(RotateRight(src)))), src);
        EXPECT_EQ(RotateLeft(RotateLeft(RotateLeft(RotateLeft(src)))), src);
        // Two turns either way are the same half turn.
        EXPECT_EQ(RotateLeft(RotateLeft(src)), RotateRight(RotateRight(src)));
    }
    // 24-bit input is handled (turned as 32-bit pixels).
    const QImage rgb = Pattern(31, 17).convertToFormat(QImage::Format_RGB888);
    EXPECT_EQ(RotateLeft(rgb).pixel(0, 30), rgb.pixel(0, 0));
    EXPECT_TRUE(RotateLeft(QImage()).isNull());
    EXPECT_EQ(Rotate(rgb, Rotation::None), rgb);
}

TEST(CropOnWhite, SmallPictureIsCentredWithWhiteBorder) {
    // A 100 x 80 picture in a 128 x 128 crop: 14 white columns left and
    // right, 24 white rows above and below.
    const QImage pic = Quadrants(100, 80);
    const QImage out = CropOnWhite(pic, QPoint(-14, -24), QSize(128, 128));
    ASSERT_EQ(out.size(), QSize(128, 128));
    const QRgb white = qRgb(255, 255, 255);
    EXPECT_EQ(out.pixel(13, 64), white);
    EXPECT_EQ(out.pixel(14, 24), pic.pixel(0, 0));
    EXPECT_EQ(out.pixel(113, 103), pic.pixel(99, 79));
    EXPECT_EQ(out.pixel(114, 64), white);
    EXPECT_EQ(out.pixel(64, 23), white);
    EXPECT_EQ(out.pixel(64, 104), white);
    int whitePixels = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) whitePixels += out.pixel(x, y) == white;
    EXPECT_EQ(whitePixels, 128 * 128 - 100 * 80);
}

TEST(CropOnWhite, LargePictureGivesThePartUnderTheCrop) {
    const QImage pic = Pattern(300, 200);
    const QImage out = CropOnWhite(pic, QPoint(40, 30), QSize(128, 128));
    EXPECT_EQ(out, pic.copy(40, 30, 128, 128).convertToFormat(QImage::Format_RGB32));
    // A crop origin past the edge is kept inside the picture.
    EXPECT_EQ(CropOnWhite(pic, QPoint(250, -5), QSize(128, 128)), pic.copy(172, 0, 128, 128));
}

TEST(CropOnWhite, EachDirectionOnItsOwn) {
    // Narrower than the crop but taller: centred across, cut along.
    const QImage pic = Pattern(50, 300);
    const QImage out = CropOnWhite(pic, QPoint(0, 100), QSize(128, 128));
    // (128 - 50) / 2 = 39 white columns on the left.
    EXPECT_EQ(out.pixel(39, 0), pic.pixel(0, 100));
    EXPECT_EQ(out.pixel(88, 127), pic.pixel(49, 227));
    EXPECT_EQ(out.pixel(38, 50), qRgb(255, 255, 255));
    EXPECT_EQ(out.pixel(89, 50), qRgb(255, 255, 255));
    // No picture at all: all white.
    const QImage blank = CropOnWhite(QImage(), QPoint(), QSize(4, 4));
    EXPECT_EQ(blank.pixel(3, 3), qRgb(255, 255, 255));
}

// A grey field with one 100 x 100 block of `kind` at `at` along the long side.
QImage FieldWithBlock(bool wide, int at, const char* kind) {
    QImage img(wide ? 400 : 100, wide ? 100 : 400, QImage::Format_RGB32);
    img.fill(qRgb(128, 128, 128));
    const QRect block = wide ? QRect(at, 0, 100, 100) : QRect(0, at, 100, 100);
    for (int y = block.top(); y <= block.bottom(); ++y)
        for (int x = block.left(); x <= block.right(); ++x) {
            QRgb c = qRgb(128, 128, 128);
            if (std::string(kind) == "detail") c = ((x / 3 + y / 3) & 1) ? qRgb(250, 250, 250) : qRgb(10, 10, 10);
            if (std::string(kind) == "colour") c = qRgb(30, 40, 230);
            if (std::string(kind) == "skin") c = qRgb(224, 172, 140);
            img.setPixel(x, y, c);
        }
    return img;
}

TEST(PlaceCrop, GravityGoesToTheEdgeAndAttentionToTheDetailColourOrSkin) {
    struct Case {
        bool wide;
        CropPlacement placement;
        int blockAt;        // -1: a flat grey field
        const char* kind;
        QPoint origin;
    } cases[] = {
        {true, CropPlacement::Centre, -1, "", {150, 0}},       {true, CropPlacement::West, -1, "", {0, 0}},
        {true, CropPlacement::East, -1, "", {300, 0}},         {true, CropPlacement::North, -1, "", {150, 0}},
        {false, CropPlacement::North, -1, "", {0, 0}},         {false, CropPlacement::South, -1, "", {0, 300}},
        {false, CropPlacement::East, -1, "", {0, 150}},        {true, CropPlacement::Attention, -1, "", {150, 0}},
        {true, CropPlacement::Attention, 37, "detail", {37, 0}}, {true, CropPlacement::Attention, 300, "detail", {300, 0}},
        {false, CropPlacement::Attention, 0, "detail", {0, 0}}, {false, CropPlacement::Attention, 211, "colour", {0, 211}},
        {true, CropPlacement::Attention, 250, "skin", {250, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.wide ? "wide " : "tall ") << int(c.placement) << " " << c.kind << " at "
                                        << c.blockAt);
        const QImage picture = c.blockAt < 0 ? FieldWithBlock(c.wide, 0, "") : FieldWithBlock(c.wide, c.blockAt, c.kind);
        EXPECT_EQ(PlaceCrop(picture, QSize(100, 100), c.placement), c.origin);
    }
    // Through the preparation: the default is the centre, and a placement
    // moves the window (and says where in the geometry).
    const QImage wide = FieldWithBlock(true, 300, "detail");
    const PreparedPicture centre = PrepareImage(wide, 50, 50);
    const PreparedPicture attention = PrepareImage(wide, 50, 50, Rotation::None, CropPlacement::Attention);
    EXPECT_EQ(centre.geometry.cropX, 75);
    EXPECT_NEAR(attention.geometry.cropX, 150, 2);  // the smoothed block edge may draw it a pixel or two
    EXPECT_EQ(attention.image, CoverAndCrop(wide, QSize(50, 50), CropPlacement::Attention).convertToFormat(QImage::Format_RGB888));
    EXPECT_EQ(centre.image, CoverAndCrop(wide, QSize(50, 50)).convertToFormat(QImage::Format_RGB888));
}

} // namespace
} // namespace kestova
