// The assign and close sheets against the demo instance, driven with keystrokes and clicks.

#include <gtest/gtest.h>

#include <QAccessible>
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
using test::rowNames;
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
    EXPECT_EQ(view->resultList()->item(0)->data(Qt::AccessibleTextRole).toString(), "Alex Morgan, alex.morgan@example.com");
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

// With a requested item or not; the box that also assigns the item left checked or not.
class AssignFlow : public AssignTest, public ::testing::WithParamInterface<std::pair<bool, bool>> {};

TEST_P(AssignFlow, AssignsThenRefreshesThenEnds) {
    const auto& [withRequestItem, keepBoxChecked] = GetParam();
    const SNTask task = groupTask(withRequestItem);
    const auto ritmBefore = demo.instance().record("sc_req_item", task.requestItem.value)["assigned_to"];
    const auto view = open(task);
    ASSERT_EQ(view->requestItemBox() != nullptr, withRequestItem);
    if (withRequestItem) {
        EXPECT_TRUE(view->requestItemBox()->isChecked());
        view->requestItemBox()->setChecked(keepBoxChecked);
    }
    typeAndSettle(*view, "Carter");
    ASSERT_TRUE(test::clickRow(view->resultList(), "Sam Carter"));
    const std::string sam = view->selected()->sysID;
    QSignalSpy done(view.get(), &AssignView::done);
    QTest::mouseClick(view->confirmButton(), Qt::LeftButton);
    EXPECT_EQ(view->confirmButton()->text(), "Assigning…");
    EXPECT_FALSE(view->confirmButton()->isEnabled());
    ASSERT_TRUE(done.wait(15000));

    EXPECT_EQ(demo.instance().record("sc_task", task.sysID.value)["assigned_to"], sam);
    if (withRequestItem) {
        EXPECT_EQ(demo.instance().record("sc_req_item", task.requestItem.value)["assigned_to"],
                  keepBoxChecked ? nlohmann::json(sam) : ritmBefore);
    }
    // The lists were refreshed before the sheet ended.
    const auto& group = model->groupTasks();
    EXPECT_TRUE(std::any_of(group.begin(), group.end(), [&](const SNTask& t) {
        return t.sysID.value == task.sysID.value && t.assignedTo.value == sam;
    }));
}

INSTANTIATE_TEST_SUITE_P(Tasks, AssignFlow,
                         ::testing::Values(std::pair{true, true}, std::pair{true, false}, std::pair{false, true}),
                         [](const auto& p) { return p.param.first ? p.param.second ? "item" : "item_unchecked" : "no_item"; });

// A screen reader picks a person by the row's action (or by selecting the row) and hears which one is
// picked as the row's selected state; arrow keys move without picking.
TEST_F(AssignTest, AScreenReaderPicksAPersonAndHearsWhoIsSelected) {
    const auto view = open(groupTask(false));
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
    EXPECT_TRUE(view->confirmButton()->isEnabled());
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

}  // namespace
}  // namespace trayline
