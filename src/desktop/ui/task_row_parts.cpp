#include "desktop/ui/task_row_parts.h"

#include <QEvent>
#include <QFontMetrics>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

#include "desktop/ui/copy_confirmation.h"

namespace trayline::ui {

namespace {

constexpr int kBadgePadX = 6;
constexpr int kBadgePadY = 2;
constexpr double kBadgeFillOpacity = 0.18;

}  // namespace

NumberChip::NumberChip(UrlOpener opener, QWidget* parent)
    : QToolButton(parent), opener_(std::move(opener)) {
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonTextOnly);
    setFont(ui::font(TextStyle::Caption, QFont::Normal, true));
    setCursor(Qt::PointingHandCursor);
    setContextMenuPolicy(Qt::CustomContextMenu);
    applyColour();
    connect(this, &QToolButton::clicked, this, [this] {
        if (url_)
            opener_(*url_);
    });
    connect(this, &QWidget::customContextMenuRequested, this, &NumberChip::showMenu);
}

void NumberChip::set(const QString& label, std::optional<QUrl> url, const QString& toolTip) {
    setText(label);
    url_ = std::move(url);
    setToolTip(toolTip);
}

void NumberChip::changeEvent(QEvent* event) {
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyColour();
}

void NumberChip::applyColour() {
    QPalette p = palette();
    const QColor blue = color(NamedColor::Blue, p);
    if (p.color(QPalette::ButtonText) == blue)
        return;
    p.setColor(QPalette::ButtonText, blue);
    p.setColor(QPalette::WindowText, blue);
    setPalette(p);
}

void NumberChip::showMenu(const QPoint& at) {
    QMenu menu(this);
    const QString label = text();
    menu.addAction(QStringLiteral("Copy ") + label, this,
                   [label] { CopyConfirmation::copyQuietly(label); });
    menu.exec(mapToGlobal(at));
}

StateBadge::StateBadge(QWidget* parent) : QWidget(parent) {
    setFont(ui::font(TextStyle::Caption2, QFont::Medium));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void StateBadge::set(const QString& text, NamedColor colour) {
    text_ = text;
    colour_ = colour;
    setAccessibleName(text);
    updateGeometry();
    update();
}

QSize StateBadge::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text_) + 2 * kBadgePadX, metrics.height() + 2 * kBadgePadY};
}

void StateBadge::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink = color(colour_, palette());
    QColor fill = ink;
    fill.setAlphaF(kBadgeFillOpacity);
    QPainterPath capsule;
    const QRectF box = QRectF(rect());
    capsule.addRoundedRect(box, box.height() / 2, box.height() / 2);
    p.fillPath(capsule, fill);
    p.setPen(ink);
    p.drawText(rect(), Qt::AlignCenter, text_);
}

}  // namespace trayline::ui
