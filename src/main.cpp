// trayline: the tray application, or with "--mcp" the headless MCP server.
//
// "--mcp" anywhere wins and every other argument is ignored, so MCP clients can add their own.
// Otherwise the arguments are checked here, before any toolkit starts: --help and --version answer
// at once, --toggle goes on to the tray application, anything else is a usage error.
//
// This executable links only the core. The tray application lives in libtrayline-tray.so, loaded
// here only when it runs, so the MCP server starts fast and never maps a Qt library.

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/mcp/mcp_server.h"
#include "core/platform/paths.h"
#include "core/settings/app_info.h"

namespace {

constexpr const char* kTrayLibrary = "libtrayline-tray.so";
constexpr const char* kTrayEntry = "trayline_tray_main";

constexpr const char* kUsage = "Usage: trayline [--toggle]\n"
                               "       trayline --mcp\n"
                               "       trayline --help | --version\n";

constexpr const char* kHelp =
    "Trayline: your ServiceNow tasks and your group's queue in the desktop tray.\n"
    "\n"
    "  (no option)   start the tray application; if it runs already, show its panel\n"
    "  --toggle      show or hide the running instance's panel\n"
    "  --mcp         run the MCP server on standard input and output instead (no window)\n"
    "  -h, --help    print this help and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/com.brindle.trayline/preferences.json. See trayline(1).\n";

// Beside the executable (build tree), in the bundle's Contents/lib beside Contents/bin, or in
// lib/trayline of the prefix a package installed it into.
int runTray(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path dir = trayline::paths::executablePath().parent_path();
    const fs::path lib = dir.parent_path() / "lib";
    std::string tried;
    for (const fs::path& path : {dir / kTrayLibrary, lib / kTrayLibrary, lib / "trayline" / kTrayLibrary}) {
        std::error_code ec;
        if (!fs::exists(path, ec)) {
            tried += "\n  " + path.string() + ": not found";
            continue;
        }
        void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            tried += "\n  " + std::string(::dlerror());
            continue;
        }
        // Never closed: the toolkit's threads may run its code until the process ends.
        using Entry = int (*)(int, char**);
        if (auto entry = reinterpret_cast<Entry>(::dlsym(library, kTrayEntry)))
            return entry(argc, argv);
        tried += "\n  " + path.string() + ": no " + kTrayEntry;
    }
    std::fprintf(stderr,
                 "trayline: cannot load the tray application (%s):%s\n"
                 "Reinstall Trayline. \"trayline --mcp\" runs the MCP server without it.\n",
                 kTrayLibrary, tried.c_str());
    return 1;
}

enum class Request { tray, help, version, usageError };

Request requestOf(int argc, char** argv, const char** offending) {
    Request request = Request::tray;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--toggle") == 0)
            continue;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)
            request = Request::help;
        else if (std::strcmp(arg, "--version") == 0)
            request = request == Request::help ? request : Request::version;
        else {
            *offending = arg;
            return Request::usageError;
        }
    }
    return request;
}

}  // namespace

int main(int argc, char** argv) {
    if (trayline::mcp::wantsMcp(argc, argv))
        trayline::mcp::MCPServer::run();
    const char* offending = nullptr;
    switch (requestOf(argc, argv, &offending)) {
        case Request::help:
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(kHelp, stdout);
            return 0;
        case Request::version:
            if (const std::string version = trayline::AppInfo::version(); version == "dev")
                std::printf("trayline dev (a build-tree copy of %s)\n", TRAYLINE_VERSION);
            else
                std::printf("trayline %s\n", version.c_str());
            return 0;
        case Request::usageError:
            std::fprintf(stderr, "trayline: %s '%s'\n%sTry 'trayline --help' for more information.\n",
                         offending[0] == '-' ? "unknown option" : "unexpected argument", offending, kUsage);
            return 2;
        case Request::tray:
            break;
    }
    return runTray(argc, argv);
}
