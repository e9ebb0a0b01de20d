#include "desktop/ui/sheet_parts.h"

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "desktop/ui/text_fit.h"

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

void TintedLabel::setFitted(int lines) {
    fitted_ = std::max(0, lines);
    if (fitted_ > 0)
        setWordWrap(false);
    updateGeometry();
    update();
}

QSize TintedLabel::sizeHint() const {
    if (!fitted_)
        return QLabel::sizeHint();
    const QFontMetrics metrics(font());
    const QMargins m = contentsMargins();
    const int natural = metrics.horizontalAdvance(oneLine(text())) + 1;
    const int width = std::min(natural, metrics.averageCharWidth() * 80) + m.left() + m.right();
    return {width, heightForWidth(width)};
}

QSize TintedLabel::minimumSizeHint() const {
    if (!fitted_) {
        // A wrapping label asks for its longest word. An unbroken one (a URL in an error) must not
        // widen the panel: it is cut at the edge instead, and stays whole for copying and screen
        // readers.
        QSize least = QLabel::minimumSizeHint();
        if (wordWrap())
            least.setWidth(std::min(least.width(), fontMetrics().averageCharWidth() * 20));
        return least;
    }
    const QMargins m = contentsMargins();
    return {fontMetrics().averageCharWidth() * 3 + m.left() + m.right(),
            (text().isEmpty() ? 0 : fontMetrics().lineSpacing()) + m.top() + m.bottom()};
}

bool TintedLabel::hasHeightForWidth() const { return fitted_ > 1 || QLabel::hasHeightForWidth(); }

int TintedLabel::heightForWidth(int width) const {
    if (!fitted_)
        return QLabel::heightForWidth(width);
    const QMargins m = contentsMargins();
    const auto lines = fitText(text(), font(), width - m.left() - m.right(), fitted_);
    return static_cast<int>(lines.size()) * fontMetrics().lineSpacing() + m.top() + m.bottom();
}

QStringList TintedLabel::shownLines() const { return fitText(text(), font(), contentsRect().width(), fitted_); }

void TintedLabel::paintEvent(QPaintEvent* event) {
    if (!fitted_) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    const QRect area = contentsRect();
    const QFontMetrics metrics(font());
    const auto lines = shownLines();
    const int height = static_cast<int>(lines.size()) * metrics.lineSpacing();
    int y = alignment() & Qt::AlignVCenter ? area.top() + (area.height() - height) / 2 : area.top();
    for (const QString& line : lines) {
        painter.drawText(QRect(area.left(), y, area.width(), metrics.lineSpacing()),
                         static_cast<int>(alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter, line);
        y += metrics.lineSpacing();
    }
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
    auto* heading = new TintedLabel(NamedColor::Primary, TextStyle::Headline, nullptr, QFont::DemiBold);
    heading->setTextFormat(Qt::PlainText);
    heading->setText(title);
    heading->setFitted(1);
    heading->setAccessibleName(title);
    row->addWidget(button);
    row->addWidget(heading, 1);
    *back = button;
    return row;
}

void setLabel(QAbstractButton* button, const QString& label) {
    button->setText(label);
    button->setAccessibleName(label);
}

}  // namespace trayline::ui
