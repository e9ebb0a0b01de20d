#include "desktop/app/trayline_app.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <QApplication>
#include <QTimer>

#include "core/platform/paths.h"
#include "core/settings/app_info.h"
#include "desktop/ui/content_view.h"
#include "desktop/ui/menu_bar_label.h"
#include "desktop/models/background.h"
#include "desktop/platform/single_instance.h"

namespace trayline {

namespace {

const char* const kNoTrayMessage =
    "Trayline cannot show its icon: this desktop has no system tray. On GNOME, turn on an "
    "AppIndicator/StatusNotifier extension (Debian: gnome-shell-extension-appindicator), then start "
    "Trayline again.";

// The two counts and nothing else: neither the sign-in state nor an error changes the picture.
QImage countsIcon(const AppModel& model) {
    return ui::MenuBarLabel(static_cast<std::int64_t>(model.myTasks().size()), model.unassignedCount())
        .renderedImage();
}

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
    if (!options_.renderIcon)
        options_.renderIcon = countsIcon;
    tray_.setContent(options_.makeContent(model_, *model_.auth(), updater_));
    // The picture shows the length of my list and the unassigned part of the group queue.
    for (auto signal : {&AppModel::myTasksChanged, &AppModel::groupTasksChanged})
        connect(&model_, signal, this, &TraylineApp::rebuildIcon);
    connect(&tray_, &TrayHost::trayUnavailable, this, &TraylineApp::reportMissingTray);
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

void TraylineApp::rebuildIcon() { tray_.setIcon(options_.renderIcon(model_)); }

void TraylineApp::reportMissingTray() {
    std::fprintf(stderr, "trayline: %s\n", kNoTrayMessage);
    notifier_.send(QStringLiteral("Trayline has no tray icon"), QString::fromUtf8(kNoTrayMessage),
                   QStringLiteral("no-tray"));
    Q_EMIT cannotShowIcon();
}

int runTrayApplication(int argc, char** argv) {
    const std::vector<char*> originalArguments(argv, argv + argc + 1);  // Qt removes its own
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
    QObject::connect(&tray, &TraylineApp::cannotShowIcon, &app, [] {
        // A moment for the notification to leave before the process ends.
        QTimer::singleShot(1000, qApp, [] { QCoreApplication::exit(1); });
    });
    bool restart = false;
    QObject::connect(&tray.tray(), &TrayHost::trayAppearedLate, &app, [&restart] {
        restart = true;
        QCoreApplication::quit();
    });
    tray.start();
    if (toggle)
        QTimer::singleShot(0, &tray.tray(), &TrayHost::showPanel);
    const int status = QApplication::exec();
    if (restart) {
        // Descriptors are close-on-exec, so the lock is free for the new process.
        const auto self = paths::executablePath();
        ::execv(self.c_str(), originalArguments.data());
        std::fprintf(stderr, "trayline: cannot restart to show the tray icon: %s\n", std::strerror(errno));
    }
    // Workers may be blocked in requests that nothing can interrupt; waiting for them (or running
    // destructors that would) could hold up the quit. Only a store the user just asked for (a
    // sign-out's clear, a settings save) is given a moment to land; everything else is on disk.
    waitForWrites(2000);
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace trayline
