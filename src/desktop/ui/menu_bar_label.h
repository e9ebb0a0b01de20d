#pragma once

// The tray picture: two count bubbles side by side, the engineer's open tasks in blue and the
// group's unassigned tasks in orange. A plain value; the tray host rebuilds it on every change.

#include <cstdint>

#include <QIcon>
#include <QImage>

namespace trayline::ui {

class MenuBarLabel {
public:
    MenuBarLabel(std::int64_t mine, std::int64_t unassigned) : mine_(mine), unassigned_(unassigned) {}

    std::int64_t mine() const { return mine_; }
    std::int64_t unassigned() const { return unassigned_; }

    // The bubble row at its natural size, two pixels per point (device pixel ratio 2), on a
    // transparent background. Its colours are fixed: the tray never tints it.
    QImage renderedImage() const;
    QIcon icon() const;

    // Geometry of the row in points, for callers that place or test it.
    struct Bubble {
        QRectF capsule;
        QRectF symbol;
        QRectF digits;
    };
    struct Layout {
        QSizeF size;
        Bubble left;
        Bubble right;
    };
    Layout layout() const;

    bool operator==(const MenuBarLabel&) const = default;

private:
    std::int64_t mine_;
    std::int64_t unassigned_;
};

}  // namespace trayline::ui
