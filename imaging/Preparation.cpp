// SPDX-License-Identifier: GPL-3.0-or-later
#include "imaging/Preparation.h"

#include "common/coder/Bmp.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestova {
namespace {

// Above this many pixels the whole scaled picture is not built; only the
// part under the crop is drawn. Reached only by extreme aspect ratios (a
// 1 x 10000 strip covering a square LCD scales to 128 x 1280000).
constexpr int64_t kMaxScaledPixels = int64_t(16) << 20;

QImage As32(const QImage& image) {
    if (image.depth() == 32) return image;
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                         : QImage::Format_RGB32);
}

PreparedPicture PrepareFailure(PictureError e, const QString& message) {
    PreparedPicture r;
    r.error = e;
    r.message = message;
    return r;
}

} // namespace

CoverGeometry ComputeCoverGeometry(int width, int height, int targetWidth, int targetHeight) {
    CoverGeometry g;
    if (width < 1 || height < 1 || targetWidth < 1 || targetHeight < 1) return g;
    const float rw = float(width) / float(targetWidth);
    const float rh = float(height) / float(targetHeight);
    g.m = std::min(rw, rh) - 0.00001f;
    if (!(g.m > 0.0f)) g.m = std::min(rw, rh);  // tiny ratios: the subtraction would reach 0
    // floor of a float quotient; a result beyond int range cannot be built
    // anyway, the crop-only path below never allocates it.
    const double sw = std::floor(double(float(width) / g.m));
    const double sh = std::floor(double(float(height) / g.m));
    g.scaledWidth = int(std::clamp(sw, double(targetWidth), 1e9));
    g.scaledHeight = int(std::clamp(sh, double(targetHeight), 1e9));
    g.cropX = (g.scaledWidth - targetWidth) / 2;
    g.cropY = (g.scaledHeight - targetHeight) / 2;
    return g;
}

QImage RotateLeft(const QImage& source) {
    if (source.isNull()) return {};
    const QImage src = As32(source);
    const int w = src.width(), h = src.height();
    QImage dst(h, w, src.format());
    for (int y = 0; y < h; ++y) {
        const auto* in = reinterpret_cast<const uint32_t*>(src.constScanLine(y));
        for (int x = 0; x < w; ++x)
            reinterpret_cast<uint32_t*>(dst.scanLine(w - 1 - x))[y] = in[x];
    }
    return dst;
}

QImage RotateRight(const QImage& source) {
    if (source.isNull()) return {};
    const QImage src = As32(source);
    const int w = src.width(), h = src.height();
    QImage dst(h, w, src.format());
    for (int y = 0; y < h; ++y) {
        const auto* in = reinterpret_cast<const uint32_t*>(src.constScanLine(y));
        for (int x = 0; x < w; ++x)
            reinterpret_cast<uint32_t*>(dst.scanLine(x))[h - 1 - y] = in[x];
    }
    return dst;
}

QImage Rotate(const QImage& source, Rotation rotation) {
    switch (rotation) {
    case Rotation::Left: return RotateLeft(source);
    case Rotation::Right: return RotateRight(source);
    case Rotation::None: break;
    }
    return source;
}

QImage CropOnWhite(const QImage& picture, QPoint cropOrigin, QSize cropSize) {
    if (cropSize.isEmpty()) return {};
    QImage out(cropSize, QImage::Format_RGB32);
    out.fill(Qt::white);
    if (picture.isNull()) return out;
    // One direction at a time: (source start, destination start, length).
    auto axis = [](int pictureLen, int cropLen, int origin, int& src, int& dst, int& len) {
        if (pictureLen < cropLen) {
            src = 0;
            dst = (cropLen - pictureLen) / 2;
            len = pictureLen;
        } else {
            src = std::clamp(origin, 0, pictureLen - cropLen);
            dst = 0;
            len = cropLen;
        }
    };
    int sx, dx, lw, sy, dy, lh;
    axis(picture.width(), cropSize.width(), cropOrigin.x(), sx, dx, lw);
    axis(picture.height(), cropSize.height(), cropOrigin.y(), sy, dy, lh);
    const QImage src = As32(picture);
    for (int row = 0; row < lh; ++row) {
        const auto* in = reinterpret_cast<const uint32_t*>(src.constScanLine(sy + row)) + sx;
        auto* o = reinterpret_cast<uint32_t*>(out.scanLine(dy + row)) + dx;
        for (int i = 0; i < lw; ++i) o[i] = 0xFF000000u | in[i];
    }
    return out;
}

