#include "core/auth/auth_error.h"

#include "core/platform/html_text.h"
#include "core/platform/text.h"

namespace trayline {

AuthError::AuthError(Kind kind, const std::string& message, long status, std::string body)
    : std::runtime_error(message), kind_(kind), status_(status), body_(std::move(body)) {}

AuthError AuthError::badResponse(long status, std::string body, std::string_view contentType,
                                 std::optional<http::RetryAfter> retryAfter) {
    // Bodies that are not UTF-8 are shown as nothing rather than as mojibake.
    if (!text::isValidUtf8(body))
        body.clear();
    const std::string shown = text::isHtmlContentType(contentType) ? text::htmlSummary(body) : body;
    const auto message =
        "Request failed (HTTP " + std::to_string(status) + "): " + text::prefixGraphemes(shown, 200);
    AuthError error(Kind::badResponse, message, status, std::move(body));
    error.retryAfter_ = std::move(retryAfter);
    return error;
}

AuthError AuthError::notConfigured() {
    return AuthError(Kind::notConfigured,
                     "Fill in instance URL, client ID and client secret in Settings first.", 0, {});
}

AuthError AuthError::notSignedIn() {
    return AuthError(Kind::notSignedIn,
                     "Not signed in. Open Trayline and click \u201CSign in\u201D to authenticate via SSO.",
                     0, {});
}

}  // namespace trayline
