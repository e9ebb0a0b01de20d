// The panel against the demo instance, driven as a person would: chips, sign-in and quiet hours; and
// text the instance or a release feed hands over, which can be anything: each hostile string goes
// into every label that shows such text, and the panel keeps its width with every button inside.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>

#include <nlohmann/json.hpp>

#include "core/settings/config.h"
#include "desktop/platform/panel_window.h"
#include "desktop/ui/assign_view.h"
#include "desktop/ui/chip_button.h"
#include "desktop/ui/content_view.h"
#include "desktop/ui/quiet_controls.h"
#include "desktop/ui/sheet_parts.h"
#include "desktop/ui/task_list_view.h"
#include "sheet_test_support.h"

namespace trayline::ui {
namespace {

using nlohmann::json;
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
    const auto choose = [&](const QString& text) {  // the visible menu entries, then a click on one
        QStringList shown;
        for (auto* action : bell->menu()->actions())
            if (action->isVisible() && !action->isSeparator())
                shown << action->text();
        for (auto* action : bell->menu()->actions())
            if (action->isVisible() && action->text() == text)
                action->trigger();
        return shown;
    };
    const QStringList pauses{"Pause for 1 hour", "Pause until tomorrow", "Pause until I resume"};
    EXPECT_FALSE(line->isVisible());
    EXPECT_EQ(choose("Pause for 1 hour"), pauses);
    EXPECT_TRUE(line->isVisible()) << "at once";
    EXPECT_TRUE(line->text().startsWith("Notifications paused until ")) << line->text().toStdString();
    EXPECT_LT(line->mapTo(panel.get(), QPoint()).y(), bell->mapTo(panel.get(), QPoint()).y()) << "above the footer";
    QTest::mouseClick(line->resumeButton(), Qt::LeftButton);
    EXPECT_FALSE(line->isVisible());
    choose("Pause until I resume");
    EXPECT_EQ(line->text(), "Notifications paused");
    EXPECT_EQ(choose("Resume"), pauses + QStringList{"Resume"});
    EXPECT_FALSE(line->isVisible());
}

constexpr const char* kHostileUser = "9d1c0e5b7a3f4e2d8c6b0a1f2e3d4c5b";

struct Hostile {
    const char* name;
    std::string text;
};

std::string repeated(const std::string& piece, std::size_t bytes) {
    std::string out;
    while (out.size() < bytes)
        out += piece;
    return out;
}

const Hostile kHostile[] = {
    {"unbroken", repeated("WQMW", 300).substr(0, 300)},
    {"url", "https://intranet.example.com/sites/it/" + repeated("Shared%20Documents/segment-0001/", 2048)},
    {"rtl", repeated("Printer on floor 3 \u2014 \u05d4\u05de\u05d3\u05e4\u05e1\u05ea \u05dc\u05d0 \u05de\u05d3\u05e4\u05d9\u05e1\u05d4 "
                     "\u2014 \u0627\u0644\u0637\u0627\u0628\u0639\u0629 \u0644\u0627 \u062a\u0637\u0628\u0639 ",
                     400)},
    {"emoji", repeated("\U0001F5A8\uFE0F\U0001F525\U0001F469\u200D\U0001F4BB\U0001F1E9\U0001F1EA\U0001F389", 600)},
    {"lines", repeated("Zeile-\n", 280)},  // forty
};

// The built-in data set plus a group member and a queued task that carry the string everywhere.
demo::Options withDataSet(const std::filesystem::path& dir, const std::string& text) {
    json data = demo::builtinDataSet(std::chrono::system_clock::now());
    auto& tables = data["tables"];
    tables["sys_user"].push_back({{"sys_id", kHostileUser}, {"name", text}, {"email", text}, {"active", "true"}});
    tables["sys_user_grmember"].push_back({{"group", demo::kGroupSysId}, {"user", kHostileUser}});
    tables["sc_task"].push_back({{"short_description", text}, {"description", text}, {"state", "2"},
                                 {"assignment_group", demo::kGroupSysId}, {"assigned_to", kHostileUser},
                                 {"opened_by", kHostileUser}, {"opened_at", "@now-2h"}});
    demo::Options options;
    options.dataFile = (dir / "data.json").string();
    test::writeFile(*options.dataFile, data.dump());
    return options;
}

// Holds the data set, made before the demo profile that loads it.
struct HostileDataSet {
    test::TempProfile scratch;
};

class HostileText : HostileDataSet, public test::SheetTest, public ::testing::TestWithParam<Hostile> {
protected:
    HostileText() : SheetTest(withDataSet(scratch.root(), GetParam().text)) {
        offerUpdate("# 2.0\n- " + text());  // the update's first note is the banner's teaser
        content = new ContentView(model.get(), updater.get(), services());  // never shown on its own
        window.setContent(content);
        window.setGeometry(QRect(100, 100, 800, 700));
        window.show();
        EXPECT_TRUE(test::spinUntil([&] { return content->middleArea() == MiddleArea::lists; }));
    }

    const std::string& text() const { return GetParam().text; }

    TaskRow* hostileRow() {
        for (auto* row : content->lists()->rows())
            if (row->task().assignedTo.value == kHostileUser)
                return row;
        ADD_FAILURE() << "the hostile task is not listed";
        return nullptr;
    }

