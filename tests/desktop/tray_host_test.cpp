// The panel window and the tray item's behaviour, on the offscreen platform (which has no tray).

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include "desktop/platform/panel_placement.h"
#include "desktop/platform/tray_host.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

using std::chrono::milliseconds;

struct PlacementCase {
    const char* name;
    QRect icon;
    QPoint cursor;
    std::optional<QRect> screen;
    QRect expected;
};

class PanelPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(PanelPlacement, OpensBesideTheIconAndStaysOnScreen) {
    const auto& c = GetParam();
    EXPECT_EQ(panelGeometry(c.icon, c.cursor, c.screen), c.expected);
}

const QRect kScreen(0, 0, 1920, 1080);  // available height 1080 -> 864 px panel

INSTANTIATE_TEST_SUITE_P(
    Geometry, PanelPlacement,
    ::testing::Values(
        PlacementCase{"IconInTopBarOpensBelowCentred", QRect(1000, 0, 24, 24), {}, kScreen,
                      QRect(611, 24, 800, 864)},
        PlacementCase{"IconInBottomPanelOpensAbove", QRect(1000, 1056, 24, 24), {}, kScreen,
                      QRect(611, 192, 800, 864)},
        PlacementCase{"IconAtRightEdgeKeepsPanelOnScreen", QRect(1900, 0, 20, 24), {}, kScreen,
                      QRect(1120, 24, 800, 864)},
        PlacementCase{"IconAtLeftEdgeKeepsPanelOnScreen", QRect(0, 1056, 24, 24), {}, kScreen,
                      QRect(0, 192, 800, 864)},
        PlacementCase{"NoIconGeometryOpensAtTheCursor", QRect(), QPoint(500, 10), kScreen,
                      QRect(100, 11, 800, 864)},
        PlacementCase{"CursorLowOnScreenOpensAbove", QRect(), QPoint(500, 1000), kScreen,
                      QRect(100, 136, 800, 864)},
        PlacementCase{"ScreenOffsetInVirtualDesktop", QRect(2500, 30, 24, 24), {}, QRect(1920, 30, 1280, 994),
                      QRect(2111, 54, 800, 795)},
        PlacementCase{"NarrowScreenLimitsTheWidth", QRect(300, 0, 24, 24), {}, QRect(0, 0, 640, 480),
                      QRect(0, 24, 640, 384)},
        PlacementCase{"NoScreenUsesFixedHeight", QRect(), QPoint(900, 5), std::nullopt,
                      QRect(500, 6, 800, 720)}),
    [](const ::testing::TestParamInfo<PlacementCase>& row) { return std::string(row.param.name); });

QSystemTrayIcon* itemOf(TrayHost& host) { return host.findChild<QSystemTrayIcon*>(); }

class TrayHostTest : public ::testing::Test {
protected:
    TrayHost host{new QLabel(QStringLiteral("content")), TrayHost::Options{milliseconds(0), milliseconds(10)}};
    void TearDown() override { host.hidePanel(); }
};

TEST_F(TrayHostTest, PanelIsAnAccessibleToolWindowOfTheSpecifiedSize) {
    host.showPanel();
    QWidget* panel = host.panel();
    ASSERT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::Tool));
    EXPECT_NE(panel->windowType(), Qt::Popup);  // popups are left out of the accessibility tree
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::FramelessWindowHint));
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel->width(), std::min(800, available.width()));
    EXPECT_EQ(panel->height(), qRound(available.height() * 0.8));
    EXPECT_NE(panel->findChild<QLabel*>(), nullptr);
}

TEST_F(TrayHostTest, ClickTogglesThePanelAndOtherReasonsDoNothing) {
    QSystemTrayIcon* item = itemOf(host);
    ASSERT_NE(item, nullptr);
    QSignalSpy shown(&host, &TrayHost::panelShown);
    Q_EMIT item->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(host.isPanelVisible());
    EXPECT_EQ(shown.count(), 1);
    Q_EMIT item->activated(QSystemTrayIcon::Context);
    Q_EMIT item->activated(QSystemTrayIcon::MiddleClick);
    EXPECT_TRUE(host.isPanelVisible());
    Q_EMIT item->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(host.isPanelVisible());
}

TEST_F(TrayHostTest, EscapeClosesThePanel) {
    host.showPanel();
    QTest::keyClick(host.panel(), Qt::Key_Escape);
    EXPECT_FALSE(host.isPanelVisible());
}

TEST_F(TrayHostTest, LosingFocusClosesThePanelAndTheClickThatTookItDoesNotReopen) {
    host.showPanel();
    ASSERT_TRUE(test::spinUntil([&] { return QApplication::activeWindow() == host.panel(); }, 5000));
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(test::spinUntil([&] { return !host.isPanelVisible(); }, 5000));
    // The click on the item that moved the focus away arrives right after.
    Q_EMIT itemOf(host)->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(host.isPanelVisible());
}

TEST_F(TrayHostTest, ADialogOpenedFromThePanelKeepsItOpen) {
    host.showPanel();
    ASSERT_TRUE(test::spinUntil([&] { return QApplication::activeWindow() == host.panel(); }, 5000));
    QWidget dialog(host.panel(), Qt::Dialog);
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(test::spinUntil([&] { return QApplication::activeWindow() == &dialog; }, 5000));
    QTest::qWait(20);
    EXPECT_TRUE(host.isPanelVisible());
}

TEST_F(TrayHostTest, WithoutATraySaysSoOnceAfterWaiting) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());  // offscreen has none
    QSignalSpy unavailable(&host, &TrayHost::trayUnavailable);
    host.start();
    ASSERT_TRUE(test::spinUntil([&] { return unavailable.count() > 0; }, 5000));
    QTest::qWait(50);  // several retry intervals
    EXPECT_EQ(unavailable.count(), 1);
    EXPECT_FALSE(host.isTrayVisible());
}

}  // namespace
}  // namespace trayline
