// When a rate-limited or overloaded instance lets us ask again, read from its reply's headers.

#include "core/platform/http_retry.h"

#include <gtest/gtest.h>

namespace trayline::http {
namespace {

struct RetryRow {
    long status;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<long long> waitSeconds;  // none: the reply asks for no wait
    bool noted;                            // the wait is not the one the reply named
};

class RetryAfterTest : public ::testing::TestWithParam<RetryRow> {};

TEST_P(RetryAfterTest, IsTheInstancesTimeBoundedToASecondAndAnHour) {
    const Instant now = *parseUtc("2026-12-07 12:00:00");
    const long long epoch = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    Response reply;
    reply.status = GetParam().status;
    for (auto [name, value] : GetParam().headers) {
        if (value.starts_with("epoch+"))
            value = std::to_string(epoch + std::stoll(value.substr(6)));
        reply.headers.emplace_back(name, value);
    }
    const auto retry = retryAfterOf(reply, now);
    ASSERT_EQ(retry.has_value(), GetParam().waitSeconds.has_value());
    if (!retry)
        return;
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(retry->at - now).count(), *GetParam().waitSeconds);
    EXPECT_EQ(!retry->note.empty(), GetParam().noted) << retry->note;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RetryAfterTest,
    ::testing::Values(RetryRow{429, {{"Retry-After", "38"}}, 38, false},
                      RetryRow{429, {{"retry-after", " Mon, 07 Dec 2026 12:02:00 GMT"}}, 120, false},
                      RetryRow{429, {{"Retry-After", "86400"}}, 3600, true},
                      RetryRow{429, {{"Retry-After", "99999999999999999999999"}}, 3600, true},
                      RetryRow{429, {{"Retry-After", "-5"}}, 1, true},
                      RetryRow{429, {{"Retry-After", "Mon, 07 Dec 2026 11:00:00 GMT"}}, 1, true},
                      RetryRow{429, {{"Retry-After", "soon"}}, 60, true},
                      RetryRow{429, {{"X-RateLimit-Reset", "epoch+90"}}, 90, false},
                      RetryRow{429, {{"X-RateLimit-Reset", "epoch+90"}, {"Retry-After", "5"}}, 5, false},
                      RetryRow{429, {}, 60, true},
                      RetryRow{503, {{"Retry-After", "10"}}, 10, false},
                      RetryRow{503, {}, std::nullopt, false},
                      RetryRow{500, {{"Retry-After", "10"}}, std::nullopt, false}));

}  // namespace
}  // namespace trayline::http
