// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/widgets/AlbumList.h"

#include "imaging/PictureLoader.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace kestova::win {

namespace {
constexpr int kImageRole = Qt::UserRole;
}

CAlbumList::CAlbumList(QWidget* parent) : QListWidget(parent)
{
    setObjectName(QStringLiteral("ctl1005"));
    setViewMode(QListView::IconMode);
    // Free movement is what lets every item sit where the formula puts it;
    // Qt's own dragging is off, so the user cannot move items out of place:
    // a drag here asks the album for a move instead.
    setMovement(QListView::Free);
    setDragEnabled(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setResizeMode(QListView::Fixed);
    setSpacing(0);
    setIconSize(QSize(width_, height_));
}

void CAlbumList::SetGeometry(int width, int height, int columnGap, int rowGap)
{
    width_ = std::max(0, width);
    height_ = std::max(0, height);
    columnGap_ = std::max(0, columnGap);
    rowGap_ = std::max(0, rowGap);
}

void CAlbumList::SetColumns(int count)
{
    // A column count of 0 (a settings file without the key) would divide by zero.
    columns_ = std::max(1, count);
}

QPoint CAlbumList::PositionOf(int index) const
{
    return {columnGap_ + (index % columns_) * (columnGap_ + width_), (index / columns_) * (rowGap_ + height_)};
}

void CAlbumList::DetachItemsFromImages()
{
    // Items that outlive their image list keep their pictures but no longer
    // own a slot, so deleting them later cannot free a slot of the new list.
    for (int i = 0; i < count(); ++i)
        item(i)->setData(kImageRole, -1);
}

void CAlbumList::CreateImages()
{
    DetachItemsFromImages();
    images_.clear();
    freeSlots_.clear();
    hasImages_ = true;
    setIconSize(QSize(width_, height_));
}

void CAlbumList::DestroyImages()
{
    DetachItemsFromImages();
    images_.clear();
    freeSlots_.clear();
    hasImages_ = false;
}

QImage CAlbumList::LoadThumbnailImage(const QString& bitmapPath, QSize size)
{
    if (size.isEmpty())
        return {};
    LoadedPicture p = ReadPictureFile(bitmapPath);
    if (!p.ok())
        return {};
    return p.image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

bool CAlbumList::AddFromFile(const QString& bitmapPath, const QString& label)
{
    if (!hasImages_)
        return false;
    const QImage img = LoadThumbnailImage(bitmapPath, QSize(width_, height_));
    return !img.isNull() && AddThumbnail(img, label);
}

bool CAlbumList::AddThumbnail(const QImage& bitmap, const QString& label)
{
    return InsertThumbnail(count(), bitmap, label);
}

bool CAlbumList::InsertThumbnail(int index, const QImage& bitmap, const QString& label)
{
    if (!hasImages_ || bitmap.isNull() || width_ < 1 || height_ < 1)
        return false;
    const QSize size(width_, height_);
    QPixmap pixmap = QPixmap::fromImage(
        bitmap.size() == size ? bitmap : bitmap.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));

    setUpdatesEnabled(false);
    const int n = std::clamp(index, 0, count());
    const bool last = n == count();
    int slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
        images_[size_t(slot)] = pixmap;
    } else {
        // Every image is either shown by an item or free, so with no free
        // slot the new image's index is the item count.
        slot = int(images_.size());
        images_.push_back(pixmap);
    }
    auto* item = new QListWidgetItem(QIcon(pixmap), label);
    item->setData(kImageRole, slot);
    insertItem(n, item);
    if (last)
        setPositionForIndex(PositionOf(n), indexFromItem(item));
    else
        Relayout();
    setUpdatesEnabled(true);
    return true;
}

void CAlbumList::MoveThumbnail(int from, int to)
{
    if (from == to || from < 0 || to < 0 || from >= count() || to >= count())
        return;
    setUpdatesEnabled(false);
    const bool selected = item(from)->isSelected();
    QListWidgetItem* moved = takeItem(from);
    insertItem(to, moved);
    moved->setSelected(selected);
    Relayout();
    setUpdatesEnabled(true);
}

void CAlbumList::LabelByPosition()
{
    for (int i = 0; i < count(); ++i)
        item(i)->setText(QString::asprintf("%04d.bmp", i + 1));
}

