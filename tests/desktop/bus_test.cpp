// Platform services on a private session bus (the binary runs inside dbus-run-session), against
// stand-ins the test owns: the tray item with a StatusNotifierWatcher (registration whenever a watcher
// appears, what a host reads, Activate, a host that goes and comes back), and the whole tray app with
// a GlobalShortcuts portal (what is bound, what toggles) and its request for attention.

#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QLabel>
#include <QRegularExpression>
#include <QTimer>

#include "desktop/app/trayline_app.h"
#include "desktop/platform/global_shortcut.h"
#include "desktop/platform/status_notifier_item.h"
#include "desktop/platform/tray_host.h"
#include "desktop/ui/tray_icon.h"
#include "qt_test_support.h"
#include "support/temp_env.h"
#include "ui_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::spinUntil;

// Tests that take well-known names on the session bus: only on a private one.
void requirePrivateBus() {
    if (qgetenv("TRAYLINE_PRIVATE_BUS") != "1")
        GTEST_SKIP() << "needs its own session bus: run through ctest (dbus-run-session)";
}

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

// Takes the watcher's name on a connection of its own; gone (name and connection) when destroyed.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    Watcher() {
        static int made = 0;
        bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("watcher-%1").arg(++made));
        ok = bus_.registerObject("/StatusNotifierWatcher", this,
                                 QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                     QDBusConnection::ExportAllSignals) &&
             bus_.registerService(kWatcher);
    }
    ~Watcher() override {
        bus_.unregisterService(kWatcher);
        QDBusConnection::disconnectFromBus(bus_.name());
    }
    bool hostRegistered() const { return host_; }
    // A host (the panel that draws the items) starts or quits while the watcher stays.
    void setHost(bool host) {
        host_ = host;
        if (host)
            Q_EMIT StatusNotifierHostRegistered();
        else
            Q_EMIT StatusNotifierHostUnregistered();
    }

    bool ok = false;
    QStringList items;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }

Q_SIGNALS:
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    QDBusConnection bus_{QString()};
    bool host_ = true;
};

class ItemOnTheBus : public ::testing::Test {
protected:
    void SetUp() override { requirePrivateBus(); }
    void TearDown() override {
        if (host)
            host->hidePanel();
    }
    void startHost(std::chrono::milliseconds wait) {
        host = std::make_unique<TrayHost>(new QLabel(QStringLiteral("content")),
                                          TrayHost::Options{wait, 10ms, QDBusConnection::sessionBus()});
        host->start();
    }
    // Asked the way a host asks: on another connection, without blocking the item's thread.
    QDBusMessage call(const QString& method, const QVariantList& args, const QString& interface) {
        auto message = QDBusMessage::createMethodCall(host->item().serviceName(), StatusNotifierItem::kPath,
                                                      interface, method);
        message.setArguments(args);
        QDBusPendingCall pending = hostBus.asyncCall(message);
        EXPECT_TRUE(spinUntil([&] { return pending.isFinished(); }, 5000)) << method.toStdString();
        return pending.reply();
    }
    QVariant property(const char* name) {
        const QDBusMessage reply = call(QStringLiteral("Get"), {"org.kde.StatusNotifierItem", QString::fromLatin1(name)},
                                        QStringLiteral("org.freedesktop.DBus.Properties"));
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << name << ": " << reply.errorMessage().toStdString();
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    template <class T>
    T structured(const char* name) {
        T value;
        property(name).value<QDBusArgument>() >> value;
        return value;
    }

    QDBusConnection hostBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "host");
    std::unique_ptr<TrayHost> host;
};

