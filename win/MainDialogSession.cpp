// The frame session of kestova's main window: plug and pull, reading the
// album into the cache bitmaps (ReadAlbumWorker), Synchronize
// (DownloadWorker), adding one picture from the preview or many at once
// (ProcessPicturesWorker), Delete, All, the preview buttons, the frame's
// colours, export (Save, Save all) and Exit.
//
// Threads: the workers use the facade through the one FrameSession and write
// cache files; they never touch a widget. What they produce reaches the
// window as queued calls and registered messages, in the order they were
// sent, so every thumbnail of a read or a batch is in the list before its
// finish message is handled. At most one device worker (reader or writer)
// runs; the batch adder runs only while neither does. A read started for an
// attach that has since been undone carries an old generation number: its
// late thumbnails are dropped and it stops at the next picture.

#include "win/MainDialog.h"

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"
#include "device/DeviceText.h"
#include "flash_manager/DPF.h"
#include "imaging/BatchPrepare.h"
#include "imaging/Preparation.h"
#include "session/FrameSession.h"
#include "session/SafeFile.h"
#include "win/Messages.h"

#include "win/widgets/AlbumList.h"
#include "win/widgets/FolderTree.h"
#include "win/widgets/Preview.h"
#include "win/widgets/SettingDialog.h"
#include "win/widgets/TextProgressCtrl.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSignalBlocker>
#include <QUrl>

#include <algorithm>
#include <utility>
#include <tuple>

namespace kestova::win {

namespace {

constexpr int kMaxDroppedItems = 125;

std::string Path8(const QString& p)
{
    return QFile::encodeName(p).toStdString();
}

QString WarnText(const CMainDialog* d)
{
    return d->LookupText(QStringLiteral("WARN_TIPS"), QStringLiteral("Don't pullout USB cable \nwhile reading or writing!"));
}

// The fitted device picture of every add is kept in the staging file, as
// the frame will store it.
session::KeepPicture KeepStaging(const QString& staging)
{
    return [staging](const std::vector<uint8_t>& bytes) {
        return staging.isEmpty() ||
               WriteFileSafely(Path8(staging), bytes.data(), bytes.size(), SafeWriteMode::Replace).ok;
    };
}

} // namespace

// ---------------------------------------------------------------------------
// Cache files

QString CMainDialog::NextCacheFileName() const
{
    if (cacheDirectory_.isEmpty())
        return QString();
    const QDir dir(cacheDirectory_);
    for (int n = 0; n < 100000; ++n) {
        const QString p = dir.filePath(QString::asprintf("%04d.bmp", n));
        if (!QFileInfo::exists(p) && !QFileInfo(p).isSymLink())
            return p;
    }
    return QString();
}

QString CMainDialog::WriteCacheBitmap(const std::vector<uint8_t>& bmp) const
{
    // Created under a free name only; another writer may take a name between
    // the look and the write, so a few names are tried.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString p = NextCacheFileName();
        if (p.isEmpty())
            break;
        if (WriteFileSafely(Path8(p), bmp.data(), bmp.size(), SafeWriteMode::CreateNew).ok)
            return p;
    }
    return QString();
}

bool CMainDialog::ProgressVisible() const
{
    return progress_ && progress_->isVisible();
}

int CMainDialog::ProgressPos() const
{
    return progress_ ? progress_->GetPos() : 0;
}

void CMainDialog::ReportFailure(const QString& what, const QString& why)
{
    SetStatusText(why.isEmpty() ? what : QStringLiteral("%1: %2").arg(what, why));
}

void CMainDialog::JoinWorkers()
{
    // Nothing the workers use may go before they have ended: the read stops
    // at its next picture, a commit between two pictures.
    ++readGeneration_;
    if (dpf_)
        dpf_->RequestStop();
    if (deviceWorker_.joinable())
        deviceWorker_.join();
    if (processWorker_.joinable())
        processWorker_.join();
}

// ---------------------------------------------------------------------------
// Plug and pull

void CMainDialog::OnDeviceChange(bool attached)
{
    if (attached) {
        cachePaths_.clear();
        pendingFiles_.clear();
        lang_.Reload();
        lang_.CountLanguages();
        SetStatusText(LookupText(QStringLiteral("DEVICEON_TIPS"), QStringLiteral("DPF Connected!")));
        m_connected = true;
        EnableControls(false);
        ClearCacheDirectory(cacheDirectory_, QStringLiteral("*.bmp"));
        albumList_->RemoveAll();
        ShowConnectionBitmap(true);
        if (preview_)
            preview_->ClearPicture();
        tree_->clearSelection();
        PostRegisteredMessage(this, QString::fromLatin1(kMsgDpfAttach));
        return;
    }
    // A read still running belongs to the frame that left.
    ++readGeneration_;
    m_connected = false;
    albumShownWhole_ = false;
    flashSizeKB_ = 0;
    SetStatusText(LookupText(QStringLiteral("DEVICEOFF_TIPS"), QStringLiteral("DPF Detached!")));
    ShowConnectionBitmap(false);
    UpdateCounters();
    SetStatusText(LookupText(QStringLiteral("DEVICEOFF_TIPS"), QStringLiteral("DPF Detached!")));
    albumList_->RemoveAll();
    cachePaths_.clear();
    EnableControls(false);
    m_reading = false;
    readPending_ = false;
    m_albumModified = false;
    if (preview_)
        preview_->ClearPicture();
    SetProgress(0);
    if (progressCtrl_ == QLatin1String("OFF") && progress_)
        progress_->hide();
    // The frame may still be there, taken by another program meanwhile.
    if (const QString inUse = FrameInUseText(); !inUse.isEmpty())
        SetStatusText(inUse);
}

