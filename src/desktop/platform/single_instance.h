#pragma once

// One tray application per session. The first process holds an flock on a lock file (released by
// the kernel when the process ends, so a crash leaves nothing to clean up) and listens on a local
// socket; a later process finds the lock taken, asks the first over that socket to show its panel
// (or, for "trayline --toggle", to show or hide it), and exits. Both live in a directory only this
// user can enter.

#include <chrono>
#include <filesystem>

#include <QObject>

#include "core/platform/unique_fd.h"

class QLocalServer;

namespace trayline {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role { Primary, Secondary };
    enum class Request { show, toggle };

    // `dir` holds the lock and the socket; it is created 0700 when missing.
    explicit SingleInstance(std::filesystem::path dir, QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/trayline-<hash of the settings directory>, or that name with the uid under
    // /tmp when the session has no runtime directory.
    static std::filesystem::path defaultDirectory();

    // Primary (this process now holds the lock and listens) or Secondary (another one holds it).
    // Throws std::runtime_error when the directory is not private to this user or unusable.
    Role claim();
    // As Secondary: asks the primary to show its panel (or toggle it); true once it confirmed.
    // Blocks up to `timeout` (the primary may still be starting), so only for use before any
    // window exists.
    bool askPrimary(Request request, std::chrono::milliseconds timeout) const;
    bool askPrimaryToShow(std::chrono::milliseconds timeout) const { return askPrimary(Request::show, timeout); }

    std::filesystem::path socketPath() const { return dir_ / "instance.sock"; }

Q_SIGNALS:
    // Another process asked for the panel.
    void showRequested();
    // Another process asked to show the panel, or to hide it when it shows.
    void toggleRequested();

private:
    void listen();
    void onConnection();

    std::filesystem::path dir_;
    UniqueFd lock_;
    QLocalServer* server_ = nullptr;
};

}  // namespace trayline
