// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// FrameAlbum: the frame as both desktop windows work with it. It owns the
// device facade, its session and the link, follows the frame coming and
// going (session::HotplugDriver), holds the album as the window shows it
// (AlbumModel), and runs the slow work on one worker thread:
//
//     FrameAlbum frame(choice, pollCapMs);
//     connect(&frame, &FrameAlbum::frameAttached, window, &Window::OnAttach);
//     connect(&frame, &FrameAlbum::pictureListed, window, &Window::ShowRow);
//     connect(&frame, &FrameAlbum::readFinished, window, &Window::OnRead);
//     frame.Follow();                       // attach and leave signals from now on
//     frame.ReadAlbum({.steps = {.setClock = true}});
//     frame.AddPicture(crop, {.startQuality = 90});   // on the window's thread
//     frame.AddBatch(files, options, steps);          // on the worker
//     frame.Commit();
//
// Threads: one worker thread takes the jobs (read, batch add, commit) in the
// order they were asked for, one at a time. Everything a job produces comes
// back to the window's thread as queued calls, in order: the rows it lists
// are in the model before its finish signal. Every job carries the
// generation it was asked in; Forget() (the frame left, the window closes)
// starts a new one, so late results of the frame that left are dropped and
// a read or a batch stops at its next picture. The quick calls (a single add,
// Delete, colours, export) run on the window's thread while no job runs.

#include "desktop/AlbumModel.h"
#include "imaging/BatchPrepare.h"
#include "session/FrameLink.h"
#include "session/FrameSession.h"

#include <QList>
#include <QObject>
#include <QThread>
#include <QUndoStack>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestova {
class CCommUSB;
class DPF;
} // namespace kestova

namespace kestova::session {
class HotplugDriver;
}

namespace kestova::desktop {

enum class Job { None, Read, Batch, Commit };

// ---- reading ----

struct ReadOptions {
    session::OpenSteps steps;
    // Without the clock set the LCD size counts as unknown: nothing is read.
    bool needClock = false;
    PictureCache cache = PictureCache::Keep;
    // On the worker, for every picture fetched (decodable or not), with the
    // row it gets: keeps the window's files of it, names the one that goes
    // with the row in `file`, and returns why the read must stop (empty: go on).
    std::function<QString(int row, const session::AlbumPicture& picture, QString* file)> keep;
};

enum class ReadStatus {
    Listed,            // every picture of the album is listed (undecodable ones removed)
    NotOpened,         // no frame, a read failure or an unusable album (opened says which)
    NothingReadable,   // opened, but the LCD size is unknown: nothing could be decoded
    PictureFailed,     // fetching a picture failed (failure says why)
    KeepFailed,        // the window could not keep a picture's files (why)
};

struct ReadOutcome {
    ReadStatus status = ReadStatus::NotOpened;
    session::OpenResult opened;
    int listed = 0;   // rows listed
    int total = 0;    // pictures in the album at the end
    int dropped = 0;  // undecodable pictures removed from the album
    session::Failure failure;
    QString why;
    bool whole() const { return status == ReadStatus::Listed; }
};

// ---- adding ----

struct AddSteps {
    int startQuality = 90;  // a single add; a batch picture starts where its fit did
    int mode = 3;
    // Before the device picture is made, with the file it came from and the
    // album's picture count: false refuses it.
    std::function<bool(const QImage& prepared, const QString& source, int albumCount)> before;
    // The fitted device picture before it joins the album.
    session::KeepPicture keep;
    // After it joined: the window's own file of the row. Empty: the window
    // cannot keep one, and the add is undone so album and rows stay in step.
    std::function<QString(const AlbumEntry& entry)> fileOf;
    // A batch file that is not a picture (worker thread).
    std::function<void(const BatchResult& result)> skipped;
};

// How the last write went: the new pictures it had to write and how many
// of them the frame lists now (a picture written into its slot but not yet
// in the index the frame reads does not count), the pictures the frame
// holds after it, and the rows of the new pictures it does not hold (their
// positions when the write ended; empty when the frame left meanwhile).
struct WriteTally {
    session::CommitStatus status = session::CommitStatus::Failed;
    int fresh = 0;
    int written = 0;
    int onFrame = 0;
    QList<int> unwritten;
    bool whole() const { return status == session::CommitStatus::Committed; }
};

struct AddOutcome {
    session::AddResult result;
    int row = -1;  // the row it was listed at; -1 when not added
    bool ok() const { return row >= 0; }
};

enum class BatchStatus { Done, Refused, Stopped };

struct BatchOutcome {
    BatchStatus status = BatchStatus::Done;
    int added = 0;
    AddOutcome last;  // the last picture tried
};

class FrameAlbum : public QObject {
    Q_OBJECT
public:
    // Makes the link from `choice` (not started: InitComm runs in Start).
    // `pollCapMs` as for session::HotplugDriver; without `scanMachine` in the
    // choice the link watches no system hot-plug monitor.
    explicit FrameAlbum(const session::FrameChoice& choice, int pollCapMs = 0, QObject* parent = nullptr);
    ~FrameAlbum() override;

