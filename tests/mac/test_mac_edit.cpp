// SPDX-License-Identifier: GPL-3.0-or-later
// mackestova editing the album through the real window: a drag and
// Alt+Up/Down reorder it, Ctrl/Shift-click select several rows for Delete,
// Ctrl+Z / Ctrl+Shift+Z / Ctrl+Y walk the edits back and forth, the title and
// the Download button mark an album the frame does not hold yet, and a
// Download ends with how many pictures the frame holds.

#include "tests/mac/MacTestSupport.h"

#include "device/virtual/VirtualFrame.h"
#include "mac/LittleArrows.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QScrollBar>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

using namespace kestova;
using namespace kestova::mac;
using namespace kestova::mac::test;

namespace {

class MacEdit : public MacHarness {
protected:
    std::vector<Bytes> seeded;
    QString log;

    void StartOnFour()
    {
        MakeFrame(frame);
        for (unsigned i = 0; i < 4; ++i)
            seeded.push_back(DevicePicture(NoisePicture(128, 128, 30, 11 + i), 80));
        SeedAlbum(frame, seeded);
        log = tmp.filePath("cmds.log");
        Start(frame + ",log=" + log.toStdString());
        ASSERT_TRUE(WaitOnlineIdle());
        ASSERT_EQ(Rows().size(), 4);
        fe->gMainWindowRef->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(fe->gMainWindowRef));
    }
    AlbumListView* List() { return C<AlbumListView>("pict_0"); }
    // The album as the window holds it, picture by picture.
    std::vector<Bytes> Held()
    {
        std::vector<Bytes> out;
        for (int i = 0; i < fe->frame->Album().Count(); ++i)
            out.push_back(fe->frame->Album().At(i).bytes);
        return out;
    }
    std::vector<Bytes> Seeded(std::initializer_list<int> order)
    {
        std::vector<Bytes> out;
        for (int i : order)
            out.push_back(seeded[size_t(i)]);
        return out;
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers mods = {}) { QTest::keyClick(List(), key, mods); }
    void ClickRowWith(int row, Qt::KeyboardModifiers mods)
    {
        const QModelIndex index = List()->model()->index(row, 0);
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, mods, List()->visualRect(index).center());
    }
    // Data bytes of the commands that went to the frame from `fromByte` of
    // the command log on, and how many commands that was.
    std::pair<long, int> SentSince(qint64 fromByte)
    {
        QFile f(log);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        f.seek(fromByte);
        long bytes = 0;
        int commands = 0;
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            ++commands;
            const qsizetype len = line.indexOf("len=");
            if (line.contains("dir=1") && line.endsWith(" ok") && len >= 0)
                bytes += line.mid(len + 4, line.indexOf(' ', len) - len - 4).toLong();
        }
        return {bytes, commands};
    }
    qint64 LogSize() { return QFileInfo(log).size(); }
    bool Marked()
    {
        const bool bold = C<QPushButton>("load_0")->font().bold();
        EXPECT_EQ(fe->gMainWindowRef->isWindowModified(), bold);
        EXPECT_EQ(fe->frame->Modified(), bold);
        return bold;
    }
};

