// SPDX-License-Identifier: GPL-3.0-or-later
// Placing a picture on the stage: the covering scale, the arrows and their
// rules, the suitable-size box, the crop rectangle under the mouse, and the
// capture that is added to the album.

#include "tests/mac/MacTestSupport.h"
#include "tests/support/HostilePictures.h"

#include "common/coder/Kv350Encoder.h"
#include "desktop/PictureReader.h"
#include "mac/LittleArrows.h"
#include "mac/StageViews.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <QTreeWidget>
#include <QFile>
#include <QPainter>
#include <QTest>

#include <cmath>

using namespace kestova;
using namespace kestova::mac;
using namespace kestova::mac::test;

class MacStage : public MacHarness {
protected:
    void StartOnline()
    {
        MakeFrame(frame);
        Start(frame);
        ASSERT_TRUE(WaitOnlineIdle());
    }
    LittleArrows* Arrows(const char* name) { return C<LittleArrows>(name); }
    void ClickArrow(const char* name, bool up)
    {
        LittleArrows* a = Arrows(name);
        ASSERT_NE(a, nullptr);
        QTest::mouseClick(up ? a->UpButton() : a->DownButton(), Qt::LeftButton);
    }
};

TEST_F(MacStage, LargePictureCoversTheCropRectangle)
{
    StartOnline();
    Place(SavePng(QuarterPicture(1280, 960), "big.png"));
    ASSERT_NE(fe->cropTool->Picture(), nullptr);
    EXPECT_EQ(fe->cropTool->SmallestScale(), 14);  // 128 / 960 = 0.1333 -> 13 + 1
    EXPECT_EQ(fe->cropTool->LastScale(), 0);
    EXPECT_NEAR(fe->cropTool->Picture()->yScale, 128.0f / 960.0f, 1e-6);
    EXPECT_NEAR(fe->cropTool->Picture()->xScale, -128.0f / 960.0f, 1e-6);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->angle, 180);
    EXPECT_EQ(Arrows("scal_1")->GetControl32BitValue(), 14);
    EXPECT_EQ(Arrows("trns_10")->GetControl32BitMinimum(), -170);
    EXPECT_EQ(Arrows("trns_10")->GetControl32BitMaximum(), 170);
    EXPECT_EQ(Arrows("trns_11")->GetControl32BitMinimum(), -128);
    EXPECT_EQ(Arrows("trns_11")->GetControl32BitMaximum(), 128);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().x, 226);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().y, 136);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().width, 128);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().height, 128);
}

TEST_F(MacStage, ScaleArrowsKeepTheirLimits)
{
    StartOnline();
    Place(SavePng(QuarterPicture(1280, 960), "big.png"));
    const float before = fe->cropTool->Picture()->yScale;

    // Below the covering scale: back to it, the picture unchanged.
    ClickArrow("scal_1", false);
    EXPECT_EQ(Arrows("scal_1")->GetControl32BitValue(), 14);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yScale, before);
    EXPECT_EQ(fe->cropTool->LastScale(), 0);

    // Up: accepted; the offsets' ranges follow the new scale.
    ClickArrow("scal_1", true);
    EXPECT_EQ(fe->cropTool->LastScale(), 15);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yScale, 0.15f);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->xScale, -0.15f);
    EXPECT_EQ(Arrows("trns_10")->GetControl32BitMaximum(), 192);
    EXPECT_EQ(Arrows("trns_11")->GetControl32BitMaximum(), 144);

    // Wider than 800 points (1280 x 0.63 = 806): back to the last value.
    Arrows("scal_1")->SetControl32BitValue(63);
    fe->MyScaleArrowXHandler();
    EXPECT_EQ(Arrows("scal_1")->GetControl32BitValue(), 15);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yScale, 0.15f);
    Arrows("scal_1")->SetControl32BitValue(62);  // 793.6 points: fine
    fe->MyScaleArrowXHandler();
    EXPECT_EQ(fe->cropTool->LastScale(), 62);

    // Wrapping past the top of the range is caught by the 999 rule.
    Arrows("scal_1")->SetControl32BitValue(1000);
    fe->MyScaleArrowXHandler();
    EXPECT_EQ(Arrows("scal_1")->GetControl32BitValue(), 62);
}

