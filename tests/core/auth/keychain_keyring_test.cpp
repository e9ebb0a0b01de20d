// The keychain against a real gnome-keyring-daemon, run inside tests/support/with-keyring (a
// private D-Bus session with a throw-away keyring). secret-tool, another libsecret client, checks
// what the keyring really holds.

#include "core/platform/keychain.h"
#include "core/platform/secret_file_backend.h"
#include "support/temp_env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

namespace trayline {
namespace {

using ::testing::HasSubstr;

// What secret-tool with `args` (shell words) and `input` on its standard input writes.
std::string secretTool(const std::string& args, const std::string& input = "") {
    std::string out;
    FILE* pipe = ::popen(("printf %s '" + input + "' | secret-tool " + args + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    if (pipe)
        ::pclose(pipe);
    return out;
}

// Every item with this account as secret-tool describes it: "[/path]", label, secret, attributes.
std::string describe(const std::string& account, const std::string& service = "com.brindle.Trayline") {
    return secretTool("search --all service " + service + " account " + account);
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

    EXPECT_EQ(secretTool("lookup service com.brindle.Trayline account clientSecret"), "s3cr3t \xC3\xBC\n");
    const auto d = describe("clientSecret");
    EXPECT_EQ(countItems(d), 1) << d;
    EXPECT_THAT(d, HasSubstr("label = Trayline clientSecret\n"));
    EXPECT_THAT(d, HasSubstr("schema = com.brindle.Trayline\n"));
    EXPECT_THAT(d, HasSubstr("attribute.service = com.brindle.Trayline"));
    EXPECT_THAT(d, HasSubstr("attribute.account = clientSecret"));
    EXPECT_EQ(countItems(describe("tokens")), 1) << "empty data is a present item";
    EXPECT_EQ(keychain.get("tokens"), "");
}

TEST_F(KeychainWithKeyring, ReadsWhatSecretToolWroteReplacesOnlyItsDataAndRemovesOnlyOurs) {
    secretTool("store --label='Made elsewhere' service com.brindle.Trayline account tokens", "old");
    secretTool("store --label=X service com.example.Other account clientSecret", "foreign");
    EXPECT_EQ(keychain.get("tokens"), "old");
    EXPECT_EQ(keychain.get("clientSecret"), std::nullopt);
    const auto before = describe("tokens");
    keychain.set("new", "tokens");
    keychain.set("newer", "tokens");

    const auto after = describe("tokens");
    EXPECT_EQ(countItems(after), 1) << after;
    EXPECT_EQ(after.substr(0, after.find(']')), before.substr(0, before.find(']'))) << "made anew";
    EXPECT_THAT(after, HasSubstr("label = Made elsewhere\nsecret = newer\n"));
    keychain.remove("clientSecret");
    keychain.remove("tokens");
    EXPECT_EQ(keychain.get("tokens"), std::nullopt);
    EXPECT_EQ(countItems(describe("clientSecret", "com.example.Other")), 1);
}

}  // namespace
}  // namespace trayline
