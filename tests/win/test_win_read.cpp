// SPDX-License-Identifier: GPL-3.0-or-later
// kestova reading the frame through the real window: the album at start
// (damaged pictures removed), a frame another program holds, pictures longer
// than the pixel buffer, no LCD size, a read cut off midway, the frame
// leaving during the read and Exit during it.

#include "tests/win/WinSessionSupport.h"
#include "tests/support/HostilePictures.h"
#include "win/widgets/FolderTree.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QScrollBar>
#include <QListWidget>
#include <QTimer>
#include <QTreeWidget>

#include <QStandardPaths>

namespace kestova::win::test {
namespace {

// ---------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    int pictures;
    QList<int> damaged;  // 0-based positions holding bytes that do not decode
};

class ReadAtStart : public WinSession, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadAtStart, ListsEveryPictureRemovesDamagedOnesAndSynchronizesWithoutThem)
{
    const ReadCase& c = GetParam();
    std::vector<Bytes> stored;
    for (int i = 0; i < c.pictures; ++i)
        stored.push_back(c.damaged.contains(i) ? Bytes(3000, 0x5A) : DevicePicture(Noise(128, 128, 30, unsigned(i))));
    Seed(frame, stored);
    ASSERT_TRUE(StartIdle());
    const int good = c.pictures - int(c.damaged.size());
    EXPECT_EQ(Labels(), Numbered(good));
    EXPECT_EQ(Count(T("PICDESTROY_TIPS")), c.damaged.isEmpty() ? 0 : 1) << boxes.join('|').toStdString();
    EXPECT_EQ(C<QLabel>(IDC_STATIC_COUNTER)->text(), QStringLiteral("Total Pictures:\n \n%1  / 40 ").arg(good));
    EXPECT_EQ(dlg->ProgressPos(), 0);
    EXPECT_TRUE(C<QWidget>(IDC_BTN_ADDTODPF)->isEnabled());
    EXPECT_EQ(dlg->AlbumModified(), !c.damaged.isEmpty());
    // Each cache bitmap is the stored picture decoded.
    for (int i = 0, k = 0; i < c.pictures; ++i) {
        if (c.damaged.contains(i))
            continue;
        RgbImage expected, cached;
        ASSERT_TRUE(CKv350Encoder::Decode(stored[size_t(i)].data(), stored[size_t(i)].size(), 128, 128, expected));
        ASSERT_TRUE(ReadBmp(QFile::encodeName(dlg->CachePaths()[k++]).toStdString(), cached));
        EXPECT_TRUE(cached.rgb == expected.rgb) << i;
    }
    const std::vector<session::AlbumPicture> before = ReadBack(frame);
    ASSERT_TRUE(Synchronize());
    EXPECT_FALSE(dlg->AlbumModified());
    if (c.damaged.isEmpty()) {
        EXPECT_EQ(ReadBack(frame).size(), before.size());  // nothing written
    }
    ExpectFlashShowsTheWindow();
}

