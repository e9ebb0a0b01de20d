// Quiet hours and the shortcut in the panel, driven as a person would: the footer's bell and its
// menu, the line above the footer while paused, its "Resume", and the texts they show.

#include <filesystem>

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QPushButton>

#include "core/platform/preferences.h"
#include "core/settings/config.h"
#include "desktop/models/quiet_hours.h"
#include "desktop/ui/content_view.h"
#include "desktop/ui/quiet_controls.h"
#include "sheet_test_support.h"

namespace trayline::ui {
namespace {

using test::named;
using test::spinUntil;
namespace fs = std::filesystem;

class QuietPanelTest : public test::SheetTest, public ::testing::Test {
protected:
    QuietPanelTest() {
        makePanel();
        bell = named<QToolButton>(panel.get(), "Notifications");
        line = panel->findChild<PausedLine*>();
    }
    QStringList menuChoices() const {
        QStringList shown;
        for (auto* action : bell->menu()->actions())
            if (action->isVisible() && !action->isSeparator())
                shown << action->text();
        return shown;
    }
    void choose(const QString& text) {
        for (auto* action : bell->menu()->actions())
            if (action->text() == text && action->isVisible())
                return action->trigger();
        ADD_FAILURE() << "no menu choice " << text.toStdString();
    }
    bool lands(std::optional<std::int64_t> value) {
        return spinUntil([&] { return Config::notificationsPausedUntil() == value; }, 5000);
    }

    QToolButton* bell = nullptr;
    PausedLine* line = nullptr;
};

TEST_F(QuietPanelTest, TheBellPausesAndTheLineAboveTheFooterSaysUntilWhenWithResumeBesideIt) {
    const QStringList pauses{"Pause for 1 hour", "Pause until tomorrow", "Pause until I resume"};
    EXPECT_EQ(menuChoices(), pauses);
    ASSERT_NE(line, nullptr);
    EXPECT_FALSE(line->isVisible());

    const auto before = QDateTime::currentSecsSinceEpoch();
    choose("Pause for 1 hour");
    EXPECT_TRUE(line->isVisible()) << "at once";
    EXPECT_EQ(menuChoices(), pauses + QStringList{"Resume"});
    const auto until = model->pausedUntil().toSecsSinceEpoch();
    EXPECT_GE(until, before + 3600);
    EXPECT_LE(until, QDateTime::currentSecsSinceEpoch() + 3600);
    EXPECT_EQ(line->text(), pausedText(true, model->pausedUntil(), DateFormatter::current()));
    EXPECT_TRUE(line->text().startsWith("Notifications paused until "));
    EXPECT_LT(line->mapTo(panel.get(), QPoint()).y(), bell->mapTo(panel.get(), QPoint()).y()) << "above the footer";
    EXPECT_TRUE(lands(until));

    QTest::mouseClick(line->resumeButton(), Qt::LeftButton);
    EXPECT_FALSE(model->notificationsPaused());
    EXPECT_FALSE(line->isVisible());
    EXPECT_TRUE(lands(std::nullopt));

    choose("Pause until I resume");
    EXPECT_EQ(line->text(), "Notifications paused");
    EXPECT_TRUE(lands(NotificationPause::kUntilResumed));
    choose("Resume");
    EXPECT_FALSE(line->isVisible());
    EXPECT_TRUE(lands(std::nullopt));
    EXPECT_EQ(menuChoices(), pauses);
}

TEST_F(QuietPanelTest, APauseThatCannotBeStoredIsReportedAndNotShownAsPaused) {
    const fs::path prefs = PreferencesFile::forCurrentUser().path();
    const fs::path aside = prefs.string() + ".saved";
    fs::rename(prefs, aside);
    fs::create_directory(prefs);  // the file cannot be replaced now
    choose("Pause for 1 hour");
    ASSERT_TRUE(spinUntil([&] { return !model->quietHours()->errorMessage().isEmpty(); }, 5000));
    EXPECT_TRUE(model->quietHours()->errorMessage().startsWith("Couldn't pause notifications: "));
    EXPECT_FALSE(model->notificationsPaused());
    EXPECT_TRUE(line->isVisible()) << "the line carries the error";
    EXPECT_FALSE(line->resumeButton()->isVisible());
    fs::remove(prefs);
    fs::rename(aside, prefs);
    choose("Pause until I resume");
    ASSERT_TRUE(spinUntil([&] { return model->quietHours()->errorMessage().isEmpty(); }, 5000));
    EXPECT_TRUE(model->notificationsPaused());
    EXPECT_EQ(line->text(), "Notifications paused");
}

}  // namespace
}  // namespace trayline::ui
