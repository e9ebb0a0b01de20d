#include "core/platform/time.h"

#include <string>

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

// Dates follow the regional format, not the language of messages: LC_ALL, then LC_TIME, then LANG.
TEST(Time, RegionalFormatComesFromTheEnvironmentByPosixPrecedence) {
    struct Row {
        const char* lcAll;
        const char* lcTime;
        const char* lang;
        const char* locale;
        const char* month;  // of 2025-12-03 15:05 in Berlin, as it stands alone on a chip
        const char* time;
    };
    const Row rows[] = {
        {"", "de_DE.UTF-8", "en_US.UTF-8", "de_DE", "Dez", "15:05"},
        {"fr_FR.UTF-8", "de_DE.UTF-8", "en_US.UTF-8", "fr_FR", "déc.", "15:05"},
        {"", "", "en_US.UTF-8", "en_US", "Dec", "3:05\u202FPM"},
        {"", "en_GB.utf8", "de_DE.UTF-8", "en_GB", "Dec", "15:05"},
        {"", "sr_RS@latin", "", "sr_Latn_RS", "dec", "15:05"},
        {"", "ja_JP.eucJP", "", "ja_JP", "12月", "15:05"},
        {"", "C.UTF-8", "de_DE.UTF-8", "en_US_POSIX", "Dec", "3:05\u202FPM"},
        {"", "../../etc/passwd", "de_DE.UTF-8", "en_US_POSIX", "Dec", "3:05\u202FPM"},
        {"", "de_DEU.UTF-8", "", "en_US_POSIX", "Dec", "3:05\u202FPM"},
    };
    const auto t = *parseUtc("2025-12-03 14:05:00");
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.lcAll) + "|" + row.lcTime + "|" + row.lang);
        const std::string locale = timeLocaleFromEnvironment(row.lcAll, row.lcTime, row.lang);
        EXPECT_EQ(locale, row.locale);
        const DateFormatter dates(locale, "Europe/Berlin");
        EXPECT_EQ(dates.abbreviatedMonth(t), row.month);
        EXPECT_EQ(dates.shortTime(t), row.time);
    }
}

}  // namespace
}  // namespace trayline
