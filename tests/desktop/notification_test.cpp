// Notifications through a real D-Bus session (run inside dbus-run-session) to a stand-in
// org.freedesktop.Notifications service, from the notifier alone and from the queue model.

#include <thread>

#include <httplib.h>
#include <QDBusConnection>

#include "core/servicenow/service_now_client.h"
#include "desktop/platform/dbus_notifier.h"
#include "notification_server.h"
#include "support/process_run.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::await;
using test::NotificationTest;
using test::spinUntil;

TEST_F(NotificationTest, PostsWithSoundAndReplacesByIdentifierEvenBeforeTheFirstAnswer) {
    DBusNotifier anonymous(QDBusConnection::sessionBus(), false);  // no application identity: posts nothing
    QStringList warnings;
    anonymous.setWarningOutput([&](const char* text) { warnings << QString::fromUtf8(text); });
    anonymous.requestPermission();
    EXPECT_TRUE(warnings.isEmpty()) << "nothing was skipped yet";
    anonymous.send("New request: A", "body", "new-a");
    anonymous.send("New request: B", "body", "new-b");
    ASSERT_EQ(warnings.size(), 1) << "said once, not per notification";
    for (const char* part : {"notifications are off", "no application identity", "com.brindle.trayline.desktop",
                             "~/.local/share/applications"})
        EXPECT_TRUE(warnings[0].contains(QString::fromUtf8(part))) << part;
    notifier->send("Assigned to you: SCTASK1", "Printer", "mine-1");
    notifier->send("New request: SCTASK1", "Printer", "new-1");
    notifier->send("New request: SCTASK1", "Printer?", "new-1");  // before the service answered
    ASSERT_TRUE(spinUntil([&] { return server->calls.size() == 3; }, 5000));
    notifier->send("Assigned to you: SCTASK1", "Printer again", "mine-1");
    EXPECT_EQ(posted().size(), 4);
    EXPECT_EQ(server->capabilityRequests, 1);  // only the one posted() asked for
    const auto& first = server->calls[0];
    EXPECT_EQ(std::make_tuple(first.appName, first.body, first.replacesID, first.expireTimeout),
              std::make_tuple("Trayline", "Printer", 0u, -1));
    EXPECT_EQ(first.hints.value("sound-name").toString(), "message-new-instant");
    EXPECT_EQ(first.hints.value("desktop-entry").toString(), "com.brindle.trayline");
    EXPECT_EQ(server->calls[1].replacesID, 0u);  // another kind: its own notification
    EXPECT_EQ(server->calls[2].replacesID, server->calls[1].id);
    EXPECT_EQ(server->calls[2].body, "Printer?");
    EXPECT_EQ(server->calls[3].replacesID, first.id);
    EXPECT_EQ(server->calls[3].body, "Printer again");
}

// A tray that runs for months announces ever new tasks: only the most recently answered
// identifiers keep their number; an older one posts a notification of its own again.
TEST_F(NotificationTest, RemembersOnlyTheMostRecentIdentifiers) {
    const auto count = static_cast<qsizetype>(DBusNotifier::kRemembered) + 1;
    for (qsizetype i = 0; i < count; ++i)
        notifier->send("New request", "first", "new-" + QString::number(i));
    ASSERT_TRUE(spinUntil([&] { return server->calls.size() == count; }, 10000));
    QTest::qWait(200);  // the notifier reads the last answers
    notifier->send("New request", "again", "new-0");
    notifier->send("New request", "again", "new-" + QString::number(count - 1));
    ASSERT_TRUE(spinUntil([&] { return server->calls.size() == count + 2; }, 5000));
    EXPECT_EQ(server->calls[count].replacesID, 0u) << "the oldest identifier was forgotten";
    EXPECT_EQ(server->calls[count + 1].replacesID, server->calls[count - 1].id);
}

