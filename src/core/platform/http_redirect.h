#pragma once

// Which redirects send() and download() follow when a request asks for it, and what each hop
// sends.

#include <string>
#include <vector>

#include "core/platform/http.h"

namespace trayline::http {

// 301, 302, 303, 307 and 308.
bool isFollowedRedirect(long status);

// The request for the hop from `from` to `target` (absolute), or RedirectError when that hop is
// refused. `visited` holds every URL requested so far, the first included; the target is added.
Request nextHop(const Request& from, const std::string& target, long status,
                std::vector<std::string>& visited, int maxRedirects);

}  // namespace trayline::http
