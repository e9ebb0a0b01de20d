// Notifications through a real D-Bus session (run inside dbus-run-session) to a stand-in
// org.freedesktop.Notifications service, from the notifier alone and from the queue model.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <httplib.h>

#include "core/servicenow/service_now_client.h"
#include "core/settings/config.h"
#include "desktop/models/app_model.h"
#include "desktop/platform/dbus_notifier.h"
#include "notification_server.h"
#include "qt_test_support.h"
#include "support/demo_fixture.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::await;
using test::spinUntil;

class NotificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (qgetenv("TRAYLINE_PRIVATE_BUS") != "1")
            GTEST_SKIP() << "needs its own session bus: run through ctest (dbus-run-session)";
        server = std::make_unique<test::NotificationServer>();
        ASSERT_TRUE(server->registered());
        notifier = std::make_unique<DBusNotifier>(QDBusConnection::sessionBus(), true);
    }

    // Everything posted before has reached the service: one connection delivers in order.
    void flush() {
        const int asked = server->capabilityRequests;
        notifier->requestPermission();
        ASSERT_TRUE(spinUntil([&] { return server->capabilityRequests > asked; }, 5000));
    }
    QStringList titles() const {
        QStringList out;
        for (const auto& c : server->calls)
            out << c.title;
        return out;
    }

    std::unique_ptr<test::NotificationServer> server;
    std::unique_ptr<DBusNotifier> notifier;
};

TEST_F(NotificationTest, PostsWithSoundAndReplacesByIdentifier) {
    notifier->send("Assigned to you: SCTASK1", "Printer", "mine-1");
    notifier->send("New request: SCTASK1", "Printer", "new-1");
    flush();
    notifier->send("Assigned to you: SCTASK1", "Printer again", "mine-1");
    ASSERT_TRUE(spinUntil([&] { return server->calls.size() == 3; }, 5000));
    const auto& first = server->calls[0];
    EXPECT_EQ(first.appName, "Trayline");
    EXPECT_EQ(first.body, "Printer");
    EXPECT_EQ(first.replacesID, 0u);
    EXPECT_EQ(first.expireTimeout, -1);
    EXPECT_EQ(first.hints.value("sound-name").toString(), "message-new-instant");
    EXPECT_EQ(server->calls[1].replacesID, 0u);  // another kind: its own notification
    EXPECT_EQ(server->calls[2].replacesID, first.id);
    EXPECT_EQ(server->calls[2].body, "Printer again");
}

TEST_F(NotificationTest, TwoQuickPostsOfOneIdentifierStayOneNotification) {
    notifier->send("New request: A", "first", "new-a");
    notifier->send("New request: A", "second", "new-a");  // before the service answered the first
    ASSERT_TRUE(spinUntil([&] { return server->calls.size() == 2; }, 5000));
    EXPECT_EQ(server->calls[1].replacesID, server->calls[0].id);
    EXPECT_EQ(server->calls[1].body, "second");
}

TEST_F(NotificationTest, WithoutApplicationIdentityNothingIsPosted) {
    DBusNotifier anonymous(QDBusConnection::sessionBus(), false);
    anonymous.requestPermission();
    anonymous.send("New request: A", "body", "new-a");
    flush();
    EXPECT_TRUE(server->calls.isEmpty());
    EXPECT_EQ(server->capabilityRequests, 1);  // only the flush's own
}

class ModelNotificationTest : public NotificationTest {
protected:
    void SetUp() override {
        NotificationTest::SetUp();
        if (IsSkipped())
            return;
        demo.signIn();
        AppModel::Options options;
        options.notifier = notifier.get();
        options.startPolling = false;
        model = std::make_unique<AppModel>(std::move(options));
        ASSERT_TRUE(await(model->refresh()));
    }
    std::string numberOf(const std::string& id) {
        return demo.instance().record("sc_task", id)["number"].get<std::string>();
    }
    QStringList refreshAndCollect() {
        server->calls.clear();
        EXPECT_TRUE(await(model->refresh()));
        flush();
        return titles();
    }

    test::DemoProfile demo;
    std::unique_ptr<AppModel> model;
};

