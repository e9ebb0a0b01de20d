#include "core/platform/time.h"

#include <gtest/gtest.h>

namespace trayline {
namespace {

class UtcParseTest : public ::testing::TestWithParam<std::pair<std::string, long long>> {};

// -1 marks text that must not parse.
TEST_P(UtcParseTest, ParsesOnlyTheExactStoredForm) {
    const auto& [text, unix] = GetParam();
    const auto parsed = parseUtc(text);
    if (unix < 0) {
        EXPECT_FALSE(parsed) << text;
    } else {
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(parsed->time_since_epoch()).count(), unix);
        EXPECT_EQ(formatUtc(*parsed), text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UtcParseTest,
    ::testing::Values(std::pair<std::string, long long>{"2025-03-03 14:05:09", 1741010709},
                      std::pair<std::string, long long>{"1970-01-01 00:00:00", 0},
                      std::pair<std::string, long long>{"2024-02-29 23:59:59", 1709251199},
                      std::pair<std::string, long long>{"2023-02-29 10:00:00", -1},
                      std::pair<std::string, long long>{"2000-02-29 00:00:00", 951782400},
                      std::pair<std::string, long long>{"2100-02-29 00:00:00", -1},
                      std::pair<std::string, long long>{"2025-04-31 10:00:00", -1},
                      std::pair<std::string, long long>{"0001-01-01 00:00:00", -1},
                      std::pair<std::string, long long>{"9999-12-31 23:59:59", -1},
                      std::pair<std::string, long long>{"2025-13-01 10:00:00", -1},
                      std::pair<std::string, long long>{"2025-03-03T14:05:09", -1},
                      std::pair<std::string, long long>{"2025-03-03 14:05", -1},
                      std::pair<std::string, long long>{"2025-03-03 14:05:09Z", -1},
                      std::pair<std::string, long long>{"2025-03-03 24:00:00", -1},
                      std::pair<std::string, long long>{"", -1},
                      std::pair<std::string, long long>{"2025-0a-03 14:05:09", -1}));

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
