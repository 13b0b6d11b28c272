// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktop/AlbumModel.h"

#include <QFileInfo>

#include <algorithm>

namespace kestova::desktop {

AlbumModel::AlbumModel(QObject* parent) : QAbstractListModel(parent) {}

QStringList AlbumModel::Files() const
{
    QStringList files;
    files.reserve(qsizetype(rows_.size()));
    for (const AlbumEntry& e : rows_)
        files << e.file;
    return files;
}

void AlbumModel::Append(AlbumEntry entry)
{
    const int row = Count();
    beginInsertRows(QModelIndex(), row, row);
    rows_.push_back(std::move(entry));
    endInsertRows();
}

void AlbumModel::Insert(int row, AlbumEntry entry)
{
    row = std::clamp(row, 0, Count());
    beginInsertRows(QModelIndex(), row, row);
    rows_.insert(rows_.begin() + row, std::move(entry));
    endInsertRows();
}

void AlbumModel::Remove(int row)
{
    Take(row);
}

AlbumEntry AlbumModel::Take(int row)
{
    if (row < 0 || row >= Count())
        return {};
    beginRemoveRows(QModelIndex(), row, row);
    AlbumEntry entry = std::move(rows_[std::size_t(row)]);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
    return entry;
}

void AlbumModel::Move(int from, int to)
{
    if (from == to || from < 0 || to < 0 || from >= Count() || to >= Count())
        return;
    // Qt names the destination as the row the moved one goes before.
    beginMoveRows(QModelIndex(), from, from, QModelIndex(), to > from ? to + 1 : to);
    AlbumEntry entry = std::move(rows_[std::size_t(from)]);
    rows_.erase(rows_.begin() + from);
    rows_.insert(rows_.begin() + to, std::move(entry));
    endMoveRows();
}

void AlbumModel::Clear()
{
    if (rows_.empty())
        return;
    beginResetModel();
    rows_.clear();
    endResetModel();
}

void AlbumModel::MarkAllOnFrame()
{
    MarkOnFrame(Count());
}

void AlbumModel::MarkOnFrame(int first)
{
    first = std::clamp(first, 0, Count());
    for (int row = 0; row < first; ++row)
        rows_[std::size_t(row)].onFrame = true;
    if (first > 0)
        emit dataChanged(index(0), index(first - 1), {OnFrameRole});
}

int AlbumModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : Count();
}

QVariant AlbumModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= Count())
        return {};
    const AlbumEntry& e = At(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return QFileInfo(e.file).fileName();
    case PictureRole:
        return e.picture;
    case SourceRole:
        return e.source;
    case FileRole:
        return e.file;
    case OnFrameRole:
        return e.onFrame;
    default:
        return {};
    }
}

} // namespace kestova::desktop