TEST_F(ItemOnTheBus, RegistersWheneverAWatcherAppearsAndCarriesWhatAHostReads) {
    startHost(60s);
    const ui::TrayCounts counts{3, 12, false};
    host->setCounts(counts);
    QTest::qWait(100);
    EXPECT_FALSE(host->isTrayVisible());
    EXPECT_FALSE(host->isWindowMode());

    for (int round = 0; round < 2; ++round) {  // a tray that starts late, then restarts
        SCOPED_TRACE(round);
        auto watcher = std::make_unique<Watcher>();
        ASSERT_TRUE(watcher->ok);
        ASSERT_TRUE(spinUntil([&] { return host->isTrayVisible(); }, 5000));
        EXPECT_EQ(watcher->items, QStringList{host->item().serviceName()});
        watcher.reset();
        ASSERT_TRUE(spinUntil([&] { return !host->isTrayVisible(); }, 5000));
    }
    Watcher watcher;
    ASSERT_TRUE(spinUntil([&] { return host->isTrayVisible(); }, 5000));

    EXPECT_EQ(property("Status").toString(), "Active");
    EXPECT_EQ(property("XAyatanaLabel").toString(), QString::fromUtf8("3 \u00b7 12"));
    const auto tip = structured<SniToolTip>("ToolTip");
    EXPECT_EQ(tip.title, "Trayline");
    EXPECT_EQ(tip.text, ui::trayToolTip(counts));

    // Every size, each pixel as ARGB in network byte order.
    const auto pixmaps = structured<SniPixmaps>("IconPixmap");
    ASSERT_EQ(pixmaps.size(), static_cast<qsizetype>(ui::kTrayIconSizes.size()));
    const ui::TrayIconPainter painter;
    for (qsizetype i = 0; i < pixmaps.size(); ++i) {
        const int size = ui::kTrayIconSizes[static_cast<std::size_t>(i)];
        const SniPixmap& p = pixmaps[i];
        ASSERT_EQ(std::tuple(p.width, p.height, p.data.size()), std::tuple(size, size, size * size * 4));
        const QImage expected = painter.render(counts, size).convertToFormat(QImage::Format_ARGB32);
        const auto* bytes = reinterpret_cast<const uchar*>(p.data.constData());
        int differing = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x, bytes += 4)
                differing += qRgba(bytes[1], bytes[2], bytes[3], bytes[0]) != expected.pixel(x, y);
        EXPECT_EQ(differing, 0) << size << " px";
    }
    EXPECT_EQ(structured<SniPixmaps>("AttentionIconPixmap"), pixmaps);  // counts stay readable
    // NeedsAttention and Activate, read and pressed the same way, are the whole-app test's.
}

// On KDE the watcher outlives plasmashell, the host: a host that goes away brings the window when
// none is back within the wait, and a host that comes after the window was closed gets the popup.
TEST_F(ItemOnTheBus, AHostThatGoesAwayBringsTheWindowAndOneThatComesLaterThePopup) {
    Watcher watcher;
    ASSERT_TRUE(watcher.ok);
    startHost(1s);
    QSignalSpy unavailable(host.get(), &TrayHost::trayUnavailable);
    ASSERT_TRUE(spinUntil([&] { return host->isTrayVisible(); }, 5000));
    watcher.setHost(false);
    ASSERT_TRUE(spinUntil([&] { return unavailable.count() == 1; }, 5000));
    EXPECT_TRUE(host->isWindowMode() && host->isPanelVisible());
    host->panel()->close();
    watcher.setHost(true);
    ASSERT_TRUE(spinUntil([&] { return host->isTrayVisible(); }, 5000));
    call(QStringLiteral("Activate"), {10, 10}, QStringLiteral("org.kde.StatusNotifierItem"));
    ASSERT_TRUE(spinUntil([&] { return host->isPanelVisible(); }, 5000));
    EXPECT_FALSE(host->isWindowMode()) << "a click on the tray opens the popup";
}

const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");

// The portal as freedesktop.org documents it: each call returns the path of a request object
// derived from the caller's handle_token, whose Response signal follows.
class PortalStandIn : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")

