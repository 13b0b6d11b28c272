// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/widgets/Preview.h"

#include "imaging/PictureLoader.h"
#include "imaging/Preparation.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QPen>

#include <algorithm>

namespace kestova::win {

namespace {

// The picture bitmap's size: a picture larger than the square of side s (the
// client's smaller side) is reduced to fit it, keeping its aspect ratio; a
// side that would come out 0 keeps the picture's own value.
QSize FittedSize(QSize picture, int s)
{
    const int w = picture.width(), h = picture.height();
    if (w <= s && h <= s)
        return picture;
    int fw, fh;
    if (h < w) {
        fw = s;
        fh = int(int64_t(s) * h / w);
    } else {
        fh = s;
        fw = int(int64_t(s) * w / h);
    }
    return {fw > 0 ? fw : w, fh > 0 ? fh : h};
}

QImage WhiteImage(QSize size)
{
    QImage img(size.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    img.fill(Qt::white);
    return img;
}

} // namespace

CPreview::CPreview(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ctl123"));
    setMouseTracking(true);  // the move cursor over the crop rectangle
    setAttribute(Qt::WA_OpaquePaintEvent);
    buffer_ = WhiteImage(size());
    view_ = rect();
    CentreCrop();
}

void CPreview::CentreCrop()
{
    const int left = (width() - cropSize_.width()) / 2;
    const int top = (height() - cropSize_.height()) / 2;
    crop_ = QRect(QPoint(left, top), cropSize_);
}

void CPreview::PlacePicture()
{
    if (!rectMode_) {
        CentreCrop();
        view_ = crop_;
        return;
    }
    const int pw = picture_.width(), ph = picture_.height();
    int left = (width() - pw) / 2, top = (height() - ph) / 2;
    int vw = pw, vh = ph;
    if (left < 0) {
        left = 0;
        vw = width() - 10;
    }
    if (top < 0) {
        top = 0;
        vh = height();
    }
    view_ = QRect(left, top, std::max(1, vw), std::max(1, vh));
}

void CPreview::StretchIntoBuffer()
{
    buffer_.fill(Qt::white);
    if (picture_.isNull())
        return;
    QPainter p(&buffer_);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRect(QPoint(0, 0), view_.size()), picture_);
}

CPreview::~CPreview() = default;

void CPreview::StartLoading(const QString& path, std::function<void(bool)> done)
{
    buffer_.fill(Qt::white);
    picture_ = QImage();
    sourcePath_ = path;
    if (waiting_)
        waiting_->quit();  // a LoadPicture waiting for the read this one replaces
    done_ = std::move(done);
    loading_ = true;
    loadError_ = PictureError::None;
    update();
    const int s = std::max(1, std::min(width(), height()));
    reader_.Start<Loaded>(
        [path, s](const PictureLimits& limits) {
            // Large JPEGs are decoded straight at (about) the size they are shown at.
            const LoadedPicture loaded =
                ReadPictureFile(path, [s](QSize upright) { return FittedSize(upright, s); }, limits);
            Loaded shown;
            shown.error = loaded.error;
            if (loaded.ok() && !loaded.image.isNull()) {
                shown.bitmap = WhiteImage(
                    FittedSize(loaded.uprightSize.isValid() ? loaded.uprightSize : loaded.image.size(), s));
                QPainter p(&shown.bitmap);
                p.setRenderHint(QPainter::SmoothPixmapTransform);
                p.drawImage(shown.bitmap.rect(), loaded.image);
            } else if (shown.error == PictureError::None) {
                shown.error = PictureError::Corrupt;
            }
            return shown;
        },
        [this](Loaded loaded) { ShowLoaded(loaded); });
}

bool CPreview::LoadPicture(const QString& path)
{
    QEventLoop loop;
    bool ok = false, finished = false;
    StartLoading(path, [&](bool result) {
        ok = result;
        finished = true;
        loop.quit();
    });
    if (!finished) {
        waiting_ = &loop;
        loop.exec();
        waiting_ = nullptr;
    }
    return ok;
}

void CPreview::ShowLoaded(const Loaded& loaded)
{
    loading_ = false;
    std::function<void(bool)> done = std::move(done_);
    done_ = {};
    const QImage& image = loaded.bitmap;
    if (image.isNull()) {
        ClearPicture();
        loadError_ = loaded.error;
        if (done)
            done(false);
        return;
    }
    loadError_ = PictureError::None;
    const QRect oldView = view_;
    picture_ = image;
    PlacePicture();
    StretchIntoBuffer();
    CentreCrop();
    update(oldView.united(view_));
    update();
    if (done)
        done(true);
}

void CPreview::ClearPicture()
{
    reader_.Cancel();  // a read in progress is no longer wanted
    if (waiting_)
        waiting_->quit();
    loading_ = false;
    loadError_ = PictureError::None;
    done_ = {};
    picture_ = QImage();
    sourcePath_.clear();
    dragging_ = moved_ = false;
    buffer_.fill(palette().color(QPalette::Button));
    UpdateCursor(mapFromGlobal(QCursor::pos()));
    update();
}

void CPreview::ClearBuffer()
{
    buffer_.fill(Qt::white);
    update();
}

void CPreview::SetCropSize(int width, int height)
{
    cropSize_ = QSize(std::max(1, width), std::max(1, height));
    CentreCrop();
    if (!rectMode_ && HasPicture()) {
        PlacePicture();
        StretchIntoBuffer();
    }
    update();
}

void CPreview::SetRectMode(bool on)
{
    rectMode_ = on;
    if (!HasPicture()) {
        update();
        return;
    }
    const QRect oldView = view_;
    PlacePicture();
    StretchIntoBuffer();
    CentreCrop();
    update(oldView.united(view_));
}

bool CPreview::Zoom(int step)
{
    if (!HasPicture())
        return false;
    const int w = view_.width() + 2 * step * kZoomStep;
    const int h = view_.height() + 2 * step * kZoomStep;
    if (w <= 4 || h <= 4)
        return true;
    if (w > width() || h > height())
        return false;
    const QRect old = view_;
    view_ = QRect((width() - w) / 2, (height() - h) / 2, w, h);
    StretchIntoBuffer();
    CentreCrop();
    update(step > 0 ? view_ : old);
    update();  // the crop rectangle moved with the re-centring
    return true;
}

bool CPreview::Rotate(int direction, int degrees)
{
    if (!HasPicture() || degrees != 90 || (direction != 0 && direction != 1))
        return false;
    const QRect oldView = view_;
    picture_ = direction == 0 ? RotateRight(picture_) : RotateLeft(picture_);
    PlacePicture();
    CentreCrop();
    StretchIntoBuffer();
    update(oldView.united(view_));
    update();
    return true;
}

QImage CPreview::GetCropBitmap() const
{
    if (!HasPicture())
        return {};
    // The picture as displayed, and where the rectangle lies on it.
    const QImage displayed = buffer_.copy(QRect(QPoint(0, 0), view_.size()));
    return CropOnWhite(displayed, crop_.topLeft() - view_.topLeft(), cropSize_);
}

void CPreview::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Button));
    if (!HasPicture())
        return;
    if (rectMode_) {
        p.drawImage(view_.topLeft(), buffer_, QRect(QPoint(0, 0), view_.size()));
        // What stays outside the frame's picture is dimmed, and the dotted
        // black line runs over a solid white one, so the rectangle shows on
        // dark and light pictures alike.
        p.setClipRegion(QRegion(view_).subtracted(QRegion(crop_)));
        p.fillRect(view_, QColor(0, 0, 0, 110));
        p.setClipping(false);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(Qt::white, 0, Qt::SolidLine));
        p.drawRect(crop_.adjusted(0, 0, -1, -1));
        QPen pen(Qt::black, 0, Qt::DotLine);
        p.setPen(pen);
        p.drawRect(crop_.adjusted(0, 0, -1, -1));
    } else {
        p.drawImage(crop_.topLeft(), buffer_, QRect(QPoint(0, 0), crop_.size()));
    }
}