namespace {

// Sum of the scores of every window position along one direction: the
// offset with the largest sum, ties to the one nearest the middle, then the
// lower one.
int BestWindow(const std::vector<int64_t>& profile, int window) {
    const int slack = int(profile.size()) - window;
    if (slack <= 0) return 0;
    int64_t sum = 0;
    for (int i = 0; i < window; ++i) sum += profile[size_t(i)];
    int best = 0;
    int64_t bestSum = sum;
    const auto nearer = [&](int a, int b) { return std::abs(2 * a - slack) < std::abs(2 * b - slack); };
    for (int off = 1; off <= slack; ++off) {
        sum += profile[size_t(off + window - 1)] - profile[size_t(off - 1)];
        if (sum > bestSum || (sum == bestSum && nearer(off, best))) {
            best = off;
            bestSum = sum;
        }
    }
    return best;
}

// The attention origin: per-pixel scores (see CropPlacement) summed into
// column and row profiles, and the best window along each direction that
// has slack.
QPoint AttentionOrigin(const QImage& scaled, QSize target) {
    const QImage img = As32(scaled);
    const int w = img.width(), h = img.height();
    std::vector<int> luma(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const int r = qRed(row[x]), g = qGreen(row[x]), b = qBlue(row[x]);
            luma[size_t(y) * size_t(w) + size_t(x)] = (2 * r + 5 * g + b) / 8;
        }
    }
    const auto L = [&](int x, int y) {
        return luma[size_t(std::clamp(y, 0, h - 1)) * size_t(w) + size_t(std::clamp(x, 0, w - 1))];
    };
    std::vector<int64_t> columns(size_t(w), 0), rows(size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const int r = qRed(row[x]), g = qGreen(row[x]), b = qBlue(row[x]);
            const int hi = std::max({r, g, b}), lo = std::min({r, g, b});
            const int edge = std::abs(4 * L(x, y) - L(x - 1, y) - L(x + 1, y) - L(x, y - 1) - L(x, y + 1));
            const bool skin = r > 95 && g > 40 && b > 20 && r > g && g > b && r - g > 15 && hi - lo > 15;
            const int score = edge + (hi - lo) / 2 + (skin ? 96 : 0);
            columns[size_t(x)] += score;
            rows[size_t(y)] += score;
        }
    }
    return {BestWindow(columns, target.width()), BestWindow(rows, target.height())};
}

// Above this many pixels the attention is judged on a reduced copy of the
// scaled picture (only extreme aspect ratios get there).
constexpr int64_t kMaxAttentionPixels = int64_t(4) << 20;

// The crop origin for a picture whose cover geometry is `g`; `picture` is
// the picture the geometry was made for (scaled or not; Attention looks at it).
QPoint PlaceInGeometry(const QImage& picture, const CoverGeometry& g, QSize target, CropPlacement placement) {
    const int slackX = g.scaledWidth - target.width(), slackY = g.scaledHeight - target.height();
    switch (placement) {
    case CropPlacement::Centre: return {g.cropX, g.cropY};
    case CropPlacement::North: return {g.cropX, 0};
    case CropPlacement::South: return {g.cropX, slackY};
    case CropPlacement::West: return {0, g.cropY};
    case CropPlacement::East: return {slackX, g.cropY};
    case CropPlacement::Attention: break;
    }
    const int64_t pixels = int64_t(g.scaledWidth) * g.scaledHeight;
    if (pixels <= kMaxAttentionPixels) {
        const QImage scaled = picture.size() == QSize(g.scaledWidth, g.scaledHeight)
                                  ? picture
                                  : picture.scaled(g.scaledWidth, g.scaledHeight, Qt::IgnoreAspectRatio,
                                                   Qt::SmoothTransformation);
        return AttentionOrigin(scaled, target);
    }
    // Judged on a copy reduced by f in both directions, the origin scaled back.
    const double f = std::sqrt(double(kMaxAttentionPixels) / double(pixels));
    const int aw = std::max(1, int(g.scaledWidth * f)), ah = std::max(1, int(g.scaledHeight * f));
    const QSize at(std::clamp(int(std::lround(target.width() * f)), 1, aw),
                   std::clamp(int(std::lround(target.height() * f)), 1, ah));
    const QPoint o = AttentionOrigin(picture.scaled(aw, ah, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), at);
    return {std::clamp(int(std::lround(o.x() / f)), 0, slackX), std::clamp(int(std::lround(o.y() / f)), 0, slackY)};
}

