#pragma once

// The tray item's picture. Tray hosts give an item a square slot of 16 to 64 px, so the two count
// bubbles (blue: my open tasks, orange: the group's unassigned ones) are stacked rather than set
// side by side, and each size is drawn for itself on whole pixels instead of scaling one image:
// the digits are as tall as the bubble allows, white, with a fill at 0.45 opacity for a zero. The
// colours are fixed, so no host tints them. A count too wide for its bubble is shortened ("99+");
// the tooltip and the label beside the item say the exact counts in words.

#include <array>
#include <cstdint>
#include <vector>

#include <QIcon>
#include <QImage>
#include <QPainterPath>
#include <QString>

namespace trayline::ui {

// How current the counts are. Anything but fresh dims the bubbles and adds a mark at the right
// edge (in place of the pause mark): "!" when the last refresh failed, an hourglass while the
// instance rate-limits us; signed out, the slot shows a padlock and no counts at all.
enum class TrayFreshness { fresh, stale, rateLimited, signedOut };

struct TrayCounts {
    std::int64_t mine = 0;        // my open tasks
    std::int64_t unassigned = 0;  // the group's tasks nobody is assigned to
    bool paused = false;          // notifications paused: a small mark at the right edge
    TrayFreshness freshness = TrayFreshness::fresh;
    QString lastUpdated{};        // "16:40": when the counts were fetched (stale, limited)
    QString problem{};            // why they are stale: the last refresh's error
    QString until{};              // "16:45": when the rate limit ends
    bool operator==(const TrayCounts&) const = default;
};

// Every size a host may ask for.
inline constexpr std::array<int, 6> kTrayIconSizes{16, 22, 24, 32, 48, 64};

// `count` in at most `maxChars` characters: the number itself, or as many nines as fit followed
// by "+" ("99+" for three). Never fewer than two characters.
QString shortenedCount(std::int64_t count, int maxChars);

// "3 tasks assigned to you, 12 unassigned in your group" (and "Notifications paused." when so);
// "Last updated 16:40 — <error>" before them when stale, "Signed out of ServiceNow" alone.
QString trayToolTip(const TrayCounts& counts);
// The short text some hosts show beside the item: "3 · 12".
QString trayLabel(const TrayCounts& counts);
// The panel's title when it is an ordinary window: "Trayline: 3 mine, 12 unassigned".
QString trayWindowTitle(const TrayCounts& counts);

class TrayIconPainter {
public:
    TrayIconPainter();

    // A size x size picture (ARGB32 premultiplied), transparent around the bubbles.
    QImage render(const TrayCounts& counts, int size) const;
    // One picture per size of kTrayIconSizes, smallest first.
    std::vector<QImage> renderSet(const TrayCounts& counts) const;
    QIcon icon(const TrayCounts& counts) const;

private:
    struct Glyph {
        QPainterPath outline;  // at the reference size, baseline at y = 0
        QRectF ink;
    };
    struct Placed {
        const Glyph* glyph;
        qreal left;  // in pixels
    };
    struct TextFit {
        QString text;
        std::vector<Placed> glyphs;
        int height = 0;  // of the digits, in pixels
        int inset = 0;   // clear of the bubble's rounded ends, on either side
        qreal scale = 1, squeeze = 1, width = 0;
    };
    // The count in a bubble `bubble` rows tall and `width` wide, digits at most `tallest` rows.
    TextFit fit(std::int64_t count, int tallest, int width, int bubble) const;
    const Glyph& glyph(QChar c) const;

    std::array<Glyph, 11> glyphs_;  // "0" to "9", then "+"
    qreal digitsTop_ = 0, digitsBottom_ = 0;  // the digits' ink, relative to the baseline
};

}  // namespace trayline::ui
