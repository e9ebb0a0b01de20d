// Screenshots of every view for a person to look at, in the light and the dark palette: the panel
// on its tabs, the sheets, the banner with an error, the sign-in prompt, task rows, release notes
// and the tray picture at every size. Not a test: scripts/screenshots builds and runs it, and the
// pictures land in the directory it is given (build/screenshots by default).

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QStyle>
#include <QVBoxLayout>

#include "core/settings/config.h"
#include "desktop/ui/assign_view.h"
#include "desktop/ui/changelog_view.h"
#include "desktop/ui/chip_button.h"
#include "desktop/ui/close_view.h"
#include "desktop/ui/content_view.h"
#include "desktop/ui/settings_mcp_group.h"
#include "desktop/ui/settings_view.h"
#include "desktop/ui/task_list_view.h"
#include "desktop/ui/tray_icon.h"
#include "sheet_test_support.h"

namespace trayline::ui {
namespace {

using test::await;
using test::field;

QPalette paletteOf(QColor window, QColor text, QColor base, QColor highlight) {
    QPalette p(window, window);  // button and window; the rest derived, then the roles we read
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(role, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::Highlight, highlight);
    p.setColor(QPalette::HighlightedText, Qt::white);
    return p;
}
QPalette lightPalette() { return paletteOf(0xececec, 0x1d1d1f, Qt::white, 0x2f6fde); }
QPalette darkPalette() { return paletteOf(0x242424, 0xf0f0f0, 0x1b1b1b, 0x3d7dd8); }

std::filesystem::path outputDir() {
    const char* dir = std::getenv("TRAYLINE_SCREENSHOT_DIR");
    return dir && *dir ? dir : "screenshots";
}

class Screenshots : public test::SheetTest, public ::testing::TestWithParam<const char*> {
protected:
    Screenshots() {
        QApplication::setPalette(std::string(GetParam()) == "dark" ? darkPalette() : lightPalette());
        makePanel();
    }
    ~Screenshots() override { QApplication::setPalette(QApplication::style()->standardPalette()); }
    template <class W>
    W* kept(W* view) {  // until the test ends
        views.emplace_back(view);
        return view;
    }

    std::vector<std::unique_ptr<QWidget>> views;
};

TEST_P(Screenshots, EveryView) {
    const SNTask withItem = groupTask(true);  // before the big queue pushes it past the first 100 rows
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
        {"panel-big-queue", [&] {
             // Longer than its rows, and one assignee the access rules hide.
             for (int i = 0; i < 120; ++i)
                 demo.instance().insertTask({{"short_description", "Queued request " + std::to_string(i)}});
             demo.instance().control({{"action", "acl"},
                                      {"hidden_fields", {{"assigned_to", {model->groupTasks().front().id()}}}}});
             EXPECT_TRUE(await(model->refresh()));
             return QTest::mouseClick(chip("All ("), Qt::LeftButton), panel.get();
         }},
        {"panel-rate-limited", [&] {
             demo.instance().control({{"action", "fail_next"}, {"count", 4}, {"status", 429},
                                      {"body", R"({"error":{"message":"Rate limit exceeded"}})"},
                                      {"headers", {{"Retry-After", "1800"}}}});
             EXPECT_TRUE(await(model->refresh()));
             return panel.get();
         }},
        {"assign", [&] {
             auto* assign = kept(new AssignView(withItem, model.get(), nullptr, clock.scheduler()));
             QSignalSpy answered(assign, &AssignView::lookupAnswered);
             assign->resize(800, 460);
             assign->show();
             EXPECT_TRUE(answered.wait(15000));
             test::clickRow(assign->resultList(), "Priya Natarajan");
             return assign;
         }},
        {"close", [&] {
             auto* close = kept(new CloseView(withItem, model.get()));
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
    const std::filesystem::path dir = outputDir();
    std::filesystem::create_directories(dir);
    for (const auto& [name, build] : scenes) {
        QWidget* view = build();
        view->setAutoFillBackground(true);
        view->show();
        QApplication::processEvents();
        const auto path = dir / (std::string(name) + "-" + GetParam() + ".png");
        EXPECT_TRUE(view->grab().save(QString::fromStdString(path.string()))) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Palettes, Screenshots, ::testing::Values("light", "dark"));

// The tray picture at every size on a light and a dark panel, as drawn and enlarged.
TEST(TrayIcon, EverySize) {
    const TrayIconPainter painter;
    const TrayCounts rows[] = {{0, 0, false},
                               {7, 42, false},
                               {99, 100, false},
                               {1234, 100000, false},
                               {3, 12, true},
                               {3, 12, false, TrayFreshness::stale},
                               {3, 12, false, TrayFreshness::rateLimited},
                               {3, 12, false, TrayFreshness::signedOut}};
    const int width = 8 + static_cast<int>(kTrayIconSizes.size()) * 72;
    for (const auto& [panel, name] : {std::pair{QColor(0xececec), "light"}, std::pair{QColor(0x2b2b2b), "dark"}}) {
        QImage sheet(width, 8 + static_cast<int>(std::size(rows)) * 72, QImage::Format_RGB32);
        sheet.fill(panel);
        QPainter p(&sheet);
        for (std::size_t r = 0; r < std::size(rows); ++r)
            for (std::size_t s = 0; s < kTrayIconSizes.size(); ++s)
                p.drawImage(QPoint(8 + static_cast<int>(s) * 72, 8 + static_cast<int>(r) * 72),
                            painter.render(rows[r], kTrayIconSizes[s]));
        p.end();
        QImage zoomed(22 * 8 * 5 + 40, 22 * 8 + 16, QImage::Format_RGB32);
        zoomed.fill(panel);
        QPainter z(&zoomed);
        for (std::size_t r = 0; r < 5; ++r)
            z.drawImage(QRect(8 + static_cast<int>(r) * (22 * 8 + 8), 8, 22 * 8, 22 * 8),
                        painter.render(rows[r], 22));
        z.end();
        const std::filesystem::path dir = outputDir();
        std::filesystem::create_directories(dir);
        EXPECT_TRUE(sheet.save(QString::fromStdString((dir / ("tray-icon-sizes-" + std::string(name) + ".png")).string())));
        EXPECT_TRUE(zoomed.save(QString::fromStdString((dir / ("tray-icon-22-zoomed-" + std::string(name) + ".png")).string())));
    }
}

}  // namespace
}  // namespace trayline::ui