    // The panel has the width it was given, every button is inside it (and inside the scroll area
    // that holds it).
    void expectFits(int width, const std::string& scene) {
        SCOPED_TRACE(scene);
        QApplication::processEvents();
        EXPECT_EQ(window.width(), width);
        EXPECT_LE(window.minimumSizeHint().width(), width);
        for (auto* button : window.findChildren<QAbstractButton*>()) {
            if (!button->isVisibleTo(&window))
                continue;
            const QRect at(button->mapTo(&window, QPoint(0, 0)), button->size());
            QRect visible = window.rect();
            bool scrolled = false;
            for (QWidget* up = button->parentWidget(); up && up != &window; up = up->parentWidget())
                if (auto* scroll = qobject_cast<QScrollArea*>(up)) {
                    const QWidget* port = scroll->viewport();
                    visible = visible.intersected(QRect(port->mapTo(&window, QPoint(0, 0)), port->size()));
                    scrolled = true;
                }
            const bool inside = at.left() >= visible.left() && at.right() <= visible.right() &&
                                (scrolled || (at.top() >= visible.top() && at.bottom() <= visible.bottom()));
            EXPECT_TRUE(inside) << button->accessibleName().left(40).toStdString() << " at " << at.x() << ","
                                << at.y() << " " << at.width() << "x" << at.height();
        }
    }

    const TintedLabel* summaryOf(const QWidget* sheet) const {
        const TintedLabel* summary = nullptr;
        for (const auto* label : sheet->findChildren<TintedLabel*>())
            summary = label->accessibleName() == QString::fromStdString(text()) ? label : summary;
        EXPECT_NE(summary, nullptr);
        return summary;
    }

    PanelWindow window;
    ContentView* content = nullptr;
};

TEST_P(HostileText, NeverWidensThePanelOrPushesAButtonOutNorOutOfANarrowAssignSheet) {
    content->lists()->setTab("all");  // titles, descriptions, callers and assignees; the teaser above
    ASSERT_NE(hostileRow(), nullptr);
    expectFits(800, "all");
    // The instance's own error text, in the red line above the list.
    demo.instance().failNext(4, 500, json{{"error", {{"message", text()}}}}.dump());
    ASSERT_TRUE(test::await(model->refresh()));
    ASSERT_TRUE(model->errorMessage().contains(QString::fromStdString(text()).left(6)));
    expectFits(800, "error");
    // A failed list cancels the ones not yet sent, so failures may be left for the next refreshes.
    for (int i = 0; i < 4 && !model->errorMessage().isNull(); ++i)
        ASSERT_TRUE(test::await(model->refresh()));
    ASSERT_TRUE(model->errorMessage().isNull()) << model->errorMessage().toStdString();

    ChipButton* memberChip = nullptr;
    for (auto* chip : content->findChildren<ChipButton*>())
        if (chip->kind() == ChipButton::Kind::member && chip->text().startsWith(QString::fromStdString(text()).left(4)))
            memberChip = chip;
    ASSERT_NE(memberChip, nullptr);
    QTest::mouseClick(memberChip, Qt::LeftButton);  // bold when selected: wider still
    ASSERT_EQ(content->lists()->tab(), kHostileUser);
    expectFits(800, "member");

    TaskRow* row = hostileRow();
    ASSERT_NE(row, nullptr);
    Q_EMIT row->closeRequested(row->task());
    ASSERT_EQ(content->middleArea(), MiddleArea::close);
    expectFits(800, "close");
    const TintedLabel* summary = summaryOf(content->middleWidget());  // fitted: long words broken anywhere
    ASSERT_TRUE(summary && !summary->shownLines().isEmpty());
    EXPECT_LE(summary->shownLines().size(), 2);
    Q_EMIT qobject_cast<Sheet*>(content->middleWidget())->done();

    row = hostileRow();
    ASSERT_NE(row, nullptr);
    const SNTask task = row->task();
    Q_EMIT row->assignRequested(task);
    auto* assign = qobject_cast<AssignView*>(content->middleWidget());
    ASSERT_NE(assign, nullptr);
    ASSERT_TRUE(test::spinUntil([&] { return assign->results().size() > 1; }));
    expectFits(800, "assign");

    // The assign sheet alone on a panel clamped to a narrow screen: its summary is shortened to the
    // width it has, so the buttons stay in view.
    QWidget narrow;
    auto* alone = new AssignView(task, model.get(), &narrow);
    narrow.setGeometry(0, 0, 480, 500);
    alone->setGeometry(narrow.rect());
    narrow.show();
    ASSERT_TRUE(test::spinUntil([&] { return alone->results().size() > 1; }));
    EXPECT_LE(alone->minimumSizeHint().width(), 480);
    for (QPushButton* button : {alone->confirmButton(), alone->cancelButton()})
        EXPECT_LE(button->mapTo(&narrow, QPoint(button->width(), 0)).x(), 480);
    summary = summaryOf(alone);  // read whole, shown shortened
    ASSERT_TRUE(summary && summary->shownLines().size() == 1);
    EXPECT_TRUE(summary->shownLines().front().endsWith(QChar(0x2026))) << summary->shownLines().front().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Strings, HostileText, ::testing::ValuesIn(kHostile),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace trayline::ui
