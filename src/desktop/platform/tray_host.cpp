#include "desktop/platform/tray_host.h"

#include <cstdio>

#include <QCursor>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include "core/settings/app_info.h"
#include "desktop/platform/panel_placement.h"
#include "desktop/platform/panel_window.h"
#include "desktop/platform/status_notifier_item.h"

namespace trayline {

namespace {

// A click on the item while the panel is open first takes focus from the panel, which closes it;
// the click that follows at once must not open it again.
constexpr qint64 kDismissClickGraceMs = 300;

// Wayland clients cannot place their windows: the compositor does.
bool compositorPlaces() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

QRect availableAround(const QPoint& point) {
    QScreen* screen = QGuiApplication::screenAt(point);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

}  // namespace

TrayHost::TrayHost(QWidget* content, QObject* parent) : TrayHost(content, Options{}, parent) {}

TrayHost::TrayHost(QWidget* content, Options options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      panel_(std::make_unique<PanelWindow>()),
      item_(new StatusNotifierItem(options_.bus, QString::fromLatin1(AppInfo::kBundleIdentifier), this)),
      wait_(new QTimer(this)) {
    panel_->setContent(content);
    connect(panel_.get(), &PanelWindow::dismissed, this, [this] { sinceDismissed_.start(); });
    connect(panel_.get(), &PanelWindow::closedByUser, this, &TrayHost::onWindowClosed);
    connect(item_, &StatusNotifierItem::activated, this, [this](QPoint at) {
        // Hosts that know where the click was say so; (0, 0) means they do not.
        activate(at.isNull() ? QRect() : QRect(at, QSize(1, 1)));
    });
    connect(item_, &StatusNotifierItem::shownChanged, this, &TrayHost::onItemShown);
    wait_->setInterval(static_cast<int>(options_.retryEvery.count()));
    connect(wait_, &QTimer::timeout, this, &TrayHost::waitForTray);
    setCounts({});
}

TrayHost::~TrayHost() = default;

void TrayHost::start() {
    if (!item_->start())
        std::fprintf(stderr, "trayline: cannot offer the tray item: %s\n", qPrintable(item_->errorString()));
    waiting_.start();
    wait_->start();
    // The first click should not pay for the native window, the first layout and loading fonts
    // and style: do them once, while the event loop is idle after start-up (the image is dropped).
    QTimer::singleShot(0, this, [this] {
        if (panel_->isVisible())
            return;
        placePopup(QRect());
        panel_->winId();
        (void)panel_->grab();
    });
}

void TrayHost::waitForTray() {
    if (isTrayVisible()) {
        wait_->stop();
        return;
    }
    // The toolkit's tray icon would take a StatusNotifier watcher if one were there, beside ours:
    // it is made only once the bus has said there is none.
    if (item_->watcherAbsent() && QGuiApplication::platformName() == QLatin1String("xcb") &&
        QSystemTrayIcon::isSystemTrayAvailable())
        useXEmbedTray();
    if (isTrayVisible()) {
        wait_->stop();
        return;
    }
    if (waiting_.elapsed() < options_.trayWait.count())
        return;
    wait_->stop();
    panel_->setMode(PanelWindow::Mode::Window);
    panel_->setWindowTitle(ui::trayWindowTitle(counts_));
    windowPlaced_ = false;
    Q_EMIT trayUnavailable();  // told before the window shows, so the reason never trails it
    showPanel();
}

void TrayHost::useXEmbedTray() {
    if (!xembed_) {
        xembed_ = new QSystemTrayIcon(this);
        connect(xembed_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
            if (why == QSystemTrayIcon::Trigger)
                activate(xembed_->geometry());
        });
        updateXEmbedTray();
    }
    if (!item_->isShown())
        xembed_->show();
}

void TrayHost::onItemShown(bool shown) {
    // One item in the tray: ours while a watcher has it, else the XEmbed one if there is one.
    if (shown && xembed_)
        xembed_->hide();
    else if (!shown && xembed_)
        xembed_->show();
    if (shown && isWindowMode() && !panel_->isVisible()) {
        // The window was closed before this tray came: the tray's first click opens the popup.
        panel_->setMode(PanelWindow::Mode::Popup);
    } else if (!shown && !isTrayVisible() && !isWindowMode() && !wait_->isActive()) {
        // The last host went away: wait for another as at start, then fall back to the window.
        waiting_.start();
        wait_->start();
    }
}

void TrayHost::setCounts(const ui::TrayCounts& counts) {
    if (counts == counts_ && !images_.empty())
        return;
    counts_ = counts;
    images_ = painter_.renderSet(counts);
    item_->setIcon(images_);
    item_->setToolTip(QStringLiteral("Trayline"), ui::trayToolTip(counts));
    item_->setLabel(ui::trayLabel(counts));
    updateXEmbedTray();
    if (isWindowMode())
        panel_->setWindowTitle(ui::trayWindowTitle(counts));
}

void TrayHost::updateXEmbedTray() {
    if (!xembed_)
        return;
    QIcon icon;
    for (const QImage& image : images_)
        icon.addPixmap(QPixmap::fromImage(image));
    xembed_->setIcon(icon);
    xembed_->setToolTip(ui::trayToolTip(counts_));
}

void TrayHost::setNeedsAttention(bool needsAttention) { item_->setNeedsAttention(needsAttention); }

bool TrayHost::needsAttention() const { return item_->needsAttention(); }

void TrayHost::setContent(QWidget* content) { panel_->setContent(content); }

void TrayHost::activate(const QRect& anchor) {
    // A minimised window is out of sight: the click, --toggle or the shortcut restores it.
    if (isPanelVisible() && !panel_->isMinimized()) {
        hidePanel();
        return;
    }
    if (sinceDismissed_.isValid() && sinceDismissed_.elapsed() < kDismissClickGraceMs)
        return;
    showPanelAt(anchor);
}

void TrayHost::togglePanel() { activate(QRect()); }

void TrayHost::showPanel() { showPanelAt(QRect()); }

void TrayHost::showPanelAt(const QRect& anchor) {
    if (!isWindowMode()) {
        placePopup(anchor);
    } else if (!windowPlaced_) {
        // The first time where the desktop would put a new window; later where the user left it.
        windowPlaced_ = true;
        const QRect screen = availableAround(QCursor::pos());
        const QRect popup = panelGeometry({}, screen.center(), screen);
        panel_->resize(popup.size());
        if (!compositorPlaces())
            panel_->move(screen.center() - QPoint(popup.width() / 2, popup.height() / 2));
    }
    if (panel_->isMinimized())
        panel_->showNormal();
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
    Q_EMIT panelShown();
}

void TrayHost::hidePanel() {
    const bool closing = isWindowMode() && panel_->isVisible();
    panel_->hide();
    if (closing)
        onWindowClosed();
}

void TrayHost::onWindowClosed() {
    // The window stays a window until the user closes it; a tray that came meanwhile takes over.
    if (isTrayVisible())
        panel_->setMode(PanelWindow::Mode::Popup);
}

bool TrayHost::isPanelVisible() const { return panel_->isVisible(); }

bool TrayHost::isTrayVisible() const {
    return item_->isShown() || (xembed_ && xembed_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable());
}

bool TrayHost::isWindowMode() const { return panel_->mode() == PanelWindow::Mode::Window; }

QWidget* TrayHost::panel() const { return panel_.get(); }

void TrayHost::placePopup(const QRect& anchor) {
    const QPoint cursor = QCursor::pos();
    const QRect available = availableAround(anchor.isValid() ? anchor.center() : cursor);
    const QRect geometry =
        panelGeometry(anchor, cursor, available.isEmpty() ? std::nullopt : std::optional<QRect>(available));
    // A fixed size also makes tiling compositors float the panel instead of tiling it.
    panel_->setFixedSize(geometry.size());
    if (!compositorPlaces())
        panel_->move(geometry.topLeft());
}

}  // namespace trayline
