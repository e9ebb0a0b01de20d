#pragma once

// OAuth 2.0 authorization code grant as the instance serves it: the authorize page
// with its consent form, the token endpoint (authorization_code and refresh_token grants, client
// credentials in the form body) and the bearer tokens the Table API checks. Thread-safe.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "table_api.h"
#include "util.h"

namespace trayline::demo {

struct OAuthClient {
    std::string id, secret, name;
    std::vector<std::string> redirectUris;
};

class OAuthServer {
public:
    OAuthServer(OAuthClient client, int lifetimeSeconds);

    struct Page {
        int status = 200;
        std::string contentType = "text/html;charset=UTF-8";
        std::string body;
        std::string location;  // set for 302 redirects
    };
    // GET /oauth_auth.do. With autoApprove the request redirects at once with a code.
    Page authorize(const QueryParams& params, bool autoApprove, const std::string& userSysId,
                   const std::string& userName, const std::string& instanceName);
    // POST /oauth_auth.do from the consent page (decision "allow" or "deny").
    Page decide(const QueryParams& form, const std::string& userSysId);
    // POST /oauth_token.do.
    HttpReply token(const std::string& contentType, const std::string& body);

    struct Tokens {
        std::string accessToken, refreshToken;
        int expiresIn;
    };
    Tokens issue(const std::string& userSysId);
    // The user of a valid access token; nothing for an unknown or expired one.
    std::optional<std::string> userForAccessToken(const std::string& token) const;

    void expireAccessTokens();
    void revokeRefreshTokens();
    void setLifetime(int seconds);
    int lifetime() const;

private:
    struct Code {
        std::string clientId, redirectUri, userSysId;
        util::TimePoint expiresAt;
    };
    struct Access {
        std::string userSysId;
        util::TimePoint expiresAt;
    };
    // The authorize request's client and redirect URI, or an error page.
    std::optional<Page> checkClient(const QueryParams& params) const;
    Page redirectWithCode(const std::string& redirectUri, const std::string& state, const std::string& userSysId);
    Tokens issueLocked(const std::string& userSysId, const std::string& refreshToken);

    OAuthClient client_;
    mutable std::mutex mutex_;
    int lifetime_;
    std::map<std::string, Code> codes_;
    std::map<std::string, Access> access_;
    std::map<std::string, std::string> refresh_;  // refresh token -> user sys_id
};

}  // namespace trayline::demo
