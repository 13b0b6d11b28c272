// SPDX-License-Identifier: GPL-3.0-or-later
// kestova's export through the real window: Save and Save all as BMP and
// JPEG with the overwrite questions, and a JPEG that cannot be written.

#include "tests/win/WinSessionSupport.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>

namespace kestova::win::test {
namespace {

TEST_F(WinSession, SaveAsBmpAndJpegWithTheOverwriteQuestions)
{
    std::vector<Bytes> six;
    for (int i = 0; i < 6; ++i)
        six.push_back(DevicePicture(Noise(128, 128, 30, unsigned(i))));
    Seed(frame, six);
    const QString out = tmp.filePath("out dir");
    QDir().mkpath(out);
    adjustOptions = [&](StartOptions& o) {
        o.folderDialog = [&](QWidget*, const QString& title) {
            EXPECT_EQ(title, T("SAVEDIR_TIPS"));
            return out;
        };
        o.saveFileDialog = [&](QWidget*, const QString&) { return out + "/one.JPG"; };
    };
    ASSERT_TRUE(StartIdle());
    const QString format = T("SAVE_TIPS_2");
    // The final box says where the files went.
    const QString kSaved = T("SAVEPICFINISH_TIPS") + "\n" + T("SAVEDIN_TIPS").arg(out);
    int overwriteAnswer = QMessageBox::No;
    bool asBmp = true;
    answerFor = [&](const QString& text) {
        if (text == format)
            return int(asBmp ? QMessageBox::Yes : QMessageBox::No);
        if (text.startsWith("File "))
            return overwriteAnswer;
        return int(QMessageBox::Ok);
    };

    // Entries 2, 5, 6 as BMP: the cache bitmaps under their positions.
    SelectEntries({1, 4, 5});
    Click(IDC_BUTTON_SAVE);
    EXPECT_EQ(boxes, QStringList({format, kSaved}));
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"0002.bmp", "0005.bmp", "0006.bmp"}));
    for (int k : {1, 4, 5}) {
        QFile a(dlg->CachePaths()[k]), b(out + QString::asprintf("/%04d.bmp", k + 1));
        ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        EXPECT_EQ(a.readAll(), b.readAll()) << k;
    }
    // Again: one question; No stops the run without the final box.
    boxes.clear();
    Click(IDC_BUTTON_SAVE);
    EXPECT_EQ(boxes, QStringList({format, QString("File %1/0002.bmp existed, want to over write?").arg(out)}));

    // JPEG: 0005.jpg exists; No skips only it.
    asBmp = false;
    QFile keep(out + "/0005.jpg");
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.write("mine");
    keep.close();
    boxes.clear();
    Click(IDC_BUTTON_SAVE);
    EXPECT_EQ(boxes, QStringList({format, QString("File %1/0005.jpg existed, want to over write?").arg(out), kSaved}));
    QFile mine(out + "/0005.jpg");
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
    EXPECT_EQ(mine.readAll(), "mine");
    for (const char* name : {"/0002.jpg", "/0006.jpg"}) {
        const QImage j(out + name);
        EXPECT_EQ(j.size(), QSize(128, 128)) << name;
    }

    // One entry to a name ending in ".JPG": a JPEG.
    SelectEntries({2});
    boxes.clear();
    Click(IDC_BUTTON_SAVE);
    EXPECT_TRUE(boxes.isEmpty());
    QFile one(out + "/one.JPG");
    ASSERT_TRUE(one.open(QIODevice::ReadOnly));
    EXPECT_TRUE(one.read(3) == QByteArray("\xFF\xD8\xFF", 3));
}

// Save all as a person meets it, with the real dialogs: the format
// question's buttons read BMP and JPEG (JPEG still being the No answer), the
// folder chooser opens in the pictures folder, and the last box says where
// the files went.
TEST_F(WinSession, SaveAllOffersBmpOrJpegStartsInPicturesAndSaysWhere)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2))});
    const QString mine = tmp.filePath("My Pictures");
    const QString out = mine + "/frame";
    QDir().mkpath(out);
    QDir().mkpath(tmp.filePath("config"));
    WriteText(tmp.filePath("config/user-dirs.dirs"), QStringLiteral("XDG_PICTURES_DIR=\"%1\"\n").arg(mine));
    adjustOptions = [](StartOptions& o) { o.messageBox = nullptr; };
    ASSERT_TRUE(StartIdle());
    QStringList formatButtons;
    QString startFolder, finalText;
    AnswerModals(dlg.get(), [&](QWidget* modal) {
        if (auto* chooser = qobject_cast<QFileDialog*>(modal)) {
            startFolder = chooser->directory().absolutePath();
            chooser->setDirectory(out);
            QDialogButtonBox* buttons = chooser->findChild<QDialogButtonBox*>();
            ASSERT_NE(buttons, nullptr);
            QTest::mouseClick(buttons->button(QDialogButtonBox::Open), Qt::LeftButton);
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        if (box->button(QMessageBox::Cancel)) {
            formatButtons << box->button(QMessageBox::Yes)->text() << box->button(QMessageBox::No)->text();
            QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
            return;
        }
        finalText = box->text();
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    Click(IDC_BUTTON_SAVEALL);
    ASSERT_TRUE(WaitFor([&] { return !finalText.isEmpty(); }));
    EXPECT_EQ(formatButtons, QStringList({"BMP", "JPEG"}));
    EXPECT_EQ(startFolder, mine);
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"0001.jpg", "0002.jpg"}));
    EXPECT_EQ(finalText, T("SAVEPICFINISH_TIPS") + "\n" + T("SAVEDIN_TIPS").arg(out));
}

