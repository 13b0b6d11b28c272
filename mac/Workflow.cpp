// SPDX-License-Identifier: GPL-3.0-or-later
// The album workflow: the frame coming and going, reading the album, adding
// one picture or a batch, deleting, writing the album to the frame
// ("Download") and saving its pictures into a folder ("Upload").

#include "mac/FrontEnd.h"

#include "common/coder/Bmp.h"
#include "device/CommUSB.h"
#include "flash_manager/DPF.h"
#include "imaging/BatchPrepare.h"
#include "imaging/LocalNames.h"
#include "imaging/Preparation.h"
#include "mac/HIFramework/TCarbonEvent.h"
#include "mac/StageViews.h"
#include "desktop/FrameAlbum.h"
#include "session/FrameSession.h"
#include "common/files/SafeFile.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestova::mac {

namespace {
std::string Local(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Every work file and every saved picture is written whole through the safe
// file writer: a fresh temporary file renamed over the name, so a failed
// write leaves what was there, and a link planted under the name is replaced,
// never followed.
SafeWriteResult WriteWorkFile(const QString& path, const std::vector<uint8_t>& bytes)
{
    return WriteFileSafely(Local(path), bytes.data(), bytes.size(), SafeWriteMode::Replace);
}

// Reads a whole regular file without following a link at its name and
// without waiting on a FIFO; false with the reason in `why`.
bool ReadRegularFile(const QString& path, QByteArray& bytes, std::string& why)
{
    const int fd = ::open(Local(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) {
        ok = false;
        why = "not a regular file";
    }
    bytes.clear();
    char buffer[65536];
    while (ok) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            why = std::strerror(errno);
            ok = false;
        } else if (got == 0) {
            break;
        } else {
            bytes.append(buffer, qsizetype(got));
        }
    }
    ::close(fd);
    return ok;
}

// Qt's Open dialog spells a name that is not valid UTF-8 lossily (each odd
// byte as U+FFFD), and that spelling opens nothing. Such a name is looked up
// in its folder by its spelling; empty, with the reason in `why`, when no
// file or more than one is spelled so.
QString FileOfChosenName(const QString& path, QString* why)
{
    struct stat st {};
    if (!path.contains(QChar(QChar::ReplacementCharacter)) || ::stat(BytesOfName(path).constData(), &st) == 0)
        return path;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = path.left(slash + 1);
    const QString spelled = path.mid(slash + 1);
    QStringList names;
    QStringList matches;
    if (ListFolderNames(folder, names))
        for (const QString& name : names)
            if (QString::fromUtf8(BytesOfName(name)) == spelled)
                matches << folder + name;
    if (matches.size() == 1)
        return matches.constFirst();
    *why = matches.isEmpty()
               ? QStringLiteral("the Open dialog gave this name without its own bytes and no file is named so; "
                                "choose the file in the file browser")
               : QStringLiteral("the Open dialog gave this name without its own bytes and %1 files match it; "
                                "choose the file in the file browser")
                     .arg(matches.size());
    return {};
}

} // namespace

QString FrontEnd::DataPath(const QString& name) const
{
    return gmyResousepath + QStringLiteral("/data/") + name;
}

QString FrontEnd::EdataPath(const QString& name) const
{
    return gmyResousepath + QStringLiteral("/Edata/") + name;
}

// ---------------------------------------------------------------------------
// The layer's worker

void FrontEnd::WaitForTask()
{
    if (frame)
        frame->WaitForIdle();
}

bool FrontEnd::TaskRunning() const
{
    return frame && frame->Busy();
}

// ---------------------------------------------------------------------------
// Online and offline

void FrontEnd::SetFlashOnline()
{
    cropTool->ReleasePicture();
    cropTool->ShowInPreview(QImage());
    RedrawStage();
    SetNotes(QStringLiteral("Device Online"));
    frameUnusable_ = false;
    G_isDeviceOnLine = true;
    gmyIsTransferData = true;
    ShowEmptyHint();
    ReadPicFromFlash();
}

void FrontEnd::ReadPicFromFlash()
{
    albumWhole_ = false;
    SetControlPanlEnable(false);
    FileDataHead* old = gmyPictureData;
    gmyPictureData = CreateList();
    FreeList(old);
    SetNotes(QStringLiteral("Read Picture(s)"));

    desktop::ReadOptions read;
    // The frame's clock is set first; the album is read whatever that gave.
    read.steps.setClock = true;
    // On the layer's worker, for each picture fetched whole: its stored form
    // in Edata, and for a picture that decodes its display bitmap in data.
    read.keep = [this](int row, const session::AlbumPicture& picture, QString* file) {
        const QString name = QStringLiteral("DPFPicture%1.bmp").arg(row + 1);
        if (const SafeWriteResult kept = WriteWorkFile(EdataPath(name), picture.bytes); !kept)
            return QStringLiteral("%1: %2").arg(EdataPath(name), QString::fromStdString(kept.reason));
        // A picture that does not decode leaves the album (the layer takes
        // it out); the removal reaches the frame with the next Download.
        if (!picture.ok())
            return QString();
        // A display bitmap that cannot be written stops the reading like a
        // work file that cannot be created: the picture stays in the album.
        if (const SafeWriteResult shown = WriteWorkFile(DataPath(name), EncodeBmp24(picture.pixels)); !shown)
            return QStringLiteral("%1: %2").arg(DataPath(name), QString::fromStdString(shown.reason));
        *file = DataPath(name);
        // Counted from 1: the number of pictures listed with this one.
        SetNotes(QStringLiteral("Read Picture %1").arg(row + 1));
        return QString();
    };
    frame->ReadAlbum(std::move(read));
}

