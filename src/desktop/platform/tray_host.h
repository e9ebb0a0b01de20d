#pragma once

// The status-area item and its panel. The item has no menu and no tooltip: a click opens the panel,
// a second click closes it. When the desktop has no tray yet (the panel or its tray extension may
// start after us at login) the item is shown as soon as one appears; if none appears within the
// wait, trayUnavailable() says so once, so the app never runs where nobody can see it.
//
// The toolkit decides once per process whether a StatusNotifier tray exists. When one appears
// after that (the usual race at login on Wayland), trayAppearedLate() asks for a restart: only a
// new process can use it.

#include <chrono>
#include <memory>

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QSystemTrayIcon>

class QTimer;
class QWidget;

namespace trayline {

class PanelWindow;

class TrayHost : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::chrono::milliseconds trayWait = std::chrono::seconds(30);
        std::chrono::milliseconds retryEvery = std::chrono::seconds(1);
    };

    // `content` becomes the panel's content (owned by the panel).
    explicit TrayHost(QWidget* content, QObject* parent = nullptr);
    TrayHost(QWidget* content, Options options, QObject* parent = nullptr);
    ~TrayHost() override;

    // Shows the item now, or once a tray appears.
    void start();
    // The item's image; its device pixel ratio says how many pixels make one point.
    void setIcon(const QImage& image);
    void setContent(QWidget* content);

    void showPanel();
    void hidePanel();
    void togglePanel();
    bool isPanelVisible() const;
    bool isTrayVisible() const;
    QWidget* panel() const;

Q_SIGNALS:
    void panelShown();
    void trayUnavailable();
    void trayAppearedLate();

private:
    void tryShowIcon();
    void checkWatcher();
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void placePanel();

    Options options_;
    std::unique_ptr<PanelWindow> panel_;
    QSystemTrayIcon* icon_;
    QTimer* retry_;
    QElapsedTimer waiting_;
    QElapsedTimer sinceDismissed_;
    bool watcherAsked_ = false;       // a check of the StatusNotifier watcher is on its way
    bool watcherWasMissing_ = false;  // a check found no watcher with a host
};

}  // namespace trayline
