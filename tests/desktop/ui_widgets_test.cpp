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

TEST_F(TaskRowTest, PlainTaskFallsBackToItsOwnNumberWithoutChipsOrTimes) {
    SNTask task;
    task.sysID = field("0123456789abcdef0123456789abcdef");
    task.number = field("TASK0000042");
    task.shortDescription = field("Reset password");
    auto row = makeRow(task, true);
    EXPECT_EQ(visibleTexts(*row), (QStringList{"TASK0000042", "Reset password", "Unassigned"}));  // no chips
    EXPECT_FALSE(button(*row, "Copy TASK0000042")->isHidden());
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

TEST_F(TaskRowTest, MenusCopyWithoutConfirmationAndEmptyCopiesLeaveTheClipboardAlone) {
    SNTask task = test::sampleTask();
    task.taskDescription = field("  ");
    task.shortDescription = field("");
    auto row = makeRow(task);
    QGuiApplication::clipboard()->setText("before");
    std::unique_ptr<QMenu> menu(row->buildContextMenu(nullptr));
    for (QAction* a : menu->actions())
        if (a->text() == "Copy description")
            a->trigger();
    EXPECT_EQ(clipboard(), "before");
    // The number's and the chip's own menus.
    QLabel* number = nullptr;
    for (auto* l : row->findChildren<QLabel*>())
        number = l->text() == "SCTASK0010001" ? l : number;
    QWidget* const chip = button(*row, "Open request item in ServiceNow");
    for (QWidget* source : {static_cast<QWidget*>(number), chip}) {
        ASSERT_NE(source, nullptr);
        Q_EMIT source->customContextMenuRequested(QPoint(2, 2));
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_TRUE(popup && popup->actions().size() == 1);
        popup->actions()[0]->trigger();
        EXPECT_EQ(popup->actions()[0]->text(), "Copy " + clipboard());
        popup->close();
    }
    EXPECT_EQ(clipboard(), "RITM0020002");
    EXPECT_EQ(row->copyConfirmation(), "");
}

TEST_F(TaskRowTest, LongTextWrapsWithinThePanelWidth) {
    SNTask task = test::sampleTask();
    task.shortDescription = field(std::string(40, 'w') + " " + std::string(300, 'x'));
    task.taskDescription = field("https://example.com/" + std::string(400, 'a'));
    auto row = makeRow(task);
    EXPECT_LE(row->minimumSizeHint().width(), 800);
    QApplication::processEvents();
    for (auto* text : row->findChildren<WrappingText*>()) {
        EXPECT_LE(text->geometry().right(), 800);
        // Every line is shown: the row is as tall as the wrapped text needs.
        EXPECT_GE(text->height(), text->heightForWidth(text->width()));
        EXPECT_GE(text->lineCount(text->width()), 3) << text->text().left(20).toStdString();
        // Screen readers read it as a label.
        const QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(text);
        EXPECT_TRUE(a11y && a11y->role() == QAccessible::StaticText && a11y->text(QAccessible::Name) == text->text());
    }
}

TEST(FlowPlacing, ChildrenKeepIdealSizeRowByRowAndHiddenOnesTakeNoPlace) {
    QWidget host;
    auto* flow = new FlowLayout(&host);
    std::vector<QWidget*> boxes;
    for (QSize s : {QSize(50, 10), QSize(40, 40), QSize(50, 30), QSize(50, 20), QSize(200, 15)}) {
        flow->addWidget(boxes.emplace_back(new QWidget));
        boxes.back()->setFixedSize(s);
    }
    boxes[1]->hide();
    flow->setGeometry(QRect(10, 5, 110, 300));
    // The second row starts below the first's tallest child; a child wider than the bounds gets a row.
    const std::pair<int, QRect> placed[] = {
        {0, {10, 5, 50, 10}}, {2, {66, 5, 50, 30}}, {3, {10, 41, 50, 20}}, {4, {10, 67, 200, 15}}};
    for (const auto& [i, rect] : placed)
        EXPECT_EQ(boxes[i]->geometry(), rect) << i;
    EXPECT_EQ(flow->heightForWidth(110), 30 + 6 + 20 + 6 + 15);
    EXPECT_EQ(flow->sizeHint(), QSize(50 + 50 + 50 + 200 + 3 * 6, 30));
    EXPECT_EQ(flow->minimumSize(), QSize(200, 30));
}

}  // namespace
}  // namespace trayline::ui
