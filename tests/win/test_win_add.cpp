// SPDX-License-Identifier: GPL-3.0-or-later
// kestova adding and deleting through the real window: the preview, drops
// and the command line, fitting, a full album, a batch against one picture
// after the other, a batch cut off by a pull, and a Delete answered after
// the album changed under the question. After every Synchronize the flash
// is read back with a fresh facade and compared with what the window showed.

#include "tests/win/WinSessionSupport.h"
#include "imaging/LocalNames.h"
#include "win/widgets/FolderTree.h"

#include <QListWidget>
#include <QTreeWidget>

#include <sys/stat.h>

namespace kestova::win::test {
namespace {

TEST_F(WinSession, AddFromThePreviewAndByDropThenDeleteAndSynchronize)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 20, 1)), DevicePicture(Noise(128, 128, 20, 2))});
    ASSERT_TRUE(StartIdle());
    ASSERT_EQ(Labels(), Numbered(2));
    EXPECT_TRUE(dlg->CachePaths()[1].endsWith("0001.bmp"));

    // Single add: the preview's crop rectangle, by the Add button.
    const QString big = SavePicture(pictures + "/big.png", Noise(300, 200, 50, 7));
    ASSERT_TRUE(C<CPreview>(IDC_PREVIEW)->LoadPicture(big));
    Click(IDC_BTN_ADDTODPF);
    EXPECT_EQ(Labels(), Numbered(3));
    EXPECT_TRUE(dlg->AlbumModified());
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();

    // Batch: a drop of three files and a folder.
    QStringList dropped;
    for (int i = 0; i < 3; ++i)
        dropped << SavePicture(pictures + QString("/d%1.bmp").arg(i), Noise(128, 128, 10, unsigned(20 + i)));
    const QString folder = tmp.filePath("folder");
    QDir().mkpath(folder + "/sub");
    SavePicture(folder + "/x.JPG", Noise(200, 150, 10, 30));
    SavePicture(folder + "/sub/inner.jpg", Noise(64, 64, 10, 31));
    SavePicture(folder + "/skip.png", Noise(64, 64, 10, 32));
    dropped << folder;
    Drop(dropped);
    ASSERT_TRUE(WaitFor([&] { return dlg->IsProcessing() == false && Album()->count() == 7; }));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Labels(), Numbered(7));
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();

    // Delete entries 2 and 4 (1-based) of the first six; No first.
    const QStringList cache = dlg->CachePaths();
    SelectEntries({1});
    EXPECT_EQ(C<CPreview>(IDC_PREVIEW)->SourcePath(), cache[1]);  // one entry selected: shown
    SelectEntries({1, 3});
    ASSERT_EQ(Album()->selectedItems().size(), 2);
    answer = QMessageBox::No;
    QTest::keyClick(Album(), Qt::Key_Delete);
    EXPECT_EQ(boxes.value(0), T("DELETE_TIPS_2"));
    EXPECT_EQ(Labels(), Numbered(7));
    EXPECT_EQ(dlg->CachePaths(), cache);
    answer = QMessageBox::Yes;
    QTest::keyClick(Album(), Qt::Key_Delete);
    EXPECT_EQ(Labels(), Numbered(5));
    // Their cache bitmaps stay while the delete can be undone.
    EXPECT_TRUE(QFile::exists(cache[1]));
    EXPECT_EQ(dlg->CachePaths(), QStringList({cache[0], cache[2], cache[4], cache[5], cache[6]}));
    EXPECT_TRUE(C<CPreview>(IDC_PREVIEW)->SourcePath().isEmpty());  // the deleted entry is not kept

    ASSERT_TRUE(C<CPreview>(IDC_PREVIEW)->LoadPicture(big));
    Click(IDC_BTN_ADDTODPF);
    EXPECT_EQ(dlg->CachePaths().size(), 6);

    ASSERT_TRUE(Synchronize());
    // Written, the delete is final: the bitmaps are gone.
    EXPECT_FALSE(QFile::exists(cache[1]));
    EXPECT_FALSE(QFile::exists(cache[3]));
    EXPECT_FALSE(boxes.contains(T("DOWNLOADFAIL_TIPS")));
    ExpectFlashShowsTheWindow();

    // Deleting with nothing selected asks for a selection.
    Album()->clearSelection();
    boxes.clear();
    QTest::keyClick(Album(), Qt::Key_Delete);
    EXPECT_EQ(boxes, QStringList{T("DELETE_TIPS_1")});
}

