// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The demo frame's pictures: six colourful scenes drawn here with QPainter
// (gradients and paths, no files), so a first run shows a full album without
// shipping anyone's photos.

#include <QImage>
#include <QSize>
#include <QString>

#include <vector>

namespace kestova {

struct SamplePicture {
    QString name;  // "sunset", "sailboat", ... (also the file name a caller may use)
    QImage image;  // Format_RGB888, of the size asked for
};

// Every sample at `size` (each scene is composed for a square and stays
// recognisable when a wide or tall LCD cuts its centre out).
std::vector<SamplePicture> DrawSamplePictures(QSize size);

} // namespace kestova
