// What the queue model shows after sign-outs, account and settings changes, and that none of its
// work ever holds up the GUI thread, even with a keyring and an instance that answer slowly.

#include <gtest/gtest.h>

#include <QTimer>

#include "core/auth/callback_server.h"
#include "core/auth/token_store.h"
#include "core/platform/secret_store.h"
#include "core/settings/config.h"
#include "desktop/models/app_model.h"
#include "desktop/models/settings_model.h"
#include "desktop/models/task_actions.h"
#include "desktop/platform/notifier.h"
#include "qt_test_support.h"
#include "support/demo_fixture.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::await;

struct Posted {
    QString title, body, identifier;
};

class RecordingNotifier : public Notifier {
public:
    void requestPermission() override {}
    void send(const QString& title, const QString& body, const QString& identifier) override {
        posted.push_back({title, body, identifier});
    }
    std::vector<Posted> posted;
};

// The file keychain of the profile, answering each call only after `delay`, like a keyring that
// waits for its unlock prompt.
class SlowSecretStore : public SecretStore {
public:
    SlowSecretStore(std::shared_ptr<SecretStore> inner, std::chrono::milliseconds delay)
        : inner_(std::move(inner)), delay_(delay) {}
    std::optional<std::string> get(const std::string& account) override {
        std::this_thread::sleep_for(delay_);
        return inner_->get(account);
    }
    bool set(const std::string& account, const std::string& data) override {
        std::this_thread::sleep_for(delay_);
        return inner_->set(account, data);
    }
    void remove(const std::string& account) override {
        std::this_thread::sleep_for(delay_);
        inner_->remove(account);
    }

private:
    std::shared_ptr<SecretStore> inner_;
    std::chrono::milliseconds delay_;
};

Keychain slowKeychain() {
    auto slow = std::make_shared<SlowSecretStore>(SecretStore::forCurrentUser(), 300ms);
    return Keychain([slow] { return slow; });
}

