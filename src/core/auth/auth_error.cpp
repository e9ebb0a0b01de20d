#include "core/auth/auth_error.h"

#include "core/platform/text.h"

namespace trayline {

AuthError::AuthError(Kind kind, const std::string& message, long status, std::string body)
    : std::runtime_error(message), kind_(kind), status_(status), body_(std::move(body)) {}

AuthError AuthError::badResponse(long status, std::string body) {
    // Bodies that are not UTF-8 are shown as nothing rather than as mojibake.
    if (!text::isValidUtf8(body))
        body.clear();
    const auto message =
        "Request failed (HTTP " + std::to_string(status) + "): " + text::prefixGraphemes(body, 200);
    return AuthError(Kind::badResponse, message, status, std::move(body));
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
