// The assign and close sheets against the demo instance, driven with keystrokes and clicks.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>

#include "desktop/ui/assign_view.h"
#include "desktop/ui/close_view.h"
#include "sheet_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::await;
using test::rowNames;
using test::spinUntil;
using Names = std::vector<std::string>;

const Names kMembers = {"Alex Morgan", "Chris Jordan", "Jordan Lee", "Priya Natarajan",
                        "Sam Carter",  "Samira Haddad", "Taylor Brooks"};

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
    // Types into the search field, lets the debounce pass and waits for the answer, if any comes.
    void typeAndSettle(AssignView& view, const QString& text, bool expectAnswer = true) {
        view.searchField()->selectAll();
        if (text.isEmpty())
            QTest::keyClick(view.searchField(), Qt::Key_Backspace);
        else
            QTest::keyClicks(view.searchField(), text);
        QSignalSpy answered(&view, &AssignView::lookupAnswered);
        elapsed += 300;
        clock.advanceTo(elapsed);
        if (expectAnswer) {
            EXPECT_TRUE(answered.wait(15000)) << text.toStdString();
        }
    }
    std::size_t searches() { return requests("GET", "/api/now/table/sys_user"); }
    std::size_t memberLoads() { return requests("GET", "/api/now/table/sys_user_grmember"); }

    long long elapsed = 0;
};

TEST_F(AssignTest, OpensOnTheMembersThenThreeQuickLettersSendOneSearch) {
    const auto view = open(groupTask(true));
    EXPECT_EQ(rowNames(view->resultList()), kMembers);
    EXPECT_EQ(view->resultList()->item(0)->data(Qt::AccessibleTextRole).toString(),
              "Alex Morgan, alex.morgan@example.com");
    EXPECT_FALSE(view->confirmButton()->isEnabled());
    QTest::keyClicks(view->searchField(), "Sam");
    clock.advanceTo(299);
    QTest::qWait(20);
    EXPECT_EQ(searches(), 0u);
    QSignalSpy answered(view.get(), &AssignView::lookupAnswered);
    clock.advanceTo(300);
    ASSERT_TRUE(answered.wait(15000));
    QTest::qWait(300);  // room for any further search to show up in the log
    ASSERT_EQ(searches(), 1u);
    for (const auto& r : demo.instance().requestLog()) {
        for (const auto& [key, value] : r.query) {
            if (r.path == "/api/now/table/sys_user" && key == "sysparm_query") {
                EXPECT_NE(value.find("nameLIKESam^"), std::string::npos) << value;
            }
        }
    }
    EXPECT_EQ(rowNames(view->resultList()), (Names{"Sam Carter", "Samira Haddad", "Samuel Ortiz"}));
}

struct SearchCase {
    const char* name;
    std::vector<QString> typed;  // field contents, one after the other, each left standing
    Names shown;
    std::size_t searches;
    std::size_t extraMemberLoads;
};

