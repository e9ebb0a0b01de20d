#include "desktop/ui/menu_bar_label.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSvgRenderer>

#include "desktop/ui/style.h"

namespace trayline::ui {

namespace {

// Sizes in points (one point = one logical pixel of the image).
constexpr qreal kSymbolSize = 9.0;
constexpr qreal kDigitSize = 11.0;
constexpr qreal kInnerGap = 2.0;
constexpr qreal kPadX = 5.0;
constexpr qreal kPadY = 2.0;
constexpr qreal kBubbleGap = 3.0;
constexpr qreal kScale = 2.0;
constexpr qreal kDimmedOpacity = 0.45;

// The menu bar's own system blue and orange; the picture keeps them in light and dark panels.
const QColor kBlue = QColor(0x007aff);
const QColor kOrange = QColor(0xff9500);

QFont digitFont() {
    QFont f;
    const QString rounded = roundedFamily();
    if (!rounded.isEmpty())
        f.setFamily(rounded);
    f.setPixelSize(static_cast<int>(kDigitSize));
    f.setWeight(QFont::Bold);
    return f;
}

// A bold glyph of a 9-point font is about as tall as that font's capitals plus a little.
qreal symbolSide() { return kSymbolSize * 1.05; }

MenuBarLabel::Bubble layOut(std::int64_t count, qreal x, qreal rowHeight) {
    const QFontMetricsF metrics(digitFont());
    const QString digits = QString::number(count);
    const qreal digitsWidth = metrics.horizontalAdvance(digits);
    const qreal side = symbolSide();
    const qreal contentHeight = std::max(side, metrics.height());
    const qreal width = kPadX + side + kInnerGap + digitsWidth + kPadX;
    const qreal height = contentHeight + 2 * kPadY;
    const qreal top = (rowHeight - height) / 2;
    const qreal middle = top + height / 2;
    MenuBarLabel::Bubble b;
    b.capsule = QRectF(x, top, width, height);
    b.symbol = QRectF(x + kPadX, middle - side / 2, side, side);
    b.digits = QRectF(x + kPadX + side + kInnerGap, middle - metrics.height() / 2, digitsWidth,
                      metrics.height());
    return b;
}

qreal bubbleHeight() {
    const QFontMetricsF metrics(digitFont());
    return std::max(symbolSide(), metrics.height()) + 2 * kPadY;
}

void paintBubble(QPainter& p, const MenuBarLabel::Bubble& b, std::int64_t count, QColor fill,
                 std::string_view symbol) {
    if (count == 0)
        fill.setAlphaF(kDimmedOpacity);
    QPainterPath capsule;
    const qreal radius = b.capsule.height() / 2;
    capsule.addRoundedRect(b.capsule, radius, radius);
    p.fillPath(capsule, fill);

    icon(symbol, Qt::white).paint(&p, b.symbol.toAlignedRect());

    const QFont f = digitFont();
    const QFontMetricsF metrics(f);
    p.setFont(f);
    p.setPen(Qt::white);
    // Centre the digits' capital height on the capsule, not the line box, which carries the
    // descender space below.
    const qreal baseline = b.capsule.center().y() + metrics.capHeight() / 2;
    p.drawText(QPointF(b.digits.left(), baseline), QString::number(count));
}

}  // namespace

MenuBarLabel::Layout MenuBarLabel::layout() const {
    const qreal height = bubbleHeight();
    Layout l;
    l.left = layOut(mine_, 0, height);
    l.right = layOut(unassigned_, l.left.capsule.right() + kBubbleGap, height);
    l.size = QSizeF(l.right.capsule.right(), height);
    return l;
}

QImage MenuBarLabel::renderedImage() const {
    const Layout l = layout();
    const QSize pixels = (l.size * kScale).toSize();
    if (pixels.isEmpty())
        return {};
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(kScale);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    paintBubble(p, l.left, mine_, kBlue, "person.fill");
    paintBubble(p, l.right, unassigned_, kOrange, "tray.fill");
    return image;
}

QIcon MenuBarLabel::icon() const {
    QIcon result;
    result.addPixmap(QPixmap::fromImage(renderedImage()));
    return result;
}

}  // namespace trayline::ui
