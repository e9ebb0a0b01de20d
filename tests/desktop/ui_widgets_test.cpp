// The widgets as a person uses them: the task row (what it shows, its buttons and menus, the copy
// confirmation on a manual clock) and the wrapping layout placing its children.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "core/settings/config.h"
#include "desktop/ui/flow_layout.h"
#include "desktop/ui/task_row.h"
#include "desktop/ui/wrapping_text.h"
#include "support/temp_env.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

using test::field;

class TaskRowTest : public ::testing::Test {
protected:
    TaskRowTest() { Config::setInstanceURL("https://acme.service-now.com"); }

    std::unique_ptr<TaskRow> makeRow(const SNTask& task, bool showAssignee = false) {
        TaskRow::Services services{[this](const QUrl& url) { opened.push_back(url.toString(QUrl::FullyEncoded)); },
                                   [] { return *parseUtc("2026-03-04 12:00:00"); }, clock.scheduler(),
                                   [] { return DateFormatter("en_US", "UTC"); }};
        auto row = std::make_unique<TaskRow>(task, showAssignee, nullptr, services);
        row->resize(800, row->heightForWidth(800));
        row->show();
        return row;
    }
    static QToolButton* button(const TaskRow& row, const QString& toolTip) {
        for (auto* b : row.findChildren<QToolButton*>())
            if (b->toolTip() == toolTip)
                return b;
        ADD_FAILURE() << "no button " << toolTip.toStdString();
        return nullptr;
    }
    // Every text a person sees in the row.
    static QStringList visibleTexts(const TaskRow& row) {
        QStringList texts;
        for (auto* w : row.findChildren<QWidget*>()) {
            const auto* wrapping = qobject_cast<WrappingText*>(w);
            const QString text = wrapping ? wrapping->text() : w->property("text").toString();  // labels, buttons
            if (!w->isHidden() && !text.isEmpty())
                texts << text;
        }
        return texts;
    }
    static QString clipboard() { return QGuiApplication::clipboard()->text(); }

    test::TempProfile profile;
    test::ManualClock clock;
    std::vector<QString> opened;
};

TEST_F(TaskRowTest, ChipsOpenTheRequestItemAndRequestAndTheTitleIsSelectable) {
    const SNTask task = test::sampleTask();
    auto row = makeRow(task);
    EXPECT_FALSE(visibleTexts(*row).contains("Grace Hopper"));  // the assignee only when asked for
    for (auto* b : row->findChildren<QToolButton*>())  // icons, read out by their tooltips
        EXPECT_TRUE(!b->text().isEmpty() || (b->accessibleName() == b->toolTip() && (b->isHidden() || !b->icon().isNull())))
            << b->toolTip().toStdString();
    QTest::mouseClick(button(*row, "Open request item in ServiceNow"), Qt::LeftButton);
    QTest::mouseClick(button(*row, "Open request in ServiceNow"), Qt::LeftButton);
    QTest::mouseClick(button(*row, "Open in ServiceNow"), Qt::LeftButton);
    EXPECT_EQ(opened, (std::vector<QString>{QString::fromStdString(*task.ritmURL()), QString::fromStdString(*task.requestURL()),
                                            QString::fromStdString(*task.recordURL())}));
    QTest::mouseClick(button(*row, "Copy REQ0030003"), Qt::LeftButton);
    EXPECT_EQ(clipboard(), "REQ0030003");
    // A double click selects a word of the title, which copies like any text.
    WrappingText* title = nullptr;
    for (auto* t : row->findChildren<WrappingText*>())
        title = t->text() == "Replace laptop battery" ? t : title;
    ASSERT_NE(title, nullptr);
    QTest::mouseDClick(title, Qt::LeftButton, {}, QPoint(title->fontMetrics().horizontalAdvance("Replace lap"), 5));
    QTest::keySequence(title, QKeySequence::Copy);
    EXPECT_EQ(clipboard(), "laptop");
}

