// The task row as a person uses it: what it shows for different tasks, its buttons and menus,
// and the copy confirmation driven by a manual clock.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "core/settings/config.h"
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
        TaskRow::Services services{
            [this](const QUrl& url) { opened.push_back(url.toString(QUrl::FullyEncoded)); },
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
        return nullptr;
    }

    // Every text a person sees in the row.
    static QStringList visibleTexts(const TaskRow& row) {
        QStringList texts;
        for (auto* w : row.findChildren<QWidget*>()) {
            if (w->isHidden())
                continue;
            if (auto* l = qobject_cast<QLabel*>(w))
                texts << l->text();
            else if (auto* b = qobject_cast<QToolButton*>(w))
                texts << b->text();
            else if (auto* t = qobject_cast<WrappingText*>(w))
                texts << t->text();
        }
        texts.removeAll(QString());
        return texts;
    }

    static QString clipboard() { return QGuiApplication::clipboard()->text(); }

    test::TempProfile profile;
    test::ManualClock clock;
    std::vector<QString> opened;
};

TEST_F(TaskRowTest, TaskWithRequestShowsChipsLinksAndNamedButtons) {
    const SNTask task = test::sampleTask();
    auto row = makeRow(task);
    const QStringList texts = visibleTexts(*row);
    for (const char* text : {"SCTASK0010001", "RITM0020002", "REQ0030003", "Replace laptop battery",
                             "The battery swells and the lid no longer closes.", "Ada Lovelace",
                             "Mar 1, 2026 (3 days old)", "updated 1h ago"})
        EXPECT_TRUE(texts.contains(text)) << text;
    EXPECT_FALSE(texts.contains("Grace Hopper"));  // assignee only when asked for

    auto* ritm = button(*row, "Open request item in ServiceNow");
    auto* request = button(*row, "Open request in ServiceNow");
    auto* copyNumber = button(*row, "Copy REQ0030003");
    ASSERT_TRUE(ritm && request && copyNumber);
    EXPECT_LT(ritm->x(), request->x());
    EXPECT_LT(request->x(), copyNumber->x());
    for (const char* tip : {"Copy REQ0030003", "Copy the whole ticket as text", "Reassign",
                            "Close task…", "Open in ServiceNow"}) {
        auto* b = button(*row, tip);
        ASSERT_NE(b, nullptr) << tip;
        EXPECT_EQ(b->accessibleName(), QString(tip));
        EXPECT_FALSE(b->icon().isNull()) << tip;
    }

    // Chips open the request item and the request; the open button the task itself.
    QTest::mouseClick(ritm, Qt::LeftButton);
    QTest::mouseClick(request, Qt::LeftButton);
    QTest::mouseClick(button(*row, "Open in ServiceNow"), Qt::LeftButton);
    EXPECT_EQ(opened, (std::vector<QString>{QString::fromStdString(*task.ritmURL()),
                                            QString::fromStdString(*task.requestURL()),
                                            QString::fromStdString(*task.recordURL())}));
    QTest::mouseClick(copyNumber, Qt::LeftButton);
    EXPECT_EQ(clipboard(), "REQ0030003");
}

TEST_F(TaskRowTest, PlainTaskFallsBackToItsOwnNumberWithoutChipsOrTimes) {
    SNTask task;
    task.sysID = field("0123456789abcdef0123456789abcdef");
    task.number = field("TASK0000042");
    task.shortDescription = field("Reset password");
    auto row = makeRow(task, true);
    EXPECT_TRUE(button(*row, "Open request item in ServiceNow")->isHidden());
    EXPECT_TRUE(button(*row, "Open request in ServiceNow")->isHidden());
    ASSERT_NE(button(*row, "Copy TASK0000042"), nullptr);
    EXPECT_FALSE(button(*row, "Copy TASK0000042")->isHidden());
    EXPECT_EQ(visibleTexts(*row), (QStringList{"TASK0000042", "Reset password", "Unassigned"}));
}

