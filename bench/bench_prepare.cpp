// SPDX-License-Identifier: GPL-3.0-or-later
// Preparing a 12-megapixel camera JPEG for small LCDs: the preparation
// (reduced-scale JPEG decode, then cover-scale and centre crop) against the
// plain road (decode every pixel, scale the whole picture, crop) in the same
// run. Compare BM_Prepare/<w>/<h> with BM_FullDecodeThenScale/<w>/<h>.

#include "imaging/Preparation.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <benchmark/benchmark.h>

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace {

// A photo-like 4000 x 3000 picture: smooth light falloff, a few shapes and
// fine texture, so the JPEG has the size and entropy of a camera file.
const QString& CameraJpeg() {
    static const QString path = [] {
        const int w = 4000, h = 3000;
        QImage img(w, h, QImage::Format_RGB32);
        uint32_t seed = 7;
        for (int y = 0; y < h; ++y) {
            auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
            for (int x = 0; x < w; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int grain = int(seed >> 28) - 8;
                const double d = std::hypot(x - 1800.0, y - 1300.0) / 2500.0;
                const int base = int(220 * (1.0 - d));
                const bool shape = ((x / 350) + (y / 270)) % 3 == 0;
                const int r = std::clamp(base + (shape ? 30 : -10) + grain, 0, 255);
                const int g = std::clamp(base - 20 + int(40 * std::sin(x / 90.0)) + grain, 0, 255);
                const int b = std::clamp(base - 60 + int(30 * std::cos(y / 70.0)) + grain, 0, 255);
                line[x] = qRgb(r, g, b);
            }
        }
        const QString file = QDir::temp().filePath(QStringLiteral("kestova-bench-camera-%1.jpg").arg(getpid()));
        img.save(file, "JPEG", 90);
        std::atexit([] { QFile::remove(QDir::temp().filePath(QStringLiteral("kestova-bench-camera-%1.jpg").arg(getpid()))); });
        return file;
    }();
    return path;
}

void BM_Prepare(benchmark::State& state) {
    const QString& file = CameraJpeg();
    const int w = int(state.range(0)), h = int(state.range(1));
    for (auto _ : state) {
        const kestova::PreparedPicture p = kestova::PreparePictureFile(file, w, h);
        if (!p.ok()) state.SkipWithError(p.message.toStdString().c_str());
        benchmark::DoNotOptimize(p.image.constBits());
    }
    state.counters["file_MB"] = double(QFileInfo(file).size()) / 1e6;
}

// The reference: every pixel decoded, the whole picture scaled smoothly to
// the cover size, then the centre cut out.
void BM_FullDecodeThenScale(benchmark::State& state) {
    const QString& file = CameraJpeg();
    const int w = int(state.range(0)), h = int(state.range(1));
    for (auto _ : state) {
        QImageReader reader(file);
        reader.setAutoTransform(true);
        const QImage full = reader.read();
        if (full.isNull()) state.SkipWithError("decode failed");
        const kestova::CoverGeometry g = kestova::ComputeCoverGeometry(full.width(), full.height(), w, h);
        const QImage out = full.scaled(g.scaledWidth, g.scaledHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                               .copy(g.cropX, g.cropY, w, h);
        benchmark::DoNotOptimize(out.constBits());
    }
}

BENCHMARK(BM_Prepare)->Args({128, 128})->Args({320, 240})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullDecodeThenScale)->Args({128, 128})->Args({320, 240})->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