void CMainDialog::OnDpfAttach()
{
    m_connected = true;
    EnableControls(false);
    // The frame came back while the worker of its last visit still runs:
    // the read starts when that worker has reported.
    if (deviceWorkerBusy_ || m_processing) {
        readPending_ = true;
        return;
    }
    StartReadAlbum();
}

void CMainDialog::StartReadAlbum()
{
    readPending_ = false;
    albumShownWhole_ = false;
    if (deviceWorker_.joinable())
        deviceWorker_.join();  // it has reported already
    m_reading = true;
    deviceWorkerBusy_ = true;
    if (counter_)
        counter_->setText(WarnText(this));
    // Release, DestroyImages: the worker lays out the new image list through
    // the window's thread.
    albumList_->DestroyImages();
    const quint64 generation = ++readGeneration_;
    deviceWorker_ = std::thread([this, generation] { ReadAlbumWorker(generation); });
}

void CMainDialog::ReadAlbumWorker(quint64 generation)
{
    auto current = [this, generation] { return readGeneration_.load() == generation; };
    // Queued to the window; dropped there when this read is no longer current.
    auto post = [this, generation](std::function<void()> f) {
        QMetaObject::invokeMethod(
            this, [this, f = std::move(f), generation] {
                if (readGeneration_.load() == generation)
                    f();
            },
            Qt::QueuedConnection);
    };
    int result = 0;
    QString why;

    session::OpenResult opened = session_->Open({.setClock = true, .readFirmware = true});
    const bool clockSet = opened.info.clockSet;
    int width = 0, height = 0;
    int thumbWidth = 0, thumbColumn = 5;
    bool haveLayout = false;
    if (opened.status != session::OpenStatus::NotOnline && opened.status != session::OpenStatus::ReadFailed) {
        if (!clockSet) {
            post([this] {
                Box(LookupText(QStringLiteral("SYNCHRONIZETIME_TIPS"), QStringLiteral("Synchronize time failed!")));
            });
        } else {
            width = opened.info.lcdWidth;
            height = opened.info.lcdHeight;
            const QString firmware = QString::fromStdString(EscapeDeviceText(opened.info.firmware));
            if (width == 0) {
                post([this] {
                    Box(LookupText(QStringLiteral("LCDSIZEZERO_TIPS"),
                                   QStringLiteral("LCD width is 0, it must have something wrong with your DPF!")));
                });
            } else {
                // The thumbnail layout: a changed factory layout replaces the
                // working copy.
                const int fw = ReadFactoryInt(QStringLiteral("ThumbWidth"), 0);
                const int fc = ReadFactoryInt(QStringLiteral("ThumbColumn"), 0);
                thumbWidth = ReadWorkingInt(QStringLiteral("ThumbWidth"), 0);
                thumbColumn = ReadWorkingInt(QStringLiteral("ThumbColumn"), 5);
                if ((fw != thumbWidth || fc != thumbColumn) && settingsKept_ && workingSettings_ != factorySettings_ &&
                    CopyOver(factorySettings_, workingSettings_)) {
                    MakeNormal(workingSettings_);
                    thumbWidth = ReadWorkingInt(QStringLiteral("ThumbWidth"), 0);
                    thumbColumn = ReadWorkingInt(QStringLiteral("ThumbColumn"), 5);
                }
                haveLayout = true;
            }
            post([this, firmware, width, height] {
                if (!firmware.isEmpty())
                    firmwareVer_ = firmware;
                lcdWidth_ = width;
                lcdHeight_ = height;
            });
        }
    }
    const int shownWidth = width, shownHeight = height;
    post([this, haveLayout, thumbWidth, thumbColumn, shownWidth, shownHeight, opened] {
        if (haveLayout) {
            albumList_->SetGeometry(thumbWidth, thumbWidth * shownHeight / shownWidth, 5, 20);
            albumList_->SetColumns(thumbColumn);
            albumList_->CreateImages();
        }
        if (preview_ && shownWidth > 0 && shownHeight > 0)
            preview_->SetCropSize(shownWidth, shownHeight);
        UpdateCounters();
        // Equal colours would make the frame's text unreadable: shown as
        // black on white.
        std::tie(textColour_, backgroundColour_) =
            DialogColoursFromFrame(opened.info.colors.font, opened.info.colors.background);
        flashSizeKB_ = opened.info.flashSize / 1024;
        SetProgress(20);
    });

    if (opened.status == session::OpenStatus::ReadFailed || opened.status == session::OpenStatus::AlbumUnusable ||
        opened.status == session::OpenStatus::NotOnline) {
        result = opened.failure.storeCode != 0 ? opened.failure.storeCode : 1;
        why = QString::fromStdString(session::OpenFailureText(opened));
    } else if (width < 1 || height < 1 || !haveLayout) {
        // Without the LCD size no picture can be decoded; the stored
        // pictures stay on the frame and in the album, nothing is listed.
        result = 5;
        why = !clockSet ? QStringLiteral("the frame's clock could not be set, so its LCD size is unknown")
                        : QString::fromStdString(session::OpenFailureText(opened));
        if (why.isEmpty())
            why = QStringLiteral("the frame reports no LCD size");
    } else {
        int n = opened.info.pictures;
        const QString staging = stagingPath_;
        for (int i = 0; i < n && current();) {
            const int percent = (i * 80 + 80) / n + 20;
            // Each picture is decoded once here; the album keeps no copy of its bytes.
            session::AlbumPicture picture = session_->ReadPicture(i, PictureCache::DontKeep);
            if (picture.status == session::PictureStatus::ReadFailed ||
                picture.status == session::PictureStatus::NoSuchPicture) {
                result = picture.failure.storeCode != 0 ? picture.failure.storeCode : 1;
                why = QString::fromStdString(picture.failure.Text());
                break;
            }
            // The stored picture as it came (whole, however long).
            if (!staging.isEmpty())
                WriteFileSafely(Path8(staging), picture.bytes.data(), picture.bytes.size(), SafeWriteMode::Replace);
            QString cachePath;
            if (picture.ok())
                cachePath = WriteCacheBitmap(EncodeBmp24(picture.pixels));
            if (picture.status == session::PictureStatus::NotDecodable) {
                // A damaged picture leaves the album; the next Synchronize
                // writes the album without it.
                session_->Dpf().DeleteFileAt(i);
                --n;
                result = 4;
                post([this] { m_albumModified = true; });
                continue;
            }
            if (cachePath.isEmpty()) {
                result = 6;
                why = QStringLiteral("the cache folder cannot be written");
                break;
            }
            const QImage thumbnail = CAlbumList::LoadThumbnailImage(
                cachePath, QSize(thumbWidth, thumbWidth * height / std::max(1, width)));
            const int label = i + 1;
            post([this, cachePath, thumbnail, label, percent] {
                albumList_->AddThumbnail(thumbnail, QString::asprintf("%04d.bmp", label));
                if (QListWidgetItem* last = albumList_->item(albumList_->count() - 1))
                    albumList_->scrollToItem(last);
                cachePaths_ << cachePath;
                SetProgress(percent);
            });
            ++i;
        }
    }
    if (!why.isEmpty())
        post([this, why] {
            ReportFailure(LookupText(QStringLiteral("READFAIL_TIPS"), QStringLiteral("Reading the album failed")), why);
        });
    // The finish message is posted even for a stale read: it closes the
    // worker's handle and lets a waiting read start.
    PostRegisteredMessage(this, QString::fromLatin1(kMsgFinishThread), result, QVariant::fromValue(generation));
}

