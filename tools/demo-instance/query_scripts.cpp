#include "query_scripts.h"

#include <cstdlib>

namespace trayline::demo {

namespace {

using util::TimePoint;
using namespace std::chrono;

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// gs.* arguments: 'text', "text" or numbers, separated by commas.
std::vector<std::string> scriptArgs(std::string_view args) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < args.size()) {
        while (i < args.size() && (args[i] == ' ' || args[i] == ',')) ++i;
        if (i >= args.size()) break;
        if (args[i] == '\'' || args[i] == '"') {
            const char q = args[i++];
            const std::size_t end = args.find(q, i);
            if (end == std::string_view::npos) throw QueryError("Unterminated text in script arguments");
            out.emplace_back(args.substr(i, end - i));
            i = end + 1;
        } else {
            const std::size_t end = std::min(args.find(',', i), args.size());
            out.push_back(util::trim(args.substr(i, end - i)));
            i = end;
        }
    }
    return out;
}

long long intArg(const std::vector<std::string>& args, std::size_t i, long long fallback) {
    if (i >= args.size() || args[i].empty()) return fallback;
    char* end = nullptr;
    const long long v = std::strtoll(args[i].c_str(), &end, 10);
    if (!end || *end) throw QueryError("Invalid number \"" + args[i] + "\" in script arguments");
    return v;
}

// Evaluates "javascript:gs.xxx(...)". Dates come back as "yyyy-MM-dd HH:mm:ss" texts.
std::string evalScript(std::string_view value, const QueryContext& ctx) {
    std::string s = util::trim(value.substr(std::string_view("javascript:").size()));
    while (!s.empty() && (s.back() == ';' || s.back() == ' ')) s.pop_back();
    const std::size_t open = s.find('(');
    if (!startsWith(s, "gs.") || open == std::string::npos || s.back() != ')')
        throw QueryError("Unsupported script value \"" + std::string(value) + "\"");
    const std::string fn = s.substr(3, open - 3);
    const auto args = scriptArgs(std::string_view(s).substr(open + 1, s.size() - open - 2));
    const TimePoint now = ctx.now;
    const TimePoint today = util::startOfDay(now);
    const auto endOf = [](TimePoint nextStart) { return util::formatUtc(nextStart - seconds{1}); };
    const auto day = days{1};
    if (fn == "getUserID") return ctx.userSysId;
    if (fn == "nowDateTime") return util::formatUtc(now);
    if (fn == "beginningOfToday") return util::formatUtc(today);
    if (fn == "endOfToday") return endOf(today + day);
    if (fn == "beginningOfYesterday") return util::formatUtc(today - day);
    if (fn == "endOfYesterday") return endOf(today);
    if (fn == "beginningOfTomorrow") return util::formatUtc(today + day);
    if (fn == "endOfTomorrow") return endOf(today + 2 * day);
    const TimePoint week = util::startOfWeek(now);
    if (fn == "beginningOfThisWeek") return util::formatUtc(week);
    if (fn == "endOfThisWeek") return endOf(week + 7 * day);
    if (fn == "beginningOfLastWeek") return util::formatUtc(week - 7 * day);
    if (fn == "endOfLastWeek") return endOf(week);
    if (fn == "beginningOfThisMonth") return util::formatUtc(util::startOfMonth(now));
    if (fn == "endOfThisMonth") return endOf(util::startOfMonth(now, 1));
    if (fn == "beginningOfLastMonth") return util::formatUtc(util::startOfMonth(now, -1));
    if (fn == "endOfLastMonth") return endOf(util::startOfMonth(now));
    if (fn == "beginningOfNextMonth") return util::formatUtc(util::startOfMonth(now, 1));
    if (fn == "endOfNextMonth") return endOf(util::startOfMonth(now, 2));
    if (fn == "beginningOfThisYear") return util::formatUtc(util::startOfYear(now));
    if (fn == "endOfThisYear") return endOf(util::startOfYear(now, 1));
    if (fn == "beginningOfLastYear") return util::formatUtc(util::startOfYear(now, -1));
    if (fn == "endOfLastYear") return endOf(util::startOfYear(now));
    if (fn == "daysAgo") return util::formatUtc(now - days{intArg(args, 0, 0)});
    if (fn == "daysAgoStart") return util::formatUtc(today - days{intArg(args, 0, 0)});
    if (fn == "daysAgoEnd") return endOf(today - days{intArg(args, 0, 0)} + day);
    if (fn == "hoursAgo") return util::formatUtc(now - hours{intArg(args, 0, 0)});
    if (fn == "minutesAgo") return util::formatUtc(now - minutes{intArg(args, 0, 0)});
    if (fn == "dateGenerate") {
        if (args.empty()) throw QueryError("gs.dateGenerate needs a date");
        const auto date = util::parseUtc(args[0]);
        if (!date || args[0].size() != 10) throw QueryError("Invalid date \"" + args[0] + "\" in gs.dateGenerate");
        const std::string time = args.size() > 1 ? args[1] : "start";
        if (time == "start") return util::formatUtc(*date);
        if (time == "end") return endOf(*date + day);
        const auto full = util::parseUtc(args[0] + " " + time);
        if (!full) throw QueryError("Invalid time \"" + time + "\" in gs.dateGenerate");
        return util::formatUtc(*full);
    }
    throw QueryError("Unsupported script value \"" + std::string(value) + "\"");
}

}  // namespace

std::string evalValue(const std::string& v, const QueryContext& ctx) {
    return startsWith(v, "javascript:") ? evalScript(v, ctx) : v;
}

TimePoint dateBound(const std::string& text, const QueryContext& ctx, bool isEnd) {
    const std::string v = evalValue(util::trim(text), ctx);
    const auto t = util::parseUtc(v);
    if (!t) throw QueryError("Invalid date \"" + text + "\"");
    if (v.size() == 10 && isEnd) return *t + days{1} - seconds{1};
    return *t;
}

}  // namespace trayline::demo
