// SPDX-License-Identifier: GPL-3.0-or-later
#include "imaging/SamplePictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <functional>

namespace kestova {
namespace {

// Every scene is drawn on a 400 x 400 canvas.
constexpr qreal kSide = 400;

void Sky(QPainter& p, QColor top, QColor bottom, qreal height = kSide)
{
    QLinearGradient g(0, 0, 0, height);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(QRectF(0, 0, kSide, height), g);
}

void Cloud(QPainter& p, qreal x, qreal y, qreal s)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(QPointF(x, y), 30 * s, 20 * s);
    p.drawEllipse(QPointF(x + 28 * s, y - 10 * s), 28 * s, 24 * s);
    p.drawEllipse(QPointF(x + 58 * s, y), 30 * s, 19 * s);
}

// The sky above the horizon: sun and hills.
void SunsetSky(QPainter& p)
{
    Sky(p, QColor(72, 38, 120), QColor(255, 150, 60), 250);
    QRadialGradient sun(QPointF(200, 235), 70);
    sun.setColorAt(0, QColor(255, 245, 150));
    sun.setColorAt(0.6, QColor(255, 200, 60));
    sun.setColorAt(1, QColor(255, 120, 40, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sun);
    p.drawEllipse(QPointF(200, 235), 70, 70);
    // Hills on both sides of the bay.
    QPainterPath hills;
    hills.moveTo(0, 250);
    hills.cubicTo(60, 170, 110, 190, 150, 250);
    hills.moveTo(260, 250);
    hills.cubicTo(300, 160, 360, 180, 400, 220);
    hills.lineTo(400, 250);
    p.setBrush(QColor(60, 30, 70));
    p.drawPath(hills);
}

void SunsetScene(QPainter& p)
{
    // Sea first, then the sky over its top part, so the horizon is sharp.
    Sky(p, QColor(40, 40, 110), QColor(20, 20, 60));
    p.save();
    p.setClipRect(QRectF(0, 0, kSide, 250));
    SunsetSky(p);
    p.restore();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 190, 80));
    for (int i = 0; i < 9; ++i) {
        const qreal y = 258 + i * 16;
        const qreal w = 70 - i * 5 + (i % 2) * 16;
        p.drawRoundedRect(QRectF(200 - w / 2, y, w, 5), 2, 2);
    }
}

