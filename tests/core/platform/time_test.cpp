#include "core/platform/time.h"

#include <gtest/gtest.h>

namespace trayline {
namespace {

TEST(Time, ParsesOnlyTheExactStoredFormAndFormatsItBack) {
    const std::pair<const char*, long long> rows[] = {  // -1: must not parse
        {"2025-03-03 14:05:09", 1741010709}, {"1970-01-01 00:00:00", 0},
        {"2024-02-29 23:59:59", 1709251199}, {"2023-02-29 10:00:00", -1},
        {"2000-02-29 00:00:00", 951782400},  {"2100-02-29 00:00:00", -1},
        {"2025-04-31 10:00:00", -1},         {"0001-01-01 00:00:00", -1},
        {"9999-12-31 23:59:59", -1},         {"2025-13-01 10:00:00", -1},
        {"2025-03-03T14:05:09", -1},         {"2025-03-03 14:05", -1},
        {"2025-03-03 14:05:09Z", -1},        {"2025-03-03 24:00:00", -1},
        {"", -1},                            {"2025-0a-03 14:05:09", -1},
    };
    for (const auto& [text, unix] : rows) {
        const auto parsed = parseUtc(text);
        using namespace std::chrono;
        EXPECT_EQ(parsed ? duration_cast<seconds>(parsed->time_since_epoch()).count() : -1, unix) << text;
        EXPECT_EQ(parsed ? formatUtc(*parsed) : text, text);
    }
}

TEST(Time, ReferenceDateSecondsKeepFractions) {
    const auto t = fromSecondsSinceReferenceDate(786000000.125);
    EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(t), 786000000.125);
    EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(Instant{std::chrono::seconds{978307200}}), 0.0);
}

TEST(Time, FormatsInTheGivenLocaleAndZone) {
    const auto t = *parseUtc("2025-03-03 23:30:00");
    const DateFormatter us("en_US", "America/New_York");
    EXPECT_EQ(us.mediumDate(t), "Mar 3, 2025");
    EXPECT_EQ(us.shortTime(t), "6:30\u202FPM");
    EXPECT_EQ(us.abbreviatedMonth(t), "Mar");
    const DateFormatter de("de_DE", "Europe/Berlin");
    EXPECT_EQ(de.mediumDate(t), "04.03.2025");  // already the next day in Berlin
    EXPECT_EQ(de.shortTime(t), "00:30");
}

}  // namespace
}  // namespace trayline
