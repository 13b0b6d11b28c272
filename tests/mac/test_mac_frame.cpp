// SPDX-License-Identifier: GPL-3.0-or-later
// The application frame of mackestova: arrows controls, the album list, the
// event system, commands, quitting, the control group and the file browser.

#include "tests/mac/MacTestSupport.h"

#include "mac/CarbonApp.h"
#include "mac/HIFramework/TCarbonEvent.h"
#include "mac/LittleArrows.h"
#include "mac/Node.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

using namespace kestova::mac;
using namespace kestova::mac::test;

TEST(LittleArrowsTest, StepsAndWrapsAtBothEnds)
{
    EnsureApp();
    LittleArrows a;
    a.SetControl32BitMinimum(0);
    a.SetControl32BitMaximum(359);
    a.SetControl32BitValue(358);
    LittleArrowsControlAction(&a, ArrowPart::Up);
    EXPECT_EQ(a.GetControl32BitValue(), 359);
    LittleArrowsControlAction(&a, ArrowPart::Up);  // at the maximum: to the minimum
    EXPECT_EQ(a.GetControl32BitValue(), 0);
    LittleArrowsControlAction(&a, ArrowPart::Down);  // at the minimum: to the maximum
    EXPECT_EQ(a.GetControl32BitValue(), 359);
    LittleArrowsControlAction(&a, ArrowPart::None);
    EXPECT_EQ(a.GetControl32BitValue(), 359);

    // A step of 5 from the maximum lands on minimum - 1 + 5.
    a.SetIncrementValue(5);
    LittleArrowsControlAction(&a, ArrowPart::Up);
    EXPECT_EQ(a.GetControl32BitValue(), 4);
    a.SetControl32BitValue(0);
    LittleArrowsControlAction(&a, ArrowPart::Down);
    EXPECT_EQ(a.GetControl32BitValue(), 355);
}

TEST(LittleArrowsTest, OnlyTheArrowsAnnounceAChange)
{
    EnsureApp();
    LittleArrows a;
    a.SetControl32BitMinimum(-10);
    a.SetControl32BitMaximum(10);
    std::vector<int> seen;
    QObject::connect(&a, &LittleArrows::valueChangedByUser, [&](int v) { seen.push_back(v); });
    a.SetControl32BitValue(3);  // from code: silent
    QTest::mouseClick(a.UpButton(), Qt::LeftButton);
    QTest::mouseClick(a.DownButton(), Qt::LeftButton);
    QTest::mouseClick(a.DownButton(), Qt::LeftButton);
    EXPECT_EQ(seen, (std::vector<int>{4, 3, 2}));
    // Values outside a new range are pulled into it.
    a.SetControl32BitMaximum(1);
    EXPECT_EQ(a.GetControl32BitValue(), 1);
}

TEST(AlbumListTest, NodesCountFromOneBehindTheSentinel)
{
    FileDataHead* head = CreateList();
    FileData loose;
    EXPECT_FALSE(AddNode(nullptr, &loose));
    EXPECT_FALSE(AddNode(head, nullptr));
    for (int i = 1; i <= 3; ++i) {
        auto* n = new FileData;
        n->name = "P" + std::to_string(i);
        ASSERT_TRUE(AddNode(head, n));
    }
    EXPECT_EQ(head->count, 3);
    EXPECT_EQ(GetNode(head, 0), head->first);
    EXPECT_EQ(GetNode(head, 2)->name, "P2");
    EXPECT_EQ(GetNode(head, 9)->name, "P3");  // beyond the count: the last
    FileData* gone = DelNode(head, 2);
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(gone->name, "P2");
    delete gone;
    EXPECT_EQ(head->count, 2);
    EXPECT_EQ(GetNode(head, 2)->name, "P3");
    EXPECT_EQ(DelNode(head, 3), nullptr);
    EXPECT_EQ(DelNode(head, 0), nullptr);
    FreeList(head);
}

TEST(EventFrameTest, CommandsByCodeReachTheApplication)
{
    EnsureApp();
    FrontEnd fe;
    int quits = 0;
    fe.exitProgram = [&](int) { ++quits; };
    CarbonApp app(&fe);
    auto send = [&](FourCharCode id) {
        TCarbonEvent e(kEventClassCommand, kEventCommandProcess);
        e.SetCommand(HICommandExtended{0, id});
        return e.SendTo(QCoreApplication::instance());
    };
    EXPECT_TRUE(send(kHICommandNew));
    EXPECT_FALSE(send(FourCC("abcd")));
    // Kind 2 (status update) is not registered: not handled.
    TCarbonEvent status(kEventClassCommand, kEventCommandUpdateStatus);
    status.SetCommand(HICommandExtended{0, kHICommandNew});
    EXPECT_FALSE(status.SendTo(QCoreApplication::instance()));

    // 'quit' while a transfer runs is handled and refused.
    fe.gmyIsTransferData = true;
    EXPECT_TRUE(send(kHICommandQuit));
    EXPECT_EQ(quits, 0);
}