INSTANTIATE_TEST_SUITE_P(Win, ReadAtStart,
                         ::testing::Values(ReadCase{"three", 3, {}}, ReadCase{"empty", 0, {}},
                                           ReadCase{"damaged_3_and_4", 6, {2, 3}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// One program at a time on a frame


struct HolderCase {
    const char* name;
    bool otherProcess;  // mackestova, the built program; else a link in this process
};

class HeldAtStart : public WinSession, public ::testing::WithParamInterface<HolderCase> {};

// The window starts while another program or link holds the frame: it stays
// open, names the holder in its status bar and sends the frame nothing; once
// the holder lets go, the hot-plug timer takes the frame and the album
// appears, and from then on the window keeps other programs out.
TEST_P(HeldAtStart, StatusNamesTheHolderNothingIsTouchedAndTheAlbumAppearsWhenLetGo)
{
    const std::vector<Bytes> stored = {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2)),
                                       DevicePicture(Noise(128, 128, 30, 3))};
    Seed(frame, stored);
    const QByteArray before = FileBytes(frame);

    std::unique_ptr<ScsiUnit> link;
    QProcess other;
    qint64 holderPid = QCoreApplication::applicationPid();
    if (GetParam().otherProcess) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), tmp.filePath(QStringLiteral("other-data")));
        env.remove(QStringLiteral("KESTOVA_FRAME"));
        other.setProcessEnvironment(env);
        other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        other.start(QStringLiteral(KESTOVA_MAC_EXE), {QStringLiteral("--frame"), QString::fromStdString(frame + ",sync=0")});
        ASSERT_TRUE(other.waitForStarted());
        holderPid = other.processId();
        const std::string expected = "process 'mackestova' (pid " + std::to_string(holderPid) + ")";
        ASSERT_TRUE(WaitFor([&] { return FrameLockHolderOfPath(frame) == expected; }, 20000))
            << FrameLockHolderOfPath(frame);
    } else {
        link = VirtualFrame::Open(frame);
    }

    const QString log = tmp.filePath(QStringLiteral("commands.log"));
    adjustOptions = [&](StartOptions& o) { o.frameArg = frame + ",sync=0,log=" + log.toStdString(); };
    ASSERT_TRUE(Start());  // without a frame it would end here
    ASSERT_TRUE(WaitFor([&] { return dlg->StatusText().startsWith(QStringLiteral("The frame is in use by ")); }, 5000))
        << dlg->StatusText().toStdString();
    EXPECT_TRUE(dlg->StatusText().endsWith(QStringLiteral("(pid %1)").arg(holderPid))) << dlg->StatusText().toStdString();
    if (GetParam().otherProcess) {
        EXPECT_TRUE(dlg->StatusText().endsWith(QStringLiteral("process 'mackestova' (pid %1)").arg(holderPid)))
            << dlg->StatusText().toStdString();
    }
    // Many hot-plug rounds later it is still only waiting.
    QTest::qWait(400);
    EXPECT_TRUE(dlg->StatusText().startsWith(QStringLiteral("The frame is in use by ")));
    EXPECT_FALSE(dlg->IsConnected());
    EXPECT_TRUE(Labels().isEmpty());
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    EXPECT_FALSE(C<QWidget>(IDC_BTN_ADDTODPF)->isEnabled());
    EXPECT_LE(QFileInfo(log).size(), 0);  // not one command went to the frame
    EXPECT_EQ(FileBytes(frame), before);

    if (GetParam().otherProcess) {
        other.terminate();
        ASSERT_TRUE(other.waitForFinished(10000));
    } else {
        link.reset();
    }
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Labels(), Numbered(3));
    EXPECT_FALSE(dlg->StatusText().contains(QStringLiteral("in use")));
    EXPECT_GT(QFileInfo(log).size(), 0);

    // Now the window holds the frame: a second program is refused and
    // writes nothing.
    QProcess cli;
    cli.setProcessChannelMode(QProcess::MergedChannels);
    cli.start(QStringLiteral(KESTOVA_CLI_EXE), {QStringLiteral("--frame"), QString::fromStdString(frame), QStringLiteral("rm"),
                                                QStringLiteral("1")});
    ASSERT_TRUE(WaitFor([&] { return cli.state() == QProcess::NotRunning; }, 20000));
    const QString said = QString::fromUtf8(cli.readAll());
    EXPECT_EQ(cli.exitCode(), 7) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("in use by ")) &&
                said.contains(QStringLiteral("(pid %1)").arg(QCoreApplication::applicationPid())))
        << said.toStdString();
    EXPECT_EQ(FileBytes(frame), before);
    EXPECT_THROW(VirtualFrame::Open(frame), FrameInUseError);
}

