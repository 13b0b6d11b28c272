// kestova's main window: layout on wide and narrow screens, the language
// switch through the context menu, and the keyboard.

#include "tests/win/WinTestSupport.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>

namespace kestova::win::test {
namespace {

struct LayoutCase {
    const char* name;
    QSize screen;
    QSize window;
    QRect zoomIn;    // button 1004
    QRect exit;      // button 2
    QRect preview;   // the preview view
};

class Layout : public WinHarness, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Layout, OpensAnimatedThenLaysOutOnce)
{
    const LayoutCase& c = GetParam();
    ShipFactoryFiles();
    ASSERT_TRUE(Start(c.screen));
    // The opening animation grows the window from nothing.
    EXPECT_LT(dlg->width(), 100);
    ASSERT_TRUE(WaitLaidOut());
    EXPECT_EQ(dlg->size(), c.window);
    EXPECT_EQ(C<QPushButton>(IDC_BUTTON_ZOOMIN)->geometry(), c.zoomIn);
    EXPECT_EQ(C<QPushButton>(IDC_EXIT)->geometry(), c.exit);
    EXPECT_EQ(C<QWidget>(IDC_PREVIEW)->geometry(), c.preview);
    // The status bar spans the window at its bottom, "Info:" in 100 pixels.
    QWidget* bar = C<QWidget>(IDC_STATUSBAR);
    EXPECT_EQ(bar->geometry().bottom(), dlg->height() - 1);
    EXPECT_EQ(bar->width(), dlg->width());
    EXPECT_EQ(dlg->findChild<QLabel*>("ctl1013part0")->width(), 100);
    // The album list and the counter label share 430 pixels by the text height.
    const int h = 3 * dlg->fontMetrics().height();
    if (c.screen.width() >= 1024) {
        EXPECT_EQ(C<QWidget>(IDC_LIST_ALBUM)->geometry(), QRect(648, 98, 245, 430 - h));
        EXPECT_EQ(C<QWidget>(IDC_STATIC_COUNTER)->geometry(), QRect(650, 528 - h, 243, h));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Win, Layout,
    ::testing::Values(LayoutCase{"wide", {1280, 1024}, {920, 630}, {540, 102, 105, 23}, {771, 74, 123, 23},
                                 {17, 180, 505, 355}},
                      // sx = 800 * 0.0010869565 = 0.869565, sy = 600 * 0.0015151515 = 0.909091
                      LayoutCase{"narrow_800x600", {800, 600}, {799, 572}, {469, 92, 91, 20}, {670, 67, 106, 20},
                                 {14, 163, 439, 322}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinHarness, TheContextMenuSwitchesEveryLanguageAndWritesItBack)
{
    ShipFactoryFiles();
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitLaidOut());
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    // First start: English, written back.
    EXPECT_EQ(WorkingValue("LangIndex"), "0");
    EXPECT_EQ(dlg->LanguageMenu()->actions().size(), 5);

    const struct {
        int index;
        const char* name;
        const char* send;       // button 1001
        const char* tip;        // tooltip of 1004
        const char* statusLeft;
        const char* counter;    // first line of the counter label
        const char* about;
    } cases[] = {
        {1, "Chinese (Simplified)", "同步", "放大", "信息:", "图片总数:", "关于 Kestova(&A)..."},
        {2, "German", "Synchronisieren", "Vergrößern", "Info:", "Bilder gesamt:", "Über Kestova(&A)..."},
        {3, "French", "Synchroniser", "Zoom avant", "Info :", "Total des images:", "À propos de Kestova(&A)..."},
        {4, "Spanish", "Sincronizar", "Acercar", "Info:", "Total de imágenes:", "Acerca de Kestova(&A)..."},
        {0, "English", "Synchronize", "Zoom In", "Info:", "Total Pictures:", "About Kestova(&A)..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PickLanguageThroughMenu(c.index);
        EXPECT_EQ(WorkingValue("LangIndex"), QString::number(c.index));
        EXPECT_EQ(WorkingValue("Language"), QString::fromUtf8(c.name));
        EXPECT_EQ(C<QPushButton>(IDC_BUTTON_SEND)->text(), QString::fromUtf8(c.send));
        EXPECT_EQ(C<QPushButton>(IDC_BUTTON_ZOOMIN)->toolTip(), QString::fromUtf8(c.tip));
        EXPECT_EQ(dlg->StatusLeftText(), QString::fromUtf8(c.statusLeft));
        EXPECT_TRUE(C<QLabel>(IDC_STATIC_COUNTER)->text().startsWith(QString::fromUtf8(c.counter)))
            << C<QLabel>(IDC_STATIC_COUNTER)->text().toStdString();
        EXPECT_EQ(dlg->AboutAction()->text(), QString::fromUtf8(c.about));
        const QList<QAction*> items = dlg->LanguageMenu()->actions();
        for (int i = 0; i < items.size(); ++i)
            EXPECT_EQ(items[i]->isChecked(), i == c.index) << i;
    }
    // Every caption of every language fits its control.
    for (int index = 0; index < 5; ++index) {
        dlg->SwitchLanguage(kFirstLanguageCommand + index);
        for (QPushButton* b : dlg->findChildren<QPushButton*>())
            EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 8, b->width())
                << index << " " << b->objectName().toStdString() << " " << b->text().toStdString();
        for (QGroupBox* g : dlg->findChildren<QGroupBox*>())
            EXPECT_LE(g->fontMetrics().horizontalAdvance(g->title()) + 16, g->width()) << index;
    }
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
}

TEST_F(WinHarness, AcceleratorsRouteTheirCommandsAndEnterEscapeAreSwallowed)
{
    ShipFactoryFiles();
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitLaidOut());
    ASSERT_TRUE(WaitFor([&] { return C<QWidget>(IDC_BUTTON_SEND)->isEnabled(); }));
    QList<int> routed;
    QObject::connect(dlg.get(), &CMainDialog::commandRouted, [&](int id) { routed << id; });
    dlg->activateWindow();
    QWidget* focus = C<QWidget>(IDC_LIST_ALBUM);
    focus->setFocus();

    const struct {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        int command;
    } keys[] = {
        {"Ctrl+A", Qt::Key_A, Qt::ControlModifier, IDC_BUTTON_SELECTALL},
        {"Ctrl+R", Qt::Key_R, Qt::ControlModifier, IDC_BUTTON_RECT},
        {"Ctrl+S", Qt::Key_S, Qt::ControlModifier, IDC_BUTTON_SEND},
        {"keypad +", Qt::Key_Plus, Qt::KeypadModifier, IDC_BUTTON_ZOOMIN},
        {"keypad -", Qt::Key_Minus, Qt::KeypadModifier, IDC_BUTTON_ZOOMOUT},
        {"Delete", Qt::Key_Delete, Qt::NoModifier, IDC_BUTTON_DELECT},
        {"Ctrl+Shift+Left", Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier, IDC_BUTTON_CHANGE_L},
        {"Ctrl+Shift+Right", Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier, IDC_BUTTON_CHANGE},
        {"Enter", Qt::Key_Return, Qt::NoModifier, -1},
        {"keypad Enter", Qt::Key_Enter, Qt::KeypadModifier, -1},
        {"Escape", Qt::Key_Escape, Qt::NoModifier, -1},
    };
    for (const auto& k : keys) {
        SCOPED_TRACE(k.name);
        routed.clear();
        boxes.clear();
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : dlg.get(), k.key, k.mods);
        QCoreApplication::processEvents();
        EXPECT_EQ(routed, k.command < 0 ? QList<int>() : QList<int>({k.command}));
        EXPECT_TRUE(dlg->isVisible());
    }
    // Delete with no album entry selected says so.
    routed.clear();
    boxes.clear();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete);
    EXPECT_EQ(boxes, QStringList({"Please select at least one picture to delete!"}));
    // Enter on a focused button does not press it.
    C<QPushButton>(IDC_EXIT)->setFocus();
    routed.clear();
    QTest::keyClick(C<QPushButton>(IDC_EXIT), Qt::Key_Return);
    EXPECT_TRUE(routed.isEmpty());
    // Ctrl+E asks whether to quit; No keeps the window, Yes closes it.
    boxes.clear();
    answer = QMessageBox::No;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_EQ(boxes, QStringList({"Do you really want to quit?"}));
    EXPECT_TRUE(dlg->isVisible());
    answer = QMessageBox::Yes;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_TRUE(WaitFor([&] { return !dlg->isVisible(); }, 3000));
}

} // namespace
} // namespace kestova::win::test