TEST_F(MacStage, SmallPictureMayGrowOnceBeforeAnyChange)
{
    StartOnline();
    // A 64 x 64 picture needs scale 2 to cover; 800 points is 1250 %, but
    // right after loading (OldValue 0) the limit does not apply.
    Place(SavePng(QuarterPicture(64, 64), "small.png"));
    EXPECT_EQ(fe->cropTool->SmallestScale(), 201);
    Arrows("scal_1")->SetControl32BitValue(1000);
    fe->MyScaleArrowXHandler();
    EXPECT_EQ(fe->cropTool->LastScale(), 1000);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yScale, 10.0f);
}

TEST_F(MacStage, RotationAndOffsetArrows)
{
    StartOnline();
    Place(SavePng(QuarterPicture(256, 256), "p.png"));
    LittleArrows* rota = Arrows("rota_0");
    rota->SetControl32BitValue(rota->GetControl32BitMaximum());
    ClickArrow("rota_0", true);  // maximum -> minimum
    EXPECT_EQ(rota->GetControl32BitValue(), rota->GetControl32BitMinimum());
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->angle, float(rota->GetControl32BitMinimum()) + 180);
    ClickArrow("rota_0", false);  // minimum -> maximum
    EXPECT_EQ(rota->GetControl32BitValue(), rota->GetControl32BitMaximum());
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->angle, float(rota->GetControl32BitMaximum()) + 180);

    ClickArrow("trns_10", true);
    ClickArrow("trns_10", true);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->xOffset, 2);
    ClickArrow("trns_11", true);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yOffset, -1);  // up moves the picture up

    // A new picture starts from zero again.
    Place(SavePng(QuarterPicture(300, 200), "q.png"));
    EXPECT_EQ(rota->GetControl32BitValue(), 0);
    EXPECT_EQ(Arrows("trns_10")->GetControl32BitValue(), 0);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->angle, 180);
}

TEST_F(MacStage, ArrowsDoNothingWithoutAPicture)
{
    StartOnline();
    ClickArrow("rota_0", true);
    ClickArrow("scal_1", true);
    EXPECT_EQ(fe->cropTool->Picture(), nullptr);
    Place(tmp.filePath("missing.png"));
    EXPECT_EQ(fe->cropTool->Picture(), nullptr);
    EXPECT_EQ(Status().toStdString(), "Couldn't Process: missing.png: no such file");
}

TEST_F(MacStage, SuitableSizeBoxSwitchesBetweenCoverAndStageWidth)
{
    StartOnline();
    Place(SavePng(QuarterPicture(1280, 960), "big.png"));
    ClickArrow("scal_1", true);
    ClickArrow("trns_10", true);
    auto* box = C<QCheckBox>("suts_0");
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    EXPECT_FALSE(fe->cropTool->SuitableSize());
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yScale, 580.0f / 1280.0f);
    EXPECT_EQ(Arrows("scal_1")->GetControl32BitValue(), 45);
    EXPECT_EQ(Arrows("trns_10")->GetControl32BitValue(), 0);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->xOffset, 0);
    EXPECT_EQ(fe->cropTool->LastScale(), 0);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    EXPECT_TRUE(fe->cropTool->SuitableSize());
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yScale, 0.14f);
    EXPECT_EQ(Arrows("scal_1")->GetControl32BitValue(), 14);

    // Loading a picture switches the box back on.
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    Place(SavePng(QuarterPicture(200, 100), "w.png"));
    EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(fe->cropTool->SuitableSize());
}

