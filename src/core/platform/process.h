#pragma once

#include <string>
#include <vector>

namespace trayline {

// Starts a program in its own session with stdio on /dev/null and does not wait for it (the
// child is reaped by a short-lived intermediate process, so no zombie is left behind). Throws
// std::system_error when the program cannot be started.
void spawnDetached(const std::vector<std::string>& argv);

// Opens a URL in the user's default browser (xdg-open).
void openInBrowser(const std::string& url);

// A random (version 4) UUID in upper-case 8-4-4-4-12 form.
std::string makeUUID();

}  // namespace trayline