TEST_F(MacEdit, DragAndAltArrowsReorderAndTheDownloadCostsOnlyTheIndex)
{
    StartOnFour();
    EXPECT_EQ(fe->gMainWindowRef->windowTitle(), "MacKestova[*]");
    EXPECT_FALSE(Marked());
    // Each row shows its picture as the frame shows it, as a thumbnail.
    const QModelIndex first = List()->model()->index(0, 0);
    const QPixmap thumb = first.data(Qt::DecorationRole).value<QPixmap>();
    ASSERT_EQ(thumb.size(), QSize(48, 48));
    EXPECT_EQ(thumb.toImage().convertToFormat(QImage::Format_RGB32),
              fe->frame->Album().At(0).picture.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                  .convertToFormat(QImage::Format_RGB32));

    // Entry 3 dragged onto entry 1 with the mouse: it becomes the first
    // (the list shows its top, so the whole of entry 1 is in view).
    List()->scrollToTop();
    ClickRowWith(2, {});
    QWidget* view = List()->viewport();
    const QPoint from = List()->visualRect(List()->model()->index(2, 0)).center();
    const QPoint to = List()->visualRect(first).center();
    QTest::mousePress(view, Qt::LeftButton, {}, from);
    for (int k = 1; k <= 4; ++k) {
        const QPoint at = from + (to - from) * k / 4;
        QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &move);
    }
    QTest::mouseRelease(view, Qt::LeftButton, {}, to);
    EXPECT_EQ(Held(), Seeded({2, 0, 1, 3}));
    // Names follow positions; the moved row stays selected where it went.
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp", "DPFPicture3.bmp", "DPFPicture4.bmp"}));
    EXPECT_EQ(List()->SelectedRows(), QList<int>{0});
    EXPECT_TRUE(Marked());
    EXPECT_EQ(fe->gmyPictureData->count, 4);

    // Alt+Down twice then Alt+Up: entry 3 ends second; Alt+Up at the top
    // does nothing more.
    Key(Qt::Key_Down, Qt::AltModifier);
    Key(Qt::Key_Down, Qt::AltModifier);
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(Held(), Seeded({0, 2, 1, 3}));
    Key(Qt::Key_Up, Qt::AltModifier);
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(Held(), Seeded({2, 0, 1, 3}));
    // Two rows at once: Shift-click selects 3 and 4, Alt+Up moves both.
    ClickRowWith(2, {});
    ClickRowWith(3, Qt::ShiftModifier);
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(Held(), Seeded({2, 1, 3, 0}));
    EXPECT_EQ(List()->SelectedRows(), (QList<int>{1, 2}));
    // Ctrl-click rows 2 and 4 (a gap between them): Alt+Down moves each row
    // one place; the last row cannot go further, so it stays and only the
    // other moves. A second Alt+Down moves nothing: the row ahead is blocked
    // by the one that could not move.
    ClickRowWith(1, {});
    ClickRowWith(3, Qt::ControlModifier);
    Key(Qt::Key_Down, Qt::AltModifier);
    EXPECT_EQ(Held(), Seeded({2, 3, 1, 0}));
    EXPECT_EQ(List()->SelectedRows(), (QList<int>{2, 3}));
    Key(Qt::Key_Down, Qt::AltModifier);
    EXPECT_EQ(Held(), Seeded({2, 3, 1, 0}));
    // Rows 1 and 3 (a gap between them) go up together: the gap stays.
    ClickRowWith(1, {});
    ClickRowWith(3, Qt::ControlModifier);
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(Held(), Seeded({3, 2, 0, 1}));
    EXPECT_EQ(List()->SelectedRows(), (QList<int>{0, 2}));

    const qint64 mark = LogSize();
    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    // Only the two index blocks went to the frame, and a fresh read lists
    // the new order.
    EXPECT_EQ(SentSince(mark).first, 2 * 4096);
    EXPECT_EQ(ReadAlbum(frame), Seeded({3, 2, 0, 1}));
    EXPECT_EQ(Status(), "DownLoad Finished. 4 pictures are on the frame.");
    EXPECT_FALSE(Marked());
}

TEST_F(MacEdit, SeveralRowsDeletedUndoneAndRedoneAndCleanNeedsNoWrite)
{
    StartOnFour();
    // Click 2, Shift-click 4, Ctrl-click 3: rows 2 and 4 are selected.
    ClickRowWith(1, {});
    ClickRowWith(3, Qt::ShiftModifier);
    EXPECT_EQ(List()->SelectedRows(), (QList<int>{1, 2, 3}));
    ClickRowWith(2, Qt::ControlModifier);
    ASSERT_EQ(List()->SelectedRows(), (QList<int>{1, 3}));
    Key(Qt::Key_Delete);
    EXPECT_EQ(Held(), Seeded({0, 2}));
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp"}));
    EXPECT_EQ(Count(), "002/060");
    EXPECT_TRUE(Marked());

    // One Ctrl+Z brings both back: the album is whole and clean, and a
    // Download writes nothing at all.
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Held(), seeded);
    EXPECT_EQ(Count(), "004/060");
    EXPECT_FALSE(Marked());
    qint64 mark = LogSize();
    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(SentSince(mark).second, 0);
    EXPECT_EQ(Status(), "DownLoad Finished. 4 pictures are on the frame.");
    EXPECT_EQ(ReadAlbum(frame), seeded);

    // Redo both ways, undo between them.
    Key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Held(), Seeded({0, 2}));
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Held(), seeded);
    Key(Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(Held(), Seeded({0, 2}));
    EXPECT_TRUE(Marked());

    // A delete alone is reason enough for the quit alert to warn.
    QString text;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        text = box->text();
        box->button(QMessageBox::Cancel)->click();
    });
    fe->gMainWindowRef->close();
    EXPECT_TRUE(text.contains("not yet on the frame")) << text.toStdString();
    EXPECT_EQ(exitCode, -1);

    // An added picture is named by its place, and by the frame's naming once
    // it is written; the end says how many pictures the frame holds.
    AddThroughStage(SavePng(QuarterPicture(200, 150), "a.png"));
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp", "Picture3.bmp"}));
    mark = LogSize();
    Click("load_0");
    ASSERT_TRUE(WaitFinished(3));
    EXPECT_EQ(Status(), "DownLoad Finished. 3 pictures are on the frame.");
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp", "DPFPicture3.bmp"}));
    EXPECT_GT(SentSince(mark).first, 2 * 4096);
    EXPECT_FALSE(Marked());
    // The write emptied the history.
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Held().size(), 3u);
    EXPECT_EQ(ReadAlbum(frame), Held());
}

