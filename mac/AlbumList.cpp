// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/AlbumList.h"

#include "desktop/AlbumModel.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace kestova::mac {

// ---------------------------------------------------------------------------
// AlbumRows

AlbumRows::AlbumRows(QObject* parent) : QIdentityProxyModel(parent) {}

QString AlbumRows::RowName(int row, bool onFrame)
{
    return QStringLiteral("%1%2.bmp").arg(onFrame ? QLatin1String("DPFPicture") : QLatin1String("Picture")).arg(row + 1);
}

void AlbumRows::setSourceModel(QAbstractItemModel* source)
{
    if (sourceModel())
        disconnect(sourceModel(), nullptr, this, nullptr);
    thumbnails_.clear();
    QIdentityProxyModel::setSourceModel(source);
    if (!source)
        return;
    connect(source, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first) { Renamed(first); });
    connect(source, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first) { Renamed(first); });
    connect(source, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int first, int, const QModelIndex&, int before) { Renamed(std::min(first, before)); });
    connect(source, &QAbstractItemModel::modelReset, this, [this] { thumbnails_.clear(); });
    connect(source, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex&, const QList<int>& roles) {
                // A write puts the rows on the frame: their names change.
                if (roles.isEmpty() || roles.contains(desktop::AlbumModel::OnFrameRole))
                    Renamed(topLeft.row());
            });
}

void AlbumRows::Renamed(int first)
{
    const int last = rowCount() - 1;
    if (first < 0 || first > last)
        return;
    emit dataChanged(index(first, 0), index(last, 0), {Qt::DisplayRole, Qt::ToolTipRole});
}

void AlbumRows::SetThumbnailSize(QSize size)
{
    if (size == thumbnailSize_ || size.isEmpty())
        return;
    thumbnailSize_ = size;
    thumbnails_.clear();
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DecorationRole});
}

QVariant AlbumRows::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || !sourceModel())
        return {};
    const QModelIndex source = mapToSource(index);
    switch (role) {
    case Qt::DisplayRole:
        return RowName(index.row(), source.data(desktop::AlbumModel::OnFrameRole).toBool());
    case Qt::ToolTipRole:
        if (!source.data(desktop::AlbumModel::OnFrameRole).toBool())
            return QStringLiteral("Not yet on the frame: Download writes it");
        return {};
    case Qt::DecorationRole: {
        // What the frame shows, scaled into the thumbnail size once.
        const QImage picture = source.data(desktop::AlbumModel::PictureRole).value<QImage>();
        if (picture.isNull())
            return {};
        auto it = thumbnails_.find(picture.cacheKey());
        if (it == thumbnails_.end())
            it = thumbnails_.insert(picture.cacheKey(),
                                    QPixmap::fromImage(picture.scaled(thumbnailSize_, Qt::KeepAspectRatio,
                                                                      Qt::SmoothTransformation)));
        return *it;
    }
    default:
        return QIdentityProxyModel::data(index, role);
    }
}

QString AlbumRows::File(int row) const
{
    return row >= 0 && row < rowCount() ? index(row, 0).data(desktop::AlbumModel::FileRole).toString() : QString();
}

// ---------------------------------------------------------------------------
// AlbumListView

AlbumListView::AlbumListView(QWidget* parent) : QListView(parent)
{
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Qt's own dragging would copy rows around; a drag here asks for a move.
    setDragEnabled(false);
    setUniformItemSizes(true);
    setIconSize(QSize(48, 48));
}

void AlbumListView::SetEmptyHint(const QString& text)
{
    emptyHint_ = text;
    viewport()->update();
}

void AlbumListView::paintEvent(QPaintEvent* event)
{
    QListView::paintEvent(event);
    QPainter p(viewport());
    if (dragging_ && dropRow_ >= 0 && model() && model()->rowCount() > 0) {
        // The line between the rows where the dragged ones would go.
        const int count = model()->rowCount();
        const int y = dropRow_ < count ? visualRect(model()->index(dropRow_, 0)).top()
                                       : visualRect(model()->index(count - 1, 0)).bottom() + 1;
        p.fillRect(QRect(0, y - 1, viewport()->width(), 3), palette().color(QPalette::Highlight));
    }
    if (emptyHint_.isEmpty() || (model() && model()->rowCount() > 0))
        return;
    p.setPen(palette().color(QPalette::PlaceholderText));
    p.drawText(viewport()->rect().adjusted(10, 10, -10, -10), Qt::AlignCenter | Qt::TextWordWrap, emptyHint_);
}

