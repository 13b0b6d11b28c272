// SPDX-License-Identifier: GPL-3.0-or-later
// kestova writing the frame through the real window: Synchronize unchanged
// and failed, files handed over during it, quitting during it, the progress
// bar, the frame pulled during it, and the frame's colours.

#include "tests/win/WinSessionSupport.h"

#include <QElapsedTimer>
#include <QTimer>

namespace kestova::win::test {
namespace {

TEST_F(WinSession, UnchangedSynchronizeDoesNothingAndAFailedOneKeepsTheEditsForAnotherTry)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 10, 1))});
    auto refuse = std::make_shared<std::atomic<bool>>(true);
    adjustOptions = [&](StartOptions& o) {
        o.frameOpener = RefusingFrame::Opener([refuse](const uint8_t cdb[16]) { return *refuse && cdb[0] == 0xCB; });
    };
    ASSERT_TRUE(StartIdle());
    Click(IDC_BUTTON_SEND);
    EXPECT_FALSE(dlg->IsDownloading());
    EXPECT_TRUE(C<QWidget>(IDC_BUTTON_SEND)->isEnabled());
    EXPECT_TRUE(boxes.isEmpty());

    ASSERT_TRUE(C<CPreview>(IDC_PREVIEW)->LoadPicture(SavePicture(pictures + "/a.bmp", Noise(128, 128, 10, 4))));
    Click(IDC_BTN_ADDTODPF);
    ASSERT_TRUE(dlg->AlbumModified());
    ASSERT_TRUE(Synchronize());
    EXPECT_EQ(boxes, QStringList{T("DOWNLOADFAIL_TIPS")});
    EXPECT_TRUE(dlg->StatusText().startsWith(T("DOWNLOADFAIL_STATUS") + ": ")) << dlg->StatusText().toStdString();
    EXPECT_TRUE(dlg->StatusText().contains("protect")) << dlg->StatusText().toStdString();
    // ... and how far it got: none of the one new picture reached the frame.
    EXPECT_TRUE(dlg->StatusText().endsWith(" 0 of the 1 new pictures were written.")) << dlg->StatusText().toStdString();
    EXPECT_EQ(ReadBack(frame).size(), 1u);
    // The window still shows two pictures the frame does not hold: quitting
    // warns of that, and Synchronize writes them once the frame takes writes.
    EXPECT_EQ(Labels(), Numbered(2));
    EXPECT_TRUE(dlg->AlbumModified());
    answer = QMessageBox::No;
    QTest::keyClick(Album(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_EQ(boxes.last(), T("EXIT_TIPS_1"));
    EXPECT_TRUE(dlg->isVisible());
    refuse->store(false);
    boxes.clear();
    ASSERT_TRUE(Synchronize());
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    EXPECT_FALSE(dlg->AlbumModified());
    ExpectFlashShowsTheWindow();
}


// A second start hands over a picture while the album is being written:
// it is added once the writing has ended.
TEST_F(WinSession, FilesHandedOverDuringSynchronizeAreAddedAfterIt)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1))});
    adjustOptions = [&](StartOptions& o) { o.frameArg = frame + ",sync=0,latency_us=3000"; };
    ASSERT_TRUE(StartIdle());
    Drop({SavePicture(pictures + "/s.bmp", Noise(128, 128, 40, 6))});
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    ASSERT_TRUE(WaitIdle());
    Click(IDC_BUTTON_SEND);
    ASSERT_TRUE(dlg->IsDownloading());
    dlg->ReceiveHandedFiles({SavePicture(pictures + "/h.bmp", Noise(128, 128, 40, 7))});
    ASSERT_TRUE(WaitFor([&] { return Labels() == Numbered(3); })) << Labels().join(' ').toStdString();
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(dlg->AlbumModified());
    ASSERT_TRUE(Synchronize());
    ExpectFlashShowsTheWindow();
}

