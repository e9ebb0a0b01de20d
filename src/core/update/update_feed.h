#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "core/update/update_manifest.h"

namespace trayline {

inline constexpr std::chrono::seconds kFeedTimeout{20};

// Fetches and decodes the feed: one GET, 20 s time-out, bypassing caches. Throws
// UpdateError::badFeed for a URL that does not parse ("bad feed URL") or a status other than 200
// ("HTTP <status>"), http::TransportError for transport failures and DecodingError for a body that
// is not a manifest. A reply that is not HTTP counts as 200.
UpdateManifest fetchUpdateManifest(const std::string& feedURL,
                                   const std::atomic<bool>* cancel = nullptr);

}  // namespace trayline
