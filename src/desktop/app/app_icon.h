#pragma once

#include <QIcon>

namespace trayline {

// The application's own icon (not the live counts): the icon theme's when it has one, else the
// copy compiled in, so windows have an icon in the task switcher even from a build tree.
QIcon appIcon();

}  // namespace trayline