// The buttons say what they do, and F1 or the album list's menu shows the
// keyboard shortcuts.
TEST_F(MacEdit, TooltipsAndTheShortcutList)
{
    StartOnFour();
    const struct {
        const char* control;
        const char* tip;
    } tips[] = {
        {"load_0", "Write the album to the frame (Ctrl+S)"},
        {"upld_0", "Save the album's pictures to a folder"},
    };
    for (const auto& t : tips)
        EXPECT_EQ(C<QWidget>(t.control)->toolTip(), t.tip) << t.control;
    EXPECT_EQ(C<QPushButton>("load_0")->text(), "Download");
    EXPECT_EQ(C<QPushButton>("upld_0")->text(), "Upload");
    EXPECT_TRUE(C<QWidget>("delp_0")->toolTip().contains("(Del")) << C<QWidget>("delp_0")->toolTip().toStdString();

    QTest::keyClick(C<QWidget>("load_0"), Qt::Key_F1);
    auto* shortcuts = C<QDialog>("shortcutList");
    ASSERT_NE(shortcuts, nullptr);
    EXPECT_TRUE(shortcuts->isVisible());
    QStringList lines;
    for (QLabel* label : shortcuts->findChildren<QLabel*>())
        lines << label->text();
    for (const char* keys : {"F1", "Ctrl+S", "Ctrl+Z", "Ctrl+Shift+Z, Ctrl+Y", "Alt+Up / Alt+Down", "Ctrl+Q"})
        EXPECT_TRUE(lines.contains(keys)) << keys << " in " << lines.join(" | ").toStdString();
    shortcuts->close();
    ASSERT_FALSE(shortcuts->isVisible());

    // The same list is an item of the album list's own menu (right click).
    QStringList items;
    QTimer::singleShot(50, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        for (QAction* a : menu->actions())
            if (!a->isSeparator())
                items << a->text();
        QAction* keys = menu->actions().last();
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(keys).center());
    });
    const QPoint onRow = List()->visualRect(List()->model()->index(1, 0)).center();
    // Through the window, as the window system delivers a right click (the
    // window turns it into the menu request).
    QWindow* window = fe->gMainWindowRef->windowHandle();
    QTest::mouseClick(window, Qt::RightButton, {}, List()->viewport()->mapTo(fe->gMainWindowRef, onRow));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shortcuts->isVisible(); }, 3000));
    EXPECT_EQ(items, (QStringList{"Move &Up", "Move &Down", "&Delete", "&Undo", "&Redo", "&Keyboard Shortcuts"}));
}

