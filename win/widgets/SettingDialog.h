// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Settings dialog (template 175): the frame's text colour and background
// colour, each chosen through the colour dialog and shown in a sample field
// beside its button. The dialog works on copies: the main window reads the
// two colours back only when it was closed with OK, so Cancel changes
// nothing. Also here: the conversions between the frame's RGB565 album
// colours and the colours the dialog shows.

#include "win/widgets/WidgetTexts.h"

#include <QColor>
#include <QDialog>

#include <cstdint>
#include <utility>

class QPushButton;

namespace kestova::win {

// RGB565 (red 15-11, green 10-5, blue 4-0) to 24-bit: each field shifted up,
// no bit replication (0xFFFF gives 248, 252, 248).
QColor ColourFromRgb565(uint16_t value);
// 24-bit to RGB565: the low bits are dropped.
uint16_t ColourToRgb565(const QColor& colour);
// The frame's (text, background) colours as the dialog starts from them:
// converted, except that two equal colours (text that could not be read on
// its background) are shown as black text on white.
std::pair<QColor, QColor> DialogColoursFromFrame(uint16_t text, uint16_t background);

class CSettingDialog : public QDialog {
    Q_OBJECT
public:
    CSettingDialog(const QColor& textColour, const QColor& backgroundColour, QWidget* parent = nullptr);

    // Caption and button texts from the current language ("IDC_BTN_SETTING",
    // "FONTCOLOR_TIPS", "BACKGROUND_TIPS", "IDOK_TIPS", "CANCEL_TIPS"); until
    // then the English defaults are shown.
    void ApplyTexts(const TextLookup& lookup);

    QColor TextColour() const { return text_; }
    QColor BackgroundColour() const { return background_; }

private:
    void Choose(QColor& colour, QWidget* sample);

    QColor text_;
    QColor background_;
    QPushButton* fontButton_ = nullptr;
    QPushButton* backgroundButton_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QWidget* textSample_ = nullptr;
    QWidget* backgroundSample_ = nullptr;
};

} // namespace kestova::win
