#include "notification_server.h"

namespace trayline::test {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kConnectionName = QStringLiteral("notification-stand-in");
}  // namespace

NotificationServer::NotificationServer()
    : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName)) {
    registered_ = bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                      QDBusConnection::ExportAllSlots) &&
                  bus_.registerService(kService);
}

NotificationServer::~NotificationServer() {
    bus_.unregisterService(kService);
    bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    QDBusConnection::disconnectFromBus(kConnectionName);
}

uint NotificationServer::Notify(const QString& appName, uint replacesID, const QString& icon,
                                const QString& summary, const QString& body, const QStringList&,
                                const QVariantMap& hints, int timeout) {
    const uint id = replacesID != 0 ? replacesID : nextID_++;
    calls.append(Call{appName, icon, summary, body, replacesID, hints, timeout, id});
    Q_EMIT notified();
    return id;
}

QStringList NotificationServer::GetCapabilities() {
    ++capabilityRequests;
    Q_EMIT capabilitiesAsked();
    return {QStringLiteral("body"), QStringLiteral("sound")};
}

void NotificationServer::CloseNotification(uint) {}

}  // namespace trayline::test