// A drag released anywhere but over the list cancels: over the file
// browser, over the stage, over the preview after the list scrolled. No
// line shows while the cursor is outside. A drag back to the frame's order
// leaves nothing to write.
TEST_F(MacEdit, ADragReleasedOutsideTheListMovesNothingAndOneBackLeavesItClean)
{
    StartOnFour();
    QWidget* view = List()->viewport();
    QWidget* window = fe->gMainWindowRef;
    auto move = [view](QPoint at) {
        QMouseEvent event(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &event);
    };
    auto rowCentre = [this](int row) { return List()->visualRect(List()->model()->index(row, 0)).center(); };
    auto over = [&](const char* name) {
        QWidget* w = C<QWidget>(name);
        return view->mapFrom(window, w->mapTo(window, w->rect().center()));
    };
    const struct {
        const char* target;
        bool scrollFirst;
    } cases[] = {{"CLVW_0", false}, {"mVue_130", false}, {"prev_0", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        List()->scrollToTop();
        ClickRowWith(2, {});
        const QPoint from = rowCentre(2);
        QTest::mousePress(view, Qt::LeftButton, {}, from);
        move(from + QPoint(0, -10));
        move(rowCentre(0));
        EXPECT_EQ(List()->DropLine(), 0);
        if (c.scrollFirst) {
            for (int k = 0; k < 6; ++k)
                move(QPoint(view->width() / 2, view->height() - 2));
            EXPECT_GT(List()->verticalScrollBar()->value(), 0);
        }
        const QPoint outside = over(c.target);
        ASSERT_FALSE(view->rect().contains(outside));
        move(outside);
        EXPECT_EQ(List()->DropLine(), -1);
        QTest::mouseRelease(view, Qt::LeftButton, {}, outside);
        EXPECT_EQ(Held(), seeded);
        EXPECT_FALSE(Marked());
        EXPECT_EQ(List()->SelectedRows(), QList<int>{2});
    }

    // Dropped on the list it moves; dragged back it is the frame's album
    // again: no marker, and Download sends nothing.
    List()->scrollToTop();
    auto drag = [&](int row, int onto) {
        const QPoint from = rowCentre(row), to = rowCentre(onto);
        QTest::mousePress(view, Qt::LeftButton, {}, from);
        for (int k = 1; k <= 4; ++k)
            move(from + (to - from) * k / 4);
        QTest::mouseRelease(view, Qt::LeftButton, {}, to);
    };
    drag(2, 0);
    EXPECT_EQ(Held(), Seeded({2, 0, 1, 3}));
    EXPECT_TRUE(Marked());
    drag(0, 2);
    EXPECT_EQ(Held(), seeded);
    EXPECT_FALSE(Marked());
    const qint64 mark = LogSize();
    QTest::keyClick(window, Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(SentSince(mark).second, 0);
    EXPECT_EQ(Status(), "DownLoad Finished. 4 pictures are on the frame.");
}

// The Delete key takes the selected pictures whatever the delete-all box
// says; the button follows the box, which a Delete All unticks. Undo and
// redo keep a row chosen and shown; Undo and Redo are offered only when
// they can act, and not while a write runs; a write keeps the chosen row.
TEST_F(MacEdit, DeleteKeyTakesTheSelectionAndUndoKeepsAChosenRowShown)
{
    StartOnFour();
    QWidget* window = fe->gMainWindowRef;
    auto* undo = window->findChild<QAction*>("actionUndo");
    auto* redo = window->findChild<QAction*>("actionRedo");
    ASSERT_TRUE(undo && redo);
    auto* box = C<QCheckBox>("dela_0");
    auto shown = [this](int row) {
        EXPECT_EQ(fe->cropTool->PreviewPicture(), QImage(fe->albumRows->File(row))) << "row " << row;
        EXPECT_FALSE(fe->cropTool->PreviewPicture().isNull());
    };
    EXPECT_FALSE(undo->isEnabled());
    EXPECT_FALSE(redo->isEnabled());

    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    ASSERT_TRUE(box->isChecked());
    Click("delp_0");
    EXPECT_TRUE(Held().empty());
    EXPECT_FALSE(box->isChecked());
    EXPECT_TRUE(undo->isEnabled());
    EXPECT_FALSE(redo->isEnabled());
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Held(), seeded);
    EXPECT_EQ(List()->SelectedRows(), (QList<int>{0, 1, 2, 3}));
    shown(0);
    EXPECT_TRUE(redo->isEnabled());
    EXPECT_FALSE(undo->isEnabled());

    // Ticked, the key still takes only the chosen row.
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    ASSERT_TRUE(box->isChecked());
    ClickRowWith(1, {});
    Key(Qt::Key_Delete);
    EXPECT_EQ(Held(), Seeded({0, 2, 3}));
    EXPECT_TRUE(box->isChecked());
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Held(), seeded);
    EXPECT_EQ(List()->SelectedRows(), QList<int>{1});
    shown(1);
    Key(Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(Held(), Seeded({0, 2, 3}));
    EXPECT_EQ(List()->SelectedRows(), QList<int>{1});
    shown(1);

    // A move undone: the moved row is chosen where it is back.
    ClickRowWith(2, {});
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(Held(), Seeded({0, 3, 2}));
    ClickRowWith(0, {});
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Held(), Seeded({0, 2, 3}));
    EXPECT_EQ(List()->SelectedRows(), QList<int>{2});
    shown(2);

    // While the write runs neither is offered; afterwards the chosen row is
    // still chosen and shown.
    ASSERT_TRUE(undo->isEnabled() && redo->isEnabled());
    Click("load_0");
    EXPECT_FALSE(undo->isEnabled());
    EXPECT_FALSE(redo->isEnabled());
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(ReadAlbum(frame), Seeded({0, 2, 3}));
    EXPECT_FALSE(undo->isEnabled());
    EXPECT_EQ(List()->SelectedRows(), QList<int>{2});
    shown(2);
}

