// The widgets' rules as tables, without widgets: which content fills the panel's middle area, the
// member chips, the lists behind the tabs, month labels, the list link and the task row's time
// texts; then the task row itself. How chips wrap is seen in the panel's hostile-text tests.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "core/settings/config.h"
#include "desktop/ui/panel_logic.h"
#include "desktop/ui/style.h"
#include "desktop/ui/task_row.h"
#include "desktop/ui/task_row_texts.h"
#include "support/temp_env.h"
#include "ui_test_support.h"

namespace trayline::ui {

namespace {

using test::field;

Instant at(const char* utc) { return *parseUtc(utc); }

SNTask assignedTo(std::string user) {
    SNTask t;
    t.assignedTo.value = std::move(user);
    return t;
}

std::string ids(const UserList& users) {
    std::string out;
    for (const auto& u : users)
        out += u.sysID;
    return out;
}

TEST(MiddleArea, FirstRuleThatHoldsWins) {
    using M = MiddleArea;
    // Showing settings, update notes, own notes; assigning, closing; ready, configured, update, signed in.
    for (const auto& [why, in, area] : std::vector<std::tuple<const char*, PanelInputs, MiddleArea>>{
             {"unconfigured", {false, false, false, false, false, true, false, false, true}, M::settings},
             {"settings asked", {true, true, true, true, true, true, true, true, true}, M::settings},
             {"notes of an update", {false, true, true, true, false, true, true, true, true}, M::updateNotes},
             {"notes without an update", {false, true, false, false, false, true, true, false, true}, M::lists},
             {"own notes", {false, false, true, true, false, true, true, false, false}, M::changelog},
             {"keyring not answered", {false, false, false, true, false, false, false, false, false}, M::loading},
             {"signed out", {false, false, false, true, true, true, true, false, false}, M::signIn},
             {"assign before close", {false, false, false, true, true, true, true, false, true}, M::assign},
             {"close", {false, false, false, false, true, true, true, false, true}, M::close},
             {"lists", {false, false, false, false, false, true, true, true, true}, M::lists}})
        EXPECT_EQ(chooseMiddleArea(in), area) << why;
}

// Two members with group tasks, one without; the one without is hidden until selected. Counts come
// from the group queue only, most tasks first, ties in member order.
TEST(MemberChips, VisibleHiddenAndOrder) {
    const UserList members{{"b", "Sam", std::nullopt}, {"a", "Jordan Lee", std::nullopt}, {"c", "Priya Shah", std::nullopt}};
    const TaskList group{assignedTo("a"), assignedTo("c"), assignedTo("a"), assignedTo("")};
    EXPECT_EQ(ids(visibleMembers(members, group, "mine")), "ac");
    EXPECT_EQ(ids(hiddenMembers(members, group, "mine")), "b");
    EXPECT_EQ(ids(visibleMembers(members, group, "b")), "acb");  // selected stays
    EXPECT_TRUE(hiddenMembers(members, group, "b").empty());
    EXPECT_EQ(ids(visibleMembers({{"x", "X", {}}, {"y", "Y", {}}}, {assignedTo("y"), assignedTo("x")}, "")), "xy");
}

// A task the instance returns twice is one row (rows are keyed by sys_id), so it counts once.
TEST(ChipCounts, CountTheRowsTheListShows) {
    const auto task = [](std::string id, std::string user) {
        SNTask t = assignedTo(std::move(user));
        t.sysID.value = std::move(id);
        return t;
    };
    for (const auto& [why, group, rows, ofA, unassigned] : std::vector<std::tuple<const char*, TaskList, int, int, int>>{
             {"distinct", {task("1", "a"), task("2", "a"), task("3", "")}, 3, 2, 1},
             {"twice", {task("1", "a"), task("2", ""), task("1", "a"), task("2", "")}, 2, 1, 1},
             {"moved between pages", {task("1", "a"), task("1", "b")}, 1, 1, 0},
             {"empty", {}, 0, 0, 0}}) {
        SCOPED_TRACE(why);
        EXPECT_EQ(rowCount(group), rows);
        EXPECT_EQ(memberTaskCount(group, "a"), ofA);
        EXPECT_EQ(rowCount(unassignedTasks(group)), unassigned);
        EXPECT_EQ(unassignedCount(group), unassigned) << "the tray's orange count";
    }
}

TEST(MonthLabels, CalendarMonthsInTheFormattersZone) {
    const DateFormatter berlin("en_US", "Europe/Berlin");
    EXPECT_EQ(monthLabel(0, at("2026-01-10 12:00:00"), berlin), "Jan");
    EXPECT_EQ(monthLabel(-1, at("2026-01-10 12:00:00"), berlin), "Dec");
    EXPECT_EQ(monthLabel(-1, at("2026-03-31 12:00:00"), berlin), "Feb");
    EXPECT_EQ(monthLabel(0, at("2026-05-31 22:30:00"), berlin), "Jun");  // already June in Berlin
    EXPECT_EQ(monthLabel(-1, at("2026-05-31 22:30:00"), DateFormatter("en_US", "America/New_York")), "Apr");
}

TEST(ListLink, QueryByTabEncodedAsciiOnly) {
    test::TempProfile profile;
    Config::setInstanceURL("https://acme.service-now.com/");
    Config::setGroupSysID("g1");
    const std::string base = "https://acme.service-now.com/nav_to.do?uri=sc_task_list.do%3Fsysparm_query%3D";
    const std::string queue = "assignment_group%3Dg1%5EstateIN1%2C2%2C3%5EORDERBYDESCopened_at";
    EXPECT_EQ(listAddress("unassigned"), base + queue);  // the whole queue, as for a member's tab
    EXPECT_EQ(listAddress("mine"),
              base + "assigned_toDYNAMIC90d1921e5f510100a9ad2572f2b477fe%5Eactive%3Dtrue%5EORDERBYDESCopened_at");
    EXPECT_NE(listAddress("doneLast")->find("closed_atONLast%20month%40javascript%3Ags.beginningOfLastMonth%28%29"),
              std::string::npos);
    Config::setTable("incident");
    Config::setGroupSysID("grüppe");
    EXPECT_NE(listAddress("all")->find("uri=incident_list.do"), std::string::npos);
    EXPECT_NE(listAddress("all")->find("gr%C3%BCppe"), std::string::npos);
    Config::setInstanceURL("not a url");
    EXPECT_EQ(listAddress("all"), std::nullopt);
}

TEST(RowTexts, AgeIsTheRequestDateAndWholeCalendarDaysInTheUsersZone) {
    for (const auto& [opened, now, zone, text] : std::vector<std::tuple<const char*, const char*, const char*, const char*>>{
             {"2025-06-03 08:00:00", "2025-06-03 17:00:00", "UTC", "Jun 3, 2025 (today)"},
             {"2025-06-02 23:30:00", "2025-06-03 00:10:00", "UTC", "Jun 2, 2025 (1 day old)"},
             {"2025-05-31 20:00:00", "2025-06-03 09:00:00", "UTC", "May 31, 2025 (3 days old)"},
             {"2025-06-05 08:00:00", "2025-06-03 17:00:00", "UTC", "Jun 5, 2025 (today)"},  // in the future
             // 03:00 UTC is still the previous evening in New York.
             {"2025-06-03 03:00:00", "2025-06-03 15:00:00", "America/New_York", "Jun 2, 2025 (1 day old)"}}) {
        SNTask t;
        t.reqOpenedAt = field(opened);
        EXPECT_EQ(ageText(t, at(now), DateFormatter("en_US", zone)), QString(text)) << opened << " " << zone;
    }
    // Without the request's date: the task's own; without either, none.
    SNTask t;
    EXPECT_EQ(ageText(t, at("2025-06-03 17:00:00"), DateFormatter("en_US", "UTC")), std::nullopt);
    t.reqOpenedAt = field("not a date");
    t.openedAt = field("2025-06-01 10:00:00");
    EXPECT_EQ(ageText(t, at("2025-06-03 17:00:00"), DateFormatter("en_US", "UTC")), QString("Jun 1, 2025 (2 days old)"));
}

// The task row as a person uses it: its buttons and menus, the copy confirmation on a manual clock.
class TaskRowTest : public ::testing::Test {
protected:
    TaskRowTest() { Config::setInstanceURL("https://acme.service-now.com"); }

