// The task row as a person uses it: what it shows for different tasks, its buttons and menus,
// and the copy confirmation driven by a manual clock.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
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
        TaskRow::Services services;
        services.openUrl = [this](const QUrl& url) { opened.push_back(url.toString(QUrl::FullyEncoded)); };
        services.now = [] { return *parseUtc("2026-03-04 12:00:00"); };
        services.scheduler = clock.scheduler();
        services.dates = [] { return DateFormatter("en_US", "UTC"); };
        auto row = std::make_unique<TaskRow>(task, showAssignee, nullptr, services);
        row->resize(800, row->sizeHint().height());
        row->show();
        return row;
    }

    static QToolButton* button(const TaskRow& row, const QString& toolTip) {
        for (auto* b : row.findChildren<QToolButton*>())
            if (b->toolTip() == toolTip)
                return b;
        return nullptr;
    }

    static std::vector<QString> visibleTexts(const TaskRow& row) {
        std::vector<QString> texts;
        for (auto* l : row.findChildren<QLabel*>())
            if (!l->isHidden() && !l->text().isEmpty())
                texts.push_back(l->text());
        for (auto* b : row.findChildren<QToolButton*>())
            if (!b->isHidden() && !b->text().isEmpty())
                texts.push_back(b->text());
        for (auto* t : row.findChildren<WrappingText*>())
            if (!t->isHidden() && !t->text().isEmpty())
                texts.push_back(t->text());
        return texts;
    }

    static bool shows(const TaskRow& row, const QString& text) {
        const auto texts = visibleTexts(row);
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }

    static QString clipboard() { return QGuiApplication::clipboard()->text(); }

    test::TempProfile profile;
    test::ManualClock clock;
    std::vector<QString> opened;
};

TEST_F(TaskRowTest, TaskWithRequestShowsChipsInOrderAndCopiesTheRequestNumber) {
    const SNTask task = test::sampleTask();
    auto row = makeRow(task);
    for (const char* text : {"SCTASK0010001", "RITM0020002", "REQ0030003", "Replace laptop battery",
                             "The battery swells and the lid no longer closes.", "Ada Lovelace",
                             "Mar 1, 2026 (3 days old)", "updated 1h ago"})
        EXPECT_TRUE(shows(*row, text)) << text;
    EXPECT_FALSE(shows(*row, "Grace Hopper"));  // assignee only when asked for

    auto* ritm = button(*row, "Open request item in ServiceNow");
    auto* request = button(*row, "Open request in ServiceNow");
    auto* copyNumber = button(*row, "Copy REQ0030003");
    ASSERT_TRUE(ritm && request && copyNumber);
    EXPECT_LT(ritm->x(), request->x());
    EXPECT_LT(request->x(), copyNumber->x());

    QTest::mouseClick(ritm, Qt::LeftButton);
    QTest::mouseClick(request, Qt::LeftButton);
    QTest::mouseClick(button(*row, "Open in ServiceNow"), Qt::LeftButton);
    EXPECT_EQ(opened, (std::vector<QString>{QString::fromStdString(*task.ritmURL()),
                                            QString::fromStdString(*task.requestURL()),
                                            QString::fromStdString(*task.recordURL())}));
    QTest::mouseClick(copyNumber, Qt::LeftButton);
    EXPECT_EQ(clipboard(), "REQ0030003");
}

TEST_F(TaskRowTest, PlainTaskFallsBackToItsOwnNumberWithoutChipsOrAge) {
    SNTask task;
    task.sysID = field("0123456789abcdef0123456789abcdef");
    task.number = field("TASK0000042");
    task.shortDescription = field("Reset password");
    task.state = field("1", "Open");
    auto row = makeRow(task, true);
    EXPECT_EQ(button(*row, "Open request item in ServiceNow")->isHidden(), true);
    EXPECT_EQ(button(*row, "Open request in ServiceNow")->isHidden(), true);
    ASSERT_NE(button(*row, "Copy TASK0000042"), nullptr);
    EXPECT_FALSE(button(*row, "Copy TASK0000042")->isHidden());
    EXPECT_TRUE(shows(*row, "Unassigned"));
    for (const auto& text : visibleTexts(*row)) {
        EXPECT_FALSE(text.contains("old") || text.contains("today")) << text.toStdString();
        EXPECT_FALSE(text.startsWith("updated")) << text.toStdString();
    }
}

TEST_F(TaskRowTest, StateDecidesBadgeColourAndCloseButton) {
    struct Case {
        const char* value;
        NamedColor colour;
        bool closable;
    };
    SNTask task = test::sampleTask();
    auto row = makeRow(task);
    for (const Case& c : {Case{"5", NamedColor::Green, false}, Case{"-5", NamedColor::Purple, true},
                          Case{"2", NamedColor::Orange, true}, Case{"7", NamedColor::Gray, true}}) {
        task.state = field(c.value, std::string("State ") + c.value);
        row->setTask(task);  // the same row, updated in place
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
    ASSERT_EQ(toMe.count(), 1);
    ASSERT_EQ(someone.count(), 1);
    ASSERT_EQ(close.count(), 1);
    EXPECT_EQ(close.at(0).at(0).value<SNTask>(), task);
}

TEST_F(TaskRowTest, IconButtonsAreNamedByTheirTooltips) {
    auto row = makeRow(test::sampleTask());
    for (const char* tip : {"Copy REQ0030003", "Copy the whole ticket as text", "Reassign",
                            "Close task…", "Open in ServiceNow"}) {
        auto* b = button(*row, tip);
        ASSERT_NE(b, nullptr) << tip;
        EXPECT_EQ(b->accessibleName(), QString(tip));
        EXPECT_FALSE(b->icon().isNull()) << tip;
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
}

TEST_F(TaskRowTest, ConfirmationTimerOutlivingTheRowIsHarmless) {
    auto row = makeRow(test::sampleTask());
    QTest::mouseClick(button(*row, "Copy the whole ticket as text"), Qt::LeftButton);
    row.reset();
    clock.advanceTo(5000);  // must not touch the deleted row
}

TEST_F(TaskRowTest, ContextMenuCopiesAndEmptyCopiesLeaveTheClipboardAlone) {
    SNTask task = test::sampleTask();
    task.ritmDescription = field("");
    task.taskDescription = field("  ");
    task.ritmShortDescription = field("");
    task.shortDescription = field("");
    auto row = makeRow(task);
    QGuiApplication::clipboard()->setText("before");
    std::unique_ptr<QMenu> menu(row->buildContextMenu(nullptr));
    QAction* description = nullptr;
    QAction* request = nullptr;
    for (QAction* a : menu->actions()) {
        if (a->text() == "Copy description")
            description = a;
        if (a->text() == "Copy REQ0030003")
            request = a;
    }
    ASSERT_TRUE(description && request);
    description->trigger();
    EXPECT_EQ(clipboard(), "before");
    request->trigger();
    EXPECT_EQ(clipboard(), "REQ0030003");
    EXPECT_EQ(row->copyConfirmation(), "");  // context-menu copies confirm nothing
}

TEST_F(TaskRowTest, LongTextWrapsWithinThePanelWidth) {
    SNTask task = test::sampleTask();
    task.shortDescription = field(std::string(40, 'w') + " " + std::string(300, 'x'));
    task.taskDescription = field("https://example.com/" + std::string(400, 'a'));
    auto row = makeRow(task);
    EXPECT_LE(row->minimumSizeHint().width(), 800);
    row->resize(800, row->heightForWidth(800));
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
