// SPDX-License-Identifier: GPL-3.0-or-later
// What mackestova writes and shows that it did not make itself: Upload into
// a folder where names are taken by links, FIFOs and folders, Upload from
// work files that are no longer plain files, an LCD size no picture can be
// made for, and a frame holder whose name carries control bytes.

#include "tests/mac/MacTestSupport.h"

#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/AlbumLayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QTest>

#include <sys/prctl.h>
#include <sys/stat.h>

using namespace kestova;
using namespace kestova::mac;
using namespace kestova::mac::test;

namespace {

QByteArray Slurp(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What a name is, without following a link: 'f' regular file, 'l' link,
// 'p' FIFO, 'd' folder, '-' nothing.
char KindOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return '-';
    return S_ISREG(st.st_mode) ? 'f' : S_ISLNK(st.st_mode) ? 'l' : S_ISFIFO(st.st_mode) ? 'p' : S_ISDIR(st.st_mode) ? 'd' : '?';
}

void Spit(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

class MacFiles : public MacHarness {
protected:
    // Starts on a fresh frame and adds two pictures through the stage.
    void StartWithTwoPictures()
    {
        MakeFrame(frame);
        Start(frame);
        ASSERT_TRUE(WaitOnlineIdle());
        AddThroughStage(SavePng(QuarterPicture(128, 128), "a.png"));
        AddThroughStage(SavePng(NoisePicture(128, 128, 30), "b.png"));
        ASSERT_EQ(Rows().size(), 2);
    }
    QString Work(int n) const { return fe->gmyResousepath + QStringLiteral("/data/Picture%1.bmp").arg(n); }
};

TEST_F(MacFiles, UploadNeverWritesOutsideTheFolderAndSaysWhyItFailed)
{
    StartWithTwoPictures();
    const QByteArray picture1 = Slurp(Work(1));
    const QByteArray picture2 = Slurp(Work(2));
    ASSERT_FALSE(picture1.isEmpty());

    // Each case prepares the chosen folder (and maybe a work file) and says
    // what must be found afterwards. "outside" is a file beside the folder.
    enum class Kind { Saved, Refused };
    struct Case {
        const char* name;
        std::function<void(const QString& folder, const QString& outside)> plant;
        Kind kind;
        const char* why;  // in the status when refused
        bool firstIsPicture;  // 1.bmp then holds picture 1
    };
    const Case cases[] = {
        {"dangling link at 1.bmp",
         [](const QString& folder, const QString& outside) {
             ASSERT_TRUE(QFile::link(outside, folder + "/1.bmp"));
         },
         Kind::Saved, "", true},
        {"link to an existing file at 1.bmp",
         [](const QString& folder, const QString& outside) {
             Spit(outside, "keep me");
             ASSERT_TRUE(QFile::link(outside, folder + "/1.bmp"));
         },
         Kind::Saved, "", true},
        {"FIFO at 1.bmp",
         [](const QString& folder, const QString&) {
             ASSERT_EQ(::mkfifo(QFile::encodeName(folder + "/1.bmp").constData(), 0600), 0);
         },
         Kind::Refused, "/1.bmp: it is not a regular file", false},
        {"folder at 1.bmp", [](const QString& folder, const QString&) { ASSERT_TRUE(QDir(folder).mkdir("1.bmp")); },
         Kind::Refused, "/1.bmp: it is not a regular file", false},
        {"work file turned into a FIFO",
         [this](const QString& folder, const QString&) {
             Spit(folder + "/1.bmp", "older picture");
             ASSERT_TRUE(QFile::remove(Work(1)));
             ASSERT_EQ(::mkfifo(QFile::encodeName(Work(1)).constData(), 0600), 0);
         },
         Kind::Refused, "/data/Picture1.bmp: not a regular file", false},
        {"work file turned into a link",
         [this](const QString& folder, const QString& outside) {
             Spit(folder + "/1.bmp", "older picture");
             Spit(outside, "secret");
             ASSERT_TRUE(QFile::remove(Work(1)));
             ASSERT_TRUE(QFile::link(outside, Work(1)));
         },
         Kind::Refused, "/data/Picture1.bmp: ", false},
        {"work file gone",
         [this](const QString& folder, const QString&) {
             Spit(folder + "/1.bmp", "older picture");
             ASSERT_TRUE(QFile::remove(Work(1)));
         },
         Kind::Refused, "/data/Picture1.bmp: No such file", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = tmp.filePath(QStringLiteral("up%1").arg(n));
        const QString outside = tmp.filePath(QStringLiteral("outside%1").arg(n++));
        ASSERT_TRUE(QDir().mkpath(folder));
        // Every case starts from whole work files.
        QFile::remove(Work(1));
        Spit(Work(1), picture1);
        c.plant(folder, outside);
        const QByteArray outsideBefore = Slurp(outside);
        const bool outsideExisted = (KindOf(outside) != '-');
        const char firstBefore = KindOf(folder + "/1.bmp");
        const QByteArray firstBytesBefore = firstBefore == 'f' ? Slurp(folder + "/1.bmp") : QByteArray();

        fe->chooseFolder = [&] { return QUrl::fromLocalFile(folder); };
        // Something has the name 1.bmp: the person is asked and says Replace.
        QString asked;
        QTimer::singleShot(0, [&asked] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            asked = box->text();
            for (QAbstractButton* b : box->buttons())
                if (b->text() == "Replace")
                    QTest::mouseClick(b, Qt::LeftButton);
        });
        Click("upld_0");
        EXPECT_EQ(asked, "1 file in this folder will be replaced (1.bmp). Replace it?");

        // Nothing outside the folder changed, whatever was planted.
        EXPECT_EQ((KindOf(outside) != '-'), outsideExisted);
        EXPECT_EQ(Slurp(outside), outsideBefore);
        // The second picture is always saved whole.
        EXPECT_EQ(Slurp(folder + "/2.bmp"), picture2);
        const char first = KindOf(folder + "/1.bmp");
        if (c.kind == Kind::Saved) {
            EXPECT_EQ(Status(), QStringLiteral("Saved 2 picture(s) in %1").arg(QDir::toNativeSeparators(folder)));
            EXPECT_EQ(first, 'f');
        } else {
            EXPECT_TRUE(Status().startsWith("Couldn't save the picture(s): ")) << Status().toStdString();
            EXPECT_TRUE(Status().contains(QString::fromLatin1(c.why))) << Status().toStdString();
            // What had the name is as it was.
            EXPECT_EQ(first, firstBefore);
            if (firstBefore == 'f') {
                EXPECT_EQ(Slurp(folder + "/1.bmp"), firstBytesBefore);
            }
        }
        if (c.firstIsPicture) {
            EXPECT_EQ(Slurp(folder + "/1.bmp"), picture1);
        }
    }
}

TEST_F(MacFiles, OversizedLcdIsRefusedInWords)
{
    // Information blocks that claim LCDs no picture here can be made for.
    const struct {
        uint16_t w, h;
    } sizes[] = {{4097, 1}, {1, 4097}, {16000, 16000}};
    int n = 0;
    for (const auto& s : sizes) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        const std::string path = tmp.filePath(QStringLiteral("lcd%1.img").arg(n++)).toStdString();
        FormatFrameImage(path, {}, true);
        QFile f(QString::fromStdString(path));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        QByteArray img = f.readAll();
        std::vector<uint8_t> bytes(img.begin(), img.end());
        album::PutLE16(bytes, 35, s.w);
        album::PutLE16(bytes, 37, s.h);
        f.seek(0);
        f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        f.close();

        finished = 0;
        Start(path);
        ASSERT_TRUE(WaitFor([&] { return finished >= 1 && !fe->gmyIsTransferData; }));
        EXPECT_TRUE(Status().startsWith("Read picture(s) failed! (the frame reports an LCD larger than any picture"))
            << Status().toStdString();
        EXPECT_TRUE(Rows().isEmpty());
        EXPECT_TRUE(Count().startsWith("000/")) << Count().toStdString();
        EXPECT_FALSE(C<QWidget>("slet_0")->isEnabled());
        fe->WaitForTask();
        fe.reset();
    }
}

TEST_F(MacFiles, HolderNameWithControlBytesIsShownEscaped)
{
    MakeFrame(frame);
    // The frame is held by this process, under a name made to rewrite a
    // terminal and to look like markup.
    char before[32] = {};
    ::prctl(PR_GET_NAME, before);
    ::prctl(PR_SET_NAME, "x\x1b[2J<b>y</b>");
    auto holder = VirtualFrame::Open(frame);
    Start(frame);
    const bool shown = WaitFor([&] { return Status().startsWith("The frame is in use by "); }, 5000);
    ::prctl(PR_SET_NAME, before);
    ASSERT_TRUE(shown) << Status().toStdString();
    EXPECT_TRUE(Status().startsWith("The frame is in use by process 'x\\x1B[2J<b>y</b>' (pid ")) << Status().toStdString();
    EXPECT_EQ(C<QLabel>("dnol_0")->textFormat(), Qt::PlainText);
}
