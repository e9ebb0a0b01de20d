#pragma once

// One desktop-wide shortcut, "Show Trayline", through the XDG GlobalShortcuts portal: a session is
// created, the shortcut bound with a suggested trigger unless the desktop lists it already (the
// user changes it in the desktop's settings), and each activation toggles the panel. Every step is asynchronous; a desktop without
// the portal, or one that refuses or never answers, leaves the app as it was, with one line on
// stderr pointing at "trayline --toggle".

#include <chrono>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusArgument;
class QDBusPendingCallWatcher;
class QTimer;

namespace trayline {

// One element of the portal's a(sa{sv}) shortcut lists.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
QDBusArgument& operator<<(QDBusArgument& out, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& in, PortalShortcut& shortcut);
using PortalShortcuts = QList<PortalShortcut>;

// A request object of the portal: its one Response signal, relayed as a Qt signal. (QtDBus
// delivers D-Bus signals to slots named by their signature only, so the slot stays in here.)
class PortalRequest : public QObject {
    Q_OBJECT
public:
    PortalRequest(const QDBusConnection& bus, const QString& path, QObject* parent);
    ~PortalRequest() override;

Q_SIGNALS:
    void answered(uint response, const QVariantMap& results);

private Q_SLOTS:
    void onResponse(const QDBusMessage& message);

private:
    QDBusConnection bus_;
    QString path_;
};

class GlobalShortcut : public QObject {
    Q_OBJECT
public:
    enum class State { starting, bound, unavailable };

    static constexpr const char* kId = "show-trayline";
    static constexpr const char* kDescription = "Show Trayline";
    // The trigger syntax of the XDG shortcuts specification: LOGO is the Super key.
    static constexpr const char* kPreferredTrigger = "LOGO+SHIFT+t";

    struct Options {
        QDBusConnection bus = QDBusConnection::sessionBus();
        // How long a portal may take to answer a request (binding may wait for the user).
        std::chrono::milliseconds answerWait = std::chrono::minutes(2);
    };

    explicit GlobalShortcut(Options options, QObject* parent = nullptr);
    static void registerTypes();

    void start();
    State state() const { return state_; }
    // How the desktop says the shortcut is triggered ("Super+Shift+T"); empty when it has not said.
    QString trigger() const { return trigger_; }

Q_SIGNALS:
    void activated();
    void stateChanged();

private:
    using Step = void (GlobalShortcut::*)(uint, const QVariantMap&);
    void request(const QString& method, QList<QVariant> arguments, Step onResponse);
    void sessionCreated(uint response, const QVariantMap& results);
    void shortcutsListed(uint response, const QVariantMap& results);
    void shortcutsBound(uint response, const QVariantMap& results);
    void takeTrigger(const PortalShortcuts& shortcuts);
    void giveUp(const QString& why);
    void setState(State state);

private Q_SLOTS:
    void onActivatedSignal(const QDBusMessage& message);
    void onShortcutsChangedSignal(const QDBusMessage& message);

private:
    Options options_;
    QTimer* answerTimer_;
    State state_ = State::starting;
    QString trigger_;
    QString session_;
    int requests_ = 0;
    bool explained_ = false;  // the one stderr line has been written
};

}  // namespace trayline

Q_DECLARE_METATYPE(trayline::PortalShortcut)