void FrontEnd::OnAlbumOpened(const session::OpenResult& opened)
{
    // A frame whose information block cannot be used (an LCD of no size or
    // of a size no picture is made for, an album area that holds nothing)
    // gets no album work at all: nothing could be added or written safely.
    frameUnusable_ = opened.status == session::OpenStatus::AlbumUnusable ||
                     opened.status == session::OpenStatus::NoLcdSize;
    ShowEmptyHint();
    if (opened.ok() || opened.status == session::OpenStatus::NoLcdSize)
        cropTool->SetLcdSize(opened.info.lcdWidth, opened.info.lcdHeight);
}

void FrontEnd::ReadFinished(const desktop::ReadOutcome& outcome)
{
    // A failure ends the reading at once: the pictures listed so far stay
    // listed, and the reason goes to the status line and stdout.
    auto failed = [](FrontEnd* self, const std::string& text) {
        std::printf("reading the album failed: %s\n", text.c_str());
        std::fflush(stdout);
        self->SetNotes(QStringLiteral("Read picture(s) failed!") +
                       (text.empty() ? QString() : QStringLiteral(" (%1)").arg(QString::fromStdString(text))) +
                       QStringLiteral(" Press F5 to read the frame again."));
    };
    const session::OpenResult& opened = outcome.opened;
    // Only an album listed whole may be edited and written: the frame would
    // otherwise get an album without the pictures that were not listed.
    albumWhole_ = outcome.whole();
    switch (outcome.status) {
    case desktop::ReadStatus::NotOpened:
    case desktop::ReadStatus::NothingReadable:
        failed(this, opened.status == session::OpenStatus::ReadFailed ? opened.failure.Text()
                                                                : session::OpenFailureText(opened));
        break;
    case desktop::ReadStatus::PictureFailed:
        failed(this, outcome.failure.Text());
        break;
    case desktop::ReadStatus::Listed:
    case desktop::ReadStatus::KeepFailed: {
        const int n = outcome.listed;
        QString done = n > 0 ? QStringLiteral("Picture(s) In Kestova") : QStringLiteral("No Picture");
        if (outcome.status == desktop::ReadStatus::KeepFailed)
            done += QStringLiteral(" (%1 of %2 listed; a work file could not be written: %3)")
                        .arg(n)
                        .arg(outcome.total)
                        .arg(outcome.why) +
                    QStringLiteral(" Press F5 to read the frame again.");
        SetNotes(done);
        // Work files of added pictures keep their numbers (a read names
        // its own files apart from them).
        gmyTotalePicture = std::max(gmyTotalePicture, n);
        break;
    }
    }
    PostDrawEvent();
}

void FrontEnd::SetFlashOffline()
{
    // The work still running on the album ends first (the link is gone, so
    // it ends quickly); only then are its list and work files released.
    WaitForTask();
    // What the work still had to show (its last status text, say) comes
    // first, so it cannot overwrite the offline state shown below.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    // Edits not yet written go with the album: the next read shows the
    // frame's album, so the person is told now, not left to find out.
    const bool lost = frame && frame->Modified();
    QString offline = QString::fromUtf8(kNoFrameText);
    if (lost)
        offline = QStringLiteral("Device Not Online! The frame left; the changes not yet on it are lost.");
    // A Download that failed because the frame went (its failure is what the
    // status line shows) stays said: how many of the new pictures the frame
    // lists.
    auto* notes = gMainWindowRef ? gMainWindowRef->findChild<QLabel*>(QStringLiteral("dnol_0")) : nullptr;
    if (frame && !frame->LastWrite().whole() && notes && !writeFailure_.isEmpty() && notes->text() == writeFailure_)
        offline += WrittenOfNew().isEmpty() ? QStringLiteral(" The last Download failed.")
                                            : QStringLiteral(" The last Download failed:") + WrittenOfNew();
    albumWhole_ = false;
    gmyIsTransferData = false;
    RedrawPreview();
    RedrawStage();
    G_isDeviceOnLine = false;
    ReleaseAllFiles();
    SetControlPanlEnable(false);
    ShowDPFSpace();
    ShowEmptyHint();
    UpdateEditActions();
    SetNotes(offline);
}

void FrontEnd::AddPictureFinished()
{
    WaitForTask();
    FillPictureList();
    SetDownLoadPrcess(0);
    const bool usable = G_isDeviceOnLine && !frameUnusable_;
    SetControlPanlEnable(usable);
    if (usable && !albumWhole_)
        KeepAlbumUnchanged();
    ShowEmptyHint();
    ShowDPFSpace();
    gmyIsTransferData = false;
    UpdateEditActions();
    if (gMainWindowRef)
        gMainWindowRef->update();
    RedrawStage();
    RedrawPreview();
    emit pictureFinished();
}

void FrontEnd::KeepAlbumUnchanged()
{
    // Add, Delete, Delete All and Download stay off until a read lists the
    // whole album (F5 reads it again); the edit keys check the same.
    OnMain([this] {
        if (!gMainWindowRef)
            return;
        for (const char* name : {"slet_0", "delp_0", "dela_0", "load_0"})
            if (auto* w = gMainWindowRef->findChild<QWidget*>(QLatin1String(name)))
                w->setEnabled(false);
    });
}

