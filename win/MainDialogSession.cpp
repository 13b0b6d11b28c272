// SPDX-License-Identifier: GPL-3.0-or-later
// The frame session of kestova's main window: plug and pull, reading the
// album into the cache bitmaps, Synchronize, adding one picture from the
// preview or many at once, Delete, All, the preview buttons, the frame's
// colours, export (Save, Save all) and Exit.
//
// The handlers are thin slots over the desktop album layer
// (desktop::FrameAlbum): it reads, adds and writes on its one worker and
// hands back rows, progress and ends in order, so every thumbnail of a read
// or a batch is in the list before its finish message is handled. The ends
// reach the window as the registered messages "FinishThread",
// "DownloadFinished" and "ProcessFinish". A read or batch asked for by an
// attach that has since been undone is forgotten by the layer: its late
// thumbnails are dropped and it stops at the next picture.

#include "win/MainDialog.h"

#include "common/coder/Bmp.h"
#include "desktop/FrameAlbum.h"
#include "device/DeviceText.h"
#include "flash_manager/DPF.h"
#include "imaging/BatchPrepare.h"
#include "imaging/LocalNames.h"
#include "imaging/Preparation.h"
#include "session/FrameSession.h"
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
#include "imaging/PictureLoader.h"

#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QScrollBar>
#include <QStyle>
#include <QUrl>

#include <algorithm>
#include <utility>
#include <tuple>

#include <sys/stat.h>

namespace kestova::win {

namespace {
// The shipped thumbnail layout, for a settings file that gives none usable.
constexpr int kFactoryThumbWidth = 105;
constexpr int kFactoryThumbColumns = 2;


constexpr int kMaxDroppedItems = 125;

QString WarnText(const CMainDialog* d)
{
    return d->LookupText(QStringLiteral("WARN_TIPS"), QStringLiteral("Don't pullout USB cable \nwhile reading or writing!"));
}

QString EntryLabel(int row)
{
    return QString::asprintf("%04d.bmp", row + 1);
}

// Where the folder chooser of an export opens: the user's pictures folder,
// else the home folder (never the program's working folder).
QString ExportStartFolder()
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return !pictures.isEmpty() && QFileInfo(pictures).isDir() ? pictures : QDir::homePath();
}

} // namespace

QStringList CMainDialog::CachePaths() const
{
    return frame_ ? frame_->Album().Files() : QStringList();
}

