#pragma once

// The OAuth token endpoint: code exchange and refresh share this one request.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/auth/token_set.h"
#include "core/platform/keychain.h"

namespace trayline {

using Form = std::vector<std::pair<std::string, std::string>>;

inline constexpr std::string_view kRedirectURI = "http://localhost:8765/callback";

// key=value pairs joined with "&"; keys and values keep only Unicode letters, marks, numbers and
// "-._~" unencoded (a space is %20, never "+").
std::string formEncode(const Form& form);

// The token endpoint's JSON reply: "access_token" (string), "refresh_token" (string, null or
// absent), "expires_in" (integer seconds). Throws DecodingError otherwise.
struct TokenResponse {
    std::string accessToken;
    std::string refreshToken;
    long long expiresIn = 0;
    static TokenResponse decode(std::string_view body);
};

// Lifetime with the safety margin: max(expiresIn - 60, 60) seconds after `received`.
Instant expiryFor(long long expiresIn, Instant received);

// POSTs the form plus the client credentials (the secret from `keychain`) to
// <instance>/oauth_token.do. Status 200 → the new token set; any other status →
// AuthError::badResponse; transport failures pass through.
TokenSet tokenRequest(Form form, const Keychain& keychain);

}  // namespace trayline
