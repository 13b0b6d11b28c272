// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/widgets/TextProgressCtrl.h"

#include <QPainter>

#include <algorithm>
#include <cstdint>

namespace kestova::win {

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ctl1027"));
    // Every pixel is painted each time; the background is never erased first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

// (position - lower) / (upper - lower) * scale, truncated toward zero. In
// whole numbers: in floating point 29 / 100 * 100 comes out as 28.999..., and
// the bar would read "28%" at position 29.
int CTextProgressCtrl::Scaled(int scale) const
{
    if (lower_ >= upper_)
        return 0;
    return int(int64_t(position_ - lower_) * scale / (int64_t(upper_) - lower_));
}

int CTextProgressCtrl::FilledWidth() const
{
    return Scaled(width());
}

int CTextProgressCtrl::SetPos(int position)
{
    const int previous = position_;
    position_ = position;
    const int w = FilledWidth();
    if (w != drawnWidth_) {
        drawnWidth_ = w;
        repaint();
    }
    return previous;
}

void CTextProgressCtrl::SetRange(int lower, int upper)
{
    lower_ = lower;
    upper_ = upper;
    drawnWidth_ = -1;
    update();
}

void CTextProgressCtrl::SetShowText(bool show)
{
    showText_ = show;
    update();
}

void CTextProgressCtrl::SetWindowText(const QString& text)
{
    text_ = text;
    update();
}

QString CTextProgressCtrl::DisplayedText() const
{
    if (!text_.isEmpty())
        return text_;
    if (lower_ >= upper_)
        return {};
    return QStringLiteral("%1%").arg(Scaled(100));
}

void CTextProgressCtrl::paintEvent(QPaintEvent*)
{
    if (lower_ >= upper_)
        return;
    QPainter p(this);
    const QRect all = rect();
    const int filledWidth = std::clamp(FilledWidth(), 0, all.width());
    const QRect filled(all.left(), all.top(), filledWidth, all.height());
    const QRect rest(all.left() + filledWidth, all.top(), all.width() - filledWidth, all.height());
    const QColor bar = palette().color(QPalette::Highlight);
    const QColor remainder = palette().color(QPalette::Base);
    p.fillRect(filled, bar);
    p.fillRect(rest, remainder);
    if (!showText_)
        return;
    const QString text = DisplayedText();
    const int flags = Qt::AlignCenter | Qt::TextSingleLine;
    p.setClipRect(filled);
    p.setPen(remainder);  // text over the bar
    p.drawText(all, flags, text);
    p.setClipRect(rest);
    p.setPen(bar);  // text over the remainder
    p.drawText(all, flags, text);
}

void CTextProgressCtrl::resizeEvent(QResizeEvent*)
{
    drawnWidth_ = -1;  // the next SetPos repaints
}

} // namespace kestova::win
