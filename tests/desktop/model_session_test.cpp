// What the queue model shows after sign-outs, account and settings changes, and that none of its
// work ever holds up the GUI thread, even with a keyring and an instance that answer slowly.

#include <QTimer>

#include "core/auth/callback_server.h"
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

// The file keychain of the profile, answering each call only after `delay`, like a keyring that
// waits for its unlock prompt.
class SlowSecretStore : public SecretStore {
public:
    SlowSecretStore(std::shared_ptr<SecretStore> inner, std::chrono::milliseconds delay)
        : inner_(std::move(inner)), delay_(delay) {}
    std::optional<std::string> get(const std::string& account) override { return later().get(account); }
    bool set(const std::string& account, const std::string& data) override { return later().set(account, data); }
    bool remove(const std::string& account) override { return later().remove(account); }

private:
    SecretStore& later() const {
        std::this_thread::sleep_for(delay_);
        return *inner_;
    }
    std::shared_ptr<SecretStore> inner_;
    std::chrono::milliseconds delay_;
};

Keychain slowKeychain() {
    auto slow = std::make_shared<SlowSecretStore>(SecretStore::forCurrentUser(), 300ms);
    return Keychain([slow] { return slow; });
}

// Sign-in options that store into `tokens` and play no browser.
SignInFlow::Options withTokens(TokenStore& tokens) {
    return {[](const std::string&) {}, 0, std::chrono::seconds(300), &tokens};
}

// The longest time between two turns of the event loop while it is watched.
struct LoopWatch {
    LoopWatch() {
        QObject::connect(&timer, &QTimer::timeout, [this] { longest = std::max(longest, clock.restart()); });
        clock.start();
        timer.start(0);
    }
    qint64 longestGapMs() const { return longest; }

    QTimer timer;
    QElapsedTimer clock;
    qint64 longest = 0;
};

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
    EXPECT_FALSE(TokenStore::load().has_value());
}

// Quitting right after a sign-out waits for the clear (and only for such writes), even when the
// keyring is slow.
TEST_F(ModelSessionTest, ASignOutIsStoredBeforeTheProcessMayEnd) {
    TokenStore slow(slowKeychain());
    auto model = makeModel(nullptr, false, std::chrono::hours(1), withTokens(slow));
    model->auth()->signOut();
    ASSERT_TRUE(waitForWrites(3000));
    EXPECT_FALSE(TokenStore::load().has_value());
}

// A keyring that refuses every deletion, like a locked one whose unlock prompt was dismissed.
class Undeletable final : public SecretStore {
public:
    std::optional<std::string> get(const std::string& account) override { return inner_->get(account); }
    bool set(const std::string& account, const std::string& data) override { return inner_->set(account, data); }
    bool remove(const std::string&) override { return false; }

private:
    std::shared_ptr<SecretStore> inner_ = SecretStore::forCurrentUser();
};

TEST_F(ModelSessionTest, ASignOutTheKeyringRefusedSaysSo) {
    TokenStore kept{Keychain([store = std::make_shared<Undeletable>()] { return store; })};
    auto model = makeModel(nullptr, false, std::chrono::hours(1), withTokens(kept));
    model->auth()->signOut();
    ASSERT_TRUE(test::spinUntil([&] { return !model->errorMessage().isEmpty(); }, 5000));
    EXPECT_EQ(model->errorMessage(), "Couldn't sign out: the keyring did not let Trayline delete the stored sign-in.");
    EXPECT_TRUE(TokenStore::load().has_value());
}

// A sign-in's failure arrives from the event loop, never inside the call, with the error's own
// text; a sign-out cancels a sign-in under way, so its tokens are never stored.
TEST_F(ModelSessionTest, ASignInFailsLaterWithItsTextAndASignOutCancelsIt) {
    TokenStore::shared().clear();
    Config::setClientSecret("");
    auto model = makeModel();
    QSignalSpy failed(model->auth(), &AuthManager::signInFailed);
    auto signIn = model->auth()->signIn();
    EXPECT_TRUE(failed.isEmpty() && !signIn.isFinished());
    ASSERT_TRUE(await(signIn));
    EXPECT_EQ(failed, QList<QVariantList>{{"Fill in instance URL, client ID and client secret in Settings first."}});
    EXPECT_THROW(signIn.waitForFinished(), std::runtime_error);

    Config::setClientSecret(demo::kClientSecret);
    signIn = model->auth()->signIn();
    EXPECT_TRUE(model->auth()->isSigningIn());
    model->auth()->signOut();
    EXPECT_FALSE(model->auth()->isSigningIn());
    ASSERT_TRUE(await(signIn));
    EXPECT_THROW(signIn.waitForFinished(), CallbackCancelled);
    EXPECT_FALSE(TokenStore::load().has_value());
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
    EXPECT_EQ(demo.countRequests("PATCH", "/api/now/table/sc_task/"), 2u);
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
    TokenStore slow(slowKeychain());
    demo.instance().setLatency(300ms);
    LoopWatch watch;
    auto model = makeModel(nullptr, false, std::chrono::hours(1), withTokens(slow));
    EXPECT_FALSE(model->isReady());
    ASSERT_TRUE(test::spinUntil([&] { return model->isReady(); }));
    EXPECT_TRUE(model->auth()->isSignedIn());
    EXPECT_TRUE(model->isConfigured());
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
    auto incomplete = values.result();
    incomplete.clientSecret.clear();
    ASSERT_TRUE(await(model->settings()->save(incomplete)));
    EXPECT_FALSE(model->isConfigured()) << "a save reads again whether the settings are complete";
    model->auth()->signOut();
    ASSERT_TRUE(waitForJobs(5000));
    EXPECT_LT(watch.longestGapMs(), 150) << "the event loop stopped for a keyring or network wait";
}

}  // namespace
}  // namespace trayline
