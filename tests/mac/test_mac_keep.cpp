// SPDX-License-Identifier: GPL-3.0-or-later
// mackestova keeps what is the person's: files already in the Upload folder,
// and says plainly what is lost when the frame leaves; after a read that did
// not list the whole album nothing may edit or write it until F5 reads the
// frame again.

#include "tests/mac/MacTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace kestova;
using namespace kestova::mac;
using namespace kestova::mac::test;

namespace {

std::vector<Bytes> Pictures(int n)
{
    std::vector<Bytes> out;
    for (int i = 0; i < n; ++i)
        out.push_back(DevicePicture(NoisePicture(128, 128, 20 + 4 * i, unsigned(i + 1)), 80));
    return out;
}

QByteArray FileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Answers the next modal question with `answer` (a key, or a click on the
// button of that text) and keeps its text.
void Answer(QString* text, std::function<void(QMessageBox*)> answer)
{
    QTimer::singleShot(0, [text, answer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        *text = box->text();
        answer(box);
    });
}

void PressReturn(QMessageBox* box)
{
    QTest::keyClick(box, Qt::Key_Return);
}

void ClickButton(QMessageBox* box, const QString& label)
{
    for (QAbstractButton* b : box->buttons())
        if (b->text().remove(QLatin1Char('&')) == label) {
            QTest::mouseClick(b, Qt::LeftButton);
            return;
        }
    ADD_FAILURE() << "no button " << label.toStdString();
    box->reject();
}

} // namespace

class MacKeep : public MacHarness {};

// The folder holds the person's 1.bmp and a 3.bmp that is a link to a file
// elsewhere. Return (or Escape) on the question writes nothing; Replace
// replaces both, the link itself and never the file it points to.
TEST_F(MacKeep, UploadAsksBeforeReplacingTheFolder_sFiles)
{
    MakeFrame(frame);
    SeedAlbum(frame, Pictures(3));
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());
    ASSERT_EQ(Rows().size(), 3);
    const QString folder = tmp.filePath("out");
    const QString elsewhere = tmp.filePath("elsewhere.txt");
    fe->chooseFolder = [&] { return QUrl::fromLocalFile(folder); };