public:
    PortalStandIn() {
        GlobalShortcut::registerTypes();
        registered = bus_.registerObject(kPortalPath, this, QDBusConnection::ExportAllSlots) &&
                     bus_.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
    }
    ~PortalStandIn() override {
        bus_.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
        QDBusConnection::disconnectFromBus(bus_.name());
    }

    void emitActivated(const QString& sessionPath, const QString& id) {
        emitSignal("Activated", {QVariant::fromValue(QDBusObjectPath(sessionPath)), id, qulonglong(1), QVariantMap()});
    }

    bool registered = false;
    bool bindAnswered = true;  // false: the user never decides
    QVariantMap sessionOptions, bindOptions;
    QString session, boundSession;
    PortalShortcuts bound, remembered;
    int bindCalls = 0;

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap& options) {
        sessionOptions = options;
        session = kPortalPath + QStringLiteral("/session/") + caller() + '/' +
                  options.value(QStringLiteral("session_handle_token")).toString();
        return respond(options, {{QStringLiteral("session_handle"), QVariant::fromValue(QDBusObjectPath(session))}});
    }
    QDBusObjectPath ListShortcuts(const QDBusObjectPath&, const QVariantMap& options) {
        return respond(options, {{QStringLiteral("shortcuts"), QVariant::fromValue(remembered)}});
    }
    QDBusObjectPath BindShortcuts(const QDBusObjectPath& sessionHandle, const QList<trayline::PortalShortcut>& shortcuts,
                                  const QString&, const QVariantMap& options) {
        ++bindCalls;
        boundSession = sessionHandle.path();
        bound = shortcuts;
        bindOptions = options;
        PortalShortcuts answered;
        for (const auto& s : shortcuts)
            answered.append({s.id, {{QStringLiteral("description"), s.properties.value(QStringLiteral("description"))},
                                    {QStringLiteral("trigger_description"), QStringLiteral("Super+Shift+T")}}});
        if (bindAnswered)
            remembered = answered;  // as a desktop keeps them for the application
        return respond(options, {{QStringLiteral("shortcuts"), QVariant::fromValue(answered)}}, bindAnswered);
    }

private:
    void emitSignal(const char* name, const QVariantList& args) {
        auto signal = QDBusMessage::createSignal(kPortalPath, QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                                                 QString::fromLatin1(name));
        signal.setArguments(args);
        bus_.send(signal);
    }
    QString caller() { return message().service().mid(1).replace('.', '_'); }
    // Answers after the call's reply, as a real portal does once the user has decided.
    QDBusObjectPath respond(const QVariantMap& options, const QVariantMap& results, bool answered = true) {
        const QString path = kPortalPath + QStringLiteral("/request/") + caller() + '/' +
                             options.value(QStringLiteral("handle_token")).toString();
        if (!answered)
            return QDBusObjectPath(path);
        QTimer::singleShot(0, this, [this, path, results] {
            auto response = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                                       QStringLiteral("Response"));
            response << uint(0) << results;
            bus_.send(response);
        });
        return QDBusObjectPath(path);
    }

    QDBusConnection bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "portal-stand-in");
};

class GlobalShortcutTest : public ::testing::Test {
protected:
    void SetUp() override {
        requirePrivateBus();
        Config::setAutoUpdate(false);  // no feed check from the whole-app test
    }
    static TraylineApp::Options appOptions() {
        TraylineApp::Options options;
        options.model.startPolling = false;
        options.tray.trayWait = 1h;  // the offscreen platform has no tray; the app waits for one
        options.hasApplicationIdentity = false;
        return options;
    }
    static bool showsLabel(QWidget* panel, const QString& text) {
        return spinUntil([&] {
            const auto labels = panel->findChildren<QLabel*>();
            return std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == text; });
        });
    }

    test::TempProfile profile;
};

