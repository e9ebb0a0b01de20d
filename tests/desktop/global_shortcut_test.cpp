// The whole tray app on a private session bus: the desktop-wide shortcut through a stand-in
// GlobalShortcuts portal (what is bound, what toggles), and the item's request for attention.

#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QLabel>
#include <QRegularExpression>
#include <QTimer>

#include "desktop/app/trayline_app.h"
#include "desktop/platform/global_shortcut.h"
#include "qt_test_support.h"
#include "support/temp_env.h"
#include "ui_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::spinUntil;

const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");

// The portal as freedesktop.org documents it: each call returns the path of a request object
// derived from the caller's handle_token, whose Response signal follows.
class PortalStandIn : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")

public:
    enum class Answer { grant, refuse, silent };

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
    void emitShortcutsChanged(const QString& trigger) {
        const PortalShortcuts changed{{"show-trayline", {{"trigger_description", trigger}}}};
        emitSignal("ShortcutsChanged", {QVariant::fromValue(QDBusObjectPath(session)), QVariant::fromValue(changed)});
    }

    bool registered = false;
    Answer sessionAnswer = Answer::grant, bindAnswer = Answer::grant;
    QVariantMap sessionOptions, bindOptions;
    QString session, boundSession;
    PortalShortcuts bound, remembered;
    int bindCalls = 0;

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap& options) {
        sessionOptions = options;
        session = kPortalPath + QStringLiteral("/session/") + caller() + '/' +
                  options.value(QStringLiteral("session_handle_token")).toString();
        return respond(options, sessionAnswer, {{QStringLiteral("session_handle"), QVariant::fromValue(QDBusObjectPath(session))}});
    }
    QDBusObjectPath ListShortcuts(const QDBusObjectPath&, const QVariantMap& options) {
        return respond(options, Answer::grant, {{QStringLiteral("shortcuts"), QVariant::fromValue(remembered)}});
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
        if (bindAnswer == Answer::grant)
            remembered = answered;  // as a desktop keeps them for the application
        return respond(options, bindAnswer, {{QStringLiteral("shortcuts"), QVariant::fromValue(answered)}});
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
    QDBusObjectPath respond(const QVariantMap& options, Answer answer, const QVariantMap& results) {
        const QString path = kPortalPath + QStringLiteral("/request/") + caller() + '/' +
                             options.value(QStringLiteral("handle_token")).toString();
        if (answer == Answer::silent)
            return QDBusObjectPath(path);
        QTimer::singleShot(0, this, [this, path, answer, results] {
            auto response = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                                       QStringLiteral("Response"));
            response << uint(answer == Answer::grant ? 0 : 1) << (answer == Answer::grant ? results : QVariantMap());
            bus_.send(response);
        });
        return QDBusObjectPath(path);
    }

    QDBusConnection bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "portal-stand-in");
};

class GlobalShortcutTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (qgetenv("TRAYLINE_PRIVATE_BUS") != "1")
            GTEST_SKIP() << "needs its own session bus: run through ctest (dbus-run-session)";
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

    // The user gives it other keys in the desktop's settings: the line follows.
    portal.emitShortcutsChanged("Ctrl+Alt+T");
    EXPECT_TRUE(showsLabel(panel, "Shortcut: Ctrl+Alt+T (change it in your desktop's settings)"));

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

struct Failure {
    const char* name;
    bool portalPresent;
    PortalStandIn::Answer session, bind;
    const char* logged;  // what the one line says first
};

class PortalFailureTest : public GlobalShortcutTest, public ::testing::WithParamInterface<Failure> {};

// Every way the portal can fail leaves one line on stderr that points at --toggle, and the app working.
TEST_P(PortalFailureTest, LeavesTheAppWorkingWithOneLinePointingAtToggle) {
    const auto& row = GetParam();
    std::optional<PortalStandIn> portal;
    if (row.portalPresent) {
        portal.emplace();
        portal->sessionAnswer = row.session;
        portal->bindAnswer = row.bind;
    }
    testing::internal::CaptureStderr();
    GlobalShortcut shortcut({QDBusConnection::sessionBus(), 300ms});
    QSignalSpy activated(&shortcut, &GlobalShortcut::activated);
    shortcut.start();
    ASSERT_TRUE(spinUntil([&] { return shortcut.state() == GlobalShortcut::State::unavailable; }, 10000));
    QTest::qWait(400);  // past the answer wait: nothing more is said
    if (portal)
        portal->emitActivated(portal->session, "show-trayline");
    QTest::qWait(50);
    const auto said = QString::fromStdString(testing::internal::GetCapturedStderr())
                          .split('\n', Qt::SkipEmptyParts)
                          .filter(QRegularExpression("^trayline: "));
    ASSERT_EQ(said.size(), 1) << said.join('\n').toStdString();
    EXPECT_TRUE(said[0].startsWith(QStringLiteral("trayline: ") + row.logged)) << said[0].toStdString();
    EXPECT_TRUE(said[0].contains("bind \"trayline --toggle\" to a key")) << said[0].toStdString();
    EXPECT_EQ(activated.count(), 0) << "an unbound shortcut does nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Portal, PortalFailureTest,
    ::testing::Values(
        Failure{"Absent", false, {}, {}, "this desktop has no global shortcut portal"},
        Failure{"RefusesTheSession", true, PortalStandIn::Answer::refuse, {}, "the desktop refused a global shortcut session"},
        Failure{"RefusesTheShortcut", true, {}, PortalStandIn::Answer::refuse, "the desktop refused the global shortcut"},
        Failure{"NeverAnswers", true, {}, PortalStandIn::Answer::silent, "the desktop's global shortcut portal did not answer"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace trayline

#include "global_shortcut_test.moc"
