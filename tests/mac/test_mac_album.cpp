// SPDX-License-Identifier: GPL-3.0-or-later
// The album workflow of mackestova against virtual frames: reading at start,
// pictures that do not decode, adding, deleting, Download with its progress,
// Upload, the quality that stays lowered, and the frame pulled mid-commit.

#include "tests/mac/MacTestSupport.h"

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"
#include "device/FrameInUse.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/DPF.h"
#include "mac/LittleArrows.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QApplication>
#include <QProgressBar>
#include <QSysInfo>
#include <QTest>
#include <QTreeWidget>
#include <QMainWindow>

using namespace kestova;
using namespace kestova::mac;
using namespace kestova::mac::test;

namespace {

std::vector<Bytes> ThreePictures()
{
    return {DevicePicture(QuarterPicture(128, 128), 80), DevicePicture(NoisePicture(128, 128, 40), 80),
            DevicePicture(QuarterPicture(128, 128).mirrored(true, false), 80)};
}

int LogLines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return int(f.readAll().count('\n'));
}

} // namespace

class MacAlbum : public MacHarness {};

TEST_F(MacAlbum, FrameAttachedAtStartIsReadAndListed)
{
    MakeFrame(frame);
    SeedAlbum(frame, ThreePictures());
    const QString log = tmp.filePath("cmds.log");
    Start(frame + ",log=" + log.toStdString());
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp", "DPFPicture3.bmp"}));
    EXPECT_EQ(Status(), "Picture(s) In Kestova");
    EXPECT_EQ(Count(), "003/060");
    EXPECT_EQ(fe->gmyTotalePictureNum(), 3);
    EXPECT_EQ(fe->gmyTotalePicture, 3);
    EXPECT_TRUE(C<QWidget>("slet_0")->isEnabled());
    EXPECT_TRUE(C<QWidget>("load_0")->isEnabled());
    // The work files: the stored bytes and a decoded bitmap per picture.
    const std::vector<Bytes> album = ReadAlbum(frame);
    for (int i = 1; i <= 3; ++i) {
        QFile raw(fe->gmyResousepath + QStringLiteral("/Edata/DPFPicture%1.bmp").arg(i));
        ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
        const QByteArray b = raw.readAll();
        EXPECT_EQ(Bytes(b.begin(), b.end()), album[size_t(i - 1)]);
        EXPECT_EQ(QImage(fe->gmyResousepath + QStringLiteral("/data/DPFPicture%1.bmp").arg(i)).size(), QSize(128, 128));
    }
    // The clock was set (a 0xCA command went out before the album was read).
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray lines = f.readAll();
    EXPECT_TRUE(lines.startsWith("ca ") || lines.contains("\nca ")) << lines.left(200).toStdString();

    // Selecting a row shows it in the preview.
    ClickRow(1);
    EXPECT_EQ(fe->gmyCurrentSelectItem, 2);
    EXPECT_EQ(fe->cropTool->PreviewPicture().size(), QSize(128, 128));
}

// A frame another program holds is not read: the status line names the
// holder, and the hot-plug timer takes the frame once it is let go.
TEST_F(MacAlbum, FrameHeldByAnotherProgramIsShownInUseAndTakenWhenLetGo)
{
    MakeFrame(frame);
    SeedAlbum(frame, ThreePictures());
    auto holder = VirtualFrame::Open(frame);
    Start(frame);
    ASSERT_TRUE(WaitFor([&] { return Status().startsWith("The frame is in use by "); }, 5000)) << Status().toStdString();
    EXPECT_TRUE(Status().contains(QStringLiteral("(pid %1)").arg(QCoreApplication::applicationPid()))) << Status().toStdString();
    EXPECT_FALSE(fe->G_isDeviceOnLine);
    EXPECT_TRUE(Rows().isEmpty());

    holder.reset();  // the other program lets go
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Rows().size(), 3);
    EXPECT_EQ(Status(), "Picture(s) In Kestova");
    // Now it is ours: a second program is refused.
    EXPECT_THROW(VirtualFrame::Open(frame), FrameInUseError);
}

// Started while another process writes the frame: the window reads and
// writes nothing until that process lets go, then lists the album it left
// (old and new pictures).
TEST_F(MacAlbum, StartedWhileAnotherProcessWritesTheFrameWaitsForIt)
{
    MakeFrame(frame);
    const std::vector<Bytes> old = ThreePictures();
    SeedAlbum(frame, old);
    QStringList files;
    for (int i = 0; i < 2; ++i) {
        files << tmp.filePath(QStringLiteral("new%1.bin").arg(i));
        QFile f(files.back());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(old[size_t(i)].data()), qint64(old[size_t(i)].size()));
    }
    QProcess writer;
    writer.setReadChannel(QProcess::StandardError);
    writer.start(KESTOVA_CLI_EXE, QStringList{"--frame", QString::fromStdString(frame) + ",latency_us=15000", "put"} + files);
    QByteArray err;
    while (!err.contains("writing the album") && writer.waitForReadyRead(20000))
        err += writer.readAllStandardError();
    ASSERT_TRUE(err.contains("writing the album")) << err.toStdString();

    Start(frame);
    ASSERT_TRUE(WaitFor([&] { return Status().startsWith("The frame is in use by "); }, 5000)) << Status().toStdString();
    EXPECT_TRUE(Status().contains(QStringLiteral("process 'kestova-cli' (pid %1)").arg(writer.processId()))) << Status().toStdString();
    EXPECT_TRUE(Rows().isEmpty());
    EXPECT_EQ(writer.state(), QProcess::Running);  // still writing when the window gave up its read

    ASSERT_TRUE(writer.waitForFinished(60000));
    EXPECT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Rows().size(), 5);
    EXPECT_EQ(Count(), "005/060");
    std::vector<Bytes> expected = old;
    expected.push_back(old[0]);
    expected.push_back(old[1]);
    EXPECT_EQ(ReadAlbum(frame), expected);
}

