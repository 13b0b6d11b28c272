// SPDX-License-Identifier: GPL-3.0-or-later
// The text progress bar (filled width, inverted text, repaints only on a
// whole-pixel change) and the Settings dialog (colour choosers, Cancel, texts,
// the frame's colours).

#include "tests/win/widgets/WidgetTestSupport.h"
#include "win/widgets/SettingDialog.h"
#include "win/widgets/TextProgressCtrl.h"

#include <QApplication>
#include <QColorDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace kestova::win;
using namespace kestova::win::test;

namespace {

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

class Progress : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApp();
        QFont f = bar.font();
        f.setStyleStrategy(QFont::NoAntialias);  // text pixels in exactly one of two colours
        f.setPixelSize(15);
        bar.setFont(f);
        bar.resize(165, 23);
        bar.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
        bar.installEventFilter(&counter);
        QApplication::processEvents();
    }
    // Pixels of `colour` in columns [from, to) of the drawn bar.
    int Count(const QImage& img, int from, int to, const QColor& colour)
    {
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = from; x < to; ++x)
                n += QColor(img.pixel(x, y)) == colour;
        return n;
    }

    AppFirst app;
    CTextProgressCtrl bar;
    PaintCounter counter;
};

TEST_F(Progress, Position37Fills61PixelsAndTheTextIsInvertedAcrossTheBoundary)
{
    const QColor highlight = bar.palette().color(QPalette::Highlight);
    const QColor window = bar.palette().color(QPalette::Base);
    bar.SetPos(37);
    EXPECT_EQ(bar.FilledWidth(), 61);
    EXPECT_EQ(bar.DisplayedText(), "37%");
    QImage img = bar.grab().toImage();
    EXPECT_EQ(QColor(img.pixel(60, 1)), highlight);
    EXPECT_EQ(QColor(img.pixel(61, 1)), window);
    EXPECT_EQ(Count(img, 0, 61, highlight), 61 * 23);  // the text lies wholly in the rest
    const int textOnRest = Count(img, 61, 165, highlight);
    EXPECT_GT(textOnRest, 10);
    EXPECT_EQ(Count(img, 61, 165, window) + textOnRest, 104 * 23);

    // At 50 the text straddles the boundary: window colour over the bar,
    // highlight over the rest, and nothing else anywhere.
    bar.SetPos(50);
    img = bar.grab().toImage();
    EXPECT_EQ(bar.FilledWidth(), 82);
    const int left = Count(img, 0, 82, window), right = Count(img, 82, 165, highlight);
    EXPECT_GT(left, 10);
    EXPECT_GT(right, 10);
    EXPECT_EQ(Count(img, 0, 82, highlight) + left, 82 * 23);
    EXPECT_EQ(Count(img, 82, 165, window) + right, 83 * 23);

    // A fixed text replaces the percentage; an empty one brings it back.
    bar.SetWindowText("Busy");
    EXPECT_EQ(bar.WindowText(), "Busy");
    EXPECT_EQ(bar.DisplayedText(), "Busy");
    bar.SetWindowText("");
    EXPECT_EQ(bar.DisplayedText(), "50%");
    // Whole-number arithmetic: 29 reads 29%, and fills 58 of 200 pixels.
    bar.SetPos(29);
    EXPECT_EQ(bar.DisplayedText(), "29%");
    bar.resize(200, 23);
    EXPECT_EQ(bar.FilledWidth(), 58);
}

TEST_F(Progress, RepaintsOnlyWhenTheFilledWidthChanges)
{
    EXPECT_EQ(bar.SetPos(50), 0);
    EXPECT_EQ(counter.paints, 1);  // at once, not later
    EXPECT_EQ(bar.SetPos(50), 50);
    EXPECT_EQ(counter.paints, 1);
    bar.SetPos(51);
    EXPECT_EQ(counter.paints, 2);

    // 50 pixels wide: 0 -> 1 moves the bar by half a pixel only.
    bar.resize(50, 23);
    QApplication::processEvents();
    bar.SetPos(0);
    const int before = counter.paints;
    bar.SetPos(1);
    EXPECT_EQ(counter.paints, before);
    bar.SetPos(2);
    EXPECT_EQ(counter.paints, before + 1);

    // After a resize the same position repaints once.
    bar.resize(60, 23);
    QApplication::processEvents();
    const int afterResize = counter.paints;
    bar.SetPos(2);
    EXPECT_EQ(counter.paints, afterResize + 1);
    bar.SetPos(2);
    EXPECT_EQ(counter.paints, afterResize + 1);
}

// Answers the colour chooser that the next click opens.
void AnswerChooser(const QColor& colour, bool accept)
{
    QTimer::singleShot(0, [colour, accept] {
        auto* chooser = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(chooser, nullptr);
        EXPECT_EQ(chooser->objectName(), "colourChooser");
        chooser->setCurrentColor(colour);
        accept ? chooser->accept() : chooser->reject();
    });
}

