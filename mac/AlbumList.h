// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album list as the window shows it: the desktop layer's album model
// (desktop::AlbumModel, the one album of the program) seen through a thin
// presentation (AlbumRows) that gives each row its name by position and a
// thumbnail of the picture as the frame shows it, and the view that shows
// it, with several rows selectable and dragging to reorder.

#include <QIdentityProxyModel>
#include <QListView>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <QHash>

namespace kestova::mac {

// Presents desktop::AlbumModel: the row text is the program's own name of
// the entry by position (RowName), the decoration the decoded picture scaled
// into the thumbnail size, and a row the frame does not hold yet says so in
// its tooltip. Every other role is the layer's.
class AlbumRows : public QIdentityProxyModel {
    Q_OBJECT
public:
    explicit AlbumRows(QObject* parent = nullptr);

    // "DPFPictureN.bmp" for a picture the frame holds, "PictureN.bmp" for one
    // it does not hold yet; N is the position from 1. A read names the
    // frame's pictures the same way, so a name never depends on how the
    // picture got to its place.
    static QString RowName(int row, bool onFrame);

    void setSourceModel(QAbstractItemModel* source) override;
    void SetThumbnailSize(QSize size);
    QSize ThumbnailSize() const { return thumbnailSize_; }
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // The window's own file of row `row` (from 0); empty when there is none.
    QString File(int row) const;

private:
    // Names follow positions: after rows come, go or move, every later row
    // is told that its text changed.
    void Renamed(int first);
    QSize thumbnailSize_{48, 48};
    mutable QHash<qint64, QPixmap> thumbnails_;
};

// The album list ('pict' 0). Only the person makes a row current: taking
// the keyboard focus does not pick a row (a plain list would make its first
// row current, framed but not selected), and with nothing selected nothing
// is current. Ctrl-click and Shift-click select several rows; a press on a
// selected row followed by a move drags the selection, and the release asks
// for the move (moveRequested); a line shows where the rows would go. A
// release outside the list cancels the drag.
class AlbumListView : public QListView {
    Q_OBJECT
public:
    explicit AlbumListView(QWidget* parent = nullptr);

    // The selected rows (from 0), in album order.
    QList<int> SelectedRows() const;
    // The chosen row: the current row when it is selected, else the first
    // selected one; -1 with nothing selected.
    int SelectedRow() const;
    // Selects row `row` (from 0) alone and makes it current; -1 clears both.
    void SelectRow(int row);
    // Selects rows first..first+count-1 and makes the first current.
    void SelectRange(int first, int count);
    // Selects exactly `rows` (from 0), the first of them current.
    void SelectRows(const QList<int>& rows);
    // Words shown inside the list while it has no row; empty: none.
    void SetEmptyHint(const QString& text);
    QString EmptyHint() const { return emptyHint_; }
    // The row before which the line of a drag shows; -1 while none shows
    // (no drag, or the cursor is outside the list).
    int DropLine() const { return dragging_ ? dropRow_ : -1; }
    // The row a drop at `point` (viewport coordinates) puts the dragged
    // rows before: dropped on a later row they go after it, on an earlier
    // one before it (the dragged rows take the place they were dropped on).
    int DropRowAt(QPoint point, const QList<int>& dragged) const;

signals:
    // The selection changed: the chosen row (from 0), or -1.
    void rowChosen(int row);
    // The person dragged `rows` (album order) to stand where row `before`
    // stood; whoever owns the album decides whether they move.
    void moveRequested(const QList<int>& rows, int before);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString emptyHint_;
    QPoint pressAt_;
    bool pressedOnItem_ = false;      // a plain press on a selected row: a drag may follow
    bool pressedOnSelected_ = false;  // that row was selected before the press
    bool dragging_ = false;
    int dropRow_ = -1;                // where the dragged rows would go, while dragging
};

} // namespace kestova::mac
