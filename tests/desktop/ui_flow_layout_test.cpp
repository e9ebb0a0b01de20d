// Row breaking, measuring and placing of the wrapping layout.

#include <gtest/gtest.h>

#include <QWidget>

#include "desktop/ui/flow_layout.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

using Rows = std::vector<std::vector<int>>;
constexpr double kNone = FlowLayout::kUnbounded;

struct BreakCase {
    const char* name;
    std::vector<int> widths;
    double maxWidth;
    Rows rows;
    QSize measured;  // children 20 points tall
};

class FlowBreaking : public ::testing::TestWithParam<BreakCase> {};

TEST_P(FlowBreaking, RowsAndMeasuredSize) {
    const BreakCase& c = GetParam();
    EXPECT_EQ(FlowLayout::rows(c.maxWidth, c.widths, 6), c.rows);
    std::vector<QSize> sizes;
    for (int w : c.widths)
        sizes.emplace_back(w, 20);
    EXPECT_EQ(FlowLayout::measure(c.maxWidth, sizes, 6), c.measured);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlowBreaking,
    ::testing::Values(
        BreakCase{"TwoShareARowIn110", {50, 50, 50}, 110, {{0, 1}, {2}}, {110, 46}},
        BreakCase{"EachAloneIn105", {50, 50, 50}, 105, {{0}, {1}, {2}}, {105, 72}},
        BreakCase{"WideChildAlone", {200}, 100, {{0}}, {100, 20}},
        BreakCase{"WideChildBetweenOthers", {30, 200, 30}, 100, {{0}, {1}, {2}}, {100, 72}},
        BreakCase{"ExactFitWithGaps", {50, 50}, 106, {{0, 1}}, {106, 20}},
        BreakCase{"NoChildrenGiven", {}, 120, {{}}, {120, 0}},
        BreakCase{"NoChildrenUnspecified", {}, kNone, {{}}, {0, 0}},
        BreakCase{"UnspecifiedIsOneRow", {50, 70, 40}, kNone, {{0, 1, 2}}, {172, 20}}),
    [](const auto& param) { return std::string(param.param.name); });

// A child with a fixed ideal size.
class Box : public QWidget {
public:
    explicit Box(QSize size) : size_(size) {}
    QSize sizeHint() const override { return size_; }

private:
    QSize size_;
};

TEST(FlowPlacing, ChildrenKeepIdealSizeAlignedTopLeftRowByRow) {
    QWidget host;
    auto* flow = new FlowLayout(&host);
    std::vector<Box*> boxes;
    for (QSize s : {QSize(50, 10), QSize(50, 30), QSize(50, 20), QSize(200, 15)}) {
        boxes.push_back(new Box(s));
        flow->addWidget(boxes.back());
    }
    flow->setGeometry(QRect(10, 5, 110, 300));
    EXPECT_EQ(boxes[0]->geometry(), QRect(10, 5, 50, 10));
    EXPECT_EQ(boxes[1]->geometry(), QRect(66, 5, 50, 30));
    // Next row starts below the tallest child of the first plus the gap.
    EXPECT_EQ(boxes[2]->geometry(), QRect(10, 41, 50, 20));
    // Wider than the bounds: a row of its own, never squeezed.
    EXPECT_EQ(boxes[3]->geometry(), QRect(10, 67, 200, 15));

    EXPECT_EQ(flow->heightForWidth(110), 30 + 6 + 20 + 6 + 15);
    EXPECT_EQ(flow->sizeHint(), QSize(50 + 50 + 50 + 200 + 3 * 6, 30));
    EXPECT_EQ(flow->minimumSize(), QSize(200, 30));
}

TEST(FlowPlacing, HiddenChildTakesNoPlace) {
    QWidget host;
    auto* flow = new FlowLayout(&host);
    auto* a = new Box({40, 10});
    auto* hidden = new Box({40, 10});
    auto* b = new Box({40, 10});
    for (QWidget* w : {static_cast<QWidget*>(a), static_cast<QWidget*>(hidden), static_cast<QWidget*>(b)})
        flow->addWidget(w);
    hidden->hide();
    flow->setGeometry(QRect(0, 0, 90, 100));
    EXPECT_EQ(b->geometry().topLeft(), QPoint(46, 0));
    EXPECT_EQ(flow->heightForWidth(90), 10);
}

}  // namespace
}  // namespace trayline::ui
