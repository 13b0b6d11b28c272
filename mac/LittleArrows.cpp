// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/LittleArrows.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace kestova::mac {

LittleArrows::LittleArrows(QWidget* parent) : QWidget(parent)
{
    label_ = new QLabel(this);
    label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label_->setMinimumWidth(label_->fontMetrics().horizontalAdvance(QStringLiteral("-0000")) + 4);
    up_ = new QToolButton(this);
    down_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setAutoRepeatDelay(400);
        b->setAutoRepeatInterval(60);
        b->setFixedSize(18, 12);
        b->setFocusPolicy(Qt::NoFocus);
    }
    up_->setObjectName(QStringLiteral("up"));
    down_->setObjectName(QStringLiteral("down"));
    auto* arrows = new QVBoxLayout;
    arrows->setSpacing(0);
    arrows->setContentsMargins(0, 0, 0, 0);
    arrows->addWidget(up_);
    arrows->addWidget(down_);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(2);
    row->addWidget(label_);
    row->addLayout(arrows);
    connect(up_, &QToolButton::clicked, this, [this] { Track(ArrowPart::Up); });
    connect(down_, &QToolButton::clicked, this, [this] { Track(ArrowPart::Down); });
    // The control takes the focus with Tab (its two buttons do not), and the
    // up and down keys work its arrows; the framed value shows the focus.
    setFocusPolicy(Qt::StrongFocus);
    Show();
}

void LittleArrows::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Right) {
        Track(ArrowPart::Up);
    } else if (event->key() == Qt::Key_Down || event->key() == Qt::Key_Left) {
        Track(ArrowPart::Down);
    } else {
        QWidget::keyPressEvent(event);
    }
}

void LittleArrows::focusInEvent(QFocusEvent* event)
{
    label_->setFrameStyle(QFrame::Box | QFrame::Plain);
    QWidget::focusInEvent(event);
}

void LittleArrows::focusOutEvent(QFocusEvent* event)
{
    label_->setFrameStyle(QFrame::NoFrame);
    QWidget::focusOutEvent(event);
}

void LittleArrows::SetControl32BitValue(int v)
{
    value_ = std::clamp(v, minimum_, std::max(minimum_, maximum_));
    Show();
}

void LittleArrows::SetControl32BitMinimum(int v)
{
    minimum_ = v;
    if (value_ < minimum_)
        value_ = minimum_;
    Show();
}

void LittleArrows::SetControl32BitMaximum(int v)
{
    maximum_ = v;
    if (value_ > maximum_)
        value_ = std::max(minimum_, maximum_);
    Show();
}

void LittleArrows::Track(ArrowPart part)
{
    const int before = value_;
    LittleArrowsControlAction(this, part);
    if (value_ != before)
        emit valueChangedByUser(value_);
}

void LittleArrows::Show()
{
    label_->setText(QString::number(value_));
}

void LittleArrowsControlAction(LittleArrows* control, ArrowPart part)
{
    if (!control)
        return;
    const int step = control->increment_ != 0 ? control->increment_ : 1;
    int v = control->value_;
    switch (part) {
    case ArrowPart::Up:
        if (v >= control->maximum_)
            v = control->minimum_ - 1;
        v += step;
        break;
    case ArrowPart::Down:
        if (v <= control->minimum_)
            v = control->maximum_ + 1;
        v -= step;
        break;
    default:
        return;
    }
    control->SetControl32BitValue(v);
}

} // namespace kestova::mac
