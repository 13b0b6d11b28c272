// SPDX-License-Identifier: GPL-3.0-or-later
#include "imaging/ProcessPic.h"

#include "imaging/Preparation.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace kestova {

std::unique_ptr<MacPicture> LoadPicture(const QString& path, QString* error, const PictureLimits& limits) {
    LoadedPicture loaded = ReadPictureFile(path, {}, limits);
    if (!loaded.ok()) {
        if (error) *error = loaded.message;
        return nullptr;
    }
    if (error) error->clear();
    return MakePicture(loaded.image);
}

std::unique_ptr<MacPicture> MakePicture(const QImage& image) {
    if (image.isNull()) return nullptr;
    auto record = std::make_unique<MacPicture>();
    record->image = image.convertToFormat(QImage::Format_RGB32);
    return record;
}

QTransform PlacementTransform(const QRectF& rect, const MacPicture& picture, bool offsetsOnly) {
    const qreal w = rect.width(), h = rect.height();
    const qreal iw = picture.image.width(), ih = picture.image.height();
    QTransform t;
    // QTransform calls compose like the painter's: each one acts on the
    // coordinates of the calls after it, so they read in the drawing order.
    if (offsetsOnly)
        t.translate(picture.xOffset, picture.yOffset);
    else
        t.translate((kStageWidth - w) / 2 - rect.x() + picture.xOffset,
                    (kStageHeight - h) / 2 - rect.y() + picture.yOffset);
    t.translate(w / 2, h / 2);
    t.rotate(picture.angle);
    t.scale(picture.xScale, picture.yScale);
    t.translate(-w / 2, -h / 2);
    // The picture's rectangle, first row at the bottom.
    t.translate((w - iw) / 2, (h - ih) / 2 + ih);
    t.scale(1, -1);
    return t;
}

void DrawMyImage(QPainter& painter, const QRectF& rect, const MacPicture& picture, bool offsetsOnly) {
    if (picture.image.isNull()) return;
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setTransform(PlacementTransform(rect, picture, offsetsOnly), true);
    painter.drawImage(QPointF(0, 0), picture.image);
    painter.restore();
}

float SuitableScale(QSize picture, int lcdWidth, int lcdHeight) {
    if (picture.isEmpty()) return 0.0f;
    return std::max(float(lcdWidth) / float(picture.width()), float(lcdHeight) / float(picture.height()));
}

QRectF CentredCropRect(int lcdWidth, int lcdHeight) {
    return QRectF((kStageWidth - lcdWidth) / 2.0, (kStageHeight - lcdHeight) / 2.0, lcdWidth, lcdHeight);
}

QRectF NormalisedCropRect(const QRectF& crop) {
    return crop.normalized();
}

QImage RenderCrop(const MacPicture& picture, const QRectF& crop, const QColor& background) {
    const QRectF r = NormalisedCropRect(crop);
    const int w = int(std::lround(r.width())), h = int(std::lround(r.height()));
    if (w < 1 || h < 1) return {};
    QImage out(w, h, QImage::Format_RGB32);
    out.fill(background);
    QPainter p(&out);
    DrawMyImage(p, QRectF(r.x(), r.y(), w, h), picture, false);
    p.end();
    return out.convertToFormat(QImage::Format_RGB888);
}

QImage RenderCropForLcd(const MacPicture& picture, const QRectF& crop, int lcdWidth, int lcdHeight,
                        const QColor& background) {
    if (picture.image.isNull() || lcdWidth < 1 || lcdHeight < 1) return {};
    const QImage rendered = RenderCrop(picture, crop, background);
    if (rendered.isNull()) return {};
    if (rendered.size() == QSize(lcdWidth, lcdHeight)) return rendered;
    QImage lcd(lcdWidth, lcdHeight, QImage::Format_RGB888);
    lcd.fill(background);
    QPainter p(&lcd);
    p.drawImage(0, 0, rendered);
    p.end();
    return lcd;
}

bool SaveCropAsBitmap(const MacPicture& picture, const QRectF& crop, int lcdWidth, int lcdHeight,
                      const QString& path, const QColor& background) {
    const QImage lcd = RenderCropForLcd(picture, crop, lcdWidth, lcdHeight, background);
    return !lcd.isNull() && SavePreparedBitmap(lcd, path);
}

} // namespace kestova
