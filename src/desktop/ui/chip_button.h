#pragma once

// The panel's chips: the five tab chips (a capsule, filled when selected), the member chips (a
// rounded rectangle, outlined) and the toggle chip that shows or hides members without tasks.
// Painted, so the text is also set as the accessible name; keyboard focus draws a ring. Screen
// readers see a tab or member chip as a page tab that is selected and checked while its tab is
// shown, and the toggle chip as a check box that is checked while members without tasks are shown.
// A label too long for a chip (a member's name may be anything) is shortened in the middle with "…".

#include <QAbstractButton>

namespace trayline::ui {

class ChipButton : public QAbstractButton {
    Q_OBJECT

public:
    enum class Kind { tab, member, toggle };

    ChipButton(Kind kind, QWidget* parent = nullptr);
    void setLabel(const QString& text);
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    Kind kind() const { return kind_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont labelFont() const;
    QMargins padding() const;
    int labelWidth() const;

    Kind kind_;
    bool selected_ = false;
};

}  // namespace trayline::ui
