#include "desktop/ui/tray_icon.h"

#include <algorithm>
#include <cmath>

#include <QApplication>
#include <QFont>
#include <QPainter>
#include <QPixmap>

#include "desktop/ui/style.h"

namespace trayline::ui {

namespace {

// System blue and orange, kept on light and dark panels alike.
const QColor kBlue(0x00, 0x7a, 0xff);
const QColor kOrange(0xff, 0x95, 0x00);
// The paused mark: a dark disc, visible on light panels, with white bars, visible on dark ones.
const QColor kMarkFill(0x3a, 0x3a, 0x3c);
constexpr qreal kDimmedOpacity = 0.45;
// Digits are narrowed at most this much before the count is shortened instead.
constexpr qreal kMinSqueeze = 0.7;
// Outlines are taken from a large font and scaled, so hinting never changes a digit's height.
constexpr int kReferencePixels = 200;

// Whole-pixel geometry of one slot: two bubbles of `bubble` rows, `gap` rows apart, their digits
// `pad` rows inside; the paused mark is a column `mark` pixels wide at the right edge, beside the
// bubbles (one clear pixel apart where the bubbles are apart too).
struct Slot {
    int gap, bubble, pad, mark;
};

Slot slotFor(int size) {
    Slot s{};
    s.gap = size < 24 ? 0 : 2;
    s.bubble = (size - s.gap) / 2;
    s.pad = std::max(1, s.bubble / 7);
    s.mark = std::max(5, static_cast<int>(std::lround(size * 0.22)));
    return s;
}

// How far the digits keep from a capsule's ends: as far as its rounded ends reach into their band
// (`height` rows, centred), and one pixel of fill more.
int endInset(int bubble, int height) {
    const qreal r = bubble / 2.0, d = height / 2.0;
    return static_cast<int>(std::ceil(r - std::sqrt(std::max<qreal>(0, r * r - d * d)))) + 1;
}

QString counted(std::int64_t n, const char* one, const char* many, const char* none) {
    if (n <= 0)
        return QString::fromUtf8(none);
    return QString::number(n) + QLatin1Char(' ') + QString::fromUtf8(n == 1 ? one : many);
}

// Two white pause bars on a dark rounded column, centred on whole pixels.
QRectF markColumn(QPainter& p, int size, int width);

void paintMark(QPainter& p, int size, int width) {
    const int height = static_cast<int>(markColumn(p, size, width).height());
    const int bar = std::max(1, width / 5);
    const int gap = bar + (width - 3 * bar) % 2;
    int barHeight = height / 2;
    barHeight -= (height - barHeight) % 2;
    const int left = size - width + (width - 2 * bar - gap) / 2;
    const int top = (size - barHeight) / 2;
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(left, top, bar, barHeight, Qt::white);
    p.fillRect(left + bar + gap, top, bar, barHeight, Qt::white);
    p.restore();
}

// The mark's dark column, as the pause mark has it.
QRectF markColumn(QPainter& p, int size, int width) {
    const int height = size - 2 * static_cast<int>(std::lround(size / 8.0));
    const QRectF column(size - width, (size - height) / 2, width, height);
    p.setBrush(kMarkFill);
    p.drawRoundedRect(column, width / 2.5, width / 2.5);
    return column;
}

// "!": the last refresh failed, the counts are older.
void paintStaleMark(QPainter& p, int size, int width) {
    const QRectF column = markColumn(p, size, width);
    const int bar = std::max(1, width / 5 + (width % 2 == 0));
    const int left = static_cast<int>(column.left()) + (width - bar) / 2;
    const int dot = bar;
    const int top = static_cast<int>(column.top()) + std::max(1, static_cast<int>(column.height()) / 6);
    const int bottom = static_cast<int>(column.bottom()) - std::max(1, static_cast<int>(column.height()) / 6);
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(left, top, bar, bottom - top - 2 * dot, Qt::white);
    p.fillRect(left, bottom - dot, bar, dot, Qt::white);
    p.restore();
}

// An hourglass: two white triangles meeting in the middle, the instance asked us to wait.
void paintLimitedMark(QPainter& p, int size, int width) {
    const QRectF column = markColumn(p, size, width);
    const qreal inset = std::max<qreal>(1, width / 5.0);
    const qreal l = column.left() + inset, r = column.right() - inset;
    const qreal t = column.top() + column.height() / 6, b = column.bottom() - column.height() / 6;
    const qreal mid = (t + b) / 2;
    QPainterPath glass;
    glass.moveTo(l, t);
    glass.lineTo(r, t);
    glass.lineTo((l + r) / 2, mid);
    glass.closeSubpath();
    glass.moveTo((l + r) / 2, mid);
    glass.lineTo(r, b);
    glass.lineTo(l, b);
    glass.closeSubpath();
    p.fillPath(glass, Qt::white);
}

// Signed out: a white padlock on a dark disc, centred in the slot, no counts.
void paintSignedOut(QPainter& p, int size) {
    const qreal d = size - 2 * std::max(1.0, std::round(size / 16.0));
    const QRectF disc((size - d) / 2, (size - d) / 2, d, d);
    p.setBrush(kMarkFill);
    p.drawEllipse(disc);
    const qreal bodyW = d * 0.46, bodyH = d * 0.34;
    const QRectF body(disc.center().x() - bodyW / 2, disc.center().y() - bodyH * 0.2, bodyW, bodyH);
    p.setBrush(Qt::white);
    p.drawRoundedRect(body, bodyW / 8, bodyW / 8);
    QPen shackle(Qt::white, std::max(1.0, d / 11));
    p.setPen(shackle);
    p.setBrush(Qt::NoBrush);
    const qreal sw = bodyW * 0.64;
    p.drawArc(QRectF(body.center().x() - sw / 2, body.top() - sw * 0.62, sw, sw * 1.1), 0, 180 * 16);
    p.drawLine(QPointF(body.center().x() - sw / 2, body.top() - sw * 0.07), QPointF(body.center().x() - sw / 2, body.top()));
    p.drawLine(QPointF(body.center().x() + sw / 2, body.top() - sw * 0.07), QPointF(body.center().x() + sw / 2, body.top()));
    p.setPen(Qt::NoPen);
}

}  // namespace

QString shortenedCount(std::int64_t count, int maxChars) {
    const QString full = QString::number(std::max<std::int64_t>(count, 0));
    maxChars = std::max(2, maxChars);
    if (full.size() <= maxChars)
        return full;
    return QString(maxChars - 1, QLatin1Char('9')) + QLatin1Char('+');
}

QString trayToolTip(const TrayCounts& c) {
    if (c.freshness == TrayFreshness::signedOut)
        return QStringLiteral("Signed out of ServiceNow. Click to sign in.");
    QString stale;
    const QString since = c.lastUpdated.isEmpty() ? QStringLiteral("Not updated yet")
                                                  : QStringLiteral("Last updated ") + c.lastUpdated;
    if (c.freshness == TrayFreshness::stale)
        stale = since + QStringLiteral(" \u2014 ") + (c.problem.isEmpty() ? QStringLiteral("the refresh failed") : c.problem) +
                QLatin1Char('\n');
    else if (c.freshness == TrayFreshness::rateLimited)
        stale = since + QStringLiteral(" \u2014 the instance limits requests until ") + c.until + QLatin1Char('\n');
    QString text = stale + counted(c.mine, "open task assigned to you", "open tasks assigned to you",
                           "No open tasks assigned to you") +
                   QStringLiteral(", ") +
                   counted(c.unassigned, "unassigned task in your group", "unassigned tasks in your group",
                           "no unassigned tasks in your group");
    if (c.paused)
        text += QStringLiteral(". Notifications paused");
    return text;
}

QString trayLabel(const TrayCounts& c) {
    if (c.freshness == TrayFreshness::signedOut)
        return QStringLiteral("Signed out");
    return QString::number(std::max<std::int64_t>(c.mine, 0)) + QStringLiteral(" \u00b7 ") +
           QString::number(std::max<std::int64_t>(c.unassigned, 0));
}

QString trayWindowTitle(const TrayCounts& c) {
    if (c.freshness == TrayFreshness::signedOut)
        return QStringLiteral("Trayline \u2014 signed out");
    return QStringLiteral("Trayline \u2014 %1 mine, %2 unassigned")
        .arg(std::max<std::int64_t>(c.mine, 0))
        .arg(std::max<std::int64_t>(c.unassigned, 0));
}

TrayIconPainter::TrayIconPainter() {
    QFont font = QApplication::font();
    if (const QString rounded = roundedFamily(); !rounded.isEmpty())
        font.setFamily(rounded);
    font.setPixelSize(kReferencePixels);
    font.setWeight(QFont::Bold);
    const QString chars = QStringLiteral("0123456789+");
    QRectF digits;
    for (int i = 0; i < chars.size(); ++i) {
        Glyph& g = glyphs_[static_cast<std::size_t>(i)];
        g.outline.addText(0, 0, font, chars.mid(i, 1));
        g.ink = g.outline.boundingRect();
        if (chars[i].isDigit())
            digits = digits.united(g.ink);
    }
    digitsTop_ = digits.top();
    digitsBottom_ = digits.bottom();
}

const TrayIconPainter::Glyph& TrayIconPainter::glyph(QChar c) const {
    return glyphs_[c.isDigit() ? static_cast<std::size_t>(c.digitValue()) : glyphs_.size() - 1];
}

TrayIconPainter::TextFit TrayIconPainter::fit(std::int64_t count, int tallest, int width, int bubble) const {
    // The whole count while its digits can stay readable, else shortened; as tall as it fits.
    const int lowest = std::max(5, static_cast<int>(std::lround(tallest * 0.78)));
    TextFit f;
    const auto layOut = [&](int height, qreal squeeze) {
        f.height = height;
        f.inset = endInset(bubble, height);
        const int available = width - 2 * f.inset;
        f.scale = height / (digitsBottom_ - digitsTop_);
        f.squeeze = squeeze;
        f.glyphs.clear();
        // Each glyph starts on a whole pixel, at least `gap` clear pixels after the one before.
        const qreal gap = std::max<qreal>(1, std::round(height * 0.12));
        qreal x = 0;
        for (QChar c : f.text) {
            const Glyph& g = glyph(c);
            f.glyphs.push_back({&g, x});
            x += std::ceil(g.ink.width() * f.scale * squeeze) + gap;
        }
        f.width = x - gap;
        return f.width <= available;
    };
    for (int chars = static_cast<int>(QString::number(std::max<std::int64_t>(count, 0)).size());; --chars) {
        f.text = shortenedCount(count, chars);
        for (int height = tallest; height >= std::min(lowest, tallest); --height)
            for (qreal q = 1.0; q >= kMinSqueeze; q -= 0.02)
                if (layOut(height, q))
                    return f;
        if (f.text.size() <= 2)
            break;
    }
    // Not even two characters fit: narrow them as far as it takes.
    for (qreal q = kMinSqueeze; q > 0.05; q -= 0.02)
        if (layOut(std::min(lowest, tallest), q))
            break;
    return f;
}

QImage TrayIconPainter::render(const TrayCounts& counts, int size) const {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const Slot slot = slotFor(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    if (counts.freshness == TrayFreshness::signedOut) {
        paintSignedOut(p, size);
        return image;
    }
    const bool fresh = counts.freshness == TrayFreshness::fresh;
    const bool marked = counts.paused || !fresh;
    const int tallest = slot.bubble - 2 * slot.pad;
    const int width = marked ? size - slot.mark - (slot.gap > 0) : size;
    const int top = (size - 2 * slot.bubble - slot.gap) / 2;
    const std::pair<std::int64_t, QColor> bubbles[] = {{counts.mine, kBlue}, {counts.unassigned, kOrange}};
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& [count, colour] = bubbles[i];
        const int y = top + static_cast<int>(i) * (slot.bubble + slot.gap);
        QColor fill = colour;
        if (count <= 0 || !fresh)
            fill.setAlphaF(kDimmedOpacity);
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(0, y, width, slot.bubble), slot.bubble / 2.0, slot.bubble / 2.0);

        const TextFit f = fit(count, tallest, width, slot.bubble);
        const qreal left = f.inset + std::floor((width - 2 * f.inset - f.width) / 2);
        const qreal baseline = y + slot.pad + (tallest - f.height) / 2 - digitsTop_ * f.scale;
        for (const Placed& g : f.glyphs) {
            QTransform t;
            t.translate(left + g.left - g.glyph->ink.left() * f.scale * f.squeeze, baseline);
            t.scale(f.scale * f.squeeze, f.scale);
            p.fillPath(t.map(g.glyph->outline), Qt::white);
        }
    }
    // Old counts matter more than a pause: their mark wins the one column.
    if (counts.freshness == TrayFreshness::stale)
        paintStaleMark(p, size, slot.mark);
    else if (counts.freshness == TrayFreshness::rateLimited)
        paintLimitedMark(p, size, slot.mark);
    else if (counts.paused)
        paintMark(p, size, slot.mark);
    return image;
}

std::vector<QImage> TrayIconPainter::renderSet(const TrayCounts& counts) const {
    std::vector<QImage> set;
    set.reserve(kTrayIconSizes.size());
    for (int size : kTrayIconSizes)
        set.push_back(render(counts, size));
    return set;
}

QIcon TrayIconPainter::icon(const TrayCounts& counts) const {
    QIcon result;
    for (const QImage& image : renderSet(counts))
        result.addPixmap(QPixmap::fromImage(image));
    return result;
}

}  // namespace trayline::ui