void FrontEnd::ReadFrameAgain()
{
    auto idle = [this] { return frame && G_isDeviceOnLine && !gmyIsTransferData && !TaskRunning(); };
    if (!idle())
        return;
    if (frame->Modified()) {
        // The album shown goes with the read: asked first, No by default.
        QMessageBox ask(QMessageBox::Question, QStringLiteral("MacKestova"),
                        QStringLiteral("The changes not yet on the frame will be lost. Read the frame again?"),
                        QMessageBox::Yes | QMessageBox::No, gMainWindowRef);
        ask.setObjectName(QStringLiteral("readAgainAlert"));
        ask.setDefaultButton(QMessageBox::No);
        QTimer::singleShot(0, &ask, [&ask] { ask.activateWindow(); });
        const bool yes = ask.exec() == QMessageBox::Yes;
        TakeKeysBack();
        // The frame may have left while the question waited.
        if (!yes || !idle())
            return;
    }
    // The album of the last read, its work files and its history go; the
    // frame is read as when it arrives.
    ReleaseAllFiles();
    SetFlashOnline();
}

void FrontEnd::FillPictureList()
{
    // The list presents the layer's album as it changes; here it only
    // scrolls to the last row.
    DerivePictureData();
    if (pictList)
        pictList->scrollToBottom();
}

void FrontEnd::DerivePictureData()
{
    // Absent while no frame is read (from the frame leaving until the next
    // read starts).
    if (!gmyPictureData || !frame)
        return;
    FileDataHead* derived = CreateList();
    const desktop::AlbumModel& album = frame->Album();
    for (int row = 0; row < album.Count(); ++row) {
        auto* node = new FileData;
        node->bitmapPath = Local(album.At(row).file);
        node->name = AlbumRows::RowName(row, album.At(row).onFrame).toStdString();
        AddNode(derived, node);
    }
    FreeList(gmyPictureData);
    gmyPictureData = derived;
}

// ---------------------------------------------------------------------------
// Adding

void FrontEnd::MyAddButtonHandler()
{
    if (!G_isDeviceOnLine || gmyIsTransferData || !albumWhole_)
        return;
    const MyRect rect = NormalisedCropRect();
    if (rect.width == 0 || rect.height == 0)
        return;

    // The files chosen in the most recently opened folder of the browser.
    const std::vector<std::pair<int, QString>> files = fileRows->CollectChosen();
    if (files.size() > 1) {
        cropTool->ReleasePicture();
        gmyIsTransferData = true;
        SetControlPanlEnable(false);
        ProcessMorePic(files);
        return;
    }
    fileRows->ForgetChosen();
    const bool placed = cropTool->Placed();
    SetNotes(QString());
    const bool added = placed && GetPicDataFromView(rect, false);
    FillPictureList();
    // The preview shows the picture just added; it is the chosen row.
    if (added && pictList)
        pictList->SelectRow(albumRows->rowCount() - 1);
    ShowDPFSpace();
}

bool FrontEnd::GetPicDataFromView(MyRect rect, bool batch)
{
    SetNotes(QStringLiteral("The sequence number: %1").arg(gmyTotalePictureNum() + 1));
    return AddPicture(cropTool->Capture(rect), true, QString(), !batch);
}

bool FrontEnd::MySelectButtonHandler(const QString& bitmapPath, bool advance)
{
    return AddPicture(QImage(bitmapPath), false, bitmapPath, advance);
}

desktop::AddSteps FrontEnd::AddSteps(bool capture, const QString& bitmapPath, std::shared_ptr<AddState> state)
{
    // The picture takes the next work-file number and the next place in the
    // list; both stay taken only when it joins the album. The steps run
    // where the layer adds: here for one picture, on its worker for a batch.
    desktop::AddSteps steps;
    steps.startQuality = G_CurQuanlity;
    steps.mode = G_YValue - 1;
    steps.before = [this, capture, state](const QImage& picture, const QString& source, int albumCount) {
        state->number = gmyTotalePicture + 1;
        state->kept = state->passed = false;
        state->placed = source;
        if (capture) {
            const QString path = DataPath(QStringLiteral("Picture%1.bmp").arg(state->number));
            if (picture.isNull() || !WriteWorkFile(path, EncodeBmp24(ToRgbImage(picture)))) {
                SetNotes(QStringLiteral("Couldn't Process the picture"));
                return false;
            }
            // Shown once it joined: the preview never shows a picture the
            // album refused.
            state->captured = picture;
        }
        // The node list belongs to the main thread; a batch on the worker
        // goes by the album's own count.
        const bool onMain = QThread::currentThread() == thread();
        const int listed = onMain ? std::max(albumCount, gmyTotalePictureNum()) : albumCount;
        if (listed + 1 > kMaxListedPictures) {
            SetNotes(QStringLiteral("Can't add anymore pictures!"));
            return false;
        }
        state->passed = true;
        return true;
    };
    // Qualities G_CurQuanlity, -10, -20, ... are tried; the first that fits
    // one slot wins and stays the starting quality of every later picture.
    // The fitted picture is kept in its work file before it joins the album.
    steps.keep = [this, state](const std::vector<uint8_t>& bytes) {
        state->kept = WriteWorkFile(EdataPath(QStringLiteral("Picture%1.bmp").arg(state->number)), bytes).ok;
        return state->kept;
    };
    steps.fileOf = [this, capture, bitmapPath, state](const desktop::AlbumEntry&) {
        const QString name = QStringLiteral("Picture%1.bmp").arg(state->number);
        const QString shown = capture ? DataPath(name) : bitmapPath;
        gmyTotalePicture = state->number;
        if (capture)
            cropTool->ShowInPreview(state->captured);
        return shown;
    };
    return steps;
}

