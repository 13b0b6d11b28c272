// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/AlbumList.h"

#include <QFile>
#include <QItemSelectionModel>
#include <QPainter>

namespace kestova::mac {

AlbumModel::AlbumModel(QObject* parent) : QAbstractListModel(parent) {}

void AlbumModel::Show(FileDataHead* list, int count)
{
    std::vector<Row> rows;
    if (list)
        for (int i = 1; i <= count && i <= list->count; ++i) {
            const FileData* node = GetNode(list, i);
            rows.push_back({QString::fromStdString(node->name), QFile::decodeName(node->bitmapPath.c_str())});
        }
    if (rows == rows_)
        return;
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void AlbumModel::Remove(int row)
{
    if (row < 0 || row >= int(rows_.size()))
        return;
    beginRemoveRows(QModelIndex(), row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
}

void AlbumModel::Clear()
{
    if (rows_.empty())
        return;
    beginResetModel();
    rows_.clear();
    endResetModel();
}

int AlbumModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

QVariant AlbumModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows_.size()))
        return {};
    if (role == Qt::DisplayRole)
        return rows_[size_t(index.row())].name;
    if (role == BitmapPathRole)
        return rows_[size_t(index.row())].bitmapPath;
    return {};
}

QString AlbumModel::BitmapPath(int row) const
{
    return row >= 0 && row < int(rows_.size()) ? rows_[size_t(row)].bitmapPath : QString();
}

AlbumListView::AlbumListView(QWidget* parent) : QListView(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void AlbumListView::SetEmptyHint(const QString& text)
{
    emptyHint_ = text;
    viewport()->update();
}

void AlbumListView::paintEvent(QPaintEvent* event)
{
    QListView::paintEvent(event);
    if (emptyHint_.isEmpty() || (model() && model()->rowCount() > 0))
        return;
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::PlaceholderText));
    p.drawText(viewport()->rect().adjusted(10, 10, -10, -10), Qt::AlignCenter | Qt::TextWordWrap, emptyHint_);
}

int AlbumListView::SelectedRow() const
{
    if (!selectionModel())
        return -1;
    const QModelIndexList rows = selectionModel()->selectedIndexes();
    return rows.isEmpty() ? -1 : rows.constFirst().row();
}

void AlbumListView::SelectRow(int row)
{
    if (!selectionModel() || !model())
        return;
    const QModelIndex index = row >= 0 ? model()->index(row, 0) : QModelIndex();
    if (!index.isValid()) {
        selectionModel()->clearSelection();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        emit rowChosen(-1);
        return;
    }
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    scrollTo(index);
}

void AlbumListView::focusInEvent(QFocusEvent* event)
{
    const bool hadCurrent = currentIndex().isValid();
    QListView::focusInEvent(event);
    // The base view makes its first row current when the focus arrives;
    // nothing was chosen, so nothing may be current.
    if (!hadCurrent && currentIndex().isValid() && selectionModel() &&
        !selectionModel()->isSelected(currentIndex()))
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}

void AlbumListView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    QListView::selectionChanged(selected, deselected);
    const int row = SelectedRow();
    if (row < 0 && currentIndex().isValid())
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    emit rowChosen(row);
}

} // namespace kestova::mac
