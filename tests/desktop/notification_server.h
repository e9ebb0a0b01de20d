#pragma once

// A stand-in org.freedesktop.Notifications service on the session bus (run the test inside
// dbus-run-session), on a bus connection of its own, recording every call.

#include <memory>

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include "desktop/platform/dbus_notifier.h"
#include "qt_test_support.h"

namespace trayline::test {

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
class NotificationTest : public ModelTest {
protected:
    void SetUp() override {
        if (qgetenv("TRAYLINE_PRIVATE_BUS") != "1")
            GTEST_SKIP() << "needs its own session bus: run through ctest (dbus-run-session)";
        server = std::make_unique<NotificationServer>();
        ASSERT_TRUE(server->registered);
        notifier = std::make_unique<DBusNotifier>(QDBusConnection::sessionBus(), true);
        ModelTest::SetUp();
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

}  // namespace trayline::test