INSTANTIATE_TEST_SUITE_P(Win, HeldAtStart,
                         ::testing::Values(HolderCase{"by_a_link_here", false}, HolderCase{"by_mackestova", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinSession, PictureLongerThanThePixelBufferIsReadWhole)
{
    // A 16 x 16 LCD gives a 768-byte buffer; this picture is longer.
    Format(frame, 16, 16, 40);
    const Bytes pic = DevicePicture(Noise(16, 16, 127), 100);
    ASSERT_GT(pic.size(), 16u * 16u * 3u);
    Seed(frame, {pic});
    ASSERT_TRUE(StartIdle());
    EXPECT_EQ(Labels(), Numbered(1));
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    EXPECT_FALSE(dlg->AlbumModified());
}

TEST_F(WinSession, WithoutAnLcdSizeNothingIsListedNothingRemovedAndTheStatusSaysWhy)
{
    // An information block with an LCD width of 0.
    Format(frame, 128, 128, 40);
    Seed(frame, {DevicePicture(Noise(128, 128, 30)), DevicePicture(Noise(128, 128, 30, 9))});
    {
        QFile f(QString::fromStdString(frame));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.seek(35);
        f.write(QByteArray(2, '\0'));
    }
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return dlg->IsConnected() && !dlg->IsReading(); }));
    EXPECT_TRUE(Labels().isEmpty());
    EXPECT_EQ(boxes, QStringList{T("LCDSIZEZERO_TIPS")});
    EXPECT_TRUE(dlg->StatusText().contains("LCD")) << dlg->StatusText().toStdString();
    EXPECT_FALSE(dlg->AlbumModified());
    Click(IDC_BUTTON_SEND);
    EXPECT_FALSE(dlg->IsDownloading());
    dlg.reset();
    // Both pictures are still on the frame.
    QFile f(QString::fromStdString(frame));
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.seek(35);
    f.write(QByteArray("\x80\x00", 2));
    f.close();
    EXPECT_EQ(ReadBack(frame).size(), 2u);
}

// The second of three pictures cannot be read: one entry is listed while
// the album holds three. Row and album index would name different pictures,
// so a drop adds nothing, Delete and Synchronize do nothing, and the frame
// keeps its three pictures.
TEST_F(WinSession, AReadCutOffMidwayLeavesTheAlbumUntouchable)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2)),
                 DevicePicture(Noise(128, 128, 30, 3))});
    const uint32_t second = PictureAddress(1);
    ASSERT_NE(second, 0u);
    adjustOptions = [&](StartOptions& o) {
        o.frameOpener = RefusingFrame::Opener([second](const uint8_t cdb[16]) {
            return ReadsUnitAt(cdb, second);
        });
    };
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return dlg->IsConnected() && !dlg->IsReading(); }));
    EXPECT_EQ(Labels(), Numbered(1));
    EXPECT_TRUE(dlg->StatusText().startsWith(T("READFAIL_TIPS") + ": ")) << dlg->StatusText().toStdString();
    for (int id : {IDC_BTN_ADDTODPF, IDC_BUTTON_DELECT, IDC_BUTTON_SEND})
        EXPECT_FALSE(C<QWidget>(id)->isEnabled()) << id;

    Drop({SavePicture(pictures + "/d.bmp", Noise(128, 128, 40, 9))});
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(Labels(), Numbered(1));
    Album()->setFocus();
    QTest::keyClick(Album(), Qt::Key_A, Qt::ControlModifier);
    answer = QMessageBox::Yes;
    QTest::keyClick(Album(), Qt::Key_Delete);
    EXPECT_EQ(Labels(), Numbered(1));
    EXPECT_FALSE(dlg->AlbumModified());
    QTest::keyClick(Album(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(dlg->IsDownloading());
    dlg.reset();
    EXPECT_EQ(ReadBack(frame).size(), 3u);
}


// A read that lists nothing: saving and selecting are off; F5 shows the read
// starting, and each failure again counts the reads. On a whole album that
// is empty, Save All says why it saves nothing.
TEST_F(WinSession, ReadFailingAgainIsSeenAsNewAndNothingListedCannotBeSaved)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1))});
    const uint32_t first = PictureAddress(0);
    ASSERT_NE(first, 0u);
    adjustOptions = [&](StartOptions& o) {
        o.frameOpener = RefusingFrame::Opener([first](const uint8_t cdb[16]) {
            return ReadsUnitAt(cdb, first);
        });
    };
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return dlg->IsConnected() && !dlg->IsReading(); }));
    ASSERT_EQ(Album()->count(), 0);
    for (int id : {IDC_BUTTON_SAVE, IDC_BUTTON_SAVEALL, IDC_BUTTON_SELECTALL})
        EXPECT_FALSE(C<QWidget>(id)->isEnabled()) << id;
    EXPECT_TRUE(C<QWidget>(IDC_LIST_BROWSER)->isEnabled());
    for (int n = 2; n <= 3; ++n) {
        SCOPED_TRACE(n);
        Album()->setFocus();
        QTest::keyClick(Album(), Qt::Key_F5);
        ASSERT_TRUE(dlg->IsReading());
        EXPECT_EQ(dlg->StatusText(), T("READING_STATUS"));
        ASSERT_TRUE(WaitFor([&] { return !dlg->IsReading(); }));
        EXPECT_TRUE(dlg->StatusText().startsWith(T("READFAIL_TIPS") + ": ")) << dlg->StatusText().toStdString();
        EXPECT_TRUE(dlg->StatusText().contains(T("READTRIES_STATUS").arg(n))) << dlg->StatusText().toStdString();
        EXPECT_FALSE(C<QWidget>(IDC_BUTTON_SAVEALL)->isEnabled());
    }
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    dlg.reset();

    std::filesystem::remove(frame);
    Format(frame, 128, 128, 40);
    adjustOptions = nullptr;
    ASSERT_TRUE(StartIdle());
    Click(IDC_BUTTON_SAVEALL);
    EXPECT_EQ(dlg->StatusText(), T("NOTHINGTOSAVE_STATUS"));
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
}

