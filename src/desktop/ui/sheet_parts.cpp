#include "desktop/ui/sheet_parts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace trayline::ui {

DelayedCall singleShotOn(QObject* context) {
    QPointer<QObject> guard(context);
    return [guard](std::chrono::milliseconds delay, std::function<void()> run) {
        if (guard)
            QTimer::singleShot(delay, Qt::PreciseTimer, guard.data(), std::move(run));
    };
}

Sheet::Sheet(QWidget* parent) : QWidget(parent) {}

QVBoxLayout* Sheet::beginTaskSheet(const QString& title) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);
    QAbstractButton* back = nullptr;
    column->addLayout(sheetHeader(title, &back));
    connect(back, &QAbstractButton::clicked, this, &Sheet::done);
    return column;
}

void Sheet::addButtonRow(QVBoxLayout* column, QPushButton** cancel, QPushButton** confirm) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    *cancel = new QPushButton;
    setLabel(*cancel, QStringLiteral("Cancel"));
    *confirm = new QPushButton;
    (*confirm)->setDefault(true);
    row->addWidget(*cancel);
    row->addWidget(*confirm);
    column->addLayout(row);
    connect(*cancel, &QPushButton::clicked, this, &Sheet::done);
    setKeys(*confirm, *cancel);
}

void Sheet::setKeys(QAbstractButton* confirm, QAbstractButton* cancel) {
    confirm_ = confirm;
    cancel_ = cancel;
}

void Sheet::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && confirm_) {
        // A focused push button (Cancel, Back, Copy) does its own action: Return there must not
        // assign, close or save behind the user's back.
        auto* focused = qobject_cast<QAbstractButton*>(focusWidget());
        if (focused && !focused->isCheckable() && focused != confirm_) {
            if (focused->isEnabled())
                focused->click();
        } else if (confirm_->isEnabled() && confirm_->isVisible()) {
            confirm_->click();
        }
        event->accept();
        return;
    }
    if (key == Qt::Key_Escape && cancel_ && event->modifiers() == Qt::NoModifier) {
        if (cancel_->isEnabled())
            cancel_->click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

TintedLabel::TintedLabel(NamedColor colour, TextStyle style, QWidget* parent, QFont::Weight weight)
    : QLabel(parent), colour_(colour) {
    setFont(ui::font(style, weight));
    applyColour();
}

void TintedLabel::setColour(NamedColor colour) {
    colour_ = colour;
    applyColour();
}

void TintedLabel::setMaxLines(int lines) {
    setWordWrap(true);
    setMaximumHeight(lines > 0 ? QFontMetrics(QLabel::font()).lineSpacing() * lines + 2 : QWIDGETSIZE_MAX);
}

void TintedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && !applying_)
        applyColour();
}

void TintedLabel::applyColour() {
    applying_ = true;
    QPalette p = palette();
    // From the surrounding palette, not this label's own: its text colour is already tinted, and
    // tinting a tint again fades the text a little more at every call.
    const QPalette base = parentWidget() ? parentWidget()->palette() : QApplication::palette();
    p.setColor(QPalette::WindowText, color(colour_, base));
    setPalette(p);
    applying_ = false;
}

TintedLabel* errorLabel(int maxLines, TextStyle style, QWidget* parent) {
    auto* label = new TintedLabel(NamedColor::Red, style, parent);
    label->setMaxLines(maxLines);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->hide();
    return label;
}

void showText(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleName(text);
    label->setVisible(!text.isEmpty());
}

QHBoxLayout* sheetHeader(const QString& title, QAbstractButton** back) {
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    auto* button = new QToolButton;
    button->setAutoRaise(true);
    button->setIcon(icon("chevron.left"));
    button->setAccessibleName(QStringLiteral("Back"));
    button->setToolTip(QStringLiteral("Back"));
    auto* heading = new QLabel(title);
    heading->setFont(ui::font(TextStyle::Headline, QFont::DemiBold));
    heading->setTextFormat(Qt::PlainText);
    heading->setAccessibleName(title);
    row->addWidget(button);
    row->addWidget(heading);
    row->addStretch(1);
    *back = button;
    return row;
}

void setLabel(QAbstractButton* button, const QString& label) {
    button->setText(label);
    button->setAccessibleName(label);
}

}  // namespace trayline::ui
