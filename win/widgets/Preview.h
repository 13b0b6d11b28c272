// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The preview of the dialog program: one picture (a file from the browser or
// an album entry) and, in rectangle mode, a dotted crop rectangle of exactly
// the LCD's size in pixels that the user drags over it. What lies under the
// rectangle is what Add sends to the frame (GetCropBitmap). With rectangle
// mode off the whole picture is shown stretched into the rectangle's area and
// the whole picture is taken.
//
// State: the picture bitmap (the loaded picture, reduced to fit a square of
// the client's smaller side), the display buffer (client size; the picture
// as displayed, i.e. stretched to the view rectangle, from its top-left
// corner), the view rectangle (where the displayed picture lies) and the crop
// rectangle. Painting is two copies: buffer -> view rectangle, then the
// dotted rectangle. Window's thread only, except the reading of picture
// files: that runs on the desktop layer's picture reader, so a hostile or
// huge file never stops the window; a newer load (or the preview's end)
// cancels the read in progress.

#include "desktop/PictureReader.h"

#include <QEventLoop>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>

namespace kestova::win {

class CPreview : public QWidget {
    Q_OBJECT
public:
    static constexpr int kZoomStep = 15;  // growth of each side per zoom step

    explicit CPreview(QWidget* parent = nullptr);
    // Cancels the read in progress without waiting for it.
    ~CPreview() override;

    // Starts reading a picture file off the window's thread and returns at once; the
    // view is cleared to white meanwhile. Once read, the picture is shown
    // and `done` (optional) is called here with true; when it cannot be read
    // the view is cleared and `done` gets false. A newer StartLoading,
    // LoadPicture or ClearPicture cancels the read: its `done` never comes.
    void StartLoading(const QString& path, std::function<void(bool)> done = {});
    // StartLoading, then waits for the result while the window's events go
    // on (a nested event loop): for callers that need the picture before
    // they go on. False (and the view cleared) when it cannot be read.
    bool LoadPicture(const QString& path);
    // Why the last read showed nothing (None after one that was shown).
    PictureError LoadError() const { return loadError_; }
    // True while a read started here has not been shown yet.
    bool Loading() const { return loading_; }
    // Forgets the picture; an empty area is shown.
    void ClearPicture();
    // The LCD size; re-centres the crop rectangle. Sizes below 1 count as 1.
    void SetCropSize(int width, int height);
    void SetRectMode(bool on);
    // step +1 enlarges, -1 shrinks the displayed picture by 2 * 15 pixels a
    // side, centred. False without a picture or when the result would leave
    // the client area; true (and no change) when it would be 4 pixels or less.
    bool Zoom(int step);
    // direction 0 turns clockwise, 1 counter-clockwise; only 90 degrees.
    // Drops a zoom in force. False without a picture.
    bool Rotate(int direction, int degrees = 90);
    // The pixels for the frame: a new crop-size picture; null without a
    // picture. Where the displayed picture is smaller than the rectangle it
    // is centred on white, otherwise the part under the rectangle is taken.
    QImage GetCropBitmap() const;
    // Fills the display buffer with white.
    void ClearBuffer();

    QString SourcePath() const { return sourcePath_; }
    bool HasPicture() const { return !picture_.isNull(); }
    bool RectMode() const { return rectMode_; }
    QSize CropSize() const { return cropSize_; }
    QSize PictureSize() const { return picture_.size(); }
    QRect ViewRect() const { return view_; }
    QRect CropRect() const { return crop_; }
    // The picture bitmap (after any rotation) and the display buffer.
    const QImage& Picture() const { return picture_; }
    const QImage& DisplayBuffer() const { return buffer_; }

signals:
    // A double click inside the crop rectangle while a picture is shown in
    // rectangle mode; the main window treats it as Add. Queued, like a
    // posted message: it arrives after the click has been handled.
    void doublecliked();
    // Every right-button press, at its position in the preview's own
    // coordinates (queued); the main window shows its context menu.
    void rightButtonDown(const QPoint& pos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void CentreCrop();
    void PlacePicture();
    void StretchIntoBuffer();
    void UpdateCursor(const QPoint& pos);
    struct Loaded {
        QImage bitmap;
        PictureError error = PictureError::None;
    };
    void ShowLoaded(const Loaded& loaded);

    bool loading_ = false;
    PictureError loadError_ = PictureError::None;
    std::function<void(bool)> done_;
    QEventLoop* waiting_ = nullptr;  // LoadPicture's wait, if any

    QString sourcePath_;
    QImage picture_;
    QImage buffer_;
    QRect view_;
    QSize cropSize_{128, 128};
    QRect crop_{0, 0, 128, 128};
    bool rectMode_ = true;
    bool dragging_ = false;
    bool moved_ = false;
    QPoint grab_;
    bool moveCursor_ = false;
    // Last, so it goes first: a read still running is only cancelled.
    desktop::PictureReader reader_;
};

} // namespace kestova::win
