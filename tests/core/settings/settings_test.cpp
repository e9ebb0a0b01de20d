// Settings: typed reads and trimmed writes of the preferences file, and facts of the app's bundle.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "core/platform/preferences.h"
#include "core/platform/secret_file_backend.h"
#include "core/settings/app_info.h"
#include "core/settings/config.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

using nlohmann::json;

class ConfigTest : public ::testing::Test {
protected:
    void store(const std::string& key, json v) { PreferencesFile::forCurrentUser().set(key, std::move(v)); }
    test::TempProfile profile;
};

TEST_F(ConfigTest, StoredValuesReadByTheirTypeWithOthersAsDefaults) {
    const std::map<std::string, std::string (*)()> read = {
        {"instanceURL", Config::instanceURL}, {"table", Config::table}, {"groupStates", Config::groupStates},
        {"updateFeedURL", Config::updateFeedURL}, {"pollMinutes", [] { return std::to_string(Config::pollMinutes()); }},
        {"notifyNewRequest", [] { return std::to_string(Config::notifyNewRequest()); }},
        {"notifyAssignedToMe", [] { return std::to_string(Config::notifyAssignedToMe()); }},
        {"autoUpdate", [] { return std::to_string(Config::autoUpdate()); }},
        {"mcpAllowWrites", [] { return std::to_string(Config::mcpAllowWrites()); }}};
    const std::tuple<std::string, json, std::string> rows[] = {
        {"instanceURL", "https://x.service-now.com/", "https://x.service-now.com"},
        {"instanceURL", "https://x//", "https://x/"}, {"instanceURL", true, "https://brindle.service-now.com"},
        {"pollMinutes", -3, "1"}, {"pollMinutes", 0, "1"}, {"pollMinutes", 7, "7"}, {"pollMinutes", "7", "5"},
        {"pollMinutes", 7.5, "5"}, {"pollMinutes", 10080, "10080"}, {"pollMinutes", 10081, "10080"},
        {"pollMinutes", 200'000'000, "10080"}, {"pollMinutes", json(UINT64_MAX), "10080"}, {"table", "", ""}, {"table", true, "sc_task"}, {"groupStates", 12, "12"},
        {"groupStates", json::array(), "1,2,3"}, {"updateFeedURL", 2.5, "2.5"}, {"notifyNewRequest", false, "0"},
        {"notifyAssignedToMe", "false", "1"}, {"autoUpdate", 0, "1"}, {"mcpAllowWrites", true, "1"}};
    for (const auto& [key, stored, expected] : rows) {
        store(key, stored);
        EXPECT_EQ(read.at(key)(), expected) << key << " = " << stored;
    }
}

TEST_F(ConfigTest, SettersTrimTextAndStoreTypedValuesThatTheGroupQueryTakesVerbatim) {
    EXPECT_EQ(Config::groupQuery(),
              "assignment_group=5a3d9e0c1b7f4c2a8e6d4b2f0a9c7e15^stateIN1,2,3^ORDERBYDESCopened_at");
    EXPECT_FALSE(std::filesystem::exists(PreferencesFile::forCurrentUser().path())) << "a read wrote";
    Config::setGroupSysID(" abc\n");
    Config::setGroupStates("1^ORactive=true");
    Config::setTable(" \t\n");
    Config::setPollMinutes(-4);
    Config::setAutoUpdate(false);
    EXPECT_EQ(PreferencesFile::forCurrentUser().read(),
              json({{"groupSysID", "abc"}, {"groupStates", "1^ORactive=true"}, {"table", ""}, {"pollMinutes", 1},
                    {"autoUpdate", false}}));
    Config::setPollMinutes(INT64_MAX);
    EXPECT_EQ(PreferencesFile::forCurrentUser().read()["pollMinutes"], 10080);
    EXPECT_EQ(Config::groupQuery(), "assignment_group=abc^stateIN1^ORactive=true^ORDERBYDESCopened_at");
}

TEST_F(ConfigTest, IsConfiguredChecksInOrderAndReadsTheSecretLast) {
    int secretReads = 0;
    const auto file = std::make_shared<SecretFileBackend>(profile.root() / "keychain.json");
    const Keychain keychain([&] { ++secretReads; return file; });
    store("clientID", "");
    EXPECT_FALSE(Config::isConfigured(keychain));
    store("clientID", "abc");
    store("instanceURL", "");
    EXPECT_FALSE(Config::isConfigured(keychain));
    EXPECT_EQ(secretReads, 0) << "the secret is read only when the URL and the client ID are set";
    store("instanceURL", "https://acme.service-now.com");
    Config::setClientSecret(" \n", keychain);
    EXPECT_FALSE(Config::isConfigured(keychain)) << "an empty secret";
    Config::setClientSecret(" s\n", keychain);
    EXPECT_TRUE(Config::isConfigured(keychain));
    EXPECT_EQ(Config::clientSecret(keychain), "s");
}

TEST(Preferences, ABrokenFileReadsAsDefaultsAndIsKeptAsideByTheNextWrite) {
    for (const std::string broken : {"[1,2,3]", "{\"a\":\xFF}"}) {
        test::TempProfile profile;
        const auto path = PreferencesFile::forCurrentUser().path();
        test::writeFile(path, broken);
        EXPECT_EQ(Config::table(), "sc_task") << broken;
        EXPECT_EQ(test::readFile(path), broken) << "a reader must never rewrite the file";
        Config::setClientID("abc");
        EXPECT_EQ(Config::clientID(), "abc");
        EXPECT_EQ(test::readFile(path.string() + ".bad"), broken);
    }
}

TEST(Preferences, WritersInTwoProcessesKeepEveryOtherKeyWithItsType) {
    test::TempProfile profile;
    test::writeFile(PreferencesFile::forCurrentUser().path(), R"({"poll": 9, "custom": {"x": [false]}})");
    const pid_t child = ::fork();
    for (int i = 0; i < 150; ++i)
        PreferencesFile::forCurrentUser().set((child == 0 ? "child" : "parent") + std::to_string(i), i);
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    auto stored = PreferencesFile::forCurrentUser().read();
    EXPECT_EQ(stored["custom"], nlohmann::json::parse(R"({"x": [false]})"));
    EXPECT_EQ(stored["poll"], 9);
    for (int i = 0; i < 150; ++i)
        EXPECT_TRUE(stored["child" + std::to_string(i)] == i && stored["parent" + std::to_string(i)] == i) << i;
}

}  // namespace
}  // namespace trayline
