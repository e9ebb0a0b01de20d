#include "util.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <random>

namespace trayline::demo::util {

using namespace std::chrono;

TimePoint nowSeconds() { return toSeconds(Clock::now()); }

TimePoint toSeconds(Clock::time_point t) { return time_point_cast<seconds>(t); }

std::string formatUtc(TimePoint t) {
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return buf;
}

namespace {
bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
    if (pos + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}
}  // namespace

std::optional<TimePoint> parseUtc(std::string_view s) {
    int y, mo, d, h = 0, mi = 0, se = 0;
    if (s.size() != 10 && s.size() != 19) return std::nullopt;
    if (!digits(s, 0, 4, y) || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' ||
        !digits(s, 8, 2, d))
        return std::nullopt;
    if (s.size() == 19) {
        if (s[10] != ' ' || !digits(s, 11, 2, h) || s[13] != ':' || !digits(s, 14, 2, mi) ||
            s[16] != ':' || !digits(s, 17, 2, se))
            return std::nullopt;
        if (h > 23 || mi > 59 || se > 59) return std::nullopt;
    }
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    return TimePoint{sys_days{ymd}} + hours{h} + minutes{mi} + seconds{se};
}

TimePoint startOfDay(TimePoint t) { return TimePoint{floor<days>(t)}; }

TimePoint startOfMonth(TimePoint t, int monthOffset) {
    const year_month_day ymd{floor<days>(t)};
    const year_month ym = ymd.year() / ymd.month() + months{monthOffset};
    return TimePoint{sys_days{ym / 1}};
}

TimePoint startOfWeek(TimePoint t) {
    const sys_days d = floor<days>(t);
    const weekday wd{d};
    const unsigned sinceMonday = (wd.c_encoding() + 6) % 7;
    return TimePoint{d - days{sinceMonday}};
}

TimePoint startOfYear(TimePoint t, int yearOffset) {
    const year_month_day ymd{floor<days>(t)};
    return TimePoint{sys_days{(ymd.year() + years{yearOffset}) / January / 1}};
}

std::string percentDecode(std::string_view s, bool plusAsSpace) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
            i += 2;
        } else if (c == '+' && plusAsSpace) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string percentEncode(std::string_view s) {
    static const char* hexDigits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hexDigits[c >> 4]);
            out.push_back(hexDigits[c & 15]);
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> parseQueryString(std::string_view s) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t pos = 0;
    while (pos <= s.size()) {
        std::size_t amp = s.find('&', pos);
        if (amp == std::string_view::npos) amp = s.size();
        const std::string_view piece = s.substr(pos, amp - pos);
        if (!piece.empty()) {
            const std::size_t eq = piece.find('=');
            if (eq == std::string_view::npos)
                out.emplace_back(percentDecode(piece, true), "");
            else
                out.emplace_back(percentDecode(piece.substr(0, eq), true),
                                 percentDecode(piece.substr(eq + 1), true));
        }
        pos = amp + 1;
    }
    return out;
}

std::string htmlEscape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool iequals(std::string_view a, std::string_view b) { return asciiLower(a) == asciiLower(b); }

bool icontains(std::string_view haystack, std::string_view needle) {
    return asciiLower(haystack).find(asciiLower(needle)) != std::string::npos;
}

bool istartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

bool iendsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && iequals(s.substr(s.size() - suffix.size()), suffix);
}

std::string trim(std::string_view s) {
    const char* ws = " \t\r\n\f\v";
    const std::size_t b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    const std::size_t e = s.find_last_not_of(ws);
    return std::string(s.substr(b, e - b + 1));
}

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t next = s.find(sep, pos);
        out.emplace_back(s.substr(pos, next == std::string_view::npos ? std::string_view::npos
                                                                      : next - pos));
        if (next == std::string_view::npos) break;
        pos = next + 1;
    }
    return out;
}

bool isSysId(std::string_view s) {
    if (s.size() != 32) return false;
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

namespace {
std::mt19937_64& rng() {
    static std::mt19937_64 engine{[] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd()};
        std::mt19937_64 e;
        e.seed(seq);
        return e;
    }()};
    return engine;
}
std::mutex rngMutex;
}  // namespace

std::string randomToken(std::size_t length) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::lock_guard lock(rngMutex);
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) out.push_back(alphabet[rng()() % 64]);
    return out;
}

std::string randomSysId() {
    static const char* hexDigits = "0123456789abcdef";
    std::lock_guard lock(rngMutex);
    std::string out;
    for (int i = 0; i < 32; ++i) out.push_back(hexDigits[rng()() % 16]);
    return out;
}

std::string stableSysId(std::string_view label) {
    // Two FNV-1a-64 passes with different offsets, mixed (splitmix64 finaliser).
    auto fnv = [&](std::uint64_t h) {
        for (unsigned char c : label) {
            h ^= c;
            h *= 1099511628211ULL;
        }
        h ^= h >> 30;
        h *= 0xbf58476d1ce4e5b9ULL;
        h ^= h >> 27;
        h *= 0x94d049bb133111ebULL;
        h ^= h >> 31;
        return h;
    };
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016llx%016llx",
                  static_cast<unsigned long long>(fnv(14695981039346656037ULL)),
                  static_cast<unsigned long long>(fnv(0x5bd1e9955bd1e995ULL)));
    return buf;
}

}  // namespace trayline::demo::util