// What the window shows fits the state: the empty list's words without a
// frame, with a frame another program holds (and no count that is not
// known), and with a frame; the arrows' values go with the picture when the
// frame leaves; the note of a refused move goes at the next click.
TEST_F(MacEdit, HintsArrowsAndNotesFitTheState)
{
    const QString path = QString::fromStdString(frame);
    Start(frame + ".absent");
    ASSERT_TRUE(started);
    AlbumListView* list = List();
    EXPECT_EQ(list->EmptyHint(), "No frame attached.");

    MakeFrame(frame);
    SeedAlbum(frame, {DevicePicture(NoisePicture(128, 128, 30, 5), 80), DevicePicture(NoisePicture(128, 128, 30, 6), 80)});
    fe.reset();
    finished = 0;
    auto holder = VirtualFrame::Open(frame);
    Start(frame);
    ASSERT_TRUE(WaitFor([&] { return Status().startsWith("The frame is in use by "); }, 5000)) << Status().toStdString();
    EXPECT_EQ(List()->EmptyHint(), "The frame is in use by another program.");
    EXPECT_EQ(Count(), "---/---");
    holder.reset();
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_TRUE(List()->EmptyHint().startsWith("No pictures yet")) << List()->EmptyHint().toStdString();
    EXPECT_EQ(Count(), "002/060");

    // A picture turned and scaled; the frame leaves: the values go too, and
    // stay gone when it comes back.
    const QString png = SavePng(QuarterPicture(200, 150), "q.png");
    Place(png);
    auto* rotate = C<LittleArrows>("rota_0");
    auto* scale = C<LittleArrows>("scal_1");
    ASSERT_TRUE(WaitFor([&] { return scale->GetControl32BitValue() > 0; }, 10000));
    QTest::keyClick(rotate, Qt::Key_Up);
    ASSERT_GT(rotate->GetControl32BitValue(), 0);
    ASSERT_TRUE(QFile::rename(path, path + ".away"));
    ASSERT_TRUE(WaitFor([&] { return Status() == FrontEnd::kNoFrameText; }));
    EXPECT_EQ(List()->EmptyHint(), "No frame attached.");
    for (const char* name : {"rota_0", "scal_1", "trns_10", "trns_11"})
        EXPECT_EQ(C<LittleArrows>(name)->GetControl32BitValue(), 0) << name;
    ASSERT_TRUE(QFile::rename(path + ".away", path));
    ASSERT_TRUE(WaitFor([&] { return fe->G_isDeviceOnLine && !fe->gmyIsTransferData && Rows().size() == 2; }));
    EXPECT_EQ(scale->GetControl32BitValue(), 0);
    EXPECT_EQ(rotate->GetControl32BitValue(), 0);

    // A new picture cannot go ahead of the frame's: the note says so and
    // goes when a row is clicked.
    AddThroughStage(png);
    ASSERT_EQ(Rows().size(), 3);
    ClickRowWith(2, {});
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(Status(), FrontEnd::kOrderNote);
    ClickRowWith(0, {});
    EXPECT_EQ(Status(), "");
}

} // namespace