// A read that failed leaves the pictures read so far to be looked at and
// saved, and the browser usable; F5 and the context menu's item read the
// frame again without a replug, and once the fault is gone the album is
// whole and can be edited and written.
TEST_F(WinSession, AfterAFailedReadSaveAndTheBrowserWorkAndTheFrameIsReadAgain)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2)),
                 DevicePicture(Noise(128, 128, 30, 3))});
    const uint32_t second = PictureAddress(1);
    ASSERT_NE(second, 0u);
    auto faulty = std::make_shared<std::atomic<bool>>(true);
    auto refused = std::make_shared<std::atomic<int>>(0);
    const QString out = tmp.filePath("saved");
    QDir().mkpath(out);
    adjustOptions = [&](StartOptions& o) {
        o.frameOpener = RefusingFrame::Opener([second, faulty, refused](const uint8_t cdb[16]) {
            const bool refuse = *faulty && ReadsUnitAt(cdb, second);
            *refused += refuse;
            return refuse;
        });
        o.folderDialog = [out](QWidget*, const QString&) { return out; };
    };
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return dlg->IsConnected() && !dlg->IsReading(); }));
    ASSERT_EQ(Labels(), Numbered(1));
    EXPECT_TRUE(dlg->StatusText().startsWith(T("READFAIL_TIPS") + ": ")) << dlg->StatusText().toStdString();
    EXPECT_TRUE(dlg->StatusText().endsWith(T("READAGAIN_STATUS"))) << dlg->StatusText().toStdString();
    const struct {
        int id;
        bool enabled;
    } controls[] = {{IDC_BUTTON_SAVE, true},     {IDC_BUTTON_SAVEALL, true}, {IDC_BUTTON_SELECTALL, true},
                    {IDC_TREE_FOLDER, true},     {IDC_LIST_BROWSER, true},   {IDC_LIST_ALBUM, true},
                    {IDC_BTN_ADDTODPF, false},   {IDC_BUTTON_DELECT, false}, {IDC_BUTTON_SEND, false},
                    {IDC_BTN_SETTING, false}};
    for (const auto& c : controls)
        EXPECT_EQ(C<QWidget>(c.id)->isEnabled(), c.enabled) << c.id;

    // Save all writes the picture that was read, as a bitmap.
    answerFor = [&](const QString& text) { return text == T("SAVE_TIPS_2") ? int(QMessageBox::Yes) : answer; };
    Click(IDC_BUTTON_SAVEALL);
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"0001.bmp"}));
    ASSERT_FALSE(boxes.isEmpty());
    EXPECT_TRUE(boxes.last().startsWith(T("SAVEPICFINISH_TIPS"))) << boxes.join('|').toStdString();

    // F5 while the fault lasts: read again, cut off again.
    const int refusedBefore = *refused;
    Album()->setFocus();
    QTest::keyClick(Album(), Qt::Key_F5);
    EXPECT_TRUE(dlg->IsReading());
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsReading(); }));
    EXPECT_GT(int(*refused), refusedBefore);
    EXPECT_EQ(Labels(), Numbered(1));
    EXPECT_TRUE(C<QWidget>(IDC_BUTTON_SAVEALL)->isEnabled());

    // The fault clears; the item of the album list's context menu reads the
    // whole album.
    *faulty = false;
    QTest::mouseClick(Album()->viewport(), Qt::RightButton, {}, Album()->visualItemRect(Album()->item(0)).center());
    QMenu* menu = dlg->ContextMenu();
    ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }, 3000));
    QAction* again = dlg->ReadAgainAction();
    ASSERT_TRUE(menu->actions().contains(again));
    EXPECT_EQ(again->text(), T("READAGAIN_MENU"));
    EXPECT_EQ(again->shortcut(), QKeySequence(Qt::Key_F5));
    const QPoint at = menu->actionGeometry(again).center();
    QTest::mouseMove(menu, at);
    QTest::mouseClick(menu, Qt::LeftButton, {}, at);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Labels(), Numbered(3));
    EXPECT_FALSE(dlg->StatusText().contains(T("READFAIL_TIPS")));

    // Edits not on the frame are asked about before a read drops them; No
    // keeps them, Yes reads the frame's album.
    SelectEntries({0});
    answer = QMessageBox::Yes;
    QTest::keyClick(Album(), Qt::Key_Delete);
    ASSERT_EQ(Labels(), Numbered(2));
    answer = QMessageBox::No;
    boxes.clear();
    QTest::keyClick(Album(), Qt::Key_F5);
    EXPECT_EQ(boxes, QStringList{T("READAGAIN_TIPS")});
    EXPECT_FALSE(dlg->IsReading());
    EXPECT_EQ(Labels(), Numbered(2));
    answer = QMessageBox::Yes;
    QTest::keyClick(Album(), Qt::Key_F5);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Labels(), Numbered(3));
    EXPECT_FALSE(dlg->AlbumModified());

    // And the album read again is the frame's: an edit is written whole.
    SelectEntries({1});
    QTest::keyClick(Album(), Qt::Key_Delete);
    ASSERT_TRUE(Synchronize());
    ExpectFlashShowsTheWindow();
    EXPECT_EQ(ReadBack(frame).size(), 2u);
}


