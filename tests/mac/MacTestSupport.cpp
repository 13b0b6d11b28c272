// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/mac/MacTestSupport.h"
#include "tests/support/QtTestSupport.h"

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"
#include "device/CommUSB.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/DPF.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QTest>
#include <QTreeWidget>

#include <cstdlib>
#include <random>

namespace kestova::mac::test {

void EnsureApp()
{
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char arg0[] = "test_mac";
    static char* argv[] = {arg0, nullptr};
    new QApplication(argc, argv);  // lives for the whole test program
}

void MakeFrame(const std::string& path, int maxPictures, int lcd)
{
    FrameImageLayout layout;
    layout.maxPictures = uint16_t(maxPictures);
    layout.lcdWidth = uint16_t(lcd);
    layout.lcdHeight = uint16_t(lcd);
    FormatFrameImage(path, layout, true);
}

namespace {
std::unique_ptr<DPF> OpenAlbum(const std::string& path)
{
    auto link = std::make_unique<CCommUSB>();
    link->AttachUnit(VirtualFrame::Open(path + ",sync=0"));
    auto dpf = std::make_unique<DPF>();
    dpf->Init(std::move(link));
    dpf->ReadDPFInfo();
    dpf->Read();
    return dpf;
}
} // namespace

void SeedAlbum(const std::string& path, const std::vector<Bytes>& pictures)
{
    auto dpf = OpenAlbum(path);
    for (const Bytes& p : pictures)
        ASSERT_EQ(dpf->AddData(p.data(), int(p.size())), 1);
    dpf->Update();
}

std::vector<Bytes> ReadAlbum(const std::string& path)
{
    // The program under test holds the frame while it shows the album, so
    // the album is read from a snapshot of the image, read-only.
    const QString snapshot = QString::fromStdString(path) + QStringLiteral(".snapshot");
    QFile::remove(snapshot);
    if (!QFile::copy(QString::fromStdString(path), snapshot))
        return {};
    auto link = std::make_unique<CCommUSB>();
    link->AttachUnit(VirtualFrame::Open(snapshot.toStdString()));
    auto dpf = std::make_unique<DPF>();
    dpf->Init(std::move(link));
    dpf->ReadDPFInfo();
    dpf->Read(DPF::kReadOnly);
    int count = 0;
    dpf->GetFileNum(count);
    std::vector<Bytes> out;
    for (int i = 0; i < count; ++i) {
        Bytes b(size_t(dpf->GetOnePicSize()));
        int length = 0;
        EXPECT_EQ(dpf->GetFileAtIndex(i, b.data(), int(b.size()), length), 1);
        b.resize(size_t(length));
        out.push_back(b);
    }
    return out;
}

QImage QuarterPicture(int width, int height)
{
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool right = x >= width / 2, bottom = y >= height / 2;
            QRgb c = !right && !bottom ? qRgb(220, 30, 30)
                     : right && !bottom ? qRgb(30, 200, 40)
                     : !right           ? qRgb(30, 40, 210)
                                        : qRgb(230, 220, 40);
            img.setPixel(x, y, c);
        }
    return img;
}

QImage NoisePicture(int width, int height, int amplitude, unsigned seed)
{
    std::mt19937 rng(seed);
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto v = [&] {
                const int d = amplitude > 0 ? int(rng() % unsigned(2 * amplitude + 1)) - amplitude : 0;
                return std::clamp(128 + d, 0, 255);
            };
            const int r = v(), g = v(), b = v();
            img.setPixel(x, y, qRgb(r, g, b));
        }
    return img;
}

Bytes DevicePicture(const QImage& lcdPicture, int quality)
{
    const QImage rgb = lcdPicture.convertToFormat(QImage::Format_RGB888);
    RgbImage img;
    img.width = rgb.width();
    img.height = rgb.height();
    img.rgb.resize(size_t(img.width) * size_t(img.height) * 3);
    for (int y = 0; y < img.height; ++y)
        std::memcpy(img.rgb.data() + size_t(y) * size_t(img.width) * 3, rgb.constScanLine(y),
                    size_t(img.width) * 3);
    Bytes out;
    EXPECT_TRUE(CKv350Encoder::Encode(img, quality, 3, false, out));
    return out;
}

double MeanDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.isNull())
        return 1e9;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int j = 0; j < x.height(); ++j)
        for (int i = 0; i < x.width(); ++i) {
            const QRgb p = x.pixel(i, j), q = y.pixel(i, j);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * x.width() * x.height());
}

void MacHarness::SetUp()
{
    EnsureApp();
    ASSERT_TRUE(tmp.isValid());
    frame = tmp.filePath(QStringLiteral("frame.img")).toStdString();
}