void Sailboat(QPainter& p)
{
    Sky(p, QColor(90, 170, 240), QColor(200, 235, 255), 260);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 225, 80));
    p.drawEllipse(QPointF(320, 70), 34, 34);
    Cloud(p, 60, 80, 1.0);
    QLinearGradient sea(0, 260, 0, kSide);
    sea.setColorAt(0, QColor(20, 110, 180));
    sea.setColorAt(1, QColor(10, 50, 110));
    p.fillRect(QRectF(0, 260, kSide, 140), sea);
    // Sails, mast and a red hull.
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(205, 70), QPointF(205, 255), QPointF(300, 255)}));
    p.setBrush(QColor(245, 245, 235));
    p.drawPolygon(QPolygonF({QPointF(195, 95), QPointF(195, 255), QPointF(120, 255)}));
    p.setBrush(QColor(90, 60, 40));
    p.drawRect(QRectF(196, 60, 8, 200));
    p.setBrush(QColor(200, 30, 40));
    p.drawPolygon(QPolygonF({QPointF(100, 262), QPointF(320, 262), QPointF(290, 300), QPointF(130, 300)}));
    // Waves.
    p.setPen(QPen(QColor(200, 230, 255), 4, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    for (int row = 0; row < 4; ++row) {
        const qreal y = 315 + row * 22;
        for (qreal x = (row % 2) * 30; x < kSide; x += 60)
            p.drawArc(QRectF(x, y, 40, 14), 0, 180 * 16);
    }
}

void Flower(QPainter& p)
{
    QRadialGradient bg(QPointF(200, 200), 280);
    bg.setColorAt(0, QColor(170, 230, 130));
    bg.setColorAt(1, QColor(40, 120, 60));
    p.fillRect(QRectF(0, 0, kSide, kSide), bg);
    p.setPen(QPen(QColor(30, 110, 40), 12, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(200, 200), QPointF(215, 400));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(50, 150, 60));
    p.drawEllipse(QRectF(215, 300, 80, 30));
    // Eight petals round a yellow heart.
    p.save();
    p.translate(200, 180);
    for (int i = 0; i < 8; ++i) {
        QLinearGradient petal(0, -20, 0, -140);
        petal.setColorAt(0, QColor(200, 30, 110));
        petal.setColorAt(1, QColor(255, 130, 190));
        p.setBrush(petal);
        p.drawEllipse(QRectF(-32, -140, 64, 120));
        p.rotate(45);
    }
    p.restore();
    QRadialGradient heart(QPointF(195, 175), 45);
    heart.setColorAt(0, QColor(255, 235, 90));
    heart.setColorAt(1, QColor(230, 150, 20));
    p.setBrush(heart);
    p.drawEllipse(QPointF(200, 180), 42, 42);
}

void Skyline(QPainter& p)
{
    Sky(p, QColor(10, 15, 50), QColor(70, 50, 130));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 245, 210));
    p.drawEllipse(QPointF(310, 80), 30, 30);
    p.setBrush(QColor(10, 15, 50));
    p.drawEllipse(QPointF(322, 72), 26, 26);  // a crescent
    p.setBrush(Qt::white);
    for (int i = 0; i < 30; ++i)
        p.drawEllipse(QPointF((i * 97) % 400, (i * 53) % 170), 1.5, 1.5);
    // Towers of different heights, each with lit windows.
    struct Tower {
        qreal x, w, top;
        QColor colour;
    };
    const Tower towers[] = {
        {0, 60, 230, QColor(40, 40, 70)},    {55, 50, 160, QColor(55, 45, 90)},
        {100, 70, 110, QColor(35, 35, 65)},  {165, 45, 200, QColor(60, 50, 95)},
        {205, 60, 140, QColor(30, 30, 60)},  {260, 55, 190, QColor(50, 40, 85)},
        {310, 40, 120, QColor(40, 35, 75)},  {345, 55, 210, QColor(55, 50, 90)},
    };
    for (const Tower& t : towers) {
        p.setBrush(t.colour);
        p.drawRect(QRectF(t.x, t.top, t.w, kSide - t.top));
        for (qreal y = t.top + 12; y < kSide - 20; y += 20)
            for (qreal x = t.x + 8; x + 8 < t.x + t.w; x += 14) {
                const bool lit = (int(x * 7 + y * 3) % 5) != 0;
                p.setBrush(lit ? QColor(255, 215, 90) : QColor(25, 25, 45));
                p.drawRect(QRectF(x, y, 7, 10));
            }
    }
    p.setBrush(QColor(120, 120, 160));
    p.drawRect(QRectF(130, 60, 4, 50));  // the antenna of the tallest tower
}

void Balloon(QPainter& p)
{
    Sky(p, QColor(70, 160, 235), QColor(180, 225, 250));
    Cloud(p, 40, 300, 1.2);
    Cloud(p, 270, 340, 0.9);
    Cloud(p, 290, 60, 0.7);
    // The envelope: coloured gores clipped to the balloon's outline.
    QPainterPath envelope;
    envelope.moveTo(200, 40);
    envelope.cubicTo(320, 40, 320, 170, 235, 240);
    envelope.lineTo(165, 240);
    envelope.cubicTo(80, 170, 80, 40, 200, 40);
    p.save();
    p.setClipPath(envelope);
    const QColor gores[] = {QColor(230, 40, 50), QColor(255, 200, 30), QColor(40, 120, 220),
                            QColor(255, 255, 255), QColor(40, 180, 80), QColor(255, 120, 30)};
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 7; ++i) {
        p.setBrush(gores[i % 6]);
        p.drawRect(QRectF(95 + i * 30, 30, 30, 220));
    }
    QRadialGradient shine(QPointF(160, 100), 160);
    shine.setColorAt(0, QColor(255, 255, 255, 90));
    shine.setColorAt(1, QColor(0, 0, 0, 70));
    p.setBrush(shine);
    p.drawRect(QRectF(80, 30, 240, 220));
    p.restore();
    // Ropes and basket.
    p.setPen(QPen(QColor(90, 60, 30), 2));
    p.drawLine(QPointF(168, 240), QPointF(182, 290));
    p.drawLine(QPointF(232, 240), QPointF(218, 290));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(140, 90, 40));
    p.drawRoundedRect(QRectF(178, 288, 44, 32), 4, 4);
}

