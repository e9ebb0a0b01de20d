#include "core/platform/time.h"

#include <unicode/ucal.h>
#include <unicode/udat.h>
#include <unicode/udatpg.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <tuple>
#include <mutex>

namespace trayline {

namespace {

constexpr double kReferenceDateUnixSeconds = 978307200.0;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
constexpr long long daysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<long long>(era) * 146097 + static_cast<long long>(doe) - 719468;
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(int y, unsigned m) {
    static constexpr std::array<unsigned, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

std::string toUtf8(const UChar* s, int32_t length) {
    std::string out(static_cast<std::size_t>(length) * 3 + 1, '\0');
    int32_t written = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &written, s, length, &status);
    if (U_FAILURE(status))
        return {};
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::u16string toUtf16(const std::string& s) {
    std::u16string out(s.size() + 1, u'\0');
    int32_t written = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &written,
                  s.data(), static_cast<int32_t>(s.size()), &status);
    out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(written) : 0);
    return out;
}

struct DateFormatCloser {
    void operator()(UDateFormat* f) const { udat_close(f); }
};
using DateFormatPtr = std::unique_ptr<UDateFormat, DateFormatCloser>;

UDate toUDate(Instant t) {
    return static_cast<UDate>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

DateFormatPtr openFormat(const std::string& locale, const std::string& zone,
                         UDateFormatStyle timeStyle, UDateFormatStyle dateStyle,
                         const char16_t* skeleton) {
    UErrorCode status = U_ZERO_ERROR;
    const std::u16string zone16 = toUtf16(zone);
    const UChar* zonePtr = zone.empty() ? nullptr : reinterpret_cast<const UChar*>(zone16.c_str());
    const auto zoneLen = static_cast<int32_t>(zone16.size());
    if (!skeleton)
        return DateFormatPtr(
            udat_open(timeStyle, dateStyle, locale.c_str(), zonePtr, zoneLen, nullptr, 0, &status));
    UDateTimePatternGenerator* gen = udatpg_open(locale.c_str(), &status);
    std::array<UChar, 64> pattern{};
    const int32_t n = udatpg_getBestPattern(gen, reinterpret_cast<const UChar*>(skeleton), -1,
                                            pattern.data(), static_cast<int32_t>(pattern.size()),
                                            &status);
    if (gen)
        udatpg_close(gen);
    if (U_FAILURE(status))
        return nullptr;
    return DateFormatPtr(udat_open(UDAT_PATTERN, UDAT_PATTERN, locale.c_str(), zonePtr, zoneLen,
                                   pattern.data(), n, &status));
}

// Opening an ICU formatter costs far more than formatting with it, and formatters must not be
// shared between threads, so each thread keeps the ones it has used.
std::string format(const std::string& locale, const std::string& zone, UDateFormatStyle timeStyle,
                   UDateFormatStyle dateStyle, const char16_t* skeleton, Instant t) {
    thread_local std::map<std::tuple<std::string, std::string, int, int, const char16_t*>,
                          DateFormatPtr>
        cache;
    auto& f = cache[{locale, zone, timeStyle, dateStyle, skeleton}];
    if (!f)
        f = openFormat(locale, zone, timeStyle, dateStyle, skeleton);
    if (!f)
        return {};
    UErrorCode status = U_ZERO_ERROR;
    std::array<UChar, 128> buffer{};
    const int32_t n = udat_format(f.get(), toUDate(t), buffer.data(),
                                  static_cast<int32_t>(buffer.size()), nullptr, &status);
    if (U_FAILURE(status))
        return {};
    return toUtf8(buffer.data(), n);
}

// ASCII only: the C library's classes follow the process locale, which Qt sets from the environment.
bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool allOf(std::string_view s, bool (*pred)(char)) { return std::all_of(s.begin(), s.end(), pred); }

std::string cased(std::string_view s, bool upper) {
    std::string out(s);
    for (char& c : out)
        if (isAsciiLetter(c))
            c = static_cast<char>(upper ? (c & ~0x20) : (c | 0x20));
    return out;
}

}  // namespace

std::string icuLocaleFromPosix(std::string_view name) {
    static constexpr const char* kPosix = "en_US_POSIX";
    // language[_territory][.codeset][@modifier]
    std::string_view modifier;
    if (const auto at = name.find('@'); at != std::string_view::npos) {
        modifier = name.substr(at + 1);
        name = name.substr(0, at);
    }
    if (const auto dot = name.find('.'); dot != std::string_view::npos)
        name = name.substr(0, dot);
    std::string_view language = name, territory;
    if (const auto underscore = name.find('_'); underscore != std::string_view::npos) {
        language = name.substr(0, underscore);
        territory = name.substr(underscore + 1);
    }
    // Anything else ("C", "POSIX", a path someone put there) is not a language; like setlocale,
    // fall back to the portable locale.
    if (language.size() < 2 || language.size() > 3 || !allOf(language, isAsciiLetter))
        return kPosix;
    if (!territory.empty() && !((territory.size() == 2 && allOf(territory, isAsciiLetter)) ||
                                (territory.size() == 3 && allOf(territory, isAsciiDigit))))
        return kPosix;
    // glibc spells a script or a variant as a modifier; other modifiers (euro, …) do not change dates.
    static constexpr std::pair<std::string_view, std::string_view> kScripts[] = {
        {"latin", "_Latn"}, {"cyrillic", "_Cyrl"}, {"devanagari", "_Deva"}};
    std::string out = cased(language, false);
    for (const auto& [posix, script] : kScripts)
        if (modifier == posix)
            out += script;
    if (!territory.empty())
        out += "_" + cased(territory, true);
    if (modifier == "valencia")
        out += territory.empty() ? "__VALENCIA" : "_VALENCIA";
    return out;
}

std::string timeLocaleFromEnvironment(std::string_view lcAll, std::string_view lcTime, std::string_view lang) {
    for (const std::string_view value : {lcAll, lcTime, lang})
        if (!value.empty())
            return icuLocaleFromPosix(value);
    return icuLocaleFromPosix("C");
}

namespace {

std::mutex& currentMutex() {
    static std::mutex m;
    return m;
}

DateFormatter& currentFormatter() {
    static DateFormatter f;
    return f;
}

}  // namespace

std::optional<Instant> parseUtc(std::string_view s) {
    // Exactly "yyyy-MM-dd HH:mm:ss": nineteen characters, digits where digits belong.
    if (s.size() != 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' || s[16] != ':')
        return std::nullopt;
    auto num = [&](std::size_t pos, std::size_t len) -> int {
        int v = 0;
        for (std::size_t i = pos; i < pos + len; ++i) {
            if (s[i] < '0' || s[i] > '9')
                return -1;
            v = v * 10 + (s[i] - '0');
        }
        return v;
    };
    const int y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2),
              se = num(17, 2);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || se < 0 ||
        se > 59)
        return std::nullopt;
    if (static_cast<unsigned>(d) > daysInMonth(y, static_cast<unsigned>(mo)))
        return std::nullopt;
    const long long days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    const long long secs = days * 86400LL + h * 3600LL + mi * 60LL + se;
    // Instants count nanoseconds in 64 bits (years 1678 to 2262); a date outside that range is
    // as unusable as a malformed one.
    constexpr long long kLimit = std::numeric_limits<Instant::rep>::max() / 1'000'000'000LL;
    if (secs <= -kLimit || secs >= kLimit)
        return std::nullopt;
    return Instant{std::chrono::seconds{secs}};
}