// Exit, the close box or Alt+F4 while the album is being written: the
// question offers to wait (the default), to stop, or to stay. Waiting closes
// once everything is written; stopping says before the window goes which
// new pictures the frame does not hold.
TEST_F(WinSession, QuitDuringADownloadWaitsOrStopsAndSaysWhatWasNotWritten)
{
    enum class Way { ExitButton, CloseBox };
    const struct {
        const char* name;
        Way way;
        int answer;  // to the question (after one Cancel)
        bool endsWhileAsking;  // the write ends while the question is open
    } cases[] = {
        {"stop by Exit", Way::ExitButton, QMessageBox::Yes, false},
        {"wait by the close box", Way::CloseBox, QMessageBox::Ok, false},
        {"wait, but the write ended meanwhile", Way::ExitButton, QMessageBox::Ok, true},
    };
    std::vector<Bytes> two;
    for (int i = 0; i < 2; ++i)
        two.push_back(DevicePicture(Noise(128, 128, 40, unsigned(i))));
    QStringList files;
    for (int i = 0; i < 4; ++i)
        files << SavePicture(pictures + QString("/q%1.bmp").arg(i), Noise(128, 128, 60, unsigned(40 + i)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Seed(frame, two);
        boxes.clear();
        boxButtons.clear();
        adjustOptions = [&](StartOptions& o) { o.frameArg = frame + ",sync=0,latency_us=3000"; };
        ASSERT_TRUE(StartIdle());
        Drop(files);
        ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
        ASSERT_TRUE(WaitIdle());
        ASSERT_EQ(Album()->count(), 6);
        auto quit = [&] {
            if (c.way == Way::ExitButton)
                Click(IDC_EXIT);
            else
                dlg->windowHandle()->close();  // what the window manager's close box and Alt+F4 send
        };
        Click(IDC_BUTTON_SEND);
        ASSERT_TRUE(dlg->IsDownloading());

        // Cancel: the write goes on and the window stays.
        answer = QMessageBox::Cancel;
        quit();
        ASSERT_EQ(boxes, QStringList{T("QUIT_WRITING_TIPS")});
        EXPECT_EQ(boxButtons.last(), BoxButtons::WaitStopCancel);
        EXPECT_TRUE(dlg->IsDownloading());
        EXPECT_TRUE(dlg->isVisible());

        answer = c.answer;
        if (c.endsWhileAsking) {
            // The window must not wait for an end that already came.
            answerFor = [&](const QString&) {
                EXPECT_TRUE(WaitFor([&] { return !dlg->IsDownloading(); }));
                return c.answer;
            };
            quit();
            answerFor = nullptr;
            EXPECT_FALSE(dlg->isVisible());
        } else {
            quit();
            EXPECT_EQ(dlg->StatusText(), T(c.answer == QMessageBox::Yes ? "STOPDOWNLOAD_TIPS" : "QUIT_WAITING_STATUS"));
            EXPECT_TRUE(dlg->isVisible());
        }
        ASSERT_TRUE(WaitFor([&] { return !dlg->isVisible(); }));
        EXPECT_TRUE(QDir(dlg->CacheDirectory()).entryList({"*.bmp"}, QDir::Files).isEmpty());
        dlg.reset();

        // What the frame holds, read afresh, is what the window said.
        const auto back = ReadBack(frame);
        for (const auto& p : back)
            EXPECT_TRUE(p.ok());
        if (c.answer == QMessageBox::Ok) {
            EXPECT_EQ(back.size(), 6u);
            EXPECT_EQ(boxes.size(), 2) << boxes.join('|').toStdString();
        } else {
            // Stopped at the next picture (the first, unless the machine
            // lagged): the ones the frame lacks are named.
            ASSERT_GE(back.size(), 3u);
            ASSERT_LT(back.size(), 6u);
            const int written = int(back.size()) - 2;
            ASSERT_EQ(boxes.size(), 3) << boxes.join('|').toStdString();
            QStringList said = boxes.last().split('\n');
            EXPECT_EQ(said.takeFirst(),
                      QString("%1 of the 4 new pictures were not written to the frame:").arg(4 - written));
            EXPECT_EQ(said, files.mid(written).replaceInStrings(pictures + "/", ""));
        }
        std::filesystem::remove(frame);
        Format(frame, 128, 128, 40);
    }
}

// The real question, left alone: when the write ends while it is open, it
// goes by itself and the window closes. Should it outlive the write by 5 s
// the watcher closes it and the test fails.
TEST_F(WinSession, QuitQuestionLeftOpenGoesWhenTheWriteEnds)
{
    QStringList files;
    for (int i = 0; i < 3; ++i)
        files << SavePicture(pictures + QString("/u%1.bmp").arg(i), Noise(128, 128, 60, unsigned(70 + i)));
    adjustOptions = [&](StartOptions& o) {
        o.frameArg = frame + ",sync=0,latency_us=3000";
        o.messageBox = nullptr;  // the real box
    };
    ASSERT_TRUE(StartIdle());
    Drop(files);
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    ASSERT_TRUE(WaitIdle());
    Click(IDC_BUTTON_SEND);
    ASSERT_TRUE(dlg->IsDownloading());

    QString asked;
    bool leftOpen = false;
    QElapsedTimer sinceEnd;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        asked = box->text();
        if (dlg->IsDownloading())
            return;
        if (!sinceEnd.isValid())
            sinceEnd.start();
        else if (sinceEnd.elapsed() > 5000) {
            leftOpen = true;
            box->reject();
        }
    });
    watch.start(20);
    Click(IDC_EXIT);  // comes back once the question has gone
    watch.stop();
    EXPECT_EQ(asked, T("QUIT_WRITING_TIPS"));
    EXPECT_FALSE(leftOpen);
    EXPECT_TRUE(WaitFor([&] { return !dlg->isVisible(); }, 3000));
    dlg.reset();
    EXPECT_EQ(ReadBack(frame).size(), 3u);
}

