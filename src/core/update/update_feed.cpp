#include "core/update/update_feed.h"

#include "core/platform/http.h"
#include "core/platform/url.h"
#include "core/update/update_error.h"

namespace trayline {

UpdateManifest fetchUpdateManifest(const std::string& feedURL, const std::atomic<bool>* cancel) {
    if (!isValidURL(feedURL))
        throw UpdateError::badFeed("bad feed URL");
    http::Request request;
    request.url = feedURL;
    request.timeout = kFeedTimeout;
    request.noCache = true;
    request.cancel = cancel;
    const http::Response reply = http::send(request);
    if (reply.status != 0 && reply.status != 200)
        throw UpdateError::badFeed("HTTP " + std::to_string(reply.status));
    return UpdateManifest::fromJson(reply.body);
}

}  // namespace trayline
