#pragma once

// Time parsing and locale-aware formatting over ICU.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace trayline {

using Instant = std::chrono::system_clock::time_point;

// Parses "yyyy-MM-dd HH:mm:ss" as UTC (POSIX rules, no leniency). Empty or malformed → nullopt.
std::optional<Instant> parseUtc(std::string_view text);
// Formats an instant as "yyyy-MM-dd HH:mm:ss" in UTC (the instance's stored form).
std::string formatUtc(Instant t);

// Seconds since 2001-01-01 00:00:00 UTC, the reference date of stored token expiries.
double secondsSinceReferenceDate(Instant t);
Instant fromSecondsSinceReferenceDate(double seconds);

// The ICU locale for a POSIX locale name: "de_DE.UTF-8@euro" → "de_DE", "sr_RS@latin" →
// "sr_Latn_RS". The codeset and modifiers other than a script are dropped (ICU carries its own
// data, so nothing needs to be installed). "C", "POSIX", empty or malformed → "en_US_POSIX".
std::string icuLocaleFromPosix(std::string_view posixName);
// The locale for dates and times by POSIX precedence: the first non-empty of LC_ALL, LC_TIME and
// LANG, so English messages with German formats give German dates.
std::string timeLocaleFromEnvironment(std::string_view lcAll, std::string_view lcTime, std::string_view lang);
// `hour`:00 local time on the calendar day after the one `now` falls on, in `timeZone` (an Olson id;
// empty: the user's zone). Daylight-saving changes are the calendar's: the day may be 23 or 25 hours.
Instant nextDayAt(Instant now, int hour, const std::string& timeZone = {});

// Formats dates for people in a locale and time zone. The default-constructed formatter uses the
// user's regional format (LC_ALL, LC_TIME, LANG) and time zone (TZ or the system zone); tests
// pass fixed ones.
class DateFormatter {
public:
    DateFormatter();
    DateFormatter(std::string locale, std::string timeZone);

    // Medium date with an abbreviated month name, e.g. "Mar 4, 2026" in en_US.
    std::string mediumDate(Instant t) const;
    // Medium date and short time together in the locale's combined form.
    std::string mediumDateShortTime(Instant t) const;
    // Abbreviated month name alone, e.g. "Jun" in en_US.
    std::string abbreviatedMonth(Instant t) const;
    // Short time, e.g. "3:07 PM" in en_US, "15:07" in de_DE.
    std::string shortTime(Instant t) const;

    const std::string& locale() const { return locale_; }
    const std::string& timeZone() const { return timeZone_; }

    // The process-wide formatter used by rendering code; replaceable by tests.
    static DateFormatter current();
    static void setCurrent(DateFormatter formatter);

private:
    std::string locale_;
    std::string timeZone_;
};

}  // namespace trayline
