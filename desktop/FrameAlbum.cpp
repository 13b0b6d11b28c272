// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktop/FrameAlbum.h"

#include "common/coder/Kv350Encoder.h"
#include "device/CommUSB.h"
#include "flash_manager/DPF.h"
#include "imaging/Preparation.h"
#include "session/HotplugDriver.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>

namespace kestova::desktop {

namespace {

// The frame being written by this thread's commit: the facade's progress
// callback reaches the FrameAlbum whose commit it is.
thread_local FrameAlbum* tCommitting = nullptr;

std::string Local(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

} // namespace

FrameAlbum::FrameAlbum(const session::FrameChoice& choice, int pollCapMs, QObject* parent)
    : QObject(parent), album_(new AlbumModel(this))
{
    auto link = session::MakeLink(choice);
    link_ = link.get();
    if (!choice.scanMachine)
        link_->SetHotplugMonitor(nullptr);
    link_->SetStatusHandler([this](bool online) { OnLinkStatus(online); });
    dpf_ = std::make_unique<DPF>();
    dpf_->Init(std::move(link), [](int, long k, long n) {
        if (FrameAlbum* self = tCommitting) {
            QMetaObject::invokeMethod(
                self, [self, k, n] { emit self->progress(Job::Commit, int(k), int(n)); }, Qt::QueuedConnection);
        }
    });
    session_ = std::make_unique<session::FrameSession>(*dpf_);
    pollCapMs_ = pollCapMs;

    connect(&history_, &QUndoStack::cleanChanged, this, [this](bool clean) { emit modifiedChanged(!clean); });
    worker_ = new QObject;
    worker_->moveToThread(&thread_);
    thread_.setObjectName(QStringLiteral("frame worker"));
    thread_.start();
}

FrameAlbum::~FrameAlbum()
{
    // The history clears itself as it goes; that is no change of the album
    // a window (already being torn down itself) should hear about.
    blockSignals(true);
    // Nothing the worker uses may go before it has ended: a read stops at its
    // next picture, a commit between two pictures.
    Forget();
    RequestStop();
    thread_.quit();
    thread_.wait();
    delete worker_;
    // The link must not report into a half-destroyed object.
    if (link_)
        link_->SetStatusHandler({});
    hotplug_.reset();
    session_.reset();
    dpf_.reset();
}

void FrameAlbum::Start()
{
    link_->InitComm();
    // The driver takes the link's descriptor, which InitComm made.
    hotplug_ = std::make_unique<session::HotplugDriver>(*link_, pollCapMs_);
    connect(hotplug_.get(), &session::HotplugDriver::ran, this, &FrameAlbum::CheckInUse);
    CheckInUse();
    if (following_)
        hotplug_->Arm();
}

void FrameAlbum::Follow()
{
    following_ = true;
    if (hotplug_)
        hotplug_->Arm();
}

void FrameAlbum::CheckInUse()
{
    // The link polls a frame that another program holds and announces it
    // once that program lets go; until then nothing of it is read.
    const std::string message = link_->FrameInUse().message;
    if (message == shownInUse_)
        return;
    shownInUse_ = message;
    emit frameInUseChanged(message);
}

bool FrameAlbum::Online() const
{
    return dpf_->IsDeviceOnline();
}

std::string FrameAlbum::FrameInUse() const
{
    return link_->FrameInUse().message;
}

std::string FrameAlbum::FrameInUseHolder() const
{
    return link_->FrameInUse().holder;
}

int FrameAlbum::PictureCount() const
{
    int count = 0;
    dpf_->GetFileNum(count);
    return count;
}

int FrameAlbum::MaxPictures() const
{
    return dpf_->GetMaxFileNum();
}

void FrameAlbum::OnLinkStatus(bool online)
{
    // The link reports on the thread that noticed the change: at once when
    // that is the window's (a discovery run), queued from the worker (a
    // command that found the frame gone).
    auto report = [this, online] {
        if (!following_)
            return;
        if (online)
            emit frameAttached();
        else
            emit frameLeft();
    };
    if (QThread::currentThread() == thread())
        report();
    else
        QMetaObject::invokeMethod(this, report, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------
// The worker

void FrameAlbum::Forget()
{
    ++generation_;
    ForgetHistory(true);
}

void FrameAlbum::RequestStop()
{
    dpf_->RequestStop();
}

void FrameAlbum::WaitForIdle()
{
    {
        std::unique_lock lock(idleMutex_);
        idle_.wait(lock, [this] { return unfinished_ == 0; });
    }
    // What the jobs sent is handed over before this returns.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void FrameAlbum::Deliver(quint64 generation, std::function<void()> fn)
{
    QMetaObject::invokeMethod(
        this,
        [this, generation, fn = std::move(fn)] {
            if (Current(generation))
                fn();
        },
        Qt::QueuedConnection);
}

void FrameAlbum::Post(Job job, std::function<void(quint64)> body)
{
    const quint64 generation = generation_.load();
    pending_.append(job);
    {
        std::lock_guard lock(idleMutex_);
        ++unfinished_;
    }
    QMetaObject::invokeMethod(
        worker_,
        [this, job, generation, body = std::move(body)] {
            body(generation);
            // The end is handed over even for dropped results: the window
            // learns that the worker is free.
            QMetaObject::invokeMethod(
                this,
                [this, job, generation] {
                    if (!pending_.isEmpty())
                        pending_.removeFirst();
                    emit jobEnded(job, Current(generation));
                },
                Qt::QueuedConnection);
            std::lock_guard lock(idleMutex_);
            --unfinished_;
            idle_.notify_all();
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------
// Reading

void FrameAlbum::ReadAlbum(ReadOptions options)
{
    ForgetHistory(true);
    album_->Clear();
    Post(Job::Read, [this, options = std::move(options)](quint64 generation) {
        if (!Current(generation))
            return;
        ReadOutcome out;
        out.opened = session_->Open(options.steps);
        const session::OpenResult& o = out.opened;
        Deliver(generation, [this, o] {
            lcdWidth_ = o.info.lcdWidth;
            lcdHeight_ = o.info.lcdHeight;
            emit opened(o);
        });
        if (o.status == session::OpenStatus::NotOnline || o.status == session::OpenStatus::ReadFailed ||
            o.status == session::OpenStatus::AlbumUnusable) {
            out.status = ReadStatus::NotOpened;
        } else if (!o.ok() || (options.needClock && !o.info.clockSet)) {
            // Without the LCD size no picture can be decoded; the stored
            // pictures stay on the frame and in the album, nothing is listed.
            out.status = ReadStatus::NothingReadable;
        } else {
            out.status = ReadStatus::Listed;
            int n = o.info.pictures;
            int i = 0;
            while (i < n && Current(generation)) {
                session::AlbumPicture picture = session_->ReadPicture(i, options.cache);
                if (picture.status == session::PictureStatus::ReadFailed ||
                    picture.status == session::PictureStatus::NoSuchPicture) {
                    out.status = ReadStatus::PictureFailed;
                    out.failure = picture.failure;
                    break;
                }
                QString file;
                if (options.keep) {
                    if (QString why = options.keep(i, picture, &file); !why.isEmpty()) {
                        out.status = ReadStatus::KeepFailed;
                        out.why = why;
                        break;
                    }
                }
                if (picture.status == session::PictureStatus::NotDecodable) {
                    // It leaves the album once; the next commit writes the
                    // album without it.
                    dpf_->DeleteFileAt(i);
                    --n;
                    ++out.dropped;
                    Deliver(generation, [this, reason = QString::fromStdString(picture.error)] {
                        ForgetHistory(false);
                        emit pictureDropped(reason);
                    });
                    continue;
                }
                AlbumEntry entry{std::move(picture.bytes), FromRgbImage(picture.pixels), {}, file, true};
                ++i;
                Deliver(generation, [this, entry = std::move(entry), done = i, n] {
                    album_->Append(entry);
                    emit pictureListed(album_->Count() - 1);
                    emit progress(Job::Read, done, n);
                });
            }
            out.listed = i;
            out.total = n;
        }
        Deliver(generation, [this, out] { emit readFinished(out); });
    });
}

// ---------------------------------------------------------------------------
// Adding

AddOutcome FrameAlbum::AddOne(session::AddResult added, const QImage& prepared, const AddSteps& steps,
                              const QString& source, quint64 generation)
{
    AddOutcome out;
    out.result = std::move(added);
    if (!out.result.ok())
        return out;
    // The row shows exactly what the frame will show: the device picture
    // decoded, not the picture it was made from.
    RgbImage shown;
    const std::vector<uint8_t>& bytes = out.result.bytes;
    const int width = session_->LcdWidth(), height = session_->LcdHeight();
    AlbumEntry entry;
    entry.bytes = bytes;
    entry.picture = CKv350Encoder::Decode(bytes.data(), bytes.size(), width, height, shown) ? FromRgbImage(shown)
                                                                                           : prepared;
    entry.source = source;
    if (steps.fileOf) {
        entry.file = steps.fileOf(entry);
        if (entry.file.isEmpty()) {
            // No file of its own, no row: the album and the rows stay in step.
            dpf_->DeleteFileAt(session_->PictureCount() - 1);
            out.result.status = session::AddStatus::Refused;
            return out;
        }
    }
    out.row = session_->PictureCount() - 1;
    if (QThread::currentThread() == thread()) {
        album_->Append(std::move(entry));
        Recorded(true, out.row);
        emit pictureListed(out.row);
    } else if (!Current(generation)) {
        // The frame left meanwhile: the row belongs to an album that is gone.
        if (!entry.file.isEmpty())
            QFile::remove(entry.file);
    } else {
        Deliver(generation, [this, entry = std::move(entry)] {
            album_->Append(entry);
            Recorded(true, album_->Count() - 1);
            emit pictureListed(album_->Count() - 1);
        });
    }
    return out;
}

AddOutcome FrameAlbum::AddPicture(const QImage& prepared, const AddSteps& steps, const QString& source)
{
    const int width = session_->LcdWidth(), height = session_->LcdHeight();
    if (prepared.isNull() || width < 1 || height < 1)
        return {};
    const QImage picture =
        prepared.size() == QSize(width, height) ? prepared : CoverAndCrop(prepared, QSize(width, height));
    if (steps.before && !steps.before(picture, source, session_->PictureCount()))
        return {};
    return AddOne(session_->AddPreparedPicture(picture, steps.startQuality, steps.mode, steps.keep), picture, steps,
                  source, generation_.load());
}

void FrameAlbum::AddBatch(const QStringList& files, BatchOptions options, AddSteps steps)
{
    options.slotSize = std::size_t(std::max(0, dpf_->GetOnePicSize()));
    if (options.lcdWidth < 1) {
        options.lcdWidth = session_->LcdWidth();
        options.lcdHeight = session_->LcdHeight();
    }
    Post(Job::Batch, [this, files, options = std::move(options), steps = std::move(steps)](quint64 generation) {
        // Loading, scaling, cropping and fitting run on every core, a few
        // pictures ahead; the album takes them here one by one in the order
        // given, as one add after the other would.
        BatchOutcome out;
        BatchPreparer batch(std::vector<QString>(files.begin(), files.end()), options);
        BatchResult result;
        const int total = int(files.size());
        while (batch.Next(result)) {
            if (!Current(generation) || !Online()) {
                out.status = BatchStatus::Stopped;
                break;
            }
            const int done = int(result.index) + 1;
            if (!result.prepared.ok()) {
                if (steps.skipped)
                    steps.skipped(result);
                Deliver(generation, [this, done, total] { emit progress(Job::Batch, done, total); });
                continue;
            }
            const QImage& prepared = result.prepared.image;
            if (!result.fitting || (steps.before && !steps.before(prepared, result.path, session_->PictureCount()))) {
                out.status = BatchStatus::Refused;
                out.last = {};
                break;
            }
            out.last = AddOne(session_->AddFittedPicture(result.fit, result.startQuality, steps.keep), prepared, steps,
                              result.path, generation);
            if (!out.last.ok()) {
                // Full, or a picture that fits no slot: the batch ends here.
                out.status = BatchStatus::Refused;
                break;
            }
            ++out.added;
            Deliver(generation, [this, done, total] { emit progress(Job::Batch, done, total); });
        }
        // The end comes also when the frame left meanwhile: the window learns
        // that nothing is being added any more.
        QMetaObject::invokeMethod(this, [this, out] { emit batchFinished(out); }, Qt::QueuedConnection);
    });
}

// ---------------------------------------------------------------------------
// Deleting, writing, colours, export

void FrameAlbum::Commit()
{
    Post(Job::Commit, [this](quint64 generation) {
        WriteTally tally;
        const int kept = dpf_->GetCommittedNum();
        tally.fresh = session_->PictureCount() - kept;
        tCommitting = this;
        const session::CommitResult result = session_->Commit();
        tCommitting = nullptr;
        tally.status = result.status;
        // What the frame lists now: a picture written into a free slot that
        // no index names yet (the write failed or stopped before the index)
        // is not on the frame.
        tally.onFrame = dpf_->GetCommittedNum();
        tally.written = std::clamp(tally.onFrame - kept, 0, tally.fresh);
        // Also when the frame left meanwhile: the window learns how the write ended.
        QMetaObject::invokeMethod(
            this,
            [this, result, tally, current = Current(generation)]() mutable {
                if (current) {
                    album_->MarkOnFrame(tally.onFrame);
                    for (int row = tally.onFrame; row < album_->Count(); ++row)
                        tally.unwritten << row;
                    // Whatever the write did, what came before it cannot be
                    // undone on the frame; an unfinished write leaves the
                    // album differing.
                    ForgetHistory(result.ok());
                }
                lastWrite_ = tally;
                emit commitFinished(result);
            },
            Qt::QueuedConnection);
    });
}

session::Failure FrameAlbum::SetColors(uint16_t text, uint16_t background)
{
    try {
        dpf_->SetAlbumColors(text, background);
    } catch (int code) {
        return session::Failure{code, session_->LastCommandFailure()};
    }
    return {};
}

bool FrameAlbum::Export(int row, const QString& path, session::ExportFormat format, int quality, int mode,
                        std::string* why) const
{
    if (row < 0 || row >= album_->Count())
        return false;
    return session::ExportPicture(ToRgbImage(album_->At(row).picture), Local(path), format, quality, mode,
                                  SafeWriteMode::Replace, why);
}

} // namespace kestova::desktop
