#include "core/settings/config.h"

#include <gtest/gtest.h>

#include "core/platform/preferences.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

using nlohmann::json;

class ConfigTest : public ::testing::Test {
protected:
    void store(const std::string& key, json v) { PreferencesFile::forCurrentUser().set(key, std::move(v)); }
    test::TempProfile profile;
};

TEST_F(ConfigTest, AbsentKeysReadAsTheirDefaultsAndAreNeverWritten) {
    EXPECT_EQ(Config::instanceURL(), Config::kDefaultInstanceURL);
    EXPECT_EQ(Config::clientID(), "");
    EXPECT_EQ(Config::table(), "sc_task");
    EXPECT_EQ(Config::groupSysID().size(), 32u);
    EXPECT_EQ(Config::groupStates(), "1,2,3");
    EXPECT_EQ(Config::pollMinutes(), 5);
    EXPECT_TRUE(Config::notifyNewRequest());
    EXPECT_TRUE(Config::notifyAssignedToMe());
    EXPECT_TRUE(Config::autoUpdate());
    EXPECT_FALSE(Config::mcpAllowWrites());
    EXPECT_TRUE(Config::updateFeedURL().starts_with("https://"));
    EXPECT_TRUE(Config::updateFeedURL().ends_with("/appcast.json"));
    EXPECT_FALSE(std::filesystem::exists(PreferencesFile::forCurrentUser().path()));
}

struct InstanceCase {
    json stored;
    std::string expected;
};
class InstanceURLTest : public ConfigTest, public ::testing::WithParamInterface<InstanceCase> {};

TEST_P(InstanceURLTest, RemovesExactlyOneTrailingSlash) {
    store("instanceURL", GetParam().stored);
    EXPECT_EQ(Config::instanceURL(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, InstanceURLTest,
                         ::testing::Values(InstanceCase{"https://x.service-now.com/", "https://x.service-now.com"},
                                           InstanceCase{"https://x.service-now.com//", "https://x.service-now.com/"},
                                           InstanceCase{"https://x", "https://x"}, InstanceCase{"", ""},
                                           InstanceCase{"/", ""},
                                           InstanceCase{true, std::string(Config::kDefaultInstanceURL)}));

struct PollCase {
    json stored;
    std::int64_t expected;
};
class PollMinutesTest : public ConfigTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PollMinutesTest, ClampsIntegersAndIgnoresOtherTypes) {
    store("pollMinutes", GetParam().stored);
    EXPECT_EQ(Config::pollMinutes(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, PollMinutesTest,
                         ::testing::Values(PollCase{0, 1}, PollCase{-3, 1}, PollCase{1, 1}, PollCase{7, 7},
                                           PollCase{"7", 5}, PollCase{7.5, 5}, PollCase{true, 5},
                                           PollCase{nullptr, 5}));

TEST_F(ConfigTest, StringSettingsKeepEmptyTextAndReadNumbersAsText) {
    store("table", "");
    store("groupStates", 12);
    store("clientID", json::array());
    EXPECT_EQ(Config::table(), "");
    EXPECT_EQ(Config::groupStates(), "12");
    EXPECT_EQ(Config::clientID(), "");
}

TEST_F(ConfigTest, BooleansOfAnotherTypeReadAsDefault) {
    store("mcpAllowWrites", 1);
    store("autoUpdate", false);
    store("notifyNewRequest", "false");
    EXPECT_FALSE(Config::mcpAllowWrites());
    EXPECT_FALSE(Config::autoUpdate());
    EXPECT_TRUE(Config::notifyNewRequest());
}

TEST_F(ConfigTest, SettersTrimWhiteSpaceAndLineBreaksAndStoreTypedValues) {
    Config::setInstanceURL("  https://acme.service-now.com/ \n");
    Config::setTable(" \t\n");
    Config::setPollMinutes(-4);
    Config::setMcpAllowWrites(true);
    const auto stored = PreferencesFile::forCurrentUser().read();
    EXPECT_EQ(stored["instanceURL"], "https://acme.service-now.com/");
    EXPECT_EQ(stored["table"], "");
    EXPECT_EQ(stored["pollMinutes"], 1);
    EXPECT_EQ(stored["mcpAllowWrites"], true);
    EXPECT_EQ(Config::instanceURL(), "https://acme.service-now.com");
}

TEST_F(ConfigTest, IsConfiguredChecksInOrderAndReadsTheSecretLast) {
    int secretReads = 0;
    auto secret = [&](std::optional<std::string> v) {
        return [&secretReads, v] {
            ++secretReads;
            return v;
        };
    };
    store("instanceURL", "");
    store("clientID", "abc");
    EXPECT_FALSE(Config::isConfigured(secret("s")));
    store("instanceURL", "https://acme.service-now.com");
    store("clientID", "");
    EXPECT_FALSE(Config::isConfigured(secret("s")));
    EXPECT_EQ(secretReads, 0);
    store("clientID", "abc");
    EXPECT_FALSE(Config::isConfigured(secret("")));
    EXPECT_FALSE(Config::isConfigured(secret(std::nullopt)));
    EXPECT_TRUE(Config::isConfigured(secret("s")));
    EXPECT_EQ(secretReads, 3);
}

TEST_F(ConfigTest, GroupQueryInsertsSettingsVerbatim) {
    store("groupSysID", "abc");
    EXPECT_EQ(Config::groupQuery(), "assignment_group=abc^stateIN1,2,3^ORDERBYDESCopened_at");
    store("groupStates", "1^ORactive=true");
    EXPECT_EQ(Config::groupQuery(), "assignment_group=abc^stateIN1^ORactive=true^ORDERBYDESCopened_at");
}

}  // namespace
}  // namespace trayline
