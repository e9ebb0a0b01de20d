// The assign, close and settings sheets against a signed-in demo profile, driven with keystrokes and
// clicks: what they send, what Save stores (read back from the preferences and keyring files) and
// starts again, the snippets' Copy buttons; and the login item's autostart entry.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>

#include <nlohmann/json.hpp>

#include "core/settings/config.h"
#include "desktop/platform/login_item.h"
#include "desktop/ui/assign_view.h"
#include "desktop/ui/close_view.h"
#include "desktop/ui/settings_mcp_group.h"
#include "desktop/ui/settings_view.h"
#include "sheet_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::named;
using test::rowNames;
using Json = nlohmann::json;
using Names = std::vector<std::string>;

class AssignTest : public test::SheetTest, public ::testing::Test {
protected:
    std::unique_ptr<AssignView> open(const SNTask& task) {
        auto view = std::make_unique<AssignView>(task, model.get(), nullptr, clock.scheduler());
        QSignalSpy answered(view.get(), &AssignView::lookupAnswered);
        view->resize(800, 500);
        view->show();
        EXPECT_TRUE(answered.wait(15000));
        return view;
    }
    // Types into the search field, lets the debounce pass and waits for the answer.
    void typeAndSettle(AssignView& view, const QString& text) {
        view.searchField()->selectAll();
        QTest::keyClicks(view.searchField(), text);
        QSignalSpy answered(&view, &AssignView::lookupAnswered);
        clock.advanceTo(elapsed += 300);
        EXPECT_TRUE(answered.wait(15000)) << text.toStdString();
    }
    // User searches in the instance's log (not the group's members).
    std::size_t searches() {
        const auto& log = demo.instance().requestLog();
        return static_cast<std::size_t>(std::count_if(
            log.begin(), log.end(), [](const auto& r) { return r.method == "GET" && r.path == "/api/now/table/sys_user"; }));
    }

    long long elapsed = 0;
};

TEST_F(AssignTest, OpensOnTheMembersThenThreeQuickLettersSendOneSearch) {
    const auto view = open(groupTask(true));
    EXPECT_EQ(rowNames(view->resultList()), (Names{"Alex Morgan", "Chris Jordan", "Jordan Lee", "Priya Natarajan",
                                                   "Sam Carter", "Samira Haddad", "Taylor Brooks"}));
    EXPECT_FALSE(view->confirmButton()->isEnabled());
    QTest::keyClicks(view->searchField(), "Sam");
    clock.advanceTo(299);
    QTest::qWait(20);
    EXPECT_EQ(searches(), 0u);
    QSignalSpy answered(view.get(), &AssignView::lookupAnswered);
    clock.advanceTo(300);
    ASSERT_TRUE(answered.wait(15000));
    QTest::qWait(300);  // room for any further search to show up in the log
    EXPECT_EQ(searches(), 1u);
    EXPECT_EQ(rowNames(view->resultList()), (Names{"Sam Carter", "Samira Haddad", "Samuel Ortiz"}));
}

TEST_F(AssignTest, AnOlderSearchNeverReplacesANewerOne) {
    const auto view = open(groupTask(true));
    demo.instance().setLatency(600ms);  // the first search answers late
    QTest::keyClicks(view->searchField(), "Sam");
    clock.advanceTo(elapsed += 300);
    ASSERT_TRUE(test::spinUntil([&] { return searches() == 1; }));
    demo.instance().setLatency(0ms);
    typeAndSettle(*view, "Samira");
    QTest::qWait(900);  // the first answer has arrived by now and must be dropped, silently
    EXPECT_EQ(rowNames(view->resultList()), (Names{"Samira Haddad"}));
    EXPECT_FALSE(view->errorLabel()->isVisible());
}