TEST_F(WinSession, ADropTakesTheFirst125ItemsAndTheNameRules)
{
    Format(frame, 64, 64, 200);
    ASSERT_TRUE(StartIdle());
    // Item k has its own grey level; item 1 has an upper-case name, item 2
    // is a JPEG whose name does not say so, item 3 a PNG: all are taken, by
    // what they hold. Item 4 is text named as a picture: left out, and named.
    QStringList items;
    for (int k = 0; k < 130; ++k) {
        QString name = QString("/p%1.bmp").arg(k, 3, 10, QChar('0'));
        const char* format = "BMP";
        if (k == 1)
            name = "/UPPER.JPG", format = "JPG";
        if (k == 2)
            name = "/two.jpeg.bak", format = "JPG";
        if (k == 3)
            name = "/red.png", format = "PNG";
        if (k == 4) {
            WriteText(pictures + "/notes.jpg", "not a picture");
            items << pictures + "/notes.jpg";
            continue;
        }
        const QImage q = Solid(64, 64, QColor(k, k, k));
        ASSERT_TRUE(q.save(pictures + name, format));
        items << pictures + name;
    }
    Drop(items);
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }, 120000));
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Album()->count(), 124);
    // In order, item 4 left out, nothing after item 124.
    QList<int> expected;
    for (int k = 0; k < 125; ++k)
        if (k != 4)
            expected << k;
    EXPECT_EQ(dlg->StatusText(), T("SKIPPED_TIPS").arg("notes.jpg (" + T("SKIP_NOTPICTURE") + ")"));
    for (int i = 0; i < 124; ++i) {
        RgbImage cached;
        ASSERT_TRUE(ReadBmp(QFile::encodeName(dlg->CachePaths()[i]).toStdString(), cached));
        const int grey = cached.rgb[size_t(32 * 64 + 32) * 3];
        EXPECT_NEAR(grey, expected[i], 3) << i;
    }
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();

    struct NameCase {
        const char* name;
        bool inFolder;   // as a folder entry
    } names[] = {
        {"a.JPG", true},          {"photo.jpeg", true}, {"x.gif", true},
        {"x.jpeg.bak", true},    {"x.png", false},    {"jpg", false},
        {"/some.bmp/x.tif", true}, {"IMG_7.HEIC", true}, {"c.avif", true}, {"x.heic.bak", false},
    };
    for (const auto& n : names)
        EXPECT_EQ(CMainDialog::FolderEntryAccepted(n.name), n.inFolder) << n.name;
}

// Files that are not pictures the loader reads, dropped with one that is:
// the picture is added, and the status bar names every other one and why.
TEST_F(WinSession, ADropNamesEveryFileItLeavesOutAndWhy)
{
    ASSERT_TRUE(StartIdle());
    const QString fifo = pictures + "/pipe.jpg";
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString text = pictures + "/notes.bmp";
    WriteText(text, "hello");
    const QString locked = pictures + "/locked.jpg";
    SavePicture(locked, Noise(64, 64, 10, 1));
    QFile::setPermissions(locked, QFileDevice::WriteOwner);
    const bool canLock = !QFileInfo(locked).isReadable();  // not so for root
    // A name that holds a newline is named on one line, the newline shown
    // as its byte.
    const QString twoLines = pictures + "/two\nlines.jpg";
    WriteText(twoLines, "not a picture");
    QStringList items = {SavePicture(pictures + "/red.png", Noise(64, 64, 10, 2)), fifo, "/dev/null", text,
                         pictures + "/gone.jpg", twoLines};
    QStringList reasons = {"pipe.jpg (" + T("SKIP_FIFO") + ")", "null (" + T("SKIP_DEVICE") + ")",
                           "notes.bmp (" + T("SKIP_NOTPICTURE") + ")", "gone.jpg (" + T("SKIP_UNREADABLE") + ")",
                           "two\\x0Alines.jpg (" + T("SKIP_NOTPICTURE") + ")"};
    if (canLock) {
        items << locked;
        reasons << "locked.jpg (" + T("SKIP_UNREADABLE") + ")";
    }
    Drop(items);
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Album()->count(), 1);
    EXPECT_EQ(dlg->StatusText(), T("SKIPPED_TIPS").arg(reasons.join(", ")));
}

