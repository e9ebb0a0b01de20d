#pragma once

// What the running application knows about itself, from the Trayline.app bundle it runs in.

#include <filesystem>
#include <optional>
#include <string>

namespace trayline {

struct AppInfo {
    static constexpr const char* kBundleIdentifier = "com.brindle.trayline";
    static constexpr const char* kNoChangelog = "No changelog bundled (dev build).";

    // "<x>.app" when `executable` is "<x>.app/Contents/bin/<exe>"; nullopt for a build-tree binary.
    static std::optional<std::filesystem::path> bundleContaining(const std::filesystem::path& executable);
    // The bundle of the running process (/proc/self/exe).
    static std::optional<std::filesystem::path> currentBundle();

    // CFBundleShortVersionString of the bundle's Contents/Info.plist, else "dev".
    static std::string version();
    static std::string versionOf(const std::optional<std::filesystem::path>& bundle);
    // Contents/Resources/CHANGELOG.md of the bundle when readable UTF-8, else kNoChangelog.
    static std::string changelog();
    static std::string changelogOf(const std::optional<std::filesystem::path>& bundle);

    // Reads a string entry of an Info.plist (XML or binary); nullopt when absent or not a string.
    static std::optional<std::string> plistString(const std::filesystem::path& plist, const char* key);
};

}  // namespace trayline
