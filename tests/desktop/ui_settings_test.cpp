// The settings sheet against a signed-in demo profile: what it starts from, what Save stores (read
// back from the preferences file and the keyring file), the login-item failure path, the snippets'
// Copy buttons, the update row and the account row.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>

#include <nlohmann/json.hpp>

#include "core/mcp/client_registration.h"
#include "core/mcp/tool_catalogue.h"
#include "core/settings/config.h"
#include "core/update/update_test_support.h"
#include "desktop/models/updater.h"
#include "desktop/platform/login_item.h"
#include "desktop/ui/settings_mcp_group.h"
#include "desktop/ui/settings_view.h"
#include "desktop/ui/wrapping_text.h"
#include "sheet_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::named;
using test::spinUntil;
using Json = nlohmann::json;

class SettingsTest : public test::SheetTest, public ::testing::Test {
protected:
    SettingsTest() {
        Updater::Options options;
        options.firstDelay = 1h;
        options.runningVersion = "1.0";
        updater = std::make_unique<Updater>(std::move(options));
    }
    std::unique_ptr<SettingsView> open() {
        auto view = std::make_unique<SettingsView>(model.get(), updater.get(), &loginItem, nullptr,
                                                   clock.scheduler(), QStringLiteral("/opt/Trayline.app/Contents/bin/trayline"));
        view->resize(800, 700);
        view->show();
        EXPECT_TRUE(spinUntil([&] { return view->isLoaded(); }));
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
    std::string storedSecret() {
        const auto keychain = Json::parse(test::readFile(demo.profile().dataHome() / "com.brindle.Trayline" / "keychain.json"));
        return keychain.value("clientSecret", std::string("<missing>"));
    }

    std::unique_ptr<Updater> updater;
    XdgAutostartItem loginItem{"/opt/Trayline.app/Contents/bin/trayline"};
};

TEST_F(SettingsTest, StartsFromTheRawStoredTexts) {
    test::writeFile(demo.profile().configHome() / "com.brindle.trayline" / "preferences.json",
                    Json{{"instanceURL", demo.instance().baseUrl() + "/"}, {"clientID", demo::kClientId},
                         {"table", " sc_req_item "}, {"groupStates", "1, 2"}, {"pollMinutes", 7},
                         {"notifyNewRequest", false}, {"autoUpdate", false}, {"mcpAllowWrites", true}}
                        .dump());
    const auto view = open();
    EXPECT_EQ(field(*view, "Instance URL")->text().toStdString(), demo.instance().baseUrl());  // normalised
    EXPECT_EQ(field(*view, "Client ID")->text(), demo::kClientId);
    EXPECT_EQ(field(*view, "Client secret")->text(), demo::kClientSecret);
    EXPECT_EQ(field(*view, "Client secret")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(field(*view, "Table")->text(), " sc_req_item ");
    EXPECT_EQ(field(*view, "Group sys_id")->text(), QString::fromUtf8(Config::kDefaultGroupSysID.data()));
    EXPECT_EQ(field(*view, "Group states")->text(), "1, 2");
    EXPECT_EQ(named<QSpinBox>(view.get(), "Poll every")->value(), 7);
    EXPECT_FALSE(box(*view, "New request in group queue")->isChecked());
    EXPECT_TRUE(box(*view, "Request assigned to me")->isChecked());
    EXPECT_FALSE(box(*view, "Check for updates automatically")->isChecked());
    EXPECT_EQ(field(*view, "Feed URL")->text(), QString::fromUtf8(Config::kDefaultUpdateFeedURL.data()));
    EXPECT_FALSE(box(*view, "Launch at login")->isChecked());
    EXPECT_TRUE(view->mcpGroup()->allowWrites()->isChecked());
    EXPECT_TRUE(view->mcpGroup()->toolsLabel()->text().contains("close_task"));
}

TEST_F(SettingsTest, EveryControlInOrderByItsLabel) {
    const auto view = open();
    view->mcpGroup()->setExpanded(true);
    using Names = std::vector<std::string>;
    EXPECT_EQ(test::tabOrder(field(*view, "Instance URL")),
              (Names{"Instance URL", "Client ID", "Client secret", "Table", "Group sys_id", "Group states",
                     "Poll every", "New request in group queue", "Request assigned to me", "Launch at login",
                     "Check for updates automatically", "Feed URL", "Check now", "MCP server (Claude Code)",
                     "Copy", "Copy", "Allow writes (assign, close, add notes)", "Sign out", "Save"}));
    EXPECT_EQ(field(*view, "Client ID")->placeholderText(), "from Application Registry");
    EXPECT_EQ(field(*view, "Group sys_id")->placeholderText(), "assignment group sys_id");
    EXPECT_EQ(field(*view, "Group states")->placeholderText(), "1,2,3");
    EXPECT_EQ(field(*view, "Table")->placeholderText(), "sc_task");
    named<QLabel>(view.get(), "Register an inbound OAuth app in ServiceNow (System OAuth → Application Registry) "
                              "with redirect URL http://localhost:8765/callback");
    named<QLabel>(view.get(), "Downloads are only installed if their checksum matches the feed and the bundle is "
                              "signed by team BRNDL7TRAY.");
}

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
    if (std::string(c.key) == "clientSecret") {
        EXPECT_EQ(storedSecret(), c.expected.get<std::string>());
    } else {
        EXPECT_EQ(stored()[c.key], c.expected) << stored().dump();
    }
    ASSERT_TRUE(refreshed.wait(15000));  // polling restarted at once
    EXPECT_TRUE(updater->isScheduled());
    if (*c.panelError == '\0') {
        EXPECT_EQ(model->errorMessage(), QString());
    } else {
        EXPECT_TRUE(model->errorMessage().contains(QString::fromUtf8(c.panelError))) << model->errorMessage().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SettingsSave,
    ::testing::Values(SaveCase{"empty_table", "Table", "", "table", "sc_task"},
                      SaveCase{"spaces_table", "Table", "   ", "table", "", "(HTTP 405)"},
                      SaveCase{"unknown_table", "Table", "sc_nope", "table", "sc_nope", "Invalid table sc_nope"},
                      SaveCase{"bad_instance", "Instance URL", " not a url ", "instanceURL", "not a url",
                               "“not a url” is not a valid URL"},
                      SaveCase{"table_trimmed", "Table", " sc_req_item ", "table", "sc_req_item"},
                      SaveCase{"empty_states", "Group states", "", "groupStates", "1,2,3"},
                      SaveCase{"poll_zero", "Poll every", "0", "pollMinutes", 1},
                      SaveCase{"poll_negative", "Poll every", "-4", "pollMinutes", 1},
                      SaveCase{"poll_two", "Poll every", "2", "pollMinutes", 2},
                      SaveCase{"secret_trimmed", "Client secret", " s3cret\t ", "clientSecret", "s3cret"},
                      SaveCase{"client_trimmed", "Client ID", " abc ", "clientID", "abc"},
                      // An unknown group has no tasks: the queue is empty, without an error.
                      SaveCase{"group_as_typed", "Group sys_id", "not-a-sys-id", "groupSysID", "not-a-sys-id"}),
    [](const auto& p) { return std::string(p.param.name); });

struct BlockedCase {
    const char* name;
    enum { none, readOnlyDirectory, fileInTheWay } block;
    const char* osText;  // null: the entry is written
};

class LoginItemRefused : public SettingsTest, public ::testing::WithParamInterface<BlockedCase> {};

TEST_P(LoginItemRefused, ShowsTheMessageResetsTheBoxAndKeepsTheRest) {
    const auto autostart = demo.profile().configHome() / "autostart";
    if (GetParam().block == BlockedCase::readOnlyDirectory) {
        if (::geteuid() == 0)
            GTEST_SKIP() << "root writes into read-only directories";
        std::filesystem::create_directories(autostart);
        ::chmod(autostart.c_str(), 0555);
    } else if (GetParam().block == BlockedCase::fileInTheWay) {
        test::writeFile(autostart, "");
    }
    const auto view = open();
    retype(field(*view, "Table"), "sc_req_item");
    box(*view, "Launch at login")->setChecked(true);
    if (!GetParam().osText) {
        EXPECT_TRUE(save(*view));
        EXPECT_TRUE(loginItem.isEnabled());
        const auto again = open();  // the service's state is what the box shows
        EXPECT_TRUE(box(*again, "Launch at login")->isChecked());
        return;
    }
    EXPECT_FALSE(save(*view));
    QString message;
    for (QLabel* l : view->findChildren<QLabel*>())
        if (l->isVisible() && l->text().startsWith("Couldn't update login item: "))
            message = l->text();
    EXPECT_TRUE(message.contains(GetParam().osText)) << message.toStdString();
    EXPECT_FALSE(box(*view, "Launch at login")->isChecked());
    EXPECT_EQ(stored()["table"], "sc_req_item");

    EXPECT_TRUE(save(*view));  // the reset box asks for nothing the service refuses
    ::chmod(autostart.c_str(), 0755);
}

INSTANTIATE_TEST_SUITE_P(Blocks, LoginItemRefused,
                         ::testing::Values(BlockedCase{"allowed", BlockedCase::none, nullptr},
                                           BlockedCase{"read_only_directory", BlockedCase::readOnlyDirectory,
                                                       "Permission denied"},
                                           BlockedCase{"file_in_the_way", BlockedCase::fileInTheWay, "autostart"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SettingsTest, SnippetsShowTheRegistrationForThisExecutable) {
    const auto view = open();
    auto* group = view->mcpGroup();
    EXPECT_FALSE(group->isExpanded());
    EXPECT_FALSE(group->copyButton("command")->isVisible());
    QTest::mouseClick(named<QAbstractButton>(view.get(), "MCP server (Claude Code)"), Qt::LeftButton);
    EXPECT_TRUE(group->isExpanded());
    EXPECT_EQ(group->snippet("command"),
              "claude mcp add servicenow -s project -- /opt/Trayline.app/Contents/bin/trayline --mcp");
    EXPECT_EQ(group->snippet("json").toStdString(), mcp::registrationJson("/opt/Trayline.app/Contents/bin/trayline"));
    // Shown as the ten lines it is, not run together.
    auto* json = named<ui::WrappingText>(view.get(), group->snippet("json"));
    ASSERT_TRUE(json);
    EXPECT_EQ(json->lineCount(700), 10);
}

struct CopyStep {
    long long at;       // ms after the start
    const char* press;  // "command", "json" or null: only let time pass
    const char* command;
    const char* json;   // the labels then
};

TEST_F(SettingsTest, CopiedShowsForOneAndAHalfSecondsAndTheOlderTimerWins) {
    const auto view = open();
    auto* group = view->mcpGroup();
    group->setExpanded(true);
    const std::vector<CopyStep> steps = {
        {0, "command", "Copied", "Copy"},   {1000, "json", "Copy", "Copied"},
        {1499, nullptr, "Copy", "Copied"},  {1500, nullptr, "Copy", "Copied"},  // command's timer: not its key
        {2499, nullptr, "Copy", "Copied"},  {2500, nullptr, "Copy", "Copy"},
        {3000, "json", "Copy", "Copied"},   {3800, "json", "Copy", "Copied"},
        {4500, nullptr, "Copy", "Copy"},  // the older copy's timer ends the newer one early
    };
    for (const auto& s : steps) {
        clock.advanceTo(s.at);
        if (s.press) {
            QTest::mouseClick(group->copyButton(s.press), Qt::LeftButton);
            EXPECT_EQ(QGuiApplication::clipboard()->text(), group->snippet(s.press));
        }
        EXPECT_EQ(group->copyButton("command")->text(), s.command) << "at " << s.at;
        EXPECT_EQ(group->copyButton("json")->text(), s.json) << "at " << s.at;
    }
}

TEST_F(SettingsTest, ToolListFollowsTheStoredSwitchNotTheBox) {
    const auto view = open();
    auto* tools = view->mcpGroup()->toolsLabel();
    const auto text = [](bool writes) {
        QStringList names;
        for (const auto& n : mcp::toolNames(writes))
            names << QString::fromStdString(n);
        return "Tools: " + names.join(", ") + ".";
    };
    EXPECT_EQ(tools->text(), text(false));
    view->mcpGroup()->allowWrites()->setChecked(true);
    EXPECT_EQ(tools->text(), text(false));
    EXPECT_TRUE(save(*view));
    EXPECT_EQ(tools->text(), text(true));
    EXPECT_EQ(stored()["mcpAllowWrites"], true);
}

TEST_F(SettingsTest, CheckNowUsesTheTypedFeedAndShowsTheOfferInGreen) {
    test::LoopbackServer feed;
    feed.serve("/feed.json", 200, R"({"version":"2.0","url":")" + feed.url("/T.zip") + R"(","sha256":""})");
    const auto view = open();
    auto* check = named<QPushButton>(view.get(), "Check now");
    bool sawChecking = false;
    QObject::connect(updater.get(), &Updater::isCheckingChanged, view.get(), [&](bool checking) {
        if (checking)
            sawChecking = check->text() == "Checking…" && !check->isEnabled();
    });
    retype(field(*view, "Feed URL"), QString::fromStdString(" " + feed.url("/feed.json")));
    QTest::mouseClick(check, Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return updater->hasAvailable(); }));
    EXPECT_TRUE(sawChecking);
    EXPECT_EQ(Config::updateFeedURL(), feed.url("/feed.json"));  // stored without Save
    auto* caption = named<QLabel>(view.get(), "v2.0 available");
    ASSERT_TRUE(caption);
    EXPECT_EQ(caption->palette().color(QPalette::WindowText), ui::color(ui::NamedColor::Green, caption->palette()));
    EXPECT_EQ(check->text(), "Check now");
}

TEST_F(SettingsTest, SignOutOnlyWhileSignedIn) {
    model->auth()->setSignedIn(true);
    const auto view = open();
    named<QLabel>(view.get(), "Signed in");
    QTest::mouseClick(named<QPushButton>(view.get(), "Sign out"), Qt::LeftButton);
    EXPECT_FALSE(model->auth()->isSignedIn());
    named<QLabel>(view.get(), "Not signed in");
    for (QPushButton* b : view->findChildren<QPushButton*>())
        EXPECT_FALSE(b->text() == "Sign out" && b->isVisible());
}

}  // namespace
}  // namespace trayline

