#include "core/update/update_feed.h"

#include "core/platform/atomic_file.h"
#include "core/platform/http.h"
#include "core/platform/url.h"
#include "core/update/update_error.h"

namespace trayline {

namespace {

std::string readFeed(const std::string& feedURL, const std::atomic<bool>* cancel,
                     const std::string& trustedCertificatesPEM) {
    // A local feed has no status: its content counts as a 200 reply.
    if (const auto path = localFilePath(feedURL)) {
        if (auto content = readWholeFile(*path))
            return std::move(*content);
        throw UpdateError::badFeed("cannot read " + path->string());
    }
    http::Request request;
    request.url = feedURL;
    request.timeout = kFeedTimeout;
    request.noCache = true;
    request.cancel = cancel;
    request.maxRedirects = kUpdateMaxRedirects;
    request.trustedCertificatesPEM = trustedCertificatesPEM;
    http::Response reply;
    try {
        reply = http::send(request);
    } catch (const http::RedirectError& e) {
        throw UpdateError::badFeed(e.what());
    }
    if (reply.status != 0 && reply.status != 200)
        throw UpdateError::badFeed("HTTP " + std::to_string(reply.status));
    return std::move(reply.body);
}

}  // namespace

UpdateManifest fetchUpdateManifest(const std::string& feedURL, const std::atomic<bool>* cancel,
                                   const std::string& trustedCertificatesPEM) {
    if (!isValidURL(feedURL))
        throw UpdateError::badFeed("bad feed URL");
    return UpdateManifest::fromJson(readFeed(feedURL, cancel, trustedCertificatesPEM));
}

}  // namespace trayline
