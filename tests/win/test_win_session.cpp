// kestova against virtual frames, whole sessions through the real window:
// reading the album at start, damaged pictures, adding (preview, drop,
// command line), fitting, a full album, Delete, Synchronize and its
// failures, the frame leaving during a read and during a commit, quitting
// during a commit, the frame's colours, and export. After every
// Synchronize the flash is read back with a fresh facade and compared with
// what the window showed.

#include "tests/win/WinTestSupport.h"
#include "tests/support/HostilePictures.h"
#include "tests/support/PictureSupport.h"

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"
#include "device/FrameLock.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/DPF.h"
#include "imaging/Preparation.h"
#include "session/FrameSession.h"
#include "win/Messages.h"
#include "win/widgets/AlbumList.h"
#include "win/widgets/FolderTree.h"
#include "win/widgets/Preview.h"

#include <filesystem>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTreeWidget>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QRegularExpression>
#include <QUrl>

#include <atomic>
#include <random>
#include <set>

// Readable failures.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace kestova::win::test {
namespace {

using Bytes = std::vector<uint8_t>;

using kestova::test::DevicePicture;
using kestova::test::Noise;

// A facade of its own on a frame image: what another program would see.
struct Outside {
    explicit Outside(const std::string& path)
    {
        auto link = std::make_unique<CCommUSB>();
        link->AttachUnit(VirtualFrame::Open(path + ",sync=0"));
        dpf.Init(std::move(link));
    }
    DPF dpf;
    session::FrameSession s{dpf};
};

void Format(const std::string& path, int width, int height, int maxPictures)
{
    FrameImageLayout layout;
    layout.maxPictures = uint16_t(maxPictures);
    layout.lcdWidth = uint16_t(width);
    layout.lcdHeight = uint16_t(height);
    FormatFrameImage(path, layout, true, width > 0);
}

void Seed(const std::string& path, const std::vector<Bytes>& pictures, int colours = -1)
{
    Outside o(path);
    ASSERT_TRUE(o.s.Open().ok());
    for (const Bytes& p : pictures)
        ASSERT_EQ(o.dpf.AddData(p.data(), int(p.size())), 1);
    ASSERT_TRUE(o.s.Commit().ok());
    if (colours >= 0)
        o.dpf.SetAlbumColors(uint16_t(colours), uint16_t(colours));
}

// The album on the flash, every picture decoded (empty pixels: not decodable).
std::vector<session::AlbumPicture> ReadBack(const std::string& path)
{
    // Read a byte copy: the window holds the frame itself for as long as it
    // shows the album, so another link on the same image would be refused.
    static int views = 0;
    const std::string view = path + ".view" + std::to_string(++views);
    std::filesystem::copy_file(path, view, std::filesystem::copy_options::overwrite_existing);
    Outside o(view);
    std::vector<session::AlbumPicture> out;
    const session::OpenResult r = o.s.Open();
    EXPECT_TRUE(r.ok()) << session::OpenFailureText(r);
    for (int i = 0; i < r.info.pictures; ++i)
        out.push_back(o.s.ReadPicture(i));
    return out;
}

QString SavePicture(const QString& path, const RgbImage& img)
{
    QImage q(img.rgb.data(), img.width, img.height, img.width * 3, QImage::Format_RGB888);
    EXPECT_TRUE(q.copy().save(path)) << path.toStdString();
    return path;
}

QImage Solid(int w, int h, QColor c)
{
    QImage q(w, h, QImage::Format_RGB32);
    q.fill(c);
    return q;
}

class WinSession : public WinHarness {
protected:
    void SetUp() override
    {
        WinHarness::SetUp();
        if (HasFatalFailure())
            return;
        ShipFactoryFiles();
        pictures = tmp.filePath(QStringLiteral("pictures"));
        QDir().mkpath(pictures);
    }

