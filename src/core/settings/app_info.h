#pragma once

// What the running application knows about itself: from the Trayline.app bundle it runs in, or
// from the prefix a package installed it into (<prefix>/bin/trayline beside
// <prefix>/share/applications/com.brindle.trayline.desktop). A build-tree binary is neither.

#include <filesystem>
#include <optional>
#include <string>

namespace trayline {

struct AppInfo {
    static constexpr const char* kBundleIdentifier = "com.brindle.trayline";
    static constexpr const char* kDesktopFileName = "com.brindle.trayline.desktop";
    static constexpr const char* kNoChangelog = "No changelog bundled (dev build).";

    // "<x>.app" when `executable` is "<x>.app/Contents/bin/<exe>"; nullopt for a build-tree binary.
    static std::optional<std::filesystem::path> bundleContaining(const std::filesystem::path& executable);
    // The bundle of the running process (/proc/self/exe).
    static std::optional<std::filesystem::path> currentBundle();

    // "<prefix>" when `executable` is "<prefix>/bin/<exe>" and the prefix holds the installed
    // desktop file; nullopt otherwise (a bundle lays out Contents/bin, never share/applications).
    static std::optional<std::filesystem::path> packagePrefixContaining(const std::filesystem::path& executable);
    static std::optional<std::filesystem::path> currentPackagePrefix();

    // Where this copy's desktop file, icons and metainfo live, in the layout of a data directory
    // (applications/, icons/hicolor/, metainfo/): the bundle's Contents/Resources or the package's
    // share; nullopt for a build-tree binary.
    static std::optional<std::filesystem::path> resourcesOf(const std::filesystem::path& executable);

    // CFBundleShortVersionString of the bundle's Contents/Info.plist; the version the executable
    // was built as when a package installed it; else "dev".
    static std::string version();
    static std::string versionOf(const std::optional<std::filesystem::path>& bundle);
    // Contents/Resources/CHANGELOG.md of the bundle (share/trayline/CHANGELOG.md of a package) when
    // readable UTF-8, else kNoChangelog.
    static std::string changelog();
    static std::string changelogOf(const std::optional<std::filesystem::path>& bundle);

    // Reads a string entry of an Info.plist (XML or binary); nullopt when absent or not a string.
    static std::optional<std::string> plistString(const std::filesystem::path& plist, const char* key);
};

}  // namespace trayline
