#pragma once

// A small org.freedesktop.Notifications service on its own bus connection, recording every call.

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

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

    NotificationServer();
    ~NotificationServer() override;
    bool registered() const { return registered_; }

    QList<Call> calls;
    int capabilityRequests = 0;

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesID, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout);
    QStringList GetCapabilities();
    void CloseNotification(uint id);

Q_SIGNALS:
    void notified();
    void capabilitiesAsked();

private:
    QDBusConnection bus_;
    bool registered_ = false;
    uint nextID_ = 1;
};

}  // namespace trayline::test