TEST_F(MacAlbum, PictureThatDoesNotDecodeLeavesWithTheNextDownload)
{
    MakeFrame(frame);
    std::vector<Bytes> pics = ThreePictures();
    pics[1] = Bytes(3000, 0x5A);  // not a device picture
    SeedAlbum(frame, pics);
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp"}));
    EXPECT_EQ(Count(), "002/060");
    EXPECT_EQ(ReadAlbum(frame).size(), 3u);  // nothing written yet

    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(Status(), "DownLoad Finished. 2 pictures are on the frame.");
    const std::vector<Bytes> after = ReadAlbum(frame);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], pics[0]);
    EXPECT_EQ(after[1], pics[2]);
}

TEST_F(MacAlbum, CommitOfFourMovesTheProgressBar)
{
    MakeFrame(frame);
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Status(), "No Picture");
    for (int i = 0; i < 4; ++i)
        AddThroughStage(SavePng(QuarterPicture(200 + 10 * i, 150), QStringLiteral("p%1.png").arg(i)));
    EXPECT_EQ(Rows(), (QStringList{"Picture1.bmp", "Picture2.bmp", "Picture3.bmp", "Picture4.bmp"}));
    EXPECT_EQ(Count(), "004/060");
    EXPECT_EQ(Status(), "The sequence number: 4");

    auto* bar = C<QProgressBar>("dnpr_0");
    bar->setValue(100);
    std::vector<int> seen;
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) { seen.push_back(v); });
    Click("load_0");
    EXPECT_FALSE(C<QWidget>("slet_0")->isEnabled());  // the group is off during the commit
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(seen, (std::vector<int>{0, 25, 50, 75, 0}));
    EXPECT_EQ(Status(), "DownLoad Finished. 4 pictures are on the frame.");
    EXPECT_TRUE(C<QWidget>("slet_0")->isEnabled());
    EXPECT_EQ(ReadAlbum(frame).size(), 4u);
}

TEST_F(MacAlbum, DeleteWithoutSelectionTakesTheLastPicture)
{
    MakeFrame(frame);
    const std::vector<Bytes> pics = ThreePictures();
    SeedAlbum(frame, pics);
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    Click("delp_0");
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp"}));
    EXPECT_EQ(Status(), "The sequence number: 2");
    EXPECT_EQ(Count(), "002/060");
    // Its work file stays while the delete can be undone.
    EXPECT_TRUE(QFile::exists(fe->gmyResousepath + "/data/DPFPicture3.bmp"));

    // A selected row goes instead of the last; the names follow the places.
    ClickRow(0);
    Click("delp_0");
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp"}));

    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    // Written: the deletes cannot come back, and their work files are gone.
    EXPECT_FALSE(QFile::exists(fe->gmyResousepath + "/data/DPFPicture3.bmp"));
    EXPECT_FALSE(QFile::exists(fe->gmyResousepath + "/data/DPFPicture1.bmp"));
    EXPECT_TRUE(QFile::exists(fe->gmyResousepath + "/data/DPFPicture2.bmp"));
    const std::vector<Bytes> after = ReadAlbum(frame);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0], pics[1]);
}

TEST_F(MacAlbum, DeleteAfterTheListWasRebuiltTakesTheLastPicture)
{
    MakeFrame(frame);
    SeedAlbum(frame, ThreePictures());
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    // A row chosen before an add: the add rebuilds the list and chooses the
    // picture just added, so Delete takes that one (the last).
    ClickRow(0);
    ASSERT_EQ(fe->gmyCurrentSelectItem, 1);
    AddThroughStage(SavePng(QuarterPicture(300, 200), "a.png"));
    ASSERT_EQ(Rows().size(), 4);
    EXPECT_EQ(SelectedRow(), 3);
    Click("delp_0");
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp", "DPFPicture3.bmp"}));

    // After deleting all, no earlier choice survives into the new list.
    ClickRow(1);
    ASSERT_EQ(fe->gmyCurrentSelectItem, 2);
    auto* all = C<QCheckBox>("dela_0");
    QTest::mouseClick(all, Qt::LeftButton, {}, QPoint(5, all->height() / 2));
    Click("delp_0");
    ASSERT_TRUE(Rows().isEmpty());
    // The box unticks itself once it has done its work.
    EXPECT_FALSE(all->isChecked());
    ASSERT_FALSE(fe->gmyDeleteAll);
    AddThroughStage(SavePng(QuarterPicture(300, 200), "b.png"));
    AddThroughStage(SavePng(NoisePicture(300, 200, 30), "c.png"));
    AddThroughStage(SavePng(QuarterPicture(200, 300), "d.png"));
    ASSERT_EQ(Rows(), (QStringList{"Picture1.bmp", "Picture2.bmp", "Picture3.bmp"}));
    Click("delp_0");
    EXPECT_EQ(Rows(), (QStringList{"Picture1.bmp", "Picture2.bmp"}));
}

TEST_F(MacAlbum, DeleteAllTouchesTheFrameOnlyAtDownload)
{
    MakeFrame(frame);
    SeedAlbum(frame, ThreePictures());
    QFile img(QString::fromStdString(frame));
    ASSERT_TRUE(img.open(QIODevice::ReadOnly));
    const QByteArray flashBefore = img.readAll();
    img.close();

    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    auto* all = C<QCheckBox>("dela_0");
    QTest::mouseClick(all, Qt::LeftButton, {}, QPoint(5, all->height() / 2));
    ASSERT_TRUE(fe->gmyDeleteAll);
    Click("delp_0");
    EXPECT_TRUE(Rows().isEmpty());
    EXPECT_EQ(Count(), "000/060");
    // The work-file counter never goes back: the deleted pictures' files
    // stay while Delete All can be undone.
    EXPECT_EQ(fe->gmyTotalePicture, 3);
    EXPECT_EQ(Status(), "The sequence number: 0");
    EXPECT_EQ(QDir(fe->gmyResousepath + "/data").entryList(QDir::Files).size(), 3);

    ASSERT_TRUE(img.open(QIODevice::ReadOnly));
    EXPECT_EQ(img.readAll(), flashBefore);  // nothing reached the flash
    img.close();

    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_TRUE(ReadAlbum(frame).empty());
    EXPECT_TRUE(QDir(fe->gmyResousepath + "/data").entryList(QDir::Files).isEmpty());
}

