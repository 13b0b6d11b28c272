// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Picture placement of the stage program: a picture record (rotation, scale,
// offsets and the decoded picture), how it is drawn onto the 580 x 400 stage
// or into an offscreen bitmap (DrawMyImage), and the capture of the crop
// rectangle as the prepared bitmap. QImage/QPainter only, no widgets: the
// stage view draws with the same call the capture uses.
//
// Coordinates run top-down everywhere (stage, widgets, QImage rows). The
// picture itself is drawn like a Core Graphics image into a flipped view:
// its first row lands at the bottom of its rectangle. The record's base
// values (angle 180, x scale -1) undo exactly that flip, so a freshly loaded
// picture shows upright, and the user's rotation is simply angle - 180.

#include "imaging/PictureLoader.h"

#include <QColor>
#include <QImage>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QTransform>

#include <memory>

class QPainter;

namespace kestova {

constexpr int kStageWidth = 580;
constexpr int kStageHeight = 400;

// The Mac picture record. Field order and base values as the stage program
// keeps them: the user's rotation r gives angle = r + 180, the user's scale
// s gives x scale = -s, y scale = s.
struct MacPicture {
    float angle = 180.0f;   // degrees
    float xScale = -1.0f;
    float yScale = 1.0f;
    float xOffset = 0.0f;   // stage points; + moves the picture right
    float yOffset = 0.0f;   // stage points; + moves the picture down
    QImage image;           // the decoded picture, upright, Format_RGB32
};

// Loads a picture file into a new record (base values, full-size picture,
// orientation tag applied). Null when the file cannot be decoded; `error`
// (optional) then receives "<file>: <why>".
std::unique_ptr<MacPicture> LoadPicture(const QString& path, QString* error = nullptr,
                                        const PictureLimits& limits = {});
// A record around a picture already in memory (tests, pasted pictures).
std::unique_ptr<MacPicture> MakePicture(const QImage& image);

// The placement DrawMyImage applies, as one transform from the picture's
// pixel coordinates to the painter's coordinates (includes the row flip).
// rect = (x, y, w, h):
//  1. translate by (tx, ty) when offsetsOnly, else by
//     ((580 - w) / 2 - x + tx, (400 - h) / 2 - y + ty);
//  2. rotate by angle about (w / 2, h / 2);
//  3. scale by (xScale, yScale) about (w / 2, h / 2);
//  4. the picture at ((w - iw) / 2, (h - ih) / 2) with its own size, first
//     row at the bottom.
// The picture's centre therefore sits at the stage centre (290, 200) moved by
// the offsets; with offsetsOnly cleared, the same spot relative to (x, y).
QTransform PlacementTransform(const QRectF& rect, const MacPicture& picture, bool offsetsOnly);

// Draws the picture with that placement (smooth resampling). Draws nothing
// for a null picture. The painter's own state is restored afterwards.
void DrawMyImage(QPainter& painter, const QRectF& rect, const MacPicture& picture, bool offsetsOnly);

// The stage program's "suitable size": the factor at which the picture just
// covers an LCD-size crop rectangle, max(lcdW / iw, lcdH / ih); 0 for an
// empty picture.
float SuitableScale(QSize picture, int lcdWidth, int lcdHeight);

// The crop rectangle after a picture is loaded: LCD-size, centred on the stage.
QRectF CentredCropRect(int lcdWidth, int lcdHeight);

// A crop rectangle with (x, y) its top-left corner and a positive size (the
// stage lets width/height go negative while the user drags up or left).
QRectF NormalisedCropRect(const QRectF& crop);

// Renders what the crop rectangle shows into a new |w| x |h| bitmap (the
// rectangle normalised first, so a rectangle dragged up/left captures what
// it shows too). The bitmap is cleared to `background` before drawing, so
// parts the picture does not cover (after shrinking, moving or turning it)
// have a defined colour. Result: Format_RGB888, upright, top row first.
QImage RenderCrop(const MacPicture& picture, const QRectF& crop, const QColor& background = Qt::white);

// RenderCrop cut or padded (with `background`) to exactly lcdWidth x
// lcdHeight, keeping its top-left corner: the prepared picture. Null when
// nothing is placed.
QImage RenderCropForLcd(const MacPicture& picture, const QRectF& crop, int lcdWidth, int lcdHeight,
                        const QColor& background = Qt::white);

// The stage capture end to end: RenderCropForLcd, then the prepared 24-bit
// BMP at `path`. False when nothing is placed or the file cannot be written.
bool SaveCropAsBitmap(const MacPicture& picture, const QRectF& crop, int lcdWidth, int lcdHeight,
                      const QString& path, const QColor& background = Qt::white);

} // namespace kestova