void CMainDialog::OnFinishThreadFrom(int code, quint64 generation)
{
    deviceWorkerBusy_ = false;
    if (deviceWorker_.joinable())
        deviceWorker_.join();
    if (generation != readGeneration_.load()) {
        // The frame left (and may be back) since this read began.
        if (readPending_ && m_connected)
            StartReadAlbum();
        return;
    }
    OnFinishThread(code);
}

void CMainDialog::OnFinishThread(int code)
{
    UpdateCounters();
    m_reading = false;
    SetProgress(0);
    // Done, or done without the damaged pictures it removed; any other end
    // leaves pictures of the album unlisted (the status bar says why).
    albumShownWhole_ = code == 0 || code == 4;
    if (m_connected) {
        if (code == 4)
            Box(LookupText(QStringLiteral("PICDESTROY_TIPS"), QStringLiteral("The picture is destroyed!")));
        EnableControls(albumShownWhole_);
    }
    ContinueWithWaitingWork();
}

// ---------------------------------------------------------------------------
// Synchronize

void CMainDialog::OnSynchronize()
{
    // An unchanged album is not written.
    if (m_processing || !m_albumModified || deviceWorkerBusy_ || !m_connected || !albumShownWhole_)
        return;
    EnableControls(false);
    if (progressCtrl_ == QLatin1String("OFF") && progress_)
        progress_->show();
    if (counter_)
        counter_->setText(WarnText(this));
    m_downloading = true;
    deviceWorkerBusy_ = true;
    if (deviceWorker_.joinable())
        deviceWorker_.join();
    deviceWorker_ = std::thread([this] { DownloadWorker(); });
}

