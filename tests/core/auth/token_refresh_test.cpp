// Access-token acquisition and refresh against the demo instance's token endpoint.

#include <gtest/gtest.h>

#include <thread>

#include "core/auth/auth_error.h"
#include "core/auth/token_request.h"
#include "core/auth/token_store.h"
#include "core/platform/decoding_error.h"
#include "support/demo_fixture.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;

TEST(FormEncode, EncodesEverythingButUnicodeLettersNumbersAndUnreserved) {
    EXPECT_EQ(formEncode({{"grant_type", "refresh_token"}, {"refresh_token", "a b=c&d+e/f"}, {"név", "Ürün ½"}}),
              "grant_type=refresh_token&refresh_token=a%20b%3Dc%26d%2Be%2Ff&név=Ürün%20½");
    EXPECT_EQ(formEncode({{"refresh_token", ""}}), "refresh_token=");
}

struct ExpiryCase {
    long long expiresIn;
    long long validFor;
};
class ExpiryMarginTest : public ::testing::TestWithParam<ExpiryCase> {};

TEST_P(ExpiryMarginTest, SubtractsSixtySecondsWithAFloorOfSixty) {
    const Instant received{std::chrono::seconds(1'700'000'000)};
    EXPECT_EQ(expiryFor(GetParam().expiresIn, received) - received, std::chrono::seconds(GetParam().validFor));
}

INSTANTIATE_TEST_SUITE_P(Lifetimes, ExpiryMarginTest,
                         ::testing::Values(ExpiryCase{1800, 1740}, ExpiryCase{3600, 3540}, ExpiryCase{121, 61},
                                           ExpiryCase{120, 60}, ExpiryCase{30, 60}, ExpiryCase{0, 60},
                                           ExpiryCase{-5000, 60}));

TEST(TokenResponse, DecodesStrictlyButAllowsAMissingRefreshToken) {
    const auto r = TokenResponse::decode(R"({"access_token":"a","refresh_token":null,"expires_in":60,"scope":"x"})");
    EXPECT_EQ(r.accessToken, "a");
    EXPECT_EQ(r.refreshToken, "");
    for (const char* bad : {R"({"access_token":"a","expires_in":"3600"})", R"({"expires_in":3600})",
                            R"({"access_token":1,"expires_in":3600})", R"({"access_token":"a","expires_in":1.5})",
                            R"({"access_token":"a","refresh_token":5,"expires_in":1})", "[]", "<html>",
                            R"({"access_token":"a","expires_in":60,"x":1e400})"})
        EXPECT_THROW(TokenResponse::decode(bad), DecodingError) << bad;
}

class RefreshTest : public ::testing::Test {
protected:
    void SetUp() override {
        demo.signIn(-1);  // stored but expired: the next acquisition refreshes
        demo.instance().reset();
    }
    std::size_t tokenRequests() { return demo.countRequests("POST", "/oauth_token.do"); }
    test::DemoProfile demo;
};

TEST_F(RefreshTest, ValidTokenIsHandedOutWithoutARequest) {
    demo.signIn(600);
    const auto stored = TokenStore::load()->accessToken;
    EXPECT_EQ(TokenStore::shared().accessToken(), stored);
    EXPECT_EQ(TokenStore::shared().accessToken("some-older-token"), stored);
    EXPECT_EQ(tokenRequests(), 0u);
}

TEST_F(RefreshTest, ExpiredTokenIsRefreshedAndTheRefreshTokenCarriedOver) {
    const auto before = *TokenStore::load();
    demo.instance().failNext(1, 200, R"({"access_token":"fresh","expires_in":3600})");
    EXPECT_EQ(TokenStore::shared().accessToken(), "fresh");
    const auto after = *TokenStore::load();
    EXPECT_EQ(after.refreshToken, before.refreshToken);
    EXPECT_GT(after.expiresAt, std::chrono::system_clock::now() + 3500s);
    const auto log = demo.instance().requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].body.find("grant_type=refresh_token&refresh_token=" + before.refreshToken), std::string::npos);
}

TEST_F(RefreshTest, EightCallersThatFindTheTokenExpiredShareOneRefresh) {
    demo.instance().setLatency(200ms);
    std::vector<std::string> tokens(8);
    std::vector<std::thread> threads;
    for (auto& t : tokens)
        threads.emplace_back([&t] { t = TokenStore::shared().accessToken(); });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(tokenRequests(), 1u);
    for (const auto& t : tokens)
        EXPECT_EQ(t, TokenStore::load()->accessToken);
}

TEST_F(RefreshTest, WaitingCallersShareAFailureTooAndTheSetIsKept) {
    demo.instance().setLatency(200ms);
    demo.instance().failNext(1, 503, "maintenance");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            try {
                TokenStore::shared().accessToken();
            } catch (const AuthError& e) {
                failures += e.status() == 503;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures, 8);
    EXPECT_EQ(tokenRequests(), 1u);
    EXPECT_TRUE(TokenStore::load());
}

TEST_F(RefreshTest, RefusedRefreshClearsTheSet) {
    demo.instance().revokeRefreshTokens();
    try {
        TokenStore::shared().accessToken();
        FAIL();
    } catch (const AuthError& e) {
        EXPECT_TRUE(e.status() == 400 || e.status() == 401);
        EXPECT_TRUE(std::string(e.what()).starts_with("Request failed (HTTP 4"));
    }
    EXPECT_FALSE(TokenStore::load());
}

TEST_F(RefreshTest, SignOutDuringARefreshWins) {
    demo.instance().setLatency(300ms);
    std::exception_ptr error;
    std::thread refresher([&] {
        try {
            TokenStore::shared().accessToken();
        } catch (...) {
            error = std::current_exception();
        }
    });
    std::this_thread::sleep_for(100ms);
    TokenStore::shared().clear();
    refresher.join();
    EXPECT_FALSE(TokenStore::load()) << "the refreshed set must not sign the user back in";
    ASSERT_TRUE(error);
    try {
        std::rethrow_exception(error);
    } catch (const AuthError& e) {
        EXPECT_EQ(e.kind(), AuthError::Kind::notSignedIn);
    }
}

TEST_F(RefreshTest, NobodySignedInIsReportedWithTheSignInHint) {
    TokenStore::shared().clear();
    try {
        TokenStore::shared().accessToken();
        FAIL();
    } catch (const AuthError& e) {
        EXPECT_STREQ(e.what(), "Not signed in. Open Trayline and click \u201CSign in\u201D to authenticate via SSO.");
    }
    EXPECT_EQ(tokenRequests(), 0u);
}

TEST(AuthErrorText, CutsTheBodyToTwoHundredCharacters) {
    const std::string body(150, 'a');
    const auto e = AuthError::badResponse(502, body + std::string(350, '\xC3') );
    EXPECT_STREQ(e.what(), "Request failed (HTTP 502): ") << "a body that is not UTF-8 shows as nothing";
    const auto long_ = AuthError::badResponse(400, std::string(500, 'x'));
    EXPECT_EQ(std::string(long_.what()), "Request failed (HTTP 400): " + std::string(200, 'x'));
    const auto emoji = AuthError::badResponse(500, std::string(300, 'e') + "\U0001F600");
    EXPECT_EQ(std::string(emoji.what()).size(), std::string("Request failed (HTTP 500): ").size() + 200);
}

}  // namespace
}  // namespace trayline
