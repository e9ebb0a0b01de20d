#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace trayline {

// SHA-256 of a file's content as 64 lower-case hex digits, read in pieces. Throws
// std::system_error when the file cannot be read.
std::string sha256OfFile(const std::filesystem::path& file);

// The same digest of bytes in memory.
std::string sha256Of(std::string_view data);

}  // namespace trayline