void CatFace(QPainter& p)
{
    QLinearGradient bg(0, 0, kSide, kSide);
    bg.setColorAt(0, QColor(80, 200, 200));
    bg.setColorAt(1, QColor(40, 110, 170));
    p.fillRect(QRectF(0, 0, kSide, kSide), bg);
    const QColor fur(245, 150, 50);
    p.setPen(Qt::NoPen);
    // Ears, pink inside.
    p.setBrush(fur);
    p.drawPolygon(QPolygonF({QPointF(85, 170), QPointF(110, 40), QPointF(190, 110)}));
    p.drawPolygon(QPolygonF({QPointF(315, 170), QPointF(290, 40), QPointF(210, 110)}));
    p.setBrush(QColor(250, 170, 190));
    p.drawPolygon(QPolygonF({QPointF(110, 150), QPointF(118, 75), QPointF(170, 118)}));
    p.drawPolygon(QPolygonF({QPointF(290, 150), QPointF(282, 75), QPointF(230, 118)}));
    // Head with stripes and a pale muzzle.
    p.setBrush(fur);
    p.drawEllipse(QRectF(70, 90, 260, 240));
    p.setBrush(QColor(200, 100, 20));
    for (int i = -1; i <= 1; ++i)
        p.drawRoundedRect(QRectF(194 + i * 24, 95, 12, 50), 6, 6);
    p.setBrush(QColor(255, 235, 210));
    p.drawEllipse(QRectF(140, 225, 120, 85));
    // Green eyes with slit pupils.
    for (int side : {-1, 1}) {
        const QPointF eye(200 + side * 55, 200);
        p.setBrush(QColor(120, 210, 60));
        p.drawEllipse(eye, 28, 24);
        p.setBrush(Qt::black);
        p.drawEllipse(eye, 7, 20);
        p.setBrush(Qt::white);
        p.drawEllipse(eye + QPointF(-8, -9), 4, 4);
    }
    // Nose, mouth and whiskers.
    p.setBrush(QColor(240, 100, 130));
    p.drawPolygon(QPolygonF({QPointF(186, 240), QPointF(214, 240), QPointF(200, 256)}));
    p.setPen(QPen(QColor(90, 40, 20), 3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(172, 248, 28, 22), 180 * 16, 180 * 16);
    p.drawArc(QRectF(200, 248, 28, 22), 180 * 16, 180 * 16);
    p.setPen(QPen(QColor(255, 255, 255), 2.5, Qt::SolidLine, Qt::RoundCap));
    for (int side : {-1, 1})
        for (int i = -1; i <= 1; ++i)
            p.drawLine(QPointF(200 + side * 70, 255 + i * 10), QPointF(200 + side * 165, 245 + i * 22));
}

} // namespace

std::vector<SamplePicture> DrawSamplePictures(QSize size)
{
    struct Scene {
        const char* name;
        std::function<void(QPainter&)> draw;
    };
    const Scene scenes[] = {
        {"sunset", SunsetScene}, {"sailboat", Sailboat}, {"flower", Flower},
        {"skyline", Skyline},    {"balloon", Balloon},   {"cat", CatFace},
    };
    std::vector<SamplePicture> out;
    if (size.isEmpty())
        return out;
    // Drawn on a square of the larger side, whose centre is then cut out.
    const int side = std::max(size.width(), size.height());
    for (const Scene& scene : scenes) {
        QImage square(side, side, QImage::Format_RGB32);
        square.fill(Qt::white);
        {
            QPainter p(&square);
            p.setRenderHint(QPainter::Antialiasing);
            p.scale(side / kSide, side / kSide);
            scene.draw(p);
        }
        const QRect centre((side - size.width()) / 2, (side - size.height()) / 2, size.width(), size.height());
        out.push_back({QString::fromLatin1(scene.name), square.copy(centre).convertToFormat(QImage::Format_RGB888)});
    }
    return out;
}

} // namespace kestova
