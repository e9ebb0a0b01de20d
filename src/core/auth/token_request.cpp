#include "core/auth/token_request.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/auth/auth_error.h"
#include "core/platform/decoding_error.h"
#include "core/platform/http.h"
#include "core/platform/text.h"
#include "core/settings/instance_url.h"
#include "core/settings/config.h"

namespace trayline {

std::string formEncode(const Form& form) {
    std::string out;
    for (const auto& [key, value] : form) {
        if (!out.empty())
            out += '&';
        out += text::encodeFormComponent(key) + '=' + text::encodeFormComponent(value);
    }
    return out;
}

TokenResponse TokenResponse::decode(std::string_view body) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {  // also number overflow, not only syntax
        throw DecodingError(std::string("The token reply is not valid JSON (") + e.what() + ").");
    }
    if (!j.is_object())
        throw DecodingError("The token reply is not a JSON object.");
    TokenResponse r;
    const auto access = j.find("access_token");
    if (access == j.end() || !access->is_string())
        throw DecodingError("The token reply has no text \"access_token\".");
    r.accessToken = access->get<std::string>();
    if (const auto refresh = j.find("refresh_token"); refresh != j.end() && !refresh->is_null()) {
        if (!refresh->is_string())
            throw DecodingError("The token reply's \"refresh_token\" is not text.");
        r.refreshToken = refresh->get<std::string>();
    }
    const auto expires = j.find("expires_in");
    if (expires == j.end() || !expires->is_number_integer())
        throw DecodingError("The token reply has no integer \"expires_in\".");
    // Clamped to decades either way, which keeps the expiry arithmetic in range.
    if (expires->is_number_unsigned())
        r.expiresIn = static_cast<long long>(std::min<std::uint64_t>(expires->get<std::uint64_t>(), INT32_MAX));
    else
        r.expiresIn = std::clamp<long long>(expires->get<long long>(), -INT32_MAX, INT32_MAX);
    return r;
}

Instant expiryFor(long long expiresIn, Instant received) {
    return received + std::chrono::seconds(std::max(expiresIn - 60, 60LL));
}

TokenSet tokenRequest(Form form, const Keychain& keychain) {
    const auto base = currentInstanceURL();
    form.emplace_back("client_id", Config::clientID());
    form.emplace_back("client_secret", Config::clientSecret(keychain));

    http::Request request;
    request.method = "POST";
    request.url = base + "/oauth_token.do";
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    request.body = formEncode(form);
    request.timeout = std::chrono::seconds(60);
    const auto response = http::send(request);
    if (response.status != 200)
        throw AuthError::badResponse(response.status, response.body, response.header("Content-Type").value_or(""),
                                     http::retryAfterOf(response, std::chrono::system_clock::now()));
    const auto decoded = TokenResponse::decode(response.body);
    return TokenSet{decoded.accessToken, decoded.refreshToken,
                    expiryFor(decoded.expiresIn, std::chrono::system_clock::now())};
}

}  // namespace trayline