DPF* CMainDialog::Facade() const
{
    return frame_ ? &frame_->Dpf() : nullptr;
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

// ---------------------------------------------------------------------------
// Plug and pull

void CMainDialog::OnDeviceChange(bool attached)
{
    if (attached) {
        frame_->Album().Clear();
        pendingFiles_.clear();
        lang_.Reload();
        lang_.CountLanguages();
        SetStatusText(LookupText(QStringLiteral("DEVICEON_TIPS"), QStringLiteral("DPF Connected!")));
        m_connected = true;
        EnableControls(false);
        cache_.Clear();
        albumList_->RemoveAll();
        ShowConnectionBitmap(true);
        if (preview_)
            preview_->ClearPicture();
        tree_->clearSelection();
        PostRegisteredMessage(this, QString::fromLatin1(kMsgDpfAttach));
        return;
    }
    // Edits not yet written go with the album: the frame's own album is
    // what the next read shows, so the person is told now.
    QString detached = LookupText(QStringLiteral("DEVICEOFF_TIPS"), QStringLiteral("DPF Detached!"));
    if (m_albumModified)
        detached += QLatin1Char(' ') + LookupText(QStringLiteral("CHANGESLOST_STATUS"),
                                                  QStringLiteral("The changes not yet on the frame are lost."));
    // A write that failed as the frame went stays said: how many of the new
    // pictures the frame lists.
    if (!writeFailureShown_.isEmpty() && StatusText() == writeFailureShown_ && !frame_->LastWrite().whole() &&
        frame_->LastWrite().fresh > 0)
        detached += QLatin1Char(' ') + WrittenOfNewText();
    // A read or a batch still running belongs to the frame that left.
    frame_->Forget();
    m_connected = false;
    albumShownWhole_ = false;
    flashSizeKB_ = 0;
    SetStatusText(detached);
    ShowConnectionBitmap(false);
    UpdateCounters();
    SetStatusText(detached);
    albumList_->RemoveAll();
    frame_->Album().Clear();
    EnableControls(false);
    m_reading = false;
    if (preview_)
        preview_->ClearPicture();
    SetProgress(0);
    if (settings_.progressCtrl == QLatin1String("OFF") && progress_)
        progress_->hide();
    // The frame may still be there, taken by another program meanwhile.
    if (const QString inUse = FrameInUseText(); !inUse.isEmpty())
        SetStatusText(inUse);
}

void CMainDialog::OnDpfAttach()
{
    m_connected = true;
    readAttempts_ = 1;
    EnableControls(false);
    // Work of the frame's last visit that still runs ends first: the layer
    // takes the read after it.
    StartReadAlbum();
}

void CMainDialog::StartReadAlbum()
{
    albumShownWhole_ = false;
    m_reading = true;
    if (counter_)
        counter_->setText(WarnText(this));
    // Release, DestroyImages: the read lays out the new image list when the
    // frame has told its LCD size.
    albumList_->DestroyImages();
    desktop::ReadOptions read;
    read.steps = {.setClock = true, .readFirmware = true};
    read.needClock = true;
    // Each picture is decoded once; the album keeps no copy of its bytes.
    read.cache = PictureCache::DontKeep;
    read.keep = [cache = &cache_](int, const session::AlbumPicture& picture, QString* file) {
        // The stored picture as it came (whole, however long).
        cache->WriteStaging(picture.bytes);
        if (!picture.ok())
            return QString();
        *file = cache->WriteCacheBitmap(EncodeBmp24(picture.pixels));
        return file->isEmpty() ? QStringLiteral("the cache folder cannot be written") : QString();
    };
    frame_->ReadAlbum(std::move(read));
}

void CMainDialog::OnAlbumOpened(const session::OpenResult& opened)
{
    const int width = opened.info.lcdWidth, height = opened.info.lcdHeight;
    const bool clockSet = opened.info.clockSet;
    bool haveLayout = false;
    int thumbWidth = 0, thumbColumn = 5;
    if (opened.status != session::OpenStatus::NotOnline && opened.status != session::OpenStatus::ReadFailed) {
        if (!clockSet) {
            Box(LookupText(QStringLiteral("SYNCHRONIZETIME_TIPS"), QStringLiteral("Synchronize time failed!")));
        } else {
            const QString firmware = QString::fromStdString(EscapeDeviceText(opened.info.firmware));
            if (width == 0) {
                Box(LookupText(QStringLiteral("LCDSIZEZERO_TIPS"),
                               QStringLiteral("LCD width is 0, it must have something wrong with your DPF!")));
            } else {
                // The thumbnail layout: a changed factory layout replaces the
                // working copy.
                const int fw = ReadFactoryInt(QStringLiteral("ThumbWidth"), 0);
                const int fc = ReadFactoryInt(QStringLiteral("ThumbColumn"), 0);
                thumbWidth = ReadWorkingInt(QStringLiteral("ThumbWidth"), 0);
                thumbColumn = ReadWorkingInt(QStringLiteral("ThumbColumn"), 5);
                if ((fw != thumbWidth || fc != thumbColumn) && files_.settingsKept && files_.workingSettings != files_.factorySettings &&
                    CopyOver(files_.factorySettings, files_.workingSettings)) {
                    MakeNormal(files_.workingSettings);
                    thumbWidth = ReadWorkingInt(QStringLiteral("ThumbWidth"), 0);
                    thumbColumn = ReadWorkingInt(QStringLiteral("ThumbColumn"), 5);
                }
                // A width below 1 would give thumbnails of no size: no row
                // could be listed while the album still counts it.
                if (thumbWidth < 1)
                    thumbWidth = fw >= 1 ? fw : kFactoryThumbWidth;
                if (thumbColumn < 1)
                    thumbColumn = fc >= 1 ? fc : kFactoryThumbColumns;
                // Every column fits beside the scroll bar of the list as it
                // is laid out on this screen (on a narrow one the last
                // column would be cut): the thumbnails shrink, never grow.
                albumList_->ensurePolished();
                const int room = AlbumListWidth() - 2 * albumList_->frameWidth() -
                                 albumList_->verticalScrollBar()->sizeHint().width();
                // An item is as wide as its picture and the style's margins.
                const int margins =
                    2 * (albumList_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, albumList_) + 1);
                const int fit = (room - margins) / thumbColumn - 5;
                if (fit >= 1 && thumbWidth > fit)
                    thumbWidth = fit;
                haveLayout = height > 0;
            }
            if (!firmware.isEmpty())
                settings_.firmwareVer = firmware;
        }
    }
    if (haveLayout) {
        albumList_->SetGeometry(thumbWidth, std::max(1, thumbWidth * height / width), 5, 20);
        albumList_->SetColumns(thumbColumn);
        albumList_->CreateImages();
    }
    if (preview_ && clockSet && width > 0 && height > 0)
        preview_->SetCropSize(width, height);
    UpdateCounters();
    // Equal colours would make the frame's text unreadable: shown as black
    // on white.
    std::tie(textColour_, backgroundColour_) =
        DialogColoursFromFrame(opened.info.colors.font, opened.info.colors.background);
    flashSizeKB_ = opened.info.flashSize / 1024;
    SetProgress(20);
}

void CMainDialog::OnPictureListed(int row)
{
    // The list took the row already (FollowAlbumRows).
    (void)row;
    // A read lists the album from its top and leaves it there; a picture
    // added later is scrolled to.
    if (frame_->Running() == desktop::Job::Read)
        return;
    if (QListWidgetItem* last = albumList_->item(albumList_->count() - 1))
        albumList_->scrollToItem(last);
    UpdateCounters();
}

void CMainDialog::OnProgress(desktop::Job job, int done, int total)
{
    if (total <= 0)
        return;
    // A read fills the bar from 20 (the information block) to 100.
    SetProgress(job == desktop::Job::Read ? done * 80 / total + 20 : done * 100 / total);
}

void CMainDialog::OnReadFinished(const desktop::ReadOutcome& outcome)
{
    const session::OpenResult& opened = outcome.opened;
    int result = 0;
    QString why;
    switch (outcome.status) {
    case desktop::ReadStatus::Listed:
        // Done, or done without the damaged pictures it removed.
        result = outcome.dropped > 0 ? 4 : 0;
        break;
    case desktop::ReadStatus::NotOpened:
        result = opened.failure.storeCode != 0 ? opened.failure.storeCode : 1;
        why = QString::fromStdString(session::OpenFailureText(opened));
        break;
    case desktop::ReadStatus::NothingReadable:
        // Without the LCD size no picture can be decoded; the stored
        // pictures stay on the frame and in the album, nothing is listed.
        result = 5;
        why = !opened.info.clockSet ? QStringLiteral("the frame's clock could not be set, so its LCD size is unknown")
                                    : QString::fromStdString(session::OpenFailureText(opened));
        if (why.isEmpty())
            why = QStringLiteral("the frame reports no LCD size");
        break;
    case desktop::ReadStatus::PictureFailed:
        result = outcome.failure.storeCode != 0 ? outcome.failure.storeCode : 1;
        why = QString::fromStdString(outcome.failure.Text());
        break;
    case desktop::ReadStatus::KeepFailed:
        result = 6;
        why = outcome.why;
        break;
    }
    if (!why.isEmpty())
        ReportFailure(LookupText(QStringLiteral("READFAIL_TIPS"), QStringLiteral("Reading the album failed")), why);
    PostRegisteredMessage(this, QString::fromLatin1(kMsgFinishThread), result);
}

