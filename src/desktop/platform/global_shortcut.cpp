#include "desktop/platform/global_shortcut.h"

#include <algorithm>
#include <cstdio>

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>

namespace trayline {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

// What a portal that is missing, or lacks this interface, answers.
bool meansNoPortal(const QDBusError& error) {
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownObject: return true;
    default: return false;
    }
}

}  // namespace

QDBusArgument& operator<<(QDBusArgument& out, const PortalShortcut& shortcut) {
    out.beginStructure();
    out << shortcut.id << shortcut.properties;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, PortalShortcut& shortcut) {
    in.beginStructure();
    in >> shortcut.id >> shortcut.properties;
    in.endStructure();
    return in;
}

PortalRequest::PortalRequest(const QDBusConnection& bus, const QString& path, QObject* parent)
    : QObject(parent), bus_(bus), path_(path) {
    bus_.connect(kService, path_, kRequestInterface, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
}

PortalRequest::~PortalRequest() {
    bus_.disconnect(kService, path_, kRequestInterface, QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
}

void PortalRequest::onResponse(const QDBusMessage& message) {
    const auto args = message.arguments();
    if (args.size() != 2)
        return;
    Q_EMIT answered(args[0].toUInt(), qdbus_cast<QVariantMap>(args[1]));
}

void GlobalShortcut::registerTypes() {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcuts>();
}

GlobalShortcut::GlobalShortcut(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), answerTimer_(new QTimer(this)) {
    registerTypes();
    answerTimer_->setSingleShot(true);
    answerTimer_->setInterval(static_cast<int>(options_.answerWait.count()));
    connect(answerTimer_, &QTimer::timeout, this,
            [this] { giveUp(QStringLiteral("the desktop's global shortcut portal did not answer")); });
}

void GlobalShortcut::start() {
    if (!options_.bus.isConnected())
        return giveUp(QStringLiteral("there is no session bus for a global shortcut"));
    for (const auto& [name, slot] : {std::pair{"Activated", SLOT(onActivatedSignal(QDBusMessage))},
                                     std::pair{"ShortcutsChanged", SLOT(onShortcutsChangedSignal(QDBusMessage))}})
        options_.bus.connect(kService, kPath, kInterface, QString::fromLatin1(name), this, slot);
    request(QStringLiteral("CreateSession"), {QVariantMap{{"session_handle_token", "trayline"}}},
            &GlobalShortcut::sessionCreated);
}

// A portal call answers with the path of a request object, whose Response signal carries the
// outcome. The signal may come before the call's reply, so we listen on the path the portal
// derives from our token first, and move if it names another (older portals choose their own).
void GlobalShortcut::request(const QString& method, QList<QVariant> arguments, Step onResponse) {
    const QString token = QStringLiteral("trayline_%1").arg(++requests_);
    QVariantMap options = arguments.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.append(options);
    const QString sender = options_.bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString expected = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;

    auto listen = [this, onResponse](const QString& path) {
        auto* request = new PortalRequest(options_.bus, path, this);
        connect(request, &PortalRequest::answered, this, [this, request, onResponse](uint code, const QVariantMap& results) {
            request->deleteLater();
            answerTimer_->stop();
            (this->*onResponse)(code, results);
        });
        return request;
    };
    auto* listening = listen(expected);
    auto call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(options_.bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, listening, expected, listen](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            delete listening;
            answerTimer_->stop();
            const QDBusError error = reply.error();
            return giveUp(meansNoPortal(error) ? QStringLiteral("this desktop has no global shortcut portal")
                                               : QStringLiteral("the global shortcut portal failed (") + error.message() + ')');
        }
        if (reply.value().path() != expected) {
            delete listening;
            listen(reply.value().path());
        }
    });
    answerTimer_->start();
}

namespace {

PortalShortcuts shortcutsIn(const QVariantMap& results) {
    PortalShortcuts shortcuts;
    const QVariant listed = results.value(QStringLiteral("shortcuts"));
    if (listed.userType() == qMetaTypeId<QDBusArgument>())
        listed.value<QDBusArgument>() >> shortcuts;
    return shortcuts;
}

}  // namespace

void GlobalShortcut::sessionCreated(uint response, const QVariantMap& results) {
    const QVariant handle = results.value(QStringLiteral("session_handle"));
    session_ = handle.userType() == qMetaTypeId<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                                    : handle.toString();
    if (response != 0 || session_.isEmpty())
        return giveUp(QStringLiteral("the desktop refused a global shortcut session (response %1)").arg(response));
    // A desktop that remembers the shortcut from an earlier start has it already; binding again
    // could ask the user again at every login.
    request(QStringLiteral("ListShortcuts"), {QVariant::fromValue(QDBusObjectPath(session_)), QVariantMap()},
            &GlobalShortcut::shortcutsListed);
}

void GlobalShortcut::shortcutsListed(uint response, const QVariantMap& results) {
    const auto listed = shortcutsIn(results);
    if (response == 0 && std::any_of(listed.begin(), listed.end(), [](const auto& s) { return s.id == QLatin1String(kId); }))
        return shortcutsBound(response, results);
    const PortalShortcuts shortcuts{{QString::fromLatin1(kId),
                                     {{QStringLiteral("description"), QString::fromLatin1(kDescription)},
                                      {QStringLiteral("preferred_trigger"), QString::fromLatin1(kPreferredTrigger)}}}};
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts), QString(), QVariantMap()},
            &GlobalShortcut::shortcutsBound);
}

void GlobalShortcut::shortcutsBound(uint response, const QVariantMap& results) {
    if (response != 0)
        return giveUp(QStringLiteral("the desktop refused the global shortcut (response %1)").arg(response));
    takeTrigger(shortcutsIn(results));
    setState(State::bound);
}

void GlobalShortcut::takeTrigger(const PortalShortcuts& shortcuts) {
    for (const auto& shortcut : shortcuts) {
        if (shortcut.id != QLatin1String(kId))
            continue;
        const QString trigger = shortcut.properties.value(QStringLiteral("trigger_description")).toString();
        if (trigger != trigger_) {
            trigger_ = trigger;
            Q_EMIT stateChanged();
        }
    }
}

void GlobalShortcut::onActivatedSignal(const QDBusMessage& message) {
    const auto args = message.arguments();
    if (state_ == State::bound && args.size() >= 2 && args[0].value<QDBusObjectPath>().path() == session_ &&
        args[1].toString() == QLatin1String(kId))
        Q_EMIT activated();
}

void GlobalShortcut::onShortcutsChangedSignal(const QDBusMessage& message) {
    const auto args = message.arguments();
    if (args.size() != 2 || args[0].value<QDBusObjectPath>().path() != session_)
        return;
    PortalShortcuts shortcuts;
    args[1].value<QDBusArgument>() >> shortcuts;
    takeTrigger(shortcuts);
}

void GlobalShortcut::giveUp(const QString& why) {
    if (!explained_) {
        explained_ = true;
        std::fprintf(stderr,
                     "trayline: %s; to open the panel from the keyboard, bind \"trayline --toggle\" to a key in "
                     "the desktop's keyboard settings.\n",
                     why.toLocal8Bit().constData());
    }
    if (state_ != State::bound)
        setState(State::unavailable);
}

void GlobalShortcut::setState(State state) {
    if (state_ == state)
        return;
    state_ = state;
    Q_EMIT stateChanged();
}

}  // namespace trayline
