// SPDX-License-Identifier: GPL-3.0-or-later
// What mackestova writes and shows that it did not make itself: Upload into
// a folder where names are taken by links, FIFOs and folders, Upload from
// work files that are no longer plain files, an LCD size no picture can be
// made for, a frame holder whose name carries control bytes, file names that
// are not UTF-8, and picture files the reader refuses.

#include "tests/mac/MacTestSupport.h"

#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/AlbumLayout.h"
#include "imaging/LocalNames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QBuffer>
#include <QTest>
#include <QTreeWidget>

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

// Writes `bytes` under the file name `name` (any bytes) in `folder`.
void SpitNamed(const QString& folder, const QByteArray& name, const QByteArray& bytes)
{
    const QByteArray path = BytesOfName(folder) + '/' + name;
    FILE* out = std::fopen(path.constData(), "wb");
    ASSERT_NE(out, nullptr) << path.toStdString();
    ASSERT_EQ(std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), out), std::size_t(bytes.size()));
    std::fclose(out);
}

QByteArray Encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

quint32 Crc32(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char b : bytes) {
        crc ^= quint8(b);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A PNG whose header claims width x height, with a few bytes of pixel data.
QByteArray ClaimedPng(quint32 width, quint32 height)
{
    auto chunk = [](const char* type, const QByteArray& data) {
        QByteArray c;
        const auto be32 = [&c](quint32 v) {
            for (int shift = 24; shift >= 0; shift -= 8)
                c.append(char((v >> shift) & 0xFF));
        };
        be32(quint32(data.size()));
        const QByteArray body = QByteArray(type) + data;
        c += body;
        be32(Crc32(body));
        return c;
    };
    QByteArray header(13, '\0');
    for (int i = 0; i < 4; ++i) {
        header[i] = char((width >> (24 - 8 * i)) & 0xFF);
        header[4 + i] = char((height >> (24 - 8 * i)) & 0xFF);
    }
    header[8] = 8;  // bit depth
    header[9] = 2;  // RGB
    const QByteArray pixels = qCompress(QByteArray(64, 0)).mid(4);  // a zlib stream
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", pixels) + chunk("IEND", {});
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

// Names that are not valid UTF-8, and names with control characters, are
// listed with those bytes escaped, placed by a double click, added alone (and
// reached by the advance after an add) and in a batch. A name the Open
// dialog spells without its bytes is found again when one file alone is
// spelled so, and refused with the reason otherwise.
TEST_F(MacFiles, NamesThatAreNotUtf8AreListedPlacedAndAdded)
{
    MakeFrame(frame);
    const QString folder = tmp.filePath("odd");
    ASSERT_TRUE(QDir().mkpath(folder));
    const struct {
        QByteArray name;
        QSize size;
    } files[] = {{"bad\xff\xfename.png", {160, 240}},
                 {"ctl\x1bname.png", {300, 200}},
                 {"ok.png", {200, 150}},
                 {"twin\xfe.png", {170, 130}},
                 {"twin\xff.png", {130, 170}}};
    for (const auto& f : files)
        SpitNamed(folder, f.name, Encoded(QuarterPicture(f.size.width(), f.size.height()), "PNG"));
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());

    tagFILEITEM* row = OpenFolderRow(folder);
    ASSERT_NE(row, nullptr);
    QStringList shown;
    for (int i = 0; i < row->item->childCount(); ++i)
        shown << row->item->child(i)->text(0);
    EXPECT_EQ(shown.join('|').toStdString(),
              "bad\\xFF\\xFEname.png|ctl\\x1Bname.png|ok.png|twin\\xFE.png|twin\\xFF.png");
    ASSERT_EQ(row->item->childCount(), 5);
    const auto placedSize = [&] {
        EXPECT_TRUE(WaitFor([&] { return !fe->cropTool->Loading(); }));
        return fe->cropTool->Picture() ? fe->cropTool->Picture()->image.size() : QSize();
    };

    // Alone: a double click places it, Add adds it and places the next row;
    // the advance from ok.png reaches a name that is not UTF-8.
    const struct {
        int row;
        QSize next;
    } alone[] = {{0, files[1].size}, {2, files[3].size}};
    int added = 0;
    for (const auto& a : alone) {
        ClickBrowserRow(row->item->child(a.row), {}, true);
        EXPECT_EQ(placedSize(), files[a.row].size);
        Click("slet_0");
        EXPECT_EQ(Rows().size(), ++added);
        EXPECT_EQ(placedSize(), a.next);
    }

    // In a batch, three of them.
    ClickBrowserRow(row->item->child(0));
    ClickBrowserRow(row->item->child(3), Qt::ControlModifier);
    ClickBrowserRow(row->item->child(4), Qt::ControlModifier);
    const int before = finished;
    Click("slet_0");
    ASSERT_TRUE(WaitFinished(before + 1));
    EXPECT_EQ(Rows().size(), added + 3);
    EXPECT_EQ(Status().toStdString(), "The sequence number: " + std::to_string(added + 3));
    EXPECT_EQ(placedSize(), files[4].size);

    // The Open dialog's spelling of a name: each odd byte as U+FFFD.
    const QString odd(QChar(QChar::ReplacementCharacter));
    const QString hint = QStringLiteral("choose the file in the file browser");
    const struct {
        QString spelled;
        QSize placed;
        QString status;
    } chosen[] = {
        {"bad" + odd + odd + "name.png", files[0].size, ""},
        {"twin" + odd + ".png", {},
         "Couldn't Process: twin" + odd + ".png: the Open dialog gave this name without its own bytes and 2 files "
         "match it; " + hint},
        {"gone" + odd + ".png", {},
         "Couldn't Process: gone" + odd + ".png: the Open dialog gave this name without its own bytes and no file "
         "is named so; " + hint},
    };
    for (const auto& c : chosen) {
        SCOPED_TRACE(c.spelled.toStdString());
        Place(folder + "/ok.png");
        ASSERT_EQ(placedSize(), files[2].size);
        Place(folder + "/" + c.spelled);
        EXPECT_EQ(placedSize(), c.placed);
        EXPECT_EQ(Status().toStdString(), c.status.toStdString());
    }
}

// A file the picture reader refuses says why, placed alone through Open and
// when left out of a batch; the batch ends naming every file it left out, in
// the browser's order, names escaped.
TEST_F(MacFiles, RefusedFilesSayWhyAloneAndInABatch)
{
    MakeFrame(frame);
    const QString folder = tmp.filePath("refused");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QByteArray jpeg = Encoded(NoisePicture(200, 150, 60), "JPEG");
    const struct {
        QByteArray name;
        QByteArray bytes;
        QString shown;
        QString why;  // the reason starts so; empty: a picture
    } files[] = {
        {"claims.png", ClaimedPng(60000, 60000), "claims.png", "the picture is 60000 x 60000 pixels"},
        {"ctl\x01\xff.png", "plain words", "ctl\\x01\\xFF.png", "not a picture file"},
        {"cut.jpg", jpeg.left(jpeg.size() / 2), "cut.jpg", "the file is truncated"},
        {"good.png", Encoded(QuarterPicture(180, 120), "PNG"), "good.png", ""},
        {"more.png", Encoded(NoisePicture(120, 180, 30), "PNG"), "more.png", ""},
        {"words.jpg", "only words, named as a JPEG\n", "words.jpg", "not a picture file"},
    };
    for (const auto& f : files)
        SpitNamed(folder, f.name, f.bytes);
    Start(frame);
    ASSERT_TRUE(WaitOnlineIdle());

    // Alone: "Couldn't Process", the name and the reader's reason.
    QStringList notAdded;  // what the batch must say of each, in order
    for (const auto& f : files) {
        if (f.why.isEmpty())
            continue;
        SCOPED_TRACE(f.shown.toStdString());
        Place(NameFromBytes(BytesOfName(folder) + '/' + f.name));
        EXPECT_EQ(fe->cropTool->Picture(), nullptr);
        const QString head = "Couldn't Process: " + f.shown + ": ";
        EXPECT_TRUE(Status().startsWith(head + f.why)) << Status().toStdString();
        notAdded << f.shown + " (" + Status().mid(head.size()) + ")";
    }

    // In a batch: the pictures are added, the others named at the end; a
    // second batch over the same rows names them again.
    tagFILEITEM* row = OpenFolderRow(folder);
    ASSERT_NE(row, nullptr);
    ASSERT_EQ(row->item->childCount(), 6);
    for (int batch = 1; batch <= 2; ++batch) {
        SCOPED_TRACE(batch);
        ClickBrowserRow(row->item->child(0));
        ClickBrowserRow(row->item->child(5), Qt::ShiftModifier);
        const int before = finished;
        Click("slet_0");
        ASSERT_TRUE(WaitFinished(before + 1));
        EXPECT_EQ(Count(), QStringLiteral("%1/060").arg(2 * batch, 3, 10, QChar('0')));
        EXPECT_EQ(Status().toStdString(), ("Not added: " + notAdded.join(", ")).toStdString());
    }
}
