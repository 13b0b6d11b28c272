#include "mac/StageViews.h"

#include <QMouseEvent>
#include <QPainter>

namespace kestova::mac {

PictureView::PictureView(QWidget* parent) : QWidget(parent) {}

void PictureView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (drawHandler)
        drawHandler(p);
}

StageView::StageView(QWidget* parent) : PictureView(parent)
{
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
}

CropOverlay::CropOverlay(QWidget* parent) : PictureView(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setCursor(Qt::CrossCursor);
}

void CropOverlay::mousePressEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton)
        return;
    tracking_ = hitHandler && hitHandler(e->position());
    update();
}

void CropOverlay::mouseMoveEvent(QMouseEvent* e)
{
    if (tracking_ && trackHandler) {
        trackHandler(e->position(), false);
        update();
    }
}

void CropOverlay::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton || !tracking_)
        return;
    tracking_ = false;
    if (trackHandler)
        trackHandler(e->position(), true);
    update();
}

} // namespace kestova::mac