    const struct {
        const char* name;
        std::function<void(QMessageBox*)> answer;
        bool replaced;
    } cases[] = {
        {"Return", PressReturn, false},
        {"Escape", [](QMessageBox* b) { QTest::keyClick(b, Qt::Key_Escape); }, false},
        {"Replace", [](QMessageBox* b) { ClickButton(b, QStringLiteral("Replace")); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(folder).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(folder));
        WriteBytes(folder + "/1.bmp", "mine");
        WriteBytes(elsewhere, "elsewhere");
        ASSERT_TRUE(QFile::link(elsewhere, folder + "/3.bmp"));

        QString asked;
        Answer(&asked, c.answer);
        Click("upld_0");
        EXPECT_EQ(asked, "2 files in this folder will be replaced (1.bmp, 3.bmp). Replace them?");
        EXPECT_EQ(FileBytes(elsewhere), "elsewhere");
        if (!c.replaced) {
            EXPECT_EQ(Status(), "Nothing was saved.");
            EXPECT_EQ(FileBytes(folder + "/1.bmp"), "mine");
            EXPECT_TRUE(QFileInfo(folder + "/3.bmp").isSymLink());
            EXPECT_FALSE(QFileInfo::exists(folder + "/2.bmp"));
            continue;
        }
        EXPECT_TRUE(Status().startsWith("Saved 3 picture(s) in ")) << Status().toStdString();
        EXPECT_FALSE(QFileInfo(folder + "/3.bmp").isSymLink());
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(FileBytes(folder + QStringLiteral("/%1.bmp").arg(i)),
                      FileBytes(fe->gmyResousepath + QStringLiteral("/data/DPFPicture%1.bmp").arg(i)))
                << i;
    }
}

// The frame leaves: with the album as the frame has it, then with a picture
// added and not written, then in the middle of a Download of 5 new pictures.
// The status says what was lost and how many of the new pictures the frame
// lists (counted on the frame afterwards), and nothing overwrites it.
TEST_F(MacKeep, FrameThatLeavesSaysWhatWasLost)
{
    const QStringList files = {SavePng(QuarterPicture(300, 200), "n1.png"), SavePng(NoisePicture(200, 200, 50), "n2.png"),
                               SavePng(QuarterPicture(128, 300), "n3.png"), SavePng(NoisePicture(150, 170, 30), "n4.png"),
                               SavePng(QuarterPicture(200, 260), "n5.png")};
    const std::vector<Bytes> nine = Pictures(9);
    const QString path = QString::fromStdString(frame);

    // A dry run counts the commands of the start-up read and of the commit.
    const std::string dry = tmp.filePath("dry.img").toStdString();
    MakeFrame(dry);
    SeedAlbum(dry, nine);
    const QString log = tmp.filePath("dry.log");
    Start(dry + ",sync=0,log=" + log.toStdString());
    ASSERT_TRUE(WaitOnlineIdle());
    const int readCommands = int(FileBytes(log).count('\n'));
    for (const QString& f : files)
        AddThroughStage(f);
    Click("load_0");
    ASSERT_TRUE(WaitFinished(2));
    const int allCommands = int(FileBytes(log).count('\n'));
    fe.reset();
    finished = 0;

    enum class Leave { Unchanged, Edited, MidDownload };
    const struct {
        const char* name;
        Leave leave;
        const char* lead;
    } cases[] = {
        {"unchanged", Leave::Unchanged, FrontEnd::kNoFrameText},
        {"edited", Leave::Edited, "Device Not Online! The frame left; the changes not yet on it are lost."},
        {"mid-download", Leave::MidDownload,
         "Device Not Online! The frame left; the changes not yet on it are lost. The last Download failed: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(path);
        MakeFrame(frame);
        SeedAlbum(frame, nine);
        std::string arg = frame + ",sync=0";
        if (c.leave == Leave::MidDownload)
            arg += ",unplug_after=" + std::to_string(readCommands + (allCommands - readCommands) / 2);
        Start(arg);
        ASSERT_TRUE(WaitOnlineIdle());
        if (c.leave != Leave::Unchanged)
            AddThroughStage(files[0]);
        if (c.leave == Leave::MidDownload) {
            for (int i = 1; i < files.size(); ++i)
                AddThroughStage(files[i]);
            Click("load_0");
        } else {
            ASSERT_TRUE(QFile::rename(path, path + ".gone"));
        }
        ASSERT_TRUE(WaitFor([&] { return !fe->G_isDeviceOnLine && !fe->gmyIsTransferData && !fe->TaskRunning(); }));
        const QString shown = Status();
        QTest::qWait(300);
        EXPECT_EQ(Status(), shown);
        EXPECT_TRUE(Rows().isEmpty());
        fe.reset();
        finished = 0;
        QString expected = QString::fromUtf8(c.lead);
        if (c.leave == Leave::MidDownload) {
            // What the frame really lists of the new pictures.
            const int listed = int(ReadAlbum(frame).size()) - int(nine.size());
            ASSERT_GE(listed, 0);
            expected += QStringLiteral("%1 of the 5 new pictures were written.").arg(listed);
        }
        EXPECT_EQ(shown.toStdString(), expected.toStdString());
        QFile::remove(path + ".gone");
    }
}

// After a read that did not list the whole album (the frame's reads fail; a
// work file cannot be written), Add, Delete, Delete All and Download are off
// and their keys do nothing, while the browser, the stage and Upload of what
// was listed stay usable. F5 (File ▸ Read the Frame Again) reads the frame
// again; with changes not yet on the frame it asks first, Return keeps them.
TEST_F(MacKeep, AfterAFailedReadOnlyWhatWasReadIsUsable)
{
    const QString path = QString::fromStdString(frame);
    const struct {
        const char* name;
        bool corrupt;
        int listed;
    } cases[] = {{"reads fail", true, 0}, {"work file blocked", false, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(path);
        MakeFrame(path.toStdString() + ".new");
        SeedAlbum(path.toStdString() + ".new", Pictures(3));
        Start(c.corrupt ? frame + ",corrupt_reads=1" : frame);  // the image arrives below
        // A folder where the second picture's display bitmap goes.
        const QString blocker = fe->gmyResousepath + "/data/DPFPicture2.bmp";
        if (!c.corrupt) {
            ASSERT_TRUE(QDir().mkpath(blocker + "/x"));
        }
        ASSERT_TRUE(QFile::rename(path + ".new", path));
        ASSERT_TRUE(WaitFor([&] { return finished >= 1 && !fe->gmyIsTransferData && !fe->TaskRunning(); }));
        EXPECT_TRUE(Status().endsWith("Press F5 to read the frame again.")) << Status().toStdString();
        ASSERT_EQ(Rows().size(), c.listed);
        for (const char* off : {"slet_0", "delp_0", "dela_0", "load_0"})
            EXPECT_FALSE(C<QWidget>(off)->isEnabled()) << off;
        for (const char* on : {"upld_0", "open_0", "CLVW_0", "rota_0", "scal_1", "suts_0", "pict_0"})
            EXPECT_TRUE(C<QWidget>(on)->isEnabled()) << on;

        // The keys that edit do nothing; the stage still takes a picture.
        fe->gMainWindowRef->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(fe->gMainWindowRef));
        auto* list = C<QWidget>("pict_0");
        if (c.listed > 0)
            ClickRow(0);
        QTest::keyClick(list, Qt::Key_Z, Qt::ControlModifier);
        QTest::keyClick(list, Qt::Key_Delete);
        Place(SavePng(QuarterPicture(200, 200), "p.png"));
        EXPECT_TRUE(fe->cropTool->Placed());
        EXPECT_EQ(Rows().size(), c.listed);
        EXPECT_EQ(ReadAlbum(frame).size(), 3u);
        EXPECT_FALSE(fe->gMainWindowRef->isWindowModified());

        if (!c.corrupt) {
            // What was listed can be saved.
            const QString folder = tmp.filePath("saved");
            QDir(folder).removeRecursively();
            ASSERT_TRUE(QDir().mkpath(folder));
            fe->chooseFolder = [&] { return QUrl::fromLocalFile(folder); };
            Click("upld_0");
            EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{"1.bmp"});

            // The menu item carries F5; the key reads the frame again.
            auto* file = fe->gMainWindowRef->findChild<QMenu*>("fileMenu");
            ASSERT_NE(file, nullptr);
            const auto items = file->actions();
            ASSERT_TRUE(std::any_of(items.begin(), items.end(), [](QAction* a) {
                return a->text() == "&Read the Frame Again" && a->shortcut() == QKeySequence(Qt::Key_F5);
            }));
            ASSERT_TRUE(QDir(blocker).removeRecursively());
            const int before = finished;
            QTest::keyClick(list, Qt::Key_F5);
            ASSERT_TRUE(WaitFor([&] { return finished > before && !fe->gmyIsTransferData && !fe->TaskRunning(); }));
            EXPECT_EQ(Status(), "Picture(s) In Kestova");
            EXPECT_EQ(Rows().size(), 3);
            EXPECT_TRUE(C<QWidget>("slet_0")->isEnabled());
            EXPECT_TRUE(C<QWidget>("load_0")->isEnabled());

            // An added picture is not on the frame: F5 asks, Return keeps it.
            AddThroughStage(SavePng(QuarterPicture(200, 200), "p.png"));
            ASSERT_EQ(Rows().size(), 4);
            QString asked;
            Answer(&asked, PressReturn);
            QTest::keyClick(list, Qt::Key_F5);
            EXPECT_EQ(asked, "The changes not yet on the frame will be lost. Read the frame again?");
            EXPECT_EQ(Rows().size(), 4);
            EXPECT_TRUE(fe->gMainWindowRef->isWindowModified());
        }
        fe.reset();
        finished = 0;
    }
}