TEST_F(WinSession, ProgressBarHiddenAtDetachShownForADownloadWhenOff)
{
    QString ini = ReadText(ProgramFile("StartInfoUnicode.ini"));
    ini.replace(QRegularExpression("ProgressCtrl=\\w+"), "ProgressCtrl=OFF");
    WriteText(ProgramFile("StartInfoUnicode.ini"), ini);
    ASSERT_TRUE(StartIdle());
    const QString away = QString::fromStdString(frame) + ".away";
    ASSERT_TRUE(QFile::rename(QString::fromStdString(frame), away));
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsConnected(); }));
    EXPECT_FALSE(dlg->ProgressVisible());
    ASSERT_TRUE(QFile::rename(away, QString::fromStdString(frame)));
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(dlg->ProgressVisible());
    ASSERT_TRUE(C<CPreview>(IDC_PREVIEW)->LoadPicture(SavePicture(pictures + "/a.bmp", Noise(128, 128, 10, 4))));
    Click(IDC_BTN_ADDTODPF);
    ASSERT_TRUE(Synchronize());
    EXPECT_TRUE(dlg->ProgressVisible());
}

TEST_F(WinSession, PullingTheFrameDuringSynchronizeLeavesAWholeAlbumAndAUsableWindow)
{
    const std::vector<Bytes> old = {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2)),
                                    DevicePicture(Noise(128, 128, 30, 3))};
    Seed(frame, old);
    QByteArray pristine;
    {
        QFile f(QString::fromStdString(frame));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        pristine = f.readAll();
    }
    QStringList files;
    for (int i = 0; i < 3; ++i)
        files << SavePicture(pictures + QString("/n%1.bmp").arg(i), Noise(128, 128, 50, unsigned(60 + i)));

    // The frame's first visit ends after `cut` commands; it comes back whole.
    std::atomic<long> cut{-1};
    std::shared_ptr<VirtualFrameMonitor> monitor;
    int opens = 0;
    adjustOptions = [&](StartOptions& o) {
        o.frameOpener = [&](const std::string& arg, std::string& error) -> std::unique_ptr<ScsiUnit> {
            try {
                std::string frameArg = arg;
                if (opens++ == 0 && cut >= 0)
                    frameArg += ",unplug_after=" + std::to_string(cut.load());
                auto f = VirtualFrame::Open(frameArg);
                monitor = f->Monitor();
                return f;
            } catch (const std::exception& e) {
                error = e.what();
                return nullptr;
            }
        };
    };
    auto edit = [&] {
        SelectEntries({0});
        answer = QMessageBox::Yes;
        QTest::keyClick(Album(), Qt::Key_Delete);
        Drop(files);
        ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
        ASSERT_TRUE(WaitIdle());
    };

    // A dry run counts the commands of the read and of the commit.
    ASSERT_TRUE(StartIdle());
    const long readCommands = long(monitor->CommandCount());
    edit();
    ASSERT_TRUE(Synchronize());
    const long allCommands = long(monitor->CommandCount());
    ExpectFlashShowsTheWindow();
    const std::vector<session::AlbumPicture> fresh = ReadBack(frame);
    dlg.reset();

    for (int quarter = 1; quarter <= 3; ++quarter) {
        SCOPED_TRACE(quarter);
        {
            QFile f(QString::fromStdString(frame));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(pristine);
        }
        opens = 0;
        boxes.clear();
        cut = readCommands + (allCommands - readCommands) * quarter / 4;
        ASSERT_TRUE(StartIdle());
        edit();
        QString saidAtFailure;
        answerFor = [&](const QString& text) {
            if (text == T("DOWNLOADFAIL_TIPS"))
                saidAtFailure = dlg->StatusText();
            return answer;
        };
        Click(IDC_BUTTON_SEND);
        // Off the bus: the window goes offline, says so, and the commit
        // reports its failure; then the frame is back and read again.
        ASSERT_TRUE(WaitFor([&] { return boxes.contains(T("DOWNLOADFAIL_TIPS")); }));
        answerFor = nullptr;
        ASSERT_TRUE(WaitFor([&] { return opens >= 2; }));
        ASSERT_TRUE(WaitIdle());
        EXPECT_FALSE(dlg->AlbumModified());
        const std::vector<session::AlbumPicture> after = ReadBack(frame);
        std::vector<Bytes> afterBytes;
        for (const auto& p : after)
            afterBytes.push_back(p.bytes);
        std::vector<Bytes> freshBytes;
        for (const auto& p : fresh)
            freshBytes.push_back(p.bytes);
        const std::vector<Bytes> oldLessDeleted = {old[1], old[2]};
        EXPECT_TRUE(afterBytes == old || afterBytes == freshBytes || afterBytes == oldLessDeleted)
            << after.size() << " pictures";
        // The failure is named as the frame leaving, with how many of the
        // new pictures the frame lists.
        const int written = afterBytes == freshBytes ? 3 : 0;
        EXPECT_TRUE(saidAtFailure.startsWith(T("DOWNLOADFAIL_STATUS") + ": " + T("FRAMEGONE_REASON")))
            << saidAtFailure.toStdString();
        EXPECT_TRUE(saidAtFailure.endsWith(T("WRITE_PARTLY_STATUS").arg(written).arg(3))) << saidAtFailure.toStdString();
        ExpectFlashShowsTheWindow();
        dlg.reset();
    }

    // Pulled as the image going away: the window sees the frame leave
    // before the write fails, and still says why and how far it came.
    {
        QFile f(QString::fromStdString(frame));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(pristine);
    }
    opens = 0;
    cut = -1;
    boxes.clear();
    adjustOptions = [&](StartOptions& o) { o.frameArg = frame + ",sync=0,bytes_per_s=40000"; };
    ASSERT_TRUE(StartIdle());
    edit();
    QString saidAtFailure;
    answerFor = [&](const QString& text) {
        if (text == T("DOWNLOADFAIL_TIPS"))
            saidAtFailure = dlg->StatusText();
        return answer;
    };
    Click(IDC_BUTTON_SEND);
    ASSERT_TRUE(dlg->IsDownloading());
    QTest::qWait(150);
    const QString away = QString::fromStdString(frame) + ".away";
    ASSERT_TRUE(QFile::rename(QString::fromStdString(frame), away));
    ASSERT_TRUE(WaitFor([&] { return boxes.contains(T("DOWNLOADFAIL_TIPS")); }));
    answerFor = nullptr;
    EXPECT_TRUE(saidAtFailure.startsWith(T("DOWNLOADFAIL_STATUS") + ": " + T("FRAMEGONE_REASON")))
        << saidAtFailure.toStdString();
    EXPECT_TRUE(saidAtFailure.endsWith(T("WRITE_PARTLY_STATUS").arg(0).arg(3))) << saidAtFailure.toStdString();
    dlg.reset();
    ASSERT_TRUE(QFile::rename(away, QString::fromStdString(frame)));
}


