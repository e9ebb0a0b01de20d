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

TEST(TokenResponse, KeepsSixtySecondsOfMarginWithAFloorOfSixty) {
    const Instant received{1'700'000'000s};
    for (const auto& [expiresIn, validFor] : {std::pair{1800, 1740}, {121, 61}, {120, 60}, {30, 60}, {-5000, 60}})
        EXPECT_EQ(expiryFor(expiresIn, received) - received, std::chrono::seconds(validFor)) << expiresIn;
}

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

TEST(AuthErrorText, CutsTheBodyToTwoHundredCharactersAndDropsOneThatIsNotUtf8) {
    EXPECT_STREQ(AuthError::badResponse(502, std::string(150, 'a') + std::string(350, '\xC3')).what(),
                 "Request failed (HTTP 502): ");
    EXPECT_EQ(std::string(AuthError::badResponse(400, std::string(500, 'x')).what()),
              "Request failed (HTTP 400): " + std::string(200, 'x'));
    EXPECT_EQ(std::string(AuthError::badResponse(500, std::string(199, 'e') + "\U0001F600!").what()),
              "Request failed (HTTP 500): " + std::string(199, 'e') + "\U0001F600");
}

class RefreshTest : public ::testing::Test {
protected:
    void SetUp() override {
        demo.signIn(-1);  // stored but expired: the next acquisition refreshes
        demo.instance().reset();
    }
    std::size_t tokenRequests() { return demo.countRequests("POST", "/oauth_token.do"); }
    // Runs accessToken() on eight threads at once; the failures' statuses (0: none).
    std::vector<int> eightCallers() {
        std::vector<int> statuses(8);
        std::vector<std::thread> threads;
        for (auto& status : statuses)
            threads.emplace_back([&status] {
                try {
                    TokenStore::shared().accessToken();
                    status = 0;
                } catch (const AuthError& e) {
                    status = e.status();
                }
            });
        for (auto& thread : threads)
            thread.join();
        return statuses;
    }
    test::DemoProfile demo;
};

TEST_F(RefreshTest, AValidTokenIsHandedOutWithoutARequest) {
    demo.signIn(600);
    const auto stored = TokenStore::load()->accessToken;
    EXPECT_EQ(TokenStore::shared().accessToken(), stored);
    EXPECT_EQ(TokenStore::shared().accessToken("some-older-token"), stored);
    EXPECT_EQ(tokenRequests(), 0u);
}

TEST_F(RefreshTest, EightCallersThatFindTheTokenExpiredShareOneRefreshThatKeepsTheRefreshToken) {
    const auto before = *TokenStore::load();
    demo.instance().setLatency(200ms);
    demo.instance().failNext(1, 200, R"({"access_token":"fresh","expires_in":3600})");
    EXPECT_EQ(eightCallers(), std::vector<int>(8, 0));
    EXPECT_EQ(tokenRequests(), 1u);
    const auto after = *TokenStore::load();
    EXPECT_EQ(after.accessToken, "fresh");
    EXPECT_EQ(after.refreshToken, before.refreshToken);
    EXPECT_GT(after.expiresAt, std::chrono::system_clock::now() + 3500s);
    EXPECT_NE(demo.instance().requestLog()[0].body.find("grant_type=refresh_token&refresh_token=" + before.refreshToken),
              std::string::npos);
}

TEST_F(RefreshTest, WaitingCallersShareAFailureTooAndTheSetIsKept) {
    demo.instance().setLatency(200ms);
    demo.instance().failNext(1, 503, "maintenance");
    EXPECT_EQ(eightCallers(), std::vector<int>(8, 503));
    EXPECT_EQ(tokenRequests(), 1u);
    EXPECT_TRUE(TokenStore::load());
}

TEST_F(RefreshTest, ARefusedRefreshSignsOut) {
    demo.instance().revokeRefreshTokens();
    EXPECT_THROW(TokenStore::shared().accessToken(), AuthError);
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
        ADD_FAILURE() << "got a token";
    } catch (const AuthError& e) {
        EXPECT_STREQ(e.what(), "Not signed in. Open Trayline and click \u201CSign in\u201D to authenticate via SSO.");
    }
    EXPECT_EQ(tokenRequests(), 0u);
}

}  // namespace
}  // namespace trayline
