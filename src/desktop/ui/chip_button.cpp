#include "desktop/ui/chip_button.h"

#include <QPainter>
#include <QPainterPath>

#include "desktop/ui/style.h"

namespace trayline::ui {

ChipButton::ChipButton(Kind kind, QWidget* parent) : QAbstractButton(parent), kind_(kind) {
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ChipButton::setLabel(const QString& text) {
    if (text == this->text())
        return;
    setText(text);
    setAccessibleName(text);
    updateGeometry();
    update();
}

void ChipButton::setSelected(bool selected) {
    if (selected_ == selected)
        return;
    selected_ = selected;
    updateGeometry();  // a selected member chip is bold, so wider
    update();
}

QFont ChipButton::labelFont() const {
    switch (kind_) {
        case Kind::tab: return ui::font(TextStyle::Callout, QFont::DemiBold);
        case Kind::member: return ui::font(TextStyle::Caption, selected_ ? QFont::Bold : QFont::Normal);
        case Kind::toggle: break;
    }
    return ui::font(TextStyle::Caption);
}

QMargins ChipButton::padding() const { return kind_ == Kind::tab ? QMargins(12, 5, 12, 5) : QMargins(8, 3, 8, 3); }

QSize ChipButton::sizeHint() const {
    const QFontMetrics metrics(labelFont());
    const auto p = padding();
    return {metrics.horizontalAdvance(text()) + p.left() + p.right() + 2, metrics.height() + p.top() + p.bottom()};
}

void ChipButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = kind_ == Kind::tab ? box.height() / 2 : 6;
    QPainterPath shape;
    shape.addRoundedRect(box, radius, radius);

    const QColor accent = color(NamedColor::Accent, palette());
    QColor gray = color(NamedColor::Gray, palette());
    QColor textColour;
    if (kind_ == Kind::tab) {
        gray.setAlphaF(0.18);
        painter.fillPath(shape, selected_ ? accent : gray);
        textColour = selected_ ? Qt::white : color(NamedColor::Primary, palette());
    } else {
        gray.setAlphaF(0.35);
        const bool filled = kind_ == Kind::member && selected_;
        if (filled)
            painter.fillPath(shape, accent);
        painter.setPen(QPen(filled ? accent : gray, 1));
        painter.drawPath(shape);
        textColour = filled ? Qt::white : color(NamedColor::Secondary, palette());
    }
    if (hasFocus()) {
        QColor ring = accent;
        ring.setAlphaF(0.6);
        painter.setPen(QPen(ring, 2));
        painter.drawRoundedRect(box.adjusted(1, 1, -1, -1), radius, radius);
    }
    painter.setFont(labelFont());
    painter.setPen(textColour);
    painter.drawText(QRectF(rect()).marginsRemoved(padding()), Qt::AlignCenter, text());
}

}  // namespace trayline::ui