TEST_F(GlobalShortcutTest, BindsShowTraylineAndEachActivationTogglesThePanel) {
    PortalStandIn portal;
    ASSERT_TRUE(portal.registered);
    testing::internal::CaptureStderr();
    TraylineApp app(appOptions());
    app.start();
    ASSERT_TRUE(spinUntil([&] { return app.shortcut().state() == GlobalShortcut::State::bound; }, 10000));

    EXPECT_EQ(portal.boundSession, portal.session);
    EXPECT_NE(portal.bindOptions.value("handle_token"), portal.sessionOptions.value("handle_token"));
    ASSERT_EQ(portal.bound.size(), 1);
    EXPECT_EQ(portal.bound[0].id, "show-trayline");
    // The portal's trigger syntax: LOGO is the Super key.
    EXPECT_EQ(portal.bound[0].properties.value("preferred_trigger").toString(), "LOGO+SHIFT+t");
    EXPECT_EQ(app.shortcut().trigger(), "Super+Shift+T");

    // An unconfigured profile opens on the settings, whose Startup section names the shortcut.
    QWidget* panel = app.tray().panel();
    EXPECT_TRUE(showsLabel(panel, "Shortcut: Super+Shift+T (change it in your desktop's settings)"));

    QSignalSpy shown(&app.tray(), &TrayHost::panelShown);
    portal.emitActivated(portal.session, "show-trayline");
    ASSERT_TRUE(spinUntil([&] { return app.tray().isPanelVisible(); }));
    portal.emitActivated(portal.session, "someone-else");
    portal.emitActivated(kPortalPath + "/session/other/trayline", "show-trayline");
    portal.emitActivated(portal.session, "show-trayline");
    ASSERT_TRUE(spinUntil([&] { return !app.tray().isPanelVisible(); }));
    EXPECT_EQ(shown.count(), 1) << "only our session's own shortcut toggles";
    EXPECT_EQ(portal.bindCalls, 1);
    EXPECT_FALSE(QString::fromStdString(testing::internal::GetCapturedStderr()).contains("trayline:")) << "nothing to say";
}

// A posted new-request notification asks for attention, which the panel opening ends; one posted while
// the panel is open asks for nothing: the user is looking at it.
TEST_F(GlobalShortcutTest, ANewRequestAsksForAttentionOnlyWhileThePanelIsClosed) {
    TraylineApp app(appOptions());
    app.start();
    const auto posted = [&](const char* id) { Q_EMIT app.notifier().posted(QString::fromLatin1(id)); };
    posted("mine-1");
    EXPECT_FALSE(app.tray().needsAttention()) << "only a new request asks for attention";
    posted("new-2");
    EXPECT_TRUE(app.tray().needsAttention());
    app.tray().showPanel();
    EXPECT_FALSE(app.tray().needsAttention());
    posted("new-3");
    EXPECT_FALSE(app.tray().needsAttention());
    app.tray().hidePanel();
    posted("new-4");
    EXPECT_TRUE(app.tray().needsAttention());
}

// A portal that never answers: past the wait, one line on stderr points at --toggle, and nothing more
// is said or done. (Without a portal at all, the whole-app tests above run unbound.)
TEST_F(GlobalShortcutTest, APortalThatNeverAnswersLeavesOneLinePointingAtToggle) {
    PortalStandIn portal;
    portal.bindAnswered = false;
    testing::internal::CaptureStderr();
    GlobalShortcut shortcut({QDBusConnection::sessionBus(), 300ms});
    QSignalSpy activated(&shortcut, &GlobalShortcut::activated);
    shortcut.start();
    ASSERT_TRUE(spinUntil([&] { return shortcut.state() == GlobalShortcut::State::unavailable; }, 10000));
    QTest::qWait(400);
    portal.emitActivated(portal.session, "show-trayline");
    QTest::qWait(50);
    const auto said = QString::fromStdString(testing::internal::GetCapturedStderr())
                          .split('\n', Qt::SkipEmptyParts)
                          .filter(QRegularExpression("^trayline: "));
    ASSERT_EQ(said.size(), 1) << said.join('\n').toStdString();
    EXPECT_TRUE(said[0].startsWith("trayline: the desktop's global shortcut portal did not answer")) << said[0].toStdString();
    EXPECT_TRUE(said[0].contains("bind \"trayline --toggle\" to a key")) << said[0].toStdString();
    EXPECT_EQ(activated.count(), 0) << "an unbound shortcut does nothing";
}

}  // namespace
}  // namespace trayline

#include "bus_test.moc"
