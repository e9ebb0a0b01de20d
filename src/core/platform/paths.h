#pragma once

#include <filesystem>
#include <vector>

namespace trayline::paths {

// $XDG_CONFIG_HOME, else ~/.config (read at every call so tests can redirect it).
std::filesystem::path configHome();
// $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path dataHome();
// ~/.local/share, whatever XDG_DATA_HOME says.
std::filesystem::path defaultDataHome();
// $XDG_DATA_DIRS (its absolute entries), else /usr/local/share and /usr/share.
std::vector<std::filesystem::path> dataDirs();
// The running executable (/proc/self/exe).
std::filesystem::path executablePath();

}  // namespace trayline::paths
