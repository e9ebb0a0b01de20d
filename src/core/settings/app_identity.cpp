#include "core/settings/app_identity.h"

#include <algorithm>

#include "core/platform/paths.h"
#include "core/settings/app_info.h"

namespace trayline::identity {

namespace fs = std::filesystem;

namespace {

bool sameDirectory(const fs::path& a, const fs::path& b) {
    std::error_code ec1, ec2;
    return fs::weakly_canonical(a, ec1) == fs::weakly_canonical(b, ec2) && !ec1 && !ec2;
}

}  // namespace

std::vector<fs::path> searchedDataDirs() {
    std::vector<fs::path> dirs{paths::dataHome()};
    for (auto& dir : paths::dataDirs())
        dirs.push_back(std::move(dir));
    return dirs;
}

std::vector<fs::path> sessionDataDirs() { return {paths::defaultDataHome(), "/usr/local/share", "/usr/share"}; }

std::optional<fs::path> installedDesktopFile(const std::vector<fs::path>& dataDirs) {
    for (const auto& dir : dataDirs) {
        std::error_code ec;
        const auto file = dir / "applications" / AppInfo::kDesktopFileName;
        if (fs::is_regular_file(file, ec))
            return file;
    }
    return std::nullopt;
}

std::optional<fs::path> iconIn(const fs::path& dataDir) {
    const fs::path theme = dataDir / "icons" / "hicolor";
    const std::string png = std::string(kIconName) + ".png";
    for (const char* size : {"256x256", "128x128", "64x64", "48x48", "32x32"}) {
        std::error_code ec;
        if (fs::is_regular_file(theme / size / "apps" / png, ec))
            return theme / size / "apps" / png;
    }
    std::error_code ec;
    const fs::path svg = theme / "scalable" / "apps" / (std::string(kIconName) + ".svg");
    return fs::is_regular_file(svg, ec) ? std::optional<fs::path>(svg) : std::nullopt;
}

std::string notificationIcon(const std::vector<fs::path>& searchedDirs, const std::vector<fs::path>& sessionDirs,
                             const std::optional<fs::path>& resources) {
    for (const auto& dir : searchedDirs) {
        const auto icon = iconIn(dir);
        if (!icon)
            continue;
        const bool seenBySession = std::any_of(sessionDirs.begin(), sessionDirs.end(),
                                               [&](const fs::path& s) { return sameDirectory(dir, s); });
        return seenBySession ? kIconName : icon->string();
    }
    if (resources)
        if (const auto icon = iconIn(*resources))
            return icon->string();
    return kIconName;
}

std::string notificationIcon() {
    return notificationIcon(searchedDataDirs(), sessionDataDirs(), AppInfo::resourcesOf(paths::executablePath()));
}

}  // namespace trayline::identity
