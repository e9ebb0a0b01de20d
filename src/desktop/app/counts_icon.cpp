#include "desktop/app/counts_icon.h"

#include <algorithm>

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

namespace trayline {

namespace {
constexpr qreal kPixelRatio = 2.0;
constexpr int kHeight = 22;  // points
constexpr int kBubble = 20;
constexpr int kGap = 3;

void drawBubble(QPainter& painter, QRectF box, const QColor& colour, const QString& text) {
    QPainterPath path;
    path.addRoundedRect(box, box.height() / 2, box.height() / 2);
    if (text.isEmpty()) {
        painter.setPen(QPen(colour, 2));
        painter.drawPath(path);
        return;
    }
    painter.fillPath(path, colour);
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, text);
}
}  // namespace

QImage renderCountsIcon(int mine, int unassigned, bool signedIn) {
    const QString mineText = signedIn ? QString::number(mine) : QString();
    const QString queueText = signedIn ? QString::number(unassigned) : QString();
    QFont font;
    font.setPixelSize(12);
    font.setBold(true);
    const auto widthFor = [&font](const QString& text) {
        return std::max(kBubble, QFontMetrics(font).horizontalAdvance(text) + 10);
    };
    const int first = widthFor(mineText), second = widthFor(queueText);
    QImage image(QSize(first + kGap + second, kHeight) * kPixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(kPixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(font);
    const qreal top = (kHeight - kBubble) / 2.0;
    drawBubble(painter, QRectF(1, top + 1, first - 2, kBubble - 2), QColor(0x0a, 0x84, 0xff), mineText);
    drawBubble(painter, QRectF(first + kGap + 1, top + 1, second - 2, kBubble - 2), QColor(0xff, 0x9f, 0x0a),
               queueText);
    return image;
}

}  // namespace trayline
