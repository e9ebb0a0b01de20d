// The token set's keychain form, and TokenStore and Keychain over a private file store.

#include "core/auth/token_store.h"
#include "core/platform/secret_file_backend.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace trayline {
namespace {

class TokenStoreTest : public ::testing::Test {
protected:
    test::TempProfile profile;
    std::shared_ptr<SecretStore> file = std::make_shared<SecretFileBackend>(profile.root() / "k.json");
    Keychain keychain{[f = file] { return f; }};
    TokenStore store{keychain};
};

TEST_F(TokenStoreTest, SavesTheCompactFormWithSecondsSince2001AndReadsItBack) {
    EXPECT_EQ(store.read(), std::nullopt);
    const TokenSet tokens{"a", "r", Instant{std::chrono::milliseconds(1767225600500)}};  // 2026
    store.save(tokens);
    EXPECT_EQ(file->get("tokens"), R"({"accessToken":"a","expiresAt":788918400.5,"refreshToken":"r"})");
    EXPECT_EQ(store.read(), tokens);
}

TEST_F(TokenStoreTest, AnUnencodableSetKeepsThePreviousOneAndClearRemovesOnlyTheTokens) {
    store.save({"good", "r", Instant{}});
    store.save({"bad\xFF", "r", Instant{}});
    EXPECT_EQ(store.read()->accessToken, "good");
    keychain.set("secret", "clientSecret");
    store.clear();
    store.clear();
    EXPECT_EQ(store.read(), std::nullopt);
    EXPECT_EQ(keychain.get("clientSecret"), "secret");
}

// A keyring item holding bytes that are not UTF-8.
struct Latin1Store final : SecretStore {
    std::optional<std::string> get(const std::string&) override { return "caf\xE9"; }
    bool set(const std::string&, const std::string&) override { return false; }
    void remove(const std::string&) override {}
};

TEST(Keychain, ReadsBytesThatAreNotUtf8AsAbsentAndNeverThrows) {
    EXPECT_EQ(Keychain([] { return std::make_shared<Latin1Store>(); }).get("tokens"), std::nullopt);
    const Keychain gone([]() -> std::shared_ptr<SecretStore> { throw std::runtime_error("gone"); });
    EXPECT_EQ(gone.get("tokens"), std::nullopt);
    EXPECT_NO_THROW(TokenStore(gone).save({"a", "r", Instant{}}));
    EXPECT_NO_THROW(TokenStore(gone).clear());
}

TEST_F(TokenStoreTest, AGuardedSaveRacingASignOutNeverLeavesASetBehind) {
    for (int round = 0; round < 50; ++round) {
        const auto seen = store.generation();
        std::thread refresher([&] { store.saveIfGeneration({"late", "r", Instant{}}, seen); });
        store.clear();
        refresher.join();
        EXPECT_EQ(store.read(), std::nullopt) << "round " << round;
    }
}

TEST_F(TokenStoreTest, ReadsOnlyWellFormedPayloadsAndLeavesTheItemAsItIs) {
    const std::pair<std::string, bool> payloads[] = {
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":1.5})", true},
        {R"({"accessToken":"a","refreshToken":"","expiresAt":-3})", true},
        {R"({ "expiresAt" : 7, "scope":null, "refreshToken":"r", "accessToken":"a" })", true},
        {"accessToken=a", false},
        {"", false},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":1)", false},
        {R"([{"accessToken":"a","refreshToken":"r","expiresAt":1}])", false},
        {R"({"accessToken":"a","expiresAt":1})", false},
        {R"({"refreshToken":"r","expiresAt":1})", false},
        {R"({"accessToken":"a","refreshToken":"r"})", false},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":"2026-03-04T10:00:00Z"})", false},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":"796000000"})", false},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":null})", false},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":5e10})", false},
        {R"({"accessToken":"a","refreshToken":"r","expiresAt":1e400})", false},
        {R"({"accessToken":"a","refreshToken":null,"expiresAt":1})", false},
        {R"({"accessToken":5,"refreshToken":"r","expiresAt":1})", false},
    };
    for (const auto& [payload, loads] : payloads) {
        file->set("tokens", payload);
        EXPECT_EQ(store.read().has_value(), loads) << payload;
        EXPECT_EQ(file->get("tokens"), payload);
    }
}

}  // namespace
}  // namespace trayline
