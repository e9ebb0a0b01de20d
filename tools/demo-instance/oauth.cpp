#include "oauth.h"

#include <algorithm>

namespace trayline::demo {

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

std::optional<std::string> param(const QueryParams& q, const std::string& name) {
    for (const auto& [k, v] : q)
        if (k == name) return v;
    return std::nullopt;
}

std::string appendQuery(const std::string& uri, const std::string& query) {
    return uri + (uri.find('?') == std::string::npos ? "?" : "&") + query;
}

std::string page(const std::string& title, const std::string& inner) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + util::htmlEscape(title) +
           "</title>\n<style>body{font-family:system-ui,sans-serif;background:#f4f5f7;margin:0}"
           ".card{max-width:28rem;margin:4rem auto;background:#fff;border-radius:8px;padding:2rem;"
           "box-shadow:0 1px 4px rgba(0,0,0,.15)}h1{font-size:1.3rem;margin-top:0}"
           "button{font-size:1rem;padding:.5rem 1.5rem;margin-right:.5rem;border-radius:4px;border:1px solid #888}"
           "#allow{background:#1f6feb;color:#fff;border-color:#1f6feb}.error{color:#b00020}</style>\n"
           "</head><body><div class=\"card\">\n" +
           inner + "\n</div></body></html>\n";
}

OAuthServer::Page errorPage(const std::string& message) {
    OAuthServer::Page p;
    p.status = 400;
    p.body = page("Authorization error", "<h1 class=\"error\">Authorization error</h1>\n<p id=\"error\">" +
                                              util::htmlEscape(message) + "</p>");
    return p;
}

HttpReply tokenError(int status, const std::string& error, const std::string& description) {
    HttpReply r;
    r.status = status;
    r.body = ordered_json{{"error_description", description}, {"error", error}}.dump();
    return r;
}

}  // namespace

OAuthServer::OAuthServer(OAuthClient client, int lifetimeSeconds)
    : client_(std::move(client)), lifetime_(lifetimeSeconds) {}

std::optional<OAuthServer::Page> OAuthServer::checkClient(const QueryParams& params) const {
    const auto clientId = param(params, "client_id");
    if (!clientId || *clientId != client_.id)
        return errorPage("Invalid client_id: " + clientId.value_or("(missing)") +
                         ". No OAuth application with this client ID is registered on this instance.");
    const auto redirect = param(params, "redirect_uri");
    if (!redirect ||
        std::find(client_.redirectUris.begin(), client_.redirectUris.end(), *redirect) == client_.redirectUris.end())
        return errorPage("Invalid redirect_uri: " + redirect.value_or("(missing)") +
                         ". It does not match the redirect URL registered for " + client_.name + ".");
    return std::nullopt;
}

OAuthServer::Page OAuthServer::redirectWithCode(const std::string& redirectUri, const std::string& state,
                                                const std::string& userSysId) {
    const std::string code = util::randomToken(43);
    {
        std::lock_guard lock(mutex_);
        codes_[code] = {client_.id, redirectUri, userSysId, util::nowSeconds() + std::chrono::minutes{10}};
    }
    Page p;
    p.status = 302;
    p.location = appendQuery(redirectUri, "code=" + util::percentEncode(code) +
                                              (state.empty() ? "" : "&state=" + util::percentEncode(state)));
    p.body = page("Redirecting", "<p>Redirecting to <a href=\"" + util::htmlEscape(p.location) + "\">the application</a>.</p>");
    return p;
}

OAuthServer::Page OAuthServer::authorize(const QueryParams& params, bool autoApprove, const std::string& userSysId,
                                         const std::string& userName, const std::string& instanceName) {
    if (auto error = checkClient(params)) return *error;
    const std::string redirect = *param(params, "redirect_uri");
    const std::string state = param(params, "state").value_or("");
    if (param(params, "response_type").value_or("") != "code") {
        Page p;
        p.status = 302;
        p.location = appendQuery(redirect, "error=unsupported_response_type&error_description=" +
                                               util::percentEncode("Only response_type=code is supported") +
                                               (state.empty() ? "" : "&state=" + util::percentEncode(state)));
        return p;
    }
    if (autoApprove) return redirectWithCode(redirect, state, userSysId);
    auto hidden = [](const std::string& name, const std::string& value) {
        return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + util::htmlEscape(value) + "\">";
    };
    Page p;
    p.body = page("Authorize " + client_.name,
                  "<h1>Allow " + util::htmlEscape(client_.name) + " to access your account?</h1>\n"
                  "<p><strong id=\"client\">" + util::htmlEscape(client_.name) + "</strong> wants to read and update "
                  "records on <strong>" + util::htmlEscape(instanceName) + "</strong> as <strong id=\"user\">" +
                  util::htmlEscape(userName) + "</strong>.</p>\n"
                  "<form method=\"post\" action=\"/oauth_auth.do\">\n" +
                  hidden("response_type", "code") + hidden("client_id", client_.id) + hidden("redirect_uri", redirect) +
                  hidden("state", state) +
                  "\n<button id=\"allow\" type=\"submit\" name=\"decision\" value=\"allow\">Allow</button>"
                  "<button id=\"deny\" type=\"submit\" name=\"decision\" value=\"deny\">Deny</button>\n</form>");
    return p;
}

