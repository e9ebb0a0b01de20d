#include "desktop/platform/status_notifier_item.h"

#include <unistd.h>

#include <cstdio>

#include <QDBusAbstractAdaptor>
#include <QDBusAbstractInterface>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QtEndian>

namespace trayline {

QDBusArgument& operator<<(QDBusArgument& out, const SniPixmap& p) {
    out.beginStructure();
    out << p.width << p.height << p.data;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, SniPixmap& p) {
    in.beginStructure();
    in >> p.width >> p.height >> p.data;
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const SniToolTip& t) {
    out.beginStructure();
    out << t.iconName << t.pixmaps << t.title << t.text;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, SniToolTip& t) {
    in.beginStructure();
    in >> t.iconName >> t.pixmaps >> t.title >> t.text;
    in.endStructure();
    return in;
}

SniPixmap toSniPixmap(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    SniPixmap p{argb.width(), argb.height(), QByteArray(qsizetype(argb.width()) * argb.height() * 4, Qt::Uninitialized)};
    auto* out = reinterpret_cast<uchar*>(p.data.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* row = reinterpret_cast<const quint32*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, out += 4)
            qToBigEndian(row[x], out);
    }
    return p;
}

// The watcher's signals we follow: a host that starts after the watcher took our item, and one
// that goes away (on KDE the watcher outlives plasmashell, the host).
class StatusNotifierWatcherProxy : public QDBusAbstractInterface {
    Q_OBJECT
public:
    StatusNotifierWatcherProxy(const QDBusConnection& bus, QObject* parent)
        : QDBusAbstractInterface(StatusNotifierItem::kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
                                 "org.kde.StatusNotifierWatcher", bus, parent) {}
Q_SIGNALS:
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();
};

class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ none)
    Q_PROPERTY(QString IconThemePath READ none)
    Q_PROPERTY(trayline::SniPixmaps IconPixmap READ pixmaps)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(trayline::SniPixmaps OverlayIconPixmap READ noPixmaps)
    // The counts stay readable while the item asks for attention: the same picture.
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(trayline::SniPixmaps AttentionIconPixmap READ pixmaps)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(trayline::SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
    Q_PROPERTY(uint XAyatanaOrderingIndex READ orderingIndex)

public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem* item) : QDBusAbstractAdaptor(item), item_(item) {}

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return item_->id_; }
    QString title() const { return QStringLiteral("Trayline"); }
    QString status() const {
        return item_->needsAttention_ ? QStringLiteral("NeedsAttention") : QStringLiteral("Active");
    }
    int windowId() const { return 0; }
    QString none() const { return {}; }
    SniPixmaps pixmaps() const { return item_->pixmaps_; }
    SniPixmaps noPixmaps() const { return {}; }
    SniToolTip toolTip() const { return item_->toolTip_; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(QStringLiteral("/NO_DBUSMENU")); }
    QString label() const { return item_->label_; }
    QString labelGuide() const { return QStringLiteral("9999 \u00b7 9999"); }
    uint orderingIndex() const { return 0; }

public Q_SLOTS:
    void Activate(int x, int y) { Q_EMIT item_->activated(QPoint(x, y)); }
    // The item has no menu and no other actions.
    void SecondaryActivate(int, int) {}
    void ContextMenu(int, int) {}
    void Scroll(int, const QString&) {}
    // Wayland: lets the panel that opens next take the focus the host hands over.
    void ProvideXdgActivationToken(const QString& token) { qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8()); }

Q_SIGNALS:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);
    void XAyatanaNewLabel(const QString& label, const QString& guide);

private:
    StatusNotifierItem* item_;
};

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QString id, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), id_(std::move(id)), adaptor_(new StatusNotifierItemAdaptor(this)) {
    toolTip_.title = QStringLiteral("Trayline");
    toolTip_.iconName = id_;
}

StatusNotifierItem::~StatusNotifierItem() {
    if (service_.isEmpty())
        return;
    bus_.unregisterService(service_);
    bus_.unregisterObject(kPath);
}