TEST(EventFrameTest, PostedDrawEventIsHandledOnTheMainThread)
{
    EnsureApp();
    std::thread::id handledOn;
    auto ref = InstallEventHandler(QCoreApplication::instance(), {{kEventClassDraw, kEventKindDraw}},
                                   [&](TCarbonEvent& e) {
                                       EXPECT_EQ(e.GetClass(), kEventClassDraw);
                                       handledOn = std::this_thread::get_id();
                                       return true;
                                   });
    std::thread worker([] { PostDrawEvent(); });
    worker.join();
    QElapsedTimer t;
    t.start();
    while (handledOn == std::thread::id() && t.elapsed() < 5000)
        QCoreApplication::processEvents();
    EXPECT_EQ(handledOn, std::this_thread::get_id());
}

TEST(FourCCTest, CodesAndTexts)
{
    EXPECT_EQ(FourCC("quit"), 0x71756974u);
    EXPECT_EQ(FourCCText(FourCC("new ")), "new ");
    EXPECT_EQ(FourCCFromText("draw"), kEventClassDraw);
    EXPECT_EQ(FourCCFromText("dra"), 0u);
}

class MacFrameWindow : public MacHarness {};

TEST_F(MacFrameWindow, WithoutAFrameEveryWorkflowControlStaysDisabled)
{
    Start("");
    ASSERT_TRUE(started);
    QCoreApplication::processEvents();
    for (const char* name : {"dela_0", "suts_0", "open_0", "load_0", "trns_10", "trns_11", "upld_0", "delp_0",
                             "slet_0", "rota_0", "scal_1", "CLVW_0", "pict_0"}) {
        auto* w = C<QWidget>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_FALSE(w->isEnabled()) << name;
    }
    // The work folders are made at start.
    EXPECT_TRUE(QDir(fe->gmyResousepath + "/data").exists());
    EXPECT_TRUE(QDir(fe->gmyResousepath + "/Edata").exists());
    // And Add does nothing while no frame is online.
    fe->MyAddButtonHandler();
    EXPECT_EQ(fe->gmyTotalePictureNum(), 0);
}

TEST_F(MacFrameWindow, ProgressIsClampedAndStatusLineShowsText)
{
    Start("");
    auto* bar = C<QProgressBar>("dnpr_0");
    ASSERT_NE(bar, nullptr);
    fe->SetDownLoadPrcess(150);
    EXPECT_EQ(bar->value(), 100);
    fe->SetDownLoadPrcess(-5);
    EXPECT_EQ(bar->value(), 0);
    fe->SetDownLoadPrcess(42);
    EXPECT_EQ(bar->value(), 42);
    fe->SetNotes(QStringLiteral("hello"));
    EXPECT_EQ(Status(), "hello");

    // From a worker the texts arrive through the main thread.
    std::thread t([&] { fe->SetNotes(QStringLiteral("from a task")); fe->SetDownLoadPrcess(7); });
    t.join();
    EXPECT_TRUE(WaitFor([&] { return Status() == "from a task" && bar->value() == 7; }));
}

TEST_F(MacFrameWindow, QuitIsRefusedDuringATransfer)
{
    Start("");
    fe->gmyIsTransferData = true;
    TCarbonEvent e(kEventClassCommand, kEventCommandProcess);
    e.SetCommand(HICommandExtended{0, kHICommandQuit});
    CarbonApp app(fe.get());
    e.SendTo(QCoreApplication::instance());
    EXPECT_EQ(Status(), "Can't quit Kestova,during transfering data.");
    EXPECT_EQ(exitCode, -1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    // The close box takes the same road and the window stays.
    fe->gMainWindowRef->close();
    EXPECT_TRUE(fe->gMainWindowRef->isVisible());
    EXPECT_EQ(exitCode, -1);
    fe->gmyIsTransferData = false;
}

TEST_F(MacFrameWindow, QuitAlertCancelKeepsEverythingAndOkLeaves)
{
    Start("");
    QString alertText, alertTitle;
    auto answer = [&](QMessageBox::StandardButton which) {
        QTimer::singleShot(0, [&, which] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            alertText = box->text();
            alertTitle = box->windowTitle();
            box->button(which)->click();
        });
    };
    fe->SetNotes(QStringLiteral("before"));
    answer(QMessageBox::Cancel);
    fe->gMainWindowRef->close();
    EXPECT_EQ(alertText, "Really want to quit?");
    EXPECT_EQ(alertTitle, "MacKestova");
    EXPECT_EQ(exitCode, -1);
    EXPECT_TRUE(fe->gMainWindowRef->isVisible());
    EXPECT_EQ(Status(), "before");
    EXPECT_FALSE(fe->fileRows->Rows().empty());

    answer(QMessageBox::Ok);
    fe->MyQuit();
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(fe->fileRows->Rows().empty());  // resources released before leaving
}