void CMainDialog::OnFinishThread(int code)
{
    // Done, or done without the damaged pictures it removed; any other end
    // leaves pictures of the album unlisted (the status bar says why).
    albumShownWhole_ = code == 0 || code == 4;
    if (albumShownWhole_)
        readAttempts_ = 1;
    UpdateCounters();
    m_reading = false;
    SetProgress(0);
    albumList_->scrollToTop();
    if (m_connected) {
        if (code == 4)
            Box(LookupText(QStringLiteral("PICDESTROY_TIPS"), QStringLiteral("The picture is destroyed!")));
        if (albumShownWhole_) {
            EnableControls(true);
        } else {
            EnableAfterCutRead();
            // After the reason: the way to try again without a replug.
            QString tries;
            if (readAttempts_ > 1)
                tries = QLatin1Char(' ') + LookupText(QStringLiteral("READTRIES_STATUS"), QStringLiteral("(read %1 times)"))
                                               .arg(readAttempts_);
            SetStatusText(QStringLiteral("%1%2 — %3").arg(
                StatusText(), tries, LookupText(QStringLiteral("READAGAIN_STATUS"),
                                         QStringLiteral("Press F5 to read the frame again."))));
        }
    }
    ContinueWithWaitingWork();
}

void CMainDialog::OnReadAgain()
{
    const auto idle = [this] { return m_connected && !m_reading && !m_downloading && !m_processing && !frame_->Busy(); };
    if (!idle())
        return;
    // Edits not yet on the frame go with the album shown: asked first, No by
    // default.
    if (m_albumModified &&
        Box(LookupText(QStringLiteral("READAGAIN_TIPS"),
                       QStringLiteral("The changes not yet on the frame will be lost. Read the frame again?")),
            BoxButtons::YesNoDefaultNo) != QMessageBox::Yes)
        return;
    if (!idle())
        return;
    // A new generation: rows chosen from the album shown so far no longer
    // name its pictures.
    frame_->Forget();
    pendingFiles_.clear();
    albumList_->RemoveAll();
    frame_->Album().Clear();
    cache_.Clear();
    if (preview_)
        preview_->ClearPicture();
    EnableControls(false);
    // The read is seen to start, and a failure again is counted, so it
    // does not look like the one before.
    ++readAttempts_;
    SetStatusText(LookupText(QStringLiteral("READING_STATUS"), QStringLiteral("Reading the frame…")));
    SetProgress(1);
    StartReadAlbum();
}

// ---------------------------------------------------------------------------
// Synchronize

void CMainDialog::OnSynchronize()
{
    // An unchanged album is not written.
    if (m_processing || !m_albumModified || frame_->Busy() || !m_connected || !albumShownWhole_)
        return;
    EnableControls(false);
    if (settings_.progressCtrl == QLatin1String("OFF") && progress_)
        progress_->show();
    if (counter_)
        counter_->setText(WarnText(this));
    m_downloading = true;
    writeFailure_.clear();
    frame_->Commit();
}

void CMainDialog::OnDownloadFinished(int code)
{
    // The write ended while the quit question is open: its default, quitting
    // once written, is due now and nobody has to answer it. The box is
    // answered through its button, which ends its own event loop whatever
    // the window manager does; Exit then goes on from its answer.
    if (quitQuestion_)
        if (QAbstractButton* wait = quitQuestion_->button(QMessageBox::Ok))
            wait->click();
    if (m_connected)
        EnableControls(true);
    UpdateCounters();
    m_reading = m_downloading = false;
    // A write that failed on a frame still attached left its album as it
    // was: the edits exist only here, so Synchronize may try again and Exit
    // still warns (the layer keeps the album marked as differing). A frame
    // that left is read afresh when it is back.
    // Also after a frame that left: how many new pictures it lists is known.
    if (m_connected || code != 0) {
        ShowWriteEnd();
    } else if (const desktop::WriteTally& t = frame_->LastWrite(); !t.whole() && t.fresh > 0) {
        // The frame left during the write: after the detached status, how
        // many of the new pictures it lists.
        SetStatusText(QStringLiteral("%1 %2").arg(StatusText(), WrittenOfNewText()));
    }
    // Controls stay off without a frame: nothing they do can work then.
    EnableControls(m_connected && albumShownWhole_);
    SetProgress(0);
    if (code != 0)
        Box(LookupText(QStringLiteral("DOWNLOADFAIL_TIPS"),
                       QStringLiteral("Download pics failed!If you donot pull out the USB cable, please change an "
                                      "USB port or USB cable and try again!")));
    if (m_quitRequested) {
        // The person chose to quit: before the window goes, it says which
        // new pictures did not reach the frame (stopped, or failed).
        if (const QString unwritten = UnwrittenText(); !unwritten.isEmpty())
            Box(unwritten);
        cache_.Clear();
        closing_ = true;
        close();
        return;
    }
    ContinueWithWaitingWork();
}

// ---------------------------------------------------------------------------
// Adding