TEST_F(MacAlbum, QuitDuringDownloadIsRefused)
{
    MakeFrame(frame);
    Start(frame + ",latency_us=3000");
    ASSERT_TRUE(WaitOnlineIdle());
    AddThroughStage(SavePng(QuarterPicture(300, 300), "a.png"));
    AddThroughStage(SavePng(NoisePicture(300, 300, 60), "b.png"));
    Click("load_0");
    ASSERT_TRUE(fe->gmyIsTransferData);
    fe->gMainWindowRef->close();
    EXPECT_EQ(Status(), "Can't quit Kestova,during transfering data.");
    EXPECT_EQ(exitCode, -1);
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(Status(), "DownLoad Finished. 2 pictures are on the frame.");
    EXPECT_EQ(ReadAlbum(frame).size(), 2u);
}

TEST_F(MacAlbum, QuitConfirmedWhileAFrameArrivedIsRefused)
{
    // The alert waits for the user; meanwhile the frame is plugged in and its
    // album is being read. Confirming then must not release what the read is
    // filling: the quit is refused as during any transfer.
    MakeFrame(frame);
    SeedAlbum(frame, ThreePictures());
    const QString path = QString::fromStdString(frame);
    ASSERT_TRUE(QFile::rename(path, path + ".away"));
    // Slow enough that the read is still running when the click is handled,
    // even on a loaded machine.
    Start(frame + ",latency_us=20000");
    ASSERT_FALSE(fe->G_isDeviceOnLine);

    bool sawTransfer = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        QFile::rename(path + ".away", path);
        sawTransfer = WaitFor([&] { return fe->gmyIsTransferData.load(); });
        box->button(QMessageBox::Ok)->click();
    });
    fe->MyQuit();
    ASSERT_TRUE(sawTransfer);
    EXPECT_EQ(exitCode, -1);
    EXPECT_EQ(Status(), "Can't quit Kestova,during transfering data.");
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp", "DPFPicture3.bmp"}));
    EXPECT_FALSE(fe->fileRows->Rows().empty());
}

TEST_F(MacAlbum, QualityStaysLoweredForLaterPictures)
{
    // A frame whose slots hold 8192 bytes, and a noisy picture whose device
    // picture is larger than that at quality 80 but fits at 70.
    MakeFrame(frame, 120);
    auto sizeAt = [](const QImage& img, int q) { return DevicePicture(img, q).size(); };
    int lo = 0, hi = 128;
    QImage chosen;
    while (lo < hi) {  // smallest noise whose quality-80 picture is too large
        const int mid = (lo + hi) / 2;
        if (sizeAt(NoisePicture(128, 128, mid), 80) > 8192)
            hi = mid;
        else
            lo = mid + 1;
    }
    chosen = NoisePicture(128, 128, lo);
    ASSERT_GT(sizeAt(chosen, 80), 8192u);
    ASSERT_LE(sizeAt(chosen, 70), 8192u) << "noise " << lo;

    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    ASSERT_EQ(fe->G_CurQuanlity, 90);
    AddThroughStage(SavePng(chosen, "noise.png"));  // 128 x 128: placed 1:1
    ASSERT_EQ(fe->gmyTotalePictureNum(), 1) << Status().toStdString();
    EXPECT_EQ(fe->G_CurQuanlity, 70);
    QFile first(fe->gmyResousepath + "/Edata/Picture1.bmp");
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    EXPECT_LE(first.size(), 8192);

    // The next picture, small at any quality, is encoded at 70 straight away.
    const QImage plain = QuarterPicture(128, 128);
    AddThroughStage(SavePng(plain, "plain.png"));
    ASSERT_EQ(fe->gmyTotalePictureNum(), 2);
    EXPECT_EQ(fe->G_CurQuanlity, 70);
    QFile second(fe->gmyResousepath + "/Edata/Picture2.bmp");
    ASSERT_TRUE(second.open(QIODevice::ReadOnly));
    const QByteArray got = second.readAll();
    const int size70 = CKv350Encoder::EnCode(
        QFile::encodeName(fe->gmyResousepath + "/data/Picture2.bmp").toStdString(),
        QFile::encodeName(tmp.filePath("ref70.pic")).toStdString(), 128, 128, 70, 3, 0);
    QFile ref(tmp.filePath("ref70.pic"));
    ASSERT_TRUE(ref.open(QIODevice::ReadOnly));
    EXPECT_EQ(got.size(), size70);
    EXPECT_EQ(got, ref.readAll());
}

TEST_F(MacAlbum, PictureThatNeverFitsRollsBackAndKeepsTheQuality)
{
    MakeFrame(frame, 240, 256);  // 4096-byte slots for 256 x 256 pictures
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    const QImage loud = NoisePicture(256, 256, 127);
    ASSERT_GT(DevicePicture(loud, 10).size(), 4096u);
    AddThroughStage(SavePng(loud, "loud.png"));
    EXPECT_EQ(Status().toStdString(),
              "Couldn't Process the picture: does not fit into one picture slot even at quality 10");
    EXPECT_EQ(fe->gmyTotalePictureNum(), 0);
    EXPECT_EQ(fe->gmyTotalePicture, 0);
    EXPECT_TRUE(Rows().isEmpty());
    EXPECT_EQ(fe->G_CurQuanlity, 90);
}