// Files the picture loader refuses, in a batch with good ones or handed
// over alone: the status bar names each with the loader's reason. Clicked in
// the browser, the box is joined by the same reason in the status bar.
TEST_F(WinSession, FilesTheLoaderRefusesAreNamedWithItsReason)
{
    // Over the loader's pixel limit, small on disk.
    QImage huge(10001, 10001, QImage::Format_Mono);
    huge.fill(0);
    ASSERT_TRUE(huge.save(pictures + "/huge.png", "PNG"));
    huge = QImage();
    QFile::copy(pictures + "/huge.png", pictures + "/huge.jpg");  // the browser lists it by this name
    QByteArray cut = [&] {
        QFile f(SavePicture(pictures + "/whole.png", Noise(64, 64, 10, 3)));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    cut.truncate(cut.size() / 2);
    {
        QFile f(pictures + "/cut.png");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(cut);
    }
    const QString good1 = SavePicture(pictures + "/good1.bmp", Noise(64, 64, 10, 1));
    const QString good2 = SavePicture(pictures + "/good2.bmp", Noise(64, 64, 10, 2));
    ASSERT_TRUE(StartIdle());
    const struct {
        const char* name;
        bool handedOver;
        QStringList files;
        int added;
        QStringList said;
    } cases[] = {
        {"a batch with good files", false, {good1, pictures + "/huge.png", pictures + "/cut.png", good2}, 2,
         {"huge.png (" + T("SKIP_TOOLARGE") + ")", "cut.png (" + T("SKIP_TRUNCATED") + ")"}},
        {"alone, handed over", true, {pictures + "/huge.png"}, 0, {"huge.png (" + T("SKIP_TOOLARGE") + ")"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = Album()->count();
        dlg->SetStatusText("-");
        if (c.handedOver)
            dlg->ReceiveHandedFiles(c.files);
        else
            Drop(c.files);
        ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(Album()->count() - before, c.added);
        EXPECT_EQ(dlg->StatusText(), T("SKIPPED_TIPS").arg(c.said.join(", ")));
    }
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();

    MakePicturesTheUsersFolder();
    dlg.reset();
    ASSERT_TRUE(StartIdle());
    auto* tree = C<QTreeWidget>(IDC_TREE_FOLDER);
    auto* browser = C<QListWidget>(IDC_LIST_BROWSER);
    QTreeWidgetItem* root = PicturesNode();
    ASSERT_NE(root, nullptr);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(root).center());
    ASSERT_TRUE(WaitFor([&] { return browser->count() == 3; })) << browser->count();
    const QList<QListWidgetItem*> found = browser->findItems("huge.jpg", Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1);
    answer = QMessageBox::Ok;
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, browser->visualItemRect(found[0]).center());
    ASSERT_TRUE(WaitFor([&] { return !boxes.isEmpty(); }));
    EXPECT_EQ(boxes, QStringList{T("PICDESTROY_TIPS")});
    EXPECT_EQ(dlg->StatusText(), T("NOTSHOWN_STATUS").arg("huge.jpg", T("SKIP_TOOLARGE")));
}

TEST_F(WinSession, FittingLowersTheQualityUntilThePictureFitsOrGivesUp)
{
    // A 160 x 120 noise picture, its device sizes at 20 and 10, and a frame
    // whose slot lies between them.
    const RgbImage pic = Noise(160, 120, 90, 5);
    const size_t at20 = DevicePicture(pic, 20).size(), at10 = DevicePicture(pic, 10).size();
    int maxPictures = 0;
    for (int m = 250; m >= 1 && !maxPictures; --m) {
        try {
            Format(frame, 160, 120, m);
        } catch (const std::exception&) {
            continue;  // more slots than the album area holds
        }
        Outside o(frame);
        if (!o.s.Open().ok())
            continue;
        const size_t slot = size_t(o.dpf.GetOnePicSize());
        if (slot >= at10 && slot < at20)
            maxPictures = m;
    }
    ASSERT_GT(maxPictures, 0) << at10 << " " << at20;
    Format(frame, 160, 120, maxPictures);
    ASSERT_TRUE(StartIdle());
    Drop({SavePicture(pictures + "/fits10.bmp", pic)});
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    ASSERT_EQ(Album()->count(), 1);
    int length = 0;
    uint32_t address = 0;
    ASSERT_TRUE(dlg->Facade()->GetFileInfo(0, address, length));
    EXPECT_EQ(size_t(length), at10);  // added at quality 10
    EXPECT_TRUE(boxes.isEmpty());

    // A picture that fits at no quality (tried 90 down to 10) into 4096
    // bytes: the single add says nothing, the batch shows the full-album box.
    dlg.reset();
    const RgbImage never = Noise(320, 240, 127, 6);
    ASSERT_GT(DevicePicture(never, 10).size(), 4096u);
    Format(frame, 320, 240, 250);
    ASSERT_EQ(Outside(frame).dpf.GetOnePicSize(), 0);  // not opened yet
    ASSERT_TRUE(StartIdle());
    ASSERT_EQ(dlg->Facade()->GetOnePicSize(), 4096);
    const QString neverFile = SavePicture(pictures + "/never.bmp", never);
    ASSERT_TRUE(C<CPreview>(IDC_PREVIEW)->LoadPicture(neverFile));
    Click(IDC_BTN_ADDTODPF);
    EXPECT_EQ(Album()->count(), 0);
    EXPECT_TRUE(boxes.isEmpty());
    Drop({neverFile});
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    EXPECT_EQ(Album()->count(), 0);
    EXPECT_EQ(boxes, QStringList{T("MEMFULL_TIPS_1")});
}

TEST_F(WinSession, AFullAlbumRefusesSilentlyAloneAndWithOneBoxInABatch)
{
    Format(frame, 128, 128, 3);
    Seed(frame, {DevicePicture(Noise(128, 128, 10, 1)), DevicePicture(Noise(128, 128, 10, 2)),
                 DevicePicture(Noise(128, 128, 10, 3))});
    ASSERT_TRUE(StartIdle());
    ASSERT_EQ(Album()->count(), 3);
    const QString a = SavePicture(pictures + "/a.bmp", Noise(128, 128, 10, 4));
    ASSERT_TRUE(C<CPreview>(IDC_PREVIEW)->LoadPicture(a));
    Click(IDC_BTN_ADDTODPF);
    EXPECT_EQ(Album()->count(), 3);
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_FALSE(dlg->AlbumModified());
    Drop({a, SavePicture(pictures + "/b.bmp", Noise(128, 128, 10, 5))});
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(boxes, QStringList{T("MEMFULL_TIPS_1")});
    EXPECT_EQ(Album()->count(), 3);
    EXPECT_EQ(C<QLabel>(IDC_STATIC_COUNTER)->text(), "Total Pictures:\n \n3  / 3 ");
}

// A dropped batch is prepared on every core, yet the album gets exactly what
// one picture after the other gives: the same bytes in the given order, a
// file that is not a picture skipped at its place, and the batch ending at
// the first picture that fits no slot (one box), nothing after it added.
TEST_F(WinSession, ABatchGivesTheSameAlbumBytesAsOnePictureAfterTheOther)
{
    Format(frame, 320, 240, 120);
    QStringList files;
    for (int i = 0; i < 12; ++i) {
        if (i == 4) {
            // A JPEG cut short: taken as a picture, it fails in the batch.
            const QString whole = SavePicture(pictures + "/whole.jpg", Noise(400, 300, 40, 4));
            files << pictures + "/broken.jpg";
            QFile in(whole), junk(files.last());
            ASSERT_TRUE(in.open(QIODevice::ReadOnly) && junk.open(QIODevice::WriteOnly));
            junk.write(in.read(in.size() / 3));
            continue;
        }
        // Detail that rises and falls along the batch, so the fitted
        // qualities differ and no picture's quality depends on the one before.
        const QString name = pictures + QString::asprintf("/p%02d.bmp", i);
        files << SavePicture(name, Noise(400 + 8 * i, 300, 2 + 6 * (i * 7 % 12), unsigned(100 + i)));
    }
    files.insert(10, SavePicture(pictures + "/never.bmp", Noise(320, 240, 127, 6)));

    // The reference: the same files, one after the other, on a copy of the
    // frame as the window will find it.
    const std::string copy = frame + ".serial";
    std::filesystem::copy_file(frame, copy);
    std::vector<Bytes> expected;
    std::set<int> qualities;
    {
        Outside o(copy);
        ASSERT_TRUE(o.s.Open().ok());
        for (const QString& f : files) {
            const PreparedPicture p = PreparePictureFile(f, 320, 240);
            if (!p.ok())
                continue;
            const session::AddResult a = o.s.AddPreparedPicture(p.image, 90);
            if (!a.ok())
                break;
            expected.push_back(a.bytes);
            qualities.insert(a.quality);
        }
    }
    ASSERT_EQ(expected.size(), 9u);       // p00..p09 without the broken file; the batch stops at never.bmp
    ASSERT_GE(qualities.size(), 3u);      // the fitting went down to several qualities

    ASSERT_TRUE(StartIdle());
    Drop(files);
    // The bar only ever shows the share of files the album has dealt with,
    // in order, never ahead of the thumbnails added by then.
    QList<int> seen;
    const int n = int(files.size());
    ASSERT_TRUE(WaitFor(
        [&] {
            const int pos = dlg->ProgressPos();
            if (pos > 0 && (seen.isEmpty() || seen.last() != pos)) {
                seen << pos;
                int k = 1;
                while (k < n && k * 100 / n != pos)
                    ++k;
                EXPECT_EQ(k * 100 / n, pos);
                EXPECT_GE(Album()->count(), k - (k > 4 ? 1 : 0)) << "at " << pos << "%";  // never ahead
            }
            return !dlg->IsProcessing();
        },
        60000));
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << seen.size();
    EXPECT_EQ(dlg->ProgressPos(), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(boxes, QStringList{T("MEMFULL_TIPS_1")});
    EXPECT_EQ(Labels(), Numbered(9));
    ASSERT_TRUE(Synchronize());
    const std::vector<session::AlbumPicture> back = ReadBack(frame);
    ASSERT_EQ(back.size(), expected.size());
    for (size_t i = 0; i < back.size(); ++i)
        EXPECT_TRUE(back[i].bytes == expected[i]) << "picture " << i + 1;
    ExpectFlashShowsTheWindow();
}


// The frame goes and comes back while a dropped batch is still being added:
// the batch's pictures belonged to the album that left, so after the new
// read the list holds exactly the frame's album, entry for entry.
TEST_F(WinSession, PicturesOfABatchCutOffByAPullDoNotJoinTheAlbumReadAfterwards)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2))});
    ASSERT_TRUE(StartIdle());
    QStringList files;
    for (int i = 0; i < 3; ++i)
        files << SavePicture(pictures + QString("/b%1.bmp").arg(i), Noise(128, 128, 50, unsigned(70 + i)));
    Drop(files);
    // The adder runs; the window has not yet taken its thumbnails when the
    // link reports the frame gone and back.
    QCoreApplication::sendPostedEvents(dlg.get(), RegisterWindowMessage(QString::fromLatin1(kMsgReceivePic)));
    ASSERT_TRUE(dlg->IsProcessing());
    const QDir cache(dlg->CacheDirectory());
    for (int waited = 0; cache.entryList({"*.bmp"}, QDir::Files).size() < 5 && waited < 20000; waited += 10)
        QThread::msleep(10);
    ASSERT_EQ(cache.entryList({"*.bmp"}, QDir::Files).size(), 5);
    RegisteredMessage gone(QString::fromLatin1(kMsgUsbDeviceChange), 0, {});
    QCoreApplication::sendEvent(dlg.get(), &gone);
    RegisteredMessage back(QString::fromLatin1(kMsgUsbDeviceChange), 1, {});
    QCoreApplication::sendEvent(dlg.get(), &back);
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Labels(), Numbered(2));
    ExpectFlashShowsTheWindow();
}

