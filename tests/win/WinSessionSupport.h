// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the session tests of kestova share: virtual frames seeded and read
// back from outside the window, pictures on disk, the window fixture that
// starts the real dialog on a frame, and a frame that refuses chosen
// commands.

#include "tests/win/WinTestSupport.h"
#include "tests/support/PictureSupport.h"

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"
#include "device/linux/FrameLock.h"
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
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QRegularExpression>
#include <QUrl>

#include <atomic>
#include <random>
#include <set>

// Readable failures.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace kestova::win::test {
inline namespace session_support {

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

    // The pictures folder is the person's own: the next start's tree lists
    // it at its top level.
    void MakePicturesTheUsersFolder()
    {
        QDir().mkpath(tmp.filePath("config"));
        WriteText(tmp.filePath("config/user-dirs.dirs"), QStringLiteral("XDG_PICTURES_DIR=\"%1\"\n").arg(pictures));
    }
    // The tree's top-level node of the pictures folder; nullptr when absent.
    QTreeWidgetItem* PicturesNode()
    {
        auto* tree = C<QTreeWidget>(IDC_TREE_FOLDER);
        QTreeWidgetItem* root = nullptr;
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            if (CFolderTree::NodePath(tree->topLevelItem(i)).startsWith(pictures))
                root = tree->topLevelItem(i);
        return root;
    }
    // Where picture `index` of the frame's album starts on the flash, read
    // from outside the window; 0 when it cannot be found.
    uint32_t PictureAddress(int index)
    {
        Outside o(frame);
        uint32_t address = 0;
        int length = 0;
        if (!o.s.Open().ok() || !o.dpf.GetFileInfo(index, address, length))
            return 0;
        return address;
    }
    // The command is a read of the flash unit that starts at `address`.
    static bool ReadsUnitAt(const uint8_t cdb[16], uint32_t address)
    {
        const uint32_t at = uint32_t(cdb[11]) << 16 | uint32_t(cdb[12]) << 8 | cdb[13];
        return cdb[0] == 0xCD && at >= address && at < address + 4096;
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

inline QByteArray FileBytes(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

} // namespace session_support
} // namespace kestova::win::test