// CoverAndCrop that also tells where it cut.
QImage CoverAndCropAt(const QImage& picture, QSize targetSize, CropPlacement placement, QPoint* origin) {
    if (picture.isNull() || targetSize.isEmpty()) return {};
    const CoverGeometry g =
        ComputeCoverGeometry(picture.width(), picture.height(), targetSize.width(), targetSize.height());
    if (int64_t(g.scaledWidth) * g.scaledHeight <= kMaxScaledPixels) {
        QImage scaled = picture.size() == QSize(g.scaledWidth, g.scaledHeight)
                            ? picture
                            : picture.scaled(g.scaledWidth, g.scaledHeight, Qt::IgnoreAspectRatio,
                                             Qt::SmoothTransformation);
        const QPoint at = PlaceCrop(scaled, targetSize, placement);
        if (origin) *origin = at;
        return As32(scaled.copy(at.x(), at.y(), targetSize.width(), targetSize.height()))
            .convertToFormat(QImage::Format_RGB32);
    }
    // The same placement, drawn straight into the target so that the huge
    // scaled picture never exists.
    const QPoint at = PlaceInGeometry(picture, g, targetSize, placement);
    if (origin) *origin = at;
    QImage out(targetSize, QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRectF(-at.x(), -at.y(), g.scaledWidth, g.scaledHeight), picture);
    p.end();
    return out;
}

} // namespace

QPoint PlaceCrop(const QImage& scaled, QSize targetSize, CropPlacement placement) {
    CoverGeometry g;
    g.scaledWidth = std::max(scaled.width(), targetSize.width());
    g.scaledHeight = std::max(scaled.height(), targetSize.height());
    g.cropX = (g.scaledWidth - targetSize.width()) / 2;
    g.cropY = (g.scaledHeight - targetSize.height()) / 2;
    return PlaceInGeometry(scaled, g, targetSize, placement);
}

QImage CoverAndCrop(const QImage& picture, QSize targetSize, CropPlacement placement) {
    return CoverAndCropAt(picture, targetSize, placement, nullptr);
}

PreparedPicture PrepareImage(const QImage& picture, int lcdWidth, int lcdHeight, Rotation rotation,
                             CropPlacement crop) {
    if (lcdWidth < 1 || lcdHeight < 1)
        return PrepareFailure(PictureError::Corrupt,
                              QStringLiteral("the LCD size %1 x %2 is not usable").arg(lcdWidth).arg(lcdHeight));
    if (picture.isNull())
        return PrepareFailure(PictureError::NotAPicture, QStringLiteral("no picture"));
    PreparedPicture r;
    r.sourceSize = picture.size();
    const QImage turned = Rotate(picture, rotation);
    r.geometry = ComputeCoverGeometry(turned.width(), turned.height(), lcdWidth, lcdHeight);
    QPoint at;
    r.image = CoverAndCropAt(turned, QSize(lcdWidth, lcdHeight), crop, &at).convertToFormat(QImage::Format_RGB888);
    r.geometry.cropX = at.x();
    r.geometry.cropY = at.y();
    return r;
}