// Quitting the way a person does: Ctrl+Q on the window, and File > Quit
// MacKestova opened and chosen with the mouse. Each brings the alert; Cancel
// stays, OK leaves with 0. 'New' is connected as well and does nothing.
TEST_F(MacFrameWindow, CtrlQAndTheMenusQuitBringTheAlert)
{
    Start("");
    CarbonApp app(fe.get());
    QMainWindow* w = fe->gMainWindowRef;
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    auto* bar = w->findChild<QMenuBar*>(QStringLiteral("MenuBar"));
    ASSERT_NE(bar, nullptr);
    auto* fileMenu = bar->findChild<QMenu*>(QStringLiteral("fileMenu"));
    ASSERT_NE(fileMenu, nullptr);
    auto actionNamed = [&](const char* name) { return w->findChild<QAction*>(QLatin1String(name)); };

    // Answers the alert when it shows; counts how often it was shown.
    int alerts = 0;
    QMessageBox::StandardButton answer = QMessageBox::Cancel;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            EXPECT_EQ(box->text(), "Really want to quit?");
            ++alerts;
            box->button(answer)->click();
        }
    });
    watcher.start(10);
    // After an alert the person's next key goes to the window again.
    auto viaKeys = [&] {
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
        QTest::keyClick(w, Qt::Key_Q, Qt::ControlModifier);
    };
    auto viaMenu = [&] {
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(fileMenu->menuAction()).center());
        ASSERT_TRUE(WaitFor([&] { return fileMenu->isVisible(); }, 5000));
        QTest::mouseClick(fileMenu, Qt::LeftButton, {}, fileMenu->actionGeometry(actionNamed("actionQuit")).center());
    };
    struct Case {
        const char* how;
        std::function<void()> act;
    };
    for (const Case& c : {Case{"Ctrl+Q", viaKeys}, Case{"menu", viaMenu}}) {
        SCOPED_TRACE(c.how);
        const int before = alerts;
        answer = QMessageBox::Cancel;
        c.act();
        EXPECT_TRUE(WaitFor([&] { return alerts == before + 1; }, 5000));
        QTest::qWait(30);
        EXPECT_EQ(exitCode, -1);
        EXPECT_TRUE(w->isVisible());
        EXPECT_FALSE(fe->fileRows->Rows().empty());

        answer = QMessageBox::Ok;
        c.act();
        EXPECT_TRUE(WaitFor([&] { return exitCode == 0; }, 5000));
        EXPECT_EQ(alerts, before + 2);
        EXPECT_TRUE(fe->fileRows->Rows().empty());  // resources released before leaving
        exitCode = -1;
        fe->GetSystemDisk();  // as if running on, for the next road
    }
    // New: chosen from the menu, nothing happens and no alert shows.
    const int before = alerts;
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(fileMenu->menuAction()).center());
    ASSERT_TRUE(WaitFor([&] { return fileMenu->isVisible(); }, 5000));
    QTest::mouseClick(fileMenu, Qt::LeftButton, {}, fileMenu->actionGeometry(actionNamed("actionNew")).center());
    QTest::qWait(50);
    EXPECT_EQ(alerts, before);
    EXPECT_EQ(exitCode, -1);
}

TEST_F(MacFrameWindow, AMissingControlSkipsTheRestOfTheStartUp)
{
    Start(frame, [](QMainWindow* w) { delete w->findChild<QWidget*>(QStringLiteral("trns_11")); });
    EXPECT_FALSE(started);
    EXPECT_EQ(fe->frame, nullptr);          // no link was made
    EXPECT_TRUE(fe->fileRows->Rows().empty());  // no file browser rows
    // Controls bound before the arrows still work, status operations too.
    fe->SetNotes(QStringLiteral("still here"));
    EXPECT_EQ(Status(), "still here");
    EXPECT_TRUE(fe->gMainWindowRef->isVisible());
}