// The longest time between two turns of the event loop while it is watched.
class LoopWatch {
public:
    LoopWatch() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            longest_ = std::max(longest_, clock_.restart());
        });
        clock_.start();
        timer_.start(0);
    }
    qint64 longestGapMs() const { return longest_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

class ModelSessionTest : public ::testing::Test {
protected:
    void SetUp() override { demo.signIn(); }
    std::unique_ptr<AppModel> makeModel(Notifier* notifier = nullptr, TokenStore* tokens = nullptr) {
        AppModel::Options options;
        options.startPolling = false;
        options.notifier = notifier;
        options.signIn.tokens = tokens;
        options.signIn.openBrowser = [](const std::string&) {};  // the test plays no browser
        options.signIn.port = 0;
        return std::make_unique<AppModel>(std::move(options));
    }
    static SNTask taskWithId(const AppModel& model, const std::string& id) {
        const auto& tasks = model.groupTasks();
        const auto found = std::find_if(tasks.begin(), tasks.end(), [&](const SNTask& t) { return t.sysID.value == id; });
        EXPECT_NE(found, tasks.end()) << "no task " << id << " in the group queue ("
                                      << model.errorMessage().toStdString() << ")";
        return found == tasks.end() ? SNTask{} : *found;
    }
    // The demo's second group (two members).
    std::string otherGroup() {
        const auto data = demo.instance().dataSet();
        for (const auto& m : data["tables"]["sys_user_grmember"])
            if (m["group"] != demo::kGroupSysId)
                return m["group"];
        return {};
    }

    test::DemoProfile demo;
};

TEST_F(ModelSessionTest, SignOutWinsOverARefreshUnderWayAndLeavesNothingBehind) {
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_FALSE(model->myTasks().empty());
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
    EXPECT_FALSE(model->auth()->isSignedIn());
    EXPECT_FALSE(TokenStore::load().has_value());
}

TEST_F(ModelSessionTest, SignOutCancelsASignInSoItsTokensAreNeverStored) {
    TokenStore::shared().clear();
    auto model = makeModel();
    ASSERT_TRUE(test::spinUntil([&] { return model->isReady(); }));
    auto signIn = model->auth()->signIn();
    EXPECT_TRUE(model->auth()->isSigningIn());
    model->auth()->signOut();
    EXPECT_FALSE(model->auth()->isSigningIn());
    ASSERT_TRUE(await(signIn));
    EXPECT_THROW(signIn.waitForFinished(), CallbackCancelled);
    EXPECT_FALSE(model->auth()->isSignedIn());
    EXPECT_FALSE(TokenStore::load().has_value());
}

// Quitting right after a sign-out waits for the clear (and only for such writes), even when the
// keyring is slow.
TEST_F(ModelSessionTest, ASignOutIsStoredBeforeTheProcessMayEnd) {
    TokenStore slow(slowKeychain());
    auto model = makeModel(nullptr, &slow);
    model->auth()->signOut();
    ASSERT_TRUE(waitForWrites(3000));
    EXPECT_FALSE(TokenStore::load().has_value());
}

TEST_F(ModelSessionTest, AFailureIsNeverReportedInsideTheCallThatStartedTheWork) {
    Config::setClientID("");
    auto model = makeModel();
    int failures = 0;
    QObject::connect(model->auth(), &AuthManager::signInFailed, [&] { ++failures; });
    auto signIn = model->auth()->signIn();
    EXPECT_EQ(failures, 0);
    EXPECT_FALSE(signIn.isFinished());
    ASSERT_TRUE(await(signIn));
    EXPECT_EQ(failures, 1);
}

// "Assign to me" must write whoever is signed in now, not whoever was looked up first.
TEST_F(ModelSessionTest, AssignToMeWritesTheUserOfTheCurrentSessionAndInstance) {
    const auto first = demo.instance().insertTask({{"short_description", "first"}});
    const auto second = demo.instance().insertTask({{"short_description", "second"}});
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_TRUE(await(model->assignToMe(taskWithId(*model, first))));
    EXPECT_EQ(demo.instance().record("sc_task", first)["assigned_to"], demo::kDemoUserSysId);

    // Another account: sign out, then a colleague signs in on the same machine.
    const std::string colleague = model->members().back().sysID;
    ASSERT_NE(colleague, demo::kDemoUserSysId);
    model->auth()->signOut();
    ASSERT_TRUE(waitForJobs(5000));
    demo.signInAs(colleague);
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_TRUE(await(model->assignToMe(taskWithId(*model, second))));
    EXPECT_EQ(demo.instance().record("sc_task", second)["assigned_to"], colleague)
        << model->errorMessage().toStdString();

    // Another instance: the user is looked up there, not carried over.
    test::DemoProfile other;
    Config::setInstanceURL(other.instance().baseUrl());
    other.signIn();
    const auto third = other.instance().insertTask({{"short_description", "third"}});
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_TRUE(await(model->assignToMe(taskWithId(*model, third))));
    EXPECT_EQ(other.instance().record("sc_task", third)["assigned_to"], demo::kDemoUserSysId);
    EXPECT_EQ(other.countRequests("GET", "/api/now/table/sys_user") - other.countRequests("GET", "/api/now/table/sys_user_gr"), 1u);
}

TEST_F(ModelSessionTest, AnotherGroupBringsItsMembersAndAnnouncesNothingOld) {
    RecordingNotifier notifier;
    auto model = makeModel(&notifier);
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_EQ(model->members().size(), 7u);
    EXPECT_TRUE(notifier.posted.empty());

    const auto network = otherGroup();
    ASSERT_FALSE(network.empty());
    demo.instance().insertTask({{"short_description", "Switch port dead"}, {"assignment_group", network}});
    Config::setGroupSysID(network);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(model->members().size(), 2u);
    ASSERT_FALSE(model->groupTasks().empty());
    EXPECT_TRUE(notifier.posted.empty()) << notifier.posted.front().body.toStdString();

    const auto arrived =
        demo.instance().insertTask({{"short_description", "Wi-Fi down on floor 3"}, {"assignment_group", network}});
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_EQ(notifier.posted.size(), 1u);
    EXPECT_TRUE(notifier.posted[0].body.contains(QStringLiteral("Wi-Fi down on floor 3")));
    EXPECT_EQ(notifier.posted[0].identifier, QString::fromStdString("new-" + arrived));
}

TEST_F(ModelSessionTest, ARefreshBringingTheSameTasksAnnouncesNoListChange) {
    auto model = makeModel();
    ASSERT_TRUE(await(model->refresh()));
    int changes = 0;
    for (auto signal : {&AppModel::myTasksChanged, &AppModel::groupTasksChanged, &AppModel::doneThisMonthChanged,
                        &AppModel::doneLastMonthChanged, &AppModel::membersChanged, &AppModel::errorMessageChanged})
        QObject::connect(model.get(), signal, [&] { ++changes; });
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(changes, 0);
    demo.instance().insertTask({{"short_description", "new"}});
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(changes, 1);  // the group queue only
}

TEST_F(ModelSessionTest, LatestPeopleLookupWins) {
    auto model = makeModel();
    ASSERT_TRUE(test::spinUntil([&] { return model->isReady(); }));
    demo.instance().setLatency(200ms);
    auto older = model->actions()->searchUsers(QStringLiteral("Jor"));
    QTest::qWait(50);
    demo.instance().setLatency(0ms);
    auto newer = model->actions()->searchUsers(QStringLiteral("Pri"));
    ASSERT_TRUE(await(newer));
    ASSERT_TRUE(await(older));
    EXPECT_TRUE(older.isCanceled());
    ASSERT_FALSE(newer.result().empty());
    for (const auto& person : newer.result())
        EXPECT_NE(person.name.find("Pri"), std::string::npos) << person.name;
}

// With a keyring that takes 300 ms per call and an instance that takes 300 ms per request, the
// event loop keeps turning through launch, every action of the panel and its sheets, and sign-out.
TEST_F(ModelSessionTest, NoActionHoldsUpTheGuiThread) {
    TokenStore slow(slowKeychain());
    demo.instance().setLatency(300ms);
    LoopWatch watch;
    auto model = makeModel(nullptr, &slow);
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
    auto values = model->settings()->load();
    ASSERT_TRUE(await(values));
    ASSERT_TRUE(await(model->settings()->save(values.result())));
    ASSERT_TRUE(await(model->assignToMe(task)));
    model->auth()->signOut();
    ASSERT_TRUE(waitForJobs(5000));
    EXPECT_LT(watch.longestGapMs(), 150) << "the event loop stopped for a keyring or network wait";
}

struct SaveCase {
    const char* name;
    QString table, groupStates;
    std::int64_t poll;
    QString secret;
    std::string storedTable, storedStates, storedSecret;
    std::int64_t storedPoll;
};

class SettingsSaveTest : public ModelSessionTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SettingsSaveTest, StoresTheFieldsWithTheirFallbacksAndRereadsConfiguration) {
    const auto& c = GetParam();
    auto model = makeModel();
    ASSERT_TRUE(test::spinUntil([&] { return model->isReady(); }));
    auto loaded = model->settings()->load();
    ASSERT_TRUE(await(loaded));
    auto values = loaded.result();
    EXPECT_EQ(values.clientSecret.toStdString(), demo::kClientSecret);
    values.table = c.table;
    values.groupStates = c.groupStates;
    values.pollMinutes = c.poll;
    values.clientSecret = c.secret;
    ASSERT_TRUE(await(model->settings()->save(values)));
    EXPECT_EQ(Config::table(), c.storedTable);
    EXPECT_EQ(Config::groupStates(), c.storedStates);
    EXPECT_EQ(Config::pollMinutes(), c.storedPoll);
    EXPECT_EQ(Config::clientSecret(), c.storedSecret);
    EXPECT_EQ(model->isConfigured(), !c.storedSecret.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SettingsSaveTest,
    ::testing::Values(SaveCase{"Defaults", "", "", 0, "s3cret\n", "sc_task", "1,2,3", "s3cret", 1},
                      SaveCase{"Spaces", "  ", " 1, 2 ", -4, "  ", "", "1, 2", "", 1},
                      SaveCase{"AsTyped", "incident", "2", 2, "x", "incident", "2", "x", 2}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace trayline