desktop::AddSteps CMainDialog::AddSteps() const
{
    desktop::AddSteps steps;
    steps.startQuality = settings_.jpgQuality;
    steps.mode = 3;
    const CacheFolder* cache = &cache_;
    // The fitted device picture of every add is kept in the staging file,
    // as the frame will store it.
    steps.keep = [cache](const std::vector<uint8_t>& bytes) { return cache->WriteStaging(bytes); };
    // The cache bitmap shows exactly what the frame will show.
    steps.fileOf = [cache](const desktop::AlbumEntry& entry) {
        return cache->WriteCacheBitmap(EncodeBmp24(ToRgbImage(entry.picture)));
    };
    return steps;
}

int CMainDialog::AddPreparedPicture(const QImage& prepared)
{
    return frame_->AddPicture(prepared, AddSteps()).ok() ? 0 : 1;
}

void CMainDialog::OnAdd()
{
    if (!preview_ || preview_->SourcePath().isEmpty() || !m_connected || frame_->Busy() || !albumShownWhole_)
        return;
    if (multiSelection_ && browserList_->selectedItems().size() > 1 && !m_processing) {
        EnableControls(false);
        pendingFiles_.clear();
        skippedNames_.clear();
        for (int i = 0; i < browserList_->count(); ++i)
            if (browserList_->item(i)->isSelected())
                pendingFiles_ << tree_->CurrentFolderPath() + CBrowserList::FileName(browserList_->item(i));
        m_processing = true;
        PostRegisteredMessage(this, QString::fromLatin1(kMsgReceivePic));
        return;
    }
    if (m_processing)
        return;
    m_addingSingle = true;
    const QImage crop = preview_->GetCropBitmap();
    preview_->update();
    // The entry is listed through the layer's pictureListed.
    if (AddPreparedPicture(crop) == 0) {
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
    // Through the view, so a Shift-click next extends from this row too:
    // the view keeps its own anchor, which only its setCurrentIndex moves.
    browserList_->QAbstractItemView::setCurrentIndex(browserList_->model()->index(next, 0));
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

QString CMainDialog::WhyNotTaken(const QString& path) const
{
    // Looked at before anything opens it: opening a FIFO would wait for a
    // writer, and a device would be read without end.
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return LookupText(QStringLiteral("SKIP_UNREADABLE"), QStringLiteral("cannot be read"));
    if (S_ISFIFO(st.st_mode))
        return LookupText(QStringLiteral("SKIP_FIFO"), QStringLiteral("a FIFO"));
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return LookupText(QStringLiteral("SKIP_DEVICE"), QStringLiteral("a device"));
    if (!S_ISREG(st.st_mode))
        return LookupText(QStringLiteral("SKIP_NOTPICTURE"), QStringLiteral("not a picture"));
    if (!QFile(path).open(QIODevice::ReadOnly))
        return LookupText(QStringLiteral("SKIP_UNREADABLE"), QStringLiteral("cannot be read"));
    // Every type the picture loader reads (Qt's readers, HEIC and AVIF),
    // known by its content, whatever the name ends in.
    if (!RecognisedPictureFile(path))
        return LookupText(QStringLiteral("SKIP_NOTPICTURE"), QStringLiteral("not a picture"));
    return QString();
}

QString CMainDialog::PictureErrorText(PictureError error) const
{
    switch (error) {
    case PictureError::CannotOpen:
        return LookupText(QStringLiteral("SKIP_UNREADABLE"), QStringLiteral("cannot be read"));
    case PictureError::NotAPicture:
        return LookupText(QStringLiteral("SKIP_NOTPICTURE"), QStringLiteral("not a picture"));
    case PictureError::TooLarge:
        return LookupText(QStringLiteral("SKIP_TOOLARGE"), QStringLiteral("too large to decode"));
    case PictureError::Truncated:
        return LookupText(QStringLiteral("SKIP_TRUNCATED"), QStringLiteral("the file ends too early"));
    case PictureError::Corrupt:
    case PictureError::None:
    case PictureError::Cancelled:
        break;
    }
    return LookupText(QStringLiteral("SKIP_DAMAGED"), QStringLiteral("damaged"));
}

void CMainDialog::ShowWhyNotShown(const QString& path)
{
    SetStatusText(LookupText(QStringLiteral("NOTSHOWN_STATUS"), QStringLiteral("%1 is not shown: %2"))
                      .arg(ShownName(QFileInfo(path).fileName()), PictureErrorText(preview_->LoadError())));
}

bool CMainDialog::FolderEntryAccepted(const QString& name)
{
    const QString lower = name.toLower();
    for (const char* ext : {".jpg", ".bmp", ".jpeg", ".gif"})
        if (lower.contains(QLatin1String(ext)))
            return true;
    return IsPhonePicture(name);
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
    if (!m_connected || m_processing || frame_->Busy() || !albumShownWhole_)
        return;
    m_processing = true;
    EnableControls(false);
    pendingFiles_.clear();
    skippedNames_.clear();
    for (const QString& item : items.mid(0, kMaxDroppedItems)) {
        const QString path = item.left(4096);
        const QFileInfo fi(path);
        if (fi.isDir()) {
            // The folder itself only; sub-folders are not entered.
            const QDir dir(path);
            for (const QFileInfo& entry : dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name))
                if (FolderEntryAccepted(entry.fileName()))
                    pendingFiles_ << entry.absoluteFilePath();
        } else if (const QString why = WhyNotTaken(path); why.isEmpty()) {
            pendingFiles_ << path;
        } else {
            skippedNames_ << QStringLiteral("%1 (%2)").arg(ShownName(fi.fileName()), why);
        }
    }
    // Every file left out is named, with the reason; the ones the loader
    // refuses join them when the batch ends.
    ShowSkipped();
    PostRegisteredMessage(this, QString::fromLatin1(kMsgReceivePic));
}

void CMainDialog::ShowSkipped()
{
    if (!skippedNames_.isEmpty())
        SetStatusText(LookupText(QStringLiteral("SKIPPED_TIPS"), QStringLiteral("Not added: %1"))
                          .arg(skippedNames_.join(QStringLiteral(", "))));
}

void CMainDialog::OnReceivePic()
{
    if (frame_->Busy()) {
        m_processing = false;
        EnableControls(m_connected && albumShownWhole_);
        return;
    }
    m_processing = true;
    EnableControls(false);
    // Every picture starts at the "JpgQuality"; the layer loads, scales,
    // crops and fits a few ahead on every core and adds them in order.
    BatchOptions options;
    options.startQuality = settings_.jpgQuality;
    options.mode = 3;
    desktop::AddSteps steps = AddSteps();
    // A file the loader refuses (too large, damaged, ...) is named when the
    // batch ends, with the loader's reason.
    steps.skipped = [this](const BatchResult& result) {
        if (result.prepared.error == PictureError::Cancelled)
            return;
        const QString name = ShownName(QFileInfo(result.path).fileName());
        const PictureError error = result.prepared.error;
        QMetaObject::invokeMethod(
            this,
            [this, name, error] { skippedNames_ << QStringLiteral("%1 (%2)").arg(name, PictureErrorText(error)); },
            Qt::QueuedConnection);
    };
    frame_->AddBatch(pendingFiles_, options, std::move(steps));
}

void CMainDialog::OnProcessFinish(int result)
{
    m_processing = false;
    UpdateCounters();
    SetProgress(0);
    albumList_->setFocus();
    if (QListWidgetItem* last = albumList_->item(albumList_->count() - 1))
        albumList_->scrollToItem(last);
    m_addingSingle = false;
    ShowSkipped();
    skippedNames_.clear();
    if (result == 1)
        Box(LookupText(QStringLiteral("MEMFULL_TIPS_1"),
                       QStringLiteral("The maximum number of images has been reached.  Delete some images before "
                                      "adding any more.")));
    EnableControls(m_connected && albumShownWhole_);
    ContinueWithWaitingWork();
}

// After a read, a batch or a write has ended: a read asked for meanwhile
// comes first (the layer runs it next and this comes again at its end),
// then the files named at start or handed over meanwhile, added as a drop.
void CMainDialog::ContinueWithWaitingWork()
{
    if (frame_->Busy())
        return;
    if (m_connected && !filesAfterRead_.isEmpty() && !m_processing) {
        const QStringList files = std::exchange(filesAfterRead_, {});
        DropItems(files);
    }
}

// ---------------------------------------------------------------------------
// Delete, All, selections, preview buttons

void CMainDialog::OnDelete()
{
    if (m_processing || frame_->Busy() || !albumShownWhole_)
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
    const quint64 generation = frame_->Generation();
    if (Box(LookupText(QStringLiteral("DELETE_TIPS_2"), QStringLiteral("Delete the selected photo(s) YES NO?")),
            BoxButtons::YesNo) != QMessageBox::Yes)
        return;
    // The question may have stayed open while the frame left (and came back
    // and is being read again), or while a second start's files began a
    // batch: the rows chosen belong to an album that is gone, or a worker is
    // changing the album now.
    if (generation != frame_->Generation() || frame_->Busy() || m_processing || !m_connected)
        return;
    {
        // While items go, the list's selection passes through states whose
        // rows no longer match CachePaths: nothing is shown from them.
        const QSignalBlocker quiet(albumList_);
        // A deleted entry does not stay in the preview, ready to be added
        // again. Its cache bitmap stays while the delete can be undone.
        for (int index : rows)
            if (preview_ && index < frame_->Album().Count() &&
                preview_->SourcePath() == frame_->Album().At(index).file)
                preview_->ClearPicture();
        frame_->DeleteRows(rows);
    }
    UpdateCounters();
}

void CMainDialog::FollowAlbumRows()
{
    // The list shows the album's rows whichever edit (an add, a delete, a
    // move, their undo) changed them; labels follow positions.
    const desktop::AlbumModel* album = &frame_->Album();
    connect(album, &QAbstractItemModel::rowsInserted, this, [this, album](const QModelIndex&, int first, int last) {
        const bool atEnd = first == albumList_->count();
        for (int row = first; row <= last; ++row) {
            // Every album row gets a list row, so list rows and album
            // positions stay in step: a picture without pixels shows a grey
            // placeholder.
            QImage picture = album->At(row).picture;
            if (picture.isNull()) {
                picture = QImage(8, 8, QImage::Format_RGB32);
                picture.fill(Qt::lightGray);
            }
            albumList_->InsertThumbnail(row, picture, EntryLabel(row));
        }
        if (!atEnd)
            albumList_->LabelByPosition();
    });
    connect(album, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first, int last) {
        const QSignalBlocker quiet(albumList_);
        for (int row = last; row >= first; --row)
            albumList_->RemoveThumbnail(row);
        albumList_->Relayout();
        albumList_->LabelByPosition();
    });
    connect(album, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int first, int, const QModelIndex&, int before) {
                albumList_->MoveThumbnail(first, before > first ? before - 1 : before);
                albumList_->LabelByPosition();
            });
    connect(albumList_, &CAlbumList::moveRequested, this, &CMainDialog::OnMoveRows);
}

