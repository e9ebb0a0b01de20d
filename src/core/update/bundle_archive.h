#pragma once

#include <filesystem>
#include <optional>

namespace trayline {

// Extracts the zip archive into `destination` (an existing directory). Directories and files with
// any execute bit get mode 0755, other files 0644, whatever the archive says. Entries with absolute paths or ".." components, symlinks pointing
// outside the destination and anything written through a symlink are refused. Throws
// UpdateError::badDownload "could not unzip (<reason>)"; what was extracted before stays.
void unpackArchive(const std::filesystem::path& archive, const std::filesystem::path& destination);

// The first (by name) directory named "*.app" directly inside `directory`; symlinks do not count.
// Throws std::filesystem::filesystem_error when the directory cannot be listed.
std::optional<std::filesystem::path> findAppBundle(const std::filesystem::path& directory);

}  // namespace trayline
