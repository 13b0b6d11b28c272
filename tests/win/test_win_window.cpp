// SPDX-License-Identifier: GPL-3.0-or-later
// kestova's main window: layout on wide and narrow screens, the language
// switch through the context menu, and the keyboard.

#include "tests/win/WinTestSupport.h"

#include <QAction>
#include <QFile>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include "win/widgets/AlbumList.h"
#include "win/widgets/FolderTree.h"
#include "win/widgets/Preview.h"
#include "win/widgets/TextProgressCtrl.h"

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

void PrintTo(const LayoutCase& c, std::ostream* os)
{
    *os << c.name;
}

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
    // A fixed size: the window manager offers no resizing, and a request
    // to resize changes nothing.
    EXPECT_EQ(dlg->minimumSize(), c.window);
    EXPECT_EQ(dlg->maximumSize(), c.window);
    dlg->resize(c.window + QSize(60, 40));
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
    // The frame's album (empty) is read: the status bar shows its LCD size
    // and the album list how pictures get in.
    ASSERT_TRUE(WaitFor([&] { return C<QWidget>(IDC_BUTTON_SEND)->isEnabled(); }));
    auto* album = C<CAlbumList>(IDC_LIST_ALBUM);
    ASSERT_EQ(album->count(), 0);

    const struct {
        int index;
        const char* name;
        const char* send;       // button 1001
        const char* tip;        // tooltip of 1004
        const char* statusLeft;  // the LCD size, once read
        const char* counter;     // first line of the counter label
        const char* about;
        const char* hint;        // inside the empty album list
    } cases[] = {
        {1, "Chinese (Simplified)", "同步", "放大", "屏幕 128×128", "图片总数:", "关于 Kestova(&A)...",
         "把图片拖到这里，或在左侧选择图片后按“添加”。"},
        {2, "German", "Synchronisieren", "Vergrößern", "Display 128×128", "Bilder gesamt:", "Über Kestova(&A)...",
         "Bilder hierher ziehen, oder links auswählen und „Hinzufügen“ drücken."},
        {3, "French", "Synchroniser", "Zoom avant", "Écran 128×128", "Total des images:", "À propos de Kestova(&A)...",
         "Déposez des images ici, ou choisissez-les à gauche et appuyez sur « Ajouter »."},
        {4, "Spanish", "Sincronizar", "Acercar", "Pantalla 128×128", "Total de imágenes:", "Acerca de Kestova(&A)...",
         "Suelte imágenes aquí, o elíjalas a la izquierda y pulse «Añadir»."},
        {0, "English", "Synchronize", "Zoom In", "LCD 128×128", "Total Pictures:", "About Kestova(&A)...",
         "Drop pictures here, or pick them on the left and press Add."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PickLanguageThroughMenu(c.index);
        EXPECT_EQ(WorkingValue("LangIndex"), QString::number(c.index));
        EXPECT_EQ(WorkingValue("Language"), QString::fromUtf8(c.name));
        EXPECT_EQ(C<QPushButton>(IDC_BUTTON_SEND)->text(), QString::fromUtf8(c.send));
        // The tip's own text, then its key (the keypad's plus).
        EXPECT_EQ(C<QPushButton>(IDC_BUTTON_ZOOMIN)->toolTip(),
                  dlg->LookupText("TIP_KEY", {}).arg(QString::fromUtf8(c.tip), dlg->LookupText("KEY_NUMPAD", {}).arg("+")));
        EXPECT_TRUE(C<QPushButton>(IDC_BUTTON_ZOOMIN)->toolTip().startsWith(QString::fromUtf8(c.tip)));
        EXPECT_EQ(dlg->StatusLeftText(), QString::fromUtf8(c.statusLeft));
        EXPECT_TRUE(C<QLabel>(IDC_STATIC_COUNTER)->text().startsWith(QString::fromUtf8(c.counter)))
            << C<QLabel>(IDC_STATIC_COUNTER)->text().toStdString();
        EXPECT_EQ(dlg->AboutAction()->text(), QString::fromUtf8(c.about));
        EXPECT_EQ(album->EmptyHint(), QString::fromUtf8(c.hint));
        const QLabel* left = dlg->findChild<QLabel*>("ctl1013part0");
        EXPECT_TRUE(WaitFor([&] { return left->fontMetrics().horizontalAdvance(left->text()) <= left->contentsRect().width(); }, 2000))
            << left->width();
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
    // The hint is drawn: the empty list is not blank.
    const QImage shown = album->viewport()->grab().toImage();
    const QRgb base = album->viewport()->palette().color(QPalette::Base).rgb();
    int marked = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            marked += shown.pixel(x, y) != base;
    EXPECT_GT(marked, 100);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
}

// Qt's own buttons follow the language switch: the quit question that Exit
// asks has "Ja" and "Nein" in German, and "Yes" and "No" again in English;
// No keeps the window.
TEST_F(WinHarness, TheQuitQuestionsButtonsFollowTheLanguage)
{
    if (!QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_de.qm"))
        GTEST_SKIP() << "qtbase_de.qm is not installed (Debian package qt6-translations-l10n): "
                        "Qt's standard buttons can only be English here";
    ShipFactoryFiles();
    adjustOptions = [](StartOptions& o) { o.messageBox = nullptr; };  // real message boxes
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitLaidOut());
    ASSERT_TRUE(WaitFor([&] { return C<QWidget>(IDC_BUTTON_SEND)->isEnabled(); }));
    const struct {
        int index;
        QStringList buttons;
    } cases[] = {{2, {"Ja", "Nein"}}, {0, {"No", "Yes"}}};
    for (const auto& c : cases) {
        PickLanguageThroughMenu(c.index);
        QString question;
        QStringList buttons;
        QObject answering;  // the answers end with this case
        AnswerModals(&answering, [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            question = box->text();
            for (QAbstractButton* b : box->buttons())
                buttons << b->text().remove(QLatin1Char('&'));
            QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
        });
        QTest::mouseClick(C<QPushButton>(IDC_EXIT), Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return !question.isEmpty(); }));
        buttons.sort();
        EXPECT_EQ(question, dlg->LookupText("EXIT_TIPS_2", "<missing>")) << c.index;
        EXPECT_EQ(buttons, c.buttons) << c.index;
        EXPECT_TRUE(dlg->isVisible());
    }
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