void CMainDialog::OnMoveSelection(int step)
{
    if (m_processing || m_downloading || frame_->Busy() || !albumShownWhole_ || !m_connected)
        return;
    QList<int> rows;
    for (int i = 0; i < albumList_->count(); ++i)
        if (albumList_->item(i)->isSelected())
            rows << i;
    if (rows.isEmpty())
        return;
    // Each selected entry moves one place and the gaps between them stay,
    // as in a playlist; one at an end stays.
    QList<int> moved;
    {
        const QSignalBlocker quiet(albumList_);
        if (!frame_->ShiftRows(rows, step, &moved)) {
            // Nothing moved because the first new picture would go ahead of
            // the frame's (or the last of the frame's behind a new one).
            const int onFrame = frame_->Dpf().GetCommittedNum();
            const int edge = step < 0 ? onFrame : onFrame - 1;
            if (onFrame > 0 && onFrame < frame_->Album().Count() && rows.contains(edge))
                SetStatusText(LookupText(QStringLiteral("MOVE_REFUSED_TIPS"),
                                         QStringLiteral("Pictures already on the frame stay ahead of new ones until "
                                                        "the album is written.")));
            return;
        }
        // The moved entries stay selected where they now stand.
        albumList_->clearSelection();
        for (int row : moved)
            if (QListWidgetItem* it = albumList_->item(row))
                it->setSelected(true);
    }
    if (QListWidgetItem* it = albumList_->item(step < 0 ? moved.first() : moved.last())) {
        albumList_->setCurrentItem(it, QItemSelectionModel::NoUpdate);
        albumList_->scrollToItem(it);
    }
}

