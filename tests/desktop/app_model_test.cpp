// The refresh cycle against the demo instance: what it publishes, in which order, and what it
// keeps when the instance misbehaves.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>

#include "core/auth/token_store.h"
#include "core/platform/time.h"
#include "core/settings/config.h"
#include "desktop/models/app_model.h"
#include "qt_test_support.h"
#include "support/demo_fixture.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::await;

bool descendingBy(const TaskList& tasks, SNField SNTask::*field) {
    for (std::size_t i = 1; i < tasks.size(); ++i) {
        const auto a = parseUtc((tasks[i - 1].*field).value).value_or(Instant::min());
        const auto b = parseUtc((tasks[i].*field).value).value_or(Instant::min());
        if (a < b)
            return false;
    }
    return true;
}

class AppModelTest : public ::testing::Test {
protected:
    void SetUp() override { demo.signIn(); }

    std::unique_ptr<AppModel> makeModel(bool poll = false, std::chrono::milliseconds minute = 1h) {
        AppModel::Options options;
        options.startPolling = poll;
        options.minute = minute;
        return std::make_unique<AppModel>(std::move(options));
    }
    std::size_t taskFetches() const { return demo.countRequests("GET", "/api/now/table/sc_task"); }
    std::size_t memberFetches() const { return demo.countRequests("GET", "/api/now/table/sys_user_grmember"); }

    test::DemoProfile demo;
};

TEST_F(AppModelTest, RefreshPublishesTheFourListsSortedAndTheMembers) {
    const auto future = demo.instance().insertTask(
        {{"short_description", "Laptop for new hire"}, {"opened_at", "2099-01-01 00:00:00"}});
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));

    EXPECT_TRUE(model->errorMessage().isNull());
    EXPECT_TRUE(model->lastRefresh().isValid());
    EXPECT_FALSE(model->isRefreshing());
    ASSERT_FALSE(model->myTasks().empty());
    ASSERT_FALSE(model->groupTasks().empty());
    ASSERT_FALSE(model->doneThisMonth().empty());
    ASSERT_FALSE(model->doneLastMonth().empty());
    for (const auto& t : model->myTasks())
        EXPECT_EQ(t.assignedTo.value, demo::kDemoUserSysId);
    for (const auto& t : model->groupTasks())
        EXPECT_EQ(t.assignmentGroup.value, demo::kGroupSysId);
    EXPECT_EQ(model->groupTasks().front().sysID.value, future);  // newest opened first
    EXPECT_TRUE(descendingBy(model->myTasks(), &SNTask::openedAt));
    EXPECT_TRUE(descendingBy(model->groupTasks(), &SNTask::openedAt));
    EXPECT_TRUE(descendingBy(model->doneThisMonth(), &SNTask::closedAt));
    EXPECT_TRUE(descendingBy(model->doneLastMonth(), &SNTask::closedAt));
    EXPECT_EQ(model->unassignedCount(), unassignedCount(model->groupTasks()));
    EXPECT_GT(model->unassignedCount(), 0);
    EXPECT_EQ(model->members().size(), 7u);  // eight members, one inactive

    for (const auto& r : demo.instance().requestLog()) {
        if (r.path == "/api/now/table/sc_task") {
            const auto limit = std::find_if(r.query.begin(), r.query.end(),
                                            [](const auto& q) { return q.first == "sysparm_limit"; });
            ASSERT_NE(limit, r.query.end());
            EXPECT_EQ(limit->second, "100");
        }
    }
    EXPECT_EQ(taskFetches(), 4u);
}

TEST_F(AppModelTest, FailedGroupFetchKeepsFreshMyTasksAndTheOlderOtherLists) {
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    const auto group = model->groupTasks();
    const auto thisMonth = model->doneThisMonth();
    const auto lastMonth = model->doneLastMonth();
    const auto stamp = model->lastRefresh();
    const auto mine = demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});

    Config::setGroupStates("1,2^GROUPBYstate");  // the instance refuses this query with a 400
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->errorMessage().startsWith(QStringLiteral("Request failed (HTTP 400): ")))
        << model->errorMessage().toStdString();
    EXPECT_TRUE(std::any_of(model->myTasks().begin(), model->myTasks().end(),
                            [&](const SNTask& t) { return t.sysID.value == mine; }));
    EXPECT_EQ(model->groupTasks(), group);
    EXPECT_EQ(model->doneThisMonth(), thisMonth);
    EXPECT_EQ(model->doneLastMonth(), lastMonth);
    EXPECT_EQ(model->lastRefresh(), stamp);
    EXPECT_FALSE(model->isRefreshing());

    Config::setGroupStates("1,2,3");
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->errorMessage().isNull());
    EXPECT_NE(model->groupTasks(), group);  // the new task is in the queue now
}

