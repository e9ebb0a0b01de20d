// The panel against the demo instance, driven as a person would: chips, rows, sheets, sign-in, the
// list link and quiet hours.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>

#include "core/settings/config.h"
#include "desktop/models/quiet_hours.h"
#include "desktop/ui/chip_button.h"
#include "desktop/ui/content_view.h"
#include "desktop/ui/quiet_controls.h"
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

// What a screen reader hears: the chip of the shown tab is a selected, checked page tab, every other
// chip is not. Pressing through accessibility acts as a click.
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

// Quiet hours: the footer's bell pauses; the line above the footer says until when, with "Resume".
TEST_F(Panel, TheBellPausesAndTheLineAboveTheFooterSaysUntilWhenWithResumeBesideIt) {
    auto* bell = named<QToolButton>(panel.get(), "Notifications");
    auto* line = panel->findChild<PausedLine*>();
    ASSERT_TRUE(bell && line);
    const auto choices = [&] {
        QStringList shown;
        for (auto* action : bell->menu()->actions())
            if (action->isVisible() && !action->isSeparator())
                shown << action->text();
        return shown;
    };
    const auto choose = [&](const QString& text) {
        for (auto* action : bell->menu()->actions())
            if (action->text() == text && action->isVisible())
                return action->trigger();
        ADD_FAILURE() << "no menu choice " << text.toStdString();
    };
    const auto lands = [](std::optional<std::int64_t> value) {
        return test::spinUntil([&] { return Config::notificationsPausedUntil() == value; }, 5000);
    };
    const QStringList pauses{"Pause for 1 hour", "Pause until tomorrow", "Pause until I resume"};
    EXPECT_EQ(choices(), pauses);
    EXPECT_FALSE(line->isVisible());
    choose("Pause for 1 hour");
    EXPECT_TRUE(line->isVisible()) << "at once";
    EXPECT_EQ(choices(), pauses + QStringList{"Resume"});
    EXPECT_EQ(line->text(), pausedText(true, model->pausedUntil(), DateFormatter::current()));
    EXPECT_TRUE(line->text().startsWith("Notifications paused until "));
    EXPECT_LT(line->mapTo(panel.get(), QPoint()).y(), bell->mapTo(panel.get(), QPoint()).y()) << "above the footer";
    EXPECT_TRUE(lands(model->pausedUntil().toSecsSinceEpoch()));
    QTest::mouseClick(line->resumeButton(), Qt::LeftButton);
    EXPECT_FALSE(line->isVisible());
    EXPECT_TRUE(lands(std::nullopt));
    choose("Pause until I resume");
    EXPECT_EQ(line->text(), "Notifications paused");
    EXPECT_TRUE(lands(NotificationPause::kUntilResumed));
    choose("Resume");
    EXPECT_FALSE(line->isVisible());
    EXPECT_TRUE(lands(std::nullopt));
}

}  // namespace
}  // namespace trayline::ui
