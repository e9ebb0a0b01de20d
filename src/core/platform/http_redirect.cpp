#include "core/platform/http_redirect.h"

#include <curl/curl.h>

#include <algorithm>

#include "core/platform/text.h"
#include "core/platform/url.h"

namespace trayline::http {

bool isFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

Request nextHop(const Request& from, const std::string& target, long status,
                std::vector<std::string>& visited, int maxRedirects) {
    const auto source = parseURL(from.url);
    const auto next = parseURL(target);
    if (!next || (next->scheme != "http" && next->scheme != "https"))
        throw RedirectError(CURLE_UNSUPPORTED_PROTOCOL,
                            "redirect to another scheme refused: " + target);
    if (source && source->scheme == "https" && next->scheme == "http")
        throw RedirectError(CURLE_UNSUPPORTED_PROTOCOL,
                            "redirect from https to http refused: " + target);
    if (std::find(visited.begin(), visited.end(), target) != visited.end())
        throw RedirectError(CURLE_TOO_MANY_REDIRECTS, "redirect loop at " + target);
    if (visited.size() > static_cast<std::size_t>(maxRedirects))
        throw RedirectError(CURLE_TOO_MANY_REDIRECTS,
                            "more than " + std::to_string(maxRedirects) + " redirects");
    visited.push_back(target);

    Request hop = from;
    hop.url = target;
    // What browsers do: 303 always, 301 and 302 for a POST, go on with a plain GET.
    if ((status == 303 && hop.method != "HEAD") ||
        ((status == 301 || status == 302) && hop.method == "POST")) {
        hop.method = "GET";
        hop.body.clear();
    }
    // Credentials stay within the origin they were given for: scheme, host and port (the rule
    // curl itself applies since CVE-2022-27776).
    const bool sameOrigin = source && source->scheme == next->scheme &&
                            text::equalsIgnoringCase(source->host, next->host) &&
                            source->port == next->port;
    if (!sameOrigin)
        std::erase_if(hop.headers, [](const auto& header) {
            return text::equalsIgnoringCase(header.first, "Authorization") ||
                   text::equalsIgnoringCase(header.first, "Cookie");
        });
    return hop;
}

}  // namespace trayline::http
