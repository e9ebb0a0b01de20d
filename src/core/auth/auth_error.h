#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "core/platform/http_retry.h"

namespace trayline {

// Failures of sign-in, token handling and Table API requests; what() is the text users see.
class AuthError : public std::runtime_error {
public:
    enum class Kind { badResponse, notConfigured, notSignedIn };

    // An HTML body (a proxy's or gateway's error page) is shown as its title or text, not markup.
    // `retryAfter`: the reply is a rate limit or an overload that says when to come back.
    static AuthError badResponse(long status, std::string body, std::string_view contentType = {},
                                 std::optional<http::RetryAfter> retryAfter = std::nullopt);
    static AuthError notConfigured();
    static AuthError notSignedIn();

    Kind kind() const { return kind_; }
    long status() const { return status_; }        // badResponse only; 0 when not HTTP
    const std::string& body() const { return body_; }  // badResponse only
    // badResponse only: no request before this time, as the instance asked.
    const std::optional<http::RetryAfter>& retryAfter() const { return retryAfter_; }

private:
    AuthError(Kind kind, const std::string& message, long status, std::string body);
    Kind kind_;
    long status_;
    std::string body_;
    std::optional<http::RetryAfter> retryAfter_;
};

}  // namespace trayline