OAuthServer::Page OAuthServer::decide(const QueryParams& form, const std::string& userSysId) {
    if (auto error = checkClient(form)) return *error;
    const std::string redirect = *param(form, "redirect_uri");
    const std::string state = param(form, "state").value_or("");
    const std::string decision = param(form, "decision").value_or("");
    if (decision == "allow") return redirectWithCode(redirect, state, userSysId);
    if (decision != "deny") return errorPage("Choose Allow or Deny.");
    Page p;
    p.status = 302;
    p.location = appendQuery(redirect, "error=access_denied&error_description=" +
                                           util::percentEncode("The user denied the authorization request.") +
                                           (state.empty() ? "" : "&state=" + util::percentEncode(state)));
    return p;
}

OAuthServer::Tokens OAuthServer::issueLocked(const std::string& userSysId, const std::string& refreshToken) {
    Tokens t;
    t.accessToken = util::randomToken(86);
    t.refreshToken = refreshToken.empty() ? util::randomToken(86) : refreshToken;
    t.expiresIn = lifetime_;
    access_[t.accessToken] = {userSysId, util::nowSeconds() + std::chrono::seconds{lifetime_}};
    refresh_[t.refreshToken] = userSysId;
    return t;
}

OAuthServer::Tokens OAuthServer::issue(const std::string& userSysId) {
    std::lock_guard lock(mutex_);
    return issueLocked(userSysId, "");
}

HttpReply OAuthServer::token(const std::string& contentType, const std::string& body) {
    if (!util::istartsWith(contentType, "application/x-www-form-urlencoded"))
        return tokenError(400, "invalid_request", "Content-Type must be application/x-www-form-urlencoded");
    const QueryParams form = util::parseQueryString(body);
    const std::string clientId = param(form, "client_id").value_or("");
    const std::string secret = param(form, "client_secret").value_or("");
    if (clientId != client_.id || secret != client_.secret) return tokenError(401, "server_error", "access_denied");
    const std::string grant = param(form, "grant_type").value_or("");
    std::lock_guard lock(mutex_);
    Tokens t;
    if (grant == "authorization_code") {
        const auto code = param(form, "code");
        if (!code || code->empty()) return tokenError(400, "invalid_request", "code is required");
        const auto it = codes_.find(*code);
        if (it == codes_.end()) return tokenError(400, "invalid_grant", "Invalid or already used authorization code");
        const Code c = it->second;
        codes_.erase(it);  // single use, also when the rest fails
        if (c.expiresAt < util::nowSeconds()) return tokenError(400, "invalid_grant", "Authorization code expired");
        if (param(form, "redirect_uri").value_or("") != c.redirectUri)
            return tokenError(400, "invalid_grant", "redirect_uri does not match the authorization request");
        t = issueLocked(c.userSysId, "");
    } else if (grant == "refresh_token") {
        const auto it = refresh_.find(param(form, "refresh_token").value_or(""));
        if (it == refresh_.end()) return tokenError(401, "server_error", "access_denied");
        t = issueLocked(it->second, it->first);
    } else if (grant.empty()) {
        return tokenError(400, "invalid_request", "grant_type is required");
    } else {
        return tokenError(400, "unsupported_grant_type", "Unsupported grant_type " + grant);
    }
    HttpReply r;
    r.body = ordered_json{{"access_token", t.accessToken}, {"refresh_token", t.refreshToken}, {"scope", "useraccount"},
                          {"token_type", "Bearer"}, {"expires_in", t.expiresIn}}
                 .dump();
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

std::optional<std::string> OAuthServer::userForAccessToken(const std::string& token) const {
    std::lock_guard lock(mutex_);
    const auto it = access_.find(token);
    if (it == access_.end() || it->second.expiresAt <= util::nowSeconds()) return std::nullopt;
    return it->second.userSysId;
}

void OAuthServer::expireAccessTokens() {
    std::lock_guard lock(mutex_);
    const auto past = util::nowSeconds() - std::chrono::seconds{1};
    for (auto& [token, a] : access_) a.expiresAt = past;
}

void OAuthServer::revokeRefreshTokens() {
    std::lock_guard lock(mutex_);
    refresh_.clear();
}

void OAuthServer::setLifetime(int seconds) {
    std::lock_guard lock(mutex_);
    lifetime_ = seconds;
}

int OAuthServer::lifetime() const {
    std::lock_guard lock(mutex_);
    return lifetime_;
}

}  // namespace trayline::demo