TEST_F(MacStage, CropRectangleFollowsTheMouse)
{
    StartOnline();
    auto* overlay = C<CropOverlay>("rect_130");
    ASSERT_NE(overlay, nullptr);
    // From outside, up and to the left: anchored at the press point.
    QTest::mousePress(overlay, Qt::LeftButton, {}, QPoint(450, 350));
    QTest::mouseMove(overlay, QPoint(400, 300));
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().width, -50);
    QTest::mouseMove(overlay, QPoint(300, 180));
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, QPoint(300, 180));
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().x, 450);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().y, 350);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().width, -128);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().height, -128);
    const MyRect n = fe->NormalisedCropRect();
    EXPECT_FLOAT_EQ(n.x, 322);
    EXPECT_FLOAT_EQ(n.y, 222);

    // Grabbing it inside moves it; the size stays.
    QTest::mousePress(overlay, Qt::LeftButton, {}, QPoint(400, 300));
    EXPECT_TRUE(fe->cropTool->MovingCropRect());
    QTest::mouseMove(overlay, QPoint(380, 290));
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, QPoint(380, 290));
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().x, 430);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().y, 340);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().width, -128);
    EXPECT_FALSE(fe->cropTool->MovingCropRect());

    // Dragged far to the left, x stops at minus the LCD width.
    fe->cropTool->SetDrawRect(MyRect{100, 100, 128, 128});
    QTest::mousePress(overlay, Qt::LeftButton, {}, QPoint(110, 110));
    QTest::mouseMove(overlay, QPoint(-300, 110));
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, QPoint(-300, 110));
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().x, -128);

    // During a transfer the mouse is ignored.
    fe->gmyIsTransferData = true;
    fe->cropTool->SetDrawRect(MyRect{10, 10, 128, 128});
    QTest::mousePress(overlay, Qt::LeftButton, {}, QPoint(500, 380));
    QTest::mouseMove(overlay, QPoint(520, 390));
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, QPoint(520, 390));
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().x, 10);
    EXPECT_FLOAT_EQ(fe->cropTool->DrawRect().width, 128);
    fe->gmyIsTransferData = false;
}

TEST_F(MacStage, OverlayGreysEverythingOutsideTheCropRectangle)
{
    StartOnline();
    auto* stage = C<StageView>("mVue_130");
    for (MyRect r : {MyRect{100, 80, 128, 128}, MyRect{300, 260, -128, -128}, MyRect{300, 80, -128, 128}}) {
        fe->cropTool->SetDrawRect(r);
        const QImage shot = stage->grab().toImage();
        const MyRect n = fe->NormalisedCropRect();
        // The stage is white; inside stays white, outside is 0.3 grey at alpha 0.5.
        const QRgb inside = shot.pixel(int(n.x) + 64, int(n.y) + 64);
        const QRgb outside = shot.pixel(int(n.x) + 64, n.y > 200 ? 10 : 390);
        EXPECT_EQ(qRed(inside), 255);
        EXPECT_NEAR(qRed(outside), int(0.5 * 255 + 0.5 * 0.3 * 255), 3);
        EXPECT_NEAR(qRed(shot.pixel(int(n.x) - 2, int(n.y) + 64)), qRed(outside), 3);
    }
}