// While the Delete question is open the frame leaves and comes back, or a
// second start hands over a picture (a batch begins): the answer Yes
// deletes nothing, since the rows belong to an album that is gone or is
// being changed by the batch.
TEST_F(WinSession, ADeleteAnsweredAfterTheAlbumChangedUnderTheQuestionDeletesNothing)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2))});
    const QString handed = SavePicture(pictures + "/h.bmp", Noise(128, 128, 40, 5));
    ASSERT_TRUE(StartIdle());
    for (bool pulled : {true, false}) {
        SCOPED_TRACE(pulled);
        SelectEntries({0});
        boxes.clear();
        answerFor = [&](const QString& text) {
            if (text == T("DELETE_TIPS_2") && pulled) {
                RegisteredMessage gone(QString::fromLatin1(kMsgUsbDeviceChange), 0, {});
                QCoreApplication::sendEvent(dlg.get(), &gone);
                RegisteredMessage back(QString::fromLatin1(kMsgUsbDeviceChange), 1, {});
                QCoreApplication::sendEvent(dlg.get(), &back);
            } else if (text == T("DELETE_TIPS_2")) {
                dlg->ReceiveHandedFiles({handed});
                QCoreApplication::sendPostedEvents(dlg.get(), RegisterWindowMessage(QString::fromLatin1(kMsgReceivePic)));
            }
            return int(QMessageBox::Yes);
        };
        QTest::keyClick(Album(), Qt::Key_Delete);
        EXPECT_EQ(boxes, QStringList{T("DELETE_TIPS_2")});
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(Labels(), Numbered(pulled ? 2 : 3));
        EXPECT_EQ(dlg->AlbumModified(), !pulled);
    }
    answerFor = nullptr;
    ASSERT_TRUE(Synchronize());
    ExpectFlashShowsTheWindow();
    EXPECT_EQ(ReadBack(frame).size(), 3u);
}