// On an 800 x 600 screen the counter keeps its three lines and both
// thumbnail columns stand whole in the album list, and an album longer than
// the list opens at its top.
TEST_F(WinSession, OnAnEightHundredScreenCounterAndColumnsShowWholeAndTheListOpensAtTheTop)
{
    std::vector<Bytes> many;
    for (int i = 0; i < 12; ++i)
        many.push_back(DevicePicture(Noise(128, 128, 40, unsigned(i))));
    Seed(frame, many);
    ASSERT_TRUE(Start(QSize(800, 600)));
    ASSERT_TRUE(WaitLaidOut());
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Album()->count(), 12);
    QCoreApplication::processEvents();
    EXPECT_GT(Album()->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(Album()->verticalScrollBar()->value(), 0);
    const QRect inside = Album()->viewport()->rect();
    for (int i : {0, 1})
        EXPECT_TRUE(inside.contains(Album()->visualItemRect(Album()->item(i))))
            << i << ": " << Album()->visualItemRect(Album()->item(i)).right() << " > " << inside.right();
    auto* counter = C<QLabel>(IDC_STATIC_COUNTER);
    EXPECT_EQ(counter->text().count('\n'), 2);
    EXPECT_LE(counter->heightForWidth(counter->width()), counter->height());
    EXPECT_LE(counter->geometry().bottom(), C<QWidget>(IDC_PROGRESS)->geometry().top());
    EXPECT_LE(Album()->geometry().bottom(), counter->geometry().top());
}


