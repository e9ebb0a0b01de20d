// The panel against the demo instance, driven as a person would: chips, rows, sheets, sign-in, the
// update banner and the list link; and the named colours' contrast in both palettes.

#include <cmath>

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>

#include "core/settings/config.h"
#include "desktop/ui/chip_button.h"
#include "desktop/ui/content_view.h"
#include "desktop/ui/sheet_parts.h"
#include "desktop/ui/task_list_view.h"
#include "sheet_test_support.h"

namespace trayline::ui {
namespace {

using test::await;
using test::field;
using test::named;

// The panel on the lists, with its links and quit caught here.
class Panel : public test::SheetTest, public ::testing::Test {
protected:
    Panel() { makePanel(); }
    QAbstractButton* button(const char* name) { return named<QAbstractButton>(panel.get(), name); }
    // A label a person sees with exactly this text.
    bool showsText(const QString& text) {
        QApplication::processEvents();
        for (auto* label : panel->findChildren<QLabel*>())
            if (label->text() == text && label->isVisible())
                return true;
        return false;
    }
};

TEST_F(Panel, EveryChipCountsTheRowsItShowsAndTheAssigneeShowsWhereTabsMixThem) {
    QStringList labels;  // the five tabs and the members with tasks
    for (auto* c : panel->findChildren<ChipButton*>())
        if (!c->isHidden() && c->text().endsWith(')'))
            labels << c->text();
    ASSERT_GE(labels.size(), 8);
    for (const QString& label : labels) {
        SCOPED_TRACE(label.toStdString());
        QTest::mouseClick(chip(label), Qt::LeftButton);
        EXPECT_TRUE(chip(label)->isSelected());
        const auto rows = panel->lists()->rows();
        EXPECT_EQ(QString::number(rows.size()), label.section('(', -1).chopped(1));
        const bool mixed = label.startsWith("All") || label.startsWith("Done");
        for (auto* row : rows)
            EXPECT_EQ(row->showsAssignee(), mixed);
    }
}

TEST_F(Panel, SelectedMemberChipStaysWhenItsTasksLeaveTheQueue) {
    const auto busiest = visibleMembers(model->members(), model->groupTasks(), "mine").front();
    const QString first = QString::fromStdString(busiest.name).split(' ').front();
    QTest::mouseClick(chip(first + " ("), Qt::LeftButton);
    Config::setGroupStates("9");  // no task of the group is in such a state
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(chip(first + " (")->text(), first + " (0)");
    EXPECT_TRUE(panel->lists()->rows().empty());
    EXPECT_TRUE(showsText(QStringLiteral("No tasks \U0001F389")));
    // Members without tasks come and go with the toggle.
    QTest::mouseClick(button("Show members without tasks"), Qt::LeftButton);
    EXPECT_EQ(button("Show members without tasks")->toolTip(), "Hide empty tabs");
}

// What a screen reader hears: the chip of the shown tab is a selected, checked page tab, every other
// chip is not; the toggle is a check box, checked while members without tasks are shown. Pressing
// through accessibility acts as a click.
TEST_F(Panel, ChipsTellAScreenReaderWhichTabIsShown) {
    const auto state = [](QWidget* w) { return QAccessible::queryAccessibleInterface(w)->state(); };
    const auto shownTabs = [&] {
        QStringList names;
        for (auto* c : panel->findChildren<ChipButton*>()) {
            if (c->isHidden() || c->kind() == ChipButton::Kind::toggle)
                continue;
            EXPECT_EQ(QAccessible::queryAccessibleInterface(c)->role(), QAccessible::PageTab);
            EXPECT_EQ(state(c).checked, state(c).selected);
            if (state(c).checked)
                names << c->accessibleName().section(' ', 0, 0);
        }
        return names;
    };
    EXPECT_EQ(shownTabs(), QStringList{"Mine"});
    QAccessibleInterface* all = QAccessible::queryAccessibleInterface(chip("All ("));
    all->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(panel->lists()->tab(), "all");
    EXPECT_EQ(shownTabs(), QStringList{"All"});
    const auto busiest = visibleMembers(model->members(), model->groupTasks(), "all").front();
    QTest::mouseClick(chip(QString::fromStdString(busiest.name).split(' ').front() + " ("), Qt::LeftButton);
    EXPECT_EQ(shownTabs(), QStringList{QString::fromStdString(busiest.name).split(' ').front()});

    QAbstractButton* toggle = button("Show members without tasks");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(toggle)->role(), QAccessible::CheckBox);
    EXPECT_TRUE(state(toggle).checkable);
    EXPECT_FALSE(state(toggle).checked);
    QAccessible::queryAccessibleInterface(toggle)->actionInterface()->doAction(
        QAccessibleActionInterface::toggleAction());
    EXPECT_TRUE(panel->lists()->showsAllMembers());
    EXPECT_TRUE(state(button("Show members without tasks")).checked);
}

TEST_F(Panel, SheetsComeAndGoAndOpenListUsesTheTab) {
    QTest::mouseClick(chip("Unassigned ("), Qt::LeftButton);
    auto* row = panel->lists()->rows().front();
    Q_EMIT row->assignRequested(row->task());
    QWidget* const assign = panel->middleWidget();
    EXPECT_EQ(panel->middleArea(), MiddleArea::assign);
    // Settings over a pending assignment, which waits with what was typed; settings start fresh.
    QTest::mouseClick(button("Settings"), Qt::LeftButton);
    QWidget* const settings = panel->middleWidget();
    EXPECT_EQ(panel->middleArea(), MiddleArea::settings);
    QTest::mouseClick(button("Settings"), Qt::LeftButton);
    EXPECT_EQ(panel->middleWidget(), assign);
    QTest::mouseClick(button("Settings"), Qt::LeftButton);
    EXPECT_NE(panel->middleWidget(), settings);
    QTest::mouseClick(button("Settings"), Qt::LeftButton);
    Q_EMIT qobject_cast<Sheet*>(panel->middleWidget())->done();
    EXPECT_EQ(panel->middleArea(), MiddleArea::lists);

    QTest::mouseClick(button("Open list"), Qt::LeftButton);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].startsWith(QString::fromStdString(Config::instanceURL()) +
                                      "/nav_to.do?uri=sc_task_list.do%3Fsysparm_query%3Dassignment_group%3D"));
    QTest::mouseClick(button("Quit"), Qt::LeftButton);
    EXPECT_EQ(quits, 1);

    // Unconfigured, the settings sheet stays, with what was typed.
    Config::setClientID("");
    ASSERT_TRUE(await(model->recheckReadiness()));
    ASSERT_EQ(panel->middleArea(), MiddleArea::settings);
    QWidget* const unconfigured = panel->middleWidget();
    QTest::mouseClick(button("Settings"), Qt::LeftButton);
    EXPECT_EQ(panel->middleWidget(), unconfigured);
}

