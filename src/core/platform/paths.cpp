#include "core/platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace trayline::paths {

namespace {

std::filesystem::path home() {
    if (const char* h = std::getenv("HOME"); h && *h)
        return h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

// Relative values are ignored, as the XDG base-directory rules require.
std::filesystem::path fromEnv(const char* name, const std::filesystem::path& fallback) {
    if (const char* v = std::getenv(name); v && *v == '/')
        return v;
    return fallback;
}

}  // namespace

std::filesystem::path configHome() { return fromEnv("XDG_CONFIG_HOME", home() / ".config"); }

std::filesystem::path dataHome() { return fromEnv("XDG_DATA_HOME", defaultDataHome()); }

std::filesystem::path defaultDataHome() { return home() / ".local" / "share"; }

std::vector<std::filesystem::path> dataDirs() {
    std::vector<std::filesystem::path> dirs;
    if (const char* v = std::getenv("XDG_DATA_DIRS")) {
        std::string_view rest(v);
        while (!rest.empty()) {
            const auto end = std::min(rest.find(':'), rest.size());
            if (rest.front() == '/')
                dirs.emplace_back(rest.substr(0, end));
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
    }
    if (dirs.empty())
        dirs = {"/usr/local/share", "/usr/share"};
    return dirs;
}

std::filesystem::path executablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : p;
}

}  // namespace trayline::paths
