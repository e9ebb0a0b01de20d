// Release notes: which lines become which rows, and the view built from them.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "desktop/ui/changelog_view.h"
#include "desktop/ui/wrapping_text.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

using Kind = ChangelogLine::Kind;
using Lines = std::vector<ChangelogLine>;

struct LineCase {
    const char* name;
    QString text;
    Lines expected;
};

class ChangelogRules : public ::testing::TestWithParam<LineCase> {};

TEST_P(ChangelogRules, LinesBecomeRows) {
    EXPECT_EQ(changelogLines(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChangelogRules,
    ::testing::Values(
        LineCase{"HeadingBlankBullets",
                 "# 1.2.0\n\n- Faster refresh\n- Fewer clicks",
                 {{Kind::Heading1, "1.2.0"}, {Kind::Bullet, "Faster refresh"},
                  {Kind::Bullet, "Fewer clicks"}}},
        LineCase{"HeadingLevels",
                 "## Fixed\n### Tray\n#### Deep\n#No space",
                 {{Kind::Heading2, "Fixed"}, {Kind::Heading3, "Tray"}, {Kind::Text, "#### Deep"},
                  {Kind::Text, "#No space"}}},
        LineCase{"PrefixesTestedUntrimmed",
                 "  - indented\n  two spaces first\n* star\n1. first",
                 {{Kind::Text, "  - indented"}, {Kind::Text, "  two spaces first"},
                  {Kind::Text, "* star"}, {Kind::Text, "1. first"}}},
        LineCase{"BlankLinesTakeNoRow", "   \n\t \t\nword\n\n", {{Kind::Text, "word"}}},
        LineCase{"NoInlineMarkup", "**bold** and `code` <b>tag</b>",
                 {{Kind::Text, "**bold** and `code` <b>tag</b>"}}},
        LineCase{"EmptyRestsStay", "# \n- ", {{Kind::Heading1, ""}, {Kind::Bullet, ""}}},
        LineCase{"RepeatedLinesAllShown", "- same\n- same", {{Kind::Bullet, "same"}, {Kind::Bullet, "same"}}},
        LineCase{"OtherWhitespaceIsText", "\u00a0", {{Kind::Text, "\u00a0"}}},
        LineCase{"CrlfLineEnds", "## Fixed\r\n- one\r\n\r\n",
                 {{Kind::Heading2, "Fixed"}, {Kind::Bullet, "one"}}}),
    [](const auto& param) { return std::string(param.param.name); });

// The texts of the scrolling column, in order, with their widgets.
std::vector<std::pair<QString, QWidget*>> texts(const QWidget& view) {
    std::vector<std::pair<QString, QWidget*>> result;
    for (QWidget* w : view.findChild<QScrollArea*>()->widget()->findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<QLabel*>(w))
            result.emplace_back(label->text(), w);
        else if (auto* text = qobject_cast<WrappingText*>(w))
            result.emplace_back(text->text(), w);
    }
    return result;
}

TEST(ChangelogViewTest, ShowsRowsLiterallyWithHeadingFontsAndBullets) {
    ChangelogView view("Trayline v1.2.0", "# Big\n\n- **one**\nplain <i>x</i>");
    const auto rows = texts(view);
    ASSERT_EQ(rows.size(), 4u);  // heading, bullet mark, bullet text, plain line
    EXPECT_EQ(rows[0].first, "Big");
    EXPECT_EQ(rows[1].first, "•");
    EXPECT_EQ(rows[2].first, "**one**");
    EXPECT_EQ(rows[3].first, "plain <i>x</i>");
    for (std::size_t i : {0u, 2u, 3u})
        EXPECT_NE(qobject_cast<WrappingText*>(rows[i].second), nullptr) << i;
    EXPECT_GT(rows[0].second->font().pointSizeF(), rows[3].second->font().pointSizeF());
    EXPECT_EQ(rows[0].second->font().weight(), QFont::Bold);
    EXPECT_EQ(rows[0].second->contentsMargins().top(), 4);
    // The bullet's text wraps beside the bullet, both aligned to the top.
    EXPECT_EQ(rows[1].second->parentWidget(), rows[2].second->parentWidget());
}

TEST(ChangelogViewTest, BackButtonIsNamedAndEmitsDone) {
    ChangelogView view("What's new in v2.0", "No release notes.");
    auto* back = view.findChild<QToolButton*>();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->accessibleName(), back->toolTip());
    EXPECT_FALSE(back->accessibleName().isEmpty());
    EXPECT_FALSE(back->icon().isNull());
    QSignalSpy done(&view, &ChangelogView::done);
    view.show();
    QTest::mouseClick(back, Qt::LeftButton);
    EXPECT_EQ(done.count(), 1);
    bool titled = false;
    for (QLabel* l : view.findChildren<QLabel*>())
        titled = titled || l->text() == "What's new in v2.0";
    EXPECT_TRUE(titled);
    // A long unbroken line wraps inside the view instead of widening it.
    ChangelogView wide("T", "- " + QString(600, u'x'));
    wide.resize(400, 300);
    wide.show();
    QApplication::processEvents();
    auto* text = wide.findChild<WrappingText*>();
    ASSERT_NE(text, nullptr);
    EXPECT_LE(text->mapTo(&wide, QPoint(text->width(), 0)).x(), 400);
    EXPECT_GT(text->lineCount(text->width()), 3);
}

}  // namespace
}  // namespace trayline::ui
