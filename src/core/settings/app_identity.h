#pragma once

// How the desktop knows this application: its desktop file (which lets it post notifications)
// and its icon in the hicolor theme, wherever the running copy, a package or the demo put them.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace trayline::identity {

inline constexpr const char* kIconName = "com.brindle.trayline";

// The data directories an application looks in, in order: $XDG_DATA_HOME, then $XDG_DATA_DIRS.
std::vector<std::filesystem::path> searchedDataDirs();
// Those that every process of the session searches whatever its environment says: the default
// ~/.local/share, /usr/local/share and /usr/share.
std::vector<std::filesystem::path> sessionDataDirs();

// The first applications/com.brindle.trayline.desktop of `dataDirs`.
std::optional<std::filesystem::path> installedDesktopFile(const std::vector<std::filesystem::path>& dataDirs);

// The app icon file under `dataDir`'s hicolor theme: the largest PNG, else the SVG.
std::optional<std::filesystem::path> iconIn(const std::filesystem::path& dataDir);

// What a notification names as its icon so that any notification daemon can draw it: the theme
// name when the icon sits in a directory of `sessionDirs` (the daemon looks there too); else the
// absolute path of the file found in `searchedDirs` or, last, in `resources` (a bundle's own);
// the theme name when there is no file at all.
std::string notificationIcon(const std::vector<std::filesystem::path>& searchedDirs,
                             const std::vector<std::filesystem::path>& sessionDirs,
                             const std::optional<std::filesystem::path>& resources);
// The same for the running process and its environment.
std::string notificationIcon();

}  // namespace trayline::identity
