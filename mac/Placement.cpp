// Placing a picture on the stage: loading it, the four arrows controls, the
// suitable-size box, the crop rectangle and the preview.

#include "mac/FrontEnd.h"

#include "mac/LittleArrows.h"
#include "mac/StageViews.h"

#include <QCheckBox>
#include <QMainWindow>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace kestova::mac {

void FrontEnd::SetArrowsValue(LittleArrows* a, int v)
{
    if (!a)
        return;
    OnMain([a, v] { a->SetControl32BitValue(v); });
}

void FrontEnd::SetArrowsRange(LittleArrows* a, int min, int max)
{
    if (!a)
        return;
    OnMain([a, min, max] {
        a->SetControl32BitMinimum(min);
        a->SetControl32BitMaximum(max);
    });
}

void FrontEnd::SetOffsetRanges(float scale)
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return;
    const int rx = int(float(gmyCGimage->image.width()) * scale);
    const int ry = int(float(gmyCGimage->image.height()) * scale);
    SetArrowsRange(trnsXArrows, -rx, rx);
    SetArrowsRange(trnsYArrows, -ry, ry);
}

void FrontEnd::RedrawStage()
{
    OnMain([this] {
        if (stageView)
            stageView->update();
        if (rectView)
            rectView->update();
    });
}

void FrontEnd::RedrawPreview()
{
    OnMain([this] {
        if (previewView)
            previewView->update();
    });
}

void FrontEnd::CenterDrawRect()
{
    std::lock_guard lock(placementMutex);
    gmyDrawrect = MyRect{(kStageWidth - gmyLcdWidth) / 2, (kStageHeight - gmyLcdHeight) / 2, gmyLcdWidth,
                         gmyLcdHeight};
}

MyRect FrontEnd::NormalisedCropRect() const
{
    std::lock_guard lock(placementMutex);
    MyRect r = gmyDrawrect;
    if (r.width < 0)
        r.x += r.width;
    if (r.height < 0)
        r.y += r.height;
    return r;
}

void FrontEnd::BuildStageLevels()
{
    stageLevels_.clear();
    if (!gmyCGimage)
        return;
    QImage level = gmyCGimage->image;
    while (level.width() >= 64 && level.height() >= 64) {
        level = level.scaled(level.width() / 2, level.height() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        stageLevels_.push_back(level);
    }
}

MacPicture FrontEnd::DisplayPicture() const
{
    MacPicture shown = *gmyCGimage;
    const float s = std::max(std::fabs(shown.xScale), std::fabs(shown.yScale));
    const float fullW = float(shown.image.width());
    const float fullH = float(shown.image.height());
    const QImage* best = nullptr;
    for (const QImage& level : stageLevels_) {
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

bool FrontEnd::SelectOnePicture(const QString& path, bool noRedraw)
{
    TheSmallestValue = 0;
    OldValue = 0;
    SetArrowsValue(rotaArrows, 0);
    SetArrowsValue(trnsXArrows, 0);
    SetArrowsValue(trnsYArrows, 0);
    if (!gmySuitableSize) {
        gmySuitableSize = true;
        OnMain([this] {
            if (auto* box = gMainWindowRef ? gMainWindowRef->findChild<QCheckBox*>(QStringLiteral("suts_0")) : nullptr)
                box->setChecked(true);
        });
    }
    {
        std::lock_guard lock(placementMutex);
        gmyCGimage.reset();
        stageLevels_.clear();
    }
    SetArrowsValue(scalArrows, 0);

    std::unique_ptr<MacPicture> picture = LoadPicture(path);
    if (!picture) {
        SetNotes(QStringLiteral("Couldn't Process"));
        RedrawStage();
        return false;
    }
    const float iw = float(picture->image.width());
    const float ih = float(picture->image.height());
    const float s = std::max(gmyLcdWidth / iw, gmyLcdHeight / ih);
    picture->xScale *= s;
    picture->yScale *= s;
    {
        std::lock_guard lock(placementMutex);
        gmyCGimage = std::move(picture);
        BuildStageLevels();
    }
    CenterDrawRect();
    TheSmallestValue = std::min(int(s * 100) + 1, 1000);
    SetArrowsValue(scalArrows, TheSmallestValue);
    SetOffsetRanges(s);
    if (!noRedraw)
        RedrawStage();
    return true;
}

void FrontEnd::MyRotateArrowHandler()
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage || !rotaArrows)
        return;
    gmyCGimage->angle = float(rotaArrows->GetControl32BitValue()) + 180;
    RedrawStage();
}

void FrontEnd::MyTranslateArrowXHandler()
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage || !trnsXArrows)
        return;
    gmyCGimage->xOffset = float(trnsXArrows->GetControl32BitValue());
    RedrawStage();
}

