// What the queue model shows after sign-outs, account and group changes, and that none of its
// work ever holds up the GUI thread, even with a keyring and an instance that answer slowly.

#include <QTimer>

#include "core/auth/token_store.h"
#include "core/platform/keychain.h"
#include "core/platform/secret_store.h"
#include "desktop/models/settings_model.h"
#include "desktop/models/task_actions.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::await;
using ModelSessionTest = test::ModelTest;

// The profile's file keychain, answering each call after `delay` (like a keyring waiting for its
// unlock prompt), or refusing every deletion (like a locked one whose prompt was dismissed).
class ReluctantStore final : public SecretStore {
public:
    ReluctantStore(std::chrono::milliseconds delay, bool refusesRemoval) : delay_(delay), refuses_(refusesRemoval) {}
    std::optional<std::string> get(const std::string& account) override { return later().get(account); }
    bool set(const std::string& account, const std::string& data) override { return later().set(account, data); }
    bool remove(const std::string& account) override { return !refuses_ && later().remove(account); }

private:
    SecretStore& later() const {
        std::this_thread::sleep_for(delay_);
        return *inner_;
    }
    std::shared_ptr<SecretStore> inner_ = SecretStore::forCurrentUser();
    std::chrono::milliseconds delay_;
    bool refuses_;
};

// Sign-in options (no browser) over a token store on such a keyring, kept for the rest of the
// process: the model's workers are never waited for, so a slow read may outlive the test.
SignInFlow::Options onKeyring(std::chrono::milliseconds delay, bool refusesRemoval = false) {
    auto store = std::make_shared<ReluctantStore>(delay, refusesRemoval);
    return {[](const std::string&) {}, 0, std::chrono::seconds(300), new TokenStore(Keychain([store] { return store; }))};
}

TEST_F(ModelSessionTest, SignOutWinsOverARefreshUnderWayAndLeavesNothingBehind) {
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

TEST_F(ModelSessionTest, ASignOutTheKeyringRefusedSaysSo) {
    auto model = makeModel(nullptr, false, std::chrono::hours(1), onKeyring(0ms, true));
    model->auth()->signOut();
    ASSERT_TRUE(test::spinUntil([&] { return !model->errorMessage().isEmpty(); }, 5000));
    EXPECT_EQ(model->errorMessage(), "Couldn't sign out: the keyring did not let Trayline delete the stored sign-in.");
    EXPECT_TRUE(TokenStore::load().has_value());
}

// "Assign to me" patches only the task record, then refreshes; it looks the user up once, and again
// for whoever is signed in now and on the instance in use now.
TEST_F(ModelSessionTest, AssignToMeWritesTheUserOfTheCurrentSessionAndInstance) {
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

TEST_F(ModelSessionTest, ARefreshAnnouncesOnlyWhatChangedAndAnotherGroupBringsItsMembers) {
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

// With a keyring that takes 300 ms per call and an instance that takes 300 ms per request, the
// event loop keeps turning through launch, every action of the panel and its sheets, and sign-out.
TEST_F(ModelSessionTest, NoActionHoldsUpTheGuiThread) {
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

}  // namespace
}  // namespace trayline
