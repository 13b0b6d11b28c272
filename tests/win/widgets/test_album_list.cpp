// SPDX-License-Identifier: GPL-3.0-or-later
// The album list: where thumbnails stand, the image list's free slots, the
// layout after deletions, and adding from bitmap files.

#include "imaging/Preparation.h"
#include "tests/win/widgets/WidgetTestSupport.h"
#include "win/widgets/AlbumList.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kestova::win;
using namespace kestova::win::test;

namespace {

class Album : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApp();
        list.resize(600, 900);
        list.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
        list.CreateImages();
    }
    void AddColoured(int n)
    {
        for (int i = 0; i < n; ++i) {
            QImage img(list.ThumbnailSize(), QImage::Format_RGB32);
            img.fill(QColor::fromHsv((i * 40) % 360, 200, 200));
            ASSERT_TRUE(list.AddThumbnail(img, QString::asprintf("%04d.bmp", list.count() + 1)));
        }
    }
    QPoint Shown(int i) { return list.visualItemRect(list.item(i)).topLeft(); }

    AppFirst app;
    CAlbumList list;
};

TEST_F(Album, ThumbnailsStandWhereTheGeometrySays)
{
    AddColoured(5);
    // Defaults: 2 columns, 128 x 128, gaps 15.
    const QPoint expected[] = {{15, 0}, {158, 0}, {15, 143}, {158, 143}, {15, 286}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(list.PositionOf(i), expected[i]) << i;
        EXPECT_EQ(Shown(i), expected[i]) << i;
    }

    // The geometry a frame gives: width 100, height 75, gaps 5 and 20, 3 columns.
    list.RemoveAll();
    list.SetGeometry(100, 75, 5, 20);
    list.SetColumns(3);
    list.CreateImages();
    AddColoured(5);
    EXPECT_EQ(list.iconSize(), QSize(100, 75));
    EXPECT_EQ(Shown(2), QPoint(215, 0));
    EXPECT_EQ(Shown(4), QPoint(110, 95));

    // A settings file without a column count: one column, no division by zero.
    list.SetColumns(0);
    list.Relayout();
    EXPECT_EQ(list.Columns(), 1);
    EXPECT_EQ(Shown(4), QPoint(5, 380));
}

TEST_F(Album, AFreedSlotIsReusedAndRelayoutClosesTheGap)
{
    AddColoured(5);
    ASSERT_EQ(list.ImageCount(), 5);
    list.RemoveThumbnail(3);
    EXPECT_EQ(list.FreeSlots(), std::vector<int>({3}));
    list.Relayout();
    EXPECT_EQ(Shown(3), list.PositionOf(3));  // the fifth moved up to the fourth place

    AddColoured(1);
    EXPECT_EQ(list.count(), 5);
    EXPECT_EQ(list.ImageIndexOf(4), 3);
    EXPECT_EQ(list.ImageCount(), 5);  // no new image-list entry
    EXPECT_TRUE(list.FreeSlots().empty());
    EXPECT_EQ(Shown(4), QPoint(15, 286));

    // Deleting two, then adding three: the two slots, then a new one.
    list.RemoveThumbnail(0);  // image 0
    list.RemoveThumbnail(0);  // image 1
    AddColoured(3);
    EXPECT_EQ(list.ImageIndexOf(3), 1);
    EXPECT_EQ(list.ImageIndexOf(4), 0);
    EXPECT_EQ(list.ImageIndexOf(5), 5);
    EXPECT_EQ(list.ImageCount(), 6);

    // Emptying the list keeps every image as a free slot; refilling reuses them.
    list.RemoveAll();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.FreeSlots().size(), 6u);
    AddColoured(6);
    EXPECT_EQ(list.ImageCount(), 6);

    // A new image list: the old items no longer own slots.
    list.CreateImages();
    EXPECT_EQ(list.ImageIndexOf(0), -1);
    list.RemoveThumbnail(0);
    EXPECT_TRUE(list.FreeSlots().empty());
}

TEST_F(Album, AddFromFileStretchesTheBitmapAndRefusesWhatItCannotShow)
{
    QTemporaryDir dir;
    const QString bmp = dir.filePath("0000.bmp");
    ASSERT_TRUE(kestova::SavePreparedBitmap(Quadrants(160, 128), bmp));
    list.SetGeometry(64, 48, 5, 20);
    list.CreateImages();
    ASSERT_TRUE(list.AddFromFile(bmp, "0001.bmp"));
    EXPECT_EQ(list.item(0)->text(), "0001.bmp");
    const QImage shown = list.item(0)->icon().pixmap(QSize(64, 48)).toImage();
    ASSERT_EQ(shown.size(), QSize(64, 48));
    EXPECT_EQ(QColor(shown.pixel(2, 2)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(shown.pixel(61, 45)), QColor(255, 255, 0));

    WriteText(dir.filePath("broken.bmp"), "BM not really");
    EXPECT_FALSE(list.AddFromFile(dir.filePath("broken.bmp"), "0002.bmp"));
    EXPECT_FALSE(list.AddFromFile(dir.filePath("missing.bmp"), "0002.bmp"));
    list.DestroyImages();
    EXPECT_FALSE(list.AddFromFile(bmp, "0002.bmp"));
    EXPECT_EQ(list.count(), 1);
}

} // namespace
