#include "desktop/platform/dbus_notifier.h"

#include <algorithm>
#include <cstdio>

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QStringList>
#include <QVariantMap>

#include "core/settings/app_identity.h"
#include "core/settings/app_info.h"
#include "desktop/platform/notification_signals.h"

namespace trayline {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

const char* const kNoIdentity =
    "trayline: notifications are off: this copy of Trayline has no application identity (it runs "
    "neither from a Trayline.app bundle nor with com.brindle.trayline.desktop in the applications "
    "folder of $XDG_DATA_HOME or $XDG_DATA_DIRS). Install Trayline (its package, its bundle, or "
    "\"cmake --install BUILD --component fhs --prefix ~/.local\"), or copy its desktop file into "
    "~/.local/share/applications.\n";

// What a click does, for servers that show the default action as a button.
QString actionLabel(const QString& identifier) {
    return identifier == QLatin1String("signed-out") ? QStringLiteral("Sign in") : QStringLiteral("Show");
}

}  // namespace

DBusNotifier::DBusNotifier(QDBusConnection bus, bool hasApplicationIdentity, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      enabled_(hasApplicationIdentity),
      icon_(QString::fromStdString(identity::notificationIcon())),
      warn_([](const char* text) { std::fputs(text, stderr); }) {
    if (!enabled_ || !bus_.isConnected())
        return;
    auto* service = new NotificationSignals(bus_, this);
    connect(service, &NotificationSignals::ActionInvoked, this, &DBusNotifier::onActionInvoked);
    connect(service, &NotificationSignals::NotificationClosed, this, &DBusNotifier::onClosed);
    auto* owner = new QDBusServiceWatcher(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(owner, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { serverIDs_.clear(); });
}

bool DBusNotifier::applicationIdentityPresent() {
    return AppInfo::currentBundle() || AppInfo::currentPackagePrefix() ||
           identity::installedDesktopFile(identity::searchedDataDirs());
}

void DBusNotifier::setWarningOutput(std::function<void(const char*)> warn) { warn_ = std::move(warn); }

void DBusNotifier::requestPermission() {
    if (!enabled_ || !bus_.isConnected())
        return;
    bus_.asyncCall(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                  QStringLiteral("GetCapabilities")));
}

void DBusNotifier::send(const QString& title, const QString& body, const QString& identifier) {
    if (!enabled_ && !warned_) {
        warned_ = true;  // once: the reason does not change while the process runs
        warn_(kNoIdentity);
    }
    if (!enabled_ || !bus_.isConnected())
        return;
    if (const auto it = inFlight_.find(identifier); it != inFlight_.end()) {
        it->second = Content{title, body};  // the latest text wins, posted once the number is known
        return;
    }
    post(identifier, Content{title, body});
}

void DBusNotifier::post(const QString& identifier, const Content& content) {
    const auto known = serverIDs_.find(identifier);
    const uint replaces = known == serverIDs_.end() ? 0u : known->second.serverID;
    QVariantMap hints;
    hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(AppInfo::kBundleIdentifier));
    auto message = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    message << QStringLiteral("Trayline") << replaces << icon_ << content.title << content.body
            << QStringList{QStringLiteral("default"), actionLabel(identifier)} << hints << int(-1);
    inFlight_[identifier] = std::nullopt;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, identifier](QDBusPendingCallWatcher* call) {
                const QDBusPendingReply<uint> reply = *call;
                call->deleteLater();
                onPosted(identifier, reply.isError() ? std::nullopt : std::optional<uint>(reply.value()));
            });
    Q_EMIT posted(identifier);
}

void DBusNotifier::onPosted(const QString& identifier, std::optional<uint> serverID) {
    if (serverID) {
        serverIDs_[identifier] = Known{*serverID, ++answers_};
        if (serverIDs_.size() > kRemembered)
            serverIDs_.erase(std::min_element(serverIDs_.begin(), serverIDs_.end(), [](const auto& a, const auto& b) {
                return a.second.posted < b.second.posted;
            }));
    }
    auto node = inFlight_.extract(identifier);
    if (!node.empty() && node.mapped())
        post(identifier, *node.mapped());
}

void DBusNotifier::onClosed(uint serverID) {
    std::erase_if(serverIDs_, [serverID](const auto& entry) { return entry.second.serverID == serverID; });
}

void DBusNotifier::onActionInvoked(uint serverID, const QString& action) {
    if (action != QLatin1String("default"))
        return;
    // The signal reaches every client of the service: only our own notifications count.
    for (const auto& [identifier, known] : serverIDs_)
        if (known.serverID == serverID) {
            Q_EMIT clicked(identifier);
            return;
        }
}

}  // namespace trayline
