#pragma once

// A per-user request limit on the Table API, as an instance's rate limit rules impose it: a fixed
// window of `windowSeconds`, `limit` requests in it; past that, 429 with Retry-After and the
// X-RateLimit-* headers until the window ends. Requests refused do not count.

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "table_api.h"

namespace trayline::demo {

class RateLimiter {
public:
    // limit 0 turns the rule off.
    void configure(int limit, long long windowSeconds);
    // For a request by `user` at `now` (Unix seconds): nothing to add when the rule is off, else the
    // headers to send and, once the limit is spent, the 429 reply to send instead.
    struct Verdict {
        std::vector<std::pair<std::string, std::string>> headers;
        std::optional<HttpReply> refusal;
    };
    Verdict admit(const std::string& user, long long now);

private:
    std::mutex mutex_;
    int limit_ = 0;
    long long window_ = 3600;
    struct Usage {
        long long windowStart = 0;
        int used = 0;
    };
    std::map<std::string, Usage> usage_;
};

}  // namespace trayline::demo