bool FrontEnd::AddPicture(const QImage& picture, bool capture, const QString& bitmapPath, bool advance)
{
    auto state = std::make_shared<AddState>();
    const desktop::AddOutcome added = frame->AddPicture(picture, AddSteps(capture, bitmapPath, state), bitmapPath);
    if (state->kept)
        G_CurQuanlity = added.result.quality;
    if (!added.ok()) {
        // A refusal before the fitting has said why already.
        if (state->passed || picture.isNull())
            SetNotes(RefusalText(added.result));
        return false;
    }
    if (advance) {
        const QString next = fileRows->AdvanceToNextPicture();
        if (!next.isEmpty())
            cropTool->SelectOnePicture(next, false);
    }
    return true;
}

QString FrontEnd::RefusalText(const session::AddResult& result) const
{
    QString why;
    if (result.status == session::AddStatus::AlbumFull) {
        const int max = frame ? frame->MaxPictures() : 0;
        why = QStringLiteral("the album is full (%1 of %1 pictures); delete some before adding more").arg(max);
    } else {
        why = QString::fromStdString(session::AddFailureText(result));
    }
    return why.isEmpty() ? QStringLiteral("Couldn't Process the picture")
                         : QStringLiteral("Couldn't Process the picture: ") + why;
}

void FrontEnd::ProcessMorePic(const std::vector<std::pair<int, QString>>& files)
{
    gmyIsTransferData = true;
    // Each picture of a batch is placed as a newly loaded picture is (at its
    // suitable size, under the centred crop rectangle) and captured. Loading,
    // placing, capturing and fitting run for several pictures at once, one
    // per core; the layer's worker takes the results in the order chosen and
    // adds them one by one as a single add does, so the album, the work
    // files and the quality carried from picture to picture come out as one
    // after the other would make them.
    cropTool->CenterDrawRect();
    const MyRect rect = cropTool->NormalisedCropRect();
    const int lcdWidth = cropTool->LcdWidth();
    const int lcdHeight = cropTool->LcdHeight();
    QStringList paths;
    for (const auto& file : files)
        paths << file.second;
    BatchOptions options;
    options.lcdWidth = lcdWidth;
    options.lcdHeight = lcdHeight;
    options.prepare = [rect, lcdWidth, lcdHeight](const QString& path) {
        PreparedPicture prepared;
        prepared.image = CropTool::CaptureNewlyPlaced(path, rect, lcdWidth, lcdHeight, &prepared.message);
        if (prepared.image.isNull())
            prepared.error = PictureError::NotAPicture;
        return prepared;
    };
    options.startQuality = G_CurQuanlity;
    options.mode = G_YValue - 1;
    options.carryQuality = true;

    auto state = std::make_shared<AddState>();
    auto lastPlaced = std::make_shared<QString>();
    // The files left out and why, by their place in the batch; and the place
    // of the last picture offered to the album. Written on the layer's
    // worker, read when the batch has ended.
    auto left = std::make_shared<std::map<qsizetype, QString>>();
    // Chosen rows found unreadable by an earlier add are named too.
    std::vector<std::pair<int, QString>> earlier;
    for (const auto& [id, why] : fileRows->ChosenNotPictures())
        if (const tagFILEITEM* row = fileRows->FindRow(id))
            earlier.emplace_back(id, QStringLiteral("%1 (%2)").arg(ShownFileName(row->path), why));
    auto reached = std::make_shared<qsizetype>(-1);
    desktop::AddSteps steps = AddSteps(true, QString(), state);
    steps.skipped = [this, files, left](const BatchResult& result) {
        const QString why = LoaderReason(result.path, result.prepared.message);
        (*left)[qsizetype(result.index)] = why;
        SetNotes(QStringLiteral("Couldn't Process: %1: %2").arg(ShownFileName(result.path), why));
        const int id = files[result.index].first;
        OnMain([this, id, why] { fileRows->MarkNotPicture(id, why); });
    };
    steps.before = [this, before = steps.before, lastPlaced, reached, paths](const QImage& picture,
                                                                             const QString& source, int count) {
        *lastPlaced = source;
        *reached = paths.indexOf(source, *reached + 1);
        SetNotes(QStringLiteral("The sequence number: %1").arg(count + 1));
        return before(picture, source, count);
    };
    // One connection for this batch's end.
    auto* once = new QObject(this);
    connect(frame, &desktop::FrameAlbum::batchFinished, once,
            [this, once, state, lastPlaced, left, reached, paths, files,
             earlier](const desktop::BatchOutcome& o) {
                once->deleteLater();
                if (state->kept)
                    G_CurQuanlity = o.last.result.quality;
                // Every file the batch did not add is named, with the reason:
                // those that could not be read, and after a refusal the
                // refused one and those after it.
                QString head;
                QString refusedWhy;
                if (o.status == desktop::BatchStatus::Refused) {
                    if (state->passed) {
                        head = RefusalText(o.last.result);
                        refusedWhy = o.last.result.status == session::AddStatus::AlbumFull
                                         ? QStringLiteral("the album is full")
                                         : QString::fromStdString(session::AddFailureText(o.last.result));
                    } else if (auto* label = gMainWindowRef
                                                 ? gMainWindowRef->findChild<QLabel*>(QStringLiteral("dnol_0"))
                                                 : nullptr) {
                        head = label->text();  // what the refusal said
                        refusedWhy = QStringLiteral("not tried after the refusal");
                    }
                }
                // (row, text); none when the batch was stopped (the frame left).
                std::vector<std::pair<int, QString>> named;
                if (o.status != desktop::BatchStatus::Stopped) {
                    named = earlier;
                    for (qsizetype i = 0; i < paths.size(); ++i) {
                        const int id = files[std::size_t(i)].first;
                        const QString name = ShownFileName(paths[i]);
                        if (const auto it = left->find(i); it != left->end())
                            named.emplace_back(id, QStringLiteral("%1 (%2)").arg(name, it->second));
                        else if (o.status == desktop::BatchStatus::Refused && *reached >= 0 && i >= *reached)
                            named.emplace_back(id, QStringLiteral("%1 (%2)").arg(name, refusedWhy));
                    }
                }
                // In the browser's order (rows are numbered as listed).
                std::stable_sort(named.begin(), named.end(),
                                 [](const auto& a, const auto& b) { return a.first < b.first; });
                QStringList notAdded;
                for (const auto& entry : named)
                    notAdded << entry.second;
                if (!notAdded.isEmpty()) {
                    const QString list = QStringLiteral("Not added: ") + notAdded.join(QStringLiteral(", "));
                    SetNotes(head.isEmpty() ? list : head + QStringLiteral(". ") + list);
                } else if (!head.isEmpty()) {
                    SetNotes(head);
                }
                // The stage ends with the last picture placed, as after
                // adding it alone.
                if (!lastPlaced->isEmpty())
                    cropTool->SelectOnePicture(*lastPlaced, true);
                fileRows->ForgetChosen();
                RedrawStage();
                PostDrawEvent();
            });
    frame->AddBatch(paths, options, std::move(steps));
}

