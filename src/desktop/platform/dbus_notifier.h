#pragma once

// Notifier over org.freedesktop.Notifications. The service numbers notifications itself, so the
// identifiers ("mine-<sys_id>", "new-<sys_id>") are mapped to the numbers it returned and sent
// back as replaces_id: one visible notification per task and kind.

#include <cstdint>
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
    // Without an application identity nothing is ever posted (a bare build-tree binary).
    DBusNotifier(QDBusConnection bus, bool hasApplicationIdentity, QObject* parent = nullptr);

    // Running from a Trayline.app bundle, or installed with its desktop file.
    static bool applicationIdentityPresent();

    void requestPermission() override;
    void send(const QString& title, const QString& body, const QString& identifier) override;

    // How many identifiers' numbers are kept, the most recently posted: a process that runs for
    // months must not keep one for every task it ever announced.
    static constexpr std::size_t kRemembered = 200;

private:
    struct Content {
        QString title, body;
    };
    void post(const QString& identifier, const Content& content);
    void onPosted(const QString& identifier, std::optional<uint> serverID);

    QDBusConnection bus_;
    bool enabled_;
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
