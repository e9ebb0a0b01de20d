#pragma once

#include <QImage>

namespace trayline {

// A stand-in for the tray label until the real one is plugged in: the two counts (my open tasks,
// the group's unassigned ones) as two bubbles, drawn at two pixels per point. Signed out, the
// bubbles are hollow and show no numbers.
QImage renderCountsIcon(int mine, int unassigned, bool signedIn);

}  // namespace trayline