TEST_F(MacStage, AddedPictureDecodesAsTheStageShowedIt)
{
    StartOnline();
    Place(SavePng(QuarterPicture(600, 400), "q.png"));
    // Turn, enlarge and move it, and put the crop rectangle off centre.
    for (int i = 0; i < 30; ++i)
        ClickArrow("rota_0", true);
    for (int i = 0; i < 15; ++i)
        ClickArrow("scal_1", true);
    for (int i = 0; i < 20; ++i)
        ClickArrow("trns_10", true);
    ClickArrow("trns_11", false);
    auto* overlay = C<CropOverlay>("rect_130");
    QTest::mousePress(overlay, Qt::LeftButton, {}, QPoint(260, 200));
    QTest::mouseMove(overlay, QPoint(230, 170));
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, QPoint(230, 170));

    // What the stage shows inside the crop rectangle (the overlay leaves it clear).
    const MyRect r = fe->NormalisedCropRect();
    auto* stage = C<StageView>("mVue_130");
    const QImage shown = stage->grab().toImage().copy(int(r.x), int(r.y), 128, 128);

    Click("slet_0");
    ASSERT_EQ(fe->gmyTotalePictureNum(), 1);
    const QString encoded = fe->gmyResousepath + "/Edata/Picture1.bmp";
    const QString decoded = tmp.filePath("decoded.bmp");
    ASSERT_TRUE(CKv350Encoder::DeCode(QFile::encodeName(encoded).toStdString(),
                                      QFile::encodeName(decoded).toStdString(), 128, 128));
    const QImage back(decoded);
    ASSERT_EQ(back.size(), QSize(128, 128));
    EXPECT_LT(MeanDifference(shown, back), 8.0);
    // And the capture is not just any picture: a mirrored one differs a lot.
    EXPECT_GT(MeanDifference(shown.mirrored(false, true), back), 30.0);
    // The preview shows the capture.
    EXPECT_EQ(fe->cropTool->PreviewPicture().size(), QSize(128, 128));
}

TEST_F(MacStage, PreviewKeepsTheLcdAspect)
{
    StartOnline();
    auto* prev = C<PictureView>("prev_0");
    ASSERT_NE(prev, nullptr);
    prev->setFixedSize(200, 100);
    fe->cropTool->ShowInPreview(QuarterPicture(128, 128));
    const QImage shot = prev->grab().toImage();
    // 200 x 100 view, square LCD: a 100 x 100 picture in the middle.
    EXPECT_EQ(shot.pixel(50 + 2, 2), qRgb(220, 30, 30));
    EXPECT_EQ(shot.pixel(150 - 3, 97), qRgb(230, 220, 40));
    EXPECT_NE(shot.pixel(45, 50), qRgb(220, 30, 30));
    EXPECT_NE(shot.pixel(155, 50), qRgb(230, 220, 40));
}

TEST_F(MacStage, LargeReductionAveragesInsteadOfSampling)
{
    StartOnline();
    // One-pixel black and white stripes, shown at 5 %: the stage and the
    // capture must show their average grey, not a few sampled stripes.
    QImage stripes(2560, 1920, QImage::Format_RGB32);
    for (int y = 0; y < stripes.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(stripes.scanLine(y));
        for (int x = 0; x < stripes.width(); ++x)
            line[x] = (x % 2) ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
    }
    Place(SavePng(stripes, "stripes.png"));
    ASSERT_NE(fe->cropTool->Picture(), nullptr);
    EXPECT_EQ(fe->cropTool->Picture()->image.size(), QSize(2560, 1920));  // geometry from the full picture
    EXPECT_EQ(fe->cropTool->SmallestScale(), 7);
    Click("slet_0");
    ASSERT_EQ(fe->gmyTotalePictureNum(), 1);
    const QImage captured(fe->gmyResousepath + "/data/Picture1.bmp");
    ASSERT_EQ(captured.size(), QSize(128, 128));
    double sum = 0, sq = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            const int v = qGreen(captured.pixel(x, y));
            sum += v;
            sq += double(v) * v;
        }
    const double mean = sum / (128 * 128);
    const double spread = std::sqrt(sq / (128 * 128) - mean * mean);
    EXPECT_NEAR(mean, 127.5, 20);
    EXPECT_LT(spread, 20);
}

TEST_F(MacStage, SuitableSizeBackOnPutsTheArrowsAtTheSmallestValue)
{
    // 128 / 242 = 0.5289: the picture just covers the crop rectangle at 53;
    // 0.53 x 100 is 52.99... in single precision.
    StartOnline();
    Place(SavePng(QuarterPicture(242, 300), "p.png"));
    ASSERT_EQ(fe->cropTool->SmallestScale(), 53);
    auto* box = C<QCheckBox>("suts_0");
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    ASSERT_FALSE(fe->cropTool->SuitableSize());
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    ASSERT_TRUE(fe->cropTool->SuitableSize());
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yScale, 0.53f);
    EXPECT_EQ(Arrows("scal_1")->GetControl32BitValue(), 53);
    // One step down is below the smallest value and snaps back.
    ClickArrow("scal_1", false);
    EXPECT_EQ(Arrows("scal_1")->GetControl32BitValue(), 53);
    EXPECT_FLOAT_EQ(fe->cropTool->Picture()->yScale, 0.53f);
}

