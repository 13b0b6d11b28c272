// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/win/widgets/WidgetTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

namespace kestova::win::test {

namespace {
QTemporaryDir* home = nullptr;
}

void EnsureApp()
{
    if (QApplication::instance())
        return;
    home = new QTemporaryDir;  // lives for the whole test program
    const QByteArray h = home->path().toLocal8Bit();
    setenv("HOME", h.constData(), 1);
    setenv("XDG_CONFIG_HOME", (h + "/.config").constData(), 1);
    static int argc = 1;
    static char arg0[] = "win_widgets_tests";
    static char* argv[] = {arg0, nullptr};
    new QApplication(argc, argv);
}

QString HomeDir()
{
    EnsureApp();
    return home->path();
}

void DoubleClick(QWidget* widget, QPoint pos, Qt::MouseButton button)
{
    QTest::mousePress(widget, button, {}, pos);
    QTest::mouseRelease(widget, button, {}, pos);
    QTest::mouseDClick(widget, button, {}, pos);
    QTest::mouseRelease(widget, button, {}, pos);
}

void MakeDir(const QString& path)
{
    ASSERT_TRUE(QDir().mkpath(path)) << path.toStdString();
}

void WriteText(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
}

void SavePicture(const QString& path, const QImage& image)
{
    ASSERT_TRUE(image.save(path)) << path.toStdString();
}

QImage Quadrants(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool right = x >= w / 2, bottom = y >= h / 2;
            img.setPixel(x, y, !bottom ? (!right ? qRgb(255, 0, 0) : qRgb(0, 255, 0))
                                       : (!right ? qRgb(0, 0, 255) : qRgb(255, 255, 0)));
        }
    return img;
}

QImage Pattern(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x * 7 + y) & 255, (y * 5 + x) & 255, (x ^ y) & 255));
    return img;
}

} // namespace kestova::win::test
