#include "imaging/Preparation.h"

#include "common/coder/Bmp.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

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

QImage CoverAndCrop(const QImage& picture, QSize targetSize) {
    if (picture.isNull() || targetSize.isEmpty()) return {};
    const CoverGeometry g =
        ComputeCoverGeometry(picture.width(), picture.height(), targetSize.width(), targetSize.height());
    if (int64_t(g.scaledWidth) * g.scaledHeight <= kMaxScaledPixels) {
        QImage scaled = picture.size() == QSize(g.scaledWidth, g.scaledHeight)
                            ? picture
                            : picture.scaled(g.scaledWidth, g.scaledHeight, Qt::IgnoreAspectRatio,
                                             Qt::SmoothTransformation);
        return As32(scaled.copy(g.cropX, g.cropY, targetSize.width(), targetSize.height()))
            .convertToFormat(QImage::Format_RGB32);
    }
    // The same placement, drawn straight into the target so that the huge
    // scaled picture never exists.
    QImage out(targetSize, QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRectF(-g.cropX, -g.cropY, g.scaledWidth, g.scaledHeight), picture);
    p.end();
    return out;
}

PreparedPicture PrepareImage(const QImage& picture, int lcdWidth, int lcdHeight, Rotation rotation) {
    if (lcdWidth < 1 || lcdHeight < 1)
        return PrepareFailure(PictureError::Corrupt,
                              QStringLiteral("the LCD size %1 x %2 is not usable").arg(lcdWidth).arg(lcdHeight));
    if (picture.isNull())
        return PrepareFailure(PictureError::NotAPicture, QStringLiteral("no picture"));
    PreparedPicture r;
    r.sourceSize = picture.size();
    const QImage turned = Rotate(picture, rotation);
    r.geometry = ComputeCoverGeometry(turned.width(), turned.height(), lcdWidth, lcdHeight);
    r.image = CoverAndCrop(turned, QSize(lcdWidth, lcdHeight)).convertToFormat(QImage::Format_RGB888);
    return r;
}

PreparedPicture PreparePictureFile(const QString& path, int lcdWidth, int lcdHeight,
                                   Rotation rotation, const PictureLimits& limits,
                                   const std::function<void()>& checked) {
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
    if (turned.size() == QSize(r.geometry.scaledWidth, r.geometry.scaledHeight))
        cropped = turned.copy(r.geometry.cropX, r.geometry.cropY, lcdWidth, lcdHeight);
    else
        cropped = CoverAndCrop(turned, QSize(lcdWidth, lcdHeight));
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
