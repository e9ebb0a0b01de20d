#include "core/settings/config.h"

#include <gtest/gtest.h>

#include <map>

#include "core/platform/preferences.h"
#include "core/platform/secret_file_backend.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

using nlohmann::json;

class ConfigTest : public ::testing::Test {
protected:
    void store(const std::string& key, json v) { PreferencesFile::forCurrentUser().set(key, std::move(v)); }
    test::TempProfile profile;
};

TEST_F(ConfigTest, AbsentKeysReadAsDefaultsAndAreNeverWritten) {
    EXPECT_EQ(Config::groupQuery(),
              "assignment_group=5a3d9e0c1b7f4c2a8e6d4b2f0a9c7e15^stateIN1,2,3^ORDERBYDESCopened_at");
    EXPECT_EQ(Config::table() + Config::clientID(), "sc_task");
    EXPECT_TRUE(Config::notifyAssignedToMe() && Config::autoUpdate() && !Config::mcpAllowWrites());
    EXPECT_FALSE(std::filesystem::exists(PreferencesFile::forCurrentUser().path()));
}

TEST_F(ConfigTest, StoredValuesReadByTheirTypeWithOthersAsDefaults) {
    const std::map<std::string, std::string (*)()> read = {
        {"instanceURL", Config::instanceURL}, {"table", Config::table}, {"groupStates", Config::groupStates},
        {"pollMinutes", [] { return std::to_string(Config::pollMinutes()); }},
        {"mcpAllowWrites", [] { return std::to_string(Config::mcpAllowWrites()); }},
        {"notifyNewRequest", [] { return std::to_string(Config::notifyNewRequest()); }}};
    const std::tuple<std::string, json, std::string> rows[] = {
        {"instanceURL", "https://x.service-now.com/", "https://x.service-now.com"},
        {"instanceURL", "https://x//", "https://x/"}, {"instanceURL", "/", ""},
        {"instanceURL", true, "https://brindle.service-now.com"},
        {"pollMinutes", 0, "1"}, {"pollMinutes", -3, "1"}, {"pollMinutes", 7, "7"},
        {"pollMinutes", "7", "5"}, {"pollMinutes", 7.5, "5"}, {"pollMinutes", nullptr, "5"},
        {"table", "", ""}, {"groupStates", 12, "12"}, {"groupStates", json::array(), "1,2,3"},
        {"mcpAllowWrites", 1, "0"}, {"notifyNewRequest", false, "0"}, {"notifyNewRequest", "false", "1"}};
    for (const auto& [key, stored, expected] : rows) {
        store(key, stored);
        EXPECT_EQ(read.at(key)(), expected) << key << " = " << stored;
    }
}

TEST_F(ConfigTest, SettersTrimTextAndStoreTypedValuesThatTheGroupQueryTakesVerbatim) {
    Config::setInstanceURL("  https://acme.service-now.com/ \n");
    Config::setGroupSysID(" abc");
    Config::setGroupStates("1^ORactive=true");
    Config::setPollMinutes(-4);
    Config::setMcpAllowWrites(true);
    EXPECT_EQ(PreferencesFile::forCurrentUser().read(),
              json({{"instanceURL", "https://acme.service-now.com/"}, {"groupSysID", "abc"},
                    {"groupStates", "1^ORactive=true"}, {"pollMinutes", 1}, {"mcpAllowWrites", true}}));
    EXPECT_EQ(Config::groupQuery(), "assignment_group=abc^stateIN1^ORactive=true^ORDERBYDESCopened_at");
}

TEST_F(ConfigTest, IsConfiguredChecksInOrderAndReadsTheSecretLast) {
    int secretReads = 0;
    const auto file = std::make_shared<SecretFileBackend>(profile.root() / "keychain.json");
    const Keychain keychain([&] {
        ++secretReads;
        return file;
    });
    for (const auto& [url, id] : {std::pair{"", "abc"}, {"https://acme.service-now.com", ""}}) {
        store("instanceURL", url);
        store("clientID", id);
        EXPECT_FALSE(Config::isConfigured(keychain));
    }
    EXPECT_EQ(secretReads, 0);
    store("clientID", "abc");
    EXPECT_FALSE(Config::isConfigured(keychain)) << "no secret";
    Config::setClientSecret(" \n", keychain);
    EXPECT_FALSE(Config::isConfigured(keychain)) << "an empty secret";
    Config::setClientSecret(" s\n", keychain);
    EXPECT_TRUE(Config::isConfigured(keychain));
    EXPECT_EQ(Config::clientSecret(keychain), "s");
}

}  // namespace
}  // namespace trayline
