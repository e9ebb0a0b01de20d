// Quiet hours in the preferences: what each choice stores and what a stored value means.

#include <gtest/gtest.h>

#include "core/platform/preferences.h"
#include "core/settings/config.h"
#include "core/settings/notification_pause.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

using namespace std::chrono;
using nlohmann::json;

Instant utc(const char* text) { return *parseUtc(text); }
std::int64_t secs(Instant t) { return duration_cast<seconds>(t.time_since_epoch()).count(); }

struct ChoiceRow {
    PauseChoice choice;
    const char* now;  // UTC
    const char* zone;
    std::optional<const char*> end;  // UTC; none: until resumed
};

class PauseChoiceTest : public ::testing::TestWithParam<ChoiceRow> {
protected:
    test::TempProfile profile;
};

TEST_P(PauseChoiceTest, StoresItsValueKeepsOtherKeysAndEndsAtItsTime) {
    const auto& row = GetParam();
    const Instant now = utc(row.now);
    PreferencesFile::forCurrentUser().set("pollMinutes", 7);
    NotificationPause::pause(row.choice, now, row.zone);
    const auto stored = PreferencesFile::forCurrentUser().read();
    EXPECT_EQ(stored["pollMinutes"], 7);
    EXPECT_EQ(stored["notificationsPausedUntil"], row.end ? secs(utc(*row.end)) : -1);

    const auto pause = NotificationPause::current(now);
    EXPECT_TRUE(pause.paused);
    EXPECT_EQ(pause.until, row.end ? std::optional(secs(utc(*row.end))) : std::nullopt);
    if (row.end) {
        const Instant end = utc(*row.end);
        EXPECT_EQ(pause.remaining(now), duration_cast<milliseconds>(end - now));
        EXPECT_TRUE(NotificationPause::current(end - milliseconds(1)).paused);
        EXPECT_FALSE(NotificationPause::current(end).paused) << "it ends at its time, by itself";
    } else {
        EXPECT_EQ(pause.remaining(now), std::nullopt);
        EXPECT_TRUE(NotificationPause::current(now + hours(24 * 400)).paused);
    }
    NotificationPause::resume();
    EXPECT_FALSE(NotificationPause::current(now).paused);
    EXPECT_EQ(PreferencesFile::forCurrentUser().read(), json({{"pollMinutes", 7}}));
}

INSTANTIATE_TEST_SUITE_P(
    Choices, PauseChoiceTest,
    ::testing::Values(
        ChoiceRow{PauseChoice::oneHour, "2026-03-28 21:30:00", "Europe/Berlin", "2026-03-28 22:30:00"},
        // 08:00 the next day in the user's zone: the clocks go forward that night in Berlin, so
        // 08:00 CEST is 06:00 UTC; in New York, an evening is already the next day in UTC.
        ChoiceRow{PauseChoice::untilTomorrow, "2026-03-28 21:30:00", "Europe/Berlin", "2026-03-29 06:00:00"},
        ChoiceRow{PauseChoice::untilTomorrow, "2026-06-10 01:30:00", "America/New_York", "2026-06-10 12:00:00"},
        // Half past midnight is already "today": tomorrow is the day after.
        ChoiceRow{PauseChoice::untilTomorrow, "2026-06-09 22:30:00", "Europe/Berlin", "2026-06-11 06:00:00"},
        ChoiceRow{PauseChoice::untilResumed, "2026-03-28 21:30:00", "Europe/Berlin", std::nullopt}));

TEST(NotificationPause, APastTimeOrAnUnreadableValueIsNotAPause) {
    test::TempProfile profile;
    const Instant now = utc("2026-06-01 12:00:00");
    const std::int64_t t = secs(now);
    const std::tuple<json, bool, std::optional<std::int64_t>> rows[] = {
        {-1, true, std::nullopt},          {t + 60, true, t + 60},
        {INT64_MAX, true, INT64_MAX},      {t, false, std::nullopt},
        {t - 60, false, std::nullopt},     {0, false, std::nullopt},
        {-2, false, std::nullopt},         {json(t + 60.5), false, std::nullopt},
        {std::to_string(t + 60), false, std::nullopt}, {true, false, std::nullopt},
        {json::array({t + 60}), false, std::nullopt},  {json(UINT64_MAX), false, std::nullopt},
        {nullptr, false, std::nullopt}};
    for (const auto& [stored, paused, until] : rows) {
        PreferencesFile::forCurrentUser().set("notificationsPausedUntil", stored);
        const auto pause = NotificationPause::current(now);
        EXPECT_EQ(pause.paused, paused) << stored;
        EXPECT_EQ(pause.until, until) << stored;
    }
    EXPECT_FALSE(NotificationPause::interpret(std::nullopt, now).paused) << "no key";
    // A remaining time far past what milliseconds hold is not an overflow.
    EXPECT_GT(NotificationPause::interpret(INT64_MAX, now).remaining(now), hours(24 * 365 * 1000));
}

}  // namespace
}  // namespace trayline