// A full album refuses the picture and says so, alone and in a batch (which
// names each file it did not add); the counters stay, and the preview keeps
// showing what it showed (an album picture, or nothing), never the refused
// picture.
TEST_F(MacAlbum, FullAlbumRefusesTheFileAndKeepsCounters)
{
    MakeFrame(frame, 2);
    SeedAlbum(frame, {DevicePicture(QuarterPicture(128, 128), 50), DevicePicture(NoisePicture(128, 128, 20), 60)});
    QDir(tmp.path()).mkpath("more");
    SavePng(NoisePicture(150, 140, 60, 4), "more/a.png");
    SavePng(QuarterPicture(200, 130), "more/b.png");
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Count(), "002/002");
    const std::string full =
        "Couldn't Process the picture: the album is full (2 of 2 pictures); delete some before adding more";

    struct Step {
        const char* name;
        int chosenRow;  // album row clicked first; -1: none chosen
        bool batch;
        std::string status;
    };
    const Step steps[] = {
        {"alone, nothing chosen", -1, false, full},
        {"alone, the second chosen", 1, false, full},
        {"batch", 0, true, full + ". Not added: a.png (the album is full), b.png (the album is full)"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.chosenRow >= 0)
            ClickRow(step.chosenRow);
        const QImage shown = fe->cropTool->PreviewPicture();
        EXPECT_EQ(shown.isNull(), step.chosenRow < 0);
        if (step.batch) {
            tagFILEITEM* folder = OpenFolderRow(tmp.filePath("more"));
            ASSERT_NE(folder, nullptr);
            ASSERT_EQ(folder->item->childCount(), 2);
            ClickBrowserRow(folder->item->child(0));
            ClickBrowserRow(folder->item->child(1), Qt::ControlModifier);
            const int before = finished;
            Click("slet_0");
            ASSERT_TRUE(WaitFinished(before + 1));
        } else {
            AddThroughStage(SavePng(NoisePicture(128, 128, 90, 11), "x.png"));
        }
        EXPECT_EQ(Status().toStdString(), step.status);
        EXPECT_EQ(fe->cropTool->PreviewPicture(), shown);
        EXPECT_EQ(fe->gmyTotalePictureNum(), 2);
        EXPECT_EQ(fe->gmyTotalePicture, 2);
        EXPECT_EQ(Rows().size(), 2);
        EXPECT_EQ(Count(), "002/002");
    }
}

TEST_F(MacAlbum, UploadNeedsPicturesAndWritesIntoAFolderWithASpace)
{
    MakeFrame(frame);
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    bool asked = false;
    fe->chooseFolder = [&] {
        asked = true;
        return QUrl();
    };
    Click("upld_0");
    EXPECT_EQ(Status(), "No Pictures ");
    EXPECT_FALSE(asked);

    AddThroughStage(SavePng(QuarterPicture(128, 128), "a.png"));
    AddThroughStage(SavePng(NoisePicture(128, 128, 30), "b.png"));
    const QString folder = tmp.filePath("my pictures");
    ASSERT_TRUE(QDir().mkpath(folder));
    fe->chooseFolder = [&] { return QUrl::fromLocalFile(folder); };
    Click("upld_0");
    for (int i = 1; i <= 2; ++i) {
        QFile out(folder + QStringLiteral("/%1.bmp").arg(i));
        QFile src(fe->gmyResousepath + QStringLiteral("/data/Picture%1.bmp").arg(i));
        ASSERT_TRUE(out.open(QIODevice::ReadOnly)) << i;
        ASSERT_TRUE(src.open(QIODevice::ReadOnly));
        EXPECT_EQ(out.readAll(), src.readAll());
    }
    EXPECT_FALSE(QFile::exists(tmp.filePath("my%20pictures")));

    // Cancelling the chooser writes nothing.
    fe->chooseFolder = [] { return QUrl(); };
    Click("upld_0");
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 2);
}

TEST_F(MacAlbum, BatchAddFromTheFileBrowser)
{
    MakeFrame(frame);
    QDir(tmp.path()).mkpath("batch");
    SavePng(QuarterPicture(300, 200), "batch/1.png");
    QFile bad(tmp.filePath("batch/2.png"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("not a picture");
    bad.close();
    SavePng(NoisePicture(100, 160, 20), "batch/3.png");
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());

    // Open the folder in the browser and choose all three files.
    auto* tree = C<QTreeWidget>("CLVW_0");
    auto row = std::make_unique<tagFILEITEM>();
    row->rowID = fe->fileRows->Rows().back()->rowID + 1;
    row->path = tmp.filePath("batch");
    row->isFolder = true;
    row->item = new QTreeWidgetItem(tree, QStringList("batch"));
    row->item->setData(0, Qt::UserRole, row->rowID);
    tagFILEITEM* folder = row.get();
    fe->fileRows->AddRow(std::move(row));
    tree->expandItem(folder->item);
    ASSERT_EQ(folder->item->childCount(), 3);
    for (int i = 0; i < 3; ++i)
        folder->item->child(i)->setSelected(true);

    Click("slet_0");
    EXPECT_TRUE(fe->gmyIsTransferData);
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(Rows(), (QStringList{"Picture1.bmp", "Picture2.bmp"}));
    EXPECT_EQ(Count(), "002/060");
    EXPECT_EQ(fe->FindRow(folder->rowID + 2)->isPicture, 0);  // the unreadable one is marked
    EXPECT_EQ(fe->FindRow(folder->rowID + 1)->isPicture, 1);
    EXPECT_TRUE(C<QWidget>("slet_0")->isEnabled());
}

TEST_F(MacAlbum, AddAdvancesToTheNextPictureInTheBrowser)
{
    MakeFrame(frame);
    QDir(tmp.path()).mkpath("walk");
    SavePng(QuarterPicture(300, 200), "walk/a.png");
    QDir(tmp.path()).mkpath("walk/b-folder");
    SavePng(QuarterPicture(160, 300), "walk/c.png");
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    auto row = std::make_unique<tagFILEITEM>();
    row->rowID = fe->fileRows->Rows().back()->rowID + 1;
    row->path = tmp.filePath("walk");
    row->isFolder = true;
    tagFILEITEM* folder = row.get();
    auto* tree = C<QTreeWidget>("CLVW_0");
    folder->item = new QTreeWidgetItem(tree, QStringList("walk"));
    folder->item->setData(0, Qt::UserRole, folder->rowID);
    fe->fileRows->AddRow(std::move(row));
    fe->ExpendFolder(folder, folder->rowID);
    // Return on a.png's row opens it, as a double click does.
    tree->expandItem(folder->item);
    tree->setCurrentItem(fe->FindRow(folder->rowID + 1)->item);
    QTest::keyClick(tree, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return !fe->cropTool->Loading(); }));  // read off the main thread
    ASSERT_NE(fe->cropTool->Picture(), nullptr);
    Click("slet_0");
    EXPECT_EQ(fe->fileRows->CurrentRow(), folder->rowID + 3);  // past the folder to c.png
    ASSERT_TRUE(WaitFor([&] { return !fe->cropTool->Loading(); }));
    ASSERT_NE(fe->cropTool->Picture(), nullptr);
    EXPECT_EQ(fe->cropTool->Picture()->image.size(), QSize(160, 300));
}