class AssignSearch : public AssignTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(AssignSearch, ShowsWhatTheTextAsksFor) {
    const auto& c = GetParam();
    const auto view = open(groupTask(true));
    const std::size_t loads = memberLoads();
    for (const QString& text : c.typed)
        typeAndSettle(*view, text, text.trimmed().size() != 1);
    QTest::qWait(20);
    EXPECT_EQ(rowNames(view->resultList()), c.shown);
    EXPECT_EQ(searches(), c.searches);
    EXPECT_EQ(memberLoads() - loads, c.extraMemberLoads);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AssignSearch,
    ::testing::Values(SearchCase{"one_letter_shows_nobody_without_asking", {"S"}, {}, 0, 0},
                      SearchCase{"no_match", {"Zzz"}, {}, 1, 0},
                      SearchCase{"cleared_field_shows_members_again", {"Jordan", ""}, kMembers, 1, 1},
                      SearchCase{"spaces_reload_members_but_keep_the_list", {"Jordan", "   "},
                                 {"Chris Jordan", "Jordan Lee", "Jordan Price"}, 1, 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(AssignTest, AnOlderSearchNeverReplacesANewerOne) {
    const auto view = open(groupTask(true));
    demo.instance().setLatency(600ms);  // the first search answers late
    QTest::keyClicks(view->searchField(), "Sam");
    clock.advanceTo(elapsed += 300);
    ASSERT_TRUE(spinUntil([&] { return searches() == 1; }));
    demo.instance().setLatency(0ms);
    typeAndSettle(*view, "Samira");
    QTest::qWait(900);  // the first answer has arrived by now and must be dropped
    EXPECT_EQ(rowNames(view->resultList()), (Names{"Samira Haddad"}));
}

struct AssignCase {
    const char* name;
    bool withRequestItem;
    bool keepBoxChecked;
};

class AssignFlow : public AssignTest, public ::testing::WithParamInterface<AssignCase> {};

TEST_P(AssignFlow, AssignsThenRefreshesThenEnds) {
    const auto& c = GetParam();
    const SNTask task = groupTask(c.withRequestItem);
    const auto ritmBefore = demo.instance().record("sc_req_item", task.requestItem.value);
    const auto view = open(task);
    ASSERT_EQ(view->requestItemBox() != nullptr, c.withRequestItem);
    if (c.withRequestItem) {
        EXPECT_TRUE(view->requestItemBox()->isChecked());
        EXPECT_EQ(view->requestItemBox()->text().toStdString(), "Also assign " + task.requestItem.display);
        view->requestItemBox()->setChecked(c.keepBoxChecked);
    }
    typeAndSettle(*view, "Carter");
    ASSERT_TRUE(test::clickRow(view->resultList(), "Sam Carter"));
    ASSERT_TRUE(view->confirmButton()->isEnabled());
    const std::string sam = view->selected()->sysID;

    QSignalSpy done(view.get(), &AssignView::done);
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    EXPECT_EQ(view->confirmButton()->text(), "Assigning…");
    EXPECT_FALSE(view->confirmButton()->isEnabled());
    EXPECT_TRUE(view->cancelButton()->isEnabled());
    ASSERT_TRUE(done.wait(15000));

    EXPECT_EQ(demo.instance().record("sc_task", task.sysID.value)["assigned_to"], sam);
    if (c.withRequestItem) {
        const auto ritm = demo.instance().record("sc_req_item", task.requestItem.value)["assigned_to"];
        EXPECT_EQ(ritm, c.keepBoxChecked ? nlohmann::json(sam) : ritmBefore["assigned_to"]);
    }
    // The lists were refreshed before the sheet ended.
    bool seen = false;
    for (const SNTask& t : model->groupTasks())
        seen = seen || (t.sysID.value == task.sysID.value && t.assignedTo.value == sam);
    EXPECT_TRUE(seen);
}

INSTANTIATE_TEST_SUITE_P(Tasks, AssignFlow,
                         ::testing::Values(AssignCase{"with_item", true, true},
                                           AssignCase{"item_unchecked", true, false},
                                           AssignCase{"without_item", false, true}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(AssignTest, SelectionSurvivesSearchesAndFailuresUntilANewAttempt) {
    const SNTask task = groupTask(false);
    const auto view = open(task);
    ASSERT_TRUE(test::clickRow(view->resultList(), "Jordan Lee"));
    typeAndSettle(*view, "Sam");
    EXPECT_EQ(view->selected()->name, "Jordan Lee");
    EXPECT_TRUE(view->confirmButton()->isEnabled());

    demo.instance().failNext(1, 500, R"({"error":{"message":"Operation against table sc_task failed"}})");
    QSignalSpy done(view.get(), &AssignView::done);
    QTest::keyClick(view->searchField(), Qt::Key_Return);  // Return assigns
    ASSERT_TRUE(spinUntil([&] { return !view->isWorking(); }));
    EXPECT_TRUE(view->errorLabel()->isVisible());
    EXPECT_FALSE(view->errorLabel()->text().isEmpty());
    EXPECT_EQ(view->selected()->name, "Jordan Lee");
    EXPECT_EQ(view->confirmButton()->text(), "Assign");
    EXPECT_TRUE(view->confirmButton()->isEnabled());

    typeAndSettle(*view, "Priya");  // a later search does not clear the error
    EXPECT_TRUE(view->errorLabel()->isVisible());
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    EXPECT_FALSE(view->errorLabel()->isVisible());  // a new attempt does
    ASSERT_TRUE(done.wait(15000));
    EXPECT_EQ(demo.instance().record("sc_task", task.sysID.value)["assigned_to"], view->selected()->sysID);
}

TEST_F(AssignTest, KeyboardAloneReachesEveryControlInOrder) {
    const auto view = open(groupTask(true));
    const std::string ritm = "Also assign " + groupTask(true).requestItem.display;
    EXPECT_EQ(test::tabOrder(view->searchField()),
              (Names{"Search people by name (empty = group members)…", "People", ritm, "Cancel", "Back"}));
    // Return on a row picks the person without assigning; Escape cancels.
    view->resultList()->setFocus();
    view->resultList()->setCurrentRow(2);
    QTest::keyClick(view->resultList(), Qt::Key_Return);
    EXPECT_EQ(view->selected()->name, "Jordan Lee");
    EXPECT_FALSE(view->isWorking());
    QSignalSpy done(view.get(), &AssignView::done);
    view->cancelButton()->setFocus();
    QTest::keyClick(view->cancelButton(), Qt::Key_Return);  // Return on Cancel cancels
    EXPECT_EQ(done.count(), 1);
    EXPECT_FALSE(view->isWorking());
    QTest::keyClick(view->resultList(), Qt::Key_Escape);
    EXPECT_EQ(done.count(), 2);
}

class CloseTest : public test::SheetTest, public ::testing::Test {
protected:
    std::unique_ptr<CloseView> open(const SNTask& task) {
        auto view = std::make_unique<CloseView>(task, model.get());
        view->resize(800, 400);
        view->show();
        return view;
    }
};

class CloseEnabled : public CloseTest, public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(CloseEnabled, OnlyWithSomethingBesidesWhiteSpace) {
    const auto view = open(groupTask(false));
    view->editor()->setFocus();
    view->editor()->insertPlainText(QString::fromUtf8(GetParam().first));
    EXPECT_EQ(view->confirmButton()->isEnabled(), GetParam().second) << GetParam().first;
    EXPECT_GE(view->editor()->height(), 140);
}

INSTANTIATE_TEST_SUITE_P(Texts, CloseEnabled,
                         ::testing::Values(std::pair{"", false}, std::pair{"   ", false},
                                           std::pair{"\n\n\n", false}, std::pair{" \t\n \n", false},
                                           std::pair{"\n.\n", true}, std::pair{"Done", true}));

TEST_F(CloseTest, SendsTheTrimmedResolutionThenRefreshesThenEnds) {
    const SNTask task = groupTask(false);
    const auto view = open(task);
    view->editor()->setPlainText("\n\n  Replaced the toner.\n\n  Tested a page.  \n\n");
    QSignalSpy done(view.get(), &CloseView::done);
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    EXPECT_EQ(view->confirmButton()->text(), "Closing…");
    EXPECT_FALSE(view->confirmButton()->isEnabled());
    ASSERT_TRUE(done.wait(15000));
    const auto record = demo.instance().record("sc_task", task.sysID.value);
    EXPECT_EQ(record["u_resolution"], "Replaced the toner.\n\n  Tested a page.");
    for (const SNTask& t : model->groupTasks())
        EXPECT_NE(t.sysID.value, task.sysID.value);  // refreshed: no longer queued
}

TEST_F(CloseTest, FailureKeepsTheTextAndShowsTheError) {
    const auto view = open(groupTask(false));
    const QString typed = QStringLiteral("Rebooted the printer.");
    view->editor()->setPlainText(typed);
    demo.instance().failNext(1, 500, R"({"error":{"message":"Operation against table sc_task failed"}})");
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return !view->isWorking(); }));
    EXPECT_TRUE(view->errorLabel()->isVisible());
    EXPECT_FALSE(view->errorLabel()->text().isEmpty());
    EXPECT_EQ(view->editor()->toPlainText(), typed);
    EXPECT_EQ(view->confirmButton()->text(), "Close task");
    EXPECT_TRUE(view->confirmButton()->isEnabled());
}

TEST_F(CloseTest, CancelWhileClosingEndsTheSheetButTheCloseCompletes) {
    const SNTask task = groupTask(false);
    auto view = open(task);
    view->editor()->setPlainText("Done");
    demo.instance().setLatency(300ms);
    QSignalSpy refreshed(model.get(), &AppModel::refreshFinished);
    QSignalSpy done(view.get(), &CloseView::done);
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    QTest::keyClick(view->editor(), Qt::Key_Escape);
    EXPECT_EQ(done.count(), 1);
    view.reset();  // the panel drops the sheet
    ASSERT_TRUE(refreshed.wait(15000));
    EXPECT_EQ(demo.instance().record("sc_task", task.sysID.value)["u_resolution"], "Done");
}

}  // namespace
}  // namespace trayline
