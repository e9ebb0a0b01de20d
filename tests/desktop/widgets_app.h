#pragma once

// A QApplication for widget tests (offscreen platform), created once per test binary.

namespace trayline::test {
void ensureWidgetsApp();
}
