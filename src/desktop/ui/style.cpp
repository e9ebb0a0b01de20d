#include "desktop/ui/style.h"

#include <algorithm>
#include <array>

#include <QFontDatabase>
#include <QGuiApplication>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QSvgRenderer>

#include <mutex>
#include <optional>

// The glyphs live in a static library, whose resources are registered on first use.
static void initUiResources() { Q_INIT_RESOURCE(ui); }

namespace trayline::ui {

namespace {

// Relative to the desktop's body size; only the order matters, so the scale follows the user's
// font setting instead of fixed point sizes.
double scaleOf(TextStyle style) {
    switch (style) {
        case TextStyle::Title3: return 1.3;
        case TextStyle::Headline: return 1.0;
        case TextStyle::Subheadline: return 0.92;
        case TextStyle::Body: return 1.0;
        case TextStyle::Callout: return 1.0;
        case TextStyle::Caption: return 0.86;
        case TextStyle::Caption2: return 0.8;
    }
    return 1.0;
}

// Fixed colours where the desktop palette has no such role: one value for light windows and one
// for dark ones, each chosen to stay distinct on that background.
struct FixedColor {
    NamedColor name;
    QRgb light;
    QRgb dark;
};

constexpr std::array kFixedColors{
    FixedColor{NamedColor::Blue, 0x007aff, 0x0a84ff},
    FixedColor{NamedColor::Orange, 0xf08a00, 0xff9f0a},
    FixedColor{NamedColor::Cyan, 0x0f9fd8, 0x64d2ff},
    FixedColor{NamedColor::Green, 0x28a745, 0x30d158},
    FixedColor{NamedColor::Purple, 0xaf52de, 0xbf5af2},
    FixedColor{NamedColor::Gray, 0x8e8e93, 0x98989d},
    FixedColor{NamedColor::Red, 0xe0352b, 0xff453a},
};

QColor blend(const QColor& fg, const QColor& bg, double amount) {
    return QColor::fromRgbF(static_cast<float>(bg.redF() + (fg.redF() - bg.redF()) * amount),
                            static_cast<float>(bg.greenF() + (fg.greenF() - bg.greenF()) * amount),
                            static_cast<float>(bg.blueF() + (fg.blueF() - bg.blueF()) * amount));
}

struct Symbol {
    std::string_view name;
    const char* themeName;
    const char* file;
};

// The one table of icons the interface uses.
constexpr std::array kSymbols{
    Symbol{"person.fill", "avatar-default", "person.fill.svg"},
    Symbol{"tray.fill", "mail-folder-inbox", "tray.fill.svg"},
    Symbol{"arrow.clockwise", "view-refresh", "arrow.clockwise.svg"},
    Symbol{"gearshape", "preferences-system", "gearshape.svg"},
    Symbol{"arrow.down.circle.fill", "software-update-available", "arrow.down.circle.fill.svg"},
    Symbol{"person.badge.key", "dialog-password", "person.badge.key.svg"},
    Symbol{"chevron.left", "go-previous", "chevron.left.svg"},
    Symbol{"checkmark", "object-select", "checkmark.svg"},
    Symbol{"doc.on.doc", "edit-copy", "doc.on.doc.svg"},
    Symbol{"doc.plaintext", "text-x-generic", "doc.plaintext.svg"},
    Symbol{"person.badge.plus", "contact-new", "person.badge.plus.svg"},
    Symbol{"checkmark.circle", "emblem-default", "checkmark.circle.svg"},
    Symbol{"arrow.up.forward.square", "document-open-remote", "arrow.up.forward.square.svg"},
    Symbol{"person", "user-info", "person.svg"},
    Symbol{"bell", "notifications", "bell.svg"},
    Symbol{"bell.slash", "notifications-disabled", "bell.slash.svg"},
};

const Symbol* findSymbol(std::string_view name) {
    const auto it = std::find_if(kSymbols.begin(), kSymbols.end(),
                                 [&](const Symbol& s) { return s.name == name; });
    return it == kSymbols.end() ? nullptr : &*it;
}

// Draws a bundled monochrome glyph in one colour. Without a fixed tint the colour comes from the
// application palette when painted, so a palette change (light to dark) recolours it.
class GlyphIconEngine : public QIconEngine {
public:
    GlyphIconEngine(QString path, std::optional<QColor> tint)
        : path_(std::move(path)), tint_(std::move(tint)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap pixmap = render(rect.size() * dpr, mode);
        pixmap.setDevicePixelRatio(dpr);
        painter->drawPixmap(rect, pixmap);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        return render(size, mode);
    }

