#pragma once

// The tray application's composition: one queue model (which owns the sign-in state and starts
// polling when it is built), one updater, the notification poster, the tray item with its panel,
// and the desktop-wide shortcut that toggles the panel. The panel content comes from a seam in
// Options, so the views can be swapped without touching the wiring. The item asks for attention
// while a new-request notification it posted is unseen, that is until the panel next opens, and
// carries a mark while notifications are paused.

#include <functional>

#include <QDBusConnection>
#include <QObject>

#include "desktop/models/app_model.h"
#include "desktop/models/updater.h"
#include "desktop/platform/dbus_notifier.h"
#include "desktop/platform/global_shortcut.h"
#include "desktop/platform/tray_host.h"

class QWidget;

namespace trayline {

// The identifier of the notice that the session ended; a click on it starts the sign-in.
inline constexpr const char* kSignedOutNotification = "signed-out";

class TraylineApp : public QObject {
    Q_OBJECT
public:
    // The panel content for the model, its sign-in state and the updater (owned by the panel).
    using ContentFactory = std::function<QWidget*(AppModel&, AuthManager&, Updater&)>;

    struct Options {
        ContentFactory makeContent;  // none: the panel (ContentView)
        TrayHost::Options tray;
        AppModel::Options model;  // its notifier is replaced by the app's own
        Updater::Options updater;
        GlobalShortcut::Options shortcut;
        QDBusConnection bus = QDBusConnection::sessionBus();
        bool hasApplicationIdentity = DBusNotifier::applicationIdentityPresent();
    };

    explicit TraylineApp(Options options, QObject* parent = nullptr);

    // Asks for notification permission (when the app has an identity), shows the tray item, starts
    // the update schedule and asks the desktop for the shortcut.
    void start();

    AppModel& model() { return model_; }
    Updater& updater() { return updater_; }
    TrayHost& tray() { return tray_; }
    DBusNotifier& notifier() { return notifier_; }
    GlobalShortcut& shortcut() { return shortcut_; }

private:
    static AppModel::Options withNotifier(AppModel::Options options, Notifier* notifier);
    void rebuildIcon();
    void announceSignedOut();
    void onPosted(const QString& identifier);

    Options options_;
    DBusNotifier notifier_;
    AppModel model_;
    Updater updater_;
    GlobalShortcut shortcut_;
    TrayHost tray_;
};

// The whole tray process: single-instance check, QApplication, TraylineApp, event loop. Returns
// only for a second instance or a start-up failure; a normal quit ends the process at once.
int runTrayApplication(int argc, char** argv);

}  // namespace trayline
