// SPDX-License-Identifier: GPL-3.0-or-later
// kestova editing the album through the real window: a drag and Alt+Up/Down
// reorder it, Ctrl+Z / Ctrl+Shift+Z / Ctrl+Y walk the edits back and forth,
// the title marks an album the frame does not hold yet, and a write ends
// with how many pictures the frame holds.

#include "tests/win/WinSessionSupport.h"

#include <QMenu>
#include <QScrollBar>
#include <QTableWidget>

#include <algorithm>

namespace kestova::win::test {
namespace {

class WinEdit : public WinSession {
protected:
    std::shared_ptr<VirtualFrameMonitor> monitor;
    std::vector<Bytes> seeded;

    // The album rows selected now, in order.
    QList<int> selected()
    {
        QList<int> rows;
        for (QListWidgetItem* it : Album()->selectedItems())
            rows << Album()->row(it);
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    void StartOnFour()
    {
        for (unsigned i = 0; i < 4; ++i)
            seeded.push_back(DevicePicture(Noise(128, 128, 30, 11 + i)));
        Seed(frame, seeded);
        adjustOptions = [&](StartOptions& o) {
            o.frameOpener = [&](const std::string& arg, std::string& error) -> std::unique_ptr<ScsiUnit> {
                try {
                    auto f = VirtualFrame::Open(arg);
                    monitor = f->Monitor();
                    return f;
                } catch (const std::exception& e) {
                    error = e.what();
                    return nullptr;
                }
            };
        };
        ASSERT_TRUE(StartIdle());
        ASSERT_EQ(Album()->count(), 4);
    }
    std::vector<Bytes> FlashBytes()
    {
        std::vector<Bytes> out;
        for (const auto& p : ReadBack(frame))
            out.push_back(p.bytes);
        return out;
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers mods)
    {
        dlg->activateWindow();
        QTest::keyClick(Album(), key, mods);
    }
    bool Marked() const { return dlg->isWindowModified() && dlg->AlbumModified(); }
};

TEST_F(WinEdit, DragAndAltArrowsReorderAndTheWriteCostsOnlyTheIndex)
{
    StartOnFour();
    const QStringList cache = dlg->CachePaths();
    EXPECT_FALSE(dlg->isWindowModified());
    EXPECT_EQ(dlg->windowTitle(), "Kestova[*]");

    // Entry 3 dragged onto entry 1 with the mouse: it becomes the first.
    SelectEntries({2});
    QWidget* view = Album()->viewport();
    const QPoint from = Album()->visualItemRect(Album()->item(2)).center();
    const QPoint to = Album()->visualItemRect(Album()->item(0)).center();
    QTest::mousePress(view, Qt::LeftButton, {}, from);
    for (int k = 1; k <= 4; ++k) {
        QMouseEvent move(QEvent::MouseMove, from + (to - from) * k / 4, view->mapToGlobal(from + (to - from) * k / 4),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &move);
    }
    QTest::mouseRelease(view, Qt::LeftButton, {}, to);
    EXPECT_EQ(dlg->CachePaths(), QStringList({cache[2], cache[0], cache[1], cache[3]}));
    EXPECT_EQ(Labels(), Numbered(4));
    // Thumbnails stand where the formula puts them, the moved one selected.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Album()->visualItemRect(Album()->item(i)).topLeft() + QPoint(Album()->horizontalScrollBar()->value(), Album()->verticalScrollBar()->value()),
                  Album()->PositionOf(i))
            << i;
    ASSERT_EQ(Album()->selectedItems().size(), 1);
    EXPECT_EQ(Album()->row(Album()->selectedItems().first()), 0);
    EXPECT_TRUE(Marked());
    EXPECT_TRUE(C<QPushButton>(IDC_BUTTON_SEND)->font().bold());

