// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The three picture views of the main window: the stage ('mVue' 130) where
// the picture is placed, the crop-rectangle overlay on it ('rect' 130) and the
// preview ('prev' 0). Each view only paints and forwards the mouse, as
// signals; what it draws and how the crop rectangle reacts belong to whoever
// connects to them (directly: the painter and the answer live only for the
// call).

#include <QPointF>
#include <QWidget>

class QPainter;


namespace kestova::mac {

class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);

signals:
    // Paint the view with `painter` (emitted from its paint event).
    void drawRequested(QPainter& painter);

protected:
    void paintEvent(QPaintEvent*) override;
};

// The stage, 580 x 400 points.
class StageView : public PictureView {
    Q_OBJECT
public:
    static constexpr int kWidth = 580;
    static constexpr int kHeight = 400;
    explicit StageView(QWidget* parent = nullptr);
};

// The overlay that lies over the whole stage and tracks the crop rectangle.
class CropOverlay : public PictureView {
    Q_OBJECT
public:
    explicit CropOverlay(QWidget* parent = nullptr);

signals:
    // Hit test at a press: a receiver sets *track to follow this press.
    void pressed(QPointF point, bool* track);
    // Every mouse move while tracking, and the release (final = true).
    void tracked(QPointF point, bool final);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    bool tracking_ = false;
};

using PreviewView = PictureView;

} // namespace kestova::mac
