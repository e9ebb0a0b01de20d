// The panel against the demo instance, driven as a person would: chips, rows, sheets, sign-in,
// the list link; and screenshots of its states in light and dark palettes for a reviewer.

#include <filesystem>

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include "core/auth/token_store.h"
#include "core/settings/config.h"
#include "desktop/models/updater.h"
#include "desktop/platform/login_item.h"
#include "desktop/ui/assign_view.h"
#include "desktop/ui/chip_button.h"
#include "desktop/ui/content_view.h"
#include "desktop/ui/settings_view.h"
#include "desktop/ui/task_list_view.h"
#include "sheet_test_support.h"

namespace trayline::ui {
namespace {

using test::await;
using test::named;

class PanelTest : public test::SheetTest, public ::testing::Test {
protected:
    PanelTest() {
        test::ensureWidgetApp();
        Updater::Options options;
        options.feedURL = "file://" + (demo.profile().root() / "feed.json").string();
        options.runningVersion = "1.0";
        updater = std::make_unique<Updater>(options);
        makePanel();
    }
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
    // A label a person sees with exactly this text.
    bool showsText(const QString& text) {
        QApplication::processEvents();
        for (auto* label : panel->findChildren<QLabel*>())
            if (label->text() == text && label->isVisible())
                return true;
        return false;
    }
    ChipButton* chip(const QString& prefix) {
        for (auto* c : panel->findChildren<ChipButton*>())
            if (c->text().startsWith(prefix) && !c->isHidden())
                return c;
        ADD_FAILURE() << "no chip " << prefix.toStdString();
        return nullptr;
    }
    void offerUpdate(const std::string& notes) {
        test::writeFile(demo.profile().root() / "feed.json",
                        R"({"version":"2.0","url":"https://example.com/T.zip","sha256":"00","notes":)" +
                            nlohmann::json(notes).dump() + "}");
        updater->check(true);
        ASSERT_TRUE(test::spinUntil([&] { return updater->hasAvailable(); }));
    }

