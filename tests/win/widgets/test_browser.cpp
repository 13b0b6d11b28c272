// SPDX-License-Identifier: GPL-3.0-or-later
// The folder tree and the browser list, driven with the mouse and keyboard:
// lazy listing on the tree's worker, sorted sub-folders, which files the
// browser takes, collapsing, re-selecting, late listings, the computer node's
// volumes, and the double click that adds a picture.

#include "tests/win/widgets/WidgetTestSupport.h"
#include "win/widgets/FolderTree.h"

#include <QDir>
#include <QHBoxLayout>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

using namespace kestova::win;
using namespace kestova::win::test;

namespace {

QStringList ChildTexts(const QTreeWidgetItem* node)
{
    QStringList out;
    for (int i = 0; i < node->childCount(); ++i)
        out << node->child(i)->text(0);
    return out;
}

QStringList BrowserTexts(const QListWidget& list)
{
    QStringList out;
    for (int i = 0; i < list.count(); ++i)
        out << list.item(i)->text();
    return out;
}

bool OnlyPlaceholder(const QTreeWidgetItem* node)
{
    return node->childCount() == 1 && CFolderTree::IsPlaceholder(node->child(0)) && node->child(0)->text(0).isEmpty();
}

class Browser : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApp();
        desktop = HomeDir() + "/Desktop";
        pictures = HomeDir() + "/Pictures";
        QDir(desktop).removeRecursively();
        QDir(pictures).removeRecursively();
        MakeDir(desktop);
        MakeDir(pictures);
        layout = new QHBoxLayout(&window);
        tree = new CPictureFolderTree(&window);
        list = new CBrowserList(&window);
        layout->addWidget(tree);
        layout->addWidget(list);
        QObject::connect(tree, &CPictureFolderTree::clearBrowserList, list, &CBrowserList::Clear);
        QObject::connect(tree, &CPictureFolderTree::filesFound, list, &CBrowserList::AddPaths);
        window.resize(600, 400);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    void Click(QTreeWidgetItem* node)
    {
        tree->scrollToItem(node);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(node).center());
    }
    // Waits until the tree has applied every listing asked for.
    bool Settled() { return QTest::qWaitFor([&] { return !tree->ListingPending(); }, 10000); }

    AppFirst app;
    QString desktop, pictures;
    QWidget window;
    QHBoxLayout* layout = nullptr;
    CPictureFolderTree* tree = nullptr;
    CBrowserList* list = nullptr;
};

