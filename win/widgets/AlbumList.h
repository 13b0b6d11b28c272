// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album list (control 1005): the pictures that will be written to the
// frame, as real thumbnails in an icon view. Item i stands at
//   x = column gap + (i mod columns) * (column gap + thumbnail width)
//   y = (i div columns) * (row gap + thumbnail height)
// Thumbnails live in the list's own image list; a deleted item leaves its
// image behind as a free slot that the next added thumbnail reuses, so the
// image list does not grow while the user deletes and adds.
//
// Dragging items moves them: the list asks (moveRequested) and the album,
// once it agreed, moves the items back into the formula's places.
//
// Window's thread only. A worker that reads thumbnails prepares the picture
// with LoadThumbnailImage and hands it to AddThumbnail through a queued call.

#include <QImage>
#include <QListWidget>
#include <QPixmap>
#include <QPoint>
#include <QSize>
#include <QString>

#include <vector>

namespace kestova::win {

class CAlbumList : public QListWidget {
    Q_OBJECT
public:
    explicit CAlbumList(QWidget* parent = nullptr);

    // Stores the thumbnail geometry (applies to images made after the next
    // CreateImages) and the gaps. Negative values count as 0.
    void SetGeometry(int width, int height, int columnGap, int rowGap);
    // Thumbnails per row; a count below 1 is taken as 1.
    void SetColumns(int count);
    int Columns() const { return columns_; }
    QSize ThumbnailSize() const { return {width_, height_}; }
    int ColumnGap() const { return columnGap_; }
    int RowGap() const { return rowGap_; }

    // Where item `index` stands (the formula above).
    QPoint PositionOf(int index) const;

    // Makes a new, empty image list at the current thumbnail size (empties
    // the free slots). Without an image list nothing can be added.
    void CreateImages();
    void DestroyImages();
    bool HasImages() const { return hasImages_; }

    // Loads a bitmap file stretched to the thumbnail size and adds it; false
    // (nothing added) when it cannot be loaded or there is no image list.
    bool AddFromFile(const QString& bitmapPath, const QString& label);
    // Adds an item at the end with this picture (stretched to the thumbnail
    // size when it differs) and label; false when there is nothing to add
    // or no image list.
    bool AddThumbnail(const QImage& bitmap, const QString& label);
    // The same at position `index` (clamped to the list); items after it
    // move one place on.
    bool InsertThumbnail(int index, const QImage& bitmap, const QString& label);
    // Item `from` goes to position `to`, keeping its picture.
    void MoveThumbnail(int from, int to);
    // Every item labelled by its position ("%04d.bmp", from 1).
    void LabelByPosition();
    // Any thread: a bitmap file read and stretched to `size`; null on failure.
    static QImage LoadThumbnailImage(const QString& bitmapPath, QSize size);

    void RemoveThumbnail(int index);
    void RemoveAll();
    // Moves every item i to the position of index i (after deletions).
    void Relayout();

    // The image-list slot an item shows (-1 when its image list was
    // destroyed or replaced since), and the image list itself.
    int ImageIndexOf(int index) const;
    int ImageCount() const { return int(images_.size()); }
    const std::vector<int>& FreeSlots() const { return freeSlots_; }

    // Words shown inside the list while it holds no item (how pictures get
    // in); empty: none.
    void SetEmptyHint(const QString& text);
    const QString& EmptyHint() const { return emptyHint_; }

    // The view lays its items out afresh (after insertions, resizes); every
    // item is then put back where the formula says.
    void doItemsLayout() override;

    // The row a drop at `point` (viewport coordinates) puts dragged items
    // before, with the formula read backwards: on an item, its place.
    int DropRowAt(QPoint point, const QList<int>& dragged) const;

signals:
    // The user dragged the selected items (rows in album order) to stand
    // where row `before` stood; the album decides whether they move.
    void moveRequested(const QList<int>& rows, int before);
    // The right button went down on the list (after the item under it was
    // selected), at `globalPos`: the window shows its context menu there.
    void rightButtonDown(const QPoint& globalPos);

protected:
    void paintEvent(QPaintEvent* e) override;
    // A press on a selected item and a move past the drag distance drag the
    // selection instead of starting a rubber band.
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    void DetachItemsFromImages();

    QString emptyHint_;
    QPoint pressAt_;
    bool pressedOnItem_ = false;     // a plain press on a selected item: a drag may follow
    bool pressedOnSelected_ = false; // it was selected before the press
    bool dragging_ = false;

    int columns_ = 2;
    int rowGap_ = 15;
    int columnGap_ = 15;
    int height_ = 128;
    int width_ = 128;
    bool hasImages_ = false;
    std::vector<QPixmap> images_;  // the image list
    std::vector<int> freeSlots_;
};

} // namespace kestova::win
