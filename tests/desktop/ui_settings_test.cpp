// The settings sheet against a signed-in demo profile: what Save stores (read back from the
// preferences file and the keyring file) and starts again, the snippets and their Copy buttons;
// and the login item's autostart entry.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>

#include <nlohmann/json.hpp>

#include "core/settings/config.h"
#include "desktop/platform/login_item.h"
#include "desktop/ui/settings_mcp_group.h"
#include "desktop/ui/settings_view.h"
#include "sheet_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;
using test::named;
using Json = nlohmann::json;

class SettingsTest : public test::SheetTest, public ::testing::Test {
protected:
    std::unique_ptr<SettingsView> open(const char* executable = "/opt/Trayline.app/Contents/bin/trayline") {
        auto view = std::make_unique<SettingsView>(model.get(), updater.get(), &loginItem, nullptr, clock.scheduler(),
                                                   QString::fromUtf8(executable));
        view->resize(800, 700);
        view->show();
        EXPECT_TRUE(test::spinUntil([&] { return view->isLoaded(); }));
        return view;
    }
    QLineEdit* field(SettingsView& v, const char* label) { return named<QLineEdit>(&v, QString::fromUtf8(label)); }
    static void retype(QWidget* w, const QString& text) {
        w->setFocus();
        QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(w, Qt::Key_Backspace);
        QTest::keyClicks(w, text);
    }
    // Presses Save and waits until it has ended; true when the sheet closed.
    bool save(SettingsView& v) {
        QSignalSpy finished(&v, &SettingsView::saveFinished);
        QSignalSpy done(&v, &SettingsView::done);
        QTest::mouseClick(v.saveButton(), Qt::LeftButton);
        EXPECT_TRUE(finished.wait(15000));
        return done.count() == 1;
    }
    Json stored() {
        return Json::parse(test::readFile(demo.profile().configHome() / "com.brindle.trayline" / "preferences.json"));
    }
};

struct SaveCase {
    const char* name;
    const char* label;  // the field typed into
    const char* typed;
    const char* key;    // where it lands; "clientSecret": the keyring
    Json expected;
    // Nothing is checked on Save: a bad value fails where it is used, readably, in the panel's error
    // line. Empty: no error.
    const char* panelError = "";
};

class SettingsSave : public SettingsTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SettingsSave, StoresWhatTheFieldHolds) {
    const auto& c = GetParam();
    const auto view = open();
    retype(std::string(c.label) == "Poll every" ? static_cast<QWidget*>(named<QSpinBox>(view.get(), "Poll every"))
                                                : field(*view, c.label),
           QString::fromUtf8(c.typed));
    QSignalSpy refreshed(model.get(), &AppModel::refreshFinished);
    EXPECT_TRUE(save(*view));
    const auto keyring = [&] { return test::readFile(demo.profile().dataHome() / "com.brindle.Trayline" / "keychain.json"); };
    EXPECT_EQ(std::string(c.key) == "clientSecret" ? Json::parse(keyring())["clientSecret"] : stored()[c.key], c.expected);
    ASSERT_TRUE(refreshed.wait(15000));  // polling restarted at once
    EXPECT_TRUE(updater->isScheduled());
    EXPECT_TRUE(model->errorMessage().contains(QString::fromUtf8(c.panelError))) << model->errorMessage().toStdString();
    EXPECT_EQ(model->errorMessage().isEmpty(), *c.panelError == '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SettingsSave,
    // How each value is trimmed or bounded is the settings' own test; here, that each field reaches it.
    ::testing::Values(SaveCase{"spaces_table", "Table", "   ", "table", "", "(HTTP 405)"},
                      SaveCase{"bad_instance", "Instance URL", " not a url ", "instanceURL", "not a url",
                               "“not a url” is not a valid URL"},
                      SaveCase{"poll_negative", "Poll every", "-4", "pollMinutes", 1},
                      SaveCase{"secret_trimmed", "Client secret", " s3cret\t ", "clientSecret", "s3cret"},
                      // An unknown group has no tasks: the queue is empty, without an error.
                      SaveCase{"group_as_typed", "Group sys_id", "not-a-sys-id", "groupSysID", "not-a-sys-id"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(SettingsTest, CopiedShowsForOneAndAHalfSecondsAndTheOlderTimerWins) {
    const auto view = open();
    auto* group = view->mcpGroup();
    group->setExpanded(true);
    // ms after the start, the button pressed then (if any), the command's and the JSON's labels then
    for (const auto& [at, press, command, json] : std::vector<std::tuple<long long, const char*, const char*, const char*>>{
             {0, "command", "Copied", "Copy"},   {1000, "json", "Copy", "Copied"},
             {1499, nullptr, "Copy", "Copied"},  {1500, nullptr, "Copy", "Copied"},  // command's timer: not its key
             {2499, nullptr, "Copy", "Copied"},  {2500, nullptr, "Copy", "Copy"},
             {3000, "json", "Copy", "Copied"},   {3800, "json", "Copy", "Copied"},
             {4500, nullptr, "Copy", "Copy"}}) {  // the older copy's timer ends the newer one early
        clock.advanceTo(at);
        if (press) {
            QTest::mouseClick(group->copyButton(press), Qt::LeftButton);
            EXPECT_EQ(QGuiApplication::clipboard()->text(), group->snippet(press));
        }
        EXPECT_EQ(group->copyButton("command")->text(), command) << "at " << at;
        EXPECT_EQ(group->copyButton("json")->text(), json) << "at " << at;
    }
}

// Launch at login over an XDG autostart entry: what counts as enabled, and the Exec line.
TEST(LoginItemEntry, IsEnabledWhileTheEntryExistsAndIsNotSwitchedOff) {
    test::TempProfile profile;
    XdgAutostartItem item{"/opt/Trayline.app/Contents/bin/trayline"};
    EXPECT_FALSE(item.isEnabled());
    const std::pair<const char*, bool> entries[] = {
        {"[Desktop Entry]\nType=Application\nExec=trayline\n", true},
        {"[Desktop Entry]\nExec=trayline\nHidden=true\n", false},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled = false\n", false},
        {"[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n", true}};  // another group's key
    for (const auto& [content, enabled] : entries) {
        test::writeFile(profile.configHome() / "autostart" / XdgAutostartItem::kFileName, content);
        EXPECT_EQ(item.isEnabled(), enabled) << content;
    }
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
