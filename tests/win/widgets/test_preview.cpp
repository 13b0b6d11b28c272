// SPDX-License-Identifier: GPL-3.0-or-later
// The preview: fitting a loaded picture, the crop rectangle under the mouse,
// zoom limits, rotation, rectangle mode and the pixels Add takes.

#include "tests/win/widgets/WidgetTestSupport.h"
#include "win/widgets/Preview.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kestova::win;
using namespace kestova::win::test;

namespace {

class Preview : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApp();
        view.resize(500, 360);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    }
    QString Save(const QImage& img, const QString& name)
    {
        const QString path = dir.filePath(name);
        SavePicture(path, img);
        return path;
    }
    void Drag(QPoint from, QPoint to)
    {
        QTest::mousePress(&view, Qt::LeftButton, {}, from);
        QTest::mouseMove(&view, (from + to) / 2);
        QTest::mouseMove(&view, to);
        QTest::mouseRelease(&view, Qt::LeftButton, {}, to);
    }

    AppFirst app;
    QTemporaryDir dir;
    CPreview view;
};

TEST_F(Preview, ALargePictureIsFittedAndCentred)
{
    ASSERT_TRUE(view.LoadPicture(Save(Quadrants(1600, 1200), "big.png")));
    EXPECT_EQ(view.PictureSize(), QSize(360, 270));
    EXPECT_EQ(view.ViewRect(), QRect(70, 45, 360, 270));
    EXPECT_EQ(view.CropRect(), QRect(186, 116, 128, 128));
    EXPECT_TRUE(view.SourcePath().endsWith("big.png"));

    // What is drawn: the picture in the view rectangle (dimmed outside the
    // crop rectangle), button face around it.
    const QImage shown = view.grab().toImage();
    EXPECT_EQ(QColor(shown.pixel(190, 120)), QColor(255, 0, 0));
    EXPECT_NEAR(QColor(shown.pixel(72, 47)).red(), 145, 2);
    EXPECT_EQ(QColor(shown.pixel(72, 47)).green(), 0);
    EXPECT_NEAR(QColor(shown.pixel(427, 312)).red(), 145, 2);
    EXPECT_NEAR(QColor(shown.pixel(427, 312)).green(), 145, 2);
    EXPECT_EQ(QColor(shown.pixel(60, 40)), view.palette().color(QPalette::Button));

    // A tall one: the height is fitted.
    ASSERT_TRUE(view.LoadPicture(Save(Quadrants(300, 1200), "tall.png")));
    EXPECT_EQ(view.PictureSize(), QSize(90, 360));
    EXPECT_EQ(view.ViewRect(), QRect(205, 0, 90, 360));
}

