// The tray: its picture read back pixel by pixel at every size a host asks for (bubble and digit
// heights, nothing cut off or spilling out, shortening, dimming, marks) and its words; the panel
// window and the tray item on the offscreen platform (no tray, and here no session bus: the item is
// never shown); one tray application per session.

#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <map>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLocalSocket>
#include <QScreen>

#include "core/platform/unique_fd.h"
#include "desktop/platform/panel_placement.h"
#include "desktop/platform/single_instance.h"
#include "desktop/platform/status_notifier_item.h"
#include "desktop/platform/tray_host.h"
#include "desktop/ui/tray_icon.h"
#include "qt_test_support.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool isBlue(QColor c) { return c.alpha() > 40 && c.blue() - c.red() > 80; }
bool isOrange(QColor c) { return c.alpha() > 40 && c.red() - c.blue() > 80; }
bool isWhite(QColor c) { return c.alpha() >= 200 && std::min({c.red(), c.green(), c.blue()}) >= 190; }
bool isDark(QColor c) { return c.alpha() >= 200 && std::max({c.red(), c.green(), c.blue()}) <= 100; }

// What a person would measure on one bubble of the picture.
struct BubbleReading {
    int top = -1, bottom = -1;              // rows holding the bubble's fill
    int digitTop = -1, digitBottom = -1;    // rows holding white digit pixels
    int glyphs = 0;                         // runs of columns holding them
    bool spills = false;                    // a digit pixel touches the outside of the bubble
    QColor fill;                            // read at the rounded left end, centre row
    int digitHeight() const { return digitTop < 0 ? 0 : digitBottom - digitTop + 1; }
    int height() const { return top < 0 ? 0 : bottom - top + 1; }
};

// Runs of columns of `area` holding white pixels outside `skip`: the characters, or the mark's bars.
int whiteRuns(const QImage& image, const QRect& area, const QRect& skip) {
    int runs = 0;
    bool previous = false;
    for (int x = area.left(); x <= area.right(); ++x) {
        bool white = false;
        for (int y = area.top(); y <= area.bottom() && !white; ++y)
            white = !skip.contains(x, y) && isWhite(image.pixelColor(x, y));
        runs += white && !previous;
        previous = white;
    }
    return runs;
}

BubbleReading readBubble(const QImage& image, bool (*isFill)(QColor), const QRect& skip) {
    BubbleReading r;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (isFill(image.pixelColor(x, y))) {
                r.top = r.top < 0 ? y : r.top;
                r.bottom = y;
            }
    if (r.top < 0)
        return r;
    r.fill = image.pixelColor(1, (r.top + r.bottom) / 2);
    for (int y = r.top; y <= r.bottom; ++y)
        for (int x = 0; x < image.width(); ++x) {
            if (skip.contains(x, y) || !isWhite(image.pixelColor(x, y)))
                continue;
            r.digitTop = r.digitTop < 0 ? y : r.digitTop;
            r.digitBottom = y;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if (!image.rect().contains(x + dx, y + dy) || image.pixelColor(x + dx, y + dy).alpha() == 0)
                        r.spills = true;
        }
    r.glyphs = whiteRuns(image, QRect(0, r.top, image.width(), r.height()), skip);
    return r;
}

QRect darkArea(const QImage& image) {
    QRect area;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (isDark(image.pixelColor(x, y)))
                area |= QRect(x, y, 1, 1);
    return area;
}

int digitCount(std::int64_t n) { return static_cast<int>(std::to_string(n).size()); }

// The least digit height a person can read at each size; 16 and 22 px are the common tray sizes.
const std::map<int, int> kLeastDigitHeight{{16, 5}, {22, 7}, {24, 7}, {32, 9}, {48, 13}, {64, 18}};

class TrayIconPixels : public ::testing::TestWithParam<int> {
protected:
    TrayIconPainter painter;
};

