#pragma once

// Small helpers of the demo instance: UTC date texts, URL and form decoding, HTML escaping,
// identifiers. Independent of the app's own code on purpose (see demo_instance.h).

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trayline::demo::util {

using Clock = std::chrono::system_clock;
using TimePoint = std::chrono::time_point<Clock, std::chrono::seconds>;

TimePoint nowSeconds();
TimePoint toSeconds(Clock::time_point t);

// "yyyy-MM-dd HH:mm:ss" in UTC.
std::string formatUtc(TimePoint t);
// Accepts "yyyy-MM-dd HH:mm:ss" and "yyyy-MM-dd" (midnight); anything else (also impossible dates)
// gives nothing.
std::optional<TimePoint> parseUtc(std::string_view s);

// Calendar helpers, all in UTC.
TimePoint startOfDay(TimePoint t);
TimePoint startOfMonth(TimePoint t, int monthOffset = 0);  // offset -1: previous month
TimePoint startOfWeek(TimePoint t);                          // Monday
TimePoint startOfYear(TimePoint t, int yearOffset = 0);

// Percent-decoding; "+" becomes a space when plusAsSpace (query strings and form bodies).
// Malformed escapes are kept literally.
std::string percentDecode(std::string_view s, bool plusAsSpace);
// Encodes everything but ASCII letters, digits and "-._~".
std::string percentEncode(std::string_view s);
// "a=1&b=2" -> decoded pairs in wire order ("+" is a space). A piece without "=" has an empty value.
std::vector<std::pair<std::string, std::string>> parseQueryString(std::string_view s);

std::string htmlEscape(std::string_view s);

std::string asciiLower(std::string_view s);
bool iequals(std::string_view a, std::string_view b);
bool icontains(std::string_view haystack, std::string_view needle);
bool istartsWith(std::string_view s, std::string_view prefix);
bool iendsWith(std::string_view s, std::string_view suffix);
std::string trim(std::string_view s);
std::vector<std::string> split(std::string_view s, char sep);

// 32 hexadecimal digits, either case.
bool isSysId(std::string_view s);
// A random text of `length` characters from [A-Za-z0-9_-] (tokens and codes).
std::string randomToken(std::size_t length);
// A stable 32-lower-hex sys_id derived from a label (the built-in data's identities).
std::string stableSysId(std::string_view label);
// A random 32-lower-hex sys_id.
std::string randomSysId();

}  // namespace trayline::demo::util