PreparedPicture PreparePictureFile(const QString& path, int lcdWidth, int lcdHeight,
                                   Rotation rotation, const PictureLimits& limits,
                                   const std::function<void()>& checked, CropPlacement crop) {
    if (lcdWidth < 1 || lcdHeight < 1)
        return PrepareFailure(PictureError::Corrupt,
                              QStringLiteral("the LCD size %1 x %2 is not usable").arg(lcdWidth).arg(lcdHeight));
    const bool turns = rotation != Rotation::None;
    // Ask the loader for exactly the cover size (in the file's upright
    // orientation), so a camera JPEG is decoded at a fraction of its size.
    bool told = false;
    const SizeChooser cover = [&](QSize upright) {
        // The loader asks for the size only after its checks.
        if (checked && !told) checked();
        told = true;
        const QSize turned = turns ? upright.transposed() : upright;
        const CoverGeometry g = ComputeCoverGeometry(turned.width(), turned.height(), lcdWidth, lcdHeight);
        const QSize scaled(g.scaledWidth, g.scaledHeight);
        return turns ? scaled.transposed() : scaled;
    };
    LoadedPicture loaded = ReadPictureFile(path, cover, limits);
    if (!loaded.ok()) return PrepareFailure(loaded.error, loaded.message);

    PreparedPicture r;
    r.sourceSize = loaded.uprightSize;
    const QSize turnedSource = turns ? loaded.uprightSize.transposed() : loaded.uprightSize;
    r.geometry = ComputeCoverGeometry(turnedSource.width(), turnedSource.height(), lcdWidth, lcdHeight);
    const QImage turned = Rotate(loaded.image, rotation);
    QImage cropped;
    QPoint at;
    if (turned.size() == QSize(r.geometry.scaledWidth, r.geometry.scaledHeight)) {
        at = PlaceCrop(turned, QSize(lcdWidth, lcdHeight), crop);
        cropped = turned.copy(at.x(), at.y(), lcdWidth, lcdHeight);
    } else {
        cropped = CoverAndCropAt(turned, QSize(lcdWidth, lcdHeight), crop, &at);
    }
    r.geometry.cropX = at.x();
    r.geometry.cropY = at.y();
    r.image = cropped.convertToFormat(QImage::Format_RGB888);
    return r;
}

std::vector<uint8_t> ToBottomUpBgr(const QImage& picture) {
    if (picture.isNull()) return {};
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    const int w = rgb.width(), h = rgb.height();
    std::vector<uint8_t> rows(size_t(w) * size_t(h) * 3);
    ConvertPixelRows(rgb.constBits(), size_t(rgb.bytesPerLine()), rows.data(), size_t(w) * 3, w, h,
                     true, true);
    return rows;
}

bool SavePreparedBitmap(const QImage& picture, const QString& path) {
    if (picture.isNull()) return false;
    const std::vector<uint8_t> rows = ToBottomUpBgr(picture);
    return SaveBmpFile(rows.data(), picture.width(), picture.height(), path.toStdString());
}

QImage LoadPreparedBitmap(const QString& path, int width, int height) {
    if (width < 1 || height < 1) return {};
    std::vector<uint8_t> input(EncoderInputSize(width, height), 0);
    if (LoadPicFromDir(path.toStdString(), input.data(), input.size(), width, height) != 1) return {};
    return FromRgbImage(FromEncoderInput(input.data(), width, height));
}

RgbImage ToRgbImage(const QImage& picture) {
    RgbImage out;
    if (picture.isNull()) return out;
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    out.width = rgb.width();
    out.height = rgb.height();
    out.rgb.resize(size_t(out.width) * size_t(out.height) * 3);
    const size_t row = size_t(out.width) * 3;
    for (int y = 0; y < out.height; ++y)
        std::memcpy(out.rgb.data() + size_t(y) * row, rgb.constScanLine(y), row);
    return out;
}

QImage FromRgbImage(const RgbImage& picture) {
    if (picture.empty() || picture.rgb.size() < size_t(picture.width) * size_t(picture.height) * 3)
        return {};
    QImage image(picture.width, picture.height, QImage::Format_RGB888);
    const size_t row = size_t(picture.width) * 3;
    for (int y = 0; y < picture.height; ++y)
        std::memcpy(image.scanLine(y), picture.rgb.data() + size_t(y) * row, row);
    return image;
}

} // namespace kestova
