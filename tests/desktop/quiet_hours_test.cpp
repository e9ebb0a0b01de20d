// Quiet hours in the queue model, on an injected clock, posting to a stand-in notification service
// (run inside dbus-run-session): while paused nothing is announced and the lists still move; the
// pause ends by itself at its time; nothing that arrived during it is announced after.

#include "core/settings/notification_pause.h"
#include "desktop/models/background.h"
#include "desktop/models/quiet_hours.h"
#include "notification_server.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::await;
using test::holds;
using test::spinUntil;

struct Row {
    PauseChoice choice;
    std::optional<const char*> end;  // UTC; none: until resumed
};

class QuietHoursTest : public test::NotificationTest {
protected:
    void SetUp() override {
        NotificationTest::SetUp();
        if (IsSkipped())
            return;
        saved_ = DateFormatter::current();
        DateFormatter::setCurrent(DateFormatter("en_US", "Europe/Berlin"));
        AppModel::Options options{notifier.get(), 1h, {[](const std::string&) {}, 0}, false};
        options.clock = [this] { return clock; };
        model = std::make_unique<AppModel>(options);
        ASSERT_TRUE(await(model->refresh()));
    }
    void TearDown() override { DateFormatter::setCurrent(saved_); }

    std::string arrive(bool mine) {
        return demo.instance().insertTask(mine ? nlohmann::json{{"assigned_to", demo::kDemoUserSysId}}
                                               : nlohmann::json::object());
    }
    bool stored(std::optional<std::int64_t> value) {
        return spinUntil([&] { return Config::notificationsPausedUntil() == value; }, 5000);
    }

    Instant clock = *parseUtc("2026-03-28 21:30:00");
    std::unique_ptr<AppModel> model;
    DateFormatter saved_;
};

class QuietHoursChoiceTest : public QuietHoursTest, public ::testing::WithParamInterface<Row> {};

TEST_P(QuietHoursChoiceTest, SilencesBothKindsWhileTheListsMoveThenEndsWithTheBaselineMovedOn) {
    const auto& row = GetParam();
    QSignalSpy changed(model.get(), &AppModel::notificationsPausedChanged);
    model->quietHours()->pause(row.choice);
    EXPECT_TRUE(model->notificationsPaused()) << "at once, before the file is written";
    EXPECT_EQ(changed.count(), 1);
    const std::int64_t value =
        row.end ? std::chrono::duration_cast<std::chrono::seconds>(parseUtc(*row.end)->time_since_epoch()).count()
                : NotificationPause::kUntilResumed;
    ASSERT_TRUE(stored(value));
    EXPECT_EQ(model->pausedUntil(), row.end ? QDateTime::fromSecsSinceEpoch(value) : QDateTime());

    const auto mine = arrive(true), queued = arrive(false);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(posted().isEmpty());
    EXPECT_TRUE(holds(model->myTasks(), mine) && holds(model->groupTasks(), queued)) << "the lists still move";

    if (row.end) {
        const Instant end = *parseUtc(*row.end);
        clock = end - 20ms;  // the timer is armed on the boot-time clock for what is left
        model->quietHours()->reload();
        EXPECT_TRUE(model->notificationsPaused());
        clock = end;
        ASSERT_TRUE(spinUntil([&] { return !model->notificationsPaused(); }, 5000)) << "ends by itself at its time";
        EXPECT_EQ(Config::notificationsPausedUntil(), value) << "a past time simply reads as not paused";
    } else {
        clock += std::chrono::hours(24 * 30);
        EXPECT_TRUE(model->quietHours()->reload());
        model->quietHours()->resume();
        EXPECT_FALSE(model->notificationsPaused());
        ASSERT_TRUE(stored(std::nullopt));
    }
    EXPECT_EQ(changed.count(), 2);
    EXPECT_FALSE(model->pausedUntil().isValid());

    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(posted().isEmpty()) << "what arrived during the pause stays unannounced";
    const auto after = arrive(false);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_EQ(posted(), QStringList{"New request: " + numberOf(after)});
}

INSTANTIATE_TEST_SUITE_P(MenuChoices, QuietHoursChoiceTest,
                         // When each choice ends is the pause's own test (notification_pause_test.cpp).
                         ::testing::Values(Row{PauseChoice::oneHour, "2026-03-28 22:30:00"},
                                           Row{PauseChoice::untilResumed, std::nullopt}));

// A refresh that overlaps a pause, at either end, saw its arrivals during the pause.
TEST_F(QuietHoursTest, ARefreshOverlappingAPauseAnnouncesNothing) {
    demo.instance().setLatency(150ms);
    model->quietHours()->pause(PauseChoice::untilResumed);
    arrive(false);
    auto pausedAtStart = model->refresh();
    model->quietHours()->resume();
    ASSERT_TRUE(await(pausedAtStart));
    arrive(true);
    auto pausedAtEnd = model->refresh();
    model->quietHours()->pause(PauseChoice::oneHour);
    ASSERT_TRUE(await(pausedAtEnd));
    EXPECT_TRUE(posted().isEmpty());
}

// Quitting waits for the writes the user asked for, but no longer runs the event loop that would
// start a choice queued behind another: "Pause", "Resume", quit must end resumed.
TEST_F(QuietHoursTest, AChoiceQueuedBehindAWriteIsStoredBeforeQuitting) {
    model->quietHours()->pause(PauseChoice::untilResumed);
    model->quietHours()->resume();
    ASSERT_TRUE(waitForWrites(5000));
    EXPECT_EQ(Config::notificationsPausedUntil(), std::nullopt);
}

// Another process (or a person editing the file) pauses and resumes: the next refresh obeys.
TEST_F(QuietHoursTest, APauseStoredElsewhereAppliesAtTheNextRefresh) {
    QSignalSpy changed(model.get(), &AppModel::notificationsPausedChanged);
    Config::setNotificationsPausedUntil(NotificationPause::kUntilResumed);
    arrive(false);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_TRUE(posted().isEmpty());
    EXPECT_TRUE(model->notificationsPaused());
    Config::clearNotificationsPausedUntil();
    const auto after = arrive(false);
    ASSERT_TRUE(await(model->refresh()));
    EXPECT_FALSE(model->notificationsPaused());
    EXPECT_EQ(changed.count(), 2);
    EXPECT_EQ(posted(), QStringList{"New request: " + numberOf(after)});
}

}  // namespace
}  // namespace trayline
