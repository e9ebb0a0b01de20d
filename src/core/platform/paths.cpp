#include "core/platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

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

std::filesystem::path dataHome() { return fromEnv("XDG_DATA_HOME", home() / ".local" / "share"); }

std::filesystem::path executablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : p;
}

}  // namespace trayline::paths
