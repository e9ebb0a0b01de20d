#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace trayline {

// The shell script that swaps the bundles once the app (process `pid`) has exited and starts the
// new one: "$1" is the new bundle, "$2" the installed one, "$3" (optional) the work directory that
// held the new bundle, removed once the swap succeeded. If the installed bundle cannot be moved
// aside nothing is touched; if the new one cannot be moved in, the old one is put back; both exit 1.
std::string installerScript(long pid);

// The command that runs the script in its own session, so it outlives the app.
std::vector<std::string> installerCommand(const std::filesystem::path& script,
                                          const std::filesystem::path& newBundle,
                                          const std::filesystem::path& installedBundle,
                                          const std::filesystem::path& workDirectory);

}  // namespace trayline