int CAlbumList::DropRowAt(QPoint point, const QList<int>& dragged) const
{
    if (count() == 0)
        return 0;
    const QPoint p = point + QPoint(horizontalOffset(), verticalOffset());
    const int column = std::clamp((p.x() - columnGap_ / 2) / std::max(1, columnGap_ + width_), 0, columns_ - 1);
    const int row = std::max(0, p.y() / std::max(1, rowGap_ + height_));
    const int place = row * columns_ + column;
    if (place >= count())
        return count();
    // Dropped on a later item, the dragged ones go after it; on an earlier
    // one, before it.
    const bool later = !dragged.isEmpty() && place > *std::max_element(dragged.begin(), dragged.end());
    return later ? place + 1 : place;
}

void CAlbumList::mousePressEvent(QMouseEvent* e)
{
    dragging_ = false;
    pressAt_ = e->position().toPoint();
    const bool plain = e->button() == Qt::LeftButton && !(e->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier));
    QListWidgetItem* under = itemAt(pressAt_);
    pressedOnSelected_ = plain && under && under->isSelected();
    if (pressedOnSelected_) {
        pressedOnItem_ = true;
        return;  // the selection stays as it is: it may be dragged
    }
    QListWidget::mousePressEvent(e);
    if (e->button() == Qt::RightButton) {
        pressedOnItem_ = false;
        emit rightButtonDown(e->globalPosition().toPoint());
        return;
    }
    // A plain press that just selected an item may start a drag of it too.
    under = itemAt(pressAt_);
    pressedOnItem_ = plain && under && under->isSelected();
}

void CAlbumList::mouseMoveEvent(QMouseEvent* e)
{
    if (pressedOnItem_ && (e->buttons() & Qt::LeftButton)) {
        if ((e->position().toPoint() - pressAt_).manhattanLength() >= QApplication::startDragDistance()) {
            dragging_ = true;
            viewport()->setCursor(Qt::DragMoveCursor);
        }
        return;
    }
    QListWidget::mouseMoveEvent(e);
}

void CAlbumList::mouseReleaseEvent(QMouseEvent* e)
{
    if (!pressedOnItem_) {
        QListWidget::mouseReleaseEvent(e);
        return;
    }
    const bool dragged = dragging_;
    pressedOnItem_ = dragging_ = false;
    viewport()->unsetCursor();
    if (!dragged) {
        if (!pressedOnSelected_) {
            QListWidget::mouseReleaseEvent(e);
        } else if (QListWidgetItem* under = itemAt(e->position().toPoint())) {
            // A plain click on a selected item selects just that one.
            setCurrentItem(under, QItemSelectionModel::ClearAndSelect);
        }
        return;
    }
    QList<int> rows;
    for (int i = 0; i < count(); ++i)
        if (item(i)->isSelected())
            rows << i;
    if (!rows.isEmpty())
        emit moveRequested(rows, DropRowAt(e->position().toPoint(), rows));
}

int CAlbumList::ImageIndexOf(int index) const
{
    const QListWidgetItem* it = item(index);
    return it ? it->data(kImageRole).toInt() : -1;
}

void CAlbumList::RemoveThumbnail(int index)
{
    QListWidgetItem* it = item(index);
    if (!it)
        return;
    const int slot = it->data(kImageRole).toInt();
    if (slot >= 0 && slot < int(images_.size()) &&
        std::find(freeSlots_.begin(), freeSlots_.end(), slot) == freeSlots_.end())
        freeSlots_.push_back(slot);
    delete takeItem(index);
}

void CAlbumList::RemoveAll()
{
    setUpdatesEnabled(false);
    for (int n = count(); n > 0; --n)
        RemoveThumbnail(0);
    setUpdatesEnabled(true);
}

void CAlbumList::doItemsLayout()
{
    QListWidget::doItemsLayout();
    Relayout();
}

void CAlbumList::Relayout()
{
    for (int i = 0; i < count(); ++i)
        setPositionForIndex(PositionOf(i), model()->index(i, 0));
}

void CAlbumList::SetEmptyHint(const QString& text)
{
    if (text == emptyHint_)
        return;
    emptyHint_ = text;
    viewport()->update();
}

void CAlbumList::paintEvent(QPaintEvent* e)
{
    QListWidget::paintEvent(e);
    if (count() > 0 || emptyHint_.isEmpty())
        return;
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::PlaceholderText));
    const int margin = 12;
    p.drawText(viewport()->rect().adjusted(margin, margin, -margin, -margin), Qt::AlignCenter | Qt::TextWordWrap,
               emptyHint_);
}

} // namespace kestova::win
