// The queue model against the demo instance: what a refresh publishes and keeps when a fetch fails or
// a newer refresh overtakes it, what production instances add (queues over the row limit, hidden
// assignees, rate limits, ended sessions), and what sign-outs, account and group changes leave.

#include <QElapsedTimer>
#include <QTimer>

#include "core/auth/token_store.h"
#include "core/platform/keychain.h"
#include "core/platform/secret_store.h"
#include "core/platform/time.h"
#include "core/servicenow/service_now_client.h"
#include "desktop/models/settings_model.h"
#include "desktop/models/task_actions.h"
#include "desktop/ui/panel_logic.h"
#include "qt_test_support.h"
#include "support/hooked_store.h"

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
    for (const auto& [list, field] : lists)  // which tasks each query selects is the query engine's test
        EXPECT_TRUE(!list->empty() && newestFirst(*list, field));
    EXPECT_EQ(model->groupTasks().front().sysID.value, newest);
    EXPECT_EQ(model->members().size(), 7u);  // eight members, one inactive
    EXPECT_EQ(taskFetches(), 4u);
}

// Lists are collected in order: those before a failed one are published, the rest and the time of
// the last good refresh kept.
TEST_F(AppModelTest, AFailedFetchKeepsTheListsFromItOnAndTheNextGoodRefreshClearsTheError) {
    auto model = refreshedModel();
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

TEST_F(AppModelTest, ABigQueueReadsAsTheInstanceCountsIt) {
    for (int i = 0; i < 120; ++i)
        demo.instance().insertTask({{"short_description", "Queued " + std::to_string(i)}});
    const auto whole = ServiceNowClient().fetchTasks(Config::groupQuery(), 1000);
    const auto unassigned = std::count_if(whole.begin(), whole.end(), [](const SNTask& t) { return t.assignedTo.value.empty(); });
    auto model = refreshedModel();
    const ListSize& group = model->listSize(1);
    EXPECT_EQ(group.rows, 100);
    EXPECT_EQ(group.count(), static_cast<std::int64_t>(whole.size()));
    EXPECT_EQ(model->unassignedCount(), unassigned) << "counted by the instance, not in the first 100 rows";
    const ui::ListSizes sizes{model->listSize(0), group, model->unassignedSize(), model->listSize(2), model->listSize(3)};
    EXPECT_EQ(ui::truncationNote("all", sizes), QStringLiteral("Showing 100 of ") + QLocale::system().toString(qint64(whole.size())));
    EXPECT_TRUE(ui::truncationNote("mine", sizes).isNull());

    // An instance (or a proxy) that sends no count: the rows, marked as a lower bound.
    demo.instance().control({{"action", "total_count"}, {"value", "many"}});
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(model->listSize(1).text(), "100+");
    EXPECT_TRUE(model->unassignedSize().atLeast());
    EXPECT_EQ(ui::truncationNote("all", {model->listSize(0), model->listSize(1), model->unassignedSize(),
                                         model->listSize(2), model->listSize(3)}),
              QStringLiteral("Showing the first 100"));
}

TEST_F(AppModelTest, AHiddenAssigneeIsNeitherUnassignedNorAMembers) {
    auto model = refreshedModel();
    const auto& group = model->groupTasks();
    const auto assigned = std::find_if(group.begin(), group.end(), [](const SNTask& t) { return !t.assignedTo.value.empty(); });
    ASSERT_NE(assigned, group.end());
    const std::string id = assigned->id(), member = assigned->assignedTo.value;
    const int unassigned = model->unassignedCount(), theirs = ui::memberTaskCount(group, member);
    const auto total = model->listSize(1).count();
    const auto other = std::find_if(group.begin(), group.end(), [&](const SNTask& t) {  // hidden whole
        return !t.assignedTo.value.empty() && t.assignedTo.value != member;
    });
    ASSERT_NE(other, group.end());
    const std::string hiddenRow = other->id();
    demo.instance().control({{"action", "acl"}, {"hidden_rows", {hiddenRow}}, {"hidden_fields", {{"assigned_to", {id}}}}});
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_FALSE(taskWithId(*model, id).assigneeKnown);
    EXPECT_FALSE(test::holds(model->groupTasks(), hiddenRow));
    EXPECT_EQ(model->listSize(1).count(), total) << "a row the rules hide still counts, as the instance counts it";
    EXPECT_EQ(model->unassignedCount(), unassigned);
    EXPECT_EQ(static_cast<int>(ui::unassignedTasks(model->groupTasks()).size()), unassigned);
    EXPECT_EQ(ui::memberTaskCount(model->groupTasks(), member), theirs - 1);
}

TEST_F(AppModelTest, ARateLimitHoldsEveryRequestUntilTheInstancesTime) {
    auto model = makeModel(nullptr, true, 20ms);  // polls every 100 ms
    ASSERT_TRUE(test::spinUntil([&] { return !model->members().empty(); }));
    // Four requests (one refresh) in a window of three seconds; the next poll is refused.
    demo.instance().control({{"action", "rate_limit"}, {"limit", 4}, {"window_seconds", 3}});
    ASSERT_TRUE(test::spinUntil([&] { return model->isLimited() && !model->isRefreshing(); }, 8000));
    const auto sent = demo.instance().requestLog().size();
    const QDateTime until = model->limitedUntil();
    const auto at = Instant(std::chrono::milliseconds(until.toMSecsSinceEpoch()));
    EXPECT_TRUE(model->isStale());
    EXPECT_TRUE(model->errorMessage().startsWith(QStringLiteral("Request failed (HTTP 429): ")));
    EXPECT_TRUE(model->errorMessage().endsWith(
        QStringLiteral(" Next try at ") + QString::fromStdString(DateFormatter::current().shortTime(at)) + '.'))
        << model->errorMessage().toStdString();

    ASSERT_TRUE(await(model->refresh()));  // "Refresh now" says when instead of sending
    EXPECT_TRUE(model->errorMessage().startsWith(QStringLiteral("Not refreshed: the instance limits requests. Next try at ")));
    QSignalSpy refreshed(model.get(), &AppModel::lastRefreshChanged);
    ASSERT_TRUE(test::spinUntil([&] { return QDateTime::currentDateTimeUtc() >= until.addMSecs(-150); }, 5000));
    EXPECT_EQ(demo.instance().requestLog().size(), sent) << "nothing reaches the instance before its time";
    EXPECT_EQ(refreshed.count(), 0);
    // Then polls resume at once, and the window's requests go through.
    ASSERT_TRUE(test::spinUntil([&] { return refreshed.count() > 0; }, 5000));
    EXPECT_GE(model->lastRefresh(), until.addMSecs(-1000));
}

// Sign-in options (no browser) over a token store on a keyring that answers each call after
// `delay`, or refuses every deletion, kept for the rest of the process: the model's workers are never
// waited for, so a slow read may outlive the test.
SignInFlow::Options onKeyring(std::chrono::milliseconds delay, bool refusesRemoval = false) {
    auto store = std::make_shared<test::HookedStore>();
    store->delay = delay;
    store->refusesRemoval = refusesRemoval;
    return {[](const std::string&) {}, 0, std::chrono::seconds(300), new TokenStore(Keychain([store] { return store; }))};
}

TEST_F(AppModelTest, SignOutWinsOverARefreshUnderWayAndLeavesNothingBehind) {
    auto model = refreshedModel();
    demo.instance().setLatency(300ms);
    auto refresh = model->refresh();
    QTest::qWait(50);  // the fetches are on their way
    model->auth()->signOut();
    EXPECT_FALSE(model->auth()->isSignedIn());
    ASSERT_TRUE(await(refresh));
    ASSERT_TRUE(await(model->refresh()));
    for (const auto* list : {&model->myTasks(), &model->groupTasks(), &model->doneThisMonth(), &model->doneLastMonth()})
        EXPECT_TRUE(list->empty());
    EXPECT_TRUE(model->members().empty());
    EXPECT_FALSE(model->lastRefresh().isValid());
    EXPECT_TRUE(model->errorMessage().isNull()) << model->errorMessage().toStdString();
    ASSERT_TRUE(waitForWrites(3000));  // the clear runs on a worker, and may come last on a busy machine
    EXPECT_FALSE(TokenStore::load().has_value());
}

TEST_F(AppModelTest, ASignOutTheKeyringRefusedSaysSo) {
    auto model = makeModel(nullptr, false, std::chrono::hours(1), onKeyring(0ms, true));
    model->auth()->signOut();
    ASSERT_TRUE(test::spinUntil([&] { return !model->errorMessage().isEmpty(); }, 5000));
    EXPECT_EQ(model->errorMessage(), "Couldn't sign out: the keyring did not let Trayline delete the stored sign-in.");
    EXPECT_TRUE(TokenStore::load().has_value());
}

// With a keyring that takes 300 ms per call and an instance that takes 300 ms per request, the
// event loop keeps turning through launch, every action of the panel and its sheets, and sign-out.
TEST_F(AppModelTest, NoActionHoldsUpTheGuiThread) {
    demo.instance().setLatency(300ms);
    QElapsedTimer clock;
    qint64 longestGap = 0;  // between two turns of the event loop
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { longestGap = std::max(longestGap, clock.restart()); });
    clock.start();
    watch.start(0);
    auto model = makeModel(nullptr, false, std::chrono::hours(1), onKeyring(300ms));
    EXPECT_FALSE(model->isReady());
    ASSERT_TRUE(test::spinUntil([&] { return model->isReady(); }));
    EXPECT_TRUE(model->auth()->isSignedIn());
    ASSERT_TRUE(await(model->refresh()));
    const auto task = model->groupTasks().front();
    const auto user = model->members().front().sysID;
    ASSERT_TRUE(await(model->actions()->groupMembers()));
    ASSERT_TRUE(await(model->actions()->searchUsers(QStringLiteral("Sam"))));
    ASSERT_TRUE(await(model->actions()->assign(task, QString::fromStdString(user), true)));
    ASSERT_TRUE(await(model->actions()->close(task, QStringLiteral("Done."))));
    ASSERT_TRUE(await(model->assignToMe(task)));
    auto values = model->settings()->load();
    ASSERT_TRUE(await(values));
    ASSERT_TRUE(await(model->settings()->save(values.result())));
    model->auth()->signOut();
    ASSERT_TRUE(waitForJobs(5000));
    EXPECT_LT(longestGap, 150) << "the event loop stopped for a keyring or network wait";
}

