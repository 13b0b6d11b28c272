// SPDX-License-Identifier: GPL-3.0-or-later
// The crop tool: loading a picture onto the stage, the arrows controls' and
// the suitable-size box's rules, the crop rectangle under the mouse, the
// capture and the preview.

#include "mac/CropTool.h"

#include "imaging/LocalNames.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace kestova::mac {

CropTool::CropTool(QObject* parent) : QObject(parent) {}

bool CropTool::Placed() const
{
    std::lock_guard lock(placementMutex);
    return gmyCGimage != nullptr;
}

void CropTool::DropPicture()
{
    std::lock_guard lock(placementMutex);
    gmyCGimage.reset();
    stageLevels_.clear();
}

void CropTool::ReleasePicture()
{
    reader_.Cancel();
    DropPicture();
    // With no picture on the stage the arrows have nothing to show.
    TheSmallestValue = 0;
    OldValue = 0;
    for (int arrows : {RotationArrows, ScaleArrows, OffsetXArrows, OffsetYArrows})
        emit arrowsValueSet(arrows, 0);
    emit arrowsRangeSet(OffsetXArrows, 0, 0);
    emit arrowsRangeSet(OffsetYArrows, 0, 0);
}

MyRect CropTool::DrawRect() const
{
    std::lock_guard lock(placementMutex);
    return gmyDrawrect;
}

void CropTool::SetDrawRect(const MyRect& rect)
{
    {
        std::lock_guard lock(placementMutex);
        gmyDrawrect = rect;
    }
    emit stageChanged();
}

void CropTool::ShowInPreview(const QImage& picture)
{
    {
        std::lock_guard lock(placementMutex);
        gmyPicPressAddImage = picture;
    }
    emit previewChanged();
}

void CropTool::SetLcdSize(int width, int height)
{
    {
        std::lock_guard lock(placementMutex);  // the views read the LCD size while painting
        gmyLcdWidth = float(width);
        gmyLcdHeight = float(height);
    }
    CenterDrawRect();
    emit stageChanged();
}

void CropTool::SetOffsetRanges(float scale)
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return;
    const int rx = int(float(gmyCGimage->image.width()) * scale);
    const int ry = int(float(gmyCGimage->image.height()) * scale);
    emit arrowsRangeSet(OffsetXArrows, -rx, rx);
    emit arrowsRangeSet(OffsetYArrows, -ry, ry);
}

void CropTool::CenterDrawRect()
{
    std::lock_guard lock(placementMutex);
    gmyDrawrect = MyRect{(kStageWidth - gmyLcdWidth) / 2, (kStageHeight - gmyLcdHeight) / 2, gmyLcdWidth,
                         gmyLcdHeight};
}

MyRect CropTool::NormalisedCropRect() const
{
    std::lock_guard lock(placementMutex);
    MyRect r = gmyDrawrect;
    if (r.width < 0)
        r.x += r.width;
    if (r.height < 0)
        r.y += r.height;
    return r;
}

std::vector<QImage> CropTool::HalvedCopies(const QImage& picture)
{
    std::vector<QImage> levels;
    QImage level = picture;
    while (level.width() >= 64 && level.height() >= 64) {
        level = level.scaled(level.width() / 2, level.height() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        levels.push_back(level);
    }
    return levels;
}

MacPicture CropTool::DisplayPicture() const
{
    return Reduced(*gmyCGimage, stageLevels_);
}

MacPicture CropTool::Reduced(const MacPicture& placed, const std::vector<QImage>& levels)
{
    MacPicture shown = placed;
    const float s = std::max(std::fabs(shown.xScale), std::fabs(shown.yScale));
    const float fullW = float(shown.image.width());
    const float fullH = float(shown.image.height());
    const QImage* best = nullptr;
    for (const QImage& level : levels) {
        // The smallest copy that is still at least as large as it is shown.
        if (float(level.width()) / fullW < s || float(level.height()) / fullH < s)
            break;
        best = &level;
    }
    if (best) {
        shown.xScale *= fullW / float(best->width());
        shown.yScale *= fullH / float(best->height());
        shown.image = *best;
    }
    return shown;
}

QImage CropTool::Capture(const MyRect& rect) const
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return {};
    return RenderCropForLcd(DisplayPicture(), QRectF(rect.x, rect.y, std::fabs(rect.width), std::fabs(rect.height)),
                            int(gmyLcdWidth), int(gmyLcdHeight));
}

