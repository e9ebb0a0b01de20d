#pragma once

// Which proxy a request goes through, as the desktop is set up: the proxy environment variables
// (with no_proxy), the desktop's own proxy settings, and PAC files or WPAD, all as libproxy reads
// them. Answers are kept for a short while per origin, so a poll's requests ask once.

#include <optional>
#include <string>

namespace trayline::http::detail {

// For `url`: "" for a direct connection, else the proxy URL to hand to curl ("http://host:3128",
// "socks5h://host:1080"). Nothing when libproxy cannot answer: curl then reads the environment
// itself. May take a moment the first time for an origin (a PAC file is fetched and run), so
// callers ask once on their own thread before a request reaches the I/O thread.
std::optional<std::string> proxyFor(const std::string& url);

// libproxy's answer ("direct://", "http://h:p", "socks5://h:p", ...) in curl's terms.
std::optional<std::string> curlProxy(const std::string& libproxyAnswer);

}  // namespace trayline::http::detail
