// TokenSet's keychain form and TokenStore load/save/clear, over the file backend.

#include "core/auth/token_store.h"
#include "core/platform/keychain.h"
#include "isolated_secrets.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

namespace trayline {
namespace {

using test::IsolatedSecrets;

// Writes a raw "tokens" payload the way another process of the app would have left it.
void putTokensItem(const std::string& payload) {
    SecretStore::forCurrentUser()->set(TokenStore::kAccount, payload);
}

class TokenStorage : public IsolatedSecrets {};

TEST_F(TokenStorage, NoItemMeansSignedOut) {
    EXPECT_EQ(TokenStore::load(), std::nullopt);
}

TEST_F(TokenStorage, SaveWritesTheCompactFormAndLoadReadsItBack) {
    const TokenSet tokens{"access", "refresh", fromSecondsSinceReferenceDate(796000000.5)};
    TokenStore::shared().save(tokens);

    const auto payload = Keychain::get("tokens");
    ASSERT_TRUE(payload);
    EXPECT_EQ(*payload,
              R"({"accessToken":"access","expiresAt":796000000.5,"refreshToken":"refresh"})");
    EXPECT_EQ(TokenStore::load(), tokens);
}

TEST_F(TokenStorage, ExpiryIsSecondsSince2001NotUnixSecondsNorADateString) {
    // 2026-01-01T00:00:00Z is 1767225600 Unix seconds.
    const Instant newYear{std::chrono::seconds(1767225600)};
    TokenStore::shared().save({"a", "r", newYear});
    const auto j = nlohmann::json::parse(*Keychain::get("tokens"));
    ASSERT_TRUE(j["expiresAt"].is_number());
    EXPECT_DOUBLE_EQ(j["expiresAt"].get<double>(), 1767225600.0 - 978307200.0);
}

TEST_F(TokenStorage, ClearDeletesTheItemAndClearingTwiceIsHarmless) {
    TokenStore::shared().save({"a", "r", Instant{}});
    Keychain::set("secret", "clientSecret");
    TokenStore::shared().clear();
    EXPECT_EQ(TokenStore::load(), std::nullopt);
    EXPECT_EQ(Keychain::get("tokens"), std::nullopt);
    TokenStore::shared().clear();
    EXPECT_EQ(Keychain::get("clientSecret"), "secret");
}

TEST_F(TokenStorage, TokenThatCannotBeEncodedStoresNothingAndKeepsThePreviousSet) {
    TokenStore::shared().save({"good", "r", Instant{}});
    TokenStore::shared().save({"bad\xFF", "r", Instant{}});
    EXPECT_EQ(TokenStore::load()->accessToken, "good");
}

// Sign-out wins: a refresh that was in flight when the user signed out does not sign them back in.
TEST_F(TokenStorage, SignOutWinsOverARefreshThatStartedBeforeIt) {
    auto& store = TokenStore::shared();
    store.save({"a1", "r1", Instant{}});

    const auto seen = store.generation();  // a refresh starts
    store.clear();                         // the user signs out meanwhile
    EXPECT_GT(store.generation(), seen);
    EXPECT_FALSE(store.saveIfGeneration({"a2", "r2", Instant{}}, seen));
    EXPECT_EQ(TokenStore::load(), std::nullopt);

    // A refresh that starts after the sign-out (e.g. after a new sign-in) stores normally.
    EXPECT_TRUE(store.saveIfGeneration({"a3", "r3", Instant{}}, store.generation()));
    EXPECT_EQ(TokenStore::load()->accessToken, "a3");
}

TEST_F(TokenStorage, ClearAndGuardedSavesFromManyThreadsNeverResurrectAClearedSet) {
    auto& store = TokenStore::shared();
    auto memory = std::make_shared<test::MemorySecretStore>();
    SecretStore::setForTesting(memory);
    for (int round = 0; round < 50; ++round) {
        const auto seen = store.generation();
        std::thread refresher([&] { store.saveIfGeneration({"late", "r", Instant{}}, seen); });
        std::thread signOut([&] { store.clear(); });
        refresher.join();
        signOut.join();
        // Either the save ran first and the clear removed it, or the clear ran first and the
        // save was refused: never is a set left behind.
        EXPECT_EQ(TokenStore::load(), std::nullopt) << "round " << round;
    }
}

TEST_F(TokenStorage, LoadReadsAfreshEveryTimeSoOtherWritersAreSeen) {
    TokenStore::shared().save({"mine", "r", Instant{}});
    putTokensItem(R"({"accessToken":"theirs","refreshToken":"r","expiresAt":0})");
    EXPECT_EQ(TokenStore::load()->accessToken, "theirs");
}

TEST_F(TokenStorage, KeychainTreatsBytesThatAreNotUtf8AsAbsent) {
    auto memory = std::make_shared<test::MemorySecretStore>();
    memory->items["tokens"] =
        "{\"accessToken\":\"\xC3\x28\",\"refreshToken\":\"\",\"expiresAt\":1}";
    memory->items["clientSecret"] = "";
    SecretStore::setForTesting(memory);

    EXPECT_EQ(Keychain::get("tokens"), std::nullopt);
    EXPECT_EQ(TokenStore::load(), std::nullopt);
    EXPECT_EQ(Keychain::get("clientSecret"), std::optional<std::string>(""));
    EXPECT_EQ(memory->items.count("tokens"), 1u) << "a read must leave the item untouched";
}

TEST_F(TokenStorage, KeychainWriteFailuresAreSilent) {
    auto memory = std::make_shared<test::MemorySecretStore>();
    memory->failWrites = true;
    SecretStore::setForTesting(memory);
    EXPECT_NO_THROW(TokenStore::shared().save({"a", "r", Instant{}}));
    EXPECT_EQ(TokenStore::load(), std::nullopt);
}

// ---- decoding table: each payload, stored as the "tokens" item, loads or reads as absent -----

struct DecodeCase {
    const char* name;
    std::string payload;
    bool loads;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class TokenDecoding : public IsolatedSecrets, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(TokenDecoding, LoadsOnlyWellFormedPayloadsAndLeavesTheItemUntouched) {
    const auto& c = GetParam();
    putTokensItem(c.payload);
    EXPECT_EQ(TokenStore::load().has_value(), c.loads);
    EXPECT_EQ(SecretStore::forCurrentUser()->get("tokens"), c.payload);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, TokenDecoding,
    ::testing::Values(
        DecodeCase{"Complete", R"({"accessToken":"a","refreshToken":"r","expiresAt":1.5})", true},
        DecodeCase{"IntegerExpiry", R"({"accessToken":"a","refreshToken":"r","expiresAt":7})",
                   true},
        DecodeCase{"NegativeExpiry", R"({"accessToken":"a","refreshToken":"r","expiresAt":-3.25})",
                   true},
        DecodeCase{"ExtraMembersIgnored",
                   R"({"accessToken":"a","refreshToken":"r","expiresAt":1,"scope":"x","n":null})",
                   true},
        DecodeCase{"MembersInAnyOrderWithWhitespace",
                   "{ \"expiresAt\" : 1 ,\n \"refreshToken\":\"\", \"accessToken\":\"a\" }", true},
        DecodeCase{"EmptyRefreshToken", R"({"accessToken":"a","refreshToken":"","expiresAt":1})",
                   true},
        DecodeCase{"NotJson", "accessToken=a", false}, DecodeCase{"Empty", "", false},
        DecodeCase{"TruncatedJson", R"({"accessToken":"a","refreshToken":"r","expiresAt":1)",
                   false},
        DecodeCase{"JsonArray", R"([{"accessToken":"a","refreshToken":"r","expiresAt":1}])", false},
        DecodeCase{"JsonString", R"("a")", false},
        DecodeCase{"MissingRefreshToken", R"({"accessToken":"a","expiresAt":1})", false},
        DecodeCase{"MissingAccessToken", R"({"refreshToken":"r","expiresAt":1})", false},
        DecodeCase{"MissingExpiry", R"({"accessToken":"a","refreshToken":"r"})", false},
        DecodeCase{"ExpiryAsIsoDate",
                   R"({"accessToken":"a","refreshToken":"r","expiresAt":"2026-03-04T10:00:00Z"})",
                   false},
        DecodeCase{"ExpiryAsNumericString",
                   R"({"accessToken":"a","refreshToken":"r","expiresAt":"796000000"})", false},
        DecodeCase{"ExpiryNull", R"({"accessToken":"a","refreshToken":"r","expiresAt":null})",
                   false},
        DecodeCase{"ExpiryBoolean", R"({"accessToken":"a","refreshToken":"r","expiresAt":true})",
                   false},
        DecodeCase{"ExpiryOutOfRange",
                   R"({"accessToken":"a","refreshToken":"r","expiresAt":1e300})", false},
        DecodeCase{"ExpiryBeyondNanosecondRange",
                   R"({"accessToken":"a","refreshToken":"r","expiresAt":5e10})", false},
        DecodeCase{"ExpiryOverflowing",
                   R"({"accessToken":"a","refreshToken":"r","expiresAt":1e400})", false},
        DecodeCase{"RefreshTokenNull", R"({"accessToken":"a","refreshToken":null,"expiresAt":1})",
                   false},
        DecodeCase{"AccessTokenNumber", R"({"accessToken":5,"refreshToken":"r","expiresAt":1})",
                   false}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace trayline