QList<int> AlbumListView::SelectedRows() const
{
    QList<int> rows;
    if (!selectionModel())
        return rows;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        rows << index.row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

int AlbumListView::SelectedRow() const
{
    if (!selectionModel())
        return -1;
    const QModelIndex current = currentIndex();
    if (current.isValid() && selectionModel()->isSelected(current))
        return current.row();
    const QList<int> rows = SelectedRows();
    return rows.isEmpty() ? -1 : rows.first();
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

void AlbumListView::SelectRange(int first, int count)
{
    if (!selectionModel() || !model() || count < 1)
        return;
    const QModelIndex top = model()->index(first, 0);
    const QModelIndex bottom = model()->index(first + count - 1, 0);
    if (!top.isValid() || !bottom.isValid())
        return;
    selectionModel()->setCurrentIndex(top, QItemSelectionModel::NoUpdate);
    selectionModel()->select(QItemSelection(top, bottom), QItemSelectionModel::ClearAndSelect);
    scrollTo(top);
}

void AlbumListView::SelectRows(const QList<int>& rows)
{
    if (!selectionModel() || !model() || rows.isEmpty())
        return;
    QItemSelection selection;
    for (int row : rows)
        if (const QModelIndex index = model()->index(row, 0); index.isValid())
            selection.select(index, index);
    const QModelIndex first = model()->index(rows.first(), 0);
    selectionModel()->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    scrollTo(first);
}

int AlbumListView::DropRowAt(QPoint point, const QList<int>& dragged) const
{
    const int count = model() ? model()->rowCount() : 0;
    if (count == 0)
        return 0;
    const QModelIndex under = indexAt(point);
    if (!under.isValid())
        return point.y() < visualRect(model()->index(0, 0)).top() ? 0 : count;
    const int place = under.row();
    const bool later = !dragged.isEmpty() && place > *std::max_element(dragged.begin(), dragged.end());
    return later ? place + 1 : place;
}

void AlbumListView::mousePressEvent(QMouseEvent* event)
{
    dragging_ = false;
    dropRow_ = -1;
    pressAt_ = event->position().toPoint();
    const bool plain =
        event->button() == Qt::LeftButton && !(event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier));
    const QModelIndex under = indexAt(pressAt_);
    pressedOnSelected_ = plain && under.isValid() && selectionModel() && selectionModel()->isSelected(under);
    if (pressedOnSelected_) {
        pressedOnItem_ = true;
        return;  // the selection stays as it is: it may be dragged
    }
    QListView::mousePressEvent(event);
    // A plain press that just selected a row may start a drag of it too.
    const QModelIndex now = indexAt(pressAt_);
    pressedOnItem_ = plain && now.isValid() && selectionModel() && selectionModel()->isSelected(now);
}

void AlbumListView::mouseMoveEvent(QMouseEvent* event)
{
    if (pressedOnItem_ && (event->buttons() & Qt::LeftButton)) {
        const QPoint at = event->position().toPoint();
        if (!dragging_ && (at - pressAt_).manhattanLength() >= QApplication::startDragDistance()) {
            dragging_ = true;
            viewport()->setCursor(Qt::DragMoveCursor);
        }
        if (dragging_) {
            // Outside the list there is no place to drop: no line, no
            // scrolling, and a release there cancels the drag.
            if (!viewport()->rect().contains(at)) {
                dropRow_ = -1;
                viewport()->update();
                return;
            }
            // Near an edge the list scrolls on, so any place can be reached.
            const int edge = std::max(8, viewport()->height() / 8);
            QScrollBar* bar = verticalScrollBar();
            if (at.y() < edge)
                bar->setValue(bar->value() - bar->singleStep());
            else if (at.y() > viewport()->height() - edge)
                bar->setValue(bar->value() + bar->singleStep());
            dropRow_ = DropRowAt(at, SelectedRows());
            viewport()->update();
        }
        return;
    }
    QListView::mouseMoveEvent(event);
}

void AlbumListView::mouseReleaseEvent(QMouseEvent* event)
{
    if (!pressedOnItem_) {
        QListView::mouseReleaseEvent(event);
        return;
    }
    const bool dragged = dragging_;
    pressedOnItem_ = dragging_ = false;
    dropRow_ = -1;
    viewport()->unsetCursor();
    viewport()->update();
    if (!dragged) {
        if (!pressedOnSelected_) {
            QListView::mouseReleaseEvent(event);
        } else {
            // A plain click on a selected row chooses just that one.
            const QModelIndex under = indexAt(event->position().toPoint());
            if (under.isValid())
                selectionModel()->setCurrentIndex(under, QItemSelectionModel::ClearAndSelect);
        }
        return;
    }
    const QPoint at = event->position().toPoint();
    if (!viewport()->rect().contains(at))
        return;  // released outside the list: nothing moves
    const QList<int> rows = SelectedRows();
    if (!rows.isEmpty())
        emit moveRequested(rows, DropRowAt(at, rows));
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
