#include "core/platform/preferences.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/settings/config.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

class BrokenFileTest : public ::testing::TestWithParam<std::string> {};

TEST_P(BrokenFileTest, ReadsAsDefaultsAndIsKeptAsideByTheNextWrite) {
    test::TempProfile profile;
    const auto path = PreferencesFile::forCurrentUser().path();
    test::writeFile(path, GetParam());
    EXPECT_EQ(Config::table(), "sc_task");
    EXPECT_EQ(Config::pollMinutes(), 5);
    EXPECT_EQ(test::readFile(path), GetParam()) << "a reader must never rewrite the file";

    Config::setClientID("abc");
    EXPECT_EQ(Config::clientID(), "abc");
    auto aside = path;
    aside += ".bad";
    if (GetParam().empty())
        EXPECT_FALSE(std::filesystem::exists(aside));
    else
        EXPECT_EQ(test::readFile(aside), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Contents, BrokenFileTest,
                         ::testing::Values("", "{\"table\": \"incid", "not json at all", "[1,2,3]",
                                           "\"text\"", std::string("{\"a\":\xFF}")));

TEST(Preferences, SetterKeepsEveryOtherKeyWithItsType) {
    test::TempProfile profile;
    auto prefs = PreferencesFile::forCurrentUser();
    test::writeFile(prefs.path(), R"({"pollMinutes": 9, "autoUpdate": false, "custom": {"x": 1}})");
    Config::setTable("incident");
    const auto stored = prefs.read();
    EXPECT_EQ(stored["pollMinutes"], 9);
    EXPECT_EQ(stored["autoUpdate"], false);
    EXPECT_EQ(stored["custom"]["x"], 1);
    EXPECT_EQ(stored["table"], "incident");
}

// Two processes writing different keys at the same time must both keep all of their keys.
TEST(Preferences, ConcurrentWritersInTwoProcessesLoseNothing) {
    test::TempProfile profile;
    constexpr int kRounds = 150;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const std::string prefix = child == 0 ? "child" : "parent";
    for (int i = 0; i < kRounds; ++i)
        PreferencesFile::forCurrentUser().set(prefix + std::to_string(i), i);
    if (child == 0)
        ::_exit(0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto stored = PreferencesFile::forCurrentUser().read();
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_EQ(stored.value("child" + std::to_string(i), -1), i);
        EXPECT_EQ(stored.value("parent" + std::to_string(i), -1), i);
    }
}

}  // namespace
}  // namespace trayline