TEST_F(WinSession, TheFrameLeavingDuringTheReadEmptiesTheListAndEnablesNothing)
{
    std::vector<Bytes> many;
    for (int i = 0; i < 12; ++i)
        many.push_back(DevicePicture(Noise(128, 128, 40, unsigned(i))));
    Seed(frame, many);
    adjustOptions = [&](StartOptions& o) { o.frameArg = frame + ",sync=0,latency_us=10000"; };
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return Album()->count() >= 1; }));
    const QString away = QString::fromStdString(frame) + ".away";
    ASSERT_TRUE(QFile::rename(QString::fromStdString(frame), away));
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsConnected(); }));
    EXPECT_EQ(Album()->count(), 0);
    EXPECT_EQ(dlg->StatusText(), T("DEVICEOFF_TIPS"));
    // The read's own end comes later and enables nothing.
    QTest::qWait(300);
    EXPECT_EQ(Album()->count(), 0);
    EXPECT_FALSE(C<QWidget>(IDC_BTN_ADDTODPF)->isEnabled());
    EXPECT_FALSE(C<QWidget>(IDC_BUTTON_SEND)->isEnabled());
    // Back again, but taken by another program: the hot-plug run names it.
    auto holder = VirtualFrame::Open(away.toStdString());
    ASSERT_TRUE(QFile::rename(away, QString::fromStdString(frame)));
    ASSERT_TRUE(WaitFor([&] { return dlg->StatusText().startsWith(QStringLiteral("The frame is in use by ")); }, 10000))
        << dlg->StatusText().toStdString();
    EXPECT_FALSE(dlg->IsConnected());
    EXPECT_EQ(Album()->count(), 0);
    // Let go: read afresh.
    holder.reset();
    ASSERT_TRUE(WaitFor([&] { return dlg->IsConnected() && Album()->count() == 12 && !dlg->IsReading(); }, 60000));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Labels(), Numbered(12));
}

TEST_F(WinSession, ExitDuringTheReadSaysSoClosesAndWaitsForTheReader)
{
    std::vector<Bytes> many;
    for (int i = 0; i < 10; ++i)
        many.push_back(DevicePicture(Noise(128, 128, 40, unsigned(i))));
    Seed(frame, many);
    adjustOptions = [&](StartOptions& o) { o.frameArg = frame + ",sync=0,latency_us=10000"; };
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return Album()->count() >= 1; }));
    ASSERT_TRUE(dlg->IsReading());
    Click(IDC_EXIT);
    EXPECT_EQ(boxes, QStringList{T("SENDING_TIPS")});
    EXPECT_FALSE(dlg->isVisible());
    // The facade, the session and the cache go only after the reader ended,
    // and no bitmap the reader wrote last stays behind.
    const QString cache = dlg->CacheDirectory();
    ASSERT_FALSE(cache.isEmpty());
    dlg.reset();
    EXPECT_FALSE(QFileInfo::exists(cache));
    EXPECT_EQ(ReadBack(frame).size(), 10u);
}


// Two windows on two frames, as two starts of the program: each lists and
// exports its own frame's pictures from a cache folder of its own. A window
// that ends takes only its own folder with it; one a killed window left
// behind is cleared at the next start.
TEST_F(WinSession, TwoWindowsOnTwoFramesKeepTheirOwnCacheFolders)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1))});
    const std::string second = frame + ".second";
    Format(second, 128, 128, 20);
    Seed(second, {DevicePicture(Noise(128, 128, 30, 2)), DevicePicture(Noise(128, 128, 30, 3))});
    const QString root = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    const QString killed = root + "/run-999999-abcdef/PicsInMiniDPF";
    QDir().mkpath(killed);
    WriteText(killed + "/0000.bmp", "left behind");
    StartOptions used;
    adjustOptions = [&](StartOptions& o) { used = o; };
    ASSERT_TRUE(StartIdle());
    EXPECT_FALSE(QFileInfo::exists(killed));
    used.frameArg = second + ",sync=0";
    auto other = std::make_unique<CMainDialog>(used);
    ASSERT_TRUE(other->OnInitDialog());
    ASSERT_TRUE(WaitFor([&] { return other->IsConnected() && !other->IsReading() && other->CachePaths().size() == 2; }));
    ASSERT_NE(dlg->CacheDirectory(), other->CacheDirectory());
    for (CMainDialog* w : {dlg.get(), other.get()}) {
        const QStringList files = QDir(w->CacheDirectory()).entryList({"*.bmp"}, QDir::Files);
        EXPECT_EQ(files.size(), w->CachePaths().size());
        for (const QString& p : w->CachePaths())
            EXPECT_TRUE(QFileInfo::exists(p)) << p.toStdString();
    }
    const QString otherFolder = QFileInfo(other->CacheDirectory()).path();
    other.reset();
    EXPECT_FALSE(QFileInfo::exists(otherFolder));
    ASSERT_EQ(dlg->CachePaths().size(), 1);
    EXPECT_TRUE(QFileInfo::exists(dlg->CachePaths()[0]));
}

