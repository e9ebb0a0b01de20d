#pragma once

#include <filesystem>

namespace trayline::paths {

// $XDG_CONFIG_HOME, else ~/.config (read at every call so tests can redirect it).
std::filesystem::path configHome();
// $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path dataHome();
// The running executable (/proc/self/exe).
std::filesystem::path executablePath();

}  // namespace trayline::paths
