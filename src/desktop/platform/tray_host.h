#pragma once

// The status-area item and its panel. The item is our own StatusNotifierItem, registered with
// every StatusNotifier watcher that appears (a panel may start after us at login, or restart);
// on X11 without a watcher the toolkit's tray icon docks into an XEmbed tray instead, drawn the
// same way. A click toggles the panel beside the item. If no tray has shown the item when the
// wait ends, the panel becomes an ordinary window titled with the counts, so the app never runs
// where nobody can see it; a tray that appears later gets the item, and the window stays until
// the user closes it. A tray that goes away starts the wait again.

#include <chrono>
#include <memory>

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QRect>

#include "desktop/ui/tray_icon.h"

class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace trayline {

class PanelWindow;
class StatusNotifierItem;

class TrayHost : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::chrono::milliseconds trayWait = std::chrono::seconds(30);
        // How often an XEmbed tray is looked for during the wait (X11 without a watcher).
        std::chrono::milliseconds retryEvery = std::chrono::seconds(1);
        QDBusConnection bus = QDBusConnection::sessionBus();
    };

    // `content` becomes the panel's content (owned by the panel).
    explicit TrayHost(QWidget* content, QObject* parent = nullptr);
    TrayHost(QWidget* content, Options options, QObject* parent = nullptr);
    ~TrayHost() override;

    // Offers the item and starts the wait for a tray.
    void start();
    // Redraws the picture at every size, the tooltip, the label and the window's title.
    void setCounts(const ui::TrayCounts& counts);
    void setNeedsAttention(bool needsAttention);
    bool needsAttention() const;
    void setContent(QWidget* content);

    void showPanel();
    void hidePanel();
    void togglePanel();
    bool isPanelVisible() const;
    // A tray draws the item.
    bool isTrayVisible() const;
    // The panel is an ordinary window (no tray when the wait ended).
    bool isWindowMode() const;
    QWidget* panel() const;
    StatusNotifierItem& item() const { return *item_; }

Q_SIGNALS:
    void panelShown();
    // No tray when the wait ended: the panel has opened as a window.
    void trayUnavailable();

private:
    void waitForTray();
    void useXEmbedTray();
    void updateXEmbedTray();
    void onItemShown(bool shown);
    void activate(const QRect& anchor);
    void showPanelAt(const QRect& anchor);
    void placePopup(const QRect& anchor);
    void onWindowClosed();

    Options options_;
    ui::TrayIconPainter painter_;
    ui::TrayCounts counts_;
    std::vector<QImage> images_;
    std::unique_ptr<PanelWindow> panel_;
    StatusNotifierItem* item_;
    QSystemTrayIcon* xembed_ = nullptr;  // made only once no watcher was found, on X11
    QTimer* wait_;
    QElapsedTimer waiting_;
    QElapsedTimer sinceDismissed_;
    bool windowPlaced_ = false;
};

}  // namespace trayline
