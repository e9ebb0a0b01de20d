#include "core/platform/http_proxy.h"

#include <proxy.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace trayline::http::detail {

namespace {

using Clock = std::chrono::steady_clock;
// Long enough that a poll's requests share one answer, short enough that a changed desktop
// setting applies within the next poll.
constexpr auto kKeep = std::chrono::seconds(30);

struct FactoryDeleter {
    void operator()(pxProxyFactory* f) const { px_proxy_factory_free(f); }
};
struct ProxiesDeleter {
    void operator()(char** list) const { px_proxy_factory_free_proxies(list); }
};

// scheme://host:port of a URL: what a proxy choice can depend on besides the path, which PAC
// files rarely look at and which would defeat the cache.
std::string originOf(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    const auto end = url.find_first_of("/?#", scheme + 3);
    return url.substr(0, end == std::string::npos ? url.size() : end);
}

// The proxy variables take part in the key: a process that changes them gets a fresh answer.
std::string environmentKey() {
    std::string key;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        const char* value = std::getenv(name);
        key += value ? value : "";
        key += '\n';
    }
    return key;
}

struct Resolver {
    std::mutex mutex;
    std::unique_ptr<pxProxyFactory, FactoryDeleter> factory{px_proxy_factory_new()};
    struct Entry {
        std::optional<std::string> proxy;
        Clock::time_point until;
    };
    std::map<std::string, Entry> cache;
};

// Never destroyed: freeing the factory at exit tears down a PAC file's JavaScript engine while its
// own threads still run, which crashed processes on their way out.
Resolver& resolver() {
    static Resolver& r = *new Resolver;
    return r;
}

}  // namespace

std::optional<std::string> curlProxy(const std::string& answer) {
    const auto colon = answer.find("://");
    if (colon == std::string::npos)
        return std::nullopt;
    const auto scheme = answer.substr(0, colon);
    const auto rest = answer.substr(colon + 3);
    if (scheme == "direct")
        return std::string();
    if (rest.empty())
        return std::nullopt;
    if (scheme == "http" || scheme == "https" || scheme == "socks4" || scheme == "socks4a")
        return answer;
    // libproxy's "socks" is SOCKS 5; let the proxy resolve host names, as a browser would.
    if (scheme == "socks" || scheme == "socks5")
        return "socks5h://" + rest;
    return std::nullopt;
}

std::optional<std::string> proxyFor(const std::string& url) {
    auto& r = resolver();
    const auto key = environmentKey() + originOf(url);
    std::lock_guard lock(r.mutex);
    const auto now = Clock::now();
    if (const auto it = r.cache.find(key); it != r.cache.end() && it->second.until > now)
        return it->second.proxy;
    std::optional<std::string> chosen;
    if (r.factory) {
        const std::unique_ptr<char*, ProxiesDeleter> list(px_proxy_factory_get_proxies(r.factory.get(), url.c_str()));
        // The first choice curl can use; libproxy lists them in order of preference.
        for (char** p = list.get(); p && *p && !chosen; ++p)
            chosen = curlProxy(*p);
    }
    if (r.cache.size() > 64)
        r.cache.clear();
    r.cache[key] = {chosen, now + kKeep};
    return chosen;
}

}  // namespace trayline::http::detail
