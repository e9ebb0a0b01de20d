// The keychain against a real gnome-keyring-daemon, run inside tests/support/with-keyring (a
// private D-Bus session with a throw-away keyring). secret-tool, another libsecret client, checks
// what the keyring really holds.

#include "core/platform/keychain.h"
#include "core/platform/secret_file_backend.h"
#include "support/temp_env.h"

#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace trayline {
namespace {

using ::testing::HasSubstr;

struct Run {
    int status = -1;
    std::string out;  // standard output and error
};

// secret-tool with `args` (shell words), `input` on its standard input.
Run secretTool(const std::string& args, const std::string& input = "") {
    Run run;
    FILE* pipe = ::popen(("printf %s '" + input + "' | secret-tool " + args + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.out.append(buffer, n);
    if (pipe)
        run.status = ::pclose(pipe);
    return run;
}

Run lookup(const std::string& account, const std::string& service = "com.brindle.Trayline") {
    return secretTool("lookup service " + service + " account " + account);
}

// Every item of ours with this account: "[/path]", label, secret, attributes, schema.
std::string describe(const std::string& account) {
    return secretTool("search --all service com.brindle.Trayline account " + account).out;
}

int countItems(const std::string& description) {
    const std::regex header(R"(^\[/[^\]]+\]$)", std::regex::multiline);
    return std::distance(std::sregex_iterator(description.begin(), description.end(), header),
                         std::sregex_iterator());
}

class KeychainWithKeyring : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("TRAYLINE_IN_PRIVATE_KEYRING"), nullptr)
            << "run this binary through tests/support/with-keyring";
        secretTool("clear service com.brindle.Trayline");
    }
    test::TempProfile profile;  // no keychain.json here, so the keyring is chosen
    Keychain keychain;
};

TEST_F(KeychainWithKeyring, IsChosenAndWhatTheAppWritesSecretToolReadsInTheAgreedForm) {
    EXPECT_EQ(SecretStore::forCurrentUser()->kind(), SecretStore::Kind::secretService);
    keychain.set("s3cr3t \xC3\xBC\n", "clientSecret");
    keychain.set("", "tokens");
    EXPECT_FALSE(std::filesystem::exists(SecretFileBackend::defaultPath()))
        << "a keyring write must not create the file that would pin the file backend";

    EXPECT_EQ(lookup("clientSecret").out, "s3cr3t \xC3\xBC\n");
    const auto d = describe("clientSecret");
    EXPECT_EQ(countItems(d), 1) << d;
    EXPECT_THAT(d, HasSubstr("label = Trayline clientSecret\n"));
    EXPECT_THAT(d, HasSubstr("schema = com.brindle.Trayline\n"));
    EXPECT_THAT(d, HasSubstr("attribute.service = com.brindle.Trayline"));
    EXPECT_THAT(d, HasSubstr("attribute.account = clientSecret"));
    EXPECT_EQ(lookup("tokens").status, 0) << "empty data is a present item";
    EXPECT_EQ(keychain.get("tokens"), "");
}

TEST_F(KeychainWithKeyring, ReadsWhatSecretToolWroteAndReplacesOnlyItsData) {
    secretTool("store --label='Made elsewhere' service com.brindle.Trayline account tokens", "old");
    EXPECT_EQ(keychain.get("tokens"), "old");
    EXPECT_EQ(keychain.get("clientSecret"), std::nullopt);
    const auto before = describe("tokens");
    keychain.set("new", "tokens");
    keychain.set("newer", "tokens");

    const auto after = describe("tokens");
    EXPECT_EQ(countItems(after), 1) << after;
    EXPECT_EQ(after.substr(0, after.find(']')), before.substr(0, before.find(']')))
        << "the item was made anew";
    EXPECT_THAT(after, HasSubstr("label = Made elsewhere\n"));
    EXPECT_EQ(lookup("tokens").out, "newer");
}

TEST_F(KeychainWithKeyring, RemoveDeletesOnlyOurItem) {
    secretTool("clear service com.example.Other");
    secretTool("store --label=X service com.example.Other account tokens", "foreign");
    keychain.set("x", "tokens");
    keychain.set("keep", "clientSecret");
    keychain.remove("tokens");
    keychain.remove("tokens");
    EXPECT_EQ(keychain.get("tokens"), std::nullopt);
    EXPECT_EQ(keychain.get("clientSecret"), "keep");
    EXPECT_EQ(lookup("tokens", "com.example.Other").out, "foreign");
}

TEST_F(KeychainWithKeyring, CallersOnManyThreadsEachKeepTheirItem) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < 10; ++i) {
                keychain.set(std::to_string(i), "account" + std::to_string(t));
                keychain.get("account" + std::to_string(t));
            }
        });
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(countItems(describe("account" + std::to_string(t))), 1) << t;
        EXPECT_EQ(lookup("account" + std::to_string(t)).out, "9") << t;
    }
}

}  // namespace
}  // namespace trayline