TEST_F(WinSession, FilesOnTheCommandLineAreAddedAfterTheRead)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 10, 1))});
    const QString a = SavePicture(pictures + "/a.bmp", Noise(128, 128, 10, 2));
    const QString folder = tmp.filePath("f");
    QDir().mkpath(folder);
    SavePicture(folder + "/b.jpg", Noise(100, 100, 10, 3));
    adjustOptions = [&](StartOptions& o) { o.files = {a, folder}; };
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return Album()->count() == 3 && !dlg->IsProcessing(); }));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Labels(), Numbered(3));
    EXPECT_TRUE(dlg->AlbumModified());
    ASSERT_TRUE(Synchronize());
    ExpectFlashShowsTheWindow();
}

// Exit while added pictures are not yet on the frame, answered with Return
// alone as a person in a hurry does: the real question keeps the window
// (No is its default); once synchronized, Return on the plain question quits.
TEST_F(WinSession, ReturnOnTheExitQuestionKeepsEditsNotOnTheFrame)
{
    const QString a = SavePicture(pictures + "/a.bmp", Noise(128, 128, 10, 2));
    adjustOptions = [](StartOptions& o) { o.messageBox = nullptr; };
    ASSERT_TRUE(StartIdle());
    QStringList asked;
    AnswerModals(dlg.get(), [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        asked << box->text();
        QTest::keyClick(box, Qt::Key_Return);
    });
    Drop({a});
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing() && Album()->count() == 1; }));
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(dlg->AlbumModified());
    Click(IDC_EXIT);
    ASSERT_TRUE(WaitFor([&] { return asked.size() == 1; }));
    EXPECT_EQ(asked.last(), T("EXIT_TIPS_1"));
    QTest::qWait(50);
    EXPECT_TRUE(dlg->isVisible());
    ASSERT_TRUE(Synchronize());
    Click(IDC_EXIT);
    ASSERT_TRUE(WaitFor([&] { return asked.size() == 2; }));
    EXPECT_EQ(asked.last(), T("EXIT_TIPS_2"));
    EXPECT_TRUE(WaitFor([&] { return !dlg->isVisible(); }));
}