void CMainDialog::DownloadWorker()
{
    const session::CommitResult r = session_->Commit();
    int code = 0;
    QString why;
    if (r.status == session::CommitStatus::Failed) {
        code = r.failure.storeCode != 0 ? r.failure.storeCode : 1;
        why = QString::fromStdString(r.failure.Text(true));
    }
    QMetaObject::invokeMethod(
        this,
        [this, code, why] {
            if (!why.isEmpty())
                ReportFailure(LookupText(QStringLiteral("DOWNLOADFAIL_STATUS"), QStringLiteral("Writing the album failed")),
                              why);
            PostRegisteredMessage(this, QString::fromLatin1(kMsgDownloadFinished), code);
        },
        Qt::QueuedConnection);
}

void CMainDialog::OnDownloadFinished(int code)
{
    deviceWorkerBusy_ = false;
    if (deviceWorker_.joinable())
        deviceWorker_.join();
    if (m_connected)
        EnableControls(true);
    UpdateCounters();
    m_reading = m_downloading = false;
    // A write that failed on a frame still attached left its album as it
    // was: the edits exist only here, so Synchronize may try again and Exit
    // still warns. A frame that left is read afresh when it is back.
    m_albumModified = code != 0 && m_connected;
    // Controls stay off without a frame: nothing they do can work then.
    EnableControls(m_connected && albumShownWhole_);
    SetProgress(0);
    if (code != 0)
        Box(LookupText(QStringLiteral("DOWNLOADFAIL_TIPS"),
                       QStringLiteral("Download pics failed!If you donot pull out the USB cable, please change an "
                                      "USB port or USB cable and try again!")));
    if (m_quitRequested) {
        ClearCacheDirectory(cacheDirectory_, QStringLiteral("*.bmp"));
        closing_ = true;
        close();
        return;
    }
    ContinueWithWaitingWork();
}

// ---------------------------------------------------------------------------
// Adding

int CMainDialog::AddPreparedPicture(const QImage& prepared, QString* cachePath)
{
    if (!session_ || prepared.isNull() || lcdWidth_ < 1 || lcdHeight_ < 1)
        return 1;
    const QImage picture =
        prepared.size() == QSize(lcdWidth_, lcdHeight_) ? prepared : CoverAndCrop(prepared, QSize(lcdWidth_, lcdHeight_));
    const session::AddResult r = session_->AddPreparedPicture(picture, jpgQuality_, 3, KeepStaging(stagingPath_));
    return FinishAdd(r, picture, cachePath);
}

int CMainDialog::FinishAdd(const session::AddResult& r, const QImage& picture, QString* cachePath)
{
    if (!r.ok())
        return 1;
    // The cache bitmap shows exactly what the frame will show.
    RgbImage shown;
    const std::vector<uint8_t> bmp =
        CKv350Encoder::Decode(r.bytes.data(), r.bytes.size(), lcdWidth_, lcdHeight_, shown)
            ? EncodeBmp24(shown)
            : EncodeBmp24(ToRgbImage(picture));
    const QString path = WriteCacheBitmap(bmp);
    if (path.isEmpty()) {
        // No cache bitmap, no entry: the list and the album stay in step.
        int count = 0;
        session_->Dpf().GetFileNum(count);
        session_->Dpf().DeleteFileAt(count - 1);
        return 1;
    }
    if (cachePath)
        *cachePath = path;
    return 0;
}

void CMainDialog::AddThumbnailFor(const QString& cachePath)
{
    albumList_->AddFromFile(cachePath, QString::asprintf("%04d.bmp", albumList_->count() + 1));
    if (QListWidgetItem* last = albumList_->item(albumList_->count() - 1))
        albumList_->scrollToItem(last);
    cachePaths_ << cachePath;
    UpdateCounters();
}

void CMainDialog::OnAdd()
{
    if (!preview_ || preview_->SourcePath().isEmpty() || !m_connected || deviceWorkerBusy_ || !albumShownWhole_)
        return;
    if (multiSelection_ && browserList_->selectedItems().size() > 1 && !m_processing) {
        EnableControls(false);
        pendingFiles_.clear();
        for (int i = 0; i < browserList_->count(); ++i)
            if (browserList_->item(i)->isSelected())
                pendingFiles_ << tree_->CurrentFolderPath() + browserList_->item(i)->text();
        m_processing = true;
        PostRegisteredMessage(this, QString::fromLatin1(kMsgReceivePic));
        return;
    }
    if (m_processing)
        return;
    m_addingSingle = true;
    const QImage crop = preview_->GetCropBitmap();
    preview_->update();
    QString cachePath;
    const int r = AddPreparedPicture(crop, &cachePath);
    if (r == 0) {
        AddThumbnailFor(cachePath);
        m_albumModified = true;
        albumList_->setFocus();
        if (m_autoAdvance && !m_processing)
            MoveToNextThumbnail();
    }
    m_addingSingle = false;
}

void CMainDialog::MoveToNextThumbnail()
{
    const QList<QListWidgetItem*> selected = browserList_->selectedItems();
    if (selected.size() != 1 || m_processing || browserList_->count() == 0)
        return;
    int last = -1;
    for (int i = 0; i < browserList_->count(); ++i)
        if (browserList_->item(i)->isSelected())
            last = i;
    const int next = last + 1 < browserList_->count() ? last + 1 : 0;
    browserList_->item(last)->setSelected(false);
    QListWidgetItem* it = browserList_->item(next);
    browserList_->setCurrentItem(it, QItemSelectionModel::ClearAndSelect);
    browserList_->scrollToItem(it);
}