void CMainDialog::OnMoveRows(const QList<int>& rows, int before)
{
    if (m_processing || m_downloading || frame_->Busy() || !albumShownWhole_ || !m_connected || rows.isEmpty())
        return;
    // Off either end nothing moves.
    if (before < 0 || before > frame_->Album().Count())
        return;
    const QSignalBlocker quiet(albumList_);
    if (!frame_->MoveRows(rows, before)) {
        const int onFrame = frame_->Dpf().GetCommittedNum();
        if ((rows.first() < onFrame) != (before <= onFrame) || (rows.last() < onFrame) != (before <= onFrame))
            SetStatusText(LookupText(QStringLiteral("MOVE_REFUSED_TIPS"),
                                     QStringLiteral("Pictures already on the frame stay ahead of new ones until the "
                                                    "album is written.")));
        return;
    }
    // The moved entries stay selected where they now stand.
    albumList_->clearSelection();
    const int lead = int(std::count_if(rows.begin(), rows.end(), [before](int r) { return r < before; }));
    const int start = before - lead;
    for (int k = 0; k < rows.size(); ++k)
        if (QListWidgetItem* it = albumList_->item(start + k))
            it->setSelected(true);
    if (QListWidgetItem* it = albumList_->item(start)) {
        albumList_->setCurrentItem(it, QItemSelectionModel::NoUpdate);
        albumList_->scrollToItem(it);
    }
}

void CMainDialog::OnUndo(bool redo)
{
    if (m_processing || m_downloading || !albumShownWhole_ || !m_connected)
        return;
    {
        const QSignalBlocker quiet(albumList_);
        // The rows the step touched stay selected afterwards, so Alt+Up/Down
        // and Delete go on from them: the entries it put back or moved
        // (known by their own files), or, where it took entries away, the
        // entry now standing at that place.
        const desktop::AlbumModel* album = &frame_->Album();
        QStringList touched;
        int removedAt = -1;
        const auto note = [album, &touched](int first, int last) {
            for (int row = first; row <= last && row < album->Count(); ++row)
                touched << album->At(row).file;
        };
        const QMetaObject::Connection inserted = connect(
            album, &QAbstractItemModel::rowsInserted, this, [&](const QModelIndex&, int first, int last) { note(first, last); });
        const QMetaObject::Connection moved = connect(
            album, &QAbstractItemModel::rowsMoved, this, [&](const QModelIndex&, int first, int last, const QModelIndex&, int before) {
                const int start = before > first ? before - (last - first + 1) : before;
                note(start, start + (last - first));
            });
        const QMetaObject::Connection removed = connect(
            album, &QAbstractItemModel::rowsRemoved, this, [&](const QModelIndex&, int first, int) {
                removedAt = removedAt < 0 ? first : std::min(removedAt, first);
            });
        const bool done = redo ? frame_->Redo() : frame_->Undo();
        disconnect(inserted);
        disconnect(moved);
        disconnect(removed);
        if (!done)
            return;
        albumList_->clearSelection();
        QListWidgetItem* current = nullptr;
        for (int row = 0; row < album->Count() && row < albumList_->count(); ++row)
            if (!album->At(row).file.isEmpty() && touched.contains(album->At(row).file)) {
                albumList_->item(row)->setSelected(true);
                current = current ? current : albumList_->item(row);
            }
        if (!current && removedAt >= 0 && albumList_->count() > 0) {
            current = albumList_->item(std::min(removedAt, albumList_->count() - 1));
            current->setSelected(true);
        }
        if (current) {
            albumList_->setCurrentItem(current, QItemSelectionModel::NoUpdate);
            albumList_->scrollToItem(current);
        }
    }
    if (preview_ && !preview_->SourcePath().isEmpty() && !frame_->Album().Files().contains(preview_->SourcePath()) &&
        preview_->SourcePath().startsWith(cache_.Directory()))
        preview_->ClearPicture();
    UpdateCounters();
}

void CMainDialog::OnAlbumModified(bool modified)
{
    m_albumModified = modified;
    setWindowModified(modified);
    // Synchronize stands out while there is something to write.
    if (QPushButton* send = Button(IDC_BUTTON_SEND)) {
        QFont font = send->font();
        font.setBold(modified);
        send->setFont(font);
        send->setDefault(modified);
    }
}

