// Launch at login over an XDG autostart entry: what counts as enabled, when the entry is written or
// removed, and the Exec line for awkward paths. (A refused write: the settings sheet's tests.)

#include <gtest/gtest.h>

#include "desktop/platform/login_item.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;

class LoginItemTest : public ::testing::Test {
protected:
    fs::path dir() const { return profile.configHome() / "autostart"; }
    fs::path entry() const { return dir() / XdgAutostartItem::kFileName; }

    test::TempProfile profile;
    XdgAutostartItem item{"/opt/Trayline.app/Contents/bin/trayline"};
};

struct EntryCase {
    const char* name;
    const char* content;  // null: no entry
    bool enabled;
};

class EnabledState : public LoginItemTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(EnabledState, FollowsTheEntry) {
    if (GetParam().content)
        test::writeFile(entry(), GetParam().content);
    EXPECT_EQ(item.isEnabled(), GetParam().enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, EnabledState,
    ::testing::Values(EntryCase{"absent", nullptr, false},
                      EntryCase{"plain", "[Desktop Entry]\nType=Application\nExec=trayline\n", true},
                      EntryCase{"hidden", "[Desktop Entry]\nExec=trayline\nHidden=true\n", false},
                      EntryCase{"gnome_off", "[Desktop Entry]\nX-GNOME-Autostart-enabled = false\n", false},
                      EntryCase{"hidden_in_other_group", "[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n", true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(LoginItemTest, WritesAndRemovesOnlyWhenTheStateMustChange) {
    item.setEnabled(false);  // nothing to remove, nothing created
    EXPECT_FALSE(fs::exists(dir()));

    item.setEnabled(true);
    ASSERT_TRUE(item.isEnabled());
    EXPECT_EQ(test::readFile(entry()), item.entryText());
    EXPECT_NE(item.entryText().find("\nExec=/opt/Trayline.app/Contents/bin/trayline\n"), std::string::npos);

    // Already enabled: the user's own entry is left as it is.
    const std::string own = "[Desktop Entry]\nType=Application\nExec=trayline --own\n";
    test::writeFile(entry(), own);
    item.setEnabled(true);
    EXPECT_EQ(test::readFile(entry()), own);

    // Switched off by the desktop: asking for on registers again, asking for off leaves it.
    test::writeFile(entry(), own + "Hidden=true\n");
    item.setEnabled(false);
    EXPECT_EQ(test::readFile(entry()), own + "Hidden=true\n");
    item.setEnabled(true);
    EXPECT_TRUE(item.isEnabled());

    item.setEnabled(false);
    EXPECT_FALSE(fs::exists(entry()));
}



struct ExecCase {
    const char* name;
    std::string program;
    std::string exec;  // the value as written in the file
};

class ExecLine : public ::testing::TestWithParam<ExecCase> {};

TEST_P(ExecLine, QuotesAndEscapesAsDesktopEntriesRequire) {
    EXPECT_EQ(desktopExecArgument(GetParam().program), GetParam().exec);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ExecLine,
    ::testing::Values(ExecCase{"plain", "/usr/bin/trayline", "/usr/bin/trayline"},
                      ExecCase{"space", "/home/a b/trayline", "\"/home/a b/trayline\""},
                      ExecCase{"percent", "/opt/100%/trayline", "/opt/100%%/trayline"},
                      ExecCase{"dollar", "/opt/$x/trayline", "\"/opt/\\\\$x/trayline\""},
                      ExecCase{"quote", "/opt/\"q\"/t", "\"/opt/\\\\\"q\\\\\"/t\""},
                      ExecCase{"backslash", "/opt/a\\b", "\"/opt/a\\\\\\\\b\""},
                      ExecCase{"newline", "/opt/a\nb", "\"/opt/a\\nb\""}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace trayline
