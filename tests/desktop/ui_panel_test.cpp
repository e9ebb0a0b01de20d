// The panel against the demo instance, driven as a person would: chips, rows, sheets, sign-in, the
// update banner and the list link. And every view in light and dark palettes as PNG files under the
// build tree (screenshots/), for a person to look at; painting them also shows nothing crashes, and
// the named colours are checked for contrast in both.

#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QVBoxLayout>

#include <nlohmann/json.hpp>

#include "core/settings/config.h"
#include "desktop/ui/assign_view.h"
#include "desktop/ui/changelog_view.h"
#include "desktop/ui/chip_button.h"
#include "desktop/ui/close_view.h"
#include "desktop/ui/content_view.h"
#include "desktop/ui/tray_icon.h"
#include "desktop/ui/settings_mcp_group.h"
#include "desktop/ui/settings_view.h"
#include "desktop/ui/task_list_view.h"
#include "sheet_test_support.h"

namespace trayline::ui {
namespace {

using test::await;
using test::field;
using test::named;

// The panel on the lists, with its links and quit caught here.
class PanelTest : public test::SheetTest {
protected:
    PanelTest() { makePanel(); }
    // A new panel, as the desktop starts it: under the palette set now.
    void makePanel() {
        ContentView::Services services;
        services.rows.openUrl = [this](const QUrl& url) { opened.push_back(url.toString(QUrl::FullyEncoded)); };
        services.quit = [this] { ++quits; };
        services.loginItem = &loginItem;
        panel = std::make_unique<ContentView>(model.get(), updater.get(), services);
        panel->resize(800, 700);
        panel->show();
        EXPECT_TRUE(test::spinUntil([&] { return panel->middleArea() == MiddleArea::lists; }));
    }
    // The visible chip whose text starts with `prefix`.
    ChipButton* chip(const QString& prefix) {
        for (auto* c : panel->findChildren<ChipButton*>())
            if (c->text().startsWith(prefix) && !c->isHidden())
                return c;
        ADD_FAILURE() << "no chip " << prefix.toStdString();
        return nullptr;
    }
    QAbstractButton* button(const char* name) { return named<QAbstractButton>(panel.get(), name); }
    // A label a person sees with exactly this text.
    bool showsText(const QString& text) {
        QApplication::processEvents();
        for (auto* label : panel->findChildren<QLabel*>())
            if (label->text() == text && label->isVisible())
                return true;
        return false;
    }
    // Makes the feed offer version 2.0 with these notes, and waits until the updater has seen it.
    void offerUpdate(const std::string& notes) {
        const auto feed = demo.profile().root() / "feed.json";
        test::writeFile(feed, R"({"version":"2.0","url":"https://example.com/T.zip","sha256":"00","notes":)" +
                                  nlohmann::json(notes).dump() + "}");
        Config::setUpdateFeedURL("file://" + feed.string());
        updater->check(true);
        EXPECT_TRUE(test::spinUntil([&] { return updater->hasAvailable(); }));
    }

