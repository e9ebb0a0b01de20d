#pragma once

// The panel's type scale, named colours and icons, in one place. Every widget asks here instead
// of choosing sizes, RGB values or icon files itself, so light and dark palettes stay readable.

#include <string_view>

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QString>

namespace trayline::ui {

// Relative text sizes, largest first; Callout and Body are the desktop's body size.
enum class TextStyle { Title3, Headline, Subheadline, Body, Callout, Caption, Caption2 };

QFont font(TextStyle style, QFont::Weight weight = QFont::Normal, bool monospaced = false);

// The first installed family with rounded letterforms, or empty when none is installed.
QString roundedFamily();

enum class NamedColor {
    Blue,
    Orange,
    Cyan,
    Green,
    Purple,
    Gray,
    Red,
    Accent,
    Primary,
    Secondary,
    Tertiary,
    Separator,
    TextBackground
};

// Readable on the palette's window background, light or dark.
QColor color(NamedColor c, const QPalette& palette);
// With the application's current palette.
QColor color(NamedColor c);
// True when the palette's window is darker than its text.
bool isDark(const QPalette& palette);

// The icon for a symbol name such as "chevron.left": the desktop theme's icon when it has one,
// else the bundled glyph drawn in the palette's text colour at paint time. Unknown names give a
// null icon.
QIcon icon(std::string_view symbolName);
// The bundled glyph in a fixed colour, for icons whose colour carries meaning.
QIcon icon(std::string_view symbolName, const QColor& tint);
// The icon-theme name standing in for a symbol name; empty for unknown names.
QString themeIconName(std::string_view symbolName);
// Resource path of the bundled glyph; empty for unknown names.
QString bundledIconPath(std::string_view symbolName);

}  // namespace trayline::ui
