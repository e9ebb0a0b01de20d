#include "core/platform/url.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace trayline {

namespace {

struct UrlFree {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlStrFree {
    void operator()(char* p) const { curl_free(p); }
};

std::optional<std::string> part(CURLU* u, CURLUPart which, unsigned flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(u, which, &raw, flags) != CURLUE_OK)
        return std::nullopt;
    const std::unique_ptr<char, CurlStrFree> owned(raw);
    return std::string(raw);
}

}  // namespace

std::optional<ParsedURL> parseURL(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::unique_ptr<CURLU, UrlFree> u(curl_url());
    if (!u)
        return std::nullopt;
    const std::string owned(text);
    if (curl_url_set(u.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    ParsedURL result;
    result.scheme = part(u.get(), CURLUPART_SCHEME).value_or("");
    result.host = part(u.get(), CURLUPART_HOST).value_or("");
    result.port = part(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT).value_or("");
    result.path = part(u.get(), CURLUPART_PATH).value_or("");
    std::transform(result.scheme.begin(), result.scheme.end(), result.scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (result.host.size() >= 2 && result.host.front() == '[' && result.host.back() == ']')
        result.host = result.host.substr(1, result.host.size() - 2);
    return result;
}

std::optional<std::filesystem::path> localFilePath(std::string_view url) {
    const auto parsed = parseURL(url);
    if (!parsed || parsed->scheme != "file")
        return std::nullopt;
    if (!parsed->host.empty() && !isLoopbackHost(parsed->host))
        return std::nullopt;
    const std::unique_ptr<CURLU, UrlFree> u(curl_url());
    const std::string owned(url);
    if (!u || curl_url_set(u.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    const auto path = part(u.get(), CURLUPART_PATH, CURLU_URLDECODE);
    // A decoded NUL would cut the path short of what the URL says.
    if (!path || path->find('\0') != std::string::npos)
        return std::nullopt;
    return std::filesystem::path(*path);
}

bool isLoopbackHost(std::string_view host) {
    std::string h(host);
    std::transform(h.begin(), h.end(), h.begin(), [](unsigned char c) { return std::tolower(c); });
    if (h == "localhost")
        return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, h.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, h.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

}  // namespace trayline
