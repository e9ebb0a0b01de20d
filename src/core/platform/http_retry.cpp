#include "core/platform/http_retry.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>

#include "core/platform/text.h"

namespace trayline::http {

namespace {

using std::chrono::seconds;

std::optional<long long> wholeNumber(const std::string& text) {
    long long n = 0;
    const auto* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, n);
    if (ec != std::errc() || at != end)
        return std::nullopt;
    return n;
}

// The instant a header names, or nothing when it names none.
std::optional<Instant> namedInstant(const std::string& name, const std::string& value, Instant now) {
    if (name == "Retry-After") {
        if (const auto delay = wholeNumber(value)) {
            // Far beyond an hour is as good as forever: keep the arithmetic away from overflow.
            const long long bounded = std::clamp<long long>(*delay, -1, kMaxRetryWait.count() + 1);
            return now + seconds(bounded);
        }
        if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos)
            return now + kMaxRetryWait + seconds(1);  // too many digits for a number: forever
        const time_t when = curl_getdate(value.c_str(), nullptr);
        if (when == -1)
            return std::nullopt;
        return std::chrono::system_clock::from_time_t(when);
    }
    const auto epoch = wholeNumber(value);  // X-RateLimit-Reset
    if (!epoch)
        return std::nullopt;
    const long long nowSeconds = std::chrono::duration_cast<seconds>(now.time_since_epoch()).count();
    return now + seconds(std::clamp<long long>(*epoch - nowSeconds, -1, kMaxRetryWait.count() + 1));
}

}  // namespace

std::optional<RetryAfter> retryAfterOf(const Response& reply, Instant now) {
    if (reply.status != 429 && reply.status != 503)
        return std::nullopt;
    for (const char* name : {"Retry-After", "X-RateLimit-Reset"}) {
        const auto raw = reply.header(name);
        if (!raw)
            continue;
        const std::string value = text::trimmed(*raw);
        const auto at = namedInstant(name, value, now);
        if (!at)
            return RetryAfter{now + kDefaultRetryWait,
                              "the instance's " + std::string(name) + " \u201C" + text::prefixGraphemes(value, 40) +
                                  "\u201D could not be read, so Trayline waits a minute"};
        if (*at > now + kMaxRetryWait)
            return RetryAfter{now + kMaxRetryWait, "the instance asked for a longer wait; Trayline waits at most an hour"};
        if (*at < now + kMinRetryWait)
            return RetryAfter{now + kMinRetryWait, "the instance's retry time had already passed"};
        return RetryAfter{*at, {}};
    }
    if (reply.status == 503)
        return std::nullopt;  // overloaded, but no word on when: an ordinary failure
    return RetryAfter{now + kDefaultRetryWait, "the instance named no retry time, so Trayline waits a minute"};
}

}  // namespace trayline::http