// A click counts only for one of our notifications still shown: the service broadcasts every
// client's clicks, a closed notification's number is no longer ours, and a restarted service
// numbers from 1 again (an old number must not replace another client's notification either).
TEST_F(NotificationTest, AClickCountsOnlyForOneOfOurNotificationsStillShown) {
    QSignalSpy clicked(notifier.get(), &DBusNotifier::clicked);
    notifier->send("New request: A", "a", "new-a");
    notifier->send("New request: B", "b", "new-b");
    ASSERT_EQ(posted().size(), 2);
    QTest::qWait(200);  // the notifier reads the answers
    const uint a = server->calls[0].id, b = server->calls[1].id;
    Q_EMIT server->NotificationClosed(b, 2);
    Q_EMIT server->ActionInvoked(b, "default");
    Q_EMIT server->ActionInvoked(a, "default");
    ASSERT_TRUE(spinUntil([&] { return !clicked.isEmpty(); }, 5000));
    EXPECT_EQ(clicked.takeFirst().at(0).toString(), "new-a");

    server.reset();  // the service restarts
    server = std::make_unique<test::NotificationServer>();
    ASSERT_TRUE(server->registered);
    QTest::qWait(200);  // the notifier sees the new owner
    Q_EMIT server->ActionInvoked(a, "default");  // another client's notification now
    notifier->send("New request: A", "a again", "new-a");
    ASSERT_TRUE(spinUntil([&] { return server->calls.size() == 1; }, 5000));
    EXPECT_EQ(server->calls[0].replacesID, 0u);
    QTest::qWait(50);
    EXPECT_TRUE(clicked.isEmpty());
}

TEST_F(NotificationTest, TheModelAnnouncesEachArrivalOnceAssignedKindFirstAsItsSettingsSayAndPerGroup) {
    auto model = refreshedModel(notifier.get());
    EXPECT_TRUE(posted().isEmpty()) << "the first refresh only sets the baseline";
    const auto queued = demo.instance().insertTask({{"short_description", "Monitor arm"}});
    const auto mine =
        demo.instance().insertTask({{"short_description", "VPN token"}, {"assigned_to", demo::kDemoUserSysId}});
    ASSERT_TRUE(await(model->refresh()));
    // Both are new in the group queue; the one assigned to the user is announced as such only.
    EXPECT_EQ(posted(), (QStringList{"Assigned to you: " + numberOf(mine), "New request: " + numberOf(queued)}));
    EXPECT_EQ(server->calls[0].body + '|' + server->calls[1].body, "VPN token|Monitor arm");
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(posted().isEmpty()) << "unchanged lists announce nothing";

    // The queued one assigned now: its own notification. The user's one leaves the list and comes
    // back: announced again, replacing the earlier one.
    ServiceNowClient().patch("sc_task", queued, {{"assigned_to", demo::kDemoUserSysId}});
    ServiceNowClient().patch("sc_task", mine, {{"assigned_to", ""}});
    ASSERT_TRUE(await(model->refresh()));
    ServiceNowClient().patch("sc_task", mine, {{"assigned_to", demo::kDemoUserSysId}});
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(posted(), (QStringList{"Assigned to you: " + numberOf(queued), "Assigned to you: " + numberOf(mine)}));
    EXPECT_EQ(server->calls[2].replacesID, 0u);
    EXPECT_EQ(server->calls[3].replacesID, server->calls[0].id);

    // The settings are read at each refresh; what arrived while a kind was off is not announced late.
    Config::setNotifyAssignedToMe(false);
    const auto both = demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(posted(), QStringList{"New request: " + numberOf(both)});
    Config::setNotifyNewRequest(false);
    demo.instance().insertTask({{"assigned_to", demo::kDemoUserSysId}});
    ASSERT_TRUE(await(model->refresh()));
    Config::setNotifyAssignedToMe(true);
    Config::setNotifyNewRequest(true);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(posted().isEmpty());

    // The first refresh of another group sets a new baseline: its queue is not announced.
    demo.instance().insertTask({{"assignment_group", "elsewhere"}});
    Config::setGroupSysID("elsewhere");
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(posted().isEmpty());
    const auto arrived = demo.instance().insertTask({{"assignment_group", "elsewhere"}});
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(posted(), QStringList{"New request: " + numberOf(arrived)});
}

TEST_F(NotificationTest, TwoRefreshesFinishingTogetherAnnounceEachArrivalOnce) {
    auto model = refreshedModel(notifier.get());
    const auto queued = demo.instance().insertTask(nlohmann::json::object());
    demo.instance().setLatency(50ms);
    auto first = model->refresh();
    ASSERT_TRUE(await(model->refresh()));
    ASSERT_TRUE(await(first));
    EXPECT_EQ(posted(), QStringList{"New request: " + numberOf(queued)});
}

}  // namespace
}  // namespace trayline