void CMainDialog::OnAddFromTree(const QString& path)
{
    // A double-clicked picture is shown and added, without moving the
    // browser's selection on; it is read off the window's thread first.
    if (!preview_)
        return;
    preview_->StartLoading(path, [this](bool shown) {
        if (!shown)
            return;
        m_autoAdvance = false;
        OnAdd();
        m_autoAdvance = true;
    });
}

bool CMainDialog::DroppedFileAccepted(const QString& path)
{
    // Only the name's last five characters are searched.
    const QString tail = path.toLower().right(5);
    for (const char* ext : {".jpg", ".bmp", ".jpeg", ".gif"})
        if (tail.contains(QLatin1String(ext)))
            return true;
    return false;
}

bool CMainDialog::FolderEntryAccepted(const QString& name)
{
    const QString lower = name.toLower();
    for (const char* ext : {".jpg", ".bmp", ".jpeg", ".gif"})
        if (lower.contains(QLatin1String(ext)))
            return true;
    return false;
}

void CMainDialog::dragEnterEvent(QDragEnterEvent* e)
{
    if (e->mimeData()->hasUrls())
        e->acceptProposedAction();
}

void CMainDialog::dragMoveEvent(QDragMoveEvent* e)
{
    if (e->mimeData()->hasUrls())
        e->acceptProposedAction();
}

void CMainDialog::dropEvent(QDropEvent* e)
{
    QStringList paths;
    for (const QUrl& url : e->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    e->acceptProposedAction();
    DropItems(paths);
}

void CMainDialog::DropItems(const QStringList& items)
{
    if (!m_connected || m_processing || deviceWorkerBusy_ || !albumShownWhole_)
        return;
    m_processing = true;
    EnableControls(false);
    pendingFiles_.clear();
    for (const QString& item : items.mid(0, kMaxDroppedItems)) {
        const QString path = item.left(4096);
        const QFileInfo fi(path);
        if (fi.isDir()) {
            // The folder itself only; sub-folders are not entered.
            const QDir dir(path);
            for (const QFileInfo& entry : dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name))
                if (FolderEntryAccepted(entry.fileName()))
                    pendingFiles_ << entry.absoluteFilePath();
        } else if (DroppedFileAccepted(path)) {
            pendingFiles_ << path;
        }
    }
    PostRegisteredMessage(this, QString::fromLatin1(kMsgReceivePic));
}

void CMainDialog::OnReceivePic()
{
    if (deviceWorkerBusy_ || processWorker_.joinable()) {
        m_processing = false;
        EnableControls(m_connected && albumShownWhole_);
        return;
    }
    m_processing = true;
    EnableControls(false);
    processWorker_ = std::thread(
        [this, files = pendingFiles_, generation = readGeneration_.load()] { ProcessPicturesWorker(files, generation); });
}

void CMainDialog::ProcessPicturesWorker(QStringList files, quint64 generation)
{
    // Loading, scaling, cropping and fitting run on every core, a few
    // pictures ahead; the album takes them here one by one in the order they
    // were given, so the album and its cache bitmaps are what one picture
    // after the other would give. Every picture starts at the "JpgQuality".
    BatchOptions options;
    options.lcdWidth = lcdWidth_;
    options.lcdHeight = lcdHeight_;
    options.slotSize = size_t(std::max(0, session_ ? session_->Dpf().GetOnePicSize() : 0));
    options.startQuality = jpgQuality_;
    options.mode = 3;
    int r = 0;
    BatchPreparer batch(std::vector<QString>(files.begin(), files.end()), options);
    BatchResult picture;
    // The bar counts the pictures the album has taken (or skipped), not the
    // ones the workers have prepared ahead.
    const qsizetype total = files.size();
    auto advance = [this, total](std::size_t done) {
        const int percent = int(qsizetype(done) * 100 / total);
        QMetaObject::invokeMethod(this, [this, percent] { SetProgress(percent); }, Qt::QueuedConnection);
    };
    while (batch.Next(picture)) {
        if (!picture.prepared.ok()) {
            advance(picture.index + 1);
            continue;  // not a picture, or unreadable: skipped
        }
        QString cachePath;
        r = picture.fitting
                ? FinishAdd(session_->AddFittedPicture(picture.fit, jpgQuality_, KeepStaging(stagingPath_)), picture.prepared.image,
                            &cachePath)
                : 1;
        if (r == 1) {
            // Full, or a picture that fits no slot: the batch ends here.
            break;
        }
        QMetaObject::invokeMethod(
            this,
            [this, cachePath, generation] {
                // The frame left since the batch began: its album is gone
                // from the list (and is read afresh when the frame is back),
                // so this picture must not join the list of the next one.
                if (readGeneration_.load() != generation) {
                    QFile::remove(cachePath);
                    return;
                }
                AddThumbnailFor(cachePath);
                m_albumModified = true;
            },
            Qt::QueuedConnection);
        advance(picture.index + 1);
    }
    PostRegisteredMessage(this, QString::fromLatin1(kMsgProcessFinish), r);
}

