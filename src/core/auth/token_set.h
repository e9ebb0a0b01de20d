#pragma once

// TokenSet: the stored OAuth token record and its keychain form, one compact JSON
// object {"accessToken":…,"expiresAt":…,"refreshToken":…} whose "expiresAt" is a JSON number of
// seconds (fraction kept) since 2001-01-01 00:00:00 UTC.

#include "core/platform/time.h"

#include <optional>
#include <string>
#include <string_view>

namespace trayline {

struct TokenSet {
    std::string accessToken;
    std::string refreshToken;  // may be empty
    Instant expiresAt;

    bool operator==(const TokenSet&) const = default;

    // The keychain payload. nullopt when it cannot be encoded (a token that is not valid UTF-8).
    std::optional<std::string> toJson() const;
    // Reads the keychain payload: a JSON object with all three members of exactly these types
    // (strings and a number); other members are ignored. Anything else gives nullopt.
    static std::optional<TokenSet> fromJson(std::string_view json);
};

}  // namespace trayline
