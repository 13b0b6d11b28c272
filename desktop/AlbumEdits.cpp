// SPDX-License-Identifier: GPL-3.0-or-later
// The window's edits of the album (add, delete, move) as steps that can be
// undone. Each step changes the facade's edited album and the model's rows
// together, so the two stay in step whichever way the history is walked.
// A row that is out of the album (deleted, or an add undone) keeps its
// window file until its step leaves the history for good, and then, when the
// window handed the files over (SetHistoryOwnsFiles), the file goes.

#include "desktop/FrameAlbum.h"

#include "flash_manager/DPF.h"

#include <QFile>
#include <QUndoCommand>

#include <algorithm>
#include <numeric>

namespace kestova::desktop {

namespace {

// One row out of the album and back: a delete, and an add seen backwards.
class RowStep : public QUndoCommand {
public:
    RowStep(DPF& dpf, AlbumModel& album, int row, bool isAdd, bool ownsFile)
        : dpf_(dpf), album_(album), row_(row), isAdd_(isAdd), ownsFile_(ownsFile)
    {
    }
    ~RowStep() override
    {
        // Out of the album for good: its file goes too.
        if (out_ && ownsFile_ && !entry_.file.isEmpty())
            QFile::remove(entry_.file);
    }
    void redo() override
    {
        if (isAdd_) {
            if (first_)
                first_ = false;  // the add happened before it was recorded
            else
                In();
        } else {
            Out();
        }
    }
    void undo() override
    {
        if (isAdd_)
            Out();
        else
            In();
    }

private:
    void Out()
    {
        taken_ = dpf_.TakeFileAt(row_);
        if (!taken_.item)
            return;
        entry_ = album_.Take(row_);
        out_ = true;
    }
    void In()
    {
        // Refused only when a later edit still holds its slot, which the
        // order of the history rules out.
        if (!out_ || dpf_.PutBackFile(row_, taken_) != 1)
            return;
        album_.Insert(row_, std::move(entry_));
        entry_ = {};
        out_ = false;
    }

    DPF& dpf_;
    AlbumModel& album_;
    const int row_;
    const bool isAdd_;
    const bool ownsFile_;
    bool first_ = true;
    bool out_ = false;
    CPictureManager::TakenPicture taken_;
    AlbumEntry entry_;
};

class MoveStep : public QUndoCommand {
public:
    MoveStep(DPF& dpf, AlbumModel& album, int from, int to) : dpf_(dpf), album_(album), from_(from), to_(to) {}
    void redo() override { Move(from_, to_); }
    void undo() override { Move(to_, from_); }

private:
    void Move(int from, int to)
    {
        if (dpf_.MoveFile(from, to) == 1)
            album_.Move(from, to);
    }
    DPF& dpf_;
    AlbumModel& album_;
    const int from_, to_;
};

} // namespace

void FrameAlbum::Recorded(bool add, int row)
{
    history_.push(new RowStep(*dpf_, *album_, row, add, historyOwnsFiles_));
    SettleClean();
}

void FrameAlbum::SettleClean()
{
    // An edit that leaves the album exactly as the frame holds it (the same
    // pictures in the frame's order, nothing new, nothing gone) needs no
    // write: that place in the history counts as the frame's album, however
    // it was reached.
    if (!history_.isClean() && !dpf_->HasPendingChanges())
        history_.setClean();
}

void FrameAlbum::Delete(int row)
{
    DeleteRows({row});
}

void FrameAlbum::DeleteRows(QList<int> rows)
{
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows.isEmpty() || rows.first() < 0 || rows.last() >= album_->Count())
        return;
    // One step of the history, however many rows go.
    history_.beginMacro(QStringLiteral("delete"));
    for (auto row = rows.crbegin(); row != rows.crend(); ++row)
        history_.push(new RowStep(*dpf_, *album_, *row, false, historyOwnsFiles_));
    history_.endMacro();
    SettleClean();
}

void FrameAlbum::DeleteAll()
{
    QList<int> rows;
    for (int i = 0; i < album_->Count(); ++i)
        rows << i;
    DeleteRows(rows);
}

