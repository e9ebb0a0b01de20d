#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "core/update/update_manifest.h"

namespace trayline {

inline constexpr std::chrono::seconds kFeedTimeout{20};
// Release feeds and archives commonly sit behind a redirect or two (a CDN, a release asset).
inline constexpr int kUpdateMaxRedirects = 10;

// Fetches and decodes the feed: one GET, 20 s time-out for all hops, bypassing caches, following
// up to kUpdateMaxRedirects redirects but never from https to http. A "file:" URL is read from
// disk. Throws UpdateError::badFeed for a URL that does not parse ("bad feed URL"), a status
// other than 200 ("HTTP <status>"), a refused redirect (its reason) or an unreadable local
// feed, http::TransportError for other transport failures and DecodingError for a body that is
// not a manifest. A reply that is not HTTP counts as 200. `trustedCertificatesPEM` replaces the
// system's CA bundle when not empty.
UpdateManifest fetchUpdateManifest(const std::string& feedURL,
                                   const std::atomic<bool>* cancel = nullptr,
                                   const std::string& trustedCertificatesPEM = {});

}  // namespace trayline
