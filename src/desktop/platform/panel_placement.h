#pragma once

#include <optional>

#include <QPoint>
#include <QRect>

namespace trayline {

// Where the panel opens: 800 px wide (narrower only on a narrower screen), 80 % of the available
// screen height (720 px when there is no screen), below the tray icon when the icon sits in the
// upper half of the screen and above it otherwise, centred on it and kept on the screen. Without
// an icon geometry (many trays report none) the cursor stands in for the icon.
QRect panelGeometry(const QRect& iconGeometry, const QPoint& cursor, const std::optional<QRect>& available);

}  // namespace trayline
