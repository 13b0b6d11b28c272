// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// From a user's picture to the prepared bitmap: exactly LCD width x height
// pixels, upright, 24 bits per pixel, what the frame is to show. This is the
// dialog program's way (and the command line's): scale the picture until it
// covers the LCD in both directions, keep the aspect ratio, cut out the centre
// (or the window a CropPlacement picks: an edge, or where the detail is).
// Also here: the pixel-exact 90-degree rotations, the crop on a white
// background used when a picture is smaller than the crop rectangle, and the
// conversion of a prepared picture to the BMP rows the encoder reads.

#include "common/coder/Bmp.h"
#include "imaging/PictureLoader.h"

#include <QImage>
#include <QPoint>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace kestova {

// Cover-scale geometry of a W x H picture for a Wt x Ht target:
//   m  = min(W / Wt, H / Ht) - 0.00001      (single precision)
//   W' = floor(W / m),  H' = floor(H / m)   the scaled picture, covering Wt x Ht
//   crop origin ((W' - Wt) / 2, (H' - Ht) / 2), integer division.
// The small subtraction keeps W' >= Wt and H' >= Ht against rounding; where
// single precision cannot carry it (ratios in the thousands) the scaled size
// is still never let below the target, so the crop always lies inside.
struct CoverGeometry {
    float m = 0;
    int scaledWidth = 0;
    int scaledHeight = 0;
    int cropX = 0;
    int cropY = 0;
};
// All four sizes must be at least 1 (else a zero geometry is returned).
CoverGeometry ComputeCoverGeometry(int width, int height, int targetWidth, int targetHeight);

// 90-degree turns, one pixel per step, no resampling. For a W x H source the
// result is H x W:
//   left (counter-clockwise): destination (y, W - 1 - x) = source (x, y)
//   right (clockwise):        destination (H - 1 - y, x) = source (x, y)
enum class Rotation { None, Left, Right };
QImage RotateLeft(const QImage& source);
QImage RotateRight(const QImage& source);
QImage Rotate(const QImage& source, Rotation rotation);

// A cropSize bitmap filled with white that receives `picture` as follows,
// for each direction on its own: where the picture is smaller than the crop,
// it is centred ((crop - picture) / 2, integer division); otherwise the part
// under the crop rectangle is copied, the crop's origin (given in the
// picture's coordinates) kept inside the picture. Result: Format_RGB32.
QImage CropOnWhite(const QImage& picture, QPoint cropOrigin, QSize cropSize);

// Where the LCD-size window is cut out of the cover-scaled picture. Cover
// scaling leaves slack in (at most) one direction; the choice places the
// window along it:
//   Centre     the middle ((slack) / 2, integer division): the classic result
//   North/South/West/East   flush with the top, bottom, left or right edge
//                (the other direction stays centred)
//   Attention  where the picture holds the most detail and colour. Every
//              pixel of the scaled picture scores
//                edge (|4 L - four neighbours' L|, L = (2R + 5G + B) / 8)
//              + saturation / 2 (max(R,G,B) - min(R,G,B))
//              + 96 for a skin-like hue (R > 95, G > 40, B > 20, R > G > B,
//                R - G > 15, max - min > 15),
//              the scores are summed across the slack direction, and the
//              window takes the offset whose sum is largest; of equal sums
//              the one nearest the centre, then the lower offset. Integer
//              arithmetic only: the same picture always gives the same offset.
enum class CropPlacement { Centre, Attention, North, South, East, West };

// The crop origin of a targetSize window inside `scaled` (a picture that
// covers targetSize) for `placement`; Centre gives the CoverGeometry origin.
QPoint PlaceCrop(const QImage& scaled, QSize targetSize, CropPlacement placement);

// Scales a whole picture to cover targetSize (ComputeCoverGeometry) and
// returns the targetSize part `placement` picks (default: the centre).
// Result: Format_RGB32.
QImage CoverAndCrop(const QImage& picture, QSize targetSize,
                    CropPlacement placement = CropPlacement::Centre);

struct PreparedPicture {
    QImage image;                // lcdWidth x lcdHeight, Format_RGB888; null on failure
    QSize sourceSize;            // the file's upright size, before any rotation
    CoverGeometry geometry;      // for the (rotated) source and the LCD; cropX/cropY
                                 // where the window was cut (CropPlacement)
    PictureError error = PictureError::None;
    QString message;             // "<file>: <what went wrong>"
    bool ok() const { return error == PictureError::None; }
};

// The one call every front-end makes: loads `path` upright, turns it by
// `rotation`, covers lcdWidth x lcdHeight and cuts out the window `crop`
// places (the centre by default). Large
// JPEGs are decoded at a reduced scale that still covers the cover size.
// `checked` (optional) is called once the file has passed every check made
// before its pixels are decoded (there, readable, a picture of an accepted
// size, not truncated): from then on it fails only on damaged pixel data.
PreparedPicture PreparePictureFile(const QString& path, int lcdWidth, int lcdHeight,
                                   Rotation rotation = Rotation::None,
                                   const PictureLimits& limits = {},
                                   const std::function<void()>& checked = {},
                                   CropPlacement crop = CropPlacement::Centre);

// The same for a picture already in memory (upright).
PreparedPicture PrepareImage(const QImage& picture, int lcdWidth, int lcdHeight,
                             Rotation rotation = Rotation::None,
                             CropPlacement crop = CropPlacement::Centre);

// Pixel rows as the BMP writer takes them: 3 bytes per pixel B, G, R, the
// picture's bottom row first, rows not padded.
std::vector<uint8_t> ToBottomUpBgr(const QImage& picture);

// Writes `picture` as a 24-bit BMP (the prepared bitmap file the encoder
// reads). False when the picture is null or the file cannot be written.
bool SavePreparedBitmap(const QImage& picture, const QString& path);

// Between QImage and the codecs' top-down RGB pictures (RgbImage, Bmp.h).
RgbImage ToRgbImage(const QImage& picture);
QImage FromRgbImage(const RgbImage& picture);  // Format_RGB888; null when empty

// Reads a 24-bit (or 16-bit) BMP of exactly width x height, as the encoder
// sees it (LoadPicFromDir), back into an image; null when it cannot be read.
QImage LoadPreparedBitmap(const QString& path, int width, int height);

} // namespace kestova
