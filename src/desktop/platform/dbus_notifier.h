#pragma once

// Notifier over org.freedesktop.Notifications. The service numbers notifications itself, so the
// identifiers ("mine-<sys_id>", "new-<sys_id>") are mapped to the numbers it returned and sent
// back as replaces_id: one visible notification per task and kind. A number counts only while its
// notification is shown: it is forgotten when the service closes it, and every number is when the
// service restarts (it numbers from 1 again), so neither a click nor a replacement can reach
// another client's notification.

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include "desktop/platform/notifier.h"

namespace trayline {

class DBusNotifier : public QObject, public Notifier {
    Q_OBJECT
public:
    // Without an application identity nothing is ever posted (a bare build-tree binary); the first
    // notification skipped for that says why on stderr. The icon each notification names is the
    // app's theme icon or its file (see identity::notificationIcon), looked up once here.
    DBusNotifier(QDBusConnection bus, bool hasApplicationIdentity, QObject* parent = nullptr);

    // Running from a Trayline.app bundle, or installed with its desktop file.
    static bool applicationIdentityPresent();

    QString icon() const { return icon_; }
    // Where the one warning about skipped notifications goes (stderr by default).
    void setWarningOutput(std::function<void(const char*)> warn);

    void requestPermission() override;
    void send(const QString& title, const QString& body, const QString& identifier) override;

    // How many identifiers' numbers are kept, the most recently posted: a process that runs for
    // months must not keep one for every task it ever announced.
    static constexpr std::size_t kRemembered = 200;

Q_SIGNALS:
    // A Notify call for `identifier` went to the service.
    void posted(const QString& identifier);
    // The user clicked one of our notifications.
    void clicked(const QString& identifier);

private:
    void onActionInvoked(uint serverID, const QString& action);
    void onClosed(uint serverID);
    struct Content {
        QString title, body;
    };
    void post(const QString& identifier, const Content& content);
    void onPosted(const QString& identifier, std::optional<uint> serverID);

    QDBusConnection bus_;
    bool enabled_;
    QString icon_;
    std::function<void(const char*)> warn_;
    bool warned_ = false;
    struct Known {
        uint serverID;
        std::uint64_t posted;  // order of the answers
    };
    std::unordered_map<QString, Known> serverIDs_;
    std::uint64_t answers_ = 0;
    // Identifiers whose Notify call is still unanswered, with a post that arrived meanwhile: it is
    // sent once the number is known, so two quick posts cannot create two notifications.
    std::unordered_map<QString, std::optional<Content>> inFlight_;
};

}  // namespace trayline