// A screen reader picks a person by the row's action (or by selecting the row) and hears which one is
// picked as the row's selected state; arrow keys move without picking. With the box that also assigns
// the requested item unchecked, only the task changes hands; the list is refreshed before the sheet
// ends. (What each choice sends is the client's test.)
TEST_F(AssignTest, AScreenReaderPicksAPersonAndTheTaskAloneChangesHandsAsTheBoxSays) {
    EXPECT_EQ(AssignView(groupTask(false), model.get()).requestItemBox(), nullptr) << "no requested item to assign too";
    const SNTask task = groupTask(true);
    const auto ritmBefore = demo.instance().record("sc_req_item", task.requestItem.value)["assigned_to"];
    const auto view = open(task);
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(view->resultList());
    ASSERT_TRUE(list && list->tableInterface());
    const auto cell = [&](int row) { return list->tableInterface()->cellAt(row, 0); };
    const auto selectedRows = [&] {
        Names names;
        for (int row = 0; row < view->resultList()->count(); ++row)
            if (cell(row)->state().selected)
                names.push_back(cell(row)->text(QAccessible::Name).toStdString());
        return names;
    };
    EXPECT_TRUE(cell(3)->state().selectable);
    EXPECT_TRUE(selectedRows().empty());
    ASSERT_TRUE(cell(3)->actionInterface());
    const QStringList actions = cell(3)->actionInterface()->actionNames();
    ASSERT_FALSE(actions.isEmpty());
    cell(3)->actionInterface()->doAction(actions.front());
    ASSERT_TRUE(view->selected().has_value());
    EXPECT_EQ(view->selected()->name, "Priya Natarajan");
    EXPECT_TRUE(view->confirmButton()->isEnabled());
    EXPECT_EQ(selectedRows(), (Names{"Priya Natarajan, priya.natarajan@example.com"}));

    view->resultList()->setFocus();
    view->resultList()->selectionModel()->setCurrentIndex(view->resultList()->model()->index(0, 0),
                                                          QItemSelectionModel::NoUpdate);
    QTest::keyClick(view->resultList(), Qt::Key_Down);
    QTest::keyClick(view->resultList(), Qt::Key_Down);
    EXPECT_EQ(view->selected()->name, "Priya Natarajan");  // moving is not picking
    QTest::keyClick(view->resultList(), Qt::Key_Space);
    EXPECT_EQ(view->selected()->name, "Jordan Lee");
    EXPECT_EQ(selectedRows(), (Names{"Jordan Lee, jordan.lee@example.com"}));

    typeAndSettle(*view, "Jordan");  // the picked person is not listed: no row is selected
    EXPECT_TRUE(selectedRows().empty());

    ASSERT_TRUE(view->requestItemBox() && view->requestItemBox()->isChecked());
    view->requestItemBox()->setChecked(false);
    QSignalSpy done(view.get(), &AssignView::done);
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    EXPECT_EQ(view->confirmButton()->text(), "Assigning…");
    EXPECT_FALSE(view->confirmButton()->isEnabled());
    ASSERT_TRUE(done.wait(15000));
    const std::string jordan = view->selected()->sysID;
    EXPECT_EQ(demo.instance().record("sc_task", task.sysID.value)["assigned_to"], jordan);
    EXPECT_EQ(demo.instance().record("sc_req_item", task.requestItem.value)["assigned_to"], ritmBefore);
    EXPECT_TRUE(std::any_of(model->groupTasks().begin(), model->groupTasks().end(), [&](const SNTask& t) {
        return t.sysID.value == task.sysID.value && t.assignedTo.value == jordan;
    }));
}

class CloseTest : public test::SheetTest, public ::testing::Test {};

TEST_F(CloseTest, AFailureKeepsTheTextThenTheTrimmedResolutionIsSentAndTheListRefreshed) {
    const SNTask task = groupTask(false);
    const auto view = std::make_unique<CloseView>(task, model.get());
    view->resize(800, 400);
    view->show();
    view->editor()->setFocus();
    view->editor()->insertPlainText("\n\n  Replaced the toner.\n\n  Tested a page.  \n\n");
    demo.instance().failNext(1, 500, R"({"error":{"message":"Operation against table sc_task failed"}})");
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    ASSERT_TRUE(test::spinUntil([&] { return !view->isWorking(); }));
    EXPECT_TRUE(view->errorLabel()->isVisible());
    EXPECT_EQ(view->editor()->toPlainText(), "\n\n  Replaced the toner.\n\n  Tested a page.  \n\n");
    QSignalSpy done(view.get(), &CloseView::done);
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    EXPECT_EQ(view->confirmButton()->text(), "Closing…");
    EXPECT_FALSE(view->confirmButton()->isEnabled());
    ASSERT_TRUE(done.wait(15000));
    EXPECT_EQ(demo.instance().record("sc_task", task.sysID.value)["u_resolution"], "Replaced the toner.\n\n  Tested a page.");
    for (const SNTask& t : model->groupTasks())
        EXPECT_NE(t.sysID.value, task.sysID.value);  // refreshed: no longer queued
}

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
