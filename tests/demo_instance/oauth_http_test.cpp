// The OAuth authorization-code flow over HTTP, and the bearer-token check.

#include <gtest/gtest.h>

#include "http_helpers.h"

namespace trayline::demo {
namespace {

using namespace testing;
using nlohmann::json;

Params authorizeParams(const std::string& state = "3F2504E0-4F89-41D3-9A0C-0305E82C3301") {
    return {{"response_type", "code"}, {"client_id", kClientId}, {"redirect_uri", kRedirectUri}, {"state", state}};
}

// A query parameter of a redirect's Location.
std::string locationParam(const httplib::Result& r, const std::string& name) {
    const std::string loc = r->get_header_value("Location");
    for (const auto& [k, v] : util::parseQueryString(loc.substr(loc.find('?') + 1)))
        if (k == name) return v;
    return "<absent>";
}

httplib::Result token(httplib::Client& cli, Params p, const std::string& secret = kClientSecret) {
    p.insert(p.end(), {{"client_id", kClientId}, {"client_secret", secret}});
    return cli.Post("/oauth_token.do", form(p), "application/x-www-form-urlencoded");
}

Params codeGrant(const std::string& code, const std::string& redirect = kRedirectUri) {
    return {{"grant_type", "authorization_code"}, {"code", code}, {"redirect_uri", redirect}};
}

class OAuthTest : public ::testing::Test {
protected:
    httplib::Result consent(const std::string& decision, const std::string& state = "S1") {
        Params p = authorizeParams(state);
        p.emplace_back("decision", decision);
        return cli.Post("/oauth_auth.do", form(p), "application/x-www-form-urlencoded");
    }
    std::string code() { return locationParam(consent("allow"), "code"); }

    DemoInstance instance;
    httplib::Client cli{started(instance)};
};

TEST_F(OAuthTest, CodesAreSingleUseAndBoundToTheRedirectUri) {
    auto allowed = consent("allow", "STATE-1");
    ASSERT_EQ(allowed->status, 302);
    EXPECT_EQ(allowed->get_header_value("Location").rfind(std::string(kRedirectUri) + "?code=", 0), 0u);
    EXPECT_EQ(locationParam(allowed, "state"), "STATE-1");
    const std::string first = locationParam(allowed, "code");
    const json tokens = body(token(cli, codeGrant(first)));
    EXPECT_TRUE(tokens["access_token"].is_string() && tokens["refresh_token"].is_string()) << tokens;
    EXPECT_EQ(tokens["expires_in"], 1800);

    const auto other = code();
    for (const auto& used : {token(cli, codeGrant(first)), token(cli, codeGrant(other, "http://localhost:8765/other"))}) {
        EXPECT_EQ(used->status, 400);
        EXPECT_EQ(body(used)["error"], "invalid_grant");
    }
}

TEST_F(OAuthTest, UnknownClientOrRedirectGetsAnErrorPageAndNoRedirect) {
    Params badClient = authorizeParams(), badRedirect = authorizeParams();
    badClient[1].second = "someone-else";
    badRedirect[2].second = "http://evil.example/callback";
    for (auto p : {badClient, badRedirect}) {
        const auto shown = withQuery("/oauth_auth.do", p);
        p.emplace_back("decision", "allow");
        const auto decided = form(p);
        for (const auto& r : {cli.Get(shown), cli.Post("/oauth_auth.do", decided, "application/x-www-form-urlencoded")}) {
            EXPECT_EQ(r->status, 400);
            EXPECT_FALSE(r->has_header("Location"));
        }
    }
}

TEST_F(OAuthTest, BearerTokenIsRequiredAndMustBeCurrent) {
    const std::string path = tasksPath({{"sysparm_limit", "1"}});
    const auto t = instance.issueTokens();
    for (const auto& refused : {cli.Get(path), cli.Get(path, bearer("forged"))}) {
        EXPECT_EQ(refused->status, 401);
        EXPECT_EQ(body(refused), json::parse(R"({"error":{"message":"User Not Authenticated",)"
                                             R"("detail":"Required to provide Auth information"},"status":"failure"})"));
    }
    EXPECT_EQ(cli.Get(path, bearer(t.accessToken))->status, 200);
    EXPECT_EQ(cli.Get(path, {{"Authorization", "Basic " + t.accessToken}})->status, 401);
    instance.expireAccessTokens();
    EXPECT_EQ(cli.Get(path, bearer(t.accessToken))->status, 401);
}

}  // namespace
}  // namespace trayline::demo
