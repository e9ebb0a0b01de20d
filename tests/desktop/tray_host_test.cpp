// The panel window and the tray item's behaviour, on the offscreen platform (which has no tray and
// here no session bus: the item is never shown).

#include <QApplication>
#include <QLabel>
#include <QScreen>

#include "desktop/platform/panel_placement.h"
#include "desktop/platform/status_notifier_item.h"
#include "desktop/platform/tray_host.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

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
    // What the host's Activate does.
    void activate() { Q_EMIT host.item().activated(QPoint()); }
    static bool isActive(QWidget* w) { return test::spinUntil([&] { return QApplication::activeWindow() == w; }); }

    TrayHost host{new QLabel(QStringLiteral("content")),
                  TrayHost::Options{std::chrono::milliseconds(0), std::chrono::milliseconds(10),
                                    QDBusConnection(QStringLiteral("none"))}};
};

TEST_F(TrayHostTest, AClickTogglesAnAccessibleToolWindowOfTheSpecifiedSizeAndEscapeClosesIt) {
    QSignalSpy shown(&host, &TrayHost::panelShown);
    activate();
    QWidget* panel = host.panel();
    ASSERT_TRUE(panel->isVisible());
    EXPECT_EQ(shown.count(), 1);
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::Tool));
    EXPECT_NE(panel->windowType(), Qt::Popup);  // popups are left out of the accessibility tree
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::FramelessWindowHint));
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel->size(), QSize(std::min(800, available.width()), qRound(available.height() * 0.8)));
    EXPECT_EQ(panel->minimumSize(), panel->maximumSize());  // fixed: tiling compositors float it
    EXPECT_NE(panel->findChild<QLabel*>(), nullptr);
    activate();
    EXPECT_FALSE(host.isPanelVisible());
    host.showPanel();
    QTest::keyClick(panel, Qt::Key_Escape);
    EXPECT_FALSE(host.isPanelVisible());
}

// A dialog of the panel keeps it open; another window closes it, and the click on the item that
// moved the focus away, arriving right after, does not open it again.
TEST_F(TrayHostTest, LosingFocusToAnotherWindowClosesThePanel) {
    host.showPanel();
    ASSERT_TRUE(isActive(host.panel()));
    {
        QWidget dialog(host.panel(), Qt::Dialog);
        dialog.show();
        dialog.activateWindow();
        ASSERT_TRUE(isActive(&dialog));
        QTest::qWait(20);
        EXPECT_TRUE(host.isPanelVisible());
    }
    host.panel()->activateWindow();
    ASSERT_TRUE(isActive(host.panel()));
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(test::spinUntil([&] { return !host.isPanelVisible(); }, 5000));
    activate();
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
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Trayline \u2014 3 mine, 12 unassigned"));
    host.setCounts({4, 12, false});
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Trayline \u2014 4 mine, 12 unassigned"));

    // Focus elsewhere and Escape leave a window alone.
    QWidget other;
    other.show();
    other.activateWindow();
    QTest::keyClick(window, Qt::Key_Escape);
    QTest::qWait(50);
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

}  // namespace
}  // namespace trayline
