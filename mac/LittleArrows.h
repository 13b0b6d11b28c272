// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A "little arrows" control: an up and a down arrow that step a value inside
// a range, wrapping around at both ends. Its value shows beside the arrows.
// Setting the value from code is silent; only the arrows (the tracking
// action) announce a change, through valueChangedByUser.

#include <QWidget>

class QLabel;
class QToolButton;

namespace kestova::mac {

enum class ArrowPart { None = 0, Up = 20, Down = 21 };

class LittleArrows : public QWidget {
    Q_OBJECT
public:
    explicit LittleArrows(QWidget* parent = nullptr);

    int GetControl32BitValue() const { return value_; }
    void SetControl32BitValue(int v);
    int GetControl32BitMinimum() const { return minimum_; }
    int GetControl32BitMaximum() const { return maximum_; }
    void SetControl32BitMinimum(int v);
    void SetControl32BitMaximum(int v);
    // Step of one click; 0 means "none" and steps by 1.
    int GetIncrementValue() const { return increment_; }
    void SetIncrementValue(int v) { increment_ = v; }

    QToolButton* UpButton() const { return up_; }
    QToolButton* DownButton() const { return down_; }

signals:
    void valueChangedByUser(int value);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void Track(ArrowPart part);
    void Show();
    friend void LittleArrowsControlAction(LittleArrows* control, ArrowPart part);

    int value_ = 0;
    int minimum_ = 0;
    int maximum_ = 100;
    int increment_ = 0;
    QLabel* label_;
    QToolButton* up_;
    QToolButton* down_;
};

// The tracking action of every arrows control: the up part adds the step, but
// at the maximum it first wraps to minimum - 1; the down part subtracts it,
// but at the minimum it first wraps to maximum + 1.
void LittleArrowsControlAction(LittleArrows* control, ArrowPart part);

} // namespace kestova::mac
