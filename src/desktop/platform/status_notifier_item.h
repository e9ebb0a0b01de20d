#pragma once

// Our org.kde.StatusNotifierItem on the session bus: the item every StatusNotifier host (KDE Plasma,
// GNOME's AppIndicator extension, xfce4-panel, waybar) draws. It carries the picture at every
// size, a tooltip, a label for hosts that show one, and a status; Activate comes back as
// activated(). The item registers with org.kde.StatusNotifierWatcher whenever a watcher appears,
// so a tray that starts after us, or restarts, gets the item without a restart of ours.

#include <vector>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QString>

class QDBusServiceWatcher;
class QDBusPendingCallWatcher;

namespace trayline {

class StatusNotifierItemAdaptor;
class StatusNotifierWatcherProxy;

// One picture as the protocol carries it: ARGB32 in network byte order.
struct SniPixmap {
    int width = 0;
    int height = 0;
    QByteArray data;
    bool operator==(const SniPixmap&) const = default;
};
using SniPixmaps = QList<SniPixmap>;
struct SniToolTip {
    QString iconName;
    SniPixmaps pixmaps;
    QString title;
    QString text;
};

// `image` (any format) as the protocol's pixmap.
SniPixmap toSniPixmap(const QImage& image);

QDBusArgument& operator<<(QDBusArgument& out, const SniPixmap& p);
const QDBusArgument& operator>>(const QDBusArgument& in, SniPixmap& p);
QDBusArgument& operator<<(QDBusArgument& out, const SniToolTip& t);
const QDBusArgument& operator>>(const QDBusArgument& in, SniToolTip& t);

class StatusNotifierItem : public QObject {
    Q_OBJECT
public:
    static inline const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
    static inline const QString kPath = QStringLiteral("/StatusNotifierItem");

    // `id`: the item's Id (the application id), also part of the tooltip's icon name.
    StatusNotifierItem(QDBusConnection bus, QString id, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Exports the item under a bus name of its own and starts watching for a watcher. False (with
    // the reason in errorString()) when the bus refuses the object or the name.
    bool start();
    QString errorString() const { return error_; }
    QString serviceName() const { return service_; }

    void setIcon(const std::vector<QImage>& images);
    void setToolTip(const QString& title, const QString& text);
    void setLabel(const QString& label);
    void setNeedsAttention(bool needsAttention);
    bool needsAttention() const { return needsAttention_; }

    // A watcher has the item and a host draws it.
    bool isShown() const { return registered_ && hostPresent_; }
    // Known: no watcher is on the bus.
    bool watcherAbsent() const { return watcherChecked_ && !watcherPresent_; }

Q_SIGNALS:
    // The host's Activate (a primary click) at this screen position.
    void activated(QPoint at);
    // isShown() changed.
    void shownChanged(bool shown);
    // A watcher answered RegisterStatusNotifierItem with an error.
    void registrationRefused(const QString& reason);

private:
    friend class StatusNotifierItemAdaptor;
    void watcherAppeared();
    void watcherVanished();
    void askForHost();
    void setState(bool registered, bool hostPresent);

    QDBusConnection bus_;
    QString id_;
    QString service_;
    QString error_;
    StatusNotifierItemAdaptor* adaptor_;
    QDBusServiceWatcher* watcher_ = nullptr;
    StatusNotifierWatcherProxy* proxy_ = nullptr;
    SniPixmaps pixmaps_;
    SniToolTip toolTip_;
    QString label_;
    bool needsAttention_ = false;
    bool watcherChecked_ = false;
    bool watcherPresent_ = false;
    bool registered_ = false;
    bool hostPresent_ = false;
    int generation_ = 0;  // bumped when the watcher goes: older answers no longer count
    int askedGeneration_ = -1;  // the watcher generation already asked to take the item
};

}  // namespace trayline

Q_DECLARE_METATYPE(trayline::SniPixmap)
Q_DECLARE_METATYPE(trayline::SniToolTip)