TEST_F(MacAlbum, UnpluggedMidDownloadLeavesAWholeAlbumAndGoesOffline)
{
    MakeFrame(frame);
    const std::vector<Bytes> old = ThreePictures();
    SeedAlbum(frame, old);
    const std::string copy = tmp.filePath("copy.img").toStdString();
    ASSERT_TRUE(QFile::copy(QString::fromStdString(frame), QString::fromStdString(copy)));
    const QStringList files = {SavePng(QuarterPicture(300, 200), "n1.png"), SavePng(NoisePicture(200, 200, 50), "n2.png"),
                               SavePng(QuarterPicture(128, 300), "n3.png")};

    // A dry run on the copy counts the commands of the start-up read and of
    // the whole commit.
    const QString log = tmp.filePath("dry.log");
    Start(copy + ",sync=0,log=" + log.toStdString());
    ASSERT_TRUE(WaitOnlineIdle());
    const int readCommands = LogLines(log);
    Click("delp_0");
    for (const QString& f : files)
        AddThroughStage(f);
    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    const int allCommands = LogLines(log);
    const std::vector<Bytes> fresh = ReadAlbum(copy);
    ASSERT_EQ(fresh.size(), 5u);
    fe.reset();
    finished = 0;

    // The real runs lose the frame at a quarter, half and three quarters of
    // the commit.
    const QByteArray pristine = [&] {
        QFile f(QString::fromStdString(frame));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    for (int quarter = 1; quarter <= 3; ++quarter) {
        SCOPED_TRACE(quarter);
        {
            QFile f(QString::fromStdString(frame));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(pristine);
        }
        const int cut = readCommands + (allCommands - readCommands) * quarter / 4;
        Start(frame + ",sync=0,unplug_after=" + std::to_string(cut));
        ASSERT_TRUE(WaitOnlineIdle());
        Click("delp_0");
        for (const QString& f : files)
            AddThroughStage(f);
        Click("load_0");
        // The pictures added went with the frame; the status says so.
        ASSERT_TRUE(WaitFor([&] { return !fe->G_isDeviceOnLine && Status().startsWith("Device Not Online!"); }));
        ASSERT_TRUE(WaitFor([&] { return !fe->TaskRunning() && !fe->gmyIsTransferData; }));
        EXPECT_TRUE(Rows().isEmpty());
        EXPECT_EQ(fe->gmyPictureData, nullptr);
        EXPECT_FALSE(C<QWidget>("load_0")->isEnabled());
        EXPECT_TRUE(QDir(fe->gmyResousepath + "/data").entryList(QDir::Files).isEmpty());
        EXPECT_TRUE(QDir(fe->gmyResousepath + "/Edata").entryList(QDir::Files).isEmpty());
        fe.reset();
        finished = 0;

        // A whole album: the old one, the new one, or - when a new picture
        // took the slot of the deleted one - the old one without it.
        const std::vector<Bytes> after = ReadAlbum(frame);
        const std::vector<Bytes> oldLessDeleted = {old[0], old[1]};
        EXPECT_TRUE(after == old || after == fresh || after == oldLessDeleted)
            << "album of " << after.size() << " pictures";
    }
}

TEST_F(MacAlbum, PictureLongerThanTheReadBufferIsFetchedWhole)
{
    // A 16 x 16 LCD reads into a 768-byte buffer; its device pictures are
    // longer (566 bytes of tables alone), so each needs a buffer of its own.
    MakeFrame(frame, 60, 16);
    const Bytes pic = DevicePicture(NoisePicture(16, 16, 127), 100);
    ASSERT_GT(pic.size(), 16u * 16u * 3u);
    SeedAlbum(frame, {pic});
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Rows(), QStringList{"DPFPicture1.bmp"});
    QFile raw(fe->gmyResousepath + "/Edata/DPFPicture1.bmp");
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray b = raw.readAll();
    EXPECT_EQ(Bytes(b.begin(), b.end()), pic);
    EXPECT_EQ(ReadAlbum(frame).size(), 1u);
}

TEST_F(MacAlbum, MoreThan510ListedPicturesAreRefused)
{
    MakeFrame(frame);
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    // 510 listed pictures (the node list follows the album's rows).
    for (int i = 1; i <= 510; ++i)
        fe->frame->Album().Append({});
    ASSERT_EQ(fe->gmyTotalePictureNum(), 510);
    fe->gmyTotalePicture = 510;
    AddThroughStage(SavePng(QuarterPicture(128, 128), "x.png"));
    EXPECT_EQ(Status(), "Can't add anymore pictures!");
    EXPECT_EQ(fe->gmyTotalePictureNum(), 510);
    EXPECT_EQ(fe->gmyTotalePicture, 510);
    int count = -1;
    fe->frame->Dpf().GetFileNum(count);
    EXPECT_EQ(count, 0);
}

TEST_F(MacAlbum, FrameThatLeavesAndComesBackIsReadAgain)
{
    MakeFrame(frame);
    SeedAlbum(frame, ThreePictures());
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    ASSERT_EQ(Rows().size(), 3);
    ClickRow(0);

    const QString path = QString::fromStdString(frame);
    ASSERT_TRUE(QFile::rename(path, path + ".away"));
    ASSERT_TRUE(WaitFor([&] { return Status() == FrontEnd::kNoFrameText; }));
    EXPECT_FALSE(fe->G_isDeviceOnLine);
    EXPECT_TRUE(Rows().isEmpty());
    EXPECT_EQ(fe->gmyTotalePictureNum(), 0);
    EXPECT_TRUE(fe->cropTool->PreviewPicture().isNull());
    EXPECT_FALSE(C<QWidget>("slet_0")->isEnabled());
    EXPECT_TRUE(QDir(fe->gmyResousepath + "/data").entryList(QDir::Files).isEmpty());

    // It comes back taken by another program: the hot-plug run says so,
    // and takes it once it is let go.
    auto holder = VirtualFrame::Open(frame + ".away");
    ASSERT_TRUE(QFile::rename(path + ".away", path));
    ASSERT_TRUE(WaitFor([&] { return Status().startsWith("The frame is in use by "); }, 10000)) << Status().toStdString();
    EXPECT_FALSE(fe->G_isDeviceOnLine);
    EXPECT_TRUE(Rows().isEmpty());
    holder.reset();
    ASSERT_TRUE(WaitFor([&] { return fe->G_isDeviceOnLine && finished >= 2 && !fe->gmyIsTransferData; }));
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp", "DPFPicture3.bmp"}));
    EXPECT_TRUE(C<QWidget>("slet_0")->isEnabled());
}