TEST_F(AppModelTest, MembersAreFetchedOnlyWhileTheListIsEmpty) {
    auto model = makeModel();
    // The member fetch starts right after the last list is published: make exactly it fail.
    auto failMembers = QObject::connect(model.get(), &AppModel::doneLastMonthChanged, model.get(),
                                        [this] { demo.instance().failNext(1, 500, "{}"); });
    ASSERT_TRUE(await(model->refresh()));
    QObject::disconnect(failMembers);
    EXPECT_TRUE(model->members().empty());
    EXPECT_TRUE(model->errorMessage().isNull());  // not reported
    EXPECT_TRUE(model->lastRefresh().isValid());

    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(model->members().size(), 7u);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(memberFetches(), 2u);
}

TEST_F(AppModelTest, AssignToMePatchesOnlyTheTaskAndLooksTheUserUpOnce) {
    const auto first = demo.instance().insertTask({{"short_description", "first"}});
    const auto second = demo.instance().insertTask({{"short_description", "second"}});
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    const auto taskWithId = [&](const std::string& id) {
        return *std::find_if(model->groupTasks().begin(), model->groupTasks().end(),
                             [&](const SNTask& t) { return t.sysID.value == id; });
    };
    const auto a = taskWithId(first), b = taskWithId(second);

    ASSERT_TRUE(await(model->assignToMe(a)));
    ASSERT_TRUE(await(model->assignToMe(b)));
    EXPECT_EQ(demo.instance().record("sc_task", first)["assigned_to"], demo::kDemoUserSysId);
    EXPECT_EQ(demo.instance().record("sc_task", second)["assigned_to"], demo::kDemoUserSysId);
    EXPECT_EQ(memberFetches(), 1u);
    EXPECT_EQ(demo.countRequests("GET", "/api/now/table/sys_user") - memberFetches(), 1u);  // one lookup
    EXPECT_EQ(demo.countRequests("PATCH", "/api/now/table/sc_task/"), 2u);
    EXPECT_EQ(demo.countRequests("PATCH", "/api/now/table/sc_req_item"), 0u);
    EXPECT_EQ(taskFetches(), 12u);  // each assignment refreshed
    EXPECT_TRUE(std::any_of(model->myTasks().begin(), model->myTasks().end(),
                            [&](const SNTask& t) { return t.sysID.value == second; }));

    demo.instance().failNext(1, 403, R"({"error":{"message":"Operation Failed"}})");
    ASSERT_TRUE(await(model->assignToMe(a)));
    EXPECT_TRUE(model->errorMessage().startsWith(QStringLiteral("Assign failed: Request failed (HTTP 403): ")))
        << model->errorMessage().toStdString();
    EXPECT_EQ(taskFetches(), 12u);  // no refresh after a failed assignment
}

TEST_F(AppModelTest, AnOlderRefreshNeverOverwritesANewerOnesLists) {
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
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

// Signed out or not configured: the cycle ends after publishing the signed-in flag.
class IdleCycleTest : public AppModelTest, public ::testing::WithParamInterface<bool> {};

TEST_P(IdleCycleTest, ChangesNothingButTheSignedInFlag) {
    const bool signOut = GetParam();
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    const auto before = std::make_tuple(model->myTasks(), model->groupTasks(), model->members(),
                                        model->lastRefresh(), model->errorMessage());
    if (signOut)
        TokenStore::shared().clear();
    else
        Config::setClientID("");
    demo.instance().reset();
    QSignalSpy lists(model.get(), &AppModel::myTasksChanged);
    QSignalSpy refreshing(model.get(), &AppModel::isRefreshingChanged);
    QSignalSpy errors(model.get(), &AppModel::errorMessageChanged);
    QSignalSpy stamps(model.get(), &AppModel::lastRefreshChanged);
    QSignalSpy flag(model->auth(), &AuthManager::isSignedInChanged);

    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(model->auth()->isSignedIn(), !signOut);
    EXPECT_EQ(flag.count(), signOut ? 1 : 0);
    EXPECT_EQ(lists.count() + refreshing.count() + errors.count() + stamps.count(), 0);
    EXPECT_EQ(before, std::make_tuple(model->myTasks(), model->groupTasks(), model->members(),
                                      model->lastRefresh(), model->errorMessage()));
    EXPECT_TRUE(demo.instance().requestLog().empty());
}

INSTANTIATE_TEST_SUITE_P(SignedOutOrUnconfigured, IdleCycleTest, ::testing::Bool());

TEST_F(AppModelTest, PollingRefreshesAtOnceAndThenEveryInterval) {
    Config::setPollMinutes(-3);  // stored as 1
    auto model = makeModel(true, 60ms);
    QSignalSpy ends(model.get(), &AppModel::refreshFinished);
    ASSERT_TRUE(test::spinUntil([&] { return ends.count() >= 4; }, 5000));
    EXPECT_TRUE(model->errorMessage().isNull());
}

TEST_F(AppModelTest, RestartingThePollingAbandonsTheOldLoopsRefresh) {
    demo.instance().setLatency(300ms);
    auto model = makeModel(true);  // the first refresh is under way
    ASSERT_TRUE(test::spinUntil([&] { return model->isRefreshing(); }));
    const auto mine = demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});
    QSignalSpy lists(model.get(), &AppModel::myTasksChanged);
    QSignalSpy ends(model.get(), &AppModel::refreshFinished);

    model->startPolling();
    ASSERT_TRUE(test::spinUntil([&] { return ends.count() == 2; }));
    QTest::qWait(100);
    EXPECT_EQ(ends.count(), 2);        // the long interval is not up: no third refresh
    EXPECT_EQ(lists.count(), 1);        // only the new loop's refresh published
    EXPECT_TRUE(std::any_of(model->myTasks().begin(), model->myTasks().end(),
                            [&](const SNTask& t) { return t.sysID.value == mine; }));
    EXPECT_TRUE(model->errorMessage().isNull());  // the cancelled refresh reports nothing
    EXPECT_FALSE(model->isRefreshing());
}

