// trayline: the tray application, or with "--mcp" the headless MCP server.
//
// This executable links only the core. The tray application lives in libtrayline-tray.so, loaded
// here only when it runs, so the MCP server starts fast and never maps a Qt library.

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/mcp/mcp_server.h"
#include "core/platform/paths.h"

namespace {

constexpr const char* kTrayLibrary = "libtrayline-tray.so";
constexpr const char* kTrayEntry = "trayline_tray_main";

// Beside the executable (build tree), or in the bundle's Contents/lib beside Contents/bin.
int runTray(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path dir = trayline::paths::executablePath().parent_path();
    std::string tried;
    for (const fs::path& path : {dir / kTrayLibrary, dir.parent_path() / "lib" / kTrayLibrary}) {
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

}  // namespace

int main(int argc, char** argv) {
    if (trayline::mcp::wantsMcp(argc, argv))
        trayline::mcp::MCPServer::run();
    return runTray(argc, argv);
}
