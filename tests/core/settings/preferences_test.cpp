#include "core/platform/preferences.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/settings/config.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

TEST(Preferences, ABrokenFileReadsAsDefaultsAndIsKeptAsideByTheNextWrite) {
    for (const std::string broken : {"{\"table\": \"incid", "not json", "[1,2,3]", "{\"a\":\xFF}"}) {
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

TEST(Preferences, ASetterKeepsEveryOtherKeyWithItsType) {
    test::TempProfile profile;
    auto prefs = PreferencesFile::forCurrentUser();
    test::writeFile(prefs.path(), R"({"pollMinutes": 9, "autoUpdate": false, "custom": {"x": 1}})");
    Config::setTable("incident");
    EXPECT_EQ(prefs.read(), nlohmann::json::parse(
                                R"({"pollMinutes": 9, "autoUpdate": false, "custom": {"x": 1}, "table": "incident"})"));
}

TEST(Preferences, WritersInTwoProcessesLoseNothing) {
    test::TempProfile profile;
    const pid_t child = ::fork();
    const std::string prefix = child == 0 ? "child" : "parent";
    for (int i = 0; i < 150; ++i)
        PreferencesFile::forCurrentUser().set(prefix + std::to_string(i), i);
    if (child == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const auto stored = PreferencesFile::forCurrentUser().read();
    for (int i = 0; i < 150; ++i)
        for (const char* writer : {"child", "parent"})
            EXPECT_EQ(stored.value(writer + std::to_string(i), -1), i);
}

}  // namespace
}  // namespace trayline