void CMainDialog::ShowWriteEnd()
{
    const desktop::WriteTally& t = frame_->LastWrite();
    if (t.whole()) {
        SetStatusText(t.onFrame == 1
                          ? LookupText(QStringLiteral("WRITTEN_ONE_STATUS"), QStringLiteral("1 picture is on the frame."))
                          : LookupText(QStringLiteral("WRITTEN_STATUS"), QStringLiteral("%1 pictures are on the frame."))
                                .arg(t.onFrame));
        return;
    }
    // A failure said its reason already (the frame leaving may have put
    // another text into the status bar since); a stop says so.
    const QString lead = t.status == session::CommitStatus::StoppedEarly
                             ? LookupText(QStringLiteral("WRITE_STOPPED_STATUS"), QStringLiteral("Writing stopped."))
                         : !writeFailure_.isEmpty() ? writeFailure_
                                                    : StatusText();
    // A reason ends without a full stop: a dash sets the count apart.
    const QString gap = t.status == session::CommitStatus::StoppedEarly ? QStringLiteral(" ") : QStringLiteral(" — ");
    if (t.fresh > 0)
        SetStatusText(lead + gap + WrittenOfNewText());
    else
        SetStatusText(lead);
    writeFailureShown_ = StatusText();
}

QString CMainDialog::WrittenOfNewText() const
{
    const desktop::WriteTally& t = frame_->LastWrite();
    return LookupText(QStringLiteral("WRITE_PARTLY_STATUS"), QStringLiteral("%1 of the %2 new pictures were written."))
        .arg(t.written)
        .arg(t.fresh);
}

