#include "core/platform/text.h"
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


TEST(Text, TransformsTakeAndGiveUtf8) {
    using namespace text;
    const std::tuple<std::string (*)(std::string_view), std::string, std::string> rows[] = {
        {trimmed, " \t\r\n hello world \u00A0\u2028\u3000\n", "hello world"},
        {trimmed, "\u0085x\u0085", "x"},
        {trimmed, "a\nb", "a\nb"},
        {trimmedSpacesAndTabs, " \t a \n\t ", "a \n"},
        {lowercased, "ÄBC", "äbc"},
        {sanitizedUtf8, "a\xFF" "b", "a\uFFFDb"},
        // Form bodies keep Unicode letters and numbers (½ is a number, No) and never use "+".
        {encodeFormComponent, "a b=c&d+e", "a%20b%3Dc%26d%2Be"},
        {encodeFormComponent, "Zürich-½_~.", "Zürich-½_~."},
        {encodeFormComponent, "日本€", "日本%E2%82%AC"},
        // List links keep only decimal digits among numbers.
        {encodeListLinkQuery, "assignment_group=abc^stateIN1,2,3",
         "assignment_group%3Dabc%5EstateIN1%2C2%2C3"},
        {encodeListLinkQuery, "½é", "%C2%BDé"},
        {encodeAsciiUnreserved, "é^a-b", "%C3%A9%5Ea-b"},
        {encodeQueryComponent, "a=b&c+d#e%f^g h", "a%3Db%26c%2Bd%23e%25f%5Eg%20h"},
        {encodeQueryComponent, "ä@x", "%C3%A4@x"},
        {encodePathSegment, "sc_task/../x?y", "sc_task%2F..%2Fx%3Fy"},
        // "+" stays "+" and malformed escapes stay as they are.
        {percentDecode, "a%2Bb+c%20d", "a+b+c d"},
        {percentDecode, "%zz%4", "%zz%4"},
        {percentDecode, "%C3%A9", "é"},
    };
    for (const auto& [transform, text, expected] : rows)
        EXPECT_EQ(transform(text), expected) << text;
}

}  // namespace
}  // namespace trayline