TEST_F(MacAlbum, DownloadTheFrameRefusesSaysWhyInTheStatus)
{
    // A frame whose flash is write-protected answers every erase and program
    // with DATA PROTECT (the new picture's slot reads back erased, so its
    // first page is the first refused); the status line says so, and the
    // frame stays online with the edited album kept for another try.
    MakeFrame(frame);
    const std::vector<Bytes> old = {DevicePicture(QuarterPicture(128, 128), 60)};
    SeedAlbum(frame, old);
    Start(frame + ",write_protect=1");
    ASSERT_TRUE(WaitOnlineIdle());
    AddThroughStage(SavePng(QuarterPicture(200, 150), "p.png"));
    ASSERT_EQ(fe->gmyTotalePictureNum(), 2) << Status().toStdString();
    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(Status(), "Fail To Download Picture (a write failed its check: data protect (write protected)) 0 of "
                        "the 1 new pictures were written.");
    EXPECT_TRUE(fe->G_isDeviceOnLine);
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "Picture2.bmp"}));
    EXPECT_EQ(ReadAlbum(frame), old);
}

// Two copies on two frames, sharing one base of work folders (as two runs of
// the program by one user do): each lists, previews and uploads only its own
// frame's pictures; a run that was killed leaves a folder that the next start
// clears; quitting one copy leaves the other's Upload whole.
TEST_F(MacAlbum, TwoWindowsOnTwoFramesNeverMixPictures)
{
    const QImage q = QuarterPicture(128, 128);
    const QImage a1 = q, a2 = q.mirrored(true, true);
    const QImage b1 = q.mirrored(false, true), b2 = q.mirrored(true, false);
    MakeFrame(frame);
    SeedAlbum(frame, {DevicePicture(a1, 80), DevicePicture(a2, 80)});
    const std::string frame2 = tmp.filePath("frame2.img").toStdString();
    MakeFrame(frame2);
    SeedAlbum(frame2, {DevicePicture(b1, 80), DevicePicture(b2, 80)});

    // A killed run's folder: its lock names a process that is gone.
    const QString base = tmp.filePath("res");
    const QString killed = base + "/run-999999-abcdef";
    ASSERT_TRUE(QDir().mkpath(killed + "/data"));
    QFile lock(killed + "/lock");
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write("999999\nmackestova\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();
    QFile(killed + "/data/DPFPicture1.bmp").open(QIODevice::WriteOnly);

    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_FALSE(QDir(killed).exists());

    FrontEnd* first = fe.release();  // the harness's checks now look at the second
    std::unique_ptr<FrontEnd> firstOwner(first);
    const int finishedBefore = finished;
    Start(frame2);
    ASSERT_TRUE(WaitFor([&] { return fe->G_isDeviceOnLine && finished > finishedBefore && !fe->gmyIsTransferData; }));
    std::unique_ptr<FrontEnd> second = std::move(fe);
    ASSERT_NE(first->gmyResousepath, second->gmyResousepath);
    EXPECT_TRUE(first->gmyResousepath.startsWith(base + "/run-"));
    EXPECT_TRUE(QDir(first->gmyResousepath + "/data").exists());  // the second start left it alone

    auto upload = [&](FrontEnd* f, const QString& name) {
        const QString folder = tmp.filePath(name);
        EXPECT_TRUE(QDir().mkpath(folder));
        f->chooseFolder = [folder] { return QUrl::fromLocalFile(folder); };
        QTest::mouseClick(f->gMainWindowRef->findChild<QAbstractButton*>("upld_0"), Qt::LeftButton);
        return folder;
    };
    auto near = [](const QString& file, const QImage& want) {
        const QImage got(file);
        return !got.isNull() && MeanDifference(got.convertToFormat(QImage::Format_RGB888),
                                               want.convertToFormat(QImage::Format_RGB888)) < 8;
    };
    const QString up1 = upload(first, "up1"), up2 = upload(second.get(), "up2");
    EXPECT_EQ(QDir(up1).entryList(QDir::Files).size(), 2);
    EXPECT_EQ(QDir(up2).entryList(QDir::Files).size(), 2);
    EXPECT_TRUE(near(up1 + "/1.bmp", a1));
    EXPECT_TRUE(near(up1 + "/2.bmp", a2));
    EXPECT_TRUE(near(up2 + "/1.bmp", b1));
    EXPECT_TRUE(near(up2 + "/2.bmp", b2));

    // The second quits (OK in its alert); its folder goes, the first's stays.
    const QString secondFolder = second->gmyResousepath;
    QTimer::singleShot(0, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Ok)->click();
    });
    second->MyQuit();
    second.reset();
    EXPECT_FALSE(QDir(secondFolder).exists());
    const QString up3 = upload(first, "up3");
    for (const char* name : {"/1.bmp", "/2.bmp"}) {
        QFile x(up1 + name), y(up3 + name);
        ASSERT_TRUE(x.open(QIODevice::ReadOnly) && y.open(QIODevice::ReadOnly)) << name;
        EXPECT_GT(y.size(), 128 * 128 * 3) << name;
        EXPECT_EQ(x.readAll(), y.readAll()) << name;
    }
    fe = std::move(firstOwner);
}