TEST_F(WinSession, EqualColoursShowAsBlackOnWhiteAndOkWritesThemOrSaysWhyNot)
{
    Seed(frame, {}, 0x1234);
    for (bool writeProtected : {false, true}) {
        SCOPED_TRACE(writeProtected);
        adjustOptions = [&](StartOptions& o) {
            o.frameArg = frame + (writeProtected ? ",sync=0,write_protect=1" : ",sync=0");
        };
        ASSERT_TRUE(StartIdle());
        EXPECT_EQ(dlg->FrameTextColour(), QColor(0, 0, 0));
        EXPECT_EQ(dlg->FrameBackgroundColour(), QColor(255, 255, 255));
        Click(IDC_BTN_SETTING);
        QDialog* settings = nullptr;
        ASSERT_TRUE(WaitFor([&] {
            settings = dlg->findChild<QDialog*>("settingDialog");
            return settings && settings->isVisible();
        }));
        QPushButton* ok = nullptr;
        for (QPushButton* b : settings->findChildren<QPushButton*>())
            if (b->text() == "OK")
                ok = b;
        ASSERT_NE(ok, nullptr);
        QTest::mouseClick(ok, Qt::LeftButton);
        ASSERT_TRUE(WaitIdle());
        EXPECT_TRUE(QApplication::focusWidget() == C<QWidget>(IDC_BTN_SETTING) || !dlg->isActiveWindow());
        uint16_t font = 1, background = 1;
        EXPECT_EQ(dlg->StatusText().contains("protect"), writeProtected) << dlg->StatusText().toStdString();
        dlg.reset();
        const std::string view = frame + ".colours";
        std::filesystem::copy_file(frame, view, std::filesystem::copy_options::overwrite_existing);
        Outside o(view);
        ASSERT_TRUE(o.s.Open().ok());
        o.dpf.GetAlbumColors(font, background);
        if (writeProtected) {
            EXPECT_EQ(font, 0x1234);
        } else {
            EXPECT_EQ(font, 0x0000);
            EXPECT_EQ(background, 0xFFFF);
        }
        if (!writeProtected)
            Seed(frame, {}, 0x1234);
    }
}