TEST_P(TrayIconPixels, BothCountsReadableInsideTheirBubblesAndOldCountsLookOld) {
    const int size = GetParam();
    const std::int64_t counts[] = {0, 7, 42, 99, 100, 1234, 100000};
    std::map<std::int64_t, QImage> images;
    for (const bool paused : {false, true})
        for (std::int64_t n : counts) {
            SCOPED_TRACE(testing::Message() << size << " px, count " << n << (paused ? ", paused" : ""));
            // The same count in both bubbles, so the two can be compared.
            const QImage image = painter.render({n, n, paused}, size);
            ASSERT_EQ(image.size(), QSize(size, size));
            const QRect mark = darkArea(image);
            EXPECT_EQ(!mark.isEmpty(), paused);
            for (const auto& [isFill, colour] : {std::pair{&isBlue, "blue"}, std::pair{&isOrange, "orange"}}) {
                SCOPED_TRACE(colour);
                const BubbleReading b = readBubble(image, isFill, mark.adjusted(-1, -1, 1, 1));
                EXPECT_GE(b.height(), size / 2 - 1);
                EXPECT_GE(b.digitHeight(), kLeastDigitHeight.at(size));
                EXPECT_FALSE(b.spills);
                EXPECT_GT(b.digitTop, b.top);
                EXPECT_LT(b.digitBottom, b.bottom);
                // Every digit while it fits, and never fewer than two characters ("9+").
                EXPECT_LE(b.glyphs, digitCount(n));
                EXPECT_GE(b.glyphs, std::min(digitCount(n), 2));
                if (!paused && n < 100) {
                    EXPECT_EQ(b.glyphs, digitCount(n));
                }
                EXPECT_NEAR(b.fill.alphaF(), n == 0 ? 0.45 : 1.0, 0.02);
            }
            if (paused) {  // two white bars on a mark at the right edge, beside both bubbles
                EXPECT_TRUE(mark.right() >= size - 2 && mark.top() < size / 4 && mark.bottom() > size * 3 / 4 &&
                            whiteRuns(image, mark, {}) == 2);
            } else {
                images[n] = image;
            }
        }
    // The two bubbles never overlap, and the slot's corners stay clear.
    const BubbleReading blue = readBubble(images[7], &isBlue, {}), orange = readBubble(images[7], &isOrange, {});
    EXPECT_LT(blue.bottom, orange.top);
    EXPECT_EQ(images[7].pixelColor(0, 0).alpha(), 0);
    // Counts too wide for the slot all read the same ("99+"-style), and never like a count that fits.
    EXPECT_LT(readBubble(images[100000], &isBlue, {}).glyphs, 6);
    EXPECT_NE(images[99], images[100000]);
    if (readBubble(images[1234], &isBlue, {}).glyphs < 4) {
        EXPECT_EQ(images[1234], images[100000]);
    }
    if (size >= 22) {  // three characters fit from 22 px on: 100 is shown, not shortened
        EXPECT_EQ(readBubble(images[100], &isBlue, {}).glyphs, 3);
    }

    // Old counts look old: dimmed, with a mark in the pause mark's column ("!" after a failed refresh,
    // an hourglass while rate limited); signed out, a padlock and no counts at all.
    for (const auto freshness : {TrayFreshness::stale, TrayFreshness::rateLimited, TrayFreshness::signedOut}) {
        SCOPED_TRACE(static_cast<int>(freshness));
        TrayCounts old{7, 42, false};
        old.freshness = freshness;
        const QImage image = painter.render(old, size);
        const QRect mark = darkArea(image);
        if (freshness == TrayFreshness::signedOut) {
            EXPECT_GE(mark.width(), size * 3 / 4);
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    ASSERT_FALSE(isBlue(image.pixelColor(x, y)) || isOrange(image.pixelColor(x, y))) << x << "," << y;
            continue;
        }
        EXPECT_TRUE(mark.right() >= size - 2 && mark.top() < size / 4 && mark.bottom() > size * 3 / 4);
        for (const auto isFill : {&isBlue, &isOrange})
            EXPECT_NEAR(readBubble(image, isFill, mark.adjusted(-1, -1, 1, 1)).fill.alphaF(), 0.45, 0.02);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TrayIconPixels, ::testing::ValuesIn(kTrayIconSizes));

// The words for one count or many; the signed-out words are the whole-app test's, read off the item.
TEST(TrayIcon, WordsSayBothCountsAndShortenedCountsNeverReadAsOnesThatFit) {
    EXPECT_EQ(trayToolTip({1, 1, false}), "1 open task assigned to you, 1 unassigned task in your group");
    EXPECT_EQ(trayToolTip({1234, 100000, true}),
              "1234 open tasks assigned to you, 100000 unassigned tasks in your group. Notifications paused");
    const std::tuple<std::int64_t, int, const char*> shortened[] = {
        {100, 3, "100"}, {1000, 3, "99+"}, {100000, 4, "999+"}, {100, 2, "9+"}, {100, 1, "9+"}, {-3, 3, "0"}};
    for (const auto& [n, chars, text] : shortened)
        EXPECT_EQ(shortenedCount(n, chars), QString::fromUtf8(text)) << n << " in " << chars;
}

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

// A click toggles the popup, Escape closes it. Being in the accessibility tree and floating on a
// tiling compositor are the whole-process tests' (AT-SPI, sway).
TEST_F(TrayHostTest, AClickTogglesAToolWindowOfTheSpecifiedSizeAndEscapeClosesIt) {
    activate();
    QWidget* panel = host.panel();
    ASSERT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::Tool));
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel->size(), QSize(std::min(800, available.width()), qRound(available.height() * 0.8)));
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
// a plain second start only shows, anything else is ignored. A crash leaves the socket behind, with
// nobody listening: the next start is the primary all the same.
TEST_F(SingleInstanceTest, ASecondStartAsksOverAPrivateSocketToShowOrToggleAndLeftoversBlockNothing) {
    SingleInstance(dir).claim();
    fs::permissions(dir, fs::perms::all);  // a too-open directory of our own is closed
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::strcpy(address.sun_path, (dir / "instance.sock").c_str());
    const UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
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

}  // namespace
}  // namespace trayline::ui
