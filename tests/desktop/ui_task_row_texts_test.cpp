// The task row's time texts, state colours and copy entries as tables.

#include <gtest/gtest.h>

#include "core/settings/config.h"
#include "desktop/ui/task_row_texts.h"
#include "support/temp_env.h"
#include "ui_test_support.h"

namespace trayline::ui {
namespace {

using test::field;

Instant at(const char* utc) { return *parseUtc(utc); }

struct UpdatedCase {
    long long secondsAgo;
    const char* expected;
};

class UpdatedText : public ::testing::TestWithParam<UpdatedCase> {};

TEST_P(UpdatedText, AmountAndUnitByAge) {
    const Instant now = at("2026-03-04 12:00:00");
    SNTask t;
    t.updatedOn = field(formatUtc(now - std::chrono::seconds(GetParam().secondsAgo)));
    EXPECT_EQ(updatedText(t, now), QString(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Ages, UpdatedText,
                         ::testing::Values(UpdatedCase{0, "updated 0m ago"},
                                           UpdatedCase{59, "updated 0m ago"},
                                           UpdatedCase{60, "updated 1m ago"},
                                           UpdatedCase{3599, "updated 59m ago"},
                                           UpdatedCase{3600, "updated 1h ago"},
                                           UpdatedCase{86399, "updated 23h ago"},
                                           UpdatedCase{86400, "updated 1d ago"},
                                           UpdatedCase{10 * 86400 + 5, "updated 10d ago"},
                                           UpdatedCase{-30, "updated 0m ago"},
                                           UpdatedCase{-600, "updated 0m ago"},
                                           UpdatedCase{-90000, "updated 0m ago"}));

TEST(UpdatedTextTest, AbsentWhenTheTimeDoesNotParse) {
    const Instant now = at("2026-03-04 12:00:00");
    for (const char* bad : {"", "2026-03-04", "2026-03-04T11:00:00", "yesterday"}) {
        SNTask t;
        t.updatedOn = field(bad, "4 Mar 2026");
        EXPECT_EQ(updatedText(t, now), std::nullopt) << bad;
    }
}

struct AgeCase {
    const char* name;
    const char* opened;  // request's opening time, UTC
    const char* now;
    const char* zone;
    const char* expected;
};

class AgeText : public ::testing::TestWithParam<AgeCase> {};

TEST_P(AgeText, DateAndWholeCalendarDays) {
    const AgeCase& c = GetParam();
    SNTask t;
    t.reqOpenedAt = field(c.opened);
    EXPECT_EQ(ageText(t, at(c.now), DateFormatter("en_US", c.zone)), QString(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Days, AgeText,
    ::testing::Values(
        AgeCase{"EarlierToday", "2025-06-03 08:00:00", "2025-06-03 17:00:00", "UTC",
                "Jun 3, 2025 (today)"},
        AgeCase{"OneDay", "2025-06-02 08:00:00", "2025-06-03 17:00:00", "UTC",
                "Jun 2, 2025 (1 day old)"},
        AgeCase{"LateYesterdayIsOneDay", "2025-06-02 23:30:00", "2025-06-03 00:10:00", "UTC",
                "Jun 2, 2025 (1 day old)"},
        AgeCase{"ThreeDays", "2025-05-31 20:00:00", "2025-06-03 09:00:00", "UTC",
                "May 31, 2025 (3 days old)"},
        AgeCase{"InTheFutureIsToday", "2025-06-05 08:00:00", "2025-06-03 17:00:00", "UTC",
                "Jun 5, 2025 (today)"},
        // 03:00 UTC is still the previous evening in New York.
        AgeCase{"UserTimeZone", "2025-06-03 03:00:00", "2025-06-03 15:00:00", "America/New_York",
                "Jun 2, 2025 (1 day old)"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(AgeTextTest, FallsBackToTheTaskOpeningAndIsAbsentWithoutEither) {
    const Instant now = at("2025-06-03 17:00:00");
    const DateFormatter dates("en_US", "UTC");
    SNTask t;
    EXPECT_EQ(ageText(t, now, dates), std::nullopt);
    t.reqOpenedAt = field("not a date");
    t.openedAt = field("2025-06-01 10:00:00");
    EXPECT_EQ(ageText(t, now, dates), QString("Jun 1, 2025 (2 days old)"));
}

TEST(StateColorTest, ByExactStateValue) {
    const std::vector<std::pair<std::string, NamedColor>> table{
        {"1", NamedColor::Blue},   {"2", NamedColor::Orange}, {"3", NamedColor::Cyan},
        {"5", NamedColor::Green},  {"-5", NamedColor::Purple}, {"4", NamedColor::Gray},
        {"", NamedColor::Gray},    {" 5", NamedColor::Gray},  {"05", NamedColor::Gray}};
    for (const auto& [value, colour] : table)
        EXPECT_EQ(stateColor(value), colour) << '"' << value << '"';
}

TEST(CopyMenuTest, EntriesInOrderWithOptionalNumbersAndLink) {
    test::TempProfile profile;
    Config::setInstanceURL("https://acme.service-now.com");
    const SNTask full = test::sampleTask();
    const auto entries = copyMenuEntries(full);
    std::vector<QString> titles;
    for (const auto& e : entries)
        titles.push_back(e.title);
    EXPECT_EQ(titles, (std::vector<QString>{"Copy REQ0030003", "Copy RITM0020002",
                                            "Copy SCTASK0010001", "", "Copy ticket text",
                                            "Copy description", "Copy link"}));
    EXPECT_EQ(entries[0].text, "REQ0030003");
    EXPECT_EQ(entries[4].text, QString::fromStdString(full.clipboardText()));
    EXPECT_EQ(entries[5].text, "The battery swells and the lid no longer closes.");
    EXPECT_EQ(entries[6].text, QString::fromStdString(*full.recordURL()));

    SNTask bare;
    bare.number = field("TASK1");
    bare.shortDescription = field("Only a title");
    Config::setInstanceURL("");
    const auto bareEntries = copyMenuEntries(bare);
    titles.clear();
    for (const auto& e : bareEntries)
        titles.push_back(e.title);
    EXPECT_EQ(titles, (std::vector<QString>{"Copy TASK1", "", "Copy ticket text",
                                            "Copy description"}));
    EXPECT_EQ(bareEntries[3].text, "Only a title");
}

}  // namespace
}  // namespace trayline::ui