bool StatusNotifierItem::start() {
    qDBusRegisterMetaType<SniPixmap>();
    qDBusRegisterMetaType<SniPixmaps>();
    qDBusRegisterMetaType<SniToolTip>();
    if (!bus_.isConnected()) {
        error_ = QStringLiteral("no session bus");
        return false;
    }
    if (!bus_.registerObject(kPath, this, QDBusConnection::ExportAdaptors)) {
        error_ = QStringLiteral("%1 is taken on the session bus").arg(kPath);
        return false;
    }
    const QString name = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(::getpid());
    if (!bus_.registerService(name)) {
        error_ = bus_.lastError().message();
        bus_.unregisterObject(kPath);
        return false;
    }
    service_ = name;
    proxy_ = new StatusNotifierWatcherProxy(bus_, this);
    connect(proxy_, &StatusNotifierWatcherProxy::StatusNotifierHostRegistered, this, &StatusNotifierItem::askForHost);
    // Another host may remain: the watcher's property says whether any does.
    connect(proxy_, &StatusNotifierWatcherProxy::StatusNotifierHostUnregistered, this, &StatusNotifierItem::askForHost);
    watcher_ = new QDBusServiceWatcher(kWatcherService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                watcherChecked_ = true;
                if (!oldOwner.isEmpty())
                    watcherVanished();
                if (!newOwner.isEmpty())
                    watcherAppeared();
            });
    // A watcher that is already there announces nothing: ask.
    auto ask = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                              QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << kWatcherService;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(ask), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, generation = generation_](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<bool> reply = *call;
        watcherChecked_ = true;
        if (generation == generation_ && !reply.isError() && reply.value())
            watcherAppeared();
    });
    return true;
}

void StatusNotifierItem::watcherAppeared() {
    watcherPresent_ = true;
    if (askedGeneration_ == generation_)  // the announcement and our own question may both say so
        return;
    askedGeneration_ = generation_;
    auto* pending = new QDBusPendingCallWatcher(
        proxy_->asyncCall(QStringLiteral("RegisterStatusNotifierItem"), service_), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, generation = generation_](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (generation != generation_)
            return;
        if (call->isError()) {
            const QString reason = call->error().message();
            std::fprintf(stderr, "trayline: the tray refused the status item: %s\n", qPrintable(reason));
            Q_EMIT registrationRefused(reason);
            return;
        }
        setState(true, hostPresent_);
        askForHost();
    });
}

void StatusNotifierItem::askForHost() {
    if (!registered_)
        return;
    auto get = QDBusMessage::createMethodCall(kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
                                              QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierWatcher") << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, generation = generation_](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (generation != generation_)
            return;
        // A watcher without the property took the item all the same: count it as drawn.
        const QDBusPendingReply<QDBusVariant> reply = *call;
        setState(registered_, reply.isError() || reply.value().variant().toBool());
    });
}

void StatusNotifierItem::watcherVanished() {
    watcherPresent_ = false;
    ++generation_;
    setState(false, false);
}

void StatusNotifierItem::setState(bool registered, bool hostPresent) {
    const bool before = isShown();
    registered_ = registered;
    hostPresent_ = hostPresent;
    if (before != isShown())
        Q_EMIT shownChanged(isShown());
}

void StatusNotifierItem::setIcon(const std::vector<QImage>& images) {
    SniPixmaps pixmaps;
    pixmaps.reserve(static_cast<qsizetype>(images.size()));
    for (const QImage& image : images)
        pixmaps.append(toSniPixmap(image));
    if (pixmaps == pixmaps_)
        return;
    pixmaps_ = std::move(pixmaps);
    Q_EMIT adaptor_->NewIcon();
    Q_EMIT adaptor_->NewAttentionIcon();
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& text) {
    if (toolTip_.title == title && toolTip_.text == text)
        return;
    toolTip_.title = title;
    toolTip_.text = text;
    Q_EMIT adaptor_->NewToolTip();
}

void StatusNotifierItem::setLabel(const QString& label) {
    if (label == label_)
        return;
    label_ = label;
    Q_EMIT adaptor_->XAyatanaNewLabel(label_, adaptor_->labelGuide());
}

void StatusNotifierItem::setNeedsAttention(bool needsAttention) {
    if (needsAttention == needsAttention_)
        return;
    needsAttention_ = needsAttention;
    Q_EMIT adaptor_->NewStatus(adaptor_->status());
}

}  // namespace trayline

#include "status_notifier_item.moc"