// JPEG files that cannot be written (here: a folder holds the name): the
// run still writes the others, but ends saying which were not saved rather
// than that all were; a single Save says so as it does for a bitmap.
TEST_F(WinSession, AJpegThatCannotBeWrittenIsNotReportedAsSaved)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2)),
                 DevicePicture(Noise(128, 128, 30, 3))});
    const QString out = tmp.filePath("out");
    QDir().mkpath(out + "/0002.jpg");
    QDir().mkpath(out + "/taken.jpg");
    adjustOptions = [&](StartOptions& o) {
        o.folderDialog = [&](QWidget*, const QString&) { return out; };
        o.saveFileDialog = [&](QWidget*, const QString&) { return out + "/taken.jpg"; };
    };
    ASSERT_TRUE(StartIdle());
    answerFor = [&](const QString& text) {
        if (text == T("SAVE_TIPS_2"))
            return int(QMessageBox::No);  // JPEG
        return int(text.startsWith("File ") ? QMessageBox::Yes : QMessageBox::Ok);
    };
    Click(IDC_BUTTON_SAVEALL);
    ASSERT_EQ(boxes.size(), 3) << boxes.join('|').toStdString();
    EXPECT_EQ(boxes[1], QString("File %1/0002.jpg existed, want to over write?").arg(out));
    EXPECT_NE(boxes[2], T("SAVEPICFINISH_TIPS"));
    EXPECT_TRUE(boxes[2].contains("0002.jpg")) << boxes[2].toStdString();
    for (const char* name : {"/0001.jpg", "/0003.jpg"})
        EXPECT_EQ(QImage(out + name).size(), QSize(128, 128)) << name;

    SelectEntries({0});
    boxes.clear();
    Click(IDC_BUTTON_SAVE);
    EXPECT_EQ(boxes, QStringList{"Save jpg file failed!"});
}


// Save and Save all chose their rows, then a dialog opened; under it the
// frame left and another album came back (read to its end). Answering the
// dialog must not write that album's pictures under the old positions: it
// says the pictures cannot be saved and writes nothing.
TEST_F(WinSession, SaveAfterTheFrameWasSwappedUnderTheDialogWritesNothing)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2))});
    const QString out = tmp.filePath("out");
    QDir().mkpath(out);
    const std::string other = frame + ".other";
    const QString away = QString::fromStdString(frame) + ".away";
    auto makeOther = [&] {
        Format(other, 128, 128, 20);
        Seed(other, {DevicePicture(Noise(128, 128, 50, 7)), DevicePicture(Noise(128, 128, 50, 8)),
                     DevicePicture(Noise(128, 128, 50, 9))});
    };
    auto swapFrame = [&] {
        // The frame leaves; a different album comes back in its place.
        EXPECT_TRUE(QFile::rename(QString::fromStdString(frame), away));
        EXPECT_TRUE(WaitFor([&] { return !dlg->IsConnected(); }));
        EXPECT_TRUE(QFile::copy(QString::fromStdString(other), QString::fromStdString(frame)));
        EXPECT_TRUE(WaitFor([&] { return Album()->count() == 3; }, 60000));
        EXPECT_TRUE(WaitIdle());
        QFile::remove(away);
        QFile::remove(QString::fromStdString(other));
        makeOther();
    };
    makeOther();
    adjustOptions = [&](StartOptions& o) {
        o.folderDialog = [&](QWidget*, const QString&) {
            swapFrame();
            return out;
        };
        o.saveFileDialog = [&](QWidget*, const QString&) {
            swapFrame();
            return out + "/one.bmp";
        };
    };
    ASSERT_TRUE(StartIdle());
    answerFor = [&](const QString& text) {
        return int(text == T("SAVE_TIPS_2") ? QMessageBox::Yes : QMessageBox::Ok);
    };
    for (int button : {IDC_BUTTON_SAVE, IDC_BUTTON_SAVEALL}) {
        SCOPED_TRACE(button);
        SelectEntries({1});
        boxes.clear();
        Click(button);
        ASSERT_FALSE(boxes.isEmpty()) << "the swapped album was saved without a word";
        EXPECT_EQ(boxes.last(), T("SAVE_TIPS_3")) << boxes.join('|').toStdString();
        EXPECT_TRUE(QDir(out).entryList(QDir::Files).isEmpty());
    }
}

} // namespace
} // namespace kestova::win::test
