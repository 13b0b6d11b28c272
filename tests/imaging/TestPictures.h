// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Pictures made on the fly for the imaging and command-line tests.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace kestova::testing {

// Four flat quadrants: red top-left, green top-right, blue bottom-left,
// yellow bottom-right.
inline QImage Quadrants(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool right = x >= w / 2, bottom = y >= h / 2;
            QRgb c = !bottom ? (!right ? qRgb(255, 0, 0) : qRgb(0, 255, 0))
                             : (!right ? qRgb(0, 0, 255) : qRgb(255, 255, 0));
            img.setPixel(x, y, c);
        }
    return img;
}

// Every pixel different: (x * 7 + y, y * 5 + x, x ^ y) mod 256.
inline QImage Pattern(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) line[x] = qRgb((x * 7 + y) & 255, (y * 5 + x) & 255, (x ^ y) & 255);
    }
    return img;
}

// Photo-like: smooth gradients and soft waves, what JPEG codecs are made for.
inline QImage Photo(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int r = (x * 255) / w;
            const int g = (y * 255) / h;
            const int b = 128 + int(100 * std::sin((x + y) * 6.0 / (w + h)));
            line[x] = qRgb(r, g, b);
        }
    }
    return img;
}

inline QByteArray Encode(const QImage& img, const char* format, int quality = -1) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, format, quality);
    return data;
}

// Inserts an APP1 Exif segment with one Orientation entry right after SOI.
inline QByteArray WithExifOrientation(const QByteArray& jpeg, int orientation) {
    const unsigned char tiff[] = {'M', 'M', 0, 42, 0, 0, 0, 8,             // big-endian TIFF, IFD at 8
                                  0, 1,                                    // one entry
                                  0x01, 0x12, 0, 3, 0, 0, 0, 1,            // Orientation, SHORT, 1
                                  0, (unsigned char)orientation, 0, 0,     // value
                                  0, 0, 0, 0};                             // no next IFD
    QByteArray body("Exif\0\0", 6);
    body.append(reinterpret_cast<const char*>(tiff), sizeof tiff);
    const int len = int(body.size()) + 2;
    QByteArray out = jpeg.left(2);
    out.append(char(0xFF));
    out.append(char(0xE1));
    out.append(char(len >> 8));
    out.append(char(len & 0xFF));
    out.append(body);
    out.append(jpeg.mid(2));
    return out;
}

inline bool WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline int ColourDistance(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

// Largest per-pixel colour distance between two pictures of the same size
// (-1 when the sizes differ).
inline int MaxDistance(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return -1;
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const int d = ColourDistance(a.pixel(x, y), b.pixel(x, y));
            if (d > worst) worst = d;
        }
    return worst;
}

// Mean per-pixel colour distance (-1 when the sizes differ).
inline double MeanDistance(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return -1;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) sum += ColourDistance(a.pixel(x, y), b.pixel(x, y));
    return sum / (double(a.width()) * a.height());
}

} // namespace kestova::testing
