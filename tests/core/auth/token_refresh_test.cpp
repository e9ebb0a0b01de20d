// Access-token acquisition and refresh against the demo instance's token endpoint.

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <utility>

#include "core/auth/auth_error.h"
#include "core/auth/token_request.h"
#include "core/auth/token_store.h"
#include "core/platform/decoding_error.h"
#include "support/demo_fixture.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;

TEST(TokenResponse, DecodesStrictlyAndKeepsSixtySecondsOfMarginWithAFloorOfSixty) {
    const auto r = TokenResponse::decode(R"({"access_token":"a","refresh_token":null,"expires_in":60,"x":1})");
    EXPECT_EQ(r.accessToken, "a");
    EXPECT_EQ(r.refreshToken, "");
    for (const char* bad : {R"({"access_token":"a","expires_in":"3600"})", R"({"expires_in":3600})", "[]",
                            R"({"access_token":1,"expires_in":3600})", R"({"access_token":"a","expires_in":1.5})",
                            R"({"access_token":"a","refresh_token":5,"expires_in":1})", "<html>"})
        EXPECT_THROW(TokenResponse::decode(bad), DecodingError) << bad;
    const Instant received{1'700'000'000s};
    for (const auto& [expiresIn, validFor] : {std::pair{1800, 1740}, {121, 61}, {120, 60}, {30, 60}, {-5000, 60}})
        EXPECT_EQ(expiryFor(expiresIn, received) - received, std::chrono::seconds(validFor)) << expiresIn;
}

TEST(AuthErrorText, ShowsTheFirstTwoHundredCharactersOfABodyThatIsUtf8) {
    EXPECT_STREQ(AuthError::badResponse(502, "ok \xC3").what(), "Request failed (HTTP 502): ");
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
    // accessToken() on eight threads at once.
    static std::vector<std::future<std::string>> eightCallers() {
        std::vector<std::future<std::string>> calls;
        for (int i = 0; i < 8; ++i)
            calls.push_back(std::async(std::launch::async, [] { return TokenStore::shared().accessToken(); }));
        return calls;
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
    for (auto& call : eightCallers())
        EXPECT_EQ(call.get(), "fresh");
    EXPECT_EQ(tokenRequests(), 1u);
    const auto after = *TokenStore::load();
    EXPECT_EQ(after.accessToken, "fresh");
    EXPECT_EQ(after.refreshToken, before.refreshToken);
    EXPECT_GT(after.expiresAt, std::chrono::system_clock::now() + 3500s);
    const auto body = demo.instance().requestLog()[0].body;
    EXPECT_NE(body.find("grant_type=refresh_token&refresh_token=" + before.refreshToken), std::string::npos);
}

TEST_F(RefreshTest, WaitingCallersShareAFailureTooAndTheSetIsKept) {
    demo.instance().setLatency(200ms);
    demo.instance().failNext(1, 503, "maintenance");
    for (auto& call : eightCallers())
        EXPECT_THROW(call.get(), AuthError);
    EXPECT_EQ(tokenRequests(), 1u);
    EXPECT_TRUE(TokenStore::load());
}

TEST_F(RefreshTest, ARefusedRefreshSignsOutSoTheNextCallMakesNoRequest) {
    demo.instance().revokeRefreshTokens();
    EXPECT_THROW(TokenStore::shared().accessToken(), AuthError);
    EXPECT_FALSE(TokenStore::load());
    EXPECT_THROW(TokenStore::shared().accessToken(), AuthError);
    EXPECT_EQ(tokenRequests(), 1u);
}

TEST_F(RefreshTest, SignOutDuringARefreshWins) {
    demo.instance().setLatency(300ms);
    auto refresh = std::async(std::launch::async, [] { return TokenStore::shared().accessToken(); });
    std::this_thread::sleep_for(100ms);  // the refresh request is under way
    TokenStore::shared().clear();
    EXPECT_THROW(refresh.get(), AuthError);
    EXPECT_FALSE(TokenStore::load()) << "the refreshed set must not sign the user back in";
}

// The profile's keychain; `afterTokensRead` runs once, between reading the tokens item and handing
// it out, so a sign-out (or a new sign-in) can land exactly there.
class Interleaved final : public SecretStore {
public:
    std::optional<std::string> get(const std::string& account) override {
        auto data = inner_->get(account);
        if (account == TokenStore::kAccount && afterTokensRead)
            std::exchange(afterTokensRead, nullptr)();
        return data;
    }
    bool set(const std::string& account, const std::string& data) override { return inner_->set(account, data); }
    bool remove(const std::string& account) override { return inner_->remove(account); }
    std::function<void()> afterTokensRead;

private:
    std::shared_ptr<SecretStore> inner_ = SecretStore::forCurrentUser();
};

struct Interleaving {
    const char* name;
    bool refreshRefused;  // the instance answers the refresh with 401
    bool signInAgain;     // a new sign-in follows the sign-out
    bool otherProcess;    // a second store on the same item (the MCP server's) signs out and in
};

void PrintTo(const Interleaving& row, std::ostream* os) { *os << row.name; }

class RefreshInterleavingTest : public RefreshTest, public ::testing::WithParamInterface<Interleaving> {};

// A sign-out right after the refresh read the tokens: the refresh must neither store its new set
// nor, when refused, remove a set that a newer sign-in stored, whichever process signed out. A
// newer set from another process is what the refresh hands out.
TEST_P(RefreshInterleavingTest, ASignOutThatLandsAfterTheTokensWereReadWins) {
    const auto row = GetParam();
    auto store = std::make_shared<Interleaved>();
    TokenStore tokens{Keychain([store] { return store; })};
    TokenStore otherProcess{Keychain([store] { return store; })};
    auto& signsOut = row.otherProcess ? otherProcess : tokens;
    const TokenSet newer{"newer", "newer-refresh", std::chrono::system_clock::now() + 1h};
    store->afterTokensRead = [&] {
        signsOut.clear();
        if (row.signInAgain)
            signsOut.save(newer);
    };
    if (row.refreshRefused)
        demo.instance().revokeRefreshTokens();
    if (row.otherProcess && row.signInAgain)
        EXPECT_EQ(tokens.accessToken(), "newer");
    else
        EXPECT_THROW(tokens.accessToken(), AuthError);
    const auto kept = tokens.read();
    EXPECT_EQ(kept ? kept->accessToken : "signed out", row.signInAgain ? "newer" : "signed out");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RefreshInterleavingTest,
    ::testing::Values(Interleaving{"RefreshSucceeds", false, false, false},
                      Interleaving{"RefreshSucceedsAfterANewSignIn", false, true, false},
                      Interleaving{"RefreshRefusedAfterANewSignIn", true, true, false},
                      Interleaving{"RefreshSucceedsAfterAnotherProcessSignedOut", false, false, true},
                      Interleaving{"RefreshSucceedsAfterAnotherProcessSignedIn", false, true, true},
                      Interleaving{"RefreshRefusedAfterAnotherProcessSignedIn", true, true, true}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace trayline