TEST_F(TaskRowTest, StateDecidesBadgeColourAndCloseButtonAsTheRowUpdatesInPlace) {
    SNTask task = test::sampleTask();
    auto row = makeRow(task);
    for (const auto& [value, colour, closable] :
         {std::tuple{"5", NamedColor::Green, false}, std::tuple{"-5", NamedColor::Purple, true}}) {
        task.state = field(value, std::string("State ") + value);
        row->setTask(task);
        auto* badge = row->findChild<StateBadge*>();
        EXPECT_EQ(badge->colour(), colour) << value;
        EXPECT_EQ(badge->accessibleName(), QString("State ") + value);
        EXPECT_EQ(!button(*row, "Close task…")->isHidden(), closable) << value;
    }
}

TEST_F(TaskRowTest, ActionsEmitIntentsWithTheRowsCurrentTask) {
    SNTask task = test::sampleTask();
    auto row = makeRow(task);
    task.shortDescription = field("Edited since");
    row->setTask(task);
    QSignalSpy toMe(row.get(), &TaskRow::assignToMeRequested);
    QSignalSpy someone(row.get(), &TaskRow::assignRequested);
    QSignalSpy close(row.get(), &TaskRow::closeRequested);
    auto* menu = row->findChild<QMenu*>("reassignMenu");
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), "Assign to me");
    EXPECT_EQ(menu->actions()[1]->text(), "Assign to someone…");
    menu->actions()[0]->trigger();
    menu->actions()[1]->trigger();
    QTest::mouseClick(button(*row, "Close task…"), Qt::LeftButton);
    for (QSignalSpy* spy : {&toMe, &someone, &close}) {
        ASSERT_EQ(spy->count(), 1);
        EXPECT_EQ(spy->at(0).at(0).value<SNTask>(), task);
    }
}

// An entry a screen reader triggers closes the menu as a click does: an open menu keeps the pointer
// grab and would swallow the user's next click.
TEST_F(TaskRowTest, ReassignMenuClosesAfterAnEntryIsTriggeredThroughAccessibility) {
    auto row = makeRow(test::sampleTask());
    QSignalSpy someone(row.get(), &TaskRow::assignRequested);
    auto* menu = row->findChild<QMenu*>("reassignMenu");
    for (int entry : {1, 0}) {
        QTest::mouseClick(button(*row, "Reassign"), Qt::LeftButton);
        ASSERT_TRUE(menu->isVisible());
        QAccessibleInterface* item = QAccessible::queryAccessibleInterface(menu)->child(entry);
        ASSERT_TRUE(item && item->actionInterface());
        item->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        EXPECT_FALSE(menu->isVisible()) << entry;
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    }
    EXPECT_EQ(someone.count(), 1);
}

TEST_F(TaskRowTest, ConfirmationShowsOnTheLastButtonPressedForItsFullTime) {
    auto row = makeRow(test::sampleTask());
    QTest::mouseClick(button(*row, "Copy the whole ticket as text"), Qt::LeftButton);
    EXPECT_EQ(row->copyConfirmation(), "full");
    EXPECT_EQ(clipboard(), QString::fromStdString(row->task().clipboardText()));
    clock.advanceTo(500);
    QTest::mouseClick(button(*row, "Copy REQ0030003"), Qt::LeftButton);
    EXPECT_EQ(row->copyConfirmation(), "number");
    EXPECT_EQ(clipboard(), "REQ0030003");
    clock.advanceTo(1699);  // the first copy's time is up: not the number's
    EXPECT_EQ(row->copyConfirmation(), "number");
    clock.advanceTo(1700);
    EXPECT_EQ(row->copyConfirmation(), "");
    // A timer that outlives its row (the list changed) must not touch it.
    QTest::mouseClick(button(*row, "Copy REQ0030003"), Qt::LeftButton);
    row.reset();
    clock.advanceTo(9000);
}

}  // namespace
}  // namespace trayline::ui
