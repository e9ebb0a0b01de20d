#include "desktop/platform/panel_placement.h"

#include <algorithm>
#include <cmath>

namespace trayline {

namespace {
constexpr int kWidth = 800;
constexpr int kHeightWithoutScreen = 720;
constexpr double kScreenShare = 0.8;
}  // namespace

QRect panelGeometry(const QRect& iconGeometry, const QPoint& cursor, const std::optional<QRect>& available) {
    const QRect anchor = iconGeometry.isValid() && !iconGeometry.isEmpty() ? iconGeometry
                                                                           : QRect(cursor, QSize(1, 1));
    if (!available || available->isEmpty())
        return {QPoint(anchor.center().x() - kWidth / 2, anchor.bottom() + 1), QSize(kWidth, kHeightWithoutScreen)};

    const QRect& screen = *available;
    const int width = std::min(kWidth, screen.width());
    const int height = static_cast<int>(std::lround(screen.height() * kScreenShare));
    const bool below = anchor.top() - screen.top() <= screen.bottom() - anchor.bottom();
    int x = anchor.center().x() - width / 2;
    int y = below ? anchor.bottom() + 1 : anchor.top() - height;
    x = std::clamp(x, screen.left(), screen.right() + 1 - width);
    y = std::clamp(y, screen.top(), screen.bottom() + 1 - height);
    return {QPoint(x, y), QSize(width, height)};
}

}  // namespace trayline
