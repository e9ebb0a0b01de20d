#pragma once

// Fitting text a person or the instance wrote (a URL, a name, 40 lines) into a width it must not
// widen: at most so many lines, broken between words or, for a word wider than the line, anywhere;
// what does not fit is shortened with "…".

#include <QFont>
#include <QStringList>

namespace trayline::ui {

// Line feeds and other line breaks as spaces, for text shown on one line.
QString oneLine(QString text);

// The lines `text` takes at `width` in `font`, at most `maxLines` (line feeds break lines); the
// last one ends with "…" when text was left over.
QStringList fitText(const QString& text, const QFont& font, int width, int maxLines);

}  // namespace trayline::ui