    std::unique_ptr<ContentView> panel;
    std::vector<QString> opened;
    int quits = 0;
};

class Panel : public PanelTest, public ::testing::Test {};

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

// A package's copy is updated by the package manager: the banner says so and offers no install.
TEST_F(Panel, APackagesBannerPointsToThePackageManager) {
    Updater::Options packaged;
    packaged.firstDelay = std::chrono::hours(1);
    packaged.runningVersion = "1.0";
    packaged.installsUpdates = false;
    panel.reset();
    updater = std::make_unique<Updater>(std::move(packaged));
    makePanel();
    offerUpdate("- Faster refresh");
    EXPECT_TRUE(showsText(QStringLiteral("Version 2.0 is available. Update it with your package manager.")));
    for (auto* b : panel->findChildren<QAbstractButton*>())
        EXPECT_FALSE(b->accessibleName() == "Update & Relaunch" && b->isVisible());
    EXPECT_TRUE(button("What's new")->isVisible());
    QTest::keyClick(panel.get(), Qt::Key_Return);  // the banner's default action is not there either
    EXPECT_FALSE(updater->isChecking());
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

class Screenshots : public PanelTest, public ::testing::TestWithParam<const char*> {
protected:
    Screenshots() {
        QApplication::setPalette(std::string(GetParam()) == "dark" ? test::darkPalette() : test::lightPalette());
        makePanel();
    }
    ~Screenshots() override { QApplication::setPalette(test::lightPalette()); }
    template <class W>
    W* kept(W* view) {  // until the test ends
        views.emplace_back(view);
        return view;
    }

    std::vector<std::unique_ptr<QWidget>> views;
};

TEST_P(Screenshots, EveryViewPaints) {
    const std::pair<const char*, std::function<QWidget*()>> scenes[] = {
        {"rows", [&] {  // tray pictures for no, few and many tasks; a request-backed, a closed and a plain task
             auto* rows = kept(new QWidget);
             auto* column = new QVBoxLayout(rows);
             const TrayIconPainter painter;
             for (auto [mine, unassigned] : {std::pair{0, 0}, std::pair{3, 0}, std::pair{1234, 56}}) {
                 column->addWidget(new QLabel);
                 static_cast<QLabel*>(column->itemAt(column->count() - 1)->widget())
                     ->setPixmap(QPixmap::fromImage(painter.render({mine, unassigned, false}, 22)));
             }
             SNTask closed = test::sampleTask(), plain;
             closed.state = field("5", "Closed Complete");
             closed.ritmShortDescription = field("Onboarding for the new finance team: accounts, laptops, VPN tokens");
             plain.number = field("TASK0000042");
             plain.shortDescription = field("Reset password");
             plain.state = field("-5", "Pending");
             const TaskRow::Services services{{}, [] { return *parseUtc("2026-03-04 12:00:00"); }, {},
                                              [] { return DateFormatter("en_US", "UTC"); }};
             for (const SNTask& task : {test::sampleTask(), closed, plain})
                 column->addWidget(new TaskRow(task, task.state.value == "5", nullptr, services));
             rows->setFixedWidth(800);
             return rows;
         }},
        {"release-notes", [&] {
             auto* notes = kept(new ChangelogView("Trayline v1.4.0", "# 1.4.0\n\n## Added\n- Copy the ticket from every row."
                                                  "\n- **Literal** markup\n### Tray\nPlain <b>angle</b>\n  indented"));
             notes->resize(800, 300);
             return notes;
         }},
        {"panel-mine", [&] { return panel.get(); }},
        {"panel-all", [&] { return QTest::mouseClick(chip("All ("), Qt::LeftButton), panel.get(); }},
        {"panel-done", [&] { return QTest::mouseClick(chip("Done "), Qt::LeftButton), panel.get(); }},
        {"assign", [&] {
             auto* assign = kept(new AssignView(groupTask(true), model.get(), nullptr, clock.scheduler()));
             QSignalSpy answered(assign, &AssignView::lookupAnswered);
             assign->resize(800, 460);
             assign->show();
             EXPECT_TRUE(answered.wait(15000));
             test::clickRow(assign->resultList(), "Priya Natarajan");
             return assign;
         }},
        {"close", [&] {
             auto* close = kept(new CloseView(groupTask(true), model.get()));
             close->resize(800, 360);
             close->editor()->setPlainText("Replaced the battery under warranty.\nThe lid closes again.");
             return close;
         }},
        {"settings", [&] {
             auto* settings = kept(new SettingsView(model.get(), updater.get(), &loginItem, nullptr, clock.scheduler(),
                                                    "/home/alex/Apps/Trayline.app/Contents/bin/trayline"));
             settings->resize(800, 1100);  // the whole form, unscrolled, so every block is in the picture
             settings->show();
             EXPECT_TRUE(test::spinUntil([&] { return settings->isLoaded(); }));
             settings->mcpGroup()->setExpanded(true);
             return settings;
         }},
        {"panel-banner-error", [&] {
             offerUpdate("- Faster refresh");
             demo.instance().failNext(4, 500, R"({"error":{"message":"Instance hibernating"}})");
             EXPECT_TRUE(await(model->refresh()));
             return QTest::mouseClick(chip("Mine ("), Qt::LeftButton), panel.get();
         }},
        {"panel-sign-in", [&] { return model->auth()->signOut(), panel.get(); }},
    };
    const std::filesystem::path dir = TRAYLINE_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    for (const auto& [name, build] : scenes) {
        QWidget* view = build();
        view->setAutoFillBackground(true);
        view->show();
        QApplication::processEvents();
        const auto path = dir / (std::string(name) + "-" + GetParam() + ".png");
        EXPECT_TRUE(view->grab().save(QString::fromStdString(path.string()))) << path;
    }
    // What a look would check besides: the named colours are readable on the window (WCAG contrast).
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

INSTANTIATE_TEST_SUITE_P(Palettes, Screenshots, ::testing::Values("light", "dark"));

}  // namespace
}  // namespace trayline::ui
