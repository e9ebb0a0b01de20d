// The OAuth authorization-code flow end to end over HTTP, and the bearer-token check.

#include <gtest/gtest.h>

#include "http_helpers.h"

namespace trayline::demo {
namespace {

using namespace testing;
using nlohmann::json;

Params authorizeParams(const std::string& state = "3F2504E0-4F89-41D3-9A0C-0305E82C3301") {
    return {{"response_type", "code"}, {"client_id", kClientId}, {"redirect_uri", kRedirectUri}, {"state", state}};
}

// The query parameters of a redirect's Location.
Params locationParams(const httplib::Result& r) {
    const std::string loc = r->get_header_value("Location");
    const auto q = loc.find('?');
    return q == std::string::npos ? Params{} : util::parseQueryString(loc.substr(q + 1));
}

std::string paramOf(const Params& p, const std::string& name) {
    for (const auto& [k, v] : p)
        if (k == name) return v;
    return "<absent>";
}

class OAuthTest : public ::testing::Test {
protected:

    httplib::Result consent(const std::string& decision, const std::string& state = "S1") {
        Params p = authorizeParams(state);
        p.emplace_back("decision", decision);
        return cli.Post("/oauth_auth.do", form(p), "application/x-www-form-urlencoded");
    }
    std::string codeFromConsent() { return paramOf(locationParams(consent("allow")), "code"); }
    httplib::Result token(const Params& p, const std::string& secret = kClientSecret) {
        Params all = p;
        all.emplace_back("client_id", kClientId);
        all.emplace_back("client_secret", secret);
        return cli.Post("/oauth_token.do", form(all), "application/x-www-form-urlencoded");
    }
    httplib::Result exchange(const std::string& code, const std::string& redirect = kRedirectUri) {
        return token({{"grant_type", "authorization_code"}, {"code", code}, {"redirect_uri", redirect}});
    }

    DemoInstance instance;
    httplib::Client cli{started(instance)};
};

TEST_F(OAuthTest, AllowRedirectsWithCodeAndStateAndTheCodeBuysTokens) {
    auto r = consent("allow", "STATE-1");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 302);
    const std::string loc = r->get_header_value("Location");
    EXPECT_EQ(loc.rfind(std::string(kRedirectUri) + "?code=", 0), 0u) << loc;
    const Params p = locationParams(r);
    EXPECT_EQ(paramOf(p, "state"), "STATE-1");

    auto t = exchange(paramOf(p, "code"));
    ASSERT_TRUE(t);
    ASSERT_EQ(t->status, 200) << t->body;
    const json tokens = body(t);
    EXPECT_TRUE(tokens["access_token"].is_string());
    EXPECT_TRUE(tokens["refresh_token"].is_string());
    EXPECT_EQ(tokens["expires_in"], 1800);
}

TEST_F(OAuthTest, UnknownClientOrRedirectGetsAnErrorPageAndNoRedirect) {
    Params badClient = authorizeParams();
    badClient[1].second = "someone-else";
    Params badRedirect = authorizeParams();
    badRedirect[2].second = "http://evil.example/callback";
    for (const auto& p : {badClient, badRedirect}) {
        auto r = cli.Get(withQuery("/oauth_auth.do", p));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400);
        EXPECT_FALSE(r->has_header("Location"));
        Params post = p;
        post.emplace_back("decision", "allow");
        auto d = cli.Post("/oauth_auth.do", form(post), "application/x-www-form-urlencoded");
        EXPECT_EQ(d->status, 400);
        EXPECT_FALSE(d->has_header("Location"));
    }
}

TEST_F(OAuthTest, CodesAreSingleUseAndBoundToTheRedirectUri) {
    const std::string code = codeFromConsent();
    ASSERT_EQ(exchange(code)->status, 200);
    auto again = exchange(code);
    EXPECT_EQ(again->status, 400);
    EXPECT_EQ(body(again)["error"], "invalid_grant");

    auto mismatch = exchange(codeFromConsent(), "http://localhost:8765/other");
    EXPECT_EQ(mismatch->status, 400);
    EXPECT_EQ(body(mismatch)["error"], "invalid_grant");
}

TEST_F(OAuthTest, WrongClientSecretIsRefusedTheWayServiceNowWordsIt) {
    auto r = token({{"grant_type", "authorization_code"}, {"code", codeFromConsent()}, {"redirect_uri", kRedirectUri}},
                   "tray line/demo-secret");  // what a "+" becomes when a client forgets to encode it
    EXPECT_EQ(r->status, 401);
    EXPECT_EQ(body(r), json::parse(R"({"error":"server_error","error_description":"access_denied"})"));
}

TEST_F(OAuthTest, RefreshGrantMintsANewAccessTokenUntilRevoked) {
    const json first = body(exchange(codeFromConsent()));
    auto r = token({{"grant_type", "refresh_token"}, {"refresh_token", first["refresh_token"]}});
    ASSERT_EQ(r->status, 200);
    const json second = body(r);
    EXPECT_NE(second["access_token"], first["access_token"]);
    EXPECT_EQ(second["refresh_token"], first["refresh_token"]);

    auto unknown = token({{"grant_type", "refresh_token"}, {"refresh_token", "nope"}});
    EXPECT_EQ(unknown->status, 401);
    instance.revokeRefreshTokens();
    EXPECT_EQ(token({{"grant_type", "refresh_token"}, {"refresh_token", first["refresh_token"]}})->status, 401);
    EXPECT_EQ(token({{"grant_type", "password"}})->status, 400);
}

TEST_F(OAuthTest, BearerTokenIsRequiredAndMustBeCurrent) {
    const std::string path = withQuery("/api/now/table/sc_task", {{"sysparm_limit", "1"}});
    const json expected = json::parse(
        R"({"error":{"message":"User Not Authenticated","detail":"Required to provide Auth information"},"status":"failure"})");
    auto none = cli.Get(path);
    EXPECT_EQ(none->status, 401);
    EXPECT_EQ(body(none), expected);
    auto unknown = cli.Get(path, bearer("forged"));
    EXPECT_EQ(unknown->status, 401);
    EXPECT_EQ(body(unknown), expected);

    const auto t = instance.issueTokens();
    EXPECT_EQ(cli.Get(path, bearer(t.accessToken))->status, 200);
    EXPECT_EQ(cli.Get(path, {{"Authorization", "Basic " + t.accessToken}})->status, 401);
    instance.expireAccessTokens();
    EXPECT_EQ(cli.Get(path, bearer(t.accessToken))->status, 401);
}

TEST(OAuthOptions, AutoApproveRedirectsAtOnceAndLifetimeIsConfigurable) {
    Options o;
    o.autoApprove = true;
    o.tokenLifetimeSeconds = 120;
    DemoInstance instance(o);
    instance.start();
    httplib::Client cli(instance.baseUrl());
    auto r = cli.Get(withQuery("/oauth_auth.do", authorizeParams("XYZ")));
    ASSERT_EQ(r->status, 302);
    const Params p = locationParams(r);
    EXPECT_EQ(paramOf(p, "state"), "XYZ");
    auto t = cli.Post("/oauth_token.do",
                      form({{"grant_type", "authorization_code"}, {"code", paramOf(p, "code")}, {"redirect_uri", kRedirectUri},
                            {"client_id", kClientId}, {"client_secret", kClientSecret}}),
                      "application/x-www-form-urlencoded");
    ASSERT_EQ(t->status, 200);
    EXPECT_EQ(body(t)["expires_in"], 120);
    EXPECT_EQ(instance.issueTokens().expiresIn, 120);
}

}  // namespace
}  // namespace trayline::demo
