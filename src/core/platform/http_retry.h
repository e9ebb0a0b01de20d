#pragma once

// When a rate-limited or overloaded server lets us ask again.

#include <optional>
#include <string>

#include "core/platform/http.h"
#include "core/platform/time.h"

namespace trayline::http {

struct RetryAfter {
    Instant at;        // no request before this
    std::string note;  // empty when the server's own time is used, else why another one is
};

// Shortest and longest waits taken from a server: a value outside them is brought inside.
inline constexpr std::chrono::seconds kMinRetryWait{1};
inline constexpr std::chrono::seconds kMaxRetryWait{3600};
// The wait after a 429 that says nothing usable about when to come back.
inline constexpr std::chrono::seconds kDefaultRetryWait{60};

// What a 429, or a 503 that names a time, asks of us: "Retry-After" (seconds, or an HTTP date),
// else "X-RateLimit-Reset" (Unix time in seconds). Other replies ask nothing.
std::optional<RetryAfter> retryAfterOf(const Response& reply, Instant now);

}  // namespace trayline::http