TEST_F(MacFrameWindow, FileBrowserListsVolumesHomeAndExpandsLazily)
{
    Start("");
    ASSERT_FALSE(fe->fileRows->Rows().empty());
    bool haveHome = false;
    int lastID = 1;
    for (const auto& row : fe->fileRows->Rows()) {
        EXPECT_TRUE(row->isFolder);
        EXPECT_EQ(row->rowID, lastID + 1);  // numbered from 2 without gaps
        lastID = row->rowID;
        haveHome = haveHome || row->path == QDir::homePath();
    }
    EXPECT_TRUE(haveHome);
    auto* tree = C<QTreeWidget>("CLVW_0");
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->topLevelItemCount(), int(fe->fileRows->Rows().size()));

    // A folder with a hidden entry, an application bundle and a picture.
    QDir dir(tmp.path());
    ASSERT_TRUE(dir.mkpath("browse/Sub"));
    ASSERT_TRUE(dir.mkpath("browse/Tool.app"));
    QFile(tmp.filePath("browse/.hidden")).open(QIODevice::WriteOnly);
    SavePng(QuarterPicture(40, 30), "browse/a.png");
    auto row = std::make_unique<tagFILEITEM>();
    row->rowID = lastID + 1;
    row->path = tmp.filePath("browse");
    row->name = "browse";
    row->isFolder = true;
    row->item = new QTreeWidgetItem(tree, QStringList("browse"));
    row->item->setData(0, Qt::UserRole, row->rowID);
    tagFILEITEM* folder = row.get();
    fe->fileRows->AddRow(std::move(row));
    const size_t before = fe->fileRows->Rows().size();
    tree->expandItem(folder->item);  // lists the folder on opening
    ASSERT_EQ(fe->fileRows->Rows().size(), before + 3);
    QStringList names;
    for (size_t i = before; i < fe->fileRows->Rows().size(); ++i)
        names << fe->fileRows->Rows()[i]->name;
    EXPECT_EQ(names, (QStringList{"a.png", "Sub", "Tool.app"}));
    EXPECT_TRUE(fe->fileRows->Rows()[before]->firstChild);
    EXPECT_FALSE(fe->fileRows->Rows()[before + 1]->firstChild);
    EXPECT_TRUE(fe->fileRows->Rows()[before + 1]->isFolder);
    EXPECT_FALSE(fe->fileRows->Rows()[before + 2]->isFolder);  // ".app" shows as a file
    EXPECT_EQ(fe->fileRows->Rows()[before]->rowID, folder->rowID + 1);
    EXPECT_EQ(folder->item->childCount(), 3);

    // Double-clicking the picture places it on the stage.
    fe->OpenRow(fe->fileRows->Rows()[before].get());
    ASSERT_TRUE(WaitFor([&] { return !fe->cropTool->Loading(); }));
    EXPECT_NE(fe->cropTool->Picture(), nullptr);

    // Closing the folder frees its rows.
    tree->collapseItem(folder->item);
    EXPECT_EQ(fe->fileRows->Rows().size(), before);
    EXPECT_EQ(folder->item->childCount(), 0);
}

TEST_F(MacFrameWindow, FirstVolumeHidesSystemFolders)
{
    Start("");
    QDir dir(tmp.path());
    for (const char* n : {"vol/tmp", "vol/etc", "vol/var", "vol/Network", "vol/proc", "vol/sys", "vol/dev",
                          "vol/run", "vol/home"})
        ASSERT_TRUE(dir.mkpath(n));
    auto row = std::make_unique<tagFILEITEM>();
    row->rowID = 1000;
    row->path = tmp.filePath("vol");
    row->isFolder = true;
    tagFILEITEM* vol = row.get();
    fe->fileRows->AddRow(std::move(row));
    const size_t before = fe->fileRows->Rows().size();

    fe->ExpendFolder(vol, 1000);  // not the first volume: all shown
    EXPECT_EQ(fe->fileRows->Rows().size(), before + 9);
    fe->fileRows->DropRowsFrom(before);

    fe->fileRows->SetFirstVolumeRow(1000);
    fe->ExpendFolder(vol, 1000);
    ASSERT_EQ(fe->fileRows->Rows().size(), before + 1);
    EXPECT_EQ(fe->fileRows->Rows().back()->name, "home");
}