namespace kestova::win::test {
namespace {

TEST_F(WinHarness, TheWidgetsAnswerWhereAPersonReachesThem)
{
    ShipFactoryFiles();
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitLaidOut());
    ASSERT_TRUE(WaitFor([&] { return C<QWidget>(IDC_BUTTON_SEND)->isEnabled(); }));
    EXPECT_NE(dynamic_cast<CAlbumList*>(C<QWidget>(IDC_LIST_ALBUM)), nullptr);
    EXPECT_NE(dynamic_cast<CTextProgressCtrl*>(C<QWidget>(IDC_PROGRESS)), nullptr);
    auto* tree = dynamic_cast<CPictureFolderTree*>(C<QWidget>(IDC_TREE_FOLDER));
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->ComputerNode()->text(0), "My Computer");
    EXPECT_EQ(tree->PicturesNode()->text(0), "My Pictures");

    // A picture in the preview: a double click inside the crop rectangle
    // asks for Add.
    QImage picture(400, 300, QImage::Format_RGB32);
    picture.fill(qRgb(200, 60, 30));
    const QString file = tmp.filePath("red.png");
    ASSERT_TRUE(picture.save(file));
    auto* preview = dynamic_cast<CPreview*>(C<QWidget>(IDC_PREVIEW));
    ASSERT_NE(preview, nullptr);
    ASSERT_TRUE(preview->LoadPicture(file));
    EXPECT_EQ(preview->SourcePath(), file);
    QList<int> routed;
    QObject::connect(dlg.get(), &CMainDialog::commandRouted, [&](int id) { routed << id; });
    QTest::mouseDClick(preview, Qt::LeftButton, {}, preview->CropRect().center());
    EXPECT_TRUE(WaitFor([&] { return routed.contains(IDC_BTN_ADDTODPF); }, 3000));

    // Ctrl+R turns the crop rectangle off and the button says so.
    EXPECT_EQ(C<QPushButton>(IDC_BUTTON_RECT)->text(), "Clear");
    QTest::keyClick(dlg.get(), Qt::Key_R, Qt::ControlModifier);
    EXPECT_FALSE(preview->RectMode());
    EXPECT_EQ(C<QPushButton>(IDC_BUTTON_RECT)->text(), "Rect");
    EXPECT_EQ(C<QPushButton>(IDC_BUTTON_RECT)->toolTip(), "Draw Rect (Ctrl+R)");

    // A right click in the preview opens the window's context menu.
    QTest::mouseClick(preview, Qt::RightButton, {}, QPoint(20, 20));
    ASSERT_TRUE(WaitFor([&] { return dlg->ContextMenu()->isVisible(); }, 3000));
    dlg->ContextMenu()->hide();

    // In German, the tree's roots and the Settings dialog speak German;
    // Cancel leaves the colours as they were.
    PickLanguageThroughMenu(2);
    EXPECT_EQ(tree->ComputerNode()->text(0), "Arbeitsplatz");
    QTest::mouseClick(C<QPushButton>(IDC_BTN_SETTING), Qt::LeftButton);
    QDialog* settings = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (settings = dlg->findChild<QDialog*>("settingDialog")) && settings->isVisible(); }));
    EXPECT_EQ(settings->windowTitle(), "Einstellungen");
    QPushButton* cancel = nullptr;
    for (QPushButton* b : settings->findChildren<QPushButton*>())
        if (b->text() == "Abbrechen")
            cancel = b;
    ASSERT_NE(cancel, nullptr);
    QTest::mouseClick(cancel, Qt::LeftButton);
    EXPECT_TRUE(WaitFor([&] { return !dlg->findChild<QDialog*>("settingDialog"); }, 3000));
    EXPECT_EQ(dlg->FrameTextColour(), QColor(0, 0, 0));
    EXPECT_EQ(dlg->FrameBackgroundColour(), QColor(255, 255, 255));
    // The window has the keys back: Ctrl+R typed now (into whatever window
    // has the keyboard) reaches it and brings the crop rectangle back.
    ASSERT_FALSE(preview->RectMode());
    QWindow* typed = QGuiApplication::focusWindow();
    ASSERT_NE(typed, nullptr);
    QTest::keyClick(typed, Qt::Key_R, Qt::ControlModifier);
    EXPECT_TRUE(preview->RectMode());
}

} // namespace
} // namespace kestova::win::test