    XdgAutostartItem loginItem{"/opt/Trayline.app/Contents/bin/trayline", demo.profile().root() / "autostart"};
    std::unique_ptr<Updater> updater;
    std::unique_ptr<ContentView> panel;
    std::vector<QString> opened;
    int quits = 0;
};

TEST_F(PanelTest, TabsListTheirTasksWithTheAssigneeWhereItHelps) {
    EXPECT_EQ(chip("Mine (")->text(), QStringLiteral("Mine (%1)").arg(model->myTasks().size()));
    EXPECT_EQ(panel->lists()->rows().size(), model->myTasks().size());
    for (const auto& [label, showsAssignee] : std::vector<std::pair<QString, bool>>{
             {"All (", true}, {"Unassigned (", false}, {"Done ", true}, {"Mine (", false}}) {
        QTest::mouseClick(chip(label), Qt::LeftButton);
        const auto rows = panel->lists()->rows();
        ASSERT_FALSE(rows.empty()) << label.toStdString();
        // The assignee shows only where the tab mixes assignees.
        for (auto* row : rows)
            EXPECT_EQ(row->showsAssignee(), showsAssignee) << label.toStdString();
        EXPECT_TRUE(chip(label)->isSelected());
    }
}

TEST_F(PanelTest, MemberChipsCountTheQueueAndStayWhileSelected) {
    ASSERT_FALSE(model->members().empty());
    const auto busiest = visibleMembers(model->members(), model->groupTasks(), "mine").front();
    const QString first = QString::fromStdString(busiest.name).split(' ').front();
    auto* memberChip = chip(first + " (");
    QTest::mouseClick(memberChip, Qt::LeftButton);
    EXPECT_EQ(panel->lists()->rows().size(), static_cast<std::size_t>(memberTaskCount(model->groupTasks(), busiest.sysID)));
    // Its tasks all leave the queue: the chip stays, with (0), over an empty list.
    Config::setGroupStates("9");  // no task of the group is in such a state
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(chip(first + " (")->text(), first + QStringLiteral(" (0)"));
    EXPECT_TRUE(panel->lists()->rows().empty());
    EXPECT_TRUE(showsText(QStringLiteral("No tasks \U0001F389")));
    // Members without tasks come and go with the toggle.
    auto* toggle = named<ChipButton>(panel.get(), QStringLiteral("Show members without tasks"));
    QTest::mouseClick(toggle, Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_NE(named<ChipButton>(panel.get(), QStringLiteral("Hide empty tabs")), nullptr);
}

TEST_F(PanelTest, RowActionsOpenTheSheetsAndOpenListUsesTheTab) {
    QTest::mouseClick(chip("Unassigned ("), Qt::LeftButton);
    auto* row = panel->lists()->rows().front();
    Q_EMIT row->assignRequested(row->task());
    EXPECT_EQ(panel->middleArea(), MiddleArea::assign);
    // Settings over a pending assignment, then back to it.
    auto* settings = named<QToolButton>(panel.get(), QStringLiteral("Settings"));
    QTest::mouseClick(settings, Qt::LeftButton);
    EXPECT_EQ(panel->middleArea(), MiddleArea::settings);
    QTest::mouseClick(settings, Qt::LeftButton);
    EXPECT_EQ(panel->middleArea(), MiddleArea::assign);
    Q_EMIT qobject_cast<Sheet*>(panel->middleWidget())->done();
    EXPECT_EQ(panel->middleArea(), MiddleArea::lists);

    QTest::mouseClick(named<QPushButton>(panel.get(), QStringLiteral("Open list")), Qt::LeftButton);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].startsWith(QString::fromStdString(Config::instanceURL()) +
                                      "/nav_to.do?uri=sc_task_list.do%3Fsysparm_query%3Dassignment_group%3D"));
    QTest::mouseClick(named<QPushButton>(panel.get(), QStringLiteral("Quit")), Qt::LeftButton);
    EXPECT_EQ(quits, 1);
}

TEST_F(PanelTest, SettingsButtonDiscardsEditsButUnconfiguredKeepsTheSheet) {
    auto* settings = named<QToolButton>(panel.get(), QStringLiteral("Settings"));
    QTest::mouseClick(settings, Qt::LeftButton);
    auto* sheet = qobject_cast<SettingsView*>(panel->middleWidget());
    ASSERT_NE(sheet, nullptr);
    QTest::mouseClick(settings, Qt::LeftButton);
    QTest::mouseClick(settings, Qt::LeftButton);
    EXPECT_NE(panel->middleWidget(), sheet);  // a fresh sheet: the edits went with the old one

    Config::setClientID("");
    ASSERT_TRUE(await(model->recheckReadiness()));
    ASSERT_EQ(panel->middleArea(), MiddleArea::settings);
    auto* unconfigured = panel->middleWidget();
    QTest::mouseClick(settings, Qt::LeftButton);
    EXPECT_EQ(panel->middleWidget(), unconfigured);  // stays, with what was typed
}

TEST_F(PanelTest, SignedOutShowsThePromptAndASignInFailureUnderIt) {
    model->auth()->signOut();
    EXPECT_EQ(panel->middleArea(), MiddleArea::signIn);
    EXPECT_FALSE(named<QToolButton>(panel.get(), QStringLiteral("Refresh now"))->isEnabled());
    Config::setClientID("");  // the sign-in fails at once with its own text
    QTest::mouseClick(named<QPushButton>(panel.get(), QStringLiteral("Sign in")), Qt::LeftButton);
    ASSERT_TRUE(test::spinUntil(
        [&] { return showsText(QStringLiteral("Fill in instance URL, client ID and client secret in Settings first.")); }));
    EXPECT_TRUE(named<QPushButton>(panel.get(), QStringLiteral("Sign in"))->isEnabled());
}

TEST_F(PanelTest, BannerOffersTheUpdateUntilDismissed) {
    offerUpdate("# 2.0\n- Faster refresh\n- More");
    EXPECT_TRUE(showsText(QStringLiteral("Version 2.0 is available")));
    EXPECT_TRUE(showsText(QStringLiteral("Faster refresh")));
    QTest::mouseClick(named<QPushButton>(panel.get(), QStringLiteral("What's new")), Qt::LeftButton);
    EXPECT_EQ(panel->middleArea(), MiddleArea::updateNotes);
    QTest::mouseClick(named<QPushButton>(panel.get(), QStringLiteral("Later")), Qt::LeftButton);
    EXPECT_FALSE(showsText(QStringLiteral("Version 2.0 is available")));
    EXPECT_EQ(panel->middleArea(), MiddleArea::updateNotes);  // open notes stay until their back button

}

TEST_F(PanelTest, TabGoesTopToBottomThroughHeaderChipsRowsAndFooter) {
    QApplication::processEvents();
    QTest::qWait(20);
    const auto order = test::tabOrder(named<QToolButton>(panel.get(), QStringLiteral("Refresh now")));
    auto at = [&](const std::string& name) {
        return std::find(order.begin(), order.end(), name) - order.begin();
    };
    ASSERT_LT(at("Settings"), static_cast<long>(order.size()));
    EXPECT_LT(at("Refresh now"), at("Settings"));
    EXPECT_LT(at("Settings"), at(chip("Mine (")->text().toStdString()));
    EXPECT_LT(at(chip("Mine (")->text().toStdString()), at("Copy the whole ticket as text"));
    EXPECT_LT(at("Copy the whole ticket as text"), at("Open list"));
    EXPECT_LT(at("Open list"), at("Quit"));
}

// Screenshots for a person to look at: the tabs, the sign-in prompt, the banner and an error line.
class PanelScreenshots : public PanelTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PanelScreenshots, States) {
    const bool dark = std::string(GetParam()) == "dark";
    QApplication::setPalette(dark ? test::darkPalette() : test::lightPalette());
    makePanel();  // as the desktop starts it: under its palette
    const std::filesystem::path dir = TRAYLINE_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    auto save = [&](const std::string& what) {
        QApplication::processEvents();
        EXPECT_TRUE(panel->grab().save(QString::fromStdString((dir / ("panel-" + what + "-" + GetParam() + ".png")).string())));
    };
    save("mine");
    QTest::mouseClick(chip("All ("), Qt::LeftButton);
    save("all");
    QTest::mouseClick(chip("Done "), Qt::LeftButton);
    save("done");
    offerUpdate("- Faster refresh");
    demo.instance().failNext(4, 500, R"({"error":{"message":"Instance hibernating"}})");
    ASSERT_TRUE(await(model->refresh()));
    QTest::mouseClick(chip("Mine ("), Qt::LeftButton);
    EXPECT_TRUE(showsText(QStringLiteral("Faster refresh")));
    save("banner-error");
    model->auth()->signOut();
    save("sign-in");
    QApplication::setPalette(test::lightPalette());
}

INSTANTIATE_TEST_SUITE_P(Palettes, PanelScreenshots, ::testing::Values("light", "dark"));

}  // namespace
}  // namespace trayline::ui