    // Alt+Down twice then Alt+Up: entry 3 ends second; Alt+Up at the top does nothing.
    Key(Qt::Key_Down, Qt::AltModifier);
    Key(Qt::Key_Down, Qt::AltModifier);
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(dlg->CachePaths(), QStringList({cache[0], cache[2], cache[1], cache[3]}));
    Key(Qt::Key_Up, Qt::AltModifier);
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(dlg->CachePaths(), QStringList({cache[2], cache[0], cache[1], cache[3]}));
    EXPECT_EQ(Labels(), Numbered(4));

    monitor->ClearCommands();
    ASSERT_TRUE(Synchronize());
    // Only the two index blocks went to the frame, and a fresh read lists
    // the new order.
    EXPECT_EQ(monitor->BytesToDevice(), 2u * 4096);
    EXPECT_EQ(FlashBytes(), std::vector<Bytes>({seeded[2], seeded[0], seeded[1], seeded[3]}));
    EXPECT_FALSE(dlg->isWindowModified());
    EXPECT_FALSE(C<QPushButton>(IDC_BUTTON_SEND)->font().bold());
    EXPECT_EQ(dlg->StatusText(), T("WRITTEN_STATUS").arg(4));
    EXPECT_EQ(dlg->StatusText(), "4 pictures are on the frame.");
    // The frame's LCD size stays on the left once the write has ended.
    EXPECT_EQ(dlg->StatusLeftText(), "LCD 128×128");
}

TEST_F(WinEdit, UndoAndRedoWalkDeletesAndMovesAndUndoingToCleanNeedsNoWrite)
{
    StartOnFour();
    const QStringList cache = dlg->CachePaths();

    // Delete entries 2 and 4 at once, then Ctrl+Z: the album is whole and
    // clean, and Synchronize sends nothing.
    SelectEntries({1, 3});
    answer = QMessageBox::Yes;
    Key(Qt::Key_Delete, {});
    ASSERT_EQ(dlg->CachePaths(), QStringList({cache[0], cache[2]}));
    EXPECT_TRUE(Marked());
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(dlg->CachePaths(), cache);
    EXPECT_EQ(Labels(), Numbered(4));
    EXPECT_FALSE(dlg->isWindowModified());
    EXPECT_FALSE(dlg->AlbumModified());
    monitor->ClearCommands();
    QTest::keyClick(Album(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(dlg->IsDownloading());
    EXPECT_EQ(monitor->CommandCount(), 0u);

    // Redo both ways, a move on top, Delete All's kin (all selected) and back.
    Key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(dlg->CachePaths(), QStringList({cache[0], cache[2]}));
    Key(Qt::Key_Z, Qt::ControlModifier);
    Key(Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(dlg->CachePaths(), QStringList({cache[0], cache[2]}));
    SelectEntries({1});
    Key(Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(dlg->CachePaths(), QStringList({cache[2], cache[0]}));
    Key(Qt::Key_Z, Qt::ControlModifier);
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(dlg->CachePaths(), cache);
    EXPECT_FALSE(dlg->isWindowModified());

    // A write of a delete empties the history: Ctrl+Z has nothing to undo,
    // and the frame holds three; in German the end says so too.
    SelectEntries({0});
    Key(Qt::Key_Delete, {});
    dlg->SwitchLanguage(kFirstLanguageCommand + 2);
    ASSERT_TRUE(Synchronize());
    EXPECT_EQ(dlg->StatusText(), "3 Bilder sind im Bilderrahmen.");
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(dlg->CachePaths().size(), 3);
    EXPECT_FALSE(dlg->isWindowModified());
    EXPECT_EQ(FlashBytes(), std::vector<Bytes>({seeded[1], seeded[2], seeded[3]}));
    // The deleted picture's cache bitmap went with the history.
    EXPECT_FALSE(QFile::exists(cache[0]));
}

// Undo and redo leave the rows they touched selected, so Alt+Up/Down goes
// on from them: entries put back or moved are selected where they stand,
// and where entries went, the one now at their place.
TEST_F(WinEdit, UndoAndRedoSelectTheRowsTheyTouched)
{
    StartOnFour();
    const QStringList c = dlg->CachePaths();
    SelectEntries({1, 3});
    answer = QMessageBox::Yes;
    Key(Qt::Key_Delete, {});
    ASSERT_EQ(dlg->CachePaths(), QStringList({c[0], c[2]}));
    const struct {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        QStringList order;
        QList<int> selection;
    } steps[] = {
        {"undo the delete", Qt::Key_Z, Qt::ControlModifier, c, {1, 3}},
        {"redo the delete", Qt::Key_Y, Qt::ControlModifier, {c[0], c[2]}, {1}},
        {"undo it again", Qt::Key_Z, Qt::ControlModifier, c, {1, 3}},
        {"move them up", Qt::Key_Up, Qt::AltModifier, {c[1], c[0], c[3], c[2]}, {0, 2}},
        {"undo the move", Qt::Key_Z, Qt::ControlModifier, c, {1, 3}},
        {"redo the move", Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier, {c[1], c[0], c[3], c[2]}, {0, 2}},
        {"and down again", Qt::Key_Down, Qt::AltModifier, c, {1, 3}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        Key(step.key, step.mods);
        EXPECT_EQ(dlg->CachePaths(), step.order);
        EXPECT_EQ(selected(), step.selection);
    }
}

// Alt+Up / Alt+Down on entries picked with Ctrl-click: each moves one place,
// the gap between them stays, one at the top stays; the write then costs
// only the index and a fresh read lists the order shown.
TEST_F(WinEdit, AltArrowsMoveEachOfASelectionWithGapsOnePlace)
{
    StartOnFour();
    const QStringList c = dlg->CachePaths();
    const struct {
        Qt::Key key;
        QStringList order;
        QList<int> selection;
    } steps[] = {
        {Qt::Key_Up, {c[1], c[0], c[3], c[2]}, {0, 2}},
        {Qt::Key_Up, {c[1], c[3], c[0], c[2]}, {0, 1}},  // the top one stays, the other closes up
        {Qt::Key_Down, {c[0], c[1], c[3], c[2]}, {1, 2}},
        {Qt::Key_Down, {c[0], c[2], c[1], c[3]}, {2, 3}},
        {Qt::Key_Down, {c[0], c[2], c[1], c[3]}, {2, 3}},  // at the bottom nothing moves
    };
    SelectEntries({1, 3});
    ASSERT_EQ(selected(), QList<int>({1, 3}));
    for (const auto& step : steps) {
        SCOPED_TRACE(step.selection.first());
        Key(step.key, Qt::AltModifier);
        EXPECT_EQ(dlg->CachePaths(), step.order);
        EXPECT_EQ(selected(), step.selection);
        EXPECT_EQ(Labels(), Numbered(4));
    }
    monitor->ClearCommands();
    ASSERT_TRUE(Synchronize());
    EXPECT_EQ(monitor->BytesToDevice(), 2u * 4096);
    EXPECT_EQ(FlashBytes(), std::vector<Bytes>({seeded[0], seeded[2], seeded[1], seeded[3]}));
}

// F1 and the album list's context menu open the list of keys; the buttons'
// tooltips keep their own text and name their key, in every language.
TEST_F(WinEdit, F1AndTheAlbumListsMenuListTheKeysAndTooltipsNameThem)
{
    StartOnFour();
    const struct {
        int id;
        const char* tip;
        const char* key;
    } tips[] = {
        {IDC_BUTTON_DELECT, "IDC_BUTTON_DELECTTIPS", "Del"},
        {IDC_BUTTON_SEND, "IDC_BUTTON_SENDTIPS", "Ctrl+S"},
        {IDC_BUTTON_CHANGE_L, "IDC_BUTTON_CHANGE_LTIPS", "Ctrl+Shift+Left"},
    };
    // Keys of a row (several: "A, B", listed as "A / B") and what it says.
    const struct {
        const char* keys;
        const char* what;
    } rows[] = {
        {"Ctrl+Z", "HELP_UNDO"}, {"Ctrl+Shift+Z, Ctrl+Y", "HELP_REDO"}, {"Alt+Up, Alt+Down", "HELP_MOVE"},
        {"F5", "HELP_RELOAD"},   {"Ctrl+E, Alt+F4", "HELP_EXIT"},       {"F1", "HELP_HELP"},
    };
    auto help = [&] { return dlg->findChild<QDialog*>("keyHelp"); };
    auto expectListAndClose = [&] {
        ASSERT_TRUE(WaitFor([&] { return help() && help()->isVisible(); }, 3000));
        auto* table = help()->findChild<QTableWidget*>("keyHelpTable");
        for (const auto& r : rows) {
            const QString keys = QKeySequence::fromString(r.keys).toString(QKeySequence::NativeText).replace(", ", " / ");
            const QList<QTableWidgetItem*> found = table->findItems(keys, Qt::MatchExactly);
            ASSERT_EQ(found.size(), 1) << r.keys;
            EXPECT_EQ(table->item(found.first()->row(), 1)->text(), T(r.what)) << r.what;
        }
        // The keys column holds keys, or what the mouse does: a button's
        // name has no place there. Dragging to reorder is listed.
        const QStringList mouse = {T("KEYHELP_DOUBLECLICK"), T("KEYHELP_DRAG")};
        for (int row = 0; row < table->rowCount(); ++row) {
            const QString cell = table->item(row, 0)->text();
            EXPECT_NE(cell, T("IDC_BUTTON_SAVE"));  // Qt knows a "Save" key
            if (mouse.contains(cell))
                continue;
            for (QString part : cell.split(QRegularExpression(" / |, "))) {
                if (const QString keypad = T("KEY_NUMPAD").arg(QString()); part.startsWith(keypad))
                    part = part.mid(keypad.size());
                const QKeySequence key = QKeySequence::fromString(part, QKeySequence::NativeText);
                EXPECT_TRUE(!key.isEmpty() && key.toString(QKeySequence::NativeText) == part) << cell.toStdString();
            }
        }
        const QList<QTableWidgetItem*> drag = table->findItems(T("KEYHELP_DRAG"), Qt::MatchExactly);
        ASSERT_EQ(drag.size(), 1);
        EXPECT_EQ(table->item(drag.first()->row(), 1)->text(), T("HELP_DRAG"));
        QTest::mouseClick(help()->findChild<QPushButton*>("ctl1"), Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return help() == nullptr; }, 3000));
    };
    for (const int language : {0, 2}) {
        SCOPED_TRACE(language);
        PickLanguageThroughMenu(language);
        // The tip's own text stays as it is; its key follows it.
        for (const auto& t : tips)
            EXPECT_EQ(C<QWidget>(t.id)->toolTip(),
                      T("TIP_KEY").arg(T(t.tip), QKeySequence(t.key).toString(QKeySequence::NativeText)));

        // F1 on the album list, the window active as after any click in it.
        dlg->activateWindow();
        ASSERT_TRUE(WaitFor([&] { return dlg->isActiveWindow(); }, 3000));
        Key(Qt::Key_F1, {});
        expectListAndClose();

        // The same list from the album list's context menu, with the mouse.
        QTest::mouseClick(Album()->viewport(), Qt::RightButton, {}, Album()->visualItemRect(Album()->item(1)).center());
        QMenu* menu = dlg->ContextMenu();
        ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }, 3000));
        QAction* item = nullptr;
        for (QAction* a : menu->actions())
            item = a->objectName() == "keyHelpItem" ? a : item;
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->text(), T("KEYHELP_MENU"));
        QTest::mouseMove(menu, menu->actionGeometry(item).center());
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
        expectListAndClose();
    }
    EXPECT_EQ(T("HELP_UNDO"), "Die letzte Änderung am Album rückgängig machen");
}

} // namespace
} // namespace kestova::win::test
