#include "desktop/platform/tray_host.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include "desktop/platform/panel_placement.h"
#include "desktop/platform/panel_window.h"

namespace trayline {

namespace {
// A click on the item while the panel is open first takes focus from the panel, which closes it;
// the click that follows at once must not open it again.
constexpr qint64 kDismissClickGraceMs = 300;
}  // namespace

TrayHost::TrayHost(QWidget* content, QObject* parent) : TrayHost(content, Options{}, parent) {}

TrayHost::TrayHost(QWidget* content, Options options, QObject* parent)
    : QObject(parent),
      options_(options),
      panel_(std::make_unique<PanelWindow>()),
      icon_(new QSystemTrayIcon(this)),
      retry_(new QTimer(this)) {
    panel_->setContent(content);
    connect(panel_.get(), &PanelWindow::dismissed, this, [this] { sinceDismissed_.start(); });
    connect(icon_, &QSystemTrayIcon::activated, this, &TrayHost::onActivated);
    retry_->setInterval(static_cast<int>(options_.retryEvery.count()));
    connect(retry_, &QTimer::timeout, this, &TrayHost::tryShowIcon);
}

TrayHost::~TrayHost() = default;

void TrayHost::start() {
    waiting_.start();
    tryShowIcon();
    // The first click should not pay for the native window, the first layout and loading fonts
    // and style: do them once, while the event loop is idle after start-up (the image is dropped).
    QTimer::singleShot(0, this, [this] {
        placePanel();
        panel_->winId();
        (void)panel_->grab();
    });
}

void TrayHost::tryShowIcon() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        retry_->stop();
        icon_->show();
        return;
    }
    checkWatcher();
    if (waiting_.elapsed() >= options_.trayWait.count()) {
        retry_->stop();
        Q_EMIT trayUnavailable();
        return;
    }
    if (!retry_->isActive())
        retry_->start();
}

void TrayHost::checkWatcher() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (watcherAsked_ || !bus.isConnected())
        return;
    auto call = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QStringLiteral("org.kde.StatusNotifierWatcher") << QStringLiteral("IsStatusNotifierHostRegistered");
    watcherAsked_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* reply) {
        reply->deleteLater();
        watcherAsked_ = false;
        const QDBusPendingReply<QDBusVariant> answer = *reply;
        if (answer.isError() || !answer.value().variant().toBool()) {
            watcherWasMissing_ = true;
            return;
        }
        // Only a watcher that was missing before can be one the toolkit has not seen; restarting
        // for any other reason could never end.
        if (!watcherWasMissing_ || icon_->isVisible() || !retry_->isActive())
            return;
        retry_->stop();
        Q_EMIT trayAppearedLate();
    });
}

void TrayHost::setIcon(const QImage& image) { icon_->setIcon(QIcon(QPixmap::fromImage(image))); }

void TrayHost::setContent(QWidget* content) { panel_->setContent(content); }

void TrayHost::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger)
        return;
    if (!isPanelVisible() && sinceDismissed_.isValid() && sinceDismissed_.elapsed() < kDismissClickGraceMs)
        return;
    togglePanel();
}

void TrayHost::togglePanel() {
    if (isPanelVisible())
        hidePanel();
    else
        showPanel();
}

void TrayHost::showPanel() {
    placePanel();
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
    Q_EMIT panelShown();
}

void TrayHost::hidePanel() { panel_->hide(); }

bool TrayHost::isPanelVisible() const { return panel_->isVisible(); }

bool TrayHost::isTrayVisible() const { return icon_->isVisible(); }

QWidget* TrayHost::panel() const { return panel_.get(); }

void TrayHost::placePanel() {
    const QRect iconGeometry = icon_->isVisible() ? icon_->geometry() : QRect();
    const QPoint cursor = QCursor::pos();
    const QPoint anchor = iconGeometry.isValid() ? iconGeometry.center() : cursor;
    QScreen* screen = QGuiApplication::screenAt(anchor);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const auto available = screen ? std::optional<QRect>(screen->availableGeometry()) : std::nullopt;
    const QRect geometry = panelGeometry(iconGeometry, cursor, available);
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        panel_->resize(geometry.size());  // Wayland clients cannot place windows: the compositor does
    else
        panel_->setGeometry(geometry);
}

}  // namespace trayline