TEST_F(TaskRowTest, StateDecidesBadgeColourAndCloseButtonAsTheRowUpdatesInPlace) {
    SNTask task = test::sampleTask();
    auto row = makeRow(task);
    struct Case {
        const char* value;
        NamedColor colour;
        bool closable;
    };
    for (const Case& c : {Case{"5", NamedColor::Green, false}, Case{"-5", NamedColor::Purple, true},
                          Case{"2", NamedColor::Orange, true}, Case{"7", NamedColor::Gray, true}}) {
        task.state = field(c.value, std::string("State ") + c.value);
        row->setTask(task);
        auto* badge = row->findChild<StateBadge*>();
        EXPECT_EQ(badge->colour(), c.colour) << c.value;
        EXPECT_EQ(badge->accessibleName(), QString("State ") + c.value);
        EXPECT_EQ(!button(*row, "Close task…")->isHidden(), c.closable) << c.value;
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

TEST_F(TaskRowTest, ConfirmationLastsFromTheFirstPressAndMovesToTheOtherButton) {
    auto row = makeRow(test::sampleTask());
    auto* copyAll = button(*row, "Copy the whole ticket as text");
    auto* copyNumber = button(*row, "Copy REQ0030003");

    // Pressed twice half a second apart: gone 1.2 s after the first press.
    QTest::mouseClick(copyAll, Qt::LeftButton);
    EXPECT_EQ(row->copyConfirmation(), "full");
    EXPECT_EQ(clipboard(), QString::fromStdString(row->task().clipboardText()));
    clock.advanceTo(500);
    QTest::mouseClick(copyAll, Qt::LeftButton);
    clock.advanceTo(1199);
    EXPECT_EQ(row->copyConfirmation(), "full");
    clock.advanceTo(1200);
    EXPECT_EQ(row->copyConfirmation(), "");

    // Copy-all, then the number half a second later: the number keeps its full 1.2 s.
    clock.advanceTo(3000);
    QTest::mouseClick(copyAll, Qt::LeftButton);
    clock.advanceTo(3500);
    QTest::mouseClick(copyNumber, Qt::LeftButton);
    EXPECT_EQ(row->copyConfirmation(), "number");
    EXPECT_EQ(clipboard(), "REQ0030003");
    clock.advanceTo(4200);
    EXPECT_EQ(row->copyConfirmation(), "number");
    clock.advanceTo(4700);
    EXPECT_EQ(row->copyConfirmation(), "");

    // A timer that outlives its row (the list changed) must not touch it.
    QTest::mouseClick(copyAll, Qt::LeftButton);
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
    QWidget* number = nullptr;
    for (auto* l : row->findChildren<QLabel*>())
        if (l->text() == "SCTASK0010001")
            number = l;
    ASSERT_NE(number, nullptr);
    for (auto [source, title] : {std::pair{number, "Copy SCTASK0010001"},
                                 std::pair{static_cast<QWidget*>(button(*row, "Open request item in ServiceNow")),
                                           "Copy RITM0020002"}}) {
        Q_EMIT source->customContextMenuRequested(QPoint(2, 2));
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(popup, nullptr);
        ASSERT_EQ(popup->actions().size(), 1);
        EXPECT_EQ(popup->actions()[0]->text(), title);
        popup->actions()[0]->trigger();
        popup->close();
        EXPECT_EQ("Copy " + clipboard(), title);
    }
    EXPECT_EQ(row->copyConfirmation(), "");
}

TEST_F(TaskRowTest, TitleCanBeSelectedWithTheMouseAndCopied) {
    auto row = makeRow(test::sampleTask());
    WrappingText* title = nullptr;
    for (auto* t : row->findChildren<WrappingText*>())
        if (t->text() == "Replace laptop battery")
            title = t;
    ASSERT_NE(title, nullptr);
    const int y = title->height() / 2;
    QTest::mousePress(title, Qt::LeftButton, {}, QPoint(0, y));
    QMouseEvent drag(QEvent::MouseMove, QPointF(title->width() - 1, y),
                     title->mapToGlobal(QPointF(title->width() - 1, y)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(title, &drag);
    QTest::mouseRelease(title, Qt::LeftButton, {}, QPoint(title->width() - 1, y));
    EXPECT_EQ(title->selectedText(), "Replace laptop battery");
    QTest::keySequence(title, QKeySequence::Copy);
    EXPECT_EQ(clipboard(), "Replace laptop battery");
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
    }
}

}  // namespace
}  // namespace trayline::ui
