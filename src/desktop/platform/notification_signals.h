#pragma once

// The notification service's signals, as a proxy whose Qt signals subscribe to them: a click on a
// notification arrives as ActionInvoked with the action "default"; a notification that went
// (expired, dismissed, replaced) as NotificationClosed. Both reach every client of the service.

#include <QDBusAbstractInterface>

namespace trayline {

class NotificationSignals : public QDBusAbstractInterface {
    Q_OBJECT
public:
    NotificationSignals(const QDBusConnection& bus, QObject* parent)
        : QDBusAbstractInterface(QStringLiteral("org.freedesktop.Notifications"),
                                 QStringLiteral("/org/freedesktop/Notifications"), "org.freedesktop.Notifications", bus,
                                 parent) {}

Q_SIGNALS:
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);
};

}  // namespace trayline