void MacHarness::TearDown()
{
    if (fe)
        fe->WaitForTask();
    fe.reset();
    QCoreApplication::processEvents();
}

void MacHarness::Start(const std::string& frameArg, std::function<void(QMainWindow*)> editLayout)
{
    fe = std::make_unique<FrontEnd>();
    fe->exitProgram = [this](int code) { exitCode = code; };
    QObject::connect(fe.get(), &FrontEnd::pictureFinished, [this] { ++finished; });
    StartOptions o;
    o.resourcePath = tmp.filePath(QStringLiteral("res"));
    o.frameArg = frameArg;
    o.scanMachine = false;
    o.pollIntervalMs = 30;
    o.editLayout = std::move(editLayout);
    started = fe->StartUp(o);
    fe->ShowWindow();
}

bool MacHarness::WaitFor(const std::function<bool()>& pred, int ms)
{
    return kestova::test::WaitUntil(pred, ms);
}

bool MacHarness::WaitFinished(int n, int ms)
{
    return WaitFor([&] { return finished >= n; }, ms);
}

bool MacHarness::WaitOnlineIdle(int ms)
{
    return WaitFor([&] { return fe->G_isDeviceOnLine && finished >= 1 && !fe->gmyIsTransferData; }, ms);
}

void MacHarness::Click(const char* name)
{
    auto* b = C<QAbstractButton>(name);
    ASSERT_NE(b, nullptr) << name;
    QTest::mouseClick(b, Qt::LeftButton);
}

QString MacHarness::Status()
{
    auto* l = C<QLabel>("dnol_0");
    return l ? l->text() : QString();
}

QString MacHarness::Count()
{
    auto* l = C<QLabel>("PNUM_0");
    return l ? l->text() : QString();
}

QStringList MacHarness::Rows()
{
    QStringList out;
    if (auto* list = C<AlbumListView>("pict_0"))
        for (int i = 0; i < list->model()->rowCount(); ++i)
            out << list->model()->index(i, 0).data().toString();
    return out;
}

void MacHarness::ClickRow(int row)
{
    auto* list = C<AlbumListView>("pict_0");
    ASSERT_NE(list, nullptr);
    const QModelIndex index = list->model()->index(row, 0);
    ASSERT_TRUE(index.isValid()) << row;
    list->scrollTo(index);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(index).center());
}

int MacHarness::SelectedRow()
{
    auto* list = C<AlbumListView>("pict_0");
    return list ? list->SelectedRow() : -2;
}

void MacHarness::Place(const QString& path)
{
    fe->chooseOpenFile = [path] { return path; };
    Click("open_0");
    // The picture is read off the main thread and placed (or refused) then.
    EXPECT_TRUE(WaitFor([&] { return !fe->cropTool->Loading(); }, 10000));
}

void MacHarness::AddThroughStage(const QString& path)
{
    Place(path);
    Click("slet_0");
}

QString MacHarness::SavePng(const QImage& img, const QString& name)
{
    const QString path = tmp.filePath(name);
    EXPECT_TRUE(img.save(path, "PNG"));
    return path;
}

tagFILEITEM* MacHarness::OpenFolderRow(const QString& path)
{
    auto* tree = C<QTreeWidget>("CLVW_0");
    if (!tree)
        return nullptr;
    auto row = std::make_unique<tagFILEITEM>();
    row->rowID = fe->fileRows->Rows().back()->rowID + 1;
    row->path = path;
    row->name = path.mid(path.lastIndexOf('/') + 1);
    row->isFolder = true;
    row->item = new QTreeWidgetItem(QStringList(row->name));
    tree->insertTopLevelItem(0, row->item);
    row->item->setData(0, Qt::UserRole, row->rowID);
    row->item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    tagFILEITEM* folder = row.get();
    fe->fileRows->AddRow(std::move(row));
    tree->setFocus();
    tree->setCurrentItem(folder->item);
    QTest::keyClick(tree, Qt::Key_Right);
    return folder;
}

void MacHarness::ClickBrowserRow(QTreeWidgetItem* item, Qt::KeyboardModifiers modifiers, bool twice)
{
    auto* tree = C<QTreeWidget>("CLVW_0");
    ASSERT_NE(tree, nullptr);
    ASSERT_NE(item, nullptr);
    tree->scrollToItem(item);
    const QPoint at = tree->visualItemRect(item).center();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, modifiers, at);
    if (twice) {
        // The second click of a double click, as the window system delivers it.
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, modifiers, at);
        QTest::mouseRelease(tree->viewport(), Qt::LeftButton, modifiers, at);
    }
}

} // namespace kestova::mac::test