// "Assign to me" patches only the task record, then refreshes; it looks the user up once, and again
// for whoever is signed in now and on the instance in use now.
TEST_F(AppModelTest, AssignToMeWritesTheUserOfTheCurrentSessionAndInstance) {
    const auto insert = [&] { return demo.instance().insertTask(nlohmann::json::object()); };
    const std::string ids[] = {insert(), insert(), insert()};
    const auto assignedTo = [&](const std::string& id) { return demo.instance().record("sc_task", id)["assigned_to"]; };
    auto model = refreshedModel();
    ASSERT_TRUE(await(model->assignToMe(taskWithId(*model, ids[0]))));
    ASSERT_TRUE(await(model->assignToMe(taskWithId(*model, ids[1]))));
    EXPECT_EQ(assignedTo(ids[0]), demo::kDemoUserSysId);
    EXPECT_EQ(assignedTo(ids[1]), demo::kDemoUserSysId);
    const auto users = demo.countRequests("GET", "/api/now/table/sys_user");  // the group's members too
    EXPECT_EQ(users - demo.countRequests("GET", "/api/now/table/sys_user_gr"), 1u);  // one lookup of the user
    EXPECT_EQ(demo.countRequests("PATCH", "/api/now/table/sc_req_item"), 0u);
    EXPECT_EQ(taskFetches(), 12u);  // each assignment refreshed
    EXPECT_TRUE(test::holds(model->myTasks(), ids[1]));

    demo.instance().failNext(1, 403, R"({"error":{"message":"Operation Failed"}})");
    ASSERT_TRUE(await(model->assignToMe(taskWithId(*model, ids[0]))));
    EXPECT_TRUE(model->errorMessage().startsWith("Assign failed: Request failed (HTTP 403): "))
        << model->errorMessage().toStdString();
    EXPECT_EQ(taskFetches(), 12u);  // no refresh after a failed assignment

    // Another account: sign out, then a colleague signs in on the same machine.
    const std::string colleague = model->members().back().sysID;
    model->auth()->signOut();
    ASSERT_TRUE(waitForJobs(5000));
    demo.signInAs(colleague);
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_TRUE(await(model->assignToMe(taskWithId(*model, ids[2]))));
    EXPECT_EQ(assignedTo(ids[2]), colleague) << model->errorMessage().toStdString();

    // Another instance, with the first account.
    test::DemoProfile other;
    other.signIn();
    const auto there = other.instance().insertTask({{"short_description", "there"}});
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_TRUE(await(model->assignToMe(taskWithId(*model, there))));
    EXPECT_EQ(other.instance().record("sc_task", there)["assigned_to"], demo::kDemoUserSysId);
}

