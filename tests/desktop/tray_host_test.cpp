// The panel window and the tray item's behaviour, on the offscreen platform (which has no tray and
// here no session bus: the item is never shown); one tray application per session.

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <future>

#include <QApplication>
#include <QLabel>
#include <QLocalSocket>
#include <QScreen>

#include "core/platform/unique_fd.h"
#include "desktop/platform/panel_placement.h"
#include "desktop/platform/single_instance.h"
#include "desktop/platform/status_notifier_item.h"
#include "desktop/platform/tray_host.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(PanelPlacement, OpensBesideTheIconOrCursorAndStaysOnScreen) {
    const QRect screen(0, 0, 1920, 1080);  // available height 1080 -> 864 px panel
    const std::tuple<const char*, QRect, QPoint, std::optional<QRect>, QRect> rows[] = {
        {"top bar: below, centred", {1000, 0, 24, 24}, {}, screen, {611, 24, 800, 864}},
        {"bottom panel: above", {1000, 1056, 24, 24}, {}, screen, {611, 192, 800, 864}},
        {"right edge", {1900, 0, 20, 24}, {}, screen, {1120, 24, 800, 864}},
        {"no icon: at the cursor", {}, {500, 10}, screen, {100, 11, 800, 864}},
        {"screen offset", {2500, 30, 24, 24}, {}, QRect(1920, 30, 1280, 994), {2111, 54, 800, 795}},
        {"narrow screen", {300, 0, 24, 24}, {}, QRect(0, 0, 640, 480), {0, 24, 640, 384}},
        {"no screen: fixed height", {}, {900, 5}, std::nullopt, {500, 6, 800, 720}}};
    for (const auto& [name, icon, cursor, available, expected] : rows)
        EXPECT_EQ(panelGeometry(icon, cursor, available), expected) << name;
}

class TrayHostTest : public ::testing::Test {
protected:
    void TearDown() override { host.hidePanel(); }
    void activate() { Q_EMIT host.item().activated(QPoint()); }

    TrayHost host{new QLabel(QStringLiteral("content")),
                  TrayHost::Options{std::chrono::milliseconds(0), std::chrono::milliseconds(10),
                                    QDBusConnection(QStringLiteral("none"))}};
};

TEST_F(TrayHostTest, AClickTogglesAnAccessibleToolWindowOfTheSpecifiedSizeAndEscapeClosesIt) {
    activate();
    QWidget* panel = host.panel();
    ASSERT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::Tool));
    EXPECT_NE(panel->windowType(), Qt::Popup);  // popups are left out of the accessibility tree
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::FramelessWindowHint));
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel->size(), QSize(std::min(800, available.width()), qRound(available.height() * 0.8)));
    EXPECT_EQ(panel->minimumSize(), panel->maximumSize());  // fixed: tiling compositors float it
    activate();
    EXPECT_FALSE(host.isPanelVisible());
    host.showPanel();
    QTest::keyClick(panel, Qt::Key_Escape);
    EXPECT_FALSE(host.isPanelVisible());
}

// No tray: an ordinary window titled with the counts, which the user closes without ending
// anything and gets back where it was.
TEST_F(TrayHostTest, WithoutATrayThePanelBecomesAWindowTitledWithTheCounts) {
    QSignalSpy unavailable(&host, &TrayHost::trayUnavailable);
    host.setCounts({3, 12, false});
    host.start();
    ASSERT_TRUE(test::spinUntil([&] { return unavailable.count() > 0; }, 5000));
    QWidget* window = host.panel();
    ASSERT_TRUE(window->isVisible());
    EXPECT_TRUE(host.isWindowMode());
    EXPECT_FALSE(host.isTrayVisible());
    EXPECT_EQ(window->windowType(), Qt::Window);
    EXPECT_FALSE(window->windowFlags() & (Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint));
    EXPECT_LT(window->minimumWidth(), window->maximumWidth());  // the user's to resize
    host.setCounts({4, 12, false});
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Trayline \u2014 4 mine, 12 unassigned"));

    QTest::keyClick(window, Qt::Key_Escape);  // leaves a window alone
    EXPECT_TRUE(window->isVisible());
    window->move(window->pos() + QPoint(40, 30));
    const QPoint moved = window->pos();
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
    QTest::qWait(50);  // several retry intervals
    EXPECT_EQ(unavailable.count(), 1);
    host.showPanel();  // a second start, or a click on a notification
    EXPECT_TRUE(window->isVisible() && host.isWindowMode());
    EXPECT_EQ(window->pos(), moved);
    window->showMinimized();
    host.togglePanel();  // --toggle, the shortcut or a click restore a minimised window
    EXPECT_TRUE(window->isVisible() && !window->isMinimized());
}

// One tray application per session: the lock, the socket, and what a second start sees.
using Role = SingleInstance::Role;

class SingleInstanceTest : public ::testing::Test {
protected:
    // A second start finds the lock taken and asks from a worker; this thread serves the primary.
    bool secondStartIsShown(SingleInstance::Request request = SingleInstance::Request::show) {
        SingleInstance second(dir);
        EXPECT_EQ(second.claim(), Role::Secondary);
        auto asked = std::async(std::launch::async, [&] { return second.askPrimary(request, 5s); });
        test::spinUntil([&] { return asked.wait_for(0s) == std::future_status::ready; }, 10000);
        return asked.get();
    }

    test::TempProfile scratch;
    fs::path dir = scratch.root() / "run";
};

// A second start asks the first over a private socket: "trayline --toggle" shows or hides the panel,
// a plain second start only shows, anything else is ignored.
TEST_F(SingleInstanceTest, ASecondStartAsksOverAPrivateSocketToShowOrToggle) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);  // a too-open directory of our own is closed
    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), Role::Primary);
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(first.socketPath()).type(), fs::file_type::socket);
    EXPECT_EQ(fs::status(first.socketPath()).permissions() & ~fs::perms::owner_all, fs::perms::none);
    QSignalSpy shown(&first, &SingleInstance::showRequested);
    QSignalSpy toggled(&first, &SingleInstance::toggleRequested);
    EXPECT_TRUE(secondStartIsShown(SingleInstance::Request::toggle));
    EXPECT_TRUE(secondStartIsShown(SingleInstance::Request::toggle));
    EXPECT_TRUE(secondStartIsShown());
    EXPECT_EQ(std::make_pair(shown.count(), toggled.count()), std::make_pair(qsizetype(1), qsizetype(2)));

    QLocalSocket stranger;
    stranger.connectToServer(QString::fromStdString(first.socketPath().string()));
    ASSERT_TRUE(stranger.waitForConnected(5000));
    stranger.write("toggle-all\n");
    ASSERT_TRUE(test::spinUntil([&] { return stranger.state() == QLocalSocket::UnconnectedState; }, 5000));
    EXPECT_EQ(stranger.readAll(), "") << "no confirmation for what was not done";
    EXPECT_EQ(std::make_pair(shown.count(), toggled.count()), std::make_pair(qsizetype(1), qsizetype(2)));
}

TEST_F(SingleInstanceTest, LeftoversOfAnEndedProcessDoNotBlockTheNextStart) {
    SingleInstance(dir).claim();
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};  // a crash leaves the socket, nobody listens
    std::strcpy(address.sun_path, (dir / "instance.sock").c_str());
    const UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SingleInstance next(dir);
    ASSERT_EQ(next.claim(), Role::Primary);
    EXPECT_TRUE(secondStartIsShown());
}

}  // namespace
}  // namespace trayline