QString CMainDialog::UnwrittenText() const
{
    // Said before the window closes on a write that did not end: which of
    // the new pictures the frame does not hold (by the file each was made
    // from, else by its place in the album).
    const desktop::WriteTally& t = frame_->LastWrite();
    const int missing = t.fresh - t.written;
    if (t.whole() || missing <= 0)
        return QString();
    constexpr int kNamed = 12;
    QStringList names;
    for (int row : t.unwritten) {
        if (names.size() == kNamed) {
            names << QStringLiteral("…");
            break;
        }
        const QString source = row < frame_->Album().Count() ? frame_->Album().At(row).source : QString();
        names << (source.isEmpty() ? EntryLabel(row) : QFileInfo(source).fileName());
    }
    QString text = LookupText(QStringLiteral("NOT_WRITTEN_TIPS"),
                              QStringLiteral("%1 of the %2 new pictures were not written to the frame:"))
                       .arg(missing)
                       .arg(t.fresh);
    if (!names.isEmpty())
        text += QLatin1Char('\n') + names.join(QLatin1Char('\n'));
    return text;
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
    if (i >= 0 && i < frame_->Album().Count() && !frame_->Album().At(i).file.isEmpty()) {
        const QString file = frame_->Album().At(i).file;
        preview_->StartLoading(file, [this, file](bool shown) {
            if (!shown)
                ShowWhyNotShown(file);
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
        rect->setToolTip(RectTip());
    }
}

void CMainDialog::OnBrowserSelection()
{
    const QList<QListWidgetItem*> selected = browserList_->selectedItems();
    const bool one = selected.size() == 1;
    if (one) {
        multiSelection_ = false;
        const QString path = tree_->CurrentFolderPath() + CBrowserList::FileName(selected.first());
        preview_->StartLoading(path, [this, path](bool shown) {
            if (!shown)
                ShowWhyNotShown(path);
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
        // Once stopping, the write ends at its next picture anyway.
        if (stopRequested_)
            return;
        // Waiting for the write is the default: Return alone loses nothing.
        // Stopping ends it at the next picture; the rest stay off the frame.
        const int answer = Box(LookupText(QStringLiteral("QUIT_WRITING_TIPS"),
                                          QStringLiteral("The album is being written to the frame. Quit when it is "
                                                         "written, or stop writing now and quit?")),
                               BoxButtons::WaitStopCancel);
        if (!m_downloading) {
            // The write ended while the question was open: waiting is over,
            // and there is nothing left to stop.
            if (answer != QMessageBox::Yes && answer != QMessageBox::Ok)
                return;
            if (const QString unwritten = UnwrittenText(); !unwritten.isEmpty())
                Box(unwritten);
        } else if (answer == QMessageBox::Yes) {
            stopRequested_ = true;
            m_quitRequested = true;
            frame_->RequestStop();
            SetStatusText(LookupText(QStringLiteral("STOPDOWNLOAD_TIPS"), QStringLiteral("Stopping……")));
            return;
        } else {
            // Waiting: "DownloadFinished" closes the window.
            if (answer == QMessageBox::Ok) {
                m_quitRequested = true;
                SetStatusText(LookupText(QStringLiteral("QUIT_WAITING_STATUS"),
                                         QStringLiteral("Quitting once the album is written…")));
            }
            return;
        }
    } else {
        const QString question =
            m_albumModified
                ? LookupText(QStringLiteral("EXIT_TIPS_1"),
                             QStringLiteral("The pictures in the Preview Album are not synchronized with the Watch. "
                                            "Do you really want to quit (and NOT download)?"))
                : LookupText(QStringLiteral("EXIT_TIPS_2"), QStringLiteral("Really want to quit?"));
        // With edits not yet on the frame, Return alone must not throw them away.
        if (Box(question, m_albumModified ? BoxButtons::YesNoDefaultNo : BoxButtons::YesNo) != QMessageBox::Yes)
            return;
    }
    // A read still running is stopped and waited for before anything it
    // uses goes away (the window's destructor joins it).
    frame_->Forget();
    cache_.Clear();
    pendingFiles_.clear();
    frame_->Album().Clear();
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
        if (m_connected && !frame_->Busy() && !m_processing) {
            EnableControls(false);
            if (counter_)
                counter_->setText(WarnText(this));
            const session::Failure failed =
                frame_->SetColors(ColourToRgb565(textColour_), ColourToRgb565(backgroundColour_));
            // The colours stay as edited when the frame did not take them.
            if (failed.storeCode != 0)
                ReportFailure(LookupText(QStringLiteral("COLORFAIL_TIPS"), QStringLiteral("Setting the frame's colours failed")),
                              QString::fromStdString(failed.Text(true)));
            SetProgress(0);
            UpdateCounters();
            EnableControls(true);
        }
    });
    // However it closed, the window takes the keys back (not every desktop
    // hands the activation back to it), on the button that opened the dialog.
    connect(dialog, &QDialog::finished, this, [this] {
        TakeKeysBack();
        if (QWidget* b = controls_.value(IDC_BTN_SETTING))
            b->setFocus();
    });
    settingDialog_ = dialog;
    dialog->open();
}

// ---------------------------------------------------------------------------
// Export

bool CMainDialog::ExportOne(int entry, const QString& target, bool bmp, int quality, int mode)
{
    // Through the safe file writer: never through a link planted at the
    // name, and a failed write leaves what was there.
    return frame_->Export(entry, target, bmp ? session::ExportFormat::Bmp : session::ExportFormat::Jpeg, quality, mode);
}

bool CMainDialog::AlbumStillShown(quint64 generation)
{
    if (m_connected && generation == frame_->Generation())
        return true;
    // The frame left while a dialog was open (and may be back, read again):
    // the positions chosen would now name another album's pictures.
    Box(LookupText(QStringLiteral("SAVE_TIPS_3"), QStringLiteral("Cannot save this picture!")));
    return false;
}

bool CMainDialog::ExportRun(const QList<int>& entries, bool saveAll)
{
    const quint64 generation = frame_->Generation();
    const int choice = Box(LookupText(QStringLiteral("SAVE_TIPS_2"),
                                      QStringLiteral("Want to save as BMP files, please select Yes, else if you want "
                                                     "to save as JPG files, please select NO!")),
                           BoxButtons::BmpJpegCancel);
    if (choice != QMessageBox::Yes && choice != QMessageBox::No)
        return false;
    const bool bmp = choice == QMessageBox::Yes;
    const QString title = LookupText(QStringLiteral("SAVEDIR_TIPS"), QStringLiteral("Choose Save Directory"));
    const QString folder = options_.folderDialog
                               ? options_.folderDialog(this, title)
                               : QFileDialog::getExistingDirectory(this, title, ExportStartFolder(),
                                                                   QFileDialog::ShowDirsOnly);
    TakeKeysBack();
    if (folder.isEmpty() || !AlbumStillShown(generation))
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
        // Every overwrite question is a dialog the frame may leave under.
        if (!AlbumStillShown(generation))
            return false;
        if (k < 0 || k >= frame_->Album().Count())
            continue;
        if (bmp) {
            const QString target = dir.filePath(QString::asprintf("%04d.bmp", k + 1));
            if (QFileInfo::exists(target) && !askedOnce) {
                askedOnce = true;
                if (Box(overwrite.arg(target), BoxButtons::YesNo) != QMessageBox::Yes)
                    return false;
            }
            if (!ExportOne(k, target, true, 0, 0)) {
                Box(cannot, BoxButtons::Ok, QStringLiteral("Message"));
                return false;
            }
        } else {
            const QString target = dir.filePath(QString::asprintf("%04d.jpg", k + 1));
            if (QFileInfo::exists(target) && Box(overwrite.arg(target), BoxButtons::YesNo) != QMessageBox::Yes)
                continue;
            // A picture that cannot be written is passed over; the run goes
            // on, but does not end by claiming that everything was saved.
            if (!ExportOne(k, target, false, saveAll ? 100 : 90, saveAll ? 3 : 4))
                unsaved << QDir::toNativeSeparators(target);
        }
    }
    if (!unsaved.isEmpty()) {
        Box(QStringLiteral("%1\n%2").arg(cannot, unsaved.join(QLatin1Char('\n'))), BoxButtons::Ok,
            QStringLiteral("Message"));
        return false;
    }
    Box(QStringLiteral("%1\n%2").arg(
        LookupText(QStringLiteral("SAVEPICFINISH_TIPS"), QStringLiteral("All pics were saved!")),
        LookupText(QStringLiteral("SAVEDIN_TIPS"), QStringLiteral("Saved in: %1")).arg(QDir::toNativeSeparators(folder))));
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
    if (k < 0 || k >= frame_->Album().Count()) {
        Box(LookupText(QStringLiteral("SAVE_TIPS_3"), QStringLiteral("Cannot save this picture!")));
        return;
    }
    const quint64 generation = frame_->Generation();
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
    if (target.isEmpty() || !AlbumStillShown(generation))
        return;
    const QString extension = QFileInfo(target).suffix().toLower();
    const bool bmp = extension == QLatin1String("bmp");
    // A JPEG that could not be written is said as a bitmap's is: the user
    // must not go away believing the file is there.
    if (!(bmp ? ExportOne(k, target, true, 0, 0) : ExportOne(k, target, false, 100, 3))) {
        const bool chinese = lang_.CurrentName().contains(QStringLiteral("Chinese"));
        Box((chinese ? QStringLiteral("保存文件 %1 失败!") : QStringLiteral("Save %1 file failed!")).arg(extension));
    }
}

void CMainDialog::OnSaveAll()
{
    if (m_reading || m_processing)
        return;
    if (albumList_->count() < 1) {
        SetStatusText(LookupText(QStringLiteral("NOTHINGTOSAVE_STATUS"), QStringLiteral("The album holds no pictures to save.")));
        return;
    }
    QList<int> all;
    for (int i = 0; i < albumList_->count(); ++i)
        all << i;
    ExportRun(all, true);
}

} // namespace kestova::win
