// The refresh cycle against the demo instance: what it publishes, in which order, and what it
// keeps when the instance fails, a newer refresh overtakes it or its polling loop restarts.

#include "core/platform/time.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::await;
using AppModelTest = test::ModelTest;

bool newestFirst(const TaskList& tasks, SNField SNTask::*field) {
    const auto when = [&](const SNTask& t) { return parseUtc((t.*field).value).value_or(Instant::min()); };
    return std::is_sorted(tasks.begin(), tasks.end(), [&](const auto& a, const auto& b) { return when(a) > when(b); });
}

TEST_F(AppModelTest, RefreshPublishesTheFourListsNewestFirstAndTheMembers) {
    const auto newest = demo.instance().insertTask({{"opened_at", "2099-01-01 00:00:00"}});
    auto model = refreshedModel();
    const std::pair<const TaskList*, SNField SNTask::*> lists[] = {
        {&model->myTasks(), &SNTask::openedAt}, {&model->groupTasks(), &SNTask::openedAt},
        {&model->doneThisMonth(), &SNTask::closedAt}, {&model->doneLastMonth(), &SNTask::closedAt}};
    for (const auto& [list, field] : lists)
        EXPECT_TRUE(!list->empty() && newestFirst(*list, field));
    for (const auto& t : model->myTasks())
        EXPECT_EQ(t.assignedTo.value, demo::kDemoUserSysId);
    for (const auto& t : model->groupTasks())
        EXPECT_EQ(t.assignmentGroup.value, demo::kGroupSysId);
    EXPECT_EQ(model->groupTasks().front().sysID.value, newest);
    EXPECT_EQ(model->members().size(), 7u);  // eight members, one inactive
    EXPECT_EQ(taskFetches(), 4u);
    for (const auto& r : demo.instance().requestLog())
        EXPECT_TRUE(r.path != "/api/now/table/sc_task" ||
                    std::count(r.query.begin(), r.query.end(), decltype(r.query)::value_type("sysparm_limit", "100")));
}

// Lists are collected in order: those before a failed one are published, the rest and the time of
// the last good refresh kept. A failed member fetch is not reported, and tried again next time.
TEST_F(AppModelTest, AFailedFetchKeepsTheListsFromItOnAndTheNextGoodRefreshClearsTheError) {
    auto model = makeModel();
    // The member fetch starts right after the last list is published: make exactly it fail.
    auto failMembers = QObject::connect(model.get(), &AppModel::doneLastMonthChanged, model.get(),
                                        [this] { demo.instance().failNext(1, 500, "{}"); });
    ASSERT_TRUE(await(model->refresh()));
    QObject::disconnect(failMembers);
    EXPECT_TRUE(model->members().empty());
    EXPECT_TRUE(model->errorMessage().isNull());
    const auto rest = [&] {  // all but the first list
        return std::tuple(model->groupTasks(), model->doneThisMonth(), model->doneLastMonth(), model->lastRefresh());
    };
    const auto before = rest();
    const auto mine = demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});
    Config::setGroupStates("1,2^GROUPBYstate");  // the instance refuses the group query with a 400
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->errorMessage().startsWith("Request failed (HTTP 400): ")) << model->errorMessage().toStdString();
    EXPECT_TRUE(test::holds(model->myTasks(), mine));
    EXPECT_EQ(rest(), before);
    EXPECT_FALSE(model->isRefreshing());

    Config::setGroupStates("1,2,3");
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->errorMessage().isNull());
    EXPECT_TRUE(test::holds(model->groupTasks(), mine));
    EXPECT_EQ(model->members().size(), 7u);
}

TEST_F(AppModelTest, AnOlderRefreshNeverOverwritesANewerOnesLists) {
    auto model = refreshedModel();
    demo.instance().setLatency(400ms);
    auto older = model->refresh();  // asks for the queue in states 1, 2 and 3
    ASSERT_TRUE(test::spinUntil([&] { return model->isRefreshing(); }));
    QTest::qWait(100);  // its requests are on their way
    demo.instance().setLatency(0ms);
    Config::setGroupStates("1");
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->isRefreshing()) << "the older refresh is still running";
    ASSERT_TRUE(await(older));
    EXPECT_FALSE(model->isRefreshing());
    ASSERT_FALSE(model->groupTasks().empty());
    for (const auto& t : model->groupTasks())
        EXPECT_EQ(t.state.value, "1") << t.number.display << " comes from the older refresh";
}

class IdleCycleTest : public AppModelTest, public ::testing::WithParamInterface<bool> {};

TEST_P(IdleCycleTest, ChangesNothingButTheSignedInFlagAndSendsNoRequest) {
    auto model = refreshedModel();
    const auto state = [&] { return std::make_tuple(model->myTasks(), model->lastRefresh(), model->errorMessage()); };
    const auto before = state();
    GetParam() ? (void)TokenStore::shared().clear() : Config::setClientID("");
    demo.instance().reset();
    QSignalSpy flag(model->auth(), &AuthManager::isSignedInChanged);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(flag.count(), GetParam() ? 1 : 0);
    // Tokens gone is a lost session: the lists go with it.
    EXPECT_EQ(GetParam() ? std::make_tuple(TaskList{}, QDateTime{}, QString{}) : before, state());
    EXPECT_TRUE(demo.instance().requestLog().empty());
}

INSTANTIATE_TEST_SUITE_P(SignedOutOrUnconfigured, IdleCycleTest, ::testing::Bool());

TEST_F(AppModelTest, RestartingThePollingAbandonsTheOldLoopsRefresh) {
    demo.instance().setLatency(300ms);
    auto model = makeModel(nullptr, true);  // the first refresh is under way
    ASSERT_TRUE(test::spinUntil([&] { return model->isRefreshing(); }));
    const auto mine = demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});
    QSignalSpy lists(model.get(), &AppModel::myTasksChanged);
    QSignalSpy ends(model.get(), &AppModel::refreshFinished);
    model->startPolling();
    ASSERT_TRUE(test::spinUntil([&] { return ends.count() == 2; }));
    QTest::qWait(100);
    EXPECT_EQ(ends.count(), 2);   // the long interval is not up: no third refresh
    EXPECT_EQ(lists.count(), 1);  // only the new loop's refresh published
    EXPECT_TRUE(test::holds(model->myTasks(), mine));
    EXPECT_TRUE(model->errorMessage().isNull());  // the cancelled refresh reports nothing
    EXPECT_FALSE(model->isRefreshing());
}

}  // namespace
}  // namespace trayline
