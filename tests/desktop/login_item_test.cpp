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
    fs::path entry() const { return profile.configHome() / "autostart" / XdgAutostartItem::kFileName; }

    test::TempProfile profile;
    XdgAutostartItem item{"/opt/Trayline.app/Contents/bin/trayline"};
};

TEST_F(LoginItemTest, IsEnabledWhileTheEntryExistsAndIsNotSwitchedOff) {
    EXPECT_FALSE(item.isEnabled());
    const std::pair<const char*, bool> entries[] = {
        {"[Desktop Entry]\nType=Application\nExec=trayline\n", true},
        {"[Desktop Entry]\nExec=trayline\nHidden=true\n", false},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled = false\n", false},
        {"[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n", true}};  // another group's key
    for (const auto& [content, enabled] : entries) {
        test::writeFile(entry(), content);
        EXPECT_EQ(item.isEnabled(), enabled) << content;
    }
}

TEST_F(LoginItemTest, WritesAndRemovesOnlyWhenTheStateMustChange) {
    item.setEnabled(false);  // nothing to remove, nothing created
    EXPECT_FALSE(fs::exists(entry().parent_path()));
    item.setEnabled(true);
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

// What the entry starts: the running executable, except for a package's copy, which starts as its
// installed menu entry does.
TEST(LoginItemExec, APackageStartsAsItsMenuEntryAnythingElseByItsPath) {
    test::TempProfile scratch;
    const fs::path root = scratch.root();
    const std::string desktop = "usr/share/applications/com.brindle.trayline.desktop";
    struct Row {
        const char* executable;
        const char* desktopFile;  // installed at `desktop`, or none
        std::string exec;
    } rows[] = {
        {"usr/bin/trayline", "[Desktop Entry]\nName=Trayline\nExec = trayline\n", "trayline"},
        {"usr/bin/trayline", "[Desktop Action x]\nExec=other\n[Desktop Entry]\nExec=trayline --from-menu\n",
         "trayline --from-menu"},
        {"usr/bin/trayline", "[Desktop Entry]\nName=no Exec at all\n", (root / "usr/bin/trayline").string()},
        {"usr/bin/trayline", nullptr, (root / "usr/bin/trayline").string()},
        {"T.app/Contents/bin/trayline", nullptr, (root / "T.app/Contents/bin/trayline").string()},
    };
    for (const auto& row : rows) {
        fs::remove(root / desktop);
        if (row.desktopFile)
            test::writeFile(root / desktop, row.desktopFile);
        const std::string text = XdgAutostartItem(root / row.executable, root / "autostart").entryText();
        EXPECT_NE(text.find("\nExec=" + row.exec + "\n"), std::string::npos) << text;
    }
}

TEST(ExecLine, QuotesAndEscapesAsDesktopEntriesRequire) {
    const std::pair<std::string, std::string> rows[] = {  // program, the value as written in the file
        {"/usr/bin/trayline", "/usr/bin/trayline"},         {"/home/a b/trayline", "\"/home/a b/trayline\""},
        {"/opt/100%/trayline", "/opt/100%%/trayline"},      {"/opt/$x/trayline", "\"/opt/\\\\$x/trayline\""},
        {"/opt/\"q\"/t", "\"/opt/\\\\\"q\\\\\"/t\""},       {"/opt/a\\b", "\"/opt/a\\\\\\\\b\""},
        {"/opt/a\nb", "\"/opt/a\\nb\""}};
    for (const auto& [program, exec] : rows)
        EXPECT_EQ(desktopExecArgument(program), exec) << program;
}

}  // namespace
}  // namespace trayline