void CMainDialog::OnProcessFinish(int result)
{
    if (processWorker_.joinable())
        processWorker_.join();
    m_processing = false;
    UpdateCounters();
    SetProgress(0);
    m_albumModified = true;
    albumList_->setFocus();
    if (QListWidgetItem* last = albumList_->item(albumList_->count() - 1))
        albumList_->scrollToItem(last);
    m_addingSingle = false;
    if (result == 1)
        Box(LookupText(QStringLiteral("MEMFULL_TIPS_1"),
                       QStringLiteral("The maximum number of images has been reached.  Delete some images before "
                                      "adding any more.")));
    EnableControls(m_connected && albumShownWhole_);
    ContinueWithWaitingWork();
}

// After a read, a batch or a write has ended: a read asked for meanwhile
// comes first, then the files named at start or handed over meanwhile,
// added as a drop.
void CMainDialog::ContinueWithWaitingWork()
{
    if (readPending_ && m_connected) {
        StartReadAlbum();
        return;
    }
    if (m_connected && !filesAfterRead_.isEmpty() && !m_processing) {
        const QStringList files = std::exchange(filesAfterRead_, {});
        DropItems(files);
    }
}

// ---------------------------------------------------------------------------
// Delete, All, selections, preview buttons

void CMainDialog::OnDelete()
{
    if (m_processing || deviceWorkerBusy_ || !albumShownWhole_)
        return;
    QList<int> rows;
    for (int i = 0; i < albumList_->count(); ++i)
        if (albumList_->item(i)->isSelected())
            rows << i;
    if (rows.isEmpty()) {
        Box(LookupText(QStringLiteral("DELETE_TIPS_1"),
                       QStringLiteral("Please select at least a pic before you delete it!")));
        return;
    }
    const quint64 generation = readGeneration_.load();
    if (Box(LookupText(QStringLiteral("DELETE_TIPS_2"), QStringLiteral("Delete the selected photo(s) YES NO?")),
            BoxButtons::YesNo) != QMessageBox::Yes)
        return;
    // The question may have stayed open while the frame left (and came back
    // and is being read again), or while a second start's files began a
    // batch: the rows chosen belong to an album that is gone, or a worker is
    // changing the album now.
    if (generation != readGeneration_.load() || deviceWorkerBusy_ || m_processing || !m_connected)
        return;
    {
        // While items go, the list's selection passes through states whose
        // rows no longer match CachePaths: nothing is shown from them.
        const QSignalBlocker quiet(albumList_);
        for (int k = int(rows.size()) - 1; k >= 0; --k) {
            const int index = rows[k];
            albumList_->RemoveThumbnail(index);
            if (dpf_)
                dpf_->DeleteFileAt(index);
            if (index < cachePaths_.size()) {
                // A deleted entry does not stay in the preview, ready to be added again.
                if (preview_ && preview_->SourcePath() == cachePaths_[index])
                    preview_->ClearPicture();
                QFile::remove(cachePaths_[index]);
                cachePaths_.removeAt(index);
            }
        }
    }
    albumList_->Relayout();
    UpdateCounters();
    for (int i = 0; i < albumList_->count(); ++i)
        albumList_->item(i)->setText(QString::asprintf("%04d.bmp", i + 1));
    m_albumModified = true;
}

void CMainDialog::OnSelectAll()
{
    if (m_processing || !albumList_)
        return;
    albumList_->setFocus();
    albumList_->selectAll();
}

void CMainDialog::OnAlbumSelection()
{
    const QList<QListWidgetItem*> selected = albumList_->selectedItems();
    if (selected.size() > 1 || m_addingSingle || selected.isEmpty())
        return;
    const int i = albumList_->row(selected.first());
    if (i >= 0 && i < cachePaths_.size() && !cachePaths_[i].isEmpty()) {
        preview_->StartLoading(cachePaths_[i], [this](bool shown) {
            if (!shown)
                Box(LookupText(QStringLiteral("PICDESTROY_TIPS"), QStringLiteral("The picture is destroyed!")));
        });
    }
    multiSelection_ = false;
}

void CMainDialog::OnRotate(bool clockwise)
{
    if (preview_)
        preview_->Rotate(clockwise ? 0 : 1, 90);
}

void CMainDialog::OnZoom(int step)
{
    // Zoom acts on the picture under the crop rectangle only.
    if (preview_ && rectMode_)
        preview_->Zoom(step);
}

