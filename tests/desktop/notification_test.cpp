// Notifications through a real D-Bus session (run inside dbus-run-session) to a stand-in
// org.freedesktop.Notifications service on a bus connection of its own, from the notifier alone and
// from the queue model, with and without quiet hours.

#include <QDBusConnection>

#include "core/servicenow/service_now_client.h"
#include "core/settings/notification_pause.h"
#include "desktop/models/quiet_hours.h"
#include "desktop/platform/dbus_notifier.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::await;
using test::holds;
using test::spinUntil;

class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call {
        QString appName, icon, title, body;
        uint replacesID;
        QVariantMap hints;
        int expireTimeout;
        uint id;  // what the service answered
    };
    NotificationServer() {
        registered = bus_.registerObject("/org/freedesktop/Notifications", this,
                                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
                     bus_.registerService("org.freedesktop.Notifications");
    }
    ~NotificationServer() override {
        bus_.unregisterService("org.freedesktop.Notifications");
        QDBusConnection::disconnectFromBus(bus_.name());
    }

    bool registered = false;
    QList<Call> calls;
    int capabilityRequests = 0;

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesID, const QString& icon, const QString& title,
                const QString& body, const QStringList&, const QVariantMap& hints, int timeout) {
        calls.append(Call{appName, icon, title, body, replacesID, hints, timeout, replacesID ? replacesID : nextID_++});
        return calls.back().id;
    }
    QStringList GetCapabilities() {
        ++capabilityRequests;
        return {QStringLiteral("body"), QStringLiteral("sound")};
    }

Q_SIGNALS:
    // Broadcast to every client, as a real service does.
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);

private:
    QDBusConnection bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "notification-stand-in");
    uint nextID_ = 1;
};

// A signed-in demo profile whose models post to the stand-in service.
class NotificationTest : public test::ModelTest {
protected:
    void SetUp() override {
        if (qgetenv("TRAYLINE_PRIVATE_BUS") != "1")
            GTEST_SKIP() << "needs its own session bus: run through ctest (dbus-run-session)";
        server = std::make_unique<NotificationServer>();
        ASSERT_TRUE(server->registered);
        notifier = std::make_unique<DBusNotifier>(QDBusConnection::sessionBus(), true);
        test::ModelTest::SetUp();
    }
    // The titles posted since the last call, once all have arrived (one connection delivers in order).
    QStringList posted() {
        const int asked = server->capabilityRequests;
        notifier->requestPermission();
        EXPECT_TRUE(spinUntil([&] { return server->capabilityRequests > asked; }, 5000));
        QStringList titles;
        for (const auto& c : server->calls.mid(seen_))
            titles << c.title;
        seen_ = server->calls.size();
        return titles;
    }
    QString numberOf(const std::string& id) {
        return QString::fromStdString(demo.instance().record("sc_task", id)["number"]);
    }

    std::unique_ptr<NotificationServer> server;  // made once the bus is known to be private
    std::unique_ptr<DBusNotifier> notifier;
    qsizetype seen_ = 0;
};

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
    server = std::make_unique<NotificationServer>();
    ASSERT_TRUE(server->registered);
    QTest::qWait(200);  // the notifier sees the new owner
    Q_EMIT server->ActionInvoked(a, "default");  // another client's notification now
    notifier->send("New request: A", "a again", "new-a");
    ASSERT_TRUE(spinUntil([&] { return server->calls.size() == 1; }, 5000));
    EXPECT_EQ(server->calls[0].replacesID, 0u);
    QTest::qWait(50);
    EXPECT_TRUE(clicked.isEmpty());
}

TEST_F(NotificationTest, TheModelAnnouncesEachArrivalOnceAssignedKindFirstAsItsSettingsSay) {
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
}

// Quiet hours, on an injected clock: while paused nothing is announced and the lists still move;
// the pause ends by itself at its time; nothing that arrived during it is announced after. (What
// each choice stores is the settings' test, the menu the panel's.)
class QuietHoursTest : public NotificationTest {
protected:
    void SetUp() override {
        NotificationTest::SetUp();
        if (IsSkipped())
            return;
        saved_ = DateFormatter::current();
        DateFormatter::setCurrent(DateFormatter("en_US", "Europe/Berlin"));
        AppModel::Options options{notifier.get(), 1h, {[](const std::string&) {}, 0}, false};
        options.clock = [this] { return clock; };
        model = std::make_unique<AppModel>(options);
        ASSERT_TRUE(await(model->refresh()));
    }
    void TearDown() override { DateFormatter::setCurrent(saved_); }

    std::string arrive(bool mine) {
        return demo.instance().insertTask(mine ? nlohmann::json{{"assigned_to", demo::kDemoUserSysId}}
                                               : nlohmann::json::object());
    }
    bool stored(std::optional<std::int64_t> value) {
        return spinUntil([&] { return Config::notificationsPausedUntil() == value; }, 5000);
    }

    Instant clock = *parseUtc("2026-03-28 21:30:00");
    std::unique_ptr<AppModel> model;
    DateFormatter saved_;
};

TEST_F(QuietHoursTest, SilencesBothKindsWhileTheListsMoveEvenForAnOverlappingRefreshThenEndsWithTheBaselineMovedOn) {
    QSignalSpy changed(model.get(), &AppModel::notificationsPausedChanged);
    model->quietHours()->pause(PauseChoice::oneHour);
    EXPECT_TRUE(model->notificationsPaused()) << "at once, before the file is written";
    EXPECT_EQ(changed.count(), 1);
    const Instant end = *parseUtc("2026-03-28 22:30:00");
    const std::int64_t value = std::chrono::duration_cast<std::chrono::seconds>(end.time_since_epoch()).count();
    ASSERT_TRUE(stored(value));
    EXPECT_EQ(model->pausedUntil(), QDateTime::fromSecsSinceEpoch(value));

    const auto mine = arrive(true), queued = arrive(false);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(posted().isEmpty());
    EXPECT_TRUE(holds(model->myTasks(), mine) && holds(model->groupTasks(), queued)) << "the lists still move";

    clock = end - 20ms;  // the timer is armed on the boot-time clock for what is left
    model->quietHours()->reload();
    EXPECT_TRUE(model->notificationsPaused());
    clock = end;
    ASSERT_TRUE(spinUntil([&] { return !model->notificationsPaused(); }, 5000)) << "ends by itself at its time";
    EXPECT_EQ(Config::notificationsPausedUntil(), value) << "a past time simply reads as not paused";
    EXPECT_EQ(changed.count(), 2);
    EXPECT_FALSE(model->pausedUntil().isValid());

    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(posted().isEmpty()) << "what arrived during the pause stays unannounced";
    const auto after = arrive(false);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(posted(), QStringList{"New request: " + numberOf(after)});

    // A refresh that overlaps a pause, at either end, saw its arrivals during the pause.
    demo.instance().setLatency(150ms);
    model->quietHours()->pause(PauseChoice::untilResumed);
    arrive(false);
    auto pausedAtStart = model->refresh();
    model->quietHours()->resume();
    ASSERT_TRUE(await(pausedAtStart));
    arrive(true);
    auto pausedAtEnd = model->refresh();
    model->quietHours()->pause(PauseChoice::oneHour);
    ASSERT_TRUE(await(pausedAtEnd));
    EXPECT_TRUE(posted().isEmpty());
}

}  // namespace
}  // namespace trayline

#include "notification_test.moc"