TEST_F(ModelNotificationTest, AnnouncesArrivalsOnceAssignedKindFirst) {
    flush();
    EXPECT_TRUE(server->calls.isEmpty()) << "the first refresh only sets the baseline";

    const auto queued = demo.instance().insertTask({{"short_description", "Monitor arm"}});
    const auto mine = demo.instance().insertTask(
        {{"short_description", "VPN token"}, {"assigned_to", demo::kDemoUserSysId}});
    const auto q = QString::fromStdString(numberOf(queued)), m = QString::fromStdString(numberOf(mine));
    // Both are new in the group queue; the one assigned to the user is announced as such only.
    EXPECT_EQ(refreshAndCollect(), (QStringList{"Assigned to you: " + m, "New request: " + q}));
    EXPECT_EQ(server->calls[0].body, "VPN token");
    EXPECT_EQ(server->calls[1].body, "Monitor arm");
    const uint mineID = server->calls[0].id;

    EXPECT_TRUE(refreshAndCollect().isEmpty()) << "unchanged lists announce nothing";

    // Leaves the user's list and comes back: announced again, replacing the earlier notification.
    ServiceNowClient().patch("sc_task", mine, {{"assigned_to", ""}});
    EXPECT_TRUE(refreshAndCollect().isEmpty());
    ServiceNowClient().patch("sc_task", mine, {{"assigned_to", demo::kDemoUserSysId}});
    EXPECT_EQ(refreshAndCollect(), QStringList{"Assigned to you: " + m});
    EXPECT_EQ(server->calls[0].replacesID, mineID);
}

TEST_F(ModelNotificationTest, SettingsAreReadAtEachRefreshAndTheBaselineMovesOn) {
    Config::setNotifyAssignedToMe(false);
    const auto both = demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});
    EXPECT_EQ(refreshAndCollect(), QStringList{"New request: " + QString::fromStdString(numberOf(both))});

    Config::setNotifyNewRequest(false);
    demo.instance().insertTask(nlohmann::json::object());
    demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});
    EXPECT_TRUE(refreshAndCollect().isEmpty());

    Config::setNotifyAssignedToMe(true);
    Config::setNotifyNewRequest(true);
    EXPECT_TRUE(refreshAndCollect().isEmpty()) << "older arrivals are not announced late";
}

TEST_F(ModelNotificationTest, TwoRefreshesFinishingTogetherAnnounceEachArrivalOnce) {
    const auto queued = demo.instance().insertTask(nlohmann::json::object());
    server->calls.clear();
    demo.instance().setLatency(50ms);
    auto first = model->refresh();
    auto second = model->refresh();
    ASSERT_TRUE(await(first));
    ASSERT_TRUE(await(second));
    flush();
    EXPECT_EQ(titles(), QStringList{"New request: " + QString::fromStdString(numberOf(queued))});
}

// A free loopback port for the sign-in callback, so the test never needs port 8765.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// A headless "browser": follows the instance's authorize redirect to the loopback callback.
void browse(std::string base, std::string url, std::uint16_t port) {
    std::thread([base, url, port] {
        httplib::Client instance(base);
        const auto page = instance.Get(url.substr(base.size()));
        if (!page)
            return;
        auto location = page->get_header_value("Location");
        const std::string redirect = "http://localhost:8765";
        if (!location.starts_with(redirect))
            return;
        httplib::Client callback("127.0.0.1", port);
        callback.Get(location.substr(redirect.size()));
    }).detach();
}

TEST_F(NotificationTest, SignsInThroughTheBrowserThenPollingAnnouncesArrivals) {
    demo::Options options;
    options.autoApprove = true;
    test::DemoProfile demo(options);
    const auto port = freePort();
    AppModel::Options modelOptions;
    modelOptions.notifier = notifier.get();
    modelOptions.minute = 100ms;
    modelOptions.signIn.port = port;
    modelOptions.signIn.openBrowser = [base = demo.instance().baseUrl(), port](const std::string& url) {
        browse(base, url, port);
    };
    AppModel model(std::move(modelOptions));
    EXPECT_FALSE(model.auth()->isSignedIn());

    ASSERT_TRUE(await(model.auth()->signIn()));
    EXPECT_TRUE(model.auth()->isSignedIn());
    ASSERT_TRUE(spinUntil([&] { return model.lastRefresh().isValid(); }));  // the next poll

    const auto queued = demo.instance().insertTask({{"short_description", "Docking station"}});
    const auto mine = demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});
    ASSERT_TRUE(spinUntil([&] { return server->calls.size() >= 2; }));
    EXPECT_EQ(titles(), (QStringList{
                            "Assigned to you: " +
                                QString::fromStdString(demo.instance().record("sc_task", mine)["number"]),
                            "New request: " +
                                QString::fromStdString(demo.instance().record("sc_task", queued)["number"])}));
    EXPECT_EQ(server->calls[1].body, "Docking station");
}

TEST_F(NotificationTest, SignInFailurePassesTheErrorText) {
    test::DemoProfile demo;
    Config::setClientSecret("");
    AuthManager auth;
    QSignalSpy failed(&auth, &AuthManager::signInFailed);
    auto future = auth.signIn();
    ASSERT_TRUE(await(future));
    ASSERT_EQ(failed.count(), 1);
    EXPECT_EQ(failed[0][0].toString(),
              "Fill in instance URL, client ID and client secret in Settings first.");
    EXPECT_THROW(future.waitForFinished(), std::runtime_error);
    EXPECT_FALSE(auth.isSignedIn());
}

}  // namespace
}  // namespace trayline