void CMainDialog::OnRectMode()
{
    if (!preview_ || !preview_->HasPicture())
        return;
    rectMode_ = !rectMode_;
    preview_->SetRectMode(rectMode_);
    if (QPushButton* rect = Button(IDC_BUTTON_RECT)) {
        rect->setText(rectMode_ ? LookupText(QStringLiteral("IDC_BUTTON_CLEARRECT"), QStringLiteral("Clear"))
                                : LookupText(QStringLiteral("IDC_BUTTON_DRAWRECT"), QStringLiteral("Rect")));
        rect->setToolTip(rectMode_
                             ? LookupText(QStringLiteral("IDC_BUTTON_CLEARRECTTIPS"), QStringLiteral("Clear Rect"))
                             : LookupText(QStringLiteral("IDC_BUTTON_DRAWRECTTIPS"), QStringLiteral("Draw Rect")));
    }
}

void CMainDialog::OnBrowserSelection()
{
    const QList<QListWidgetItem*> selected = browserList_->selectedItems();
    const bool one = selected.size() == 1;
    if (one) {
        multiSelection_ = false;
        const QString path = tree_->CurrentFolderPath() + selected.first()->text();
        preview_->StartLoading(path, [this](bool shown) {
            if (!shown)
                Box(LookupText(QStringLiteral("PICDESTROY_TIPS"), QStringLiteral("The picture is destroyed!")));
        });
    } else if (selected.size() > 1) {
        multiSelection_ = true;
    }
    if (selected.isEmpty())
        return;
    for (int id : {IDC_BUTTON_CHANGE_L, IDC_BUTTON_CHANGE, IDC_BUTTON_ZOOMIN, IDC_BUTTON_ZOOMOUT})
        if (QWidget* w = controls_.value(id))
            w->setEnabled(one);
}

// ---------------------------------------------------------------------------
// Exit

void CMainDialog::OnExit()
{
    if (m_processing)
        return;
    if (m_reading) {
        Box(LookupText(QStringLiteral("SENDING_TIPS"),
                       QStringLiteral("Sending data, Please operate after sending finished!")));
    } else if (m_downloading) {
        if (Box(LookupText(QStringLiteral("STOP_TIPS_1"), QStringLiteral("Stop download and quit?")),
                BoxButtons::YesNo) != QMessageBox::Yes)
            return;
        m_quitRequested = true;
        if (dpf_)
            dpf_->RequestStop();
        SetStatusText(LookupText(QStringLiteral("STOPDOWNLOAD_TIPS"), QStringLiteral("Stopping……")));
        return;
    } else {
        const QString question =
            m_albumModified
                ? LookupText(QStringLiteral("EXIT_TIPS_1"),
                             QStringLiteral("The pictures in the Preview Album are not synchronized with the Watch. "
                                            "Do you really want to quit (and NOT download)?"))
                : LookupText(QStringLiteral("EXIT_TIPS_2"), QStringLiteral("Really want to quit?"));
        if (Box(question, BoxButtons::YesNo) != QMessageBox::Yes)
            return;
    }
    // A read still running is stopped and waited for before anything it
    // uses goes away (the window's destructor joins it).
    ++readGeneration_;
    ClearCacheDirectory(cacheDirectory_, QStringLiteral("*.bmp"));
    pendingFiles_.clear();
    cachePaths_.clear();
    closing_ = true;
    close();
}

// ---------------------------------------------------------------------------
// Frame colours

void CMainDialog::OnSetting()
{
    if (settingDialog_)
        return;
    auto* dialog = new CSettingDialog(textColour_, backgroundColour_, this);
    dialog->setObjectName(QStringLiteral("settingDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->ApplyTexts([this](const QString& key, const QString& fallback) { return LookupText(key, fallback); });
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        textColour_ = dialog->TextColour();
        backgroundColour_ = dialog->BackgroundColour();
        if (m_connected && dpf_ && !deviceWorkerBusy_ && !m_processing) {
            EnableControls(false);
            if (counter_)
                counter_->setText(WarnText(this));
            try {
                dpf_->SetAlbumColors(ColourToRgb565(textColour_), ColourToRgb565(backgroundColour_));
            } catch (int code) {
                // The colours stay as edited; the frame did not take them.
                ReportFailure(LookupText(QStringLiteral("COLORFAIL_TIPS"), QStringLiteral("Setting the frame's colours failed")),
                              QString::fromStdString(session::Failure{code, session_->LastCommandFailure()}.Text(true)));
            }
            SetProgress(0);
            UpdateCounters();
            EnableControls(true);
        }
        if (QWidget* b = controls_.value(IDC_BTN_SETTING))
            b->setFocus();
    });
    settingDialog_ = dialog;
    dialog->open();
}

// ---------------------------------------------------------------------------
// Export

bool CMainDialog::ExportOne(const QString& source, const QString& target, bool bmp, int quality, int mode)
{
    // Through the safe file writer: never through a link planted at the
    // name, and a failed write leaves what was there.
    return session::ExportBitmapFile(Path8(source), lcdWidth_, lcdHeight_, Path8(target),
                                     bmp ? session::ExportFormat::Bmp : session::ExportFormat::Jpeg, quality, mode);
}