std::unique_ptr<MacPicture> CropTool::LoadPlaced(const QString& path, float lcdWidth, float lcdHeight, float* scale,
                                                 QString* error, const PictureLimits& limits)
{
    std::unique_ptr<MacPicture> picture = LoadPicture(path, error, limits);
    if (!picture)
        return nullptr;
    // The picture just covers the crop rectangle.
    const float s = std::max(lcdWidth / float(picture->image.width()), lcdHeight / float(picture->image.height()));
    picture->xScale *= s;
    picture->yScale *= s;
    if (scale)
        *scale = s;
    return picture;
}

QImage CropTool::CaptureNewlyPlaced(const QString& path, const MyRect& rect, int lcdWidth, int lcdHeight,
                                    QString* error)
{
    const std::unique_ptr<MacPicture> placed = LoadPlaced(path, float(lcdWidth), float(lcdHeight), nullptr, error);
    if (!placed)
        return {};
    return RenderCropForLcd(Reduced(*placed, HalvedCopies(placed->image)),
                            QRectF(rect.x, rect.y, std::fabs(rect.width), std::fabs(rect.height)), lcdWidth,
                            lcdHeight);
}

void CropTool::SelectOnePicture(const QString& path, bool noRedraw)
{
    TheSmallestValue = 0;
    OldValue = 0;
    emit arrowsValueSet(RotationArrows, 0);
    emit arrowsValueSet(OffsetXArrows, 0);
    emit arrowsValueSet(OffsetYArrows, 0);
    if (!gmySuitableSize) {
        // A new picture always starts at its suitable size.
        gmySuitableSize = true;
        emit suitableSizeSet(true);
    }
    DropPicture();
    emit arrowsValueSet(ScaleArrows, 0);
    if (!noRedraw)
        emit stageChanged();

    float width, height;
    {
        std::lock_guard lock(placementMutex);
        width = gmyLcdWidth;
        height = gmyLcdHeight;
    }
    // Read, scaled and halved off the main thread; placed here.
    struct Read {
        std::shared_ptr<MacPicture> picture;
        std::vector<QImage> levels;
        float scale = 0;
        QString error;
    };
    reader_.Start<Read>(
        [path, width, height](const PictureLimits& limits) {
            Read read;
            read.picture = LoadPlaced(path, width, height, &read.scale, &read.error, limits);
            if (read.picture)
                read.levels = HalvedCopies(read.picture->image);
            return read;
        },
        [this, path](Read read) {
            if (!read.picture) {
                // The reader's reason follows, so a person knows what to do
                // about the file.
                emit refused(QStringLiteral("Couldn't Process: %1: %2")
                                 .arg(ShownFileName(path), LoaderReason(path, read.error)));
                emit stageChanged();
                return;
            }
            {
                std::lock_guard lock(placementMutex);
                gmyCGimage = std::make_unique<MacPicture>(std::move(*read.picture));
                stageLevels_ = std::move(read.levels);
            }
            CenterDrawRect();
            TheSmallestValue = std::min(int(read.scale * 100) + 1, 1000);
            emit arrowsValueSet(ScaleArrows, TheSmallestValue);
            SetOffsetRanges(read.scale);
            emit stageChanged();
        });
}

QString ShownFileName(const QString& path)
{
    return ShownName(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1));
}

QString LoaderReason(const QString& path, const QString& message)
{
    // The reader names the file by its whole path; the words after it are
    // the reason.
    const QString why = message.startsWith(path + QLatin1String(": ")) ? message.mid(path.size() + 2) : message;
    return why.isEmpty() ? QStringLiteral("it cannot be read as a picture") : ShownName(why);
}

void CropTool::RotateTo(int value)
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return;
    gmyCGimage->angle = float(value) + 180;
    emit stageChanged();
}

void CropTool::OffsetXTo(int value)
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return;
    gmyCGimage->xOffset = float(value);
    emit stageChanged();
}

void CropTool::OffsetYTo(int value)
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return;
    gmyCGimage->yOffset = -float(value);
    emit stageChanged();
}

void CropTool::ScaleTo(int v)
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return;
    // The picture is never smaller than the crop rectangle.
    if (v < TheSmallestValue) {
        emit arrowsValueSet(ScaleArrows, TheSmallestValue);
        return;
    }
    if (v > 999 && OldValue != 0) {
        emit arrowsValueSet(ScaleArrows, OldValue);
        return;
    }
    const float scale = float(v) / 100;
    // Beyond 800 points the stage would only show a small part of it.
    const float w = float(gmyCGimage->image.width()) * scale;
    const float h = float(gmyCGimage->image.height()) * scale;
    if ((w > 800 || h > 800) && OldValue != 0) {
        emit arrowsValueSet(ScaleArrows, OldValue);
        return;
    }
    gmyCGimage->xScale = -scale;
    gmyCGimage->yScale = scale;
    OldValue = v;
    SetOffsetRanges(scale);
    emit stageChanged();
}