TEST_F(Panel, SignedOutShowsThePromptAndASignInFailureUnderIt) {
    model->auth()->signOut();
    EXPECT_EQ(panel->middleArea(), MiddleArea::signIn);
    EXPECT_FALSE(button("Refresh now")->isEnabled());
    auto* key = panel->findChild<QLabel*>("signInIcon");
    ASSERT_TRUE(key && !key->pixmap().isNull());
    EXPECT_EQ(key->pixmap().deviceIndependentSize(), QSizeF(36, 36));
    Config::setClientID("");  // the sign-in fails at once with its own text
    QTest::mouseClick(button("Sign in"), Qt::LeftButton);
    ASSERT_TRUE(test::spinUntil(
        [&] { return showsText(QStringLiteral("Fill in instance URL, client ID and client secret in Settings first.")); }));
    EXPECT_TRUE(button("Sign in")->isEnabled());
}

TEST_F(Panel, BannerOffersTheUpdateUntilDismissed) {
    offerUpdate("# 2.0\n- Faster refresh\n- More");
    EXPECT_TRUE(showsText(QStringLiteral("Version 2.0 is available")));
    EXPECT_TRUE(showsText(QStringLiteral("Faster refresh")));
    QTest::mouseClick(button("What's new"), Qt::LeftButton);
    EXPECT_EQ(panel->middleArea(), MiddleArea::updateNotes);
    QTest::mouseClick(button("Later"), Qt::LeftButton);
    EXPECT_FALSE(showsText(QStringLiteral("Version 2.0 is available")));
    EXPECT_EQ(panel->middleArea(), MiddleArea::updateNotes);  // open notes stay until their back button
    QTest::mouseClick(button("Back"), Qt::LeftButton);
    EXPECT_EQ(panel->middleArea(), MiddleArea::lists);
}

TEST_F(Panel, TabGoesTopToBottomThroughHeaderChipsRowsAndFooter) {
    QTest::qWait(20);  // the order is set once the rows are laid out
    std::vector<QString> order;  // what a screen reader reaches with Tab
    QWidget* const first = button("Refresh now");
    for (QWidget* w = first; order.empty() || (w != first && order.size() < 200); w = w->nextInFocusChain())
        if (!w->focusProxy() && w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus))
            order.push_back(w->accessibleName());
    const auto at = [&](const QString& name) { return std::find(order.begin(), order.end(), name) - order.begin(); };
    const QString stops[] = {"Refresh now", "Settings", chip("Mine (")->text(), "Copy the whole ticket as text",
                             "Open list", "Quit"};
    for (std::size_t i = 1; i < std::size(stops); ++i)
        EXPECT_LT(at(stops[i - 1]), at(stops[i])) << stops[i].toStdString();
    EXPECT_LT(at("Quit"), static_cast<long>(order.size()));
}

// The named colours are readable on the window (WCAG contrast), in both palettes.
TEST(NamedColours, ContrastWithTheWindowInBothPalettes) {
    for (const QPalette& palette : {test::lightPalette(), test::darkPalette()}) {
        QApplication::setPalette(palette);
        const auto luminance = [](const QColor& c) {
            const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
            return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF()) + 0.05;
        };
        const double window = luminance(QApplication::palette().color(QPalette::Window));
        for (const auto& [colour, least, most] : std::vector<std::tuple<NamedColor, double, double>>{
                 {NamedColor::Primary, 7, 21}, {NamedColor::Secondary, 4.5, 21}, {NamedColor::Tertiary, 3, 21},
                 {NamedColor::Blue, 2, 21}, {NamedColor::Cyan, 2, 21}, {NamedColor::Green, 2, 21}, {NamedColor::Purple, 2, 21},
                 {NamedColor::Gray, 2, 21}, {NamedColor::Red, 2, 21}, {NamedColor::Orange, 2, 21},
                 {NamedColor::Separator, 1.2, 2}}) {  // a separator is seen but stays quiet
            const double ratio = std::max(luminance(color(colour)), window) / std::min(luminance(color(colour)), window);
            EXPECT_TRUE(ratio > least && ratio < most) << static_cast<int>(colour) << ": " << ratio;
        }
    }
    QApplication::setPalette(test::lightPalette());
}

}  // namespace
}  // namespace trayline::ui