TEST_F(Preview, ASmallPictureIsCroppedCentredOnWhite)
{
    const QImage small = Quadrants(100, 80);
    ASSERT_TRUE(view.LoadPicture(Save(small, "small.png")));
    EXPECT_EQ(view.ViewRect(), QRect(200, 140, 100, 80));
    const QImage crop = view.GetCropBitmap();
    ASSERT_EQ(crop.size(), QSize(128, 128));
    const QColor white(255, 255, 255);
    EXPECT_EQ(QColor(crop.pixel(13, 64)), white);
    EXPECT_EQ(QColor(crop.pixel(14, 24)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(crop.pixel(113, 103)), QColor(255, 255, 0));
    EXPECT_EQ(QColor(crop.pixel(114, 64)), white);
    EXPECT_EQ(QColor(crop.pixel(64, 23)), white);
    EXPECT_EQ(QColor(crop.pixel(64, 104)), white);
    EXPECT_EQ(crop.copy(14, 24, 100, 80).convertToFormat(QImage::Format_RGB32), small);
}

TEST_F(Preview, DraggingTheRectangleStopsAtThePictureEdgesAndAddTakesWhatItCovers)
{
    ASSERT_TRUE(view.LoadPicture(Save(Pattern(1600, 1200), "pattern.png")));
    const QRect v = view.ViewRect();
    // A press outside the rectangle moves nothing.
    Drag({80, 60}, {300, 300});
    EXPECT_EQ(view.CropRect().topLeft(), QPoint(186, 116));

    Drag({200, 130}, {200 + 40, 130 - 30});
    EXPECT_EQ(view.CropRect(), QRect(226, 86, 128, 128));
    Drag({240, 100}, {1000, 1000});
    EXPECT_EQ(view.CropRect().topLeft(), QPoint(v.x() + v.width() - 128, v.y() + v.height() - 128));
    Drag(view.CropRect().center(), {-500, -500});
    EXPECT_EQ(view.CropRect().topLeft(), v.topLeft());

    Drag(view.CropRect().center(), view.CropRect().center() + QPoint(17, 9));
    const QRect c = view.CropRect();
    EXPECT_EQ(c.topLeft(), v.topLeft() + QPoint(17, 9));
    const QImage taken = view.GetCropBitmap();
    ASSERT_EQ(taken.size(), QSize(128, 128));
    EXPECT_EQ(taken.convertToFormat(QImage::Format_RGB32),
              view.DisplayBuffer().copy(QRect(c.topLeft() - v.topLeft(), c.size())));
    EXPECT_EQ(view.grab().toImage().copy(c.adjusted(1, 1, -1, -1)).convertToFormat(QImage::Format_RGB32),
              taken.copy(1, 1, 126, 126).convertToFormat(QImage::Format_RGB32));
}

// The crop rectangle shows on any picture: its edge holds both black and
// white pixels, what it covers is drawn as it is, and what lies outside is
// darker (the frame will not show it).
TEST_F(Preview, TheCropRectangleShowsOnDarkAndLightPictures)
{
    for (const QColor colour : {QColor(0, 0, 0), QColor(255, 255, 255), QColor(40, 40, 160)}) {
        SCOPED_TRACE(colour.name().toStdString());
        QImage plain(400, 300, QImage::Format_RGB32);
        plain.fill(colour);
        ASSERT_TRUE(view.LoadPicture(Save(plain, "plain.png")));
        const QRect c = view.CropRect();
        const QImage shown = view.grab().toImage();
        int dark = 0, light = 0;
        for (int x = c.left(); x <= c.right(); ++x)
            for (int y : {c.top(), c.bottom()}) {
                const int v = QColor(shown.pixel(x, y)).value();
                dark += v < 60;
                light += v > 200;
            }
        EXPECT_GT(dark, c.width() / 3);
        EXPECT_GT(light, c.width() / 3);
        EXPECT_EQ(QColor(shown.pixel(c.center())), colour);
        const QColor outside(shown.pixel(view.ViewRect().topLeft() + QPoint(2, 2)));
        if (colour.value() > 0)
            EXPECT_LT(outside.value(), colour.value() * 3 / 4);
        else
            EXPECT_EQ(outside, colour);
    }
}

TEST_F(Preview, ZoomStopsAtTheClientAreaAndAtFourPixels)
{
    EXPECT_FALSE(view.Zoom(1));  // nothing shown
    ASSERT_TRUE(view.LoadPicture(Save(Quadrants(1600, 1200), "big.png")));
    EXPECT_TRUE(view.Zoom(1));
    EXPECT_EQ(view.ViewRect(), QRect(55, 30, 390, 300));
    EXPECT_TRUE(view.Zoom(1));
    EXPECT_TRUE(view.Zoom(1));
    EXPECT_EQ(view.ViewRect(), QRect(25, 0, 450, 360));
    EXPECT_FALSE(view.Zoom(1));  // 390 high would leave the client area
    EXPECT_EQ(view.ViewRect(), QRect(25, 0, 450, 360));
    EXPECT_EQ(view.CropRect(), QRect(186, 116, 128, 128));
    EXPECT_EQ(QColor(view.GetCropBitmap().pixel(0, 0)), QColor(255, 0, 0));

    // A 16 x 16 display: one step out would give -14, so nothing changes.
    ASSERT_TRUE(view.LoadPicture(Save(Quadrants(16, 16), "tiny.png")));
    EXPECT_EQ(view.ViewRect(), QRect(242, 172, 16, 16));
    EXPECT_TRUE(view.Zoom(-1));
    EXPECT_EQ(view.ViewRect(), QRect(242, 172, 16, 16));
    EXPECT_TRUE(view.Zoom(1));
    EXPECT_TRUE(view.Zoom(-1));
    EXPECT_EQ(view.ViewRect(), QRect(242, 172, 16, 16));
}

TEST_F(Preview, RotatingTurnsThePixelsAndDropsTheZoom)
{
    const QImage source = Pattern(300, 200);
    ASSERT_TRUE(view.LoadPicture(Save(source, "p.png")));
    ASSERT_TRUE(view.Zoom(1));
    ASSERT_TRUE(view.Rotate(0, 90));  // clockwise
    EXPECT_EQ(view.PictureSize(), QSize(200, 300));
    EXPECT_EQ(view.ViewRect(), QRect(150, 30, 200, 300));
    const QImage& turned = view.Picture();
    EXPECT_EQ(turned.pixel(199, 0), source.pixel(0, 0));  // top-left went to the top-right
    EXPECT_EQ(turned.pixel(0, 0), source.pixel(0, 199));
    EXPECT_EQ(turned.pixel(0, 299), source.pixel(299, 199));

    ASSERT_TRUE(view.Rotate(1, 90));  // and back
    EXPECT_EQ(view.Picture().convertToFormat(QImage::Format_RGB32), source);
    ASSERT_TRUE(view.Rotate(1, 90));
    EXPECT_EQ(view.Picture().pixel(0, 299), source.pixel(0, 0));  // counter-clockwise: bottom-left
    EXPECT_FALSE(view.Rotate(0, 45));

    view.ClearPicture();
    EXPECT_FALSE(view.Rotate(0, 90));
    EXPECT_TRUE(view.SourcePath().isEmpty());
    EXPECT_TRUE(view.GetCropBitmap().isNull());
}

TEST_F(Preview, WithoutRectangleModeTheWholePictureIsShownAndTaken)
{
    ASSERT_TRUE(view.LoadPicture(Save(Quadrants(1600, 1200), "big.png")));
    view.SetCropSize(160, 120);
    view.SetRectMode(false);
    EXPECT_EQ(view.ViewRect(), QRect(170, 120, 160, 120));
    EXPECT_EQ(view.ViewRect(), view.CropRect());
    const QImage taken = view.GetCropBitmap();
    ASSERT_EQ(taken.size(), QSize(160, 120));
    EXPECT_EQ(QColor(taken.pixel(3, 3)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(taken.pixel(156, 3)), QColor(0, 255, 0));
    EXPECT_EQ(QColor(taken.pixel(3, 116)), QColor(0, 0, 255));
    EXPECT_EQ(QColor(taken.pixel(156, 116)), QColor(255, 255, 0));

    view.SetRectMode(true);
    EXPECT_EQ(view.ViewRect(), QRect(70, 45, 360, 270));
    EXPECT_EQ(view.CropRect(), QRect(170, 120, 160, 120));
}

TEST_F(Preview, DoubleClickInsideTheRectangleAsksForAddAndTheRightButtonIsPassedOn)
{
    QSignalSpy add(&view, &CPreview::doublecliked);
    QSignalSpy right(&view, &CPreview::rightButtonDown);
    DoubleClick(&view, {250, 180});  // nothing shown yet
    ASSERT_TRUE(view.LoadPicture(Save(Quadrants(1600, 1200), "big.png")));
    DoubleClick(&view, {100, 100});  // outside the rectangle
    QTest::qWait(20);
    EXPECT_EQ(add.count(), 0);
    DoubleClick(&view, {250, 180});
    ASSERT_TRUE(add.count() == 1 || add.wait(1000));
    EXPECT_EQ(view.CropRect().topLeft(), QPoint(186, 116));  // the double click moved nothing
    view.SetRectMode(false);
    DoubleClick(&view, {250, 180});
    QTest::qWait(20);
    EXPECT_EQ(add.count(), 1);

    QTest::mouseClick(&view, Qt::RightButton, {}, {33, 44});
    ASSERT_TRUE(right.wait(1000));
    EXPECT_EQ(right.at(0).at(0).toPoint(), QPoint(33, 44));
}

TEST_F(Preview, AFileThatIsNoPictureClearsTheView)
{
    ASSERT_TRUE(view.LoadPicture(Save(Quadrants(40, 40), "ok.png")));
    WriteText(dir.filePath("bad.jpg"), "not a jpeg at all");
    EXPECT_FALSE(view.LoadPicture(dir.filePath("bad.jpg")));
    EXPECT_FALSE(view.HasPicture());
    EXPECT_TRUE(view.SourcePath().isEmpty());
    EXPECT_FALSE(view.Zoom(1));
    EXPECT_EQ(QColor(view.grab().toImage().pixel(250, 180)), view.palette().color(QPalette::Button));
}

} // namespace
