// The three sheets in light and dark palettes as PNG files under the build tree (screenshots/),
// for a person to look at.

#include <filesystem>

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QLayout>
#include <QScrollArea>
#include <QSignalSpy>

#include "desktop/models/updater.h"
#include "desktop/platform/login_item.h"
#include "desktop/ui/assign_view.h"
#include "desktop/ui/close_view.h"
#include "desktop/ui/settings_mcp_group.h"
#include "desktop/ui/settings_view.h"
#include "sheet_test_support.h"

namespace trayline {
namespace {

class SheetScreenshots : public test::SheetTest, public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        QApplication::setPalette(std::string(GetParam()) == "dark" ? test::darkPalette() : test::lightPalette());
        std::filesystem::create_directories(TRAYLINE_SCREENSHOT_DIR);
    }
    void TearDown() override { QApplication::setPalette(test::lightPalette()); }

    void save(QWidget& w, const std::string& what) {
        w.setAutoFillBackground(true);
        QApplication::processEvents();
        const std::string path = std::string(TRAYLINE_SCREENSHOT_DIR) + "/" + what + "-" + GetParam() + ".png";
        EXPECT_TRUE(w.grab().save(QString::fromStdString(path))) << path;
    }
};

TEST_P(SheetScreenshots, AssignCloseAndSettings) {
    const SNTask task = groupTask(true);
    AssignView assign(task, model.get(), nullptr, clock.scheduler());
    QSignalSpy answered(&assign, &AssignView::lookupAnswered);
    assign.resize(800, 460);
    assign.show();
    ASSERT_TRUE(answered.wait(15000));
    test::clickRow(assign.resultList(), "Priya Natarajan");
    save(assign, "assign");

    CloseView close(task, model.get());
    close.resize(800, 360);
    close.show();
    close.editor()->setPlainText("Replaced the battery under warranty.\nThe laptop charges and closes normally again.");
    save(close, "close");

    Updater updater;
    XdgAutostartItem loginItem("/opt/Trayline.app/Contents/bin/trayline");
    SettingsView settings(model.get(), &updater, &loginItem, nullptr, clock.scheduler(),
                          QStringLiteral("/home/alex/Apps/Trayline.app/Contents/bin/trayline"));
    settings.show();
    ASSERT_TRUE(test::spinUntil([&] { return settings.isLoaded(); }));
    settings.mcpGroup()->setExpanded(true);
    // The whole form at the panel's width, unscrolled, so every block is in the picture.
    auto* form = settings.findChild<QScrollArea*>()->widget();
    settings.resize(800, 600);
    QApplication::processEvents();
    settings.resize(800, form->layout()->totalHeightForWidth(form->width()) + 4);
    save(settings, "settings");
}

INSTANTIATE_TEST_SUITE_P(Themes, SheetScreenshots, ::testing::Values("light", "dark"));

}  // namespace
}  // namespace trayline