bool CMainDialog::ExportRun(const QList<int>& entries, bool saveAll)
{
    const int choice = Box(LookupText(QStringLiteral("SAVE_TIPS_2"),
                                      QStringLiteral("Want to save as BMP files, please select Yes, else if you want "
                                                     "to save as JPG files, please select NO!")),
                           BoxButtons::YesNoCancel);
    if (choice != QMessageBox::Yes && choice != QMessageBox::No)
        return false;
    const bool bmp = choice == QMessageBox::Yes;
    const QString title = LookupText(QStringLiteral("SAVEDIR_TIPS"), QStringLiteral("Choose Save Directory"));
    const QString folder = options_.folderDialog
                               ? options_.folderDialog(this, title)
                               : QFileDialog::getExistingDirectory(this, title, QString(), QFileDialog::ShowDirsOnly);
    TakeKeysBack();
    if (folder.isEmpty())
        return false;
    const QString cannot = QStringLiteral("cannot save in this file,please choose other path!");
    if (!QFileInfo(folder).isDir()) {
        Box(cannot, BoxButtons::Ok, QStringLiteral("Message"));
        return false;
    }
    const bool chinese = lang_.CurrentName().contains(QStringLiteral("Chinese"));
    const QString overwrite =
        chinese ? QStringLiteral("文件 %1 已存在, 覆盖此文件吗?") : QStringLiteral("File %1 existed, want to over write?");
    const QDir dir(folder);
    bool askedOnce = false;
    QStringList unsaved;
    for (int k : entries) {
        if (!m_connected)
            return false;
        if (k < 0 || k >= cachePaths_.size())
            continue;
        const QString source = cachePaths_[k];
        if (bmp) {
            const QString target = dir.filePath(QString::asprintf("%04d.bmp", k + 1));
            if (QFileInfo::exists(target) && !askedOnce) {
                askedOnce = true;
                if (Box(overwrite.arg(target), BoxButtons::YesNo) != QMessageBox::Yes)
                    return false;
            }
            if (!ExportOne(source, target, true, 0, 0)) {
                Box(cannot, BoxButtons::Ok, QStringLiteral("Message"));
                return false;
            }
        } else {
            const QString target = dir.filePath(QString::asprintf("%04d.jpg", k + 1));
            if (QFileInfo::exists(target) && Box(overwrite.arg(target), BoxButtons::YesNo) != QMessageBox::Yes)
                continue;
            // A picture that cannot be written is passed over; the run goes
            // on, but does not end by claiming that everything was saved.
            if (!ExportOne(source, target, false, saveAll ? 100 : 90, saveAll ? 3 : 4))
                unsaved << QDir::toNativeSeparators(target);
        }
    }
    if (!unsaved.isEmpty()) {
        Box(QStringLiteral("%1\n%2").arg(cannot, unsaved.join(QLatin1Char('\n'))), BoxButtons::Ok,
            QStringLiteral("Message"));
        return false;
    }
    Box(LookupText(QStringLiteral("SAVEPICFINISH_TIPS"), QStringLiteral("All pics were saved!")));
    return true;
}

void CMainDialog::OnSave()
{
    if (m_processing)
        return;
    QList<int> rows;
    for (int i = 0; i < albumList_->count(); ++i)
        if (albumList_->item(i)->isSelected())
            rows << i;
    if (rows.isEmpty()) {
        Box(LookupText(QStringLiteral("SAVE_TIPS_1"), QStringLiteral("You should select one pic at least!")));
        return;
    }
    if (rows.size() > 1) {
        ExportRun(rows, false);
        return;
    }
    const int k = albumList_->currentRow() >= 0 && albumList_->currentItem() && albumList_->currentItem()->isSelected()
                      ? albumList_->currentRow()
                      : rows.first();
    if (k < 0 || k >= cachePaths_.size()) {
        Box(LookupText(QStringLiteral("SAVE_TIPS_3"), QStringLiteral("Cannot save this picture!")));
        return;
    }
    const QString filter = QStringLiteral("bmp files (*.BMP *.bmp);;jpg files (*.JPG *.jpg)");
    QString target;
    if (options_.saveFileDialog) {
        target = options_.saveFileDialog(this, filter);
    } else {
        QFileDialog dialog(this);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter(filter);
        dialog.setDefaultSuffix(QStringLiteral("BMP"));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            target = dialog.selectedFiles().first();
        TakeKeysBack();
    }
    if (target.isEmpty() || !m_connected)
        return;
    const QString extension = QFileInfo(target).suffix().toLower();
    const bool bmp = extension == QLatin1String("bmp");
    // A JPEG that could not be written is said as a bitmap's is: the user
    // must not go away believing the file is there.
    if (!(bmp ? ExportOne(cachePaths_[k], target, true, 0, 0) : ExportOne(cachePaths_[k], target, false, 100, 3))) {
        const bool chinese = lang_.CurrentName().contains(QStringLiteral("Chinese"));
        Box((chinese ? QStringLiteral("保存文件 %1 失败!") : QStringLiteral("Save %1 file failed!")).arg(extension));
    }
}

void CMainDialog::OnSaveAll()
{
    if (m_reading || m_processing || albumList_->count() < 1)
        return;
    QList<int> all;
    for (int i = 0; i < albumList_->count(); ++i)
        all << i;
    ExportRun(all, true);
}

} // namespace kestova::win
