#include "desktop/ui/text_fit.h"

#include <algorithm>

#include <QFontMetrics>
#include <QTextLayout>
#include <QTextOption>

namespace trayline::ui {

namespace {

bool isLineBreak(QChar c) {
    return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::LineSeparator ||
           c == QChar::ParagraphSeparator;
}

}  // namespace

QString oneLine(QString text) {
    for (QChar& c : text)
        if (isLineBreak(c))
            c = QLatin1Char(' ');
    return text;
}

QStringList fitText(const QString& text, const QFont& font, int width, int maxLines) {
    QStringList lines;
    if (text.isEmpty() || maxLines < 1)
        return lines;
    width = std::max(1, width);
    QString laid = text;
    for (QChar& c : laid)
        if (isLineBreak(c))
            c = QChar::LineSeparator;  // same length, so positions still index `text`
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    QTextLayout layout(laid, font);
    layout.setTextOption(option);
    layout.beginLayout();
    int lastStart = 0, consumed = 0;
    for (QTextLine line = layout.createLine(); line.isValid() && lines.size() < maxLines; line = layout.createLine()) {
        line.setLineWidth(width);
        QString piece = text.mid(line.textStart(), line.textLength());
        while (!piece.isEmpty() && isLineBreak(piece.back()))
            piece.chop(1);
        lines << piece;
        lastStart = line.textStart();
        consumed = line.textStart() + line.textLength();
    }
    layout.endLayout();
    if (!text.mid(consumed).trimmed().isEmpty()) {
        // The last line takes all that is left, on one line, shortened to the width.
        lines.back() = QFontMetrics(font).elidedText(oneLine(text.mid(lastStart)).trimmed(), Qt::ElideRight, width);
    }
    return lines;
}

}  // namespace trayline::ui