// Choose a picture in the browser, Add (the browser moves on), then
// Shift-click a later picture: the range starts at the row the browser
// moved to, not at the picture just added.
TEST_F(WinSession, ShiftClickAfterAddExtendsFromTheRowTheBrowserMovedTo)
{
    for (int i = 0; i < 5; ++i)
        SavePicture(pictures + QString("/p%1.bmp").arg(i), Noise(64, 64, 10, unsigned(i)));
    MakePicturesTheUsersFolder();
    ASSERT_TRUE(StartIdle());
    auto* tree = C<QTreeWidget>(IDC_TREE_FOLDER);
    auto* browser = C<QListWidget>(IDC_LIST_BROWSER);
    QTreeWidgetItem* root = PicturesNode();
    ASSERT_NE(root, nullptr);
    // The pictures folder chosen and opened (Right) lists its files.
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(root).center());
    QTest::keyClick(tree, Qt::Key_Right);
    ASSERT_TRUE(WaitFor([&] { return browser->count() == 5; }));
    auto clickRow = [&](int row, Qt::KeyboardModifiers mods) {
        QTest::mouseClick(browser->viewport(), Qt::LeftButton, mods, browser->visualItemRect(browser->item(row)).center());
    };
    clickRow(0, {});
    // The preview reads the file on its own thread; Add takes what it shows.
    auto* preview = C<CPreview>(IDC_PREVIEW);
    ASSERT_TRUE(WaitFor([&] { return !preview->Loading() && preview->SourcePath() == pictures + "/p0.bmp"; }));
    Click(IDC_BTN_ADDTODPF);
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Album()->count(), 1);
    ASSERT_EQ(browser->currentRow(), 1);
    clickRow(3, Qt::ShiftModifier);
    QList<int> selected;
    for (int i = 0; i < browser->count(); ++i)
        if (browser->item(i)->isSelected())
            selected << i;
    EXPECT_EQ(selected, QList<int>({1, 2, 3}));
}