    bool StartIdle()
    {
        if (!Start())
            return false;
        return WaitIdle();
    }
    bool WaitIdle(int ms = 30000)
    {
        return WaitFor(
            [&] {
                return dlg && dlg->IsConnected() && !dlg->IsReading() && !dlg->IsDownloading() &&
                       !dlg->IsProcessing() && C<QWidget>(IDC_BUTTON_SEND)->isEnabled();
            },
            ms);
    }
    CAlbumList* Album() { return C<CAlbumList>(IDC_LIST_ALBUM); }
    QStringList Labels()
    {
        QStringList l;
        for (int i = 0; i < Album()->count(); ++i)
            l << Album()->item(i)->text();
        return l;
    }
    static QStringList Numbered(int n)
    {
        QStringList l;
        for (int i = 1; i <= n; ++i)
            l << QString::asprintf("%04d.bmp", i);
        return l;
    }
    void Click(int id)
    {
        QPushButton* b = C<QPushButton>(id);
        ASSERT_NE(b, nullptr);
        QTest::mouseClick(b, Qt::LeftButton);
    }
    // Ctrl-clicks album entries (0-based) so exactly they are selected.
    void SelectEntries(const QList<int>& rows)
    {
        Album()->clearSelection();
        for (int r : rows) {
            const QRect rect = Album()->visualItemRect(Album()->item(r));
            Album()->scrollToItem(Album()->item(r));
            QTest::mouseClick(Album()->viewport(), Qt::LeftButton, Qt::ControlModifier,
                              Album()->visualItemRect(Album()->item(r)).center());
            (void)rect;
        }
    }
    void Drop(const QStringList& paths)
    {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& p : paths)
            urls << QUrl::fromLocalFile(p);
        mime.setUrls(urls);
        const QPoint at(300, 300);
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dlg.get(), &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dlg.get(), &drop);
    }
    bool Synchronize()
    {
        dlg->activateWindow();
        Album()->setFocus();
        QTest::keyClick(Album(), Qt::Key_S, Qt::ControlModifier);
        return WaitFor([&] { return !dlg->IsDownloading(); }) && WaitIdle();
    }
    int Count(const QString& text) const { return int(boxes.count(text)); }
    // A text of the current language (the shipped file's English).
    QString T(const char* key) const { return dlg->LookupText(QString::fromLatin1(key), QStringLiteral("<missing>")); }

    // The flash, read from outside, holds exactly the window's pictures in
    // its order, each decoding to the cache bitmap the window showed.
    void ExpectFlashShowsTheWindow()
    {
        const std::vector<session::AlbumPicture> back = ReadBack(frame);
        ASSERT_EQ(int(back.size()), Album()->count());
        ASSERT_EQ(dlg->CachePaths().size(), Album()->count());
        EXPECT_EQ(Labels(), Numbered(Album()->count()));
        for (size_t i = 0; i < back.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_TRUE(back[i].ok());
            RgbImage cached;
            ASSERT_TRUE(ReadBmp(QFile::encodeName(dlg->CachePaths()[int(i)]).toStdString(), cached));
            EXPECT_EQ(cached.width, back[i].pixels.width);
            EXPECT_TRUE(cached.rgb == back[i].pixels.rgb);
        }
    }

    QString pictures;
};


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

QByteArray FileBytes(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
    EXPECT_FALSE(QFile::exists(cache[1]));
    EXPECT_FALSE(QFile::exists(cache[3]));
    EXPECT_EQ(dlg->CachePaths(), QStringList({cache[0], cache[2], cache[4], cache[5], cache[6]}));
    EXPECT_TRUE(C<CPreview>(IDC_PREVIEW)->SourcePath().isEmpty());  // the deleted entry is not kept

    // The freed cache number 0001 is taken by the next picture.
    ASSERT_TRUE(C<CPreview>(IDC_PREVIEW)->LoadPicture(big));
    Click(IDC_BTN_ADDTODPF);
    EXPECT_TRUE(dlg->CachePaths().last().endsWith("0001.bmp")) << dlg->CachePaths().last().toStdString();

    ASSERT_TRUE(Synchronize());
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
    // a name whose last five characters hold no accepted extension.
    QStringList items;
    for (int k = 0; k < 130; ++k) {
        QString name = QString("/p%1.bmp").arg(k, 3, 10, QChar('0'));
        if (k == 1)
            name = "/UPPER.JPG";
        if (k == 2)
            name = "/two.jpeg.bak";
        const QImage q = Solid(64, 64, QColor(k, k, k));
        ASSERT_TRUE(q.save(pictures + name, k == 1 || k == 2 ? "JPG" : "BMP"));
        items << pictures + name;
    }
    Drop(items);
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }, 120000));
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Album()->count(), 124);
    // In order, item 2 left out, nothing after item 124.
    QList<int> expected;
    for (int k = 0; k < 125; ++k)
        if (k != 2)
            expected << k;
    for (int i = 0; i < 124; ++i) {
        RgbImage cached;
        ASSERT_TRUE(ReadBmp(QFile::encodeName(dlg->CachePaths()[i]).toStdString(), cached));
        const int grey = cached.rgb[size_t(32 * 64 + 32) * 3];
        EXPECT_NEAR(grey, expected[i], 3) << i;
    }
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();

    struct NameCase {
        const char* name;
        bool dropped;    // as a dropped file
        bool inFolder;   // as a folder entry
    } names[] = {
        {"a.JPG", true, true},          {"photo.jpeg", true, true}, {"x.gif", true, true},
        {"x.jpeg.bak", false, true},    {"x.png", false, false},    {"jpg", false, false},
        {"/some.bmp/x.tif", false, true},
    };
    for (const auto& n : names) {
        EXPECT_EQ(CMainDialog::DroppedFileAccepted(n.name), n.dropped) << n.name;
        EXPECT_EQ(CMainDialog::FolderEntryAccepted(n.name), n.inFolder) << n.name;
    }
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
            files << pictures + "/broken.jpg";
            QFile junk(files.last());
            ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
            junk.write(QByteArray(5000, 'x'));
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

