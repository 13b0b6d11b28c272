// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window's progress bar (control 1027): a self-drawn bar that prints
// its percentage (or a fixed text) across the boundary of the filled part in
// inverted colours: window colour over the filled part, highlight colour
// over the rest. The bar repaints at once when the filled part changes by at
// least a whole pixel, and not at all otherwise.

#include <QString>
#include <QWidget>

namespace kestova::win {

class CTextProgressCtrl : public QWidget {
    Q_OBJECT
public:
    explicit CTextProgressCtrl(QWidget* parent = nullptr);

    // Stores the position; repaints at once when the filled width changes.
    // Returns the previous position.
    int SetPos(int position);
    int GetPos() const { return position_; }
    void SetRange(int lower, int upper);
    int Lower() const { return lower_; }
    int Upper() const { return upper_; }
    void SetShowText(bool show);

    // The window text: a non-empty text is drawn instead of the percentage.
    void SetWindowText(const QString& text);
    QString WindowText() const { return text_; }
    // What the bar prints now: the fixed text or "<n>%".
    QString DisplayedText() const;

    // Width in pixels of the filled part for the current position and size,
    // and the width at the last redraw (-1: none since the last resize).
    int FilledWidth() const;
    int DrawnWidth() const { return drawnWidth_; }

    QSize sizeHint() const override { return {165, 23}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int Scaled(int scale) const;

    int position_ = 0;
    int lower_ = 0;
    int upper_ = 100;
    bool showText_ = true;
    QString text_;
    int drawnWidth_ = -1;
};

} // namespace kestova::win