TEST_F(AppModelTest, RefusedRefreshTokenSignsOutAtTheNextRefreshWithoutMoreRequests) {
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    demo.instance().expireAccessTokens();
    demo.instance().revokeRefreshTokens();
    demo.instance().reset();

    ASSERT_TRUE(await(model->refresh()));
    EXPECT_FALSE(model->errorMessage().isEmpty());
    EXPECT_EQ(demo.countRequests("POST", "/oauth_token.do"), 1u);  // one shared refresh attempt
    EXPECT_FALSE(TokenStore::load().has_value());

    const auto requests = demo.instance().requestLog().size();
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_FALSE(model->auth()->isSignedIn());
    EXPECT_EQ(demo.instance().requestLog().size(), requests);
}

// An instance that answers badly: the error's own text, the lists kept, the next good refresh
// clears the error.
struct BadReply {
    const char* name;
    int status;
    const char* body;
    const char* contentType;
    const char* expectedPrefix;
};

class BadInstanceTest : public AppModelTest, public ::testing::WithParamInterface<BadReply> {};

TEST_P(BadInstanceTest, ShowsTheErrorKeepsTheListsAndRecovers) {
    const auto& bad = GetParam();
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    const auto before = std::make_tuple(model->myTasks(), model->groupTasks(), model->doneThisMonth(),
                                        model->doneLastMonth(), model->lastRefresh());
    demo.instance().failNext(4, bad.status, bad.body, bad.contentType);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->errorMessage().startsWith(QString::fromUtf8(bad.expectedPrefix)))
        << model->errorMessage().toStdString();
    EXPECT_FALSE(model->errorMessage().isEmpty());
    EXPECT_EQ(before, std::make_tuple(model->myTasks(), model->groupTasks(), model->doneThisMonth(),
                                      model->doneLastMonth(), model->lastRefresh()));

    demo.instance().reset();
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->errorMessage().isNull());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, BadInstanceTest,
    ::testing::Values(BadReply{"ServerError", 500, R"({"error":{"message":"boom"}})", "application/json",
                               R"(Request failed (HTTP 500): {"error":{"message":"boom"}})"},
                      BadReply{"HtmlInsteadOfJson", 200, "<html><body>Instance hibernating</body></html>",
                               "text/html", ""}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(AppModelTest, UnreachableInstanceReportsTheTransportError) {
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    const auto tasks = model->myTasks();
    demo.instance().stop();
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->errorMessage().contains(QStringLiteral("connect"), Qt::CaseInsensitive))
        << model->errorMessage().toStdString();
    EXPECT_EQ(model->myTasks(), tasks);
}

// A listener that never accepts: requests hang until cancelled. The GUI thread keeps running.
TEST_F(AppModelTest, SilentInstanceNeverBlocksTheEventLoop) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 16), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    Config::setInstanceURL("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));

    auto model = makeModel();
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    model->refresh();
    QTest::qWait(500);
    EXPECT_TRUE(model->isRefreshing());
    EXPECT_GE(ticks, 25);

    QElapsedTimer clock;
    clock.start();
    model.reset();  // cancels the hanging requests without waiting for them
    EXPECT_LT(clock.elapsed(), 1000) << "destroying the model waited for its workers";
    EXPECT_TRUE(waitForJobs(5000)) << "the cancelled requests did not end";
    ::close(fd);
}

TEST(TaskOrder, DescendingStableWithUnparsableTimesLast) {
    const auto task = [](const char* number, const char* opened) {
        SNTask t;
        t.number.display = number;
        t.openedAt.value = opened;
        return t;
    };
    TaskList tasks{task("A", ""), task("B", "2025-01-01 10:00:00"), task("C", "not a date"),
                   task("D", "2025-03-01 10:00:00"), task("E", "2025-01-01 10:00:00"),
                   task("F", "2025-01-01T10:00:00")};
    sortNewestFirst(tasks);
    EXPECT_EQ(test::numbersOf(tasks), (std::vector<std::string>{"D", "B", "E", "A", "C", "F"}));
}

TEST(TaskOrder, UnassignedCountLooksAtTheStoredValueOnly) {
    TaskList tasks(3);
    tasks[0].assignedTo = {"", "Shown but empty"};
    tasks[1].assignedTo = {"abc", ""};
    tasks[2].assignedTo = {"", ""};
    EXPECT_EQ(unassignedCount(tasks), 2);
}

}  // namespace
}  // namespace trayline