// ---------------------------------------------------------------------------
// Deleting

void FrontEnd::MyDelButtonHandler()
{
    DeletePictures(gmyDeleteAll);
}

void FrontEnd::DeletePictures(bool all)
{
    if (gmyIsTransferData || !gmyPictureData || !frame || TaskRunning() || !albumWhole_)
        return;
    // Deleted pictures keep their work files while the delete can be undone
    // (the layer's history removes them once it cannot), and the counter of
    // work files never goes back, so no new picture takes a name a deleted
    // one may come back with.
    if (all) {
        if (gmyTotalePictureNum() >= 1) {
            gmyCurrentSelectItem = 0;
            frame->DeleteAll();
            // The box has done its work: ticked on, a later press of Delete
            // (after an undo, say) would take every picture again.
            gmyDeleteAll = false;
            if (auto* box = gMainWindowRef ? gMainWindowRef->findChild<QCheckBox*>(QStringLiteral("dela_0")) : nullptr)
                box->setChecked(false);
        }
    } else if (gmyTotalePictureNum() >= 1) {
        // The selected rows, or with nothing selected the last picture; one
        // step of the history either way.
        QList<int> rows = pictList ? pictList->SelectedRows() : QList<int>();
        if (rows.isEmpty())
            rows << gmyTotalePictureNum() - 1;
        gmyCurrentSelectItem = 0;
        frame->DeleteRows(rows);
        FillPictureList();
        // The last row is chosen and shown; with none left the preview empties.
        if (pictList)
            pictList->SelectRow(albumRows->rowCount() - 1);
        else
            ShowChosenRow(-1);
    }
    SetNotes(QStringLiteral("The sequence number: %1").arg(gmyTotalePictureNum()));
    ShowDPFSpace();
    if (gMainWindowRef)
        gMainWindowRef->update();
}

// ---------------------------------------------------------------------------
// Reordering and undo

namespace {
// The rows one step of the history touches, in the album's numbering once
// the step is done: rows that came in or moved, and the first place rows
// went out of (-1: none went).
class TouchedRows {
public:
    explicit TouchedRows(const QAbstractItemModel* model)
    {
        links_ << QObject::connect(model, &QAbstractItemModel::rowsInserted,
                                   [this](const QModelIndex&, int first, int last) {
                                       for (int& r : rows_)
                                           if (r >= first)
                                               r += last - first + 1;
                                       for (int r = first; r <= last; ++r)
                                           rows_ << r;
                                   });
        links_ << QObject::connect(model, &QAbstractItemModel::rowsRemoved,
                                   [this](const QModelIndex&, int first, int last) {
                                       QList<int> kept;
                                       for (int r : std::as_const(rows_))
                                           if (r < first)
                                               kept << r;
                                           else if (r > last)
                                               kept << r - (last - first + 1);
                                       rows_ = kept;
                                       gone_ = first;
                                   });
        links_ << QObject::connect(
            model, &QAbstractItemModel::rowsMoved,
            [this](const QModelIndex&, int start, int end, const QModelIndex&, int before) {
                const int n = end - start + 1;
                const int to = before > end ? before - n : before;  // where the block starts now
                for (int& r : rows_) {
                    if (r >= start && r <= end)
                        r = to + (r - start);
                    else if (before > end && r > end && r < before)
                        r -= n;
                    else if (before < start && r >= before && r < start)
                        r += n;
                }
                for (int r = to; r < to + n; ++r)
                    if (!rows_.contains(r))
                        rows_ << r;
            });
    }
    ~TouchedRows()
    {
        for (const QMetaObject::Connection& link : std::as_const(links_))
            QObject::disconnect(link);
    }
    TouchedRows(const TouchedRows&) = delete;
    TouchedRows& operator=(const TouchedRows&) = delete;
    QList<int> Rows() const
    {
        QList<int> rows = rows_;
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
        return rows;
    }
    int Gone() const { return gone_; }

private:
    QList<QMetaObject::Connection> links_;
    QList<int> rows_;
    int gone_ = -1;
};
} // namespace

