// The tray picture read back pixel by pixel: fill colours and their dimming, white glyphs,
// transparency around the capsules, and capsules that grow with their digits.

#include <gtest/gtest.h>

#include <QImage>

#include "desktop/ui/menu_bar_label.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

// The image holds two pixels per point.
QColor pixelAt(const QImage& image, QPointF point) {
    return image.pixelColor((point * 2).toPoint());
}

// A point inside the capsule's left padding: nothing but the fill is drawn there.
QPointF fillPoint(const MenuBarLabel::Bubble& b) {
    return {b.capsule.left() + b.capsule.height() / 2 + 1.0, b.capsule.top() + 1.0};
}

bool hasWhite(const QImage& image, const QRectF& area) {
    const QRect pixels = QRectF(area.topLeft() * 2, area.size() * 2).toAlignedRect();
    for (int y = pixels.top(); y <= pixels.bottom(); ++y)
        for (int x = pixels.left(); x <= pixels.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() == 255 && c.red() > 235 && c.green() > 235 && c.blue() > 235)
                return true;
        }
    return false;
}

struct LabelCase {
    std::int64_t mine;
    std::int64_t unassigned;
    int leftAlpha;
    int rightAlpha;
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

    const QColor left = pixelAt(image, fillPoint(layout.left));
    const QColor right = pixelAt(image, fillPoint(layout.right));
    EXPECT_NEAR(left.alpha(), c.leftAlpha, 2);
    EXPECT_NEAR(right.alpha(), c.rightAlpha, 2);
    // Blue and orange whatever the opacity (colour read back un-premultiplied).
    EXPECT_GT(left.blue(), 200);
    EXPECT_LT(left.red(), 40);
    EXPECT_GT(right.red(), 200);
    EXPECT_LT(right.blue(), 40);

    // White glyph and digits inside each bubble, even a dimmed one.
    for (const auto* b : {&layout.left, &layout.right}) {
        EXPECT_TRUE(hasWhite(image, b->symbol));
        EXPECT_TRUE(hasWhite(image, b->digits));
    }

    // Transparent between the capsules and in the corners outside them.
    const QPointF gap(layout.left.capsule.right() + 1.5, layout.size.height() / 2);
    EXPECT_EQ(pixelAt(image, gap).alpha(), 0);
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(image.pixelColor(image.width() - 1, image.height() - 1).alpha(), 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, LabelPixels,
                         ::testing::Values(LabelCase{0, 0, 115, 115}, LabelCase{3, 0, 255, 115},
                                           LabelCase{0, 7, 115, 255},
                                           LabelCase{1234, 56, 255, 255}));

TEST(LabelLayout, CapsuleWidensWithItsDigitsAndKeepsThreePointGap) {
    const auto narrow = MenuBarLabel(3, 3).layout();
    const auto wide = MenuBarLabel(1234, 3).layout();
    EXPECT_GT(wide.left.capsule.width(), narrow.left.capsule.width() + 10);
    EXPECT_DOUBLE_EQ(wide.right.capsule.width(), narrow.right.capsule.width());
    EXPECT_DOUBLE_EQ(wide.right.capsule.left() - wide.left.capsule.right(), 3.0);
    // Padding: 5 points beside the glyph and the digits.
    EXPECT_DOUBLE_EQ(wide.left.symbol.left() - wide.left.capsule.left(), 5.0);
    EXPECT_DOUBLE_EQ(wide.left.capsule.right() - wide.left.digits.right(), 5.0);
    // Both bubbles are the same height and centred on one line.
    EXPECT_DOUBLE_EQ(wide.left.capsule.height(), wide.right.capsule.height());
    EXPECT_DOUBLE_EQ(wide.left.capsule.center().y(), wide.right.capsule.center().y());
}

TEST(LabelLayout, TrayIconCarriesTheRenderedPicture) {
    const MenuBarLabel label(12, 0);
    const QImage image = label.renderedImage();
    const QIcon icon = label.icon();
    ASSERT_FALSE(icon.isNull());
    EXPECT_TRUE(icon.availableSizes().contains(image.size()));
}

}  // namespace
}  // namespace trayline::ui