TEST_F(AppModelTest, ARefreshAnnouncesOnlyWhatChangedAndAnotherGroupBringsItsMembers) {
    auto model = refreshedModel();
    int changes = 0;
    for (auto signal : {&AppModel::myTasksChanged, &AppModel::groupTasksChanged, &AppModel::doneThisMonthChanged,
                        &AppModel::doneLastMonthChanged, &AppModel::membersChanged, &AppModel::errorMessageChanged})
        QObject::connect(model.get(), signal, [&] { ++changes; });
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(changes, 0);
    demo.instance().insertTask(nlohmann::json::object());
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(changes, 1);  // the group queue only
    EXPECT_EQ(model->members().size(), 7u);
    EXPECT_EQ(demo.countRequests("GET", "/api/now/table/sys_user_grmember"), 1u);

    const auto members = demo.instance().dataSet()["tables"]["sys_user_grmember"];
    const auto network = std::find_if(members.begin(), members.end(),  // the demo's second group, of two
                                      [](const auto& m) { return m["group"] != demo::kGroupSysId; });
    Config::setGroupSysID((*network)["group"].get<std::string>());
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(model->members().size(), 2u);
}

struct LossRow {
    const char* name;
    std::function<void(demo::DemoInstance&)> cause;
};

class SessionLossTest : public test::ModelTest, public ::testing::WithParamInterface<LossRow> {};