    // Starts discovery on the link (its state at start is then known) and
    // says whether another program holds the frame (frameInUseChanged).
    void Start();
    // From now on the link's coming and going is signalled, and after Start
    // the hot-plug timer runs. Before Start: a frame there at start is
    // signalled as attached too.
    void Follow();
    bool Following() const { return following_; }
    bool Online() const;
    // Who holds a frame that is there but taken; empty when none is.
    std::string FrameInUse() const;
    std::string FrameInUseHolder() const;

    DPF& Dpf() { return *dpf_; }
    session::FrameSession& Session() { return *session_; }
    AlbumModel& Album() { return *album_; }
    const AlbumModel& Album() const { return *album_; }
    int LcdWidth() const { return lcdWidth_; }
    int LcdHeight() const { return lcdHeight_; }
    int PictureCount() const;
    int MaxPictures() const;

    // ---- the worker ----
    bool Busy() const { return !pending_.isEmpty(); }
    // The job that runs now (the oldest not yet ended), or None.
    Job Running() const { return pending_.isEmpty() ? Job::None : pending_.first(); }
    // The rows and the opening of every job asked for so far are dropped
    // from now on (their finish signals still come, except a read's).
    void Forget();
    quint64 Generation() const { return generation_.load(); }
    // Ends a commit between two pictures.
    void RequestStop();
    // Blocks until no job runs, then hands over what they produced.
    void WaitForIdle();

    void ReadAlbum(ReadOptions options);
    void AddBatch(const QStringList& files, BatchOptions options, AddSteps steps);
    void Commit();

