#include "desktop/platform/dbus_notifier.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "core/settings/app_info.h"

namespace trayline {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

bool desktopFileInstalled() {
    namespace fs = std::filesystem;
    const std::string name = std::string(AppInfo::kBundleIdentifier) + ".desktop";
    std::string dirs;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home && *home)
        dirs = home;
    else if (const char* h = std::getenv("HOME"))
        dirs = std::string(h) + "/.local/share";
    const char* system = std::getenv("XDG_DATA_DIRS");
    dirs += ':' + std::string(system && *system ? system : "/usr/local/share:/usr/share");
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto end = std::min(dirs.find(':', start), dirs.size());
        std::error_code ec;
        if (end > start && fs::exists(fs::path(dirs.substr(start, end - start)) / "applications" / name, ec))
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

DBusNotifier::DBusNotifier(QDBusConnection bus, bool hasApplicationIdentity, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), enabled_(hasApplicationIdentity) {}

bool DBusNotifier::applicationIdentityPresent() {
    return AppInfo::currentBundle().has_value() || desktopFileInstalled();
}

void DBusNotifier::requestPermission() {
    if (!enabled_ || !bus_.isConnected())
        return;
    bus_.asyncCall(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                  QStringLiteral("GetCapabilities")));
}

void DBusNotifier::send(const QString& title, const QString& body, const QString& identifier) {
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
    message << QStringLiteral("Trayline") << replaces << QString::fromLatin1(AppInfo::kBundleIdentifier)
            << content.title << content.body << QStringList() << hints << int(-1);
    inFlight_[identifier] = std::nullopt;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, identifier](QDBusPendingCallWatcher* call) {
                const QDBusPendingReply<uint> reply = *call;
                call->deleteLater();
                onPosted(identifier, reply.isError() ? std::nullopt : std::optional<uint>(reply.value()));
            });
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

}  // namespace trayline