    std::unique_ptr<TaskRow> makeRow(const SNTask& task) {
        TaskRow::Services services{[this](const QUrl& url) { opened.push_back(url.toString(QUrl::FullyEncoded)); },
                                   [] { return *parseUtc("2026-03-04 12:00:00"); }, clock.scheduler(),
                                   [] { return DateFormatter("en_US", "UTC"); }};
        auto row = std::make_unique<TaskRow>(task, false, nullptr, services);
        row->resize(800, row->heightForWidth(800));
        row->show();
        return row;
    }
    static QToolButton* button(const TaskRow& row, const QString& toolTip) {
        for (auto* b : row.findChildren<QToolButton*>())
            if (b->toolTip() == toolTip)
                return b;
        ADD_FAILURE() << "no button " << toolTip.toStdString();
        return nullptr;
    }
    static QString clipboard() { return QGuiApplication::clipboard()->text(); }

    test::TempProfile profile;
    test::ManualClock clock;
    std::vector<QString> opened;
};

// The row's chips open the request item, request and task; its buttons (icons, read out by their
// tooltips) and menu entries emit their intents with the row's current task. An entry a screen reader
// triggers closes the menu as a click does: an open menu keeps the pointer grab and would swallow the
// user's next click.
TEST_F(TaskRowTest, ChipsOpenTheRecordsActionsEmitIntentsAndTheMenuClosesAfterAnAccessibleTrigger) {
    SNTask task = test::sampleTask();
    auto row = makeRow(task);
    for (auto* b : row->findChildren<QToolButton*>())
        EXPECT_TRUE(!b->text().isEmpty() || (b->accessibleName() == b->toolTip() && (b->isHidden() || !b->icon().isNull())))
            << b->toolTip().toStdString();
    QTest::mouseClick(button(*row, "Open request item in ServiceNow"), Qt::LeftButton);
    QTest::mouseClick(button(*row, "Open request in ServiceNow"), Qt::LeftButton);
    QTest::mouseClick(button(*row, "Open in ServiceNow"), Qt::LeftButton);
    EXPECT_EQ(opened, (std::vector<QString>{QString::fromStdString(*task.ritmURL()), QString::fromStdString(*task.requestURL()),
                                            QString::fromStdString(*task.recordURL())}));
    task.shortDescription = field("Edited since");
    row->setTask(task);
    QSignalSpy toMe(row.get(), &TaskRow::assignToMeRequested);
    QSignalSpy someone(row.get(), &TaskRow::assignRequested);
    QSignalSpy close(row.get(), &TaskRow::closeRequested);
    auto* menu = row->findChild<QMenu*>("reassignMenu");
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), "Assign to me");
    EXPECT_EQ(menu->actions()[1]->text(), "Assign to someone…");
    for (int entry : {1, 0}) {
        QTest::mouseClick(button(*row, "Reassign"), Qt::LeftButton);
        ASSERT_TRUE(menu->isVisible());
        QAccessibleInterface* item = QAccessible::queryAccessibleInterface(menu)->child(entry);
        ASSERT_TRUE(item && item->actionInterface());
        item->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        EXPECT_FALSE(menu->isVisible()) << entry;
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    }
    QTest::mouseClick(button(*row, "Close task…"), Qt::LeftButton);
    for (QSignalSpy* spy : {&toMe, &someone, &close}) {
        ASSERT_EQ(spy->count(), 1);
        EXPECT_EQ(spy->at(0).at(0).value<SNTask>(), task);
    }
}

// The copy buttons; how long "Copied" shows is the copy confirmation's test (the settings sheet's).
TEST_F(TaskRowTest, CopyButtonsCopyTheTicketOrTheNumberAndAConfirmationOutlivesNoRow) {
    auto row = makeRow(test::sampleTask());
    QTest::mouseClick(button(*row, "Copy the whole ticket as text"), Qt::LeftButton);
    EXPECT_EQ(row->copyConfirmation(), "full");
    EXPECT_EQ(clipboard(), QString::fromStdString(row->task().clipboardText()));
    QTest::mouseClick(button(*row, "Copy REQ0030003"), Qt::LeftButton);
    EXPECT_EQ(row->copyConfirmation(), "number");
    EXPECT_EQ(clipboard(), "REQ0030003");
    row.reset();  // a timer that outlives its row (the list changed) must not touch it
    clock.advanceTo(9000);
}

}  // namespace
}  // namespace trayline::ui