QColor SampleColour(CSettingDialog& dlg, const char* name)
{
    QWidget* sample = dlg.findChild<QWidget*>(name);
    if (!sample)
        return {};
    const QImage img = sample->grab().toImage();
    return QColor(img.pixel(img.width() / 2, img.height() / 2));
}

TEST(Settings, TheColourButtonsChooseAndCancelKeepsTheCallersColours)
{
    EnsureApp();
    const QColor text(10, 20, 30), background(200, 210, 220);
    CSettingDialog dlg(text, background);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    for (const char* name : {"ctl1", "ctl2", "ctl1058", "ctl1059"})
        EXPECT_NE(dlg.findChild<QPushButton*>(name), nullptr) << name;
    EXPECT_EQ(SampleColour(dlg, "ctl1060"), text);
    EXPECT_EQ(SampleColour(dlg, "ctl1061"), background);

    AnswerChooser(QColor(255, 0, 0), true);
    QTest::mouseClick(dlg.findChild<QPushButton*>("ctl1058"), Qt::LeftButton);
    EXPECT_EQ(dlg.TextColour(), QColor(255, 0, 0));
    EXPECT_EQ(SampleColour(dlg, "ctl1060"), QColor(255, 0, 0));

    AnswerChooser(QColor(0, 255, 0), false);  // chooser cancelled
    QTest::mouseClick(dlg.findChild<QPushButton*>("ctl1059"), Qt::LeftButton);
    EXPECT_EQ(dlg.BackgroundColour(), background);

    AnswerChooser(QColor(0, 0, 255), true);
    dlg.findChild<QPushButton*>("ctl1059")->setFocus();
    QTest::keyClick(dlg.findChild<QPushButton*>("ctl1059"), Qt::Key_Space);
    EXPECT_EQ(dlg.BackgroundColour(), QColor(0, 0, 255));
    EXPECT_EQ(SampleColour(dlg, "ctl1061"), QColor(0, 0, 255));

    QTest::mouseClick(dlg.findChild<QPushButton*>("ctl2"), Qt::LeftButton);
    EXPECT_EQ(dlg.result(), QDialog::Rejected);

    CSettingDialog again(text, background);  // a new dialog starts from the caller's values
    again.show();
    EXPECT_EQ(again.TextColour(), text);
    QTest::mouseClick(again.findChild<QPushButton*>("ctl1"), Qt::LeftButton);
    EXPECT_EQ(again.result(), QDialog::Accepted);
}

TEST(Settings, TextsComeFromTheLanguageAndFrameColoursConvert)
{
    EnsureApp();
    CSettingDialog dlg(Qt::black, Qt::white);
    EXPECT_EQ(dlg.windowTitle(), "Setting");
    EXPECT_EQ(dlg.findChild<QPushButton*>("ctl1058")->text(), "&Fontcolor");
    dlg.ApplyTexts([](const QString& key, const QString& def) {
        return key == "FONTCOLOR_TIPS" ? QString("&Schriftfarbe") : key == "IDC_BTN_SETTING" ? "Einstellung" : def;
    });
    EXPECT_EQ(dlg.windowTitle(), "Einstellung");
    EXPECT_EQ(dlg.findChild<QPushButton*>("ctl1058")->text(), "&Schriftfarbe");
    EXPECT_EQ(dlg.findChild<QPushButton*>("ctl1059")->text(), "&Background");
    EXPECT_EQ(dlg.findChild<QPushButton*>("ctl2")->text(), "Cancel");

    EXPECT_EQ(ColourFromRgb565(0xF800), QColor(248, 0, 0));
    EXPECT_EQ(ColourFromRgb565(0x07E0), QColor(0, 252, 0));
    EXPECT_EQ(ColourFromRgb565(0xFFFF), QColor(248, 252, 248));
    EXPECT_EQ(ColourToRgb565(QColor(255, 255, 255)), 0xFFFF);
    EXPECT_EQ(ColourToRgb565(QColor(0x12, 0x34, 0x56)), (0x12 >> 3) << 11 | (0x34 >> 2) << 5 | 0x56 >> 3);
    for (uint16_t v : {0x0000, 0x1234, 0xF81F, 0xFFFF})
        EXPECT_EQ(ColourToRgb565(ColourFromRgb565(v)), v);

    auto [t, b] = DialogColoursFromFrame(0x1234, 0x1234);  // unreadable: black on white
    EXPECT_EQ(t, QColor(0, 0, 0));
    EXPECT_EQ(b, QColor(255, 255, 255));
    std::tie(t, b) = DialogColoursFromFrame(0xF800, 0x001F);
    EXPECT_EQ(t, QColor(248, 0, 0));
    EXPECT_EQ(b, QColor(0, 0, 248));
}

} // namespace