bool FrameAlbum::MoveRows(QList<int> rows, int before)
{
    const int count = album_->Count();
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows.isEmpty() || rows.first() < 0 || rows.last() >= count || Busy())
        return false;
    before = std::clamp(before, 0, count);
    // The order asked for: the other rows, with the moved ones (in their
    // order) standing where `before` was.
    std::vector<int> order, moved(rows.begin(), rows.end());
    for (int i = 0; i < count; ++i) {
        if (i == before)
            order.insert(order.end(), moved.begin(), moved.end());
        if (!std::binary_search(moved.begin(), moved.end(), i))
            order.push_back(i);
    }
    if (before == count)
        order.insert(order.end(), moved.begin(), moved.end());
    return ApplyOrder(order);
}

bool FrameAlbum::ShiftRows(QList<int> rows, int step, QList<int>* moved)
{
    const int count = album_->Count();
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (moved)
        *moved = rows;
    if (rows.isEmpty() || rows.first() < 0 || rows.last() >= count || step == 0 || Busy())
        return false;
    const int onFrame = dpf_->GetCommittedNum();
    std::vector<int> order(static_cast<std::size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    QList<int> after = rows;
    // Walked from the side they move to, each row swaps with its neighbour
    // unless that place is out of reach: the album's end, the boundary
    // between the frame's pictures and new ones, or a row of the selection
    // that stayed.
    const bool up = step < 0;
    int reach = up ? 0 : count - 1;  // the farthest place still free
    for (int k = 0; k < rows.size(); ++k) {
        const int i = up ? k : int(rows.size()) - 1 - k;
        const int row = rows[i];
        const int target = up ? row - 1 : row + 1;
        const int bound = up ? std::max(reach, row >= onFrame ? onFrame : 0)
                             : std::min(reach, row < onFrame ? onFrame - 1 : count - 1);
        if (up ? target < bound : target > bound) {
            reach = up ? row + 1 : row - 1;  // it stays and blocks its place
            continue;
        }
        std::swap(order[std::size_t(row)], order[std::size_t(target)]);
        after[i] = target;
        reach = row;  // the place it left holds the neighbour now
    }
    if (!ApplyOrder(order))
        return false;
    if (moved)
        *moved = after;
    return true;
}

bool FrameAlbum::ApplyOrder(const std::vector<int>& order)
{
    const int count = album_->Count();
    if (int(order.size()) != count || Busy())
        return false;
    // Pictures the frame holds stay ahead of new ones (the facade keeps the
    // two apart so a reorder costs only the index).
    const int onFrame = dpf_->GetCommittedNum();
    for (int i = 0; i < count; ++i)
        if ((order[std::size_t(i)] < onFrame) != (i < onFrame))
            return false;
    std::vector<int> now(static_cast<std::size_t>(count));
    std::iota(now.begin(), now.end(), 0);
    if (now == order)
        return false;
    history_.beginMacro(QStringLiteral("move"));
    for (int i = 0; i < count; ++i) {
        const int at = int(std::find(now.begin(), now.end(), order[std::size_t(i)]) - now.begin());
        if (at == i)
            continue;
        history_.push(new MoveStep(*dpf_, *album_, at, i));
        const int row = now[std::size_t(at)];
        now.erase(now.begin() + at);
        now.insert(now.begin() + i, row);
    }
    history_.endMacro();
    SettleClean();
    return true;
}

bool FrameAlbum::Undo()
{
    if (Busy() || !history_.canUndo())
        return false;
    history_.undo();
    SettleClean();
    return true;
}

bool FrameAlbum::Redo()
{
    if (Busy() || !history_.canRedo())
        return false;
    history_.redo();
    SettleClean();
    return true;
}

void FrameAlbum::ForgetHistory(bool albumAsFrames)
{
    history_.clear();
    // clear() alone leaves a clean state that resetClean() took away unset.
    if (albumAsFrames)
        history_.setClean();
    else
        history_.resetClean();
}

} // namespace kestova::desktop