bool FrontEnd::CanEdit() const
{
    return frame && G_isDeviceOnLine && !gmyIsTransferData && !TaskRunning() && !frameUnusable_ && albumWhole_;
}

void FrontEnd::MoveSelection(int step)
{
    if (!pictList || !CanEdit())
        return;
    const QList<int> rows = pictList->SelectedRows();
    if (rows.isEmpty())
        return;
    // Each selected row moves one place and the gaps between them stay, as
    // in kestova; a row at the end of the album stays where it is.
    QList<int> moved;
    if (!frame->ShiftRows(rows, step, &moved)) {
        const int onFrame = frame->Dpf().GetCommittedNum();
        const bool crossing = std::any_of(rows.begin(), rows.end(), [&](int r) {
            return (r < onFrame) != (r + step < onFrame) && r + step >= 0 && r + step < albumRows->rowCount();
        });
        if (crossing)
            SetNotes(QString::fromUtf8(kOrderNote));
        return;
    }
    pictList->SelectRows(moved);
    SetNotes(QString());
}

void FrontEnd::MoveRows(const QList<int>& rows, int before)
{
    if (!CanEdit() || rows.isEmpty())
        return;
    if (!frame->MoveRows(rows, before)) {
        // The frame's pictures stay ahead of the new ones until the album is
        // written, so that a reorder costs only the index.
        const int onFrame = frame->Dpf().GetCommittedNum();
        if ((rows.first() < onFrame) != (before <= onFrame) || (rows.last() < onFrame) != (before <= onFrame))
            SetNotes(QString::fromUtf8(kOrderNote));
        return;
    }
    // The moved rows stay selected where they now stand.
    const int lead = int(std::count_if(rows.begin(), rows.end(), [before](int r) { return r < before; }));
    if (pictList)
        pictList->SelectRange(before - lead, int(rows.size()));
    SetNotes(QString());
}

void FrontEnd::UndoEdit(bool redo)
{
    if (!CanEdit())
        return;
    const int previous = pictList ? pictList->SelectedRow() : -1;
    TouchedRows touched(&frame->Album());
    if (!(redo ? frame->Redo() : frame->Undo()))
        return;
    // The rows the step brought back or moved stay chosen (and shown); where
    // it took rows out, the row now at their place, else the one chosen
    // before.
    if (pictList) {
        const int count = albumRows->rowCount();
        const QList<int> rows = touched.Rows();
        if (!rows.isEmpty())
            pictList->SelectRows(rows);
        else if (count > 0)
            pictList->SelectRow(std::clamp(touched.Gone() >= 0 ? touched.Gone() : previous, 0, count - 1));
        else
            pictList->SelectRow(-1);
    }
    SetNotes(QString());
    ShowDPFSpace();
}

// ---------------------------------------------------------------------------
// Download: writing the album to the frame

void FrontEnd::MyDownLoadButtonHandler()
{
    if (!G_isDeviceOnLine || gmyIsTransferData || !albumWhole_)
        return;
    // The mark first: nothing that reacts to the controls being disabled may
    // take this for an idle window.
    gmyIsTransferData = true;
    SetControlPanlEnable(false);
    SetNotes(QStringLiteral("Download Picture(s)"));
    SetDownLoadPrcess(0);
    TranspotPic();
}

void FrontEnd::TranspotPic()
{
    if (!frame->Modified()) {
        // The frame holds this album already: nothing is written, and the
        // end says so as after a write.
        session::CommitResult same;
        same.status = session::CommitStatus::Committed;
        ShowWriteEnd(same);
        PostDrawEvent();
        return;
    }
    auto* once = new QObject(this);
    connect(frame, &desktop::FrameAlbum::commitFinished, once, [this, once](const session::CommitResult& committed) {
        once->deleteLater();
        if (committed.status == session::CommitStatus::Failed) {
            // Nothing is lost: the frame keeps a whole album and the edits
            // stay in memory for another Download.
            const std::string why = committed.failure.Text(true);
            gmyIsTransferData = false;
            std::printf("writing the album failed: %s\n", why.c_str());
            std::fflush(stdout);
        }
        ShowWriteEnd(committed);
        PostDrawEvent();
    });
    frame->Commit();
}

