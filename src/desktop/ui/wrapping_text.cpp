#include "desktop/ui/wrapping_text.h"

#include <algorithm>
#include <cmath>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <mutex>

namespace trayline::ui {

namespace {

// Screen readers see the text as a static label, like a QLabel's.
class WrappingTextAccessible : public QAccessibleWidget {
public:
    explicit WrappingTextAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return static_cast<const WrappingText*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* accessibleFor(const QString& key, QObject* object) {
    if (key == QLatin1String(WrappingText::staticMetaObject.className()) && object->isWidgetType())
        return new WrappingTextAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

}  // namespace

WrappingText::WrappingText(QWidget* parent) : WrappingText(QString(), parent) {}

WrappingText::WrappingText(const QString& text, QWidget* parent) : QWidget(parent) {
    static std::once_flag registered;
    std::call_once(registered, [] { QAccessible::installFactory(accessibleFor); });
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setFocusPolicy(Qt::ClickFocus);
    setCursor(Qt::IBeamCursor);
    setText(text);
}

void WrappingText::setText(const QString& text) {
    if (text == text_)
        return;
    text_ = text;
    anchor_ = cursor_ = 0;
    updateGeometry();
    update();
}

QString WrappingText::selectedText() const {
    const int from = std::min(anchor_, cursor_);
    return text_.mid(from, std::abs(cursor_ - anchor_));
}

void WrappingText::selectAll() {
    anchor_ = 0;
    cursor_ = static_cast<int>(text_.size());
    update();
}

qreal WrappingText::layOut(QTextLayout& layout, int width) const {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // A line feed is a hard break (a layout would draw it as a space); same length, so positions
    // still index text_.
    layout.setText(QString(text_).replace(QLatin1Char('\n'), QChar::LineSeparator));
    layout.setFont(font());
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    qreal y = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max(1, width));
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    return y;
}

int WrappingText::heightForWidth(int width) const {
    const QMargins m = contentsMargins();
    if (text_.isEmpty())
        return m.top() + m.bottom();
    QTextLayout layout;
    return static_cast<int>(std::ceil(layOut(layout, width - m.left() - m.right()))) + m.top() +
           m.bottom();
}

int WrappingText::lineCount(int width) const {
    QTextLayout layout;
    layOut(layout, width - contentsMargins().left() - contentsMargins().right());
    return layout.lineCount();
}

QSize WrappingText::sizeHint() const {
    // Ideally one line, but never asking for more than a comfortable reading width.
    const QFontMetrics metrics(font());
    const int natural = metrics.horizontalAdvance(text_) + 1;
    const QMargins m = contentsMargins();
    const int width = std::min(natural, metrics.averageCharWidth() * 80) + m.left() + m.right();
    return {width, heightForWidth(width)};
}

QSize WrappingText::minimumSizeHint() const {
    const QMargins m = contentsMargins();
    return {m.left() + m.right(),
            (text_.isEmpty() ? 0 : fontMetrics().height()) + m.top() + m.bottom()};
}

void WrappingText::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QTextLayout layout;
    layOut(layout, contentsRect().width());
    QList<QTextLayout::FormatRange> selections;
    if (anchor_ != cursor_) {
        QTextLayout::FormatRange range;
        range.start = std::min(anchor_, cursor_);
        range.length = std::abs(cursor_ - anchor_);
        range.format.setBackground(palette().color(QPalette::Highlight));
        range.format.setForeground(palette().color(QPalette::HighlightedText));
        selections.append(range);
    }
    painter.setPen(palette().color(QPalette::WindowText));
    layout.draw(&painter, contentsRect().topLeft(), selections);
}

int WrappingText::cursorAt(const QPoint& widgetPoint) const {
    const QPoint point = widgetPoint - contentsRect().topLeft();
    QTextLayout layout;
    layOut(layout, contentsRect().width());
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        if (point.y() < line.y() + line.height() || i == layout.lineCount() - 1)
            return line.xToCursor(point.x());
    }
    return 0;
}

void WrappingText::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    anchor_ = cursor_ = cursorAt(event->position().toPoint());
    update();
}

void WrappingText::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    cursor_ = cursorAt(event->position().toPoint());
    update();
}

void WrappingText::mouseDoubleClickEvent(QMouseEvent* event) {
    // Selects the word under the pointer.
    const int at = cursorAt(event->position().toPoint());
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, text_);
    words.setPosition(at);
    const int start = words.isAtBoundary() ? at : static_cast<int>(words.toPreviousBoundary());
    words.setPosition(at);
    const int end = static_cast<int>(words.toNextBoundary());
    anchor_ = std::max(0, start);
    cursor_ = end < 0 ? static_cast<int>(text_.size()) : end;
    update();
}

void WrappingText::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    QWidget::keyPressEvent(event);
}

void WrappingText::contextMenuEvent(QContextMenuEvent* event) {
    if (anchor_ == cursor_) {
        event->ignore();  // the row's own menu
        return;
    }
    QMenu menu(this);
    menu.addAction(tr("Copy"), this, &WrappingText::copySelection);
    menu.addAction(tr("Select All"), this, &WrappingText::selectAll);
    menu.exec(event->globalPos());
}

void WrappingText::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateGeometry();
        update();
    }
}

void WrappingText::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    if (event->reason() != Qt::PopupFocusReason) {
        anchor_ = cursor_;
        update();
    }
}

void WrappingText::copySelection() const {
    const QString selected = selectedText();
    if (!selected.isEmpty())
        QGuiApplication::clipboard()->setText(selected);
}

}  // namespace trayline::ui