// A frame that refuses the commands `refuse` picks: flash instructions sent
// to it (erase, program, write enable, 0xCB) as write protected, reads
// (0xCD) as a medium error. Everything else it does as ever.
class RefusingFrame : public ScsiUnit {
public:
    using Refuse = std::function<bool(const uint8_t cdb[16])>;
    RefusingFrame(std::unique_ptr<ScsiUnit> inner, Refuse refuse) : inner_(std::move(inner)), refuse_(std::move(refuse))
    {
    }
    ScsiResult Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length, DataDirection direction,
                       unsigned timeoutMs) override
    {
        if (refuse_(cdb))
            return cdb[0] == 0xCB ? ScsiResult::Check(0x07, 0x27, 0x00) : ScsiResult::Check(0x03, 0x11, 0x00);
        return inner_->Execute(cdb, buffer, length, direction, timeoutMs);
    }
    bool Inquiry(InquiryData& out) override { return inner_->Inquiry(out); }
    void Release() override { inner_->Release(); }
    std::string Name() const override { return inner_->Name(); }

    static VirtualFrameOpener Opener(Refuse refuse)
    {
        return [refuse](const std::string& arg, std::string& error) -> std::unique_ptr<ScsiUnit> {
            try {
                return std::make_unique<RefusingFrame>(VirtualFrame::Open(arg), refuse);
            } catch (const std::exception& e) {
                error = e.what();
                return nullptr;
            }
        };
    }

private:
    std::unique_ptr<ScsiUnit> inner_;
    Refuse refuse_;
};

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

// The second of three pictures cannot be read: one entry is listed while
// the album holds three. Row and album index would name different pictures,
// so a drop adds nothing, Delete and Synchronize do nothing, and the frame
// keeps its three pictures.
TEST_F(WinSession, AReadCutOffMidwayLeavesTheAlbumUntouchable)
{
    Seed(frame, {DevicePicture(Noise(128, 128, 30, 1)), DevicePicture(Noise(128, 128, 30, 2)),
                 DevicePicture(Noise(128, 128, 30, 3))});
    uint32_t second = 0;
    {
        Outside o(frame);
        ASSERT_TRUE(o.s.Open().ok());
        int length = 0;
        ASSERT_TRUE(o.dpf.GetFileInfo(1, second, length));
    }
    adjustOptions = [&](StartOptions& o) {
        o.frameOpener = RefusingFrame::Opener([second](const uint8_t cdb[16]) {
            const uint32_t address = uint32_t(cdb[11]) << 16 | uint32_t(cdb[12]) << 8 | cdb[13];
            return cdb[0] == 0xCD && address >= second && address < second + 4096;
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

TEST_F(WinSession, QuitDuringADownloadAsksAndEndsAfterIt)
{
    std::vector<Bytes> six;
    for (int i = 0; i < 2; ++i)
        six.push_back(DevicePicture(Noise(128, 128, 40, unsigned(i))));
    Seed(frame, six);
    adjustOptions = [&](StartOptions& o) { o.frameArg = frame + ",sync=0,latency_us=3000"; };
    ASSERT_TRUE(StartIdle());
    QStringList files;
    for (int i = 0; i < 4; ++i)
        files << SavePicture(pictures + QString("/q%1.bmp").arg(i), Noise(128, 128, 60, unsigned(40 + i)));
    Drop(files);
    ASSERT_TRUE(WaitFor([&] { return !dlg->IsProcessing(); }));
    ASSERT_TRUE(WaitIdle());
    Click(IDC_BUTTON_SEND);
    ASSERT_TRUE(dlg->IsDownloading());
    answer = QMessageBox::No;
    Click(IDC_EXIT);
    EXPECT_EQ(boxes, QStringList{T("STOP_TIPS_1")});
    EXPECT_TRUE(dlg->IsDownloading());
    answer = QMessageBox::Yes;
    Click(IDC_EXIT);
    EXPECT_EQ(dlg->StatusText(), T("STOPDOWNLOAD_TIPS"));
    EXPECT_TRUE(dlg->isVisible());
    ASSERT_TRUE(WaitFor([&] { return !dlg->isVisible(); }));
    EXPECT_FALSE(dlg->IsDownloading());
    EXPECT_TRUE(QDir(dlg->CacheDirectory()).entryList({"*.bmp"}, QDir::Files).isEmpty());
    dlg.reset();
    // A whole album: the old two, or two plus what was written before the stop.
    const auto back = ReadBack(frame);
    EXPECT_GE(back.size(), 2u);
    for (const auto& p : back)
        EXPECT_TRUE(p.ok());
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
    // The facade, the session and the cache go only after the reader ended.
    dlg.reset();
    EXPECT_EQ(ReadBack(frame).size(), 10u);
}

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
        Click(IDC_BUTTON_SEND);
        // Off the bus: the window goes offline, says so, and the commit
        // reports its failure; then the frame is back and read again.
        ASSERT_TRUE(WaitFor([&] { return boxes.contains(T("DOWNLOADFAIL_TIPS")); }));
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
        ExpectFlashShowsTheWindow();
        dlg.reset();
    }
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
    const QString kSaved = T("SAVEPICFINISH_TIPS");
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

} // namespace
} // namespace kestova::win::test