// A picture that takes long to decode, double-clicked in the file browser:
// the click returns at once, the window keeps answering, a second picture
// double-clicked meanwhile is the one placed, and the window quits without
// waiting for the slow read.
TEST_F(MacStage, ASlowPictureInTheBrowserIsReadWhileTheWindowAnswers)
{
    // A progressive JPEG near the edge of what the stage decodes (36 MP in 51
    // scans, every pixel: half a second or more), and a small picture.
    QDir(tmp.path()).mkpath("slow");
    ASSERT_TRUE(kestova::testing::WriteBytes(tmp.filePath("slow/a-slow.jpg").toStdString(),
                                             kestova::testing::ManyScanJpeg(6000, 6000, 50)));
    SavePng(QuarterPicture(64, 48), "slow/b-small.png");
    StartOnline();
    auto* tree = C<QTreeWidget>("CLVW_0");
    ASSERT_NE(tree, nullptr);
    auto row = std::make_unique<tagFILEITEM>();
    row->rowID = fe->fileRows->Rows().back()->rowID + 1;
    row->path = tmp.filePath("slow");
    row->isFolder = true;
    row->item = new QTreeWidgetItem(tree, QStringList("slow"));
    row->item->setData(0, Qt::UserRole, row->rowID);
    tagFILEITEM* folder = row.get();
    fe->fileRows->AddRow(std::move(row));
    tree->expandItem(folder->item);
    ASSERT_EQ(folder->item->childCount(), 2);
    const auto open = [&](int child) {
        QTreeWidgetItem* item = folder->item->child(child);
        tree->scrollToItem(item);
        QElapsedTimer clock;
        clock.start();
        // A double click as the window system delivers it.
        const QPoint at = tree->visualItemRect(item).center();
        QTest::mousePress(tree->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(tree->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(tree->viewport(), Qt::LeftButton, {}, at);
        return clock.elapsed();
    };

    // The double click returns at once, the read goes on, a timer fires.
    EXPECT_LT(open(0), 200);
    EXPECT_TRUE(fe->cropTool->Loading());
    QElapsedTimer clock;
    clock.start();
    qint64 fired = -1;
    QTimer::singleShot(10, [&] { fired = clock.elapsed(); });
    ASSERT_TRUE(WaitFor([&] { return fired >= 0; }, 5000));
    EXPECT_LT(fired, 200);
    EXPECT_TRUE(fe->cropTool->Loading()) << "the read ended before the timer: nothing was shown";
    // A second double click is handled at once and wins over the slow read.
    EXPECT_LT(open(1), 200);
    ASSERT_TRUE(WaitFor([&] { return !fe->cropTool->Loading(); }, 10000));
    ASSERT_NE(fe->cropTool->Picture(), nullptr);
    EXPECT_EQ(fe->cropTool->Picture()->image.size(), QSize(64, 48));
    EXPECT_EQ(Status(), "");
    QTest::qWait(50);  // a late result of the slow read would land now
    EXPECT_EQ(fe->cropTool->Picture()->image.size(), QSize(64, 48));

    // Quitting while the slow picture is read: the alert's OK ends the
    // program, and the window goes without waiting for the decode.
    open(0);
    ASSERT_TRUE(fe->cropTool->Loading());
    QTimer::singleShot(0, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            QTest::keyClick(box, Qt::Key_Return);
    });
    clock.restart();
    fe->gMainWindowRef->close();
    EXPECT_EQ(exitCode, 0);
    fe.reset();
    EXPECT_LT(clock.elapsed(), 200);
    kestova::desktop::PictureReader::JoinLeftovers();
}