void FrontEnd::ShowWriteEnd(const session::CommitResult& committed)
{
    if (committed.ok()) {
        // How many pictures the frame holds now: the count is the album's
        // (a write that had nothing to do leaves the last tally behind).
        const int onFrame = frame->PictureCount();
        SetNotes(onFrame == 1 ? QStringLiteral("DownLoad Finished. 1 picture is on the frame.")
                              : QStringLiteral("DownLoad Finished. %1 pictures are on the frame.").arg(onFrame));
        return;
    }
    const QString written = WrittenOfNew();
    writeFailure_ = committed.status == session::CommitStatus::StoppedEarly
                        ? QStringLiteral("Download stopped.") + written
                        : QStringLiteral("Fail To Download Picture (%1)")
                                  .arg(QString::fromStdString(committed.failure.Text(true))) +
                              written;
    SetNotes(writeFailure_);
}

QString FrontEnd::WrittenOfNew() const
{
    // The new pictures the frame lists after the write, not those sent to it:
    // a picture in a slot that no index names yet is not on the frame.
    const desktop::WriteTally& t = frame->LastWrite();
    return t.fresh > 0 ? QStringLiteral(" %1 of the %2 new pictures were written.").arg(t.written).arg(t.fresh)
                       : QString();
}

void FrontEnd::DownloadPictureNotify(int, long k, long n)
{
    SetDownLoadPrcess(n > 0 ? int(k * 100 / n) : 0);
}

// ---------------------------------------------------------------------------
// Upload: saving the album's pictures into a folder

void FrontEnd::MyUpLoadButtonHandler()
{
    if (!G_isDeviceOnLine || gmyIsTransferData)
        return;
    if (gmyTotalePictureNum() == 0) {
        SetNotes(QStringLiteral("No Pictures "));
        return;
    }
    SetNotes(QString());
    SelectFileLocation();
}

