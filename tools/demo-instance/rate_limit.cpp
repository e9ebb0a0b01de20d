#include "rate_limit.h"

namespace trayline::demo {

void RateLimiter::configure(int limit, long long windowSeconds) {
    std::lock_guard lock(mutex_);
    limit_ = limit < 0 ? 0 : limit;
    window_ = windowSeconds < 1 ? 1 : windowSeconds;
    usage_.clear();
}

RateLimiter::Verdict RateLimiter::admit(const std::string& user, long long now) {
    std::lock_guard lock(mutex_);
    Verdict v;
    if (limit_ == 0)
        return v;
    Usage& u = usage_[user];
    if (now >= u.windowStart + window_)
        u = Usage{now, 0};
    const long long reset = u.windowStart + window_;
    const bool refused = u.used >= limit_;
    if (!refused)
        ++u.used;
    v.headers = {{"X-RateLimit-Limit", std::to_string(limit_)},
                 {"X-RateLimit-Remaining", std::to_string(limit_ - u.used)},
                 {"X-RateLimit-Reset", std::to_string(reset)}};
    if (refused) {
        HttpReply r = errorReply(429, "Rate limit exceeded",
                                 std::string("Too many requests for this user; try again after the window resets"));
        r.headers = v.headers;
        r.headers.emplace_back("Retry-After", std::to_string(reset - now));
        v.refusal = std::move(r);
    }
    return v;
}

}  // namespace trayline::demo
