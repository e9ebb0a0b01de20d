#include "core/settings/instance_url.h"

#include "core/platform/url.h"
#include "core/settings/config.h"

namespace trayline {

std::string checkedInstanceURL(std::string_view url) {
    const auto parsed = parseURL(url);
    if (!parsed || parsed->host.empty())
        throw InstanceURLError("The instance URL \u201C" + std::string(url) +
                               "\u201D is not a valid URL. Check it in Settings.");
    if (parsed->scheme == "http" && !isLoopbackHost(parsed->host))
        throw InstanceURLError("Refusing to send credentials over plain HTTP to " + parsed->host +
                               "; use an https:// instance URL.");
    if (parsed->scheme != "https" && parsed->scheme != "http")
        throw InstanceURLError("The instance URL \u201C" + std::string(url) +
                               "\u201D must start with https://.");
    return std::string(url);
}

std::string currentInstanceURL() { return checkedInstanceURL(Config::instanceURL()); }

}  // namespace trayline