// File names that are not valid UTF-8 (a Latin-1 "é", stray bytes) or hold a
// newline: the browser lists them with those bytes escaped, a click on the
// folder lists them at once (and again, with what came since), and the
// pictures open by their real names, alone and in a batch.
TEST_F(WinSession, NamesThatAreNotUtf8AreListedEscapedAndAddedByTheirBytes)
{
    const QByteArray folder = QFile::encodeName(pictures) + '/';
    const QByteArray names[] = {QByteArray("caf\xe9.bmp"), QByteArray("new\nname.bmp"), QByteArray("ok.bmp"),
                                QByteArray("x\xff\xfe.jpg")};
    for (int i = 0; i < 4; ++i) {
        const QString plain = SavePicture(pictures + QString("/plain%1.bmp").arg(i), Noise(64, 64, 10, unsigned(i)));
        ASSERT_EQ(::rename(QFile::encodeName(plain).constData(), (folder + names[i]).constData()), 0);
    }
    MakePicturesTheUsersFolder();
    ASSERT_TRUE(StartIdle());
    auto* tree = C<QTreeWidget>(IDC_TREE_FOLDER);
    auto* browser = C<QListWidget>(IDC_LIST_BROWSER);
    QTreeWidgetItem* root = PicturesNode();
    ASSERT_NE(root, nullptr);
    // One click on the folder, not opened: its pictures are listed.
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(root).center());
    ASSERT_TRUE(WaitFor([&] { return browser->count() == 4; })) << browser->count();
    QStringList shown;
    for (int i = 0; i < browser->count(); ++i)
        shown << browser->item(i)->text();
    EXPECT_EQ(shown, QStringList({"caf\\xE9.bmp", "new\\x0Aname.bmp", "ok.bmp", "x\\xFF\\xFE.jpg"}));

    auto clickRow = [&](int row, Qt::KeyboardModifiers mods) {
        QTest::mouseClick(browser->viewport(), Qt::LeftButton, mods, browser->visualItemRect(browser->item(row)).center());
    };
    auto* preview = C<CPreview>(IDC_PREVIEW);
    clickRow(0, {});
    ASSERT_TRUE(WaitFor([&] { return !preview->Loading() && preview->HasPicture(); }));
    EXPECT_EQ(BytesOfName(preview->SourcePath()), folder + names[0]);
    EXPECT_EQ(preview->PictureSize(), QSize(64, 64));
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    Click(IDC_BTN_ADDTODPF);
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Album()->count(), 1);
    // The other three at once: a batch.
    clickRow(1, {});
    clickRow(2, Qt::ControlModifier);
    clickRow(3, Qt::ControlModifier);
    ASSERT_TRUE(WaitFor([&] { return !preview->Loading(); }));
    Click(IDC_BTN_ADDTODPF);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Labels(), Numbered(4));
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    ASSERT_TRUE(Synchronize());
    ExpectFlashShowsTheWindow();

    // A picture that came meanwhile is listed when the folder is clicked
    // again.
    SavePicture(pictures + "/later.bmp", Noise(64, 64, 10, 9));
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(root).center());
    ASSERT_TRUE(WaitFor([&] { return browser->count() == 5; })) << browser->count();
    EXPECT_EQ(browser->findItems("later.bmp", Qt::MatchExactly).size(), 1);
}

} // namespace
} // namespace kestova::win::test
