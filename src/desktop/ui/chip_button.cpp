#include "desktop/ui/chip_button.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QPainterPath>

#include <mutex>

#include "desktop/ui/style.h"
#include "desktop/ui/text_fit.h"

namespace trayline::ui {

namespace {

// The longest label a chip shows in full, in average characters of its font.
constexpr int kMaxLabelChars = 24;

class ChipAccessible : public QAccessibleWidget {
public:
    explicit ChipAccessible(ChipButton* chip)
        : QAccessibleWidget(chip, chip->kind() == ChipButton::Kind::toggle ? QAccessible::CheckBox
                                                                              : QAccessible::PageTab) {}

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = chip()->isSelected();
        if (chip()->kind() != ChipButton::Kind::toggle) {
            s.selectable = true;
            s.selected = chip()->isSelected();
        }
        return s;
    }

    QStringList actionNames() const override {
        return QStringList{chip()->kind() == ChipButton::Kind::toggle ? toggleAction() : pressAction()} +
               QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override {
        if (action == pressAction() || action == toggleAction())
            chip()->click();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    ChipButton* chip() const { return static_cast<ChipButton*>(widget()); }
};

QAccessibleInterface* accessibleFor(const QString& key, QObject* object) {
    if (key == QLatin1String(ChipButton::staticMetaObject.className()) && object->isWidgetType())
        return new ChipAccessible(static_cast<ChipButton*>(object));
    return nullptr;
}

}  // namespace

ChipButton::ChipButton(Kind kind, QWidget* parent) : QAbstractButton(parent), kind_(kind) {
    static std::once_flag registered;
    std::call_once(registered, [] { QAccessible::installFactory(accessibleFor); });
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
    QAccessible::State changed;
    changed.checked = true;
    changed.selected = kind_ != Kind::toggle;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
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

int ChipButton::labelWidth() const {
    const QFontMetrics metrics(labelFont());
    return std::min(metrics.horizontalAdvance(oneLine(text())), metrics.averageCharWidth() * kMaxLabelChars) + 2;
}

QSize ChipButton::sizeHint() const {
    const auto p = padding();
    return {labelWidth() + p.left() + p.right(), QFontMetrics(labelFont()).height() + p.top() + p.bottom()};
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
    // Shortened in the middle, so a member's count stays in view after a long name.
    const QRect label = rect().marginsRemoved(padding());
    painter.drawText(label, Qt::AlignCenter, QFontMetrics(labelFont()).elidedText(oneLine(text()), Qt::ElideMiddle, label.width()));
}

}  // namespace trayline::ui