    QIconEngine* clone() const override { return new GlyphIconEngine(path_, tint_); }
    QString key() const override { return QStringLiteral("trayline-glyph"); }

private:
    QColor colourFor(QIcon::Mode mode) const {
        const QPalette palette = QGuiApplication::palette();
        if (mode == QIcon::Disabled)
            return palette.color(QPalette::Disabled, QPalette::WindowText);
        if (tint_)
            return *tint_;
        if (mode == QIcon::Selected)
            return palette.color(QPalette::HighlightedText);
        return palette.color(QPalette::WindowText);
    }

    // Rows repaint often and share their few glyphs, so each size and colour is drawn once.
    QPixmap render(const QSize& size, QIcon::Mode mode) const {
        const QColor colour = colourFor(mode);
        const QString key = QStringLiteral("trayline-glyph:%1:%2x%3:%4")
                                .arg(path_)
                                .arg(size.width())
                                .arg(size.height())
                                .arg(colour.rgba());
        QPixmap cached;
        if (QPixmapCache::find(key, &cached))
            return cached;
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        if (!size.isEmpty()) {
            QSvgRenderer renderer(path_);
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            QSizeF box = renderer.defaultSize();
            box.scale(size, Qt::KeepAspectRatio);
            renderer.render(&p, QRectF(QPointF((size.width() - box.width()) / 2,
                                               (size.height() - box.height()) / 2),
                                       box));
            p.setCompositionMode(QPainter::CompositionMode_SourceIn);
            p.fillRect(image.rect(), colour);
        }
        cached = QPixmap::fromImage(std::move(image));
        QPixmapCache::insert(key, cached);
        return cached;
    }

    QString path_;
    std::optional<QColor> tint_;
};

}  // namespace

QFont font(TextStyle style, QFont::Weight weight, bool monospaced) {
    QFont f = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont)
                         : QGuiApplication::font();
    const QFont base = QGuiApplication::font();
    const double body = base.pointSizeF() > 0 ? base.pointSizeF() : base.pixelSize() * 0.75;
    f.setPointSizeF(std::max(7.0, body * scaleOf(style)));
    // Headlines are set apart by weight, not size.
    if (style == TextStyle::Headline && weight < QFont::DemiBold)
        weight = QFont::DemiBold;
    f.setWeight(weight);
    return f;
}

QString roundedFamily() {
    static const QStringList kCandidates{"SF Pro Rounded", "Nunito", "Varela Round",
                                         "M PLUS Rounded 1c", "Quicksand", "Comfortaa",
                                         "Arial Rounded MT Bold"};
    const QStringList installed = QFontDatabase::families();
    for (const QString& family : kCandidates)
        if (installed.contains(family, Qt::CaseInsensitive))
            return family;
    return {};
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightnessF() <
           palette.color(QPalette::WindowText).lightnessF();
}

QColor color(NamedColor c, const QPalette& palette) {
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    switch (c) {
        case NamedColor::Accent: return palette.color(QPalette::Highlight);
        case NamedColor::Primary: return text;
        // Opaque blends rather than translucent text, so contrast does not depend on what lies
        // underneath.
        case NamedColor::Secondary: return blend(text, window, 0.65);
        case NamedColor::Tertiary: return blend(text, window, 0.5);
        case NamedColor::Separator: return blend(text, window, 0.18);
        case NamedColor::TextBackground: return palette.color(QPalette::Base);
        default: break;
    }
    const bool dark = isDark(palette);
    for (const FixedColor& f : kFixedColors)
        if (f.name == c)
            return QColor::fromRgb(dark ? f.dark : f.light);
    return text;
}

QColor color(NamedColor c) { return color(c, QGuiApplication::palette()); }

QString themeIconName(std::string_view symbolName) {
    const Symbol* s = findSymbol(symbolName);
    return s ? QString::fromLatin1(s->themeName) : QString();
}

QString bundledIconPath(std::string_view symbolName) {
    static std::once_flag registered;
    std::call_once(registered, initUiResources);
    const Symbol* s = findSymbol(symbolName);
    return s ? QStringLiteral(":/trayline/icons/") + QString::fromLatin1(s->file) : QString();
}

QIcon icon(std::string_view symbolName) {
    const Symbol* s = findSymbol(symbolName);
    if (!s)
        return {};
    const QString theme = QString::fromLatin1(s->themeName);
    if (QIcon::hasThemeIcon(theme))
        return QIcon::fromTheme(theme);
    return QIcon(new GlyphIconEngine(bundledIconPath(symbolName), std::nullopt));
}

QIcon icon(std::string_view symbolName, const QColor& tint) {
    const QString path = bundledIconPath(symbolName);
    return path.isEmpty() ? QIcon() : QIcon(new GlyphIconEngine(path, tint));
}

}  // namespace trayline::ui
