// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/widgets/SettingDialog.h"

#include <QColorDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestova::win {

QColor ColourFromRgb565(uint16_t value)
{
    return QColor((value >> 11 & 0x1F) << 3, (value >> 5 & 0x3F) << 2, (value & 0x1F) << 3);
}

uint16_t ColourToRgb565(const QColor& colour)
{
    return uint16_t((colour.red() >> 3) << 11 | (colour.green() >> 2) << 5 | colour.blue() >> 3);
}

std::pair<QColor, QColor> DialogColoursFromFrame(uint16_t text, uint16_t background)
{
    const QColor t = ColourFromRgb565(text), b = ColourFromRgb565(background);
    if (t == b)
        return {QColor(0, 0, 0), QColor(255, 255, 255)};
    return {t, b};
}

namespace {
// A sample field: a rectangle filled with one colour.
class ColourSample : public QWidget {
public:
    ColourSample(const QColor* colour, QWidget* parent) : QWidget(parent), colour_(colour)
    {
        setMinimumSize(48, 21);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), *colour_); }

private:
    const QColor* colour_;
};
} // namespace

CSettingDialog::CSettingDialog(const QColor& textColour, const QColor& backgroundColour, QWidget* parent)
    : QDialog(parent), text_(textColour), background_(backgroundColour)
{
    setObjectName(QStringLiteral("dlg175"));
    setWindowTitle(tr("Setting"));

    auto* group = new QGroupBox(this);
    textSample_ = new ColourSample(&text_, group);
    textSample_->setObjectName(QStringLiteral("ctl1060"));
    backgroundSample_ = new ColourSample(&background_, group);
    backgroundSample_->setObjectName(QStringLiteral("ctl1061"));
    fontButton_ = new QPushButton(tr("&Fontcolor"), group);
    fontButton_->setObjectName(QStringLiteral("ctl1058"));
    backgroundButton_ = new QPushButton(tr("&Background"), group);
    backgroundButton_->setObjectName(QStringLiteral("ctl1059"));
    auto* grid = new QGridLayout(group);
    grid->addWidget(textSample_, 0, 0);
    grid->addWidget(fontButton_, 0, 1);
    grid->addWidget(backgroundSample_, 1, 0);
    grid->addWidget(backgroundButton_, 1, 1);

    ok_ = new QPushButton(tr("OK"), this);
    ok_->setObjectName(QStringLiteral("ctl1"));
    ok_->setDefault(true);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("ctl2"));
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    buttons->addStretch();
    auto* top = new QHBoxLayout(this);
    top->addWidget(group, 1);
    top->addLayout(buttons);

    connect(fontButton_, &QPushButton::clicked, this, [this] { Choose(text_, textSample_); });
    connect(backgroundButton_, &QPushButton::clicked, this, [this] { Choose(background_, backgroundSample_); });
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void CSettingDialog::ApplyTexts(const TextLookup& lookup)
{
    if (!lookup)
        return;
    setWindowTitle(lookup(QStringLiteral("IDC_BTN_SETTING"), QStringLiteral("Setting")));
    fontButton_->setText(lookup(QStringLiteral("FONTCOLOR_TIPS"), QStringLiteral("&Fontcolor")));
    backgroundButton_->setText(lookup(QStringLiteral("BACKGROUND_TIPS"), QStringLiteral("&Background")));
    ok_->setText(lookup(QStringLiteral("IDOK_TIPS"), QStringLiteral("OK")));
    cancel_->setText(lookup(QStringLiteral("CANCEL_TIPS"), QStringLiteral("Cancel")));
}

void CSettingDialog::Choose(QColor& colour, QWidget* sample)
{
    QColorDialog chooser(colour, this);
    chooser.setObjectName(QStringLiteral("colourChooser"));
    if (chooser.exec() != QDialog::Accepted)
        return;
    const QColor chosen = chooser.selectedColor();
    if (!chosen.isValid())
        return;
    colour = chosen.toRgb();
    colour.setAlpha(255);
    sample->update();
}

} // namespace kestova::win