void CPreview::resizeEvent(QResizeEvent*)
{
    // A new client size: a new display buffer, the picture placed again.
    buffer_ = WhiteImage(size());
    if (HasPicture()) {
        PlacePicture();
        StretchIntoBuffer();
    } else {
        view_ = rect();
    }
    CentreCrop();
}

void CPreview::UpdateCursor(const QPoint& pos)
{
    const bool over = rectMode_ && HasPicture() && crop_.contains(pos);
    if (over == moveCursor_)
        return;
    moveCursor_ = over;
    if (over)
        setCursor(Qt::SizeAllCursor);
    else
        unsetCursor();
}

void CPreview::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (event->button() == Qt::RightButton) {
        QMetaObject::invokeMethod(this, [this, pos] { emit rightButtonDown(pos); }, Qt::QueuedConnection);
        return;
    }
    if (event->button() == Qt::LeftButton && rectMode_ && HasPicture() && crop_.contains(pos)) {
        grab_ = pos - crop_.topLeft();
        dragging_ = true;  // the widget keeps the mouse while the button is down
    }
}

void CPreview::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (dragging_) {
        const QPoint wanted = pos - grab_;
        // Kept on the picture: never above or left of it, and moved back
        // when it would reach past its bottom or right edge.
        int top = std::max(wanted.y(), view_.top());
        if (top + cropSize_.height() >= view_.y() + view_.height())
            top = view_.y() + view_.height() - cropSize_.height();
        int left = std::max(wanted.x(), view_.left());
        if (left + cropSize_.width() >= view_.x() + view_.width())
            left = view_.x() + view_.width() - cropSize_.width();
        crop_ = QRect(QPoint(left, top), cropSize_);
        moved_ = true;
        update();
    }
    UpdateCursor(pos);
}

void CPreview::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        dragging_ = moved_ = false;
}

void CPreview::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (event->button() == Qt::LeftButton && rectMode_ && HasPicture() && crop_.contains(pos))
        QMetaObject::invokeMethod(this, [this] { emit doublecliked(); }, Qt::QueuedConnection);
    else
        mousePressEvent(event);  // a right double click is still a right press
}

} // namespace kestova::win