// A factory file whose thumbnail width is 0: every album picture still gets
// its list row (the shipped width instead), so rows can be chosen and
// deleted and the flash then holds what the window shows.
TEST_F(WinSession, AThumbnailWidthOfZeroStillListsEveryPicture)
{
    const QString factory = ProgramFile("StartInfoUnicode.ini");
    WriteText(factory, ReadText(factory).replace("ThumbWidth=105", "ThumbWidth=0"));
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2)),
                 DevicePicture(Noise(128, 128, 30, 3))});
    ASSERT_TRUE(StartIdle());
    ASSERT_EQ(Labels(), Numbered(3));
    SelectEntries({1});
    answer = QMessageBox::Yes;
    QTest::keyClick(Album(), Qt::Key_Delete);
    EXPECT_EQ(Labels(), Numbered(2));
    ASSERT_TRUE(Synchronize());
    ExpectFlashShowsTheWindow();
}

} // namespace
TEST_F(WinSession, ASlowPictureInTheBrowserIsReadWhileTheWindowAnswers)
{
    // A progressive JPEG at the edge of what is decoded (10000 x 10000 in 20
    // scans: half a second of decoding or more), and a small picture.
    ASSERT_TRUE(testing::WriteBytes((pictures + "/slow.jpg").toStdString(), testing::ManyScanJpeg(10000, 10000, 19)));
    SavePicture(pictures + "/small.bmp", Noise(64, 48, 10, 1));
    QDir().mkpath(tmp.filePath(QStringLiteral("config")));
    QFile dirs(tmp.filePath(QStringLiteral("config/user-dirs.dirs")));
    ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_PICTURES_DIR=\"" + QFile::encodeName(pictures) + "\"\n");
    dirs.close();
    ASSERT_TRUE(StartIdle());
    auto* tree = C<QTreeWidget>(IDC_TREE_FOLDER);
    auto* browser = C<QListWidget>(IDC_LIST_BROWSER);
    auto* preview = C<CPreview>(IDC_PREVIEW);
    ASSERT_TRUE(tree && browser && preview);
    QTreeWidgetItem* folder = nullptr;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        if (CFolderTree::NodePath(tree->topLevelItem(i)) == pictures + "/")
            folder = tree->topLevelItem(i);
    ASSERT_NE(folder, nullptr);
    // The user clicks the folder and opens it with the Right key.
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(folder).center());
    QTest::keyClick(tree, Qt::Key_Right);
    ASSERT_TRUE(WaitFor([&] { return browser->count() == 2; })) << browser->count();
    const auto clickFile = [&](const QString& name) {
        const QList<QListWidgetItem*> found = browser->findItems(name, Qt::MatchExactly);
        if (found.size() != 1)
            return qint64(-1);
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, browser->visualItemRect(found[0]).center());
        return clock.elapsed();
    };

    // The click returns at once, the read goes on, and a timer still fires.
    const qint64 first = clickFile("slow.jpg");
    EXPECT_GE(first, 0);
    EXPECT_LT(first, 200);
    EXPECT_TRUE(preview->Loading());
    QElapsedTimer clock;
    clock.start();
    qint64 fired = -1;
    QTimer::singleShot(10, [&] { fired = clock.elapsed(); });
    ASSERT_TRUE(WaitFor([&] { return fired >= 0; }, 5000));
    EXPECT_LT(fired, 200);
    EXPECT_TRUE(preview->Loading()) << "the read ended before the timer: nothing was shown";
    // A second click is handled at once and wins over the slow read.
    const qint64 second = clickFile("small.bmp");
    EXPECT_LT(second, 200);
    ASSERT_TRUE(WaitFor([&] { return !preview->Loading(); }, 10000));
    EXPECT_EQ(preview->SourcePath(), pictures + "/small.bmp");
    EXPECT_EQ(preview->PictureSize(), QSize(64, 48));
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();

    // Exit while the slow picture is being read closes the window at once;
    // the read is cancelled, and the window's end waits only for the
    // cancelled read to stop (its memory is set up without a way back).
    clickFile("slow.jpg");
    ASSERT_TRUE(preview->Loading());
    answer = QMessageBox::Yes;
    clock.restart();
    Click(IDC_EXIT);
    EXPECT_LT(clock.elapsed(), 200);
    EXPECT_EQ(boxes, QStringList{T("EXIT_TIPS_2")});
    EXPECT_FALSE(dlg->isVisible());
    dlg.reset();
}

} // namespace kestova::win::test