    // ---- quick calls (window's thread, no job running) ----
    AddOutcome AddPicture(const QImage& prepared, const AddSteps& steps, const QString& source = {});
    // Deletes, moves and adds are recorded in the history (see
    // SetHistoryOwnsFiles for the window's files of deleted rows).
    void Delete(int row);
    void DeleteRows(QList<int> rows);  // one step of the history
    void DeleteAll();
    // Moves `rows` (in their order) to stand where row `before` stood
    // (Count(): the end). Refused (false, nothing changed) while a job runs,
    // when nothing would change, or when a picture the frame holds would
    // come after a new one: a reorder then costs only the index.
    bool MoveRows(QList<int> rows, int before);
    // Moves each of `rows` one place up (step < 0) or down, as a playlist
    // does: gaps between them stay, a row that would leave the album, take
    // the place of one of `rows` that could not move, or cross between the
    // frame's pictures and new ones stays where it is. False when nothing
    // moved; `moved` gets where the rows stand afterwards.
    bool ShiftRows(QList<int> rows, int step, QList<int>* moved = nullptr);
    bool Undo();
    bool Redo();
    // The window's files of rows that leave the album for good (a delete
    // that can no longer be undone) are removed by the history. Off: the
    // window looks after its files itself (and may reuse their names).
    void SetHistoryOwnsFiles(bool owns) { historyOwnsFiles_ = owns; }
    // The album differs from the frame's: an edit since the last read or
    // write that is not undone, a damaged picture dropped, or a write that
    // did not end. Edits that bring the album back to the frame's pictures
    // in the frame's order (moved back, an add deleted again) leave it clean.
    bool Modified() const { return !history_.isClean(); }
    const QUndoStack& History() const { return history_; }
    const WriteTally& LastWrite() const { return lastWrite_; }
    // Failure code 0: the frame took them.
    session::Failure SetColors(uint16_t text, uint16_t background);
    bool Export(int row, const QString& path, session::ExportFormat format, int quality, int mode,
                std::string* why = nullptr) const;

signals:
    void frameAttached();
    void frameLeft();
    // Another program took or let go of the frame: who holds it now (the
    // link's words, "mackestova (pid 4242)"), empty when nobody does.
    void frameInUseChanged(const std::string& message);
    void opened(const kestova::session::OpenResult& result);
    void pictureListed(int row);
    // An undecodable picture left the album (once), with the decoder's reason.
    void pictureDropped(const QString& reason);
    void progress(kestova::desktop::Job job, int done, int total);
    void readFinished(const kestova::desktop::ReadOutcome& outcome);
    void batchFinished(const kestova::desktop::BatchOutcome& outcome);
    void commitFinished(const kestova::session::CommitResult& result);
    void modifiedChanged(bool modified);
    // After every job, also one whose results were dropped (`current` false).
    void jobEnded(kestova::desktop::Job job, bool current);

private:
    void Post(Job job, std::function<void(quint64 generation)> body);
    void Deliver(quint64 generation, std::function<void()> fn);
    bool Current(quint64 generation) const { return generation_.load() == generation; }
    void OnLinkStatus(bool online);
    // An add that already happened, recorded so that it can be undone.
    void Recorded(bool add, int row);
    // The history starts afresh: the album equals the frame's, or (false)
    // differs from it with no way back.
    void ForgetHistory(bool albumAsFrames);
    // After every step of the history: an album equal to the frame's is clean.
    void SettleClean();
    void CheckInUse();
    // Puts the rows in `order` (old row numbers, one per position) as one
    // step of the history; false when the facade's rule forbids it or
    // nothing changes.
    bool ApplyOrder(const std::vector<int>& order);
    AddOutcome AddOne(session::AddResult added, const QImage& prepared, const AddSteps& steps, const QString& source,
                      quint64 generation);

    std::unique_ptr<DPF> dpf_;
    std::unique_ptr<session::FrameSession> session_;
    CCommUSB* link_ = nullptr;
    std::unique_ptr<session::HotplugDriver> hotplug_;
    int pollCapMs_ = 0;
    AlbumModel* album_ = nullptr;
    bool following_ = false;
    std::string shownInUse_;  // the holder message last signalled
    int lcdWidth_ = 0, lcdHeight_ = 0;
    QUndoStack history_;
    bool historyOwnsFiles_ = false;
    WriteTally lastWrite_;

    QThread thread_;
    QObject* worker_ = nullptr;  // lives on thread_; jobs run in its event loop
    QList<Job> pending_;         // asked for and not yet ended, in order (window's thread)
    std::atomic<quint64> generation_{1};
    std::mutex idleMutex_;
    std::condition_variable idle_;
    int unfinished_ = 0;  // jobs the worker has not finished (under idleMutex_)
};

} // namespace kestova::desktop

Q_DECLARE_METATYPE(kestova::desktop::ReadOutcome)
Q_DECLARE_METATYPE(kestova::desktop::BatchOutcome)
