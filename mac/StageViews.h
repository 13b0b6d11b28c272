#pragma once
// The three picture views of the main window: the stage ('mVue' 130) where
// the picture is placed, the crop-rectangle overlay on it ('rect' 130) and the
// preview ('prev' 0). Each view only paints and forwards the mouse; what it
// draws and how the crop rectangle reacts are the handlers bound to it.

#include <QWidget>

#include <functional>

namespace kestova::mac {

class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);

    std::function<void(QPainter&)> drawHandler;

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

    // Hit test at a press; true means "track this press".
    std::function<bool(QPointF)> hitHandler;
    // Every mouse move while tracking, and the release (final = true).
    std::function<void(QPointF, bool final)> trackHandler;

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    bool tracking_ = false;
};

using PreviewView = PictureView;

} // namespace kestova::mac
