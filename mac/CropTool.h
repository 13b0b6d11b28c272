// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The crop tool of the stage: the placed picture, the crop rectangle of the
// LCD's size over it, the values the four arrows controls and the
// suitable-size box stand for, and the preview picture. It owns all of that
// state and says what changed through signals (arrows values and ranges,
// the box, a redraw of the stage or the preview, a refusal); it never
// touches a widget.
//
// Threads: the window uses it on the main thread; the picture it places is
// read on the desktop layer's picture reader, and a batch task may load and
// capture pictures through it. `placementMutex` guards the picture, the crop
// rectangle, the LCD size and the preview picture against the painting on
// the main thread. Signals emitted on a task reach receivers on the main
// thread queued, in order.

#include "desktop/PictureReader.h"
#include "imaging/ProcessPic.h"

#include <QImage>
#include <QObject>
#include <QPointF>
#include <QSize>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class QPainter;

namespace kestova::mac {

// Rectangle of floats: x, y, width, height; width and height may be negative
// (the rectangle then extends left of / above x, y).
struct MyRect {
    float x = 0, y = 0, width = 0, height = 0;
};

// A file's own name for the status line, control characters and odd bytes
// escaped.
QString ShownFileName(const QString& path);
// Why the picture reader did not load the file at `path`, in its words
// (`message` is the reader's "<path>: <reason>").
QString LoaderReason(const QString& path, const QString& message);

class CropTool : public QObject {
    Q_OBJECT
public:
    static constexpr float kStageWidth = 580;
    static constexpr float kStageHeight = 400;

    // The four arrows controls, as the signals name them.
    enum Arrows { RotationArrows, ScaleArrows, OffsetXArrows, OffsetYArrows };

    explicit CropTool(QObject* parent = nullptr);

    // Takes the placed picture off the stage and starts reading `path` off
    // the main thread; returns at once. Once read, the picture is placed at
    // its suitable size with the crop rectangle centred and the stage
    // redrawn (`noRedraw` spares only the redraw of the emptied stage now);
    // when it cannot be loaded "Couldn't Process: NAME: REASON"
    // (ShownFileName, LoaderReason) is refused and nothing is placed. A
    // newer SelectOnePicture or ReleasePicture drops the read.
    void SelectOnePicture(const QString& path, bool noRedraw);
    // True while a picture asked for with SelectOnePicture is being read.
    bool Loading() const { return reader_.Busy(); }
    // The arrows controls' values, applied to the placed picture.
    void RotateTo(int value);
    void ScaleTo(int value);
    void OffsetXTo(int value);
    void OffsetYTo(int value);
    // The suitable-size box toggled to `on`.
    void SetSuitableSize(bool on);

    // The stage, the crop rectangle's greying and the preview, painted.
    void DrawStage(QPainter& p) const;
    void DrawCropRect(QPainter& p) const;
    void DrawPreview(QPainter& p, QSize view) const;
    // The mouse on the crop rectangle: a press (true: follow the drag), and
    // every move while dragging and the release.
    bool HitTest(QPointF p);
    void Track(QPointF p, bool released);

    // The crop rectangle back to the centre of the stage.
    void CenterDrawRect();
    // The crop rectangle normalised to its top-left corner (signs kept).
    MyRect NormalisedCropRect() const;
    // A new LCD size (a frame was read); the crop rectangle is centred.
    void SetLcdSize(int width, int height);
    bool Placed() const;
    // Nothing placed any more (and a read in progress dropped).
    void ReleasePicture();
    // Shows `picture` in the preview (a null picture empties it).
    void ShowInPreview(const QImage& picture);
    // What the crop rectangle `rect` shows of the placed picture, at the LCD
    // size; null when nothing is placed.
    QImage Capture(const MyRect& rect) const;

    // The placed picture as the stage and the capture draw it: the same
    // placement, but with a pre-reduced copy of the picture when it is shown
    // much smaller than its own size (a direct reduction by a large factor
    // only samples a few of the pixels and shows their noise). Call with
    // placementMutex held and a picture placed.
    MacPicture DisplayPicture() const;

    // ---- the same rules on any thread, without the tool's state ----
    // A picture file loaded and scaled so that it just covers an LCD-size
    // crop rectangle, as a newly placed picture is (`scale` receives the
    // factor); null when it cannot be loaded (`error` says why).
    static std::unique_ptr<MacPicture> LoadPlaced(const QString& path, float lcdWidth, float lcdHeight,
                                                  float* scale = nullptr, QString* error = nullptr,
                                                  const PictureLimits& limits = {});
    // The picture halved again and again while both sides are at least 64.
    static std::vector<QImage> HalvedCopies(const QImage& picture);
    // `placed` drawn from the smallest of `levels` still as large as shown.
    static MacPicture Reduced(const MacPicture& placed, const std::vector<QImage>& levels);
    // What `rect` shows of the picture at `path` newly placed, at the LCD
    // size: what SelectOnePicture followed by Capture gives. Null when the
    // file cannot be loaded.
    static QImage CaptureNewlyPlaced(const QString& path, const MyRect& rect, int lcdWidth, int lcdHeight,
                                     QString* error = nullptr);

    // ---- the placement state, read ----
    // The placed picture; null when none.
    const MacPicture* Picture() const { return gmyCGimage.get(); }
    // The picture in the preview.
    const QImage& PreviewPicture() const { return gmyPicPressAddImage; }
    int LcdWidth() const { return int(gmyLcdWidth); }
    int LcdHeight() const { return int(gmyLcdHeight); }
    MyRect DrawRect() const;
    // Moves the crop rectangle (as a drag would end).
    void SetDrawRect(const MyRect& rect);
    bool SuitableSize() const { return gmySuitableSize; }
    // Scale (x 100) at which the picture just covers the crop rectangle.
    int SmallestScale() const { return TheSmallestValue; }
    // The last accepted scale value; 0 right after loading.
    int LastScale() const { return OldValue; }
    // The mouse moves the crop rectangle (else it anchors a new one).
    bool MovingCropRect() const { return gNeedRefreshRect; }
    // Set while a transfer runs: the crop rectangle ignores the mouse then.
    void FollowTransfer(const std::atomic<bool>* running) { transferRunning = running; }

signals:
    void arrowsValueSet(int arrows, int value);
    void arrowsRangeSet(int arrows, int minimum, int maximum);
    void suitableSizeSet(bool on);
    void stageChanged();
    void previewChanged();
    void refused(const QString& text);

private:
    // The placement state.
    std::unique_ptr<MacPicture> gmyCGimage;  // the placed picture; null when none
    QImage gmyPicPressAddImage;               // the picture in the preview
    float gmyLcdWidth = 128;
    float gmyLcdHeight = 128;
    MyRect gmyDrawrect{226, 136, 128, 128};
    bool gmySuitableSize = true;
    int TheSmallestValue = 0;  // scale (x 100) at which the picture just covers the crop rectangle
    int OldValue = 0;          // last accepted scale value; 0 right after loading
    bool gNeedRefreshRect = false;  // the mouse moves the crop rectangle (else anchors a new one)
    QPointF gCurrentBeginPoint;     // where inside the crop rectangle the mouse grabbed it
    // Set while a transfer runs: the crop rectangle ignores the mouse.
    const std::atomic<bool>* transferRunning = nullptr;

    mutable std::recursive_mutex placementMutex;

    void DropPicture();
    void SetOffsetRanges(float scale);

    std::vector<QImage> stageLevels_;  // the placed picture halved again and again
    // Last, so it goes first: a read still running is only cancelled.
    desktop::PictureReader reader_;
};

} // namespace kestova::mac
