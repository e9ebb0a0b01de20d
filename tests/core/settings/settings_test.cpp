// Settings: typed reads and trimmed writes of the preferences file; quiet hours in it, what each
// choice stores and what a stored value means. Where this copy of the app lives and how the
// desktop knows it: bundle, package or build tree, and the icon a notification names.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "core/platform/paths.h"
#include "core/platform/preferences.h"
#include "core/platform/secret_file_backend.h"
#include "core/settings/app_identity.h"
#include "core/settings/app_info.h"
#include "core/settings/config.h"
#include "core/settings/notification_pause.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

using namespace std::chrono;
using nlohmann::json;

class ConfigTest : public ::testing::Test {
protected:
    void store(const std::string& key, json v) { PreferencesFile::forCurrentUser().set(key, std::move(v)); }
    test::TempProfile profile;
};

TEST_F(ConfigTest, SettersTrimAndTypeWhatTheyStoreAndReadsTakeTheirTypeWithOthersAsDefaults) {
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

Instant utc(const char* text) { return *parseUtc(text); }
std::int64_t secs(Instant t) { return duration_cast<seconds>(t.time_since_epoch()).count(); }

struct ChoiceRow {
    PauseChoice choice;
    const char* now;  // UTC
    const char* zone;
    std::optional<const char*> end;  // UTC; none: until resumed
};

class PauseChoiceTest : public ::testing::TestWithParam<ChoiceRow> {
protected:
    test::TempProfile profile;
};

TEST_P(PauseChoiceTest, StoresItsValueKeepsOtherKeysAndEndsAtItsTime) {
    const auto& row = GetParam();
    const Instant now = utc(row.now);
    PreferencesFile::forCurrentUser().set("pollMinutes", 7);
    NotificationPause::pause(row.choice, now, row.zone);
    EXPECT_EQ(PreferencesFile::forCurrentUser().read()["notificationsPausedUntil"], row.end ? secs(utc(*row.end)) : -1);

    const auto pause = NotificationPause::current(now);
    EXPECT_TRUE(pause.paused);
    EXPECT_EQ(pause.until, row.end ? std::optional(secs(utc(*row.end))) : std::nullopt);
    if (row.end) {
        const Instant end = utc(*row.end);
        EXPECT_EQ(pause.remaining(now), duration_cast<milliseconds>(end - now));
        EXPECT_TRUE(NotificationPause::current(end - milliseconds(1)).paused);
        EXPECT_FALSE(NotificationPause::current(end).paused) << "it ends at its time, by itself";
    } else {
        EXPECT_EQ(pause.remaining(now), std::nullopt);
        EXPECT_TRUE(NotificationPause::current(now + hours(24 * 400)).paused);
    }
    NotificationPause::resume();  // takes back only its own key
    EXPECT_EQ(PreferencesFile::forCurrentUser().read(), json({{"pollMinutes", 7}}));
}

INSTANTIATE_TEST_SUITE_P(
    Choices, PauseChoiceTest,
    ::testing::Values(
        ChoiceRow{PauseChoice::oneHour, "2026-03-28 21:30:00", "Europe/Berlin", "2026-03-28 22:30:00"},
        // 08:00 the next day in the user's zone: the clocks go forward that night in Berlin, so
        // 08:00 CEST is 06:00 UTC; in New York, an evening is already the next day in UTC.
        ChoiceRow{PauseChoice::untilTomorrow, "2026-03-28 21:30:00", "Europe/Berlin", "2026-03-29 06:00:00"},
        ChoiceRow{PauseChoice::untilTomorrow, "2026-06-10 01:30:00", "America/New_York", "2026-06-10 12:00:00"},
        // Half past midnight is already "today": tomorrow is the day after.
        ChoiceRow{PauseChoice::untilTomorrow, "2026-06-09 22:30:00", "Europe/Berlin", "2026-06-11 06:00:00"},
        ChoiceRow{PauseChoice::untilResumed, "2026-03-28 21:30:00", "Europe/Berlin", std::nullopt}));

TEST(NotificationPause, APastTimeOrAnUnreadableValueIsNotAPause) {
    test::TempProfile profile;
    const Instant now = utc("2026-06-01 12:00:00");
    const std::int64_t t = secs(now);
    const std::tuple<json, bool, std::optional<std::int64_t>> rows[] = {
        {-1, true, std::nullopt},          {t + 60, true, t + 60},
        {INT64_MAX, true, INT64_MAX},      {t, false, std::nullopt},
        {t - 60, false, std::nullopt},     {0, false, std::nullopt},
        {-2, false, std::nullopt},         {json(t + 60.5), false, std::nullopt},
        {std::to_string(t + 60), false, std::nullopt}, {true, false, std::nullopt},
        {json::array({t + 60}), false, std::nullopt},  {json(UINT64_MAX), false, std::nullopt},
        {nullptr, false, std::nullopt}};
    for (const auto& [stored, paused, until] : rows) {
        PreferencesFile::forCurrentUser().set("notificationsPausedUntil", stored);
        const auto pause = NotificationPause::current(now);
        EXPECT_EQ(pause.paused, paused) << stored;
        EXPECT_EQ(pause.until, until) << stored;
    }
    EXPECT_FALSE(NotificationPause::interpret(std::nullopt, now).paused) << "no key";
    // A remaining time far past what milliseconds hold is not an overflow.
    EXPECT_GT(NotificationPause::interpret(INT64_MAX, now).remaining(now), hours(24 * 365 * 1000));
}

namespace fs = std::filesystem;

const std::string kDesktop = "applications/com.brindle.trayline.desktop";
const std::string kPng = "icons/hicolor/128x128/apps/com.brindle.trayline.png";
const std::string kSvg = "icons/hicolor/scalable/apps/com.brindle.trayline.svg";

// A scratch directory holding these files (paths relative to it).
class ScratchTree {
public:
    explicit ScratchTree(const std::vector<std::string>& files) {
        for (const auto& file : files)
            test::writeFile(root / file, "x");
    }
    test::TempProfile scratch;
    const fs::path root = scratch.root();
};

struct Layout {
    const char* name;
    std::vector<std::string> files;  // relative to a scratch root
    std::string executable;
    std::optional<std::string> bundle, prefix, resources;
};

class InstallLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(InstallLayout, TellsBundleFromPackageFromBuildTree) {
    const Layout& l = GetParam();
    const ScratchTree tree(l.files);
    const fs::path& root = tree.root;
    const auto at = [&](const std::optional<std::string>& p) {
        return p ? std::optional<fs::path>(root / *p) : std::nullopt;
    };
    EXPECT_EQ(AppInfo::bundleContaining(root / l.executable), at(l.bundle));
    EXPECT_EQ(AppInfo::packagePrefixContaining(root / l.executable), at(l.prefix));
    EXPECT_EQ(AppInfo::resourcesOf(root / l.executable), at(l.resources));
}

INSTANTIATE_TEST_SUITE_P(
    Copies, InstallLayout,
    ::testing::Values(
        Layout{"bundle", {"T.app/Contents/bin/trayline"}, "T.app/Contents/bin/trayline", "T.app", {},
               "T.app/Contents/Resources"},
        Layout{"package", {"usr/bin/trayline", "usr/share/" + kDesktop}, "usr/bin/trayline", {}, "usr", "usr/share"},
        Layout{"bin_without_desktop_file", {"usr/bin/trayline", "usr/share/applications/other.desktop"},
               "usr/bin/trayline", {}, {}, {}},
        Layout{"desktop_file_is_a_directory", {"usr/bin/trayline", "usr/share/" + kDesktop + "/x"},
               "usr/bin/trayline", {}, {}, {}},
        Layout{"build_tree", {"build/src/trayline", "build/share/" + kDesktop}, "build/src/trayline", {}, {}, {}},
        Layout{"bundle_inside_a_prefix",
               {"T.app/Contents/bin/trayline", "T.app/Contents/share/" + kDesktop}, "T.app/Contents/bin/trayline",
               "T.app", {}, "T.app/Contents/Resources"}),
    [](const auto& row) { return std::string(row.param.name); });

// Which icon name a notification carries, by where the icon files are. Directories: "session" is
// one every notification daemon searches; "profile" is a private data home (the demo's);
// "bundle" is a bundle's resources.
struct IconCase {
    const char* name;
    std::vector<std::string> files;
    std::string expected;  // a theme name, or a path relative to the scratch root
};

class NotificationIcon : public ::testing::TestWithParam<IconCase> {};

TEST_P(NotificationIcon, NamesWhatTheDaemonCanFind) {
    const IconCase& c = GetParam();
    const ScratchTree tree(c.files);
    const fs::path& root = tree.root;
    const std::string icon = identity::notificationIcon({root / "profile", root / "session"}, {root / "session"},
                                                        root / "bundle");
    EXPECT_EQ(icon, c.expected.starts_with("com.") ? c.expected : (root / c.expected).string());
}

INSTANTIATE_TEST_SUITE_P(
    Places, NotificationIcon,
    ::testing::Values(IconCase{"theme_of_the_session", {"session/" + kPng, "bundle/" + kPng}, "com.brindle.trayline"},
                      IconCase{"private_profile_first", {"profile/" + kPng, "session/" + kPng}, "profile/" + kPng},
                      IconCase{"largest_png_before_svg",
                               {"profile/" + kSvg, "profile/icons/hicolor/256x256/apps/com.brindle.trayline.png",
                                "profile/" + kPng},
                               "profile/icons/hicolor/256x256/apps/com.brindle.trayline.png"},
                      IconCase{"only_an_svg", {"profile/" + kSvg}, "profile/" + kSvg},
                      IconCase{"bundle_resources_last", {"bundle/" + kPng}, "bundle/" + kPng},
                      IconCase{"another_apps_icon_does_not_count",
                               {"session/icons/hicolor/128x128/apps/other.png", "bundle/" + kSvg}, "bundle/" + kSvg},
                      IconCase{"nowhere", {}, "com.brindle.trayline"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Identity, TheDesktopFileIsLookedUpInTheDataDirectoriesInOrder) {
    test::TempProfile profile;
    const fs::path home = profile.dataHome(), system = profile.root() / "system";
    ::setenv("XDG_DATA_DIRS", ("relative/ignored::" + system.string()).c_str(), 1);
    EXPECT_EQ(identity::searchedDataDirs(), (std::vector<fs::path>{home, system}));
    EXPECT_FALSE(identity::installedDesktopFile(identity::searchedDataDirs()));
    test::writeFile(system / kDesktop, "[Desktop Entry]\n");
    EXPECT_EQ(identity::installedDesktopFile(identity::searchedDataDirs()), system / kDesktop);
    test::writeFile(home / kDesktop, "[Desktop Entry]\n");
    EXPECT_EQ(identity::installedDesktopFile(identity::searchedDataDirs()), home / kDesktop);
    ::setenv("XDG_DATA_DIRS", "", 1);
    EXPECT_EQ(paths::dataDirs(), (std::vector<fs::path>{"/usr/local/share", "/usr/share"}));
    ::unsetenv("XDG_DATA_DIRS");
}

}  // namespace
}  // namespace trayline
