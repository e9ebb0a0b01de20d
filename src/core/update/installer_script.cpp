#include "core/update/installer_script.h"

namespace trayline {

std::string installerScript(long pid) {
    const char* const lines[] = {
        "#!/bin/sh",
        "# $1 = freshly unpacked bundle, $2 = installed bundle to replace",
        nullptr,  // the wait for the app's exit
        "/bin/rm -rf \"$2.old\"",
        "/bin/mv \"$2\" \"$2.old\" || exit 1",
        "if ! /bin/mv \"$1\" \"$2\"; then",
        "    /bin/mv \"$2.old\" \"$2\"",
        "    exit 1",
        "fi",
        "/bin/rm -rf \"$2.old\"",
        "[ -n \"$3\" ] && /bin/rm -rf \"$3\"",
        "setsid \"$2/Contents/bin/trayline\" >/dev/null 2>&1 &",
    };
    std::string script;
    for (const char* line : lines) {
        if (!script.empty())
            script += '\n';
        script += line ? std::string(line)
                       : "while kill -0 " + std::to_string(pid) + " 2>/dev/null; do sleep 0.2; done";
    }
    return script;
}

std::vector<std::string> installerCommand(const std::filesystem::path& script,
                                          const std::filesystem::path& newBundle,
                                          const std::filesystem::path& installedBundle,
                                          const std::filesystem::path& workDirectory) {
    return {"setsid", "/bin/sh", script.string(), newBundle.string(), installedBundle.string(),
            workDirectory.string()};
}

}  // namespace trayline