// The frame leaves: with the album as the frame has it, with a picture added
// and not written, and in the middle of a Synchronize of 3 new pictures (the
// frame then stays away). The status says what was lost and how many of the
// new pictures the frame lists (counted on the frame afterwards).
TEST_F(WinSession, TheFrameLeavingSaysTheChangesNotOnItAreLost)
{
    const std::vector<Bytes> old = {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2))};
    QStringList files;
    for (int i = 0; i < 3; ++i)
        files << SavePicture(pictures + QString("/n%1.bmp").arg(i), Noise(128, 128, 50, unsigned(70 + i)));
    const QString path = QString::fromStdString(frame);

    // The first visit of the frame ends after `cut` commands (none: -1); it
    // does not come back.
    long cut = -1;
    int opens = 0;
    std::shared_ptr<VirtualFrameMonitor> monitor;
    adjustOptions = [&](StartOptions& o) {
        o.frameOpener = [&](const std::string& arg, std::string& error) -> std::unique_ptr<ScsiUnit> {
            if (opens++ > 0 && cut >= 0) {
                error = "gone";
                return nullptr;
            }
            try {
                auto f = VirtualFrame::Open(cut >= 0 ? arg + ",unplug_after=" + std::to_string(cut) : arg);
                monitor = f->Monitor();
                return f;
            } catch (const std::exception& e) {
                error = e.what();
                return nullptr;
            }
        };
    };
    // A dry run counts the commands of the read and of the commit.
    Seed(frame, old);
    ASSERT_TRUE(StartIdle());
    const long readCommands = long(monitor->CommandCount());
    Drop(files);
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    ASSERT_TRUE(Synchronize());
    const long allCommands = long(monitor->CommandCount());
    dlg.reset();

    enum class Leave { Unchanged, Edited, MidWrite };
    for (Leave leave : {Leave::Unchanged, Leave::Edited, Leave::MidWrite}) {
        SCOPED_TRACE(int(leave));
        QFile::remove(path);
        Format(frame, 128, 128, 60);
        Seed(frame, old);
        opens = 0;
        boxes.clear();
        cut = leave == Leave::MidWrite ? readCommands + (allCommands - readCommands) / 2 : -1;
        ASSERT_TRUE(StartIdle());
        if (leave != Leave::Unchanged) {
            Drop(leave == Leave::Edited ? files.mid(0, 1) : files);
            ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
            ASSERT_TRUE(WaitIdle());
        }
        if (leave == Leave::MidWrite) {
            Click(IDC_BUTTON_SEND);
            ASSERT_TRUE(WaitFor([&] { return boxes.contains(T("DOWNLOADFAIL_TIPS")); }));
        } else {
            ASSERT_TRUE(QFile::rename(path, path + ".gone"));
        }
        ASSERT_TRUE(WaitFor([&] { return !dlg->IsConnected() && !dlg->IsDownloading(); }));
        QTest::qWait(200);
        const QString shown = dlg->StatusText();
        if (leave != Leave::MidWrite) {
            ASSERT_TRUE(QFile::rename(path + ".gone", path));
        }
        QString expected = T("DEVICEOFF_TIPS");
        if (leave != Leave::Unchanged)
            expected += QLatin1Char(' ') + T("CHANGESLOST_STATUS");
        if (leave == Leave::MidWrite)
            expected += QLatin1Char(' ') +
                        T("WRITE_PARTLY_STATUS").arg(int(ReadBack(frame).size() - old.size())).arg(files.size());
        EXPECT_EQ(shown, expected);
        dlg.reset();
    }
}

} // namespace
} // namespace kestova::win::test