void CropTool::SetSuitableSize(bool on)
{
    gmySuitableSize = on;
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return;
    emit arrowsValueSet(RotationArrows, 0);
    emit arrowsValueSet(OffsetXArrows, 0);
    emit arrowsValueSet(OffsetYArrows, 0);
    OldValue = 0;
    gmyCGimage->angle = 180;
    gmyCGimage->xOffset = 0;
    gmyCGimage->yOffset = 0;
    // The arrows take the integer part of the chosen scale x 100, worked out
    // on the exact values: TheSmallestValue / 100 x 100 in floats can come out
    // just below TheSmallestValue and would show a value the arrows refuse.
    float scale;
    int arrowsValue;
    if (gmySuitableSize) {
        scale = float(TheSmallestValue) / 100;
        arrowsValue = TheSmallestValue;
    } else {
        const int width = std::max(1, gmyCGimage->image.width());
        scale = kStageWidth / float(width);
        arrowsValue = int(kStageWidth) * 100 / width;
    }
    gmyCGimage->xScale = -scale;
    gmyCGimage->yScale = scale;
    emit arrowsValueSet(ScaleArrows, arrowsValue);
    SetOffsetRanges(scale);
    CenterDrawRect();
    emit stageChanged();
}

void CropTool::DrawStage(QPainter& p) const
{
    std::lock_guard lock(placementMutex);
    if (gmyCGimage)
        DrawMyImage(p, QRectF(0, 0, kStageWidth, kStageHeight), DisplayPicture(), true);
}

void CropTool::DrawCropRect(QPainter& p) const
{
    const MyRect r = NormalisedCropRect();
    QPainterPath outside;
    outside.addRect(QRectF(0, 0, kStageWidth, kStageHeight));
    QPainterPath inside;
    inside.addRect(QRectF(r.x, r.y, std::fabs(r.width), std::fabs(r.height)));
    p.fillPath(outside.subtracted(inside), QColor::fromRgbF(0.3f, 0.3f, 0.3f, 0.5f));
}

bool CropTool::HitTest(QPointF p)
{
    if (transferRunning && *transferRunning)
        return false;
    const MyRect r = NormalisedCropRect();
    std::lock_guard lock(placementMutex);
    const bool inside = p.x() > r.x && p.x() < r.x + std::fabs(r.width) && p.y() > r.y &&
                        p.y() < r.y + std::fabs(r.height);
    if (inside) {
        gCurrentBeginPoint = QPointF(p.x() - gmyDrawrect.x, p.y() - gmyDrawrect.y);
        gNeedRefreshRect = true;
    } else {
        gmyDrawrect = MyRect{float(p.x()), float(p.y()), gmyLcdWidth, gmyLcdHeight};
        gNeedRefreshRect = false;
    }
    return true;
}

void CropTool::Track(QPointF p, bool released)
{
    if (transferRunning && *transferRunning)
        return;
    {
        std::lock_guard lock(placementMutex);
        if (gNeedRefreshRect) {
            gmyDrawrect.x = float(p.x() - gCurrentBeginPoint.x());
            gmyDrawrect.y = float(p.y() - gCurrentBeginPoint.y());
            if (gmyDrawrect.x < 0 && gmyDrawrect.x < -gmyLcdWidth)
                gmyDrawrect.x = -gmyLcdWidth;
        } else {
            gmyDrawrect.width = float(p.x()) - gmyDrawrect.x;
            gmyDrawrect.height = float(p.y()) - gmyDrawrect.y;
        }
        if (released) {
            gmyDrawrect.width = gmyDrawrect.width < 0 ? -gmyLcdWidth : gmyLcdWidth;
            gmyDrawrect.height = gmyDrawrect.height < 0 ? -gmyLcdHeight : gmyLcdHeight;
            gNeedRefreshRect = false;
        }
    }
    emit stageChanged();
}

void CropTool::DrawPreview(QPainter& p, QSize view) const
{
    std::lock_guard lock(placementMutex);
    if (gmyPicPressAddImage.isNull() || gmyLcdWidth <= 0 || gmyLcdHeight <= 0)
        return;
    const float vw = float(view.width());
    const float vh = float(view.height());
    float w, h;
    if (vw / gmyLcdWidth > vh / gmyLcdHeight) {
        h = vh;
        w = gmyLcdWidth * vh / gmyLcdHeight;
    } else {
        w = vw;
        h = gmyLcdHeight * vw / gmyLcdWidth;
    }
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    p.drawImage(QRectF((vw - w) / 2, (vh - h) / 2, w, h), gmyPicPressAddImage);
}

} // namespace kestova::mac
