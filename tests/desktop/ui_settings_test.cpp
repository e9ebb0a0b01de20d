// The settings sheet against a signed-in demo profile: what it starts from, what Save stores (read
// back from the preferences file and the keyring file), the login-item failure path, the snippets
// and their Copy buttons, the update row and the account row.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>

#include <nlohmann/json.hpp>

#include "core/settings/config.h"
#include "core/update/update_test_support.h"
#include "desktop/ui/settings_mcp_group.h"
#include "desktop/ui/settings_view.h"
#include "desktop/ui/wrapping_text.h"
#include "sheet_test_support.h"

namespace trayline {
namespace {

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
    QCheckBox* box(SettingsView& v, const char* label) { return named<QCheckBox>(&v, QString::fromUtf8(label)); }
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

class LoginItem : public SettingsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LoginItem, ARefusalShowsTheMessageResetsTheBoxAndKeepsTheRest) {
    const bool refused = GetParam();
    if (refused)
        test::writeFile(demo.profile().configHome() / "autostart", "");  // a file where the folder goes
    const auto view = open();
    retype(field(*view, "Table"), "sc_req_item");
    box(*view, "Launch at login")->setChecked(true);
    EXPECT_EQ(save(*view), !refused);
    EXPECT_EQ(stored()["table"], "sc_req_item");
    EXPECT_EQ(loginItem.isEnabled(), !refused);
    EXPECT_EQ(box(*view, "Launch at login")->isChecked(), !refused);  // what the service has
    QString message;
    for (QLabel* l : view->findChildren<QLabel*>())
        if (l->isVisible() && l->text().startsWith("Couldn't update login item: "))
            message = l->text();
    EXPECT_EQ(message.contains("autostart"), refused) << message.toStdString();
    if (refused)
        EXPECT_TRUE(save(*view));  // the reset box asks for nothing the service refuses
    else
        EXPECT_TRUE(box(*open(), "Launch at login")->isChecked());  // a new sheet shows the service's state
}

INSTANTIATE_TEST_SUITE_P(Autostart, LoginItem, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "refused" : "allowed"; });

// The panel may close the sheet while its values are being stored: what Save leads to still happens.
TEST_F(SettingsTest, ASheetClosedDuringItsSaveStillGetsTheFollowUp) {
    auto view = open();
    box(*view, "Launch at login")->setChecked(true);
    QSignalSpy refreshed(model.get(), &AppModel::refreshFinished);
    QTest::mouseClick(view->saveButton(), Qt::LeftButton);
    view.reset();
    ASSERT_TRUE(refreshed.wait(15000)) << "polling restarted";
    EXPECT_TRUE(updater->isScheduled());
    EXPECT_TRUE(loginItem.isEnabled());
}

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

}  // namespace
}  // namespace trayline