// A person going through the window with Tab: the album list takes the focus
// without choosing a row (nothing current, nothing in the preview), Delete
// reached with Tab and Space takes the last picture, Download with the
// keyboard gives the focus back to its button and not to the list, and an
// arrow key in the list chooses a row that is current and selected at once.
TEST_F(MacAlbum, TabbingThroughTheWindowChoosesNoAlbumRow)
{
    MakeFrame(frame);
    SeedAlbum(frame, ThreePictures());
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    QMainWindow* w = fe->gMainWindowRef;
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    auto* list = C<AlbumListView>("pict_0");
    auto focusName = [] { return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(); };
    auto tab = [&] { QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : w, Qt::Key_Tab); };
    auto tabTo = [&](const QString& name) {
        for (int i = 0; i < 40 && focusName() != name; ++i)
            tab();
        return focusName() == name;
    };

    QStringList round;
    for (int i = 0; i < 40; ++i) {
        tab();
        if (round.contains(focusName()))
            break;
        round << focusName();
    }
    // One round of Tab goes the way the work goes.
    const QStringList order = {"CLVW_0", "rota_0", "scal_1", "trns_10", "trns_11", "suts_0", "open_0",
                               "slet_0", "pict_0", "delp_0", "dela_0", "load_0", "upld_0"};
    const qsizetype at = round.indexOf("CLVW_0");
    ASSERT_GE(at, 0) << round.join(' ').toStdString();
    EXPECT_EQ(round.mid(at) + round.mid(0, at), order);

    // The arrows work with the up and down keys.
    ASSERT_TRUE(tabTo("rota_0"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(C<LittleArrows>("rota_0")->GetControl32BitValue(), 1);

    ASSERT_TRUE(tabTo("pict_0"));
    EXPECT_EQ(SelectedRow(), -1);
    EXPECT_FALSE(list->currentIndex().isValid());
    EXPECT_TRUE(fe->cropTool->PreviewPicture().isNull());

    ASSERT_TRUE(tabTo("delp_0"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_EQ(Rows(), (QStringList{"DPFPicture1.bmp", "DPFPicture2.bmp"}));
    EXPECT_EQ(SelectedRow(), 1);  // the last row is chosen and shown
    EXPECT_FALSE(fe->cropTool->PreviewPicture().isNull());

    // Download twice with the keyboard: the focus never lands in the list,
    // not even for a moment while the controls are disabled.
    bool listFocused = false;
    const auto watch = QObject::connect(qApp, &QApplication::focusChanged, [&](QWidget*, QWidget* now) {
        listFocused = listFocused || now == list;
    });
    for (int n = 2; n <= 3; ++n) {
        ASSERT_TRUE(tabTo("load_0"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        EXPECT_NE(focusName(), "pict_0");
        ASSERT_TRUE(WaitFinished(n));
        EXPECT_EQ(focusName(), "load_0");
        EXPECT_EQ(SelectedRow(), 1);
        EXPECT_EQ(list->currentIndex().row(), 1);
    }
    QObject::disconnect(watch);
    EXPECT_FALSE(listFocused);
    EXPECT_EQ(ReadAlbum(frame).size(), 2u);

    // Nothing chosen after Ctrl+click on the chosen row: nothing current,
    // nothing in the preview, and Delete takes the last picture again.
    const QModelIndex chosen = list->model()->index(1, 0);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, list->visualRect(chosen).center());
    EXPECT_EQ(SelectedRow(), -1);
    EXPECT_FALSE(list->currentIndex().isValid());
    EXPECT_TRUE(fe->cropTool->PreviewPicture().isNull());

    // An arrow key in the list chooses a row: current and selected together.
    ASSERT_TRUE(tabTo("pict_0"));
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(SelectedRow(), 0);
    EXPECT_EQ(list->currentIndex().row(), 0);
    EXPECT_EQ(fe->gmyCurrentSelectItem, 1);
    EXPECT_EQ(fe->cropTool->PreviewPicture(), QImage(fe->gmyResousepath + "/data/DPFPicture1.bmp"));
}

// The status line, the count and the preview say what is true after each
// step: no frame (how to attach one), a read, a failure followed by a
// success, deletes, Upload, the frame leaving, and a read that fails.
TEST_F(MacAlbum, StatusCountAndPreviewStayTrue)
{
    const QString path = QString::fromStdString(frame);
    Start(frame);  // the image is not there yet
    EXPECT_EQ(Status(), FrontEnd::kNoFrameText);
    EXPECT_TRUE(Count().startsWith("000/")) << Count().toStdString();

    MakeFrame(frame + ".new");
    SeedAlbum(frame + ".new", ThreePictures());
    ASSERT_TRUE(QFile::rename(path + ".new", path));
    ASSERT_TRUE(WaitOnlineIdle());
    EXPECT_EQ(Count(), "003/060");
    EXPECT_EQ(Status(), "Picture(s) In Kestova");

    // A failure, then a success: the old failure text goes.
    const QString notPicture = tmp.filePath("notes.png");
    QFile bad(notPicture);
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("not a picture");
    bad.close();
    Place(notPicture);
    EXPECT_TRUE(Status().startsWith("Couldn't Process: notes.png: not a picture file")) << Status().toStdString();
    Place(SavePng(QuarterPicture(200, 200), "q.png"));
    EXPECT_EQ(Status(), "");
    Click("slet_0");
    EXPECT_EQ(Status(), "The sequence number: 4");
    EXPECT_EQ(Count(), "004/060");

    // Deleting the shown picture: the preview moves to the last row, which is
    // chosen; after Delete All it is empty.
    ClickRow(0);
    const QImage first = fe->cropTool->PreviewPicture();
    ASSERT_FALSE(first.isNull());
    Click("delp_0");
    EXPECT_EQ(Count(), "003/060");
    EXPECT_EQ(SelectedRow(), 2);
    EXPECT_EQ(fe->cropTool->PreviewPicture(), QImage(fe->gmyResousepath + "/data/Picture4.bmp"));

    const QString folder = tmp.filePath("saved");
    ASSERT_TRUE(QDir().mkpath(folder));
    fe->chooseFolder = [&] { return QUrl::fromLocalFile(folder); };
    Click("upld_0");
    EXPECT_EQ(Status(), QStringLiteral("Saved 3 picture(s) in %1").arg(QDir::toNativeSeparators(folder)));

    auto* all = C<QCheckBox>("dela_0");
    QTest::mouseClick(all, Qt::LeftButton, {}, QPoint(5, all->height() / 2));
    Click("delp_0");
    EXPECT_TRUE(fe->cropTool->PreviewPicture().isNull());
    EXPECT_EQ(Count(), "000/060");
    EXPECT_EQ(Status(), "The sequence number: 0");
    QTest::mouseClick(all, Qt::LeftButton, {}, QPoint(5, all->height() / 2));

    // The frame leaves with pictures listed: no count stays behind.
    Place(SavePng(QuarterPicture(200, 200), "r.png"));
    Click("slet_0");
    ASSERT_EQ(Count(), "001/060");
    ASSERT_TRUE(QFile::rename(path, path + ".away"));
    ASSERT_TRUE(WaitFor([&] { return Status().startsWith("Device Not Online!"); }));
    EXPECT_TRUE(Count().startsWith("000/")) << Count().toStdString();
    EXPECT_TRUE(fe->cropTool->PreviewPicture().isNull());
}

TEST_F(MacAlbum, FailedReadListsAndCountsNothing)
{
    MakeFrame(frame);
    SeedAlbum(frame, ThreePictures());
    Start(frame + ",corrupt_reads=1");
    ASSERT_TRUE(WaitFor([&] { return finished >= 1 && !fe->gmyIsTransferData; }));
    EXPECT_TRUE(Status().startsWith("Read picture(s) failed!")) << Status().toStdString();
    EXPECT_TRUE(Rows().isEmpty());
    EXPECT_TRUE(Count().startsWith("000/")) << Count().toStdString();
}

// A batch prepared on every core gives the album that adding the same
// pictures one by one through the stage gives: the same bytes in the same
// order, the same quality carried from picture to picture, an unreadable
// file skipped at its place.
TEST_F(MacAlbum, BatchAddGivesTheAlbumOfOneByOneAdds)
{
    QDir(tmp.path()).mkpath("many");
    std::vector<QString> files;
    auto save = [&](const QImage& img, const char* name) { files.push_back(SavePng(img, QString("many/") + name)); };
    save(QuarterPicture(1600, 1200), "1.png");    // reduced through the halved copies
    save(NoisePicture(128, 128, 90, 3), "2.png");  // lowers the quality
    save(QuarterPicture(300, 200), "3.png");
    QFile bad(tmp.filePath("many/4.png"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("not a picture");
    bad.close();
    save(NoisePicture(200, 130, 127, 5), "5.png");
    save(QuarterPicture(160, 300).mirrored(true, false), "6.png");
    save(NoisePicture(128, 128, 40, 9), "7.png");

    // One by one through the stage, on one frame.
    const std::string serialFrame = tmp.filePath("serial.img").toStdString();
    MakeFrame(serialFrame, 120);  // 8192-byte slots
    Start(serialFrame);
    ASSERT_TRUE(WaitOnlineIdle());
    for (const QString& f : files)
        AddThroughStage(f);
    const int serialQuality = fe->G_CurQuanlity;
    ASSERT_LT(serialQuality, 90);  // the carried quality is part of what is compared
    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    ASSERT_EQ(Status(), "DownLoad Finished. 6 pictures are on the frame.");
    fe->WaitForTask();
    fe.reset();
    const std::vector<Bytes> serial = ReadAlbum(serialFrame);
    ASSERT_EQ(serial.size(), 6u);

    // The same files as one batch chosen in the file browser, on another.
    MakeFrame(frame, 120);
    finished = 0;
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    auto* tree = C<QTreeWidget>("CLVW_0");
    auto row = std::make_unique<tagFILEITEM>();
    row->rowID = fe->fileRows->Rows().back()->rowID + 1;
    row->path = tmp.filePath("many");
    row->isFolder = true;
    row->item = new QTreeWidgetItem(tree, QStringList("many"));
    row->item->setData(0, Qt::UserRole, row->rowID);
    tagFILEITEM* folder = row.get();
    fe->fileRows->AddRow(std::move(row));
    tree->expandItem(folder->item);
    ASSERT_EQ(folder->item->childCount(), 7);
    tree->selectAll();
    Click("slet_0");
    ASSERT_TRUE(WaitFinished(2));
    EXPECT_EQ(Rows().size(), 6);
    EXPECT_EQ(Rows().back(), "Picture6.bmp");
    // The file left out is named, with the reason.
    EXPECT_TRUE(Status().startsWith("Not added: 4.png (not a picture file")) << Status().toStdString();
    EXPECT_EQ(fe->G_CurQuanlity, serialQuality);
    EXPECT_EQ(fe->FindRow(folder->rowID + 4)->isPicture, 0);  // 4.png
    // The stage holds the last picture, as after adding it alone (read off
    // the main thread).
    ASSERT_TRUE(WaitFor([&] { return !fe->cropTool->Loading(); }));
    ASSERT_NE(fe->cropTool->Picture(), nullptr);
    EXPECT_EQ(fe->cropTool->Picture()->image.size(), QSize(128, 128));
    Click("load_0");
    ASSERT_TRUE(WaitFinished(3));
    ASSERT_EQ(Status(), "DownLoad Finished. 6 pictures are on the frame.");
    fe->WaitForTask();
    fe.reset();
    const std::vector<Bytes> batch = ReadAlbum(frame);
    ASSERT_EQ(batch.size(), serial.size());
    for (size_t i = 0; i < batch.size(); ++i)
        EXPECT_EQ(batch[i], serial[i]) << "picture " << i + 1;
}

// Quit with an added picture not yet on the frame, answered with Return
// alone: the alert says the pictures are not on the frame and keeps the
// window (Cancel is its default); after Download, Return quits.
TEST_F(MacAlbum, ReturnOnTheQuitAlertKeepsPicturesNotOnTheFrame)
{
    MakeFrame(frame);
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    AddThroughStage(SavePng(QuarterPicture(300, 300), "a.png"));
    QString text;
    auto returnOnAlert = [&] {
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            text = box->text();
            QTest::keyClick(box, Qt::Key_Return);
        });
    };
    returnOnAlert();
    fe->gMainWindowRef->close();
    EXPECT_TRUE(text.contains("not yet on the frame")) << text.toStdString();
    EXPECT_EQ(exitCode, -1);
    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    ASSERT_EQ(Status(), "DownLoad Finished. 1 picture is on the frame.");
    returnOnAlert();
    fe->gMainWindowRef->close();
    EXPECT_EQ(text, "Really want to quit?");
    EXPECT_EQ(exitCode, 0);
}