TEST_F(Browser, ExpandingAFolderSortsItsSubFoldersAndListsThePicturesTheBrowserTakes)
{
    for (const char* d : {"b", "A", "c", ".hidden"})
        MakeDir(desktop + "/" + d);
    for (const char* f : {"photo.JPEG", "x.png", "notes.txt", "Z.gif", "a.bmp", "scan.jpg.txt", "b.Jpg"})
        WriteText(desktop + "/" + f);
    tree->Fill();
    ASSERT_EQ(tree->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(OnlyPlaceholder(tree->topLevelItem(i))) << i;
    EXPECT_EQ(CFolderTree::NodePath(tree->DesktopNode()), desktop + "/");
    EXPECT_EQ(CFolderTree::NodePath(tree->PicturesNode()), pictures + "/");

    // The user picks the desktop with the mouse and opens it with the Right key.
    Click(tree->DesktopNode());
    ASSERT_EQ(tree->currentItem(), tree->DesktopNode());
    QSignalSpy listed(tree, &CFolderTree::folderListed);
    QTest::keyClick(tree, Qt::Key_Right);
    ASSERT_TRUE(tree->DesktopNode()->isExpanded());
    ASSERT_TRUE(Settled());
    ASSERT_EQ(listed.count(), 1);
    EXPECT_EQ(listed.at(0).at(0).toString(), desktop + "/");

    EXPECT_EQ(ChildTexts(tree->DesktopNode()), QStringList({"A", "b", "c"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(OnlyPlaceholder(tree->DesktopNode()->child(i))) << i;
        EXPECT_EQ(CFolderTree::NodePath(tree->DesktopNode()->child(i)),
                  desktop + "/" + tree->DesktopNode()->child(i)->text(0) + "/");
    }
    EXPECT_EQ(tree->CurrentFolderPath(), desktop + "/");
    EXPECT_EQ(BrowserTexts(*list), QStringList({"a.bmp", "b.Jpg", "photo.JPEG", "Z.gif"}));
    for (int i = 0; i < list->count(); ++i)
        EXPECT_EQ(list->visualItemRect(list->item(i)).top(), CBrowserList::kRowHeight * i) << i;

    // The user selects sub-folder A, then closes the desktop with its
    // expand button: A goes away under the selection, the desktop keeps one
    // placeholder and the browser is empty.
    Click(tree->DesktopNode()->child(0));
    ASSERT_EQ(tree->currentItem(), tree->DesktopNode()->child(0));
    const QRect desk = tree->visualItemRect(tree->DesktopNode());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                      QPoint(desk.left() - tree->indentation() / 2, desk.center().y()));
    EXPECT_FALSE(tree->DesktopNode()->isExpanded());
    EXPECT_TRUE(OnlyPlaceholder(tree->DesktopNode()));
    EXPECT_EQ(list->count(), 0);

    // Opened again with the keyboard and closed with Left.
    tree->setCurrentItem(tree->DesktopNode());
    QTest::keyClick(tree, Qt::Key_Right);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(list->count(), 4);
    QTest::keyClick(tree, Qt::Key_Left);
    EXPECT_FALSE(tree->DesktopNode()->isExpanded());
    EXPECT_TRUE(OnlyPlaceholder(tree->DesktopNode()));
    EXPECT_EQ(list->count(), 0);
}

// A click on a folder lists its pictures at once, expanded or not; a
// folder found without sub-folders shows no expand button from then on,
// also after it was opened and closed.
TEST_F(Browser, SelectingAFolderListsItAtOnceAndAChildlessOneLosesItsExpandButton)
{
    MakeDir(desktop + "/sub");
    WriteText(desktop + "/one.jpg");
    WriteText(pictures + "/p.bmp");
    tree->Fill();
    tree->DesktopNode()->setExpanded(true);
    ASSERT_TRUE(Settled());
    ASSERT_EQ(BrowserTexts(*list), QStringList({"one.jpg"}));

    // The pictures root, collapsed, clicked: its picture is listed, it stays
    // collapsed and, holding no sub-folder, keeps no placeholder.
    Click(tree->PicturesNode());
    ASSERT_TRUE(Settled());
    EXPECT_EQ(BrowserTexts(*list), QStringList({"p.bmp"}));
    EXPECT_EQ(tree->CurrentFolderPath(), pictures + "/");
    EXPECT_FALSE(tree->PicturesNode()->isExpanded());
    EXPECT_EQ(tree->PicturesNode()->childCount(), 0);
    // Opened and closed with the keys: still nothing to expand.
    QTest::keyClick(tree, Qt::Key_Right);
    ASSERT_TRUE(Settled());
    QTest::keyClick(tree, Qt::Key_Left);
    EXPECT_FALSE(tree->PicturesNode()->isExpanded());
    EXPECT_EQ(tree->PicturesNode()->childCount(), 0);

    // A new file, then the expanded desktop is selected again: listed anew.
    WriteText(desktop + "/two.gif");
    QSignalSpy listed(tree, &CFolderTree::folderListed);
    Click(tree->DesktopNode());
    ASSERT_TRUE(Settled());
    EXPECT_EQ(listed.count(), 1);
    EXPECT_EQ(BrowserTexts(*list), QStringList({"one.jpg", "two.gif"}));
    EXPECT_EQ(ChildTexts(tree->DesktopNode()), QStringList({"sub"}));

    // A collapsed folder with a sub-folder, clicked: listed, its sub-folder
    // waits under it (an expand button), and closing it keeps the button.
    MakeDir(desktop + "/sub/deeper");
    WriteText(desktop + "/sub/s.jpg");
    QTreeWidgetItem* sub = tree->DesktopNode()->child(0);
    Click(sub);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(BrowserTexts(*list), QStringList({"s.jpg"}));
    EXPECT_FALSE(sub->isExpanded());
    EXPECT_EQ(ChildTexts(sub), QStringList({"deeper"}));
    QTest::keyClick(tree, Qt::Key_Right);
    ASSERT_TRUE(Settled());
    QTest::keyClick(tree, Qt::Key_Left);
    EXPECT_TRUE(OnlyPlaceholder(sub));
}

TEST_F(Browser, ALateListingNeverReachesACollapsedNodeAndOnlyTheLastFeedsTheBrowser)
{
    MakeDir(desktop + "/d");
    WriteText(desktop + "/desk.jpg");
    MakeDir(pictures + "/p");
    WriteText(pictures + "/pic.jpg");
    tree->Fill();
    QSignalSpy listed(tree, &CFolderTree::folderListed);

    // Expanded and collapsed again before the listing could come back.
    tree->DesktopNode()->setExpanded(true);
    tree->DesktopNode()->setExpanded(false);
    // Two folders opened at once: the browser ends with the second's files.
    tree->PicturesNode()->setExpanded(true);
    tree->DesktopNode()->setExpanded(true);
    ASSERT_TRUE(Settled());
    QTest::qWait(50);  // anything late would have arrived by now

    EXPECT_EQ(listed.count(), 2);
    EXPECT_EQ(ChildTexts(tree->PicturesNode()), QStringList({"p"}));
    EXPECT_EQ(ChildTexts(tree->DesktopNode()), QStringList({"d"}));
    EXPECT_EQ(BrowserTexts(*list), QStringList({"desk.jpg"}));
    EXPECT_EQ(tree->CurrentFolderPath(), desktop + "/");

    // The tree is rebuilt while a listing runs: the old nodes are gone and
    // the result is dropped.
    tree->PicturesNode()->setExpanded(false);
    tree->PicturesNode()->setExpanded(true);
    tree->Fill();
    QTest::qWait(100);
    EXPECT_TRUE(OnlyPlaceholder(tree->PicturesNode()));
}

TEST_F(Browser, TheComputerNodeListsMountedVolumesAndTheRightButtonDoesNothing)
{
    tree->Fill();
    Click(tree->DesktopNode());
    QTest::mouseClick(tree->viewport(), Qt::RightButton, {},
                      tree->visualItemRect(tree->PicturesNode()).center());
    EXPECT_EQ(tree->currentItem(), tree->DesktopNode());

    tree->ComputerNode()->setExpanded(true);
    ASSERT_TRUE(Settled());
    QTreeWidgetItem* computer = tree->ComputerNode();
    ASSERT_GE(computer->childCount(), 1);
    for (int i = 0; i < computer->childCount(); ++i) {
        const QString root = CFolderTree::NodePath(computer->child(i));
        EXPECT_TRUE(root.endsWith('/') && QFileInfo(root).isDir()) << root.toStdString();
        EXPECT_FALSE(computer->child(i)->text(0).isEmpty());
        EXPECT_TRUE(OnlyPlaceholder(computer->child(i)));
    }
    EXPECT_TRUE(CFolderTree::NodePath(computer).isEmpty());
    computer->setExpanded(false);
    EXPECT_TRUE(OnlyPlaceholder(computer));

    tree->SetRootTexts("Computer X", "Desk X", "Pics X");
    EXPECT_EQ(tree->ComputerNode()->text(0), "Computer X");
    EXPECT_EQ(tree->PicturesNode()->text(0), "Pics X");
}

TEST(FolderTreeBase, ADoubleClickOnAPictureAsksForAddAndOnAFolderOpensIt)
{
    EnsureApp();
    const QString desktop = HomeDir() + "/Desktop";
    QDir(desktop).removeRecursively();
    MakeDir(desktop + "/album.d");
    WriteText(desktop + "/photo.JPEG");
    CFolderTree tree;  // the base tree lists picture files as leaves
    tree.resize(300, 400);
    tree.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
    tree.Fill();
    tree.DesktopNode()->setExpanded(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tree.ListingPending(); }, 10000));
    ASSERT_EQ(ChildTexts(tree.DesktopNode()), QStringList({"album.d", "photo.JPEG"}));

    QSignalSpy add(&tree, &CFolderTree::addPictureRequested);
    QTreeWidgetItem* folder = tree.DesktopNode()->child(0);
    DoubleClick(tree.viewport(), tree.visualItemRect(folder).center());
    EXPECT_EQ(add.count(), 0);
    EXPECT_TRUE(folder->isExpanded());

    QTreeWidgetItem* photo = tree.DesktopNode()->child(1);
    DoubleClick(tree.viewport(), tree.visualItemRect(photo).center());
    ASSERT_EQ(add.count(), 1);
    EXPECT_EQ(add.at(0).at(0).toString(), desktop + "/photo.JPEG");
}

TEST(PictureNames, BrowserAndDoubleClickTests)
{
    struct Case {
        const char* name;
        bool browser;   // last four characters
        bool addable;   // last five characters contain an extension
    } cases[] = {
        {"photo.JPEG", true, true}, {"photo.png", false, true}, {"a.BMP", true, true},
        {"scan.tif", false, true},  {"scan.tiff", false, true}, {"x.jpeg.txt", false, false},
        {"gif", false, false},      {"jpeg", true, false},      {"img.Gif", true, true},
        {"IMG_1.HEIC", true, true}, {"b.heif", true, true},     {"c.avif", true, true},
        {"heic", false, false},     {"x.heic.txt", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsBrowserPicture(c.name), c.browser) << c.name;
        EXPECT_EQ(IsAddablePicture(c.name), c.addable) << c.name;
    }
    QStringList paths{"/f/b", "/f/A", "/f/c", "/f/a", "/f/B"};
    SortPathList(paths);
    EXPECT_EQ(paths, QStringList({"/f/A", "/f/a", "/f/b", "/f/B", "/f/c"}));  // equal keep their order
}

} // namespace
