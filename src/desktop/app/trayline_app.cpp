#include "desktop/app/trayline_app.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QTimer>

#include "core/settings/app_info.h"
#include "desktop/app/app_icon.h"
#include "desktop/ui/content_view.h"
#include "desktop/models/background.h"
#include "core/platform/time.h"
#include "desktop/platform/single_instance.h"

namespace trayline {

namespace {

const char* const kNoTrayMessage =
    "trayline: no system tray found, so the panel opens as a window (start trayline again to bring it "
    "back). For a tray icon on GNOME, turn on the AppIndicator extension "
    "(Debian: gnome-shell-extension-appindicator); it is used as soon as it appears.\n";

}  // namespace

AppModel::Options TraylineApp::withNotifier(AppModel::Options options, Notifier* notifier) {
    options.notifier = notifier;
    return options;
}

TraylineApp::TraylineApp(Options options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      notifier_(options_.bus, options_.hasApplicationIdentity),
      model_(withNotifier(options_.model, &notifier_)),
      updater_(options_.updater),
      shortcut_(options_.shortcut),
      tray_(nullptr, options_.tray) {
    if (!options_.makeContent)
        options_.makeContent = [this](AppModel& model, AuthManager&, Updater& updater) {
            ui::ContentView::Services services;
            services.shortcut = &shortcut_;
            return new ui::ContentView(&model, &updater, std::move(services));
        };
    tray_.setContent(options_.makeContent(model_, *model_.auth(), updater_));
    // The picture shows the length of my list and the unassigned part of the group queue.
    for (auto signal : {&AppModel::myTasksChanged, &AppModel::groupTasksChanged, &AppModel::notificationsPausedChanged,
                        &AppModel::freshnessChanged, &AppModel::errorMessageChanged, &AppModel::lastRefreshChanged,
                        &AppModel::isReadyChanged})
        connect(&model_, signal, this, &TraylineApp::rebuildIcon);
    connect(model_.auth(), &AuthManager::isSignedInChanged, this, &TraylineApp::rebuildIcon);
    connect(&model_, &AppModel::sessionLost, this, &TraylineApp::announceSignedOut);
    connect(&tray_, &TrayHost::trayUnavailable, this, [] { std::fputs(kNoTrayMessage, stderr); });
    connect(&notifier_, &DBusNotifier::posted, this, &TraylineApp::onPosted);
    connect(&notifier_, &DBusNotifier::clicked, this, [this](const QString& identifier) {
        tray_.showPanel();
        if (identifier == QLatin1String(kSignedOutNotification) && !model_.auth()->isSignedIn())
            model_.auth()->signIn();  // its "Sign in" action: the browser opens at once
    });
    connect(&tray_, &TrayHost::panelShown, this, [this] { tray_.setNeedsAttention(false); });
    connect(&shortcut_, &GlobalShortcut::activated, &tray_, &TrayHost::togglePanel);
    rebuildIcon();
}

void TraylineApp::start() {
    if (options_.hasApplicationIdentity)
        notifier_.requestPermission();
    tray_.start();
    // The panel content exists from launch, so its start-up task (the update schedule) runs now:
    // never later than the first time the panel shows.
    updater_.start();
    shortcut_.start();
}

// The two counts as the instance counts them (and the pause), and how current they are: a failed
// refresh dims them, a rate limit too, and signed out there are none to show.
void TraylineApp::rebuildIcon() {
    ui::TrayCounts counts{model_.listSize(0).count(), model_.unassignedCount(), model_.notificationsPaused()};
    const auto time = [](const QDateTime& at) {
        const auto ms = std::chrono::milliseconds(at.toMSecsSinceEpoch());
        return QString::fromStdString(DateFormatter::current().shortTime(Instant(ms)));
    };
    if (model_.lastRefresh().isValid())
        counts.lastUpdated = time(model_.lastRefresh());
    if (model_.isReady() && !model_.auth()->isSignedIn()) {
        counts = {0, 0, counts.paused, ui::TrayFreshness::signedOut};
    } else if (model_.isLimited()) {
        counts.freshness = ui::TrayFreshness::rateLimited;
        counts.until = time(model_.limitedUntil());
    } else if (model_.isStale()) {
        counts.freshness = ui::TrayFreshness::stale;
        counts.problem = model_.errorMessage();
    }
    tray_.setCounts(counts);
}

// Once per lost session; the panel already shows the sign-in prompt.
void TraylineApp::announceSignedOut() {
    if (model_.notificationsPaused())
        return;
    notifier_.send(QStringLiteral("Signed out of ServiceNow"),
                   QStringLiteral("Sign in again to see your tasks and the group queue."),
                   QString::fromLatin1(kSignedOutNotification));
}

// Only a new-request notification that really went out asks for attention: one held back (by a
// switch in the settings, or while notifications are paused) does not.
void TraylineApp::onPosted(const QString& identifier) {
    if (identifier.startsWith(QLatin1String("new-")) && !tray_.isPanelVisible())
        tray_.setNeedsAttention(true);
}

int runTrayApplication(int argc, char** argv) {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fputs("trayline: the tray application needs a graphical session, and DISPLAY and "
                   "WAYLAND_DISPLAY are empty. \"trayline --mcp\" runs the MCP server without one.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Trayline"));
    QApplication::setDesktopFileName(QString::fromLatin1(AppInfo::kBundleIdentifier));
    QApplication::setApplicationVersion(QString::fromStdString(AppInfo::version()));
    QApplication::setWindowIcon(appIcon());
    QApplication::setQuitOnLastWindowClosed(false);

    // "--toggle" (for a keyboard shortcut): show the running panel or hide it; with nothing
    // running, start and show the panel.
    const bool toggle = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::strcmp(a, "--toggle") == 0; });
    SingleInstance instance(SingleInstance::defaultDirectory());
    try {
        if (instance.claim() == SingleInstance::Role::Secondary) {
            using Request = SingleInstance::Request;
            if (instance.askPrimary(toggle ? Request::toggle : Request::show, std::chrono::seconds(5)))
                return 0;
            std::fprintf(stderr, "trayline: Trayline is already running but does not answer at %s.\n",
                         instance.socketPath().c_str());
            return 1;
        }
    } catch (const std::exception& e) {  // run anyway; only the second-start shortcut is lost
        std::fprintf(stderr, "trayline: %s\n", e.what());
    }

    TraylineApp tray({});
    QObject::connect(&instance, &SingleInstance::showRequested, &tray.tray(), &TrayHost::showPanel);
    QObject::connect(&instance, &SingleInstance::toggleRequested, &tray.tray(), &TrayHost::togglePanel);
    tray.start();
    if (toggle)
        QTimer::singleShot(0, &tray.tray(), &TrayHost::showPanel);
    const int status = QApplication::exec();
    // Workers may be blocked in requests that nothing can interrupt; waiting for them (or running
    // destructors that would) could hold up the quit. Only a store the user just asked for (a
    // sign-out's clear, a settings save) is given a moment to land; everything else is on disk.
    waitForWrites(2000);
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace trayline
