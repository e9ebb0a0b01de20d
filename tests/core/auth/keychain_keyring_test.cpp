// The keychain against a real gnome-keyring-daemon. This binary runs inside
// tests/support/with-keyring: a private D-Bus session whose unlocked keyring lives in a throw-away
// directory. secret-tool (a separate libsecret client) checks what the keyring really holds.

#include "core/platform/keychain.h"
#include "core/platform/secret_file_backend.h"
#include "core/platform/secret_store.h"
#include "secret_test_support.h"
#include "support/temp_env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

namespace trayline {
namespace {

using test::runChild;
using ::testing::HasSubstr;

const std::string kService(kSecretService);

test::ChildResult lookup(const std::string& account, const std::string& service = kService) {
    return runChild({"secret-tool", "lookup", "service", service, "account", account});
}

void store(const std::string& account, const std::string& data, const std::string& label = "X",
           const std::string& service = kService) {
    const auto r = runChild(
        {"secret-tool", "store", "--label=" + label, "service", service, "account", account}, data);
    ASSERT_EQ(r.exitCode, 0) << "secret-tool store failed";
}

// Every item of ours with this account, as secret-tool describes it ("[/path]", label, secret,
// schema on standard output; the attributes on standard error).
std::string describe(const std::string& account) {
    return runChild({"secret-tool", "search", "--all", "service", kService, "account", account}, {},
                    /*withStderr=*/true)
        .out;
}

int countItems(const std::string& description) {
    const std::regex header(R"(^\[/[^\]]+\]$)", std::regex::multiline);
    return static_cast<int>(
        std::distance(std::sregex_iterator(description.begin(), description.end(), header),
                      std::sregex_iterator()));
}

std::string itemPath(const std::string& description) {
    std::smatch m;
    return std::regex_search(description, m, std::regex(R"(\[(/[^\]]+)\])")) ? m[1].str() : "";
}

class KeychainWithKeyring : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("TRAYLINE_IN_PRIVATE_KEYRING"), nullptr)
            << "run this binary through tests/support/with-keyring";
        SecretStore::setForTesting(nullptr);
        SecretStore::resetSelection();
        runChild({"secret-tool", "clear", "service", kService});
        runChild({"secret-tool", "clear", "service", "com.example.Other"});
    }
    void TearDown() override { SecretStore::resetSelection(); }

    test::TempProfile profile_;  // no keychain.json here, so the keyring is chosen
};

TEST_F(KeychainWithKeyring, AnsweringSecretServiceIsChosenWhenNoFileExists) {
    const auto start = std::chrono::steady_clock::now();
    auto store = SecretStore::forCurrentUser();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(store->kind(), SecretStore::Kind::secretService);

    Keychain::set("v", "tokens");
    EXPECT_FALSE(std::filesystem::exists(SecretFileBackend::defaultPath()))
        << "a keyring write must not create the file that would pin the file backend";
}

TEST_F(KeychainWithKeyring, WhatTheAppWritesSecretToolReadsWithTheAgreedItemForm) {
    Keychain::set("s3cr3t \xC3\xBC\n", "clientSecret");

    const auto r = lookup("clientSecret");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "s3cr3t \xC3\xBC\n");
    const auto d = describe("clientSecret");
    EXPECT_EQ(countItems(d), 1) << d;
    EXPECT_THAT(d, HasSubstr("label = Trayline clientSecret\n"));
    EXPECT_THAT(d, HasSubstr("schema = com.brindle.Trayline\n"));
    EXPECT_THAT(d, HasSubstr("attribute.service = com.brindle.Trayline"));
    EXPECT_THAT(d, HasSubstr("attribute.account = clientSecret"));
}

TEST_F(KeychainWithKeyring, WhatSecretToolWritesTheAppReads) {
    store("tokens", "from secret-tool");
    EXPECT_EQ(Keychain::get("tokens"), "from secret-tool");
    EXPECT_EQ(Keychain::get("clientSecret"), std::nullopt);
}

TEST_F(KeychainWithKeyring, SetReplacesOnlyTheDataOfAnItemMadeElsewhere) {
    store("clientSecret", "old", "Made elsewhere");
    const auto before = describe("clientSecret");

    Keychain::set("new", "clientSecret");

    const auto after = describe("clientSecret");
    EXPECT_EQ(countItems(after), 1) << after;
    EXPECT_EQ(itemPath(after), itemPath(before)) << "the item was re-created";
    EXPECT_THAT(after, HasSubstr("label = Made elsewhere\n"));
    EXPECT_EQ(lookup("clientSecret").out, "new");
    EXPECT_EQ(Keychain::get("clientSecret"), "new");
}

TEST_F(KeychainWithKeyring, RepeatedSetsKeepOneItem) {
    Keychain::set("one", "tokens");
    const auto first = describe("tokens");
    Keychain::set("two", "tokens");
    Keychain::set("three", "tokens");

    const auto d = describe("tokens");
    EXPECT_EQ(countItems(d), 1) << d;
    EXPECT_EQ(itemPath(d), itemPath(first));
    EXPECT_EQ(Keychain::get("tokens"), "three");
}

TEST_F(KeychainWithKeyring, EmptyDataIsAPresentEmptyItem) {
    Keychain::set("", "clientSecret");
    EXPECT_EQ(Keychain::get("clientSecret"), std::optional<std::string>(""));
    const auto r = lookup("clientSecret");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(KeychainWithKeyring, RemoveDeletesTheItemAndRemovingAMissingItemDoesNothing) {
    Keychain::set("x", "tokens");
    Keychain::set("keep", "clientSecret");
    Keychain::remove("tokens");
    EXPECT_EQ(Keychain::get("tokens"), std::nullopt);
    EXPECT_NE(lookup("tokens").exitCode, 0);
    Keychain::remove("tokens");
    EXPECT_EQ(Keychain::get("clientSecret"), "keep");
}

TEST_F(KeychainWithKeyring, ItemsOfAnotherServiceAreNeitherReadNorDeleted) {
    store("tokens", "foreign", "X", "com.example.Other");
    EXPECT_EQ(Keychain::get("tokens"), std::nullopt);
    Keychain::remove("tokens");
    EXPECT_EQ(lookup("tokens", "com.example.Other").out, "foreign");
}

TEST_F(KeychainWithKeyring, AnExistingFilePinsTheFileBackendEvenWithAKeyring) {
    test::writeFile(SecretFileBackend::defaultPath(), "{}");
    Keychain::set("in file", "clientSecret");

    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::file);
    EXPECT_NE(lookup("clientSecret").exitCode, 0) << "the keyring must not be written";
    EXPECT_THAT(test::readFile(SecretFileBackend::defaultPath()), HasSubstr("in file"));

    // Without the file, the keyring is used again (the choice follows the environment).
    std::filesystem::remove(SecretFileBackend::defaultPath());
    EXPECT_EQ(Keychain::get("clientSecret"), std::nullopt);
    Keychain::set("in keyring", "clientSecret");
    EXPECT_EQ(lookup("clientSecret").out, "in keyring");
}

TEST_F(KeychainWithKeyring, ConcurrentCallersFromManyThreadsEachKeepTheirItem) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string account = "account" + std::to_string(t);
            for (int i = 0; i < 10; ++i) {
                Keychain::set(std::to_string(i), account);
                (void)Keychain::get(account);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t) {
        const std::string account = "account" + std::to_string(t);
        EXPECT_EQ(Keychain::get(account), "9");
        EXPECT_EQ(countItems(describe(account)), 1);
        Keychain::remove(account);
    }
}

}  // namespace
}  // namespace trayline
