// The tray picture read back pixel by pixel at every size a host asks for: bubble and digit
// heights, nothing cut off or spilling out, shortening, dimming, marks; and the words.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include <QApplication>
#include <QImage>
#include <QPainter>

#include "desktop/ui/tray_icon.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

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

// `skip` (the paused mark) takes no part in the digits.
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

TEST_P(TrayIconPixels, BothCountsReadableAndWhollyInsideTheirBubbles) {
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
                // A row of fill above and below the digits.
                EXPECT_GT(b.digitTop, b.top);
                EXPECT_LT(b.digitBottom, b.bottom);
                // Every digit while it fits, and never fewer than two characters ("9+").
                EXPECT_LE(b.glyphs, digitCount(n));
                EXPECT_GE(b.glyphs, std::min(digitCount(n), 2));
                if (!paused && n < 100) {
                    EXPECT_EQ(b.glyphs, digitCount(n));
                }
                // Blue and orange at full opacity, or 0.45 for a zero.
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
}

// Old counts look old: dimmed, with a mark in the pause mark's column ("!" after a failed refresh,
// an hourglass while rate limited); signed out, a padlock and no counts at all.
TEST_P(TrayIconPixels, StaleLimitedAndSignedOutShowInTheSlot) {
    const int size = GetParam();
    for (const auto freshness : {TrayFreshness::stale, TrayFreshness::rateLimited}) {
        TrayCounts counts{7, 42, false};
        counts.freshness = freshness;
        const QImage image = painter.render(counts, size);
        const QRect mark = darkArea(image);
        EXPECT_TRUE(mark.right() >= size - 2 && mark.top() < size / 4 && mark.bottom() > size * 3 / 4);
        for (const auto isFill : {&isBlue, &isOrange})
            EXPECT_NEAR(readBubble(image, isFill, mark.adjusted(-1, -1, 1, 1)).fill.alphaF(), 0.45, 0.02);
    }
    TrayCounts out{7, 42, false};
    out.freshness = TrayFreshness::signedOut;
    const QImage image = painter.render(out, size);
    EXPECT_GE(darkArea(image).width(), size * 3 / 4);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            ASSERT_FALSE(isBlue(image.pixelColor(x, y)) || isOrange(image.pixelColor(x, y))) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Sizes, TrayIconPixels, ::testing::ValuesIn(kTrayIconSizes));

// The words for one count or many (the exact layouts are the status item's and the window's tests).
TEST(TrayIcon, WordsSayBothCountsAndShortenedCountsNeverReadAsOnesThatFit) {
    EXPECT_EQ(trayToolTip({1, 1, false}), "1 open task assigned to you, 1 unassigned task in your group");
    EXPECT_EQ(trayToolTip({1234, 100000, true}),
              "1234 open tasks assigned to you, 100000 unassigned tasks in your group. Notifications paused");
    const TrayCounts out{3, 12, false, TrayFreshness::signedOut};
    EXPECT_EQ(trayToolTip(out), QStringLiteral("Signed out of ServiceNow. Click to sign in."));
    const std::tuple<std::int64_t, int, const char*> shortened[] = {
        {100, 3, "100"}, {1000, 3, "99+"}, {100000, 4, "999+"}, {100, 2, "9+"}, {100, 1, "9+"}, {-3, 3, "0"}};
    for (const auto& [n, chars, text] : shortened)
        EXPECT_EQ(shortenedCount(n, chars), QString::fromUtf8(text)) << n << " in " << chars;
}

}  // namespace
}  // namespace trayline::ui
