// The tray picture read back pixel by pixel: fill colours and their dimming, white glyphs,
// transparency around the capsules, and capsules that grow with their digits.

#include <gtest/gtest.h>

#include <QImage>

#include "desktop/ui/menu_bar_label.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

// Two pixels per point. A point inside the capsule's rounded left end holds nothing but the fill.
QColor fillOf(const QImage& image, const MenuBarLabel::Bubble& b) {
    return image.pixelColor(
        (QPointF(b.capsule.left() + b.capsule.height() / 2 + 1, b.capsule.top() + 1) * 2).toPoint());
}

bool hasWhite(const QImage& image, const QRectF& area) {
    const QRect pixels = QRectF(area.topLeft() * 2, area.size() * 2).toAlignedRect();
    for (int y = pixels.top(); y <= pixels.bottom(); ++y)
        for (int x = pixels.left(); x <= pixels.right(); ++x)
            if (image.pixelColor(x, y) == Qt::white)
                return true;
    return false;
}

struct LabelCase {
    std::int64_t mine, unassigned;
    int leftAlpha, rightAlpha;
};

class LabelPixels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelPixels, BubblesKeepTheirColoursAndDimOnlyForZero) {
    const LabelCase c = GetParam();
    const MenuBarLabel label(c.mine, c.unassigned);
    const QImage image = label.renderedImage();
    const auto layout = label.layout();
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.devicePixelRatio(), 2.0);
    EXPECT_EQ(image.size(), (layout.size * 2).toSize());
    EXPECT_TRUE(label.icon().availableSizes().contains(image.size()));

    // Blue and orange whatever the opacity (read back un-premultiplied).
    const QColor left = fillOf(image, layout.left), right = fillOf(image, layout.right);
    EXPECT_NEAR(left.alpha(), c.leftAlpha, 2);
    EXPECT_NEAR(right.alpha(), c.rightAlpha, 2);
    EXPECT_TRUE(left.blue() > 200 && left.red() < 40) << left.name().toStdString();
    EXPECT_TRUE(right.red() > 200 && right.blue() < 40) << right.name().toStdString();
    // White glyph and digits in each bubble, even a dimmed one.
    for (const auto* b : {&layout.left, &layout.right}) {
        EXPECT_TRUE(hasWhite(image, b->symbol));
        EXPECT_TRUE(hasWhite(image, b->digits));
    }
    // Transparent between the capsules and in the corners.
    const QPointF gap(layout.left.capsule.right() + 1.5, layout.size.height() / 2);
    EXPECT_EQ(image.pixelColor((gap * 2).toPoint()).alpha(), 0);
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(image.pixelColor(image.width() - 1, image.height() - 1).alpha(), 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, LabelPixels,
                         ::testing::Values(LabelCase{0, 0, 115, 115}, LabelCase{3, 0, 255, 115},
                                           LabelCase{0, 7, 115, 255},
                                           LabelCase{1234, 56, 255, 255}));

TEST(LabelLayout, CapsuleWidensWithItsDigitsAndKeepsItsPadding) {
    const auto narrow = MenuBarLabel(3, 3).layout();
    const auto wide = MenuBarLabel(1234, 3).layout();
    EXPECT_GT(wide.left.capsule.width(), narrow.left.capsule.width() + 10);
    EXPECT_DOUBLE_EQ(wide.right.capsule.width(), narrow.right.capsule.width());
    EXPECT_DOUBLE_EQ(wide.right.capsule.left() - wide.left.capsule.right(), 3.0);
    EXPECT_DOUBLE_EQ(wide.left.symbol.left() - wide.left.capsule.left(), 5.0);
    EXPECT_DOUBLE_EQ(wide.left.capsule.right() - wide.left.digits.right(), 5.0);
    EXPECT_DOUBLE_EQ(wide.left.capsule.center().y(), wide.right.capsule.center().y());
}

}  // namespace
}  // namespace trayline::ui