void FrontEnd::MyTranslateArrowYHandler()
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage || !trnsYArrows)
        return;
    gmyCGimage->yOffset = -float(trnsYArrows->GetControl32BitValue());
    RedrawStage();
}

void FrontEnd::MyScaleArrowXHandler()
{
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage || !scalArrows)
        return;
    const int v = scalArrows->GetControl32BitValue();
    // The picture is never smaller than the crop rectangle.
    if (v < TheSmallestValue) {
        scalArrows->SetControl32BitValue(TheSmallestValue);
        return;
    }
    if (v > 999 && OldValue != 0) {
        scalArrows->SetControl32BitValue(OldValue);
        return;
    }
    const float scale = float(v) / 100;
    // Beyond 800 points the stage would only show a small part of it.
    const float w = float(gmyCGimage->image.width()) * scale;
    const float h = float(gmyCGimage->image.height()) * scale;
    if ((w > 800 || h > 800) && OldValue != 0) {
        scalArrows->SetControl32BitValue(OldValue);
        return;
    }
    gmyCGimage->xScale = -scale;
    gmyCGimage->yScale = scale;
    OldValue = v;
    SetOffsetRanges(scale);
    RedrawStage();
}

void FrontEnd::MySuitableSizeCheckBoxHandler()
{
    auto* box = gMainWindowRef ? gMainWindowRef->findChild<QCheckBox*>(QStringLiteral("suts_0")) : nullptr;
    if (box)
        gmySuitableSize = box->isChecked();
    std::lock_guard lock(placementMutex);
    if (!gmyCGimage)
        return;
    SetArrowsValue(rotaArrows, 0);
    SetArrowsValue(trnsXArrows, 0);
    SetArrowsValue(trnsYArrows, 0);
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
    SetArrowsValue(scalArrows, arrowsValue);
    SetOffsetRanges(scale);
    CenterDrawRect();
    RedrawStage();
}

void FrontEnd::MyDrawEventHandler(QPainter& p)
{
    std::lock_guard lock(placementMutex);
    if (gmyCGimage)
        DrawMyImage(p, QRectF(0, 0, kStageWidth, kStageHeight), DisplayPicture(), true);
}

void FrontEnd::MyRectDraw(QPainter& p)
{
    const MyRect r = NormalisedCropRect();
    QPainterPath outside;
    outside.addRect(QRectF(0, 0, kStageWidth, kStageHeight));
    QPainterPath inside;
    inside.addRect(QRectF(r.x, r.y, std::fabs(r.width), std::fabs(r.height)));
    p.fillPath(outside.subtracted(inside), QColor::fromRgbF(0.3f, 0.3f, 0.3f, 0.5f));
}

bool FrontEnd::MyRectHitTest(QPointF p)
{
    if (gmyIsTransferData)
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

void FrontEnd::MyRectTrack(QPointF p, bool released)
{
    if (gmyIsTransferData)
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
    RedrawStage();
}

void FrontEnd::MyPreviewEventHandler(QPainter& p)
{
    if (previewView) {
        // A thin frame marks the preview while it is empty.
        p.setPen(previewView->palette().color(QPalette::Mid));
        p.drawRect(previewView->rect().adjusted(0, 0, -1, -1));
    }
    std::lock_guard lock(placementMutex);
    if (gmyPicPressAddImage.isNull() || !previewView || gmyLcdWidth <= 0 || gmyLcdHeight <= 0)
        return;
    const float vw = float(previewView->width());
    const float vh = float(previewView->height());
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
