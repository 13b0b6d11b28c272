// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/StageViews.h"

#include <QMouseEvent>
#include <QPainter>

namespace kestova::mac {

PictureView::PictureView(QWidget* parent) : QWidget(parent) {}

void PictureView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    emit drawRequested(p);
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
    bool track = false;
    emit pressed(e->position(), &track);
    tracking_ = track;
    update();
}

void CropOverlay::mouseMoveEvent(QMouseEvent* e)
{
    if (tracking_) {
        emit tracked(e->position(), false);
        update();
    }
}

void CropOverlay::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton || !tracking_)
        return;
    tracking_ = false;
    emit tracked(e->position(), true);
    update();
}

} // namespace kestova::mac
