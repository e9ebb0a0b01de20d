#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace trayline {

struct ParsedURL {
    std::string scheme;  // lower case
    std::string host;    // without brackets for IPv6
    std::string port;    // as written, else the scheme's default ("" when it has none)
    std::string path;
};

// Parses an absolute URL the way the network layer will (libcurl's parser, spaces refused).
std::optional<ParsedURL> parseURL(std::string_view text);
inline bool isValidURL(std::string_view text) { return parseURL(text).has_value(); }

// The local path a file URL names ("file:///p", "file://localhost/p"), percent-decoded; nullopt
// for any other URL, a file URL of another host included.
std::optional<std::filesystem::path> localFilePath(std::string_view url);

// True for "localhost", 127.0.0.0/8 and ::1.
bool isLoopbackHost(std::string_view host);

}  // namespace trayline