std::string formatUtc(Instant t) {
    const auto secs = std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
    const auto dp = std::chrono::floor<std::chrono::days>(std::chrono::sys_seconds{std::chrono::seconds{secs}});
    const std::chrono::year_month_day ymd{dp};
    const long long rem = secs - dp.time_since_epoch().count() * 86400LL;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02lld:%02lld:%02lld", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), rem / 3600,
                  rem / 60 % 60, rem % 60);
    return buf;
}

double secondsSinceReferenceDate(Instant t) {
    // Subtract in integer nanoseconds first so exact fractions stay exact.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    return static_cast<double>(ns - 978307200'000'000'000LL) / 1e9;
}

Instant fromSecondsSinceReferenceDate(double seconds) {
    // Clamped to what a nanosecond instant can hold; the conversion would be undefined beyond it.
    const double unixSeconds = std::clamp(seconds + kReferenceDateUnixSeconds, -9.2e9, 9.2e9);
    return Instant{std::chrono::duration_cast<Instant::duration>(
        std::chrono::duration<double>(unixSeconds))};
}

Instant nextDayAt(Instant now, int hour, const std::string& timeZone) {
    UErrorCode status = U_ZERO_ERROR;
    const std::u16string zone16 = toUtf16(timeZone);
    const UChar* zonePtr = timeZone.empty() ? nullptr : reinterpret_cast<const UChar*>(zone16.c_str());
    const std::unique_ptr<UCalendar, decltype(&ucal_close)> cal(
        ucal_open(zonePtr, static_cast<int32_t>(zone16.size()), "", UCAL_GREGORIAN, &status), &ucal_close);
    if (U_SUCCESS(status)) {
        ucal_setMillis(cal.get(), toUDate(now), &status);
        ucal_add(cal.get(), UCAL_DATE, 1, &status);
        ucal_set(cal.get(), UCAL_HOUR_OF_DAY, hour);
        ucal_set(cal.get(), UCAL_MINUTE, 0);
        ucal_set(cal.get(), UCAL_SECOND, 0);
        ucal_set(cal.get(), UCAL_MILLISECOND, 0);
        const UDate at = ucal_getMillis(cal.get(), &status);
        if (U_SUCCESS(status))
            return Instant{std::chrono::duration_cast<Instant::duration>(
                std::chrono::milliseconds(static_cast<long long>(at)))};
    }
    // No calendar: a day from now is the nearest meaning of "tomorrow".
    return now + std::chrono::hours(24);
}

DateFormatter::DateFormatter() {
    const auto env = [](const char* name) -> std::string_view {
        const char* value = std::getenv(name);
        return value ? value : "";
    };
    locale_ = timeLocaleFromEnvironment(env("LC_ALL"), env("LC_TIME"), env("LANG"));
}

DateFormatter::DateFormatter(std::string locale, std::string timeZone)
    : locale_(std::move(locale)), timeZone_(std::move(timeZone)) {}

std::string DateFormatter::mediumDate(Instant t) const {
    return format(locale_, timeZone_, UDAT_NONE, UDAT_MEDIUM, nullptr, t);
}

std::string DateFormatter::mediumDateShortTime(Instant t) const {
    return format(locale_, timeZone_, UDAT_SHORT, UDAT_MEDIUM, nullptr, t);
}

std::string DateFormatter::abbreviatedMonth(Instant t) const {
    return format(locale_, timeZone_, UDAT_NONE, UDAT_NONE, u"MMM", t);
}

std::string DateFormatter::shortTime(Instant t) const {
    return format(locale_, timeZone_, UDAT_SHORT, UDAT_NONE, nullptr, t);
}

DateFormatter DateFormatter::current() {
    std::lock_guard lock(currentMutex());
    return currentFormatter();
}

void DateFormatter::setCurrent(DateFormatter formatter) {
    std::lock_guard lock(currentMutex());
    currentFormatter() = std::move(formatter);
}

}  // namespace trayline