TEST_P(SessionLossTest, SignsOutAtOnceEmptiesTheListsAndSaysSoOnce) {
    auto model = refreshedModel();
    ASSERT_FALSE(model->myTasks().empty());
    QSignalSpy lost(model.get(), &AppModel::sessionLost);
    GetParam().cause(demo.instance());
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_FALSE(model->auth()->isSignedIn());
    EXPECT_EQ(lost.count(), 1);
    for (const auto* list : {&model->myTasks(), &model->groupTasks(), &model->doneThisMonth(), &model->doneLastMonth()})
        EXPECT_TRUE(list->empty());
    EXPECT_TRUE(model->errorMessage().isNull()) << "no raw 401 over the lists: " << model->errorMessage().toStdString();
    EXPECT_FALSE(TokenStore::load()) << "the MCP server stops using the dead tokens too";
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(lost.count(), 1);

    demo.instance().setTokenLifetime(1800);
    demo.signIn();  // signed in again (by hand, or by another process): the next refresh fills the lists
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(model->auth()->isSignedIn());
    EXPECT_FALSE(model->myTasks().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, SessionLossTest,
    ::testing::Values(LossRow{"RefusedRefreshToken",
                              [](demo::DemoInstance& i) {
                                  i.expireAccessTokens();
                                  i.revokeRefreshTokens();
                              }},
                      LossRow{"RejectedAfterRetry",
                              [](demo::DemoInstance& i) {
                                  i.setTokenLifetime(0);
                                  i.expireAccessTokens();
                              }},
                      LossRow{"TokensGone", [](demo::DemoInstance&) { TokenStore::shared().clear(); }}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace trayline