void FrontEnd::SelectFileLocation()
{
    QUrl folder;
    if (chooseFolder) {
        folder = chooseFolder();
    } else {
        QFileDialog dialog(gMainWindowRef, QStringLiteral("Select File Location"),
                           QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Save"));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedUrls().isEmpty())
            folder = dialog.selectedUrls().constFirst();
    }
    TakeKeysBack();
    if (folder.isEmpty())
        return;
    if (!folder.isLocalFile()) {
        std::fprintf(stderr, "CFURLCreateFromFSRef failed\n");
        return;
    }
    const QString path = folder.path(QUrl::FullyEncoded);
    if (path.isEmpty()) {
        std::fprintf(stderr, "CFURLCopyFileSystemPath failed\n");
        return;
    }
    SavePicture(path, true, 1);
}

bool FrontEnd::AskReplace(const QStringList& names)
{
    // A few names say which files; the count says how many in all.
    constexpr int kNamed = 8;
    QStringList shown = names.mid(0, kNamed);
    if (names.size() > kNamed)
        shown << QStringLiteral("…");
    const QString text = names.size() == 1
                             ? QStringLiteral("1 file in this folder will be replaced (%1). Replace it?").arg(shown.first())
                             : QStringLiteral("%1 files in this folder will be replaced (%2). Replace them?")
                                   .arg(names.size())
                                   .arg(shown.join(QStringLiteral(", ")));
    QMessageBox ask(QMessageBox::Warning, QStringLiteral("MacKestova"), text, QMessageBox::Cancel, gMainWindowRef);
    ask.setObjectName(QStringLiteral("replaceAlert"));
    ask.setTextFormat(Qt::PlainText);
    QPushButton* replace = ask.addButton(QStringLiteral("Replace"), QMessageBox::DestructiveRole);
    // Return keeps the files.
    ask.setDefaultButton(QMessageBox::Cancel);
    ask.setEscapeButton(QMessageBox::Cancel);
    QTimer::singleShot(0, &ask, [&ask] { ask.activateWindow(); });
    ask.exec();
    TakeKeysBack();
    return ask.clickedButton() == replace;
}

bool FrontEnd::SavePicture(const QString& folderUrlPath, bool numbered, int format)
{
    if (!gmyPictureData)
        return false;
    // The destination of album row i (from 1).
    auto destinationOf = [&](int i) {
        const FileData* node = GetNode(gmyPictureData, i);
        QString name = numbered ? QStringLiteral("/%1.%2").arg(i).arg(format == 2 ? "jpg" : "bmp")
                                : QStringLiteral("/") + QString::fromStdString(node->name);
        // The folder comes as a URL path: every %XX escape stands for a byte.
        const QByteArray encoded = (folderUrlPath + name).toUtf8();
        return QString::fromUtf8(QByteArray::fromPercentEncoding(encoded));
    };
    // Files of the person's own under the names to be written are replaced
    // only when the person says so (a link counts, even one to nothing).
    const int count = std::min(gmyTotalePictureNum(), gmyPictureData->count);
    QStringList taken;
    for (int i = 1; i <= count; ++i) {
        const QFileInfo there(destinationOf(i));
        if (there.exists() || there.isSymLink())
            taken << there.fileName();
    }
    if (!taken.isEmpty()) {
        const bool replace = AskReplace(taken);
        // The frame may have left (or been read again) while the question
        // waited: what was asked about is no longer what would be saved.
        if (!replace || !gmyPictureData || std::min(gmyTotalePictureNum(), gmyPictureData->count) != count) {
            SetNotes(QStringLiteral("Nothing was saved."));
            return false;
        }
    }
    bool allSaved = true;
    QString firstFailure;
    for (int i = 1; i <= gmyTotalePictureNum() && i <= gmyPictureData->count; ++i) {
        const FileData* node = GetNode(gmyPictureData, i);
        const QString destination = destinationOf(i);
        const QString source = QFile::decodeName(node->bitmapPath.c_str());
        bool ok;
        QString why;
        if (format == 2) {
            ok = session::ExportBitmapFile(Local(source), cropTool->LcdWidth(), cropTool->LcdHeight(), Local(destination),
                                           session::ExportFormat::Jpeg, 100, G_YValue - 1);
            if (!ok)
                why = QStringLiteral("%1: cannot be written").arg(destination);
        } else {
            ok = copy(source, destination, &why);
        }
        if (!ok && firstFailure.isEmpty())
            firstFailure = why;
        allSaved = allSaved && ok;
    }
    if (!allSaved) {
        SetNotes(QStringLiteral("Couldn't save the picture(s): %1").arg(firstFailure));
    } else {
        const QString folder = QDir::toNativeSeparators(
            QString::fromUtf8(QByteArray::fromPercentEncoding(folderUrlPath.toUtf8())));
        SetNotes(QStringLiteral("Saved %1 picture(s) in %2").arg(gmyPictureData->count < gmyTotalePictureNum()
                                                                       ? gmyPictureData->count
                                                                       : gmyTotalePictureNum())
                     .arg(folder));
    }
    return allSaved;
}

bool FrontEnd::copy(const QString& source, const QString& destination, QString* why)
{
    // The source is read whole before the destination is touched, so an
    // unreadable source leaves the destination as it was.
    QByteArray bytes;
    std::string reason;
    if (!ReadRegularFile(source, bytes, reason)) {
        if (why)
            *why = QStringLiteral("%1: %2").arg(source, QString::fromStdString(reason));
        return false;
    }
    const SafeWriteResult written = WriteFileSafely(Local(destination), bytes.constData(), std::size_t(bytes.size()),
                                                    SafeWriteMode::Replace);
    if (!written && why)
        *why = QStringLiteral("%1: %2").arg(destination, QString::fromStdString(written.reason));
    return written.ok;
}

// ---------------------------------------------------------------------------
// The album list and the preview

void FrontEnd::SelPicInList(int row)
{
    if (row < 1 || row > albumRows->rowCount())
        return;
    gmyCurrentSelectItem = row;
    cropTool->ShowInPreview(QImage(albumRows->File(row - 1)));
}

void FrontEnd::ShowChosenRow(int row)
{
    ClearOrderNote();
    if (row >= 0) {
        SelPicInList(row + 1);
        return;
    }
    gmyCurrentSelectItem = 0;
    cropTool->ShowInPreview(QImage());
}

void FrontEnd::MyOpenButtonHandler()
{
    if (gmyIsTransferData)
        return;
    QString path;
    if (chooseOpenFile)
        path = chooseOpenFile();
    else
        path = QFileDialog::getOpenFileName(
            gMainWindowRef, QStringLiteral("Open"), QStandardPaths::writableLocation(QStandardPaths::PicturesLocation),
            QStringLiteral("Pictures (*.jpg *.jpeg *.png *.gif *.bmp *.tif *.tiff *.webp *.heic *.heif *.avif);;All files (*)"));
    TakeKeysBack();
    if (path.isEmpty())
        return;
    SetNotes(QString());
    fileRows->SetCurrentRow(0);
    QString why;
    const QString file = FileOfChosenName(path, &why);
    if (file.isEmpty()) {
        // As for a file that cannot be read: nothing stays placed.
        cropTool->ReleasePicture();
        RedrawStage();
        SetNotes(QStringLiteral("Couldn't Process: %1: %2").arg(ShownFileName(path), why));
        return;
    }
    cropTool->SelectOnePicture(file, false);
}

// ---------------------------------------------------------------------------
// Releasing

void FrontEnd::ReleaseAllFiles()
{
    cropTool->ReleasePicture();
    cropTool->ShowInPreview(QImage());
    if (gmyPictureData) {
        for (int i = 1; i <= gmyPictureData->count; ++i) {
            const FileData* node = GetNode(gmyPictureData, i);
            // The stored form has the display bitmap's file name in Edata.
            const QString bitmap = QFile::decodeName(node->bitmapPath.c_str());
            QFile::remove(bitmap);
            QFile::remove(EdataPath(QFileInfo(bitmap).fileName()));
        }
        FreeList(gmyPictureData);
        gmyPictureData = nullptr;
    }
    // Work files of pictures that left the list earlier (deleted, or not
    // decodable) go as well.
    if (!gmyResousepath.isEmpty()) {
        for (const char* sub : {"/data", "/Edata"}) {
            QDir dir(gmyResousepath + QLatin1String(sub));
            for (const QString& f : dir.entryList({QStringLiteral("*.bmp")}, QDir::Files))
                dir.remove(f);
        }
    }
    gmyTotalePicture = 0;
    // The frame's album goes with its files; nothing of it can be undone.
    if (frame) {
        frame->Forget();
        frame->Album().Clear();
    }
    ShowChosenRow(-1);
    RedrawStage();
    RedrawPreview();
}

void FrontEnd::CloseResource()
{
    fileRows->Clear();
    ReleaseAllFiles();
}

} // namespace kestova::mac
