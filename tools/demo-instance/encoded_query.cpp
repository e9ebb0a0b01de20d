#include "encoded_query.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace trayline::demo {

namespace {

using util::TimePoint;
using namespace std::chrono;

// Operators the parser recognises, longest first so that "INSTANCEOF" is not read as "IN".
struct OpInfo {
    const char* text;
    bool supported;
    bool takesValue;
};
const std::vector<OpInfo>& operators() {
    static const std::vector<OpInfo> ops = [] {
        std::vector<OpInfo> v = {
            {"=", true, true},           {"!=", true, true},          {"<", true, true},
            {"<=", true, true},          {">", true, true},           {">=", true, true},
            {"IN", true, true},          {"NOT IN", true, true},      {"LIKE", true, true},
            {"NOT LIKE", true, true},    {"STARTSWITH", true, true},  {"ENDSWITH", true, true},
            {"ISEMPTY", true, false},    {"ISNOTEMPTY", true, false}, {"ANYTHING", true, false},
            {"EMPTYSTRING", true, false}, {"DYNAMIC", true, true},    {"ON", true, true},
            {"NOTON", true, true},       {"BETWEEN", true, true},
            // Known to the instance, not to this look-alike.
            {"SAMEAS", false, true},     {"NSAMEAS", false, true},    {"INSTANCEOF", false, true},
            {"VALCHANGES", false, false}, {"CHANGESFROM", false, true}, {"CHANGESTO", false, true},
            {"RELATIVEGT", false, true}, {"RELATIVELT", false, true}, {"RELATIVEGE", false, true},
            {"RELATIVELE", false, true}, {"RELATIVEEE", false, true}, {"DATEPART", false, true},
            {"MORETHAN", false, true},   {"LESSTHAN", false, true},   {"GT_FIELD", false, true},
            {"LT_FIELD", false, true},   {"GT_OR_EQUALS_FIELD", false, true},
            {"LT_OR_EQUALS_FIELD", false, true}, {"IN HIERARCHY", false, true},
            {"NOT IN HIERARCHY", false, true}, {"ISMEMBER", false, true}, {"NOTMEMBER", false, true},
            {"HASVARIABLE", false, true}, {"HASROLE", false, true},  {"COLLATE", false, true},
            {"DOES NOT CONTAIN", false, true}, {"CONTAINS", false, true}};
        std::stable_sort(v.begin(), v.end(), [](const OpInfo& a, const OpInfo& b) {
            return std::string_view(a.text).size() > std::string_view(b.text).size();
        });
        return v;
    }();
    return ops;
}

// Splits on "^", "^^" being a literal caret.
std::vector<std::string> splitTerms(std::string_view text) {
    std::vector<std::string> terms(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '^') {
            if (i + 1 < text.size() && text[i + 1] == '^') {
                terms.back().push_back('^');
                ++i;
            } else {
                terms.emplace_back();
            }
        } else {
            terms.back().push_back(text[i]);
        }
    }
    return terms;
}

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

std::string evalValue(const std::string& v, const QueryContext& ctx) {
    return startsWith(v, "javascript:") ? evalScript(v, ctx) : v;
}

// A date bound for ON / BETWEEN: a script, a date-time or a bare date (start or end of that day).
TimePoint dateBound(const std::string& text, const QueryContext& ctx, bool isEnd) {
    const std::string v = evalValue(util::trim(text), ctx);
    const auto t = util::parseUtc(v);
    if (!t) throw QueryError("Invalid date \"" + text + "\"");
    if (v.size() == 10 && isEnd) return *t + days{1} - seconds{1};
    return *t;
}

Condition parseCondition(const std::string& term, const TableDef& table, const Database& db,
                         const QueryContext& ctx) {
    std::size_t n = 0;
    while (n < term.size() && ((term[n] >= 'a' && term[n] <= 'z') || (term[n] >= '0' && term[n] <= '9') ||
                               term[n] == '_' || term[n] == '.'))
        ++n;
    if (n == 0) throw QueryError("Invalid condition \"" + term + "\": no field name");
    Condition c;
    c.field = term.substr(0, n);
    const std::string_view rest = std::string_view(term).substr(n);
    const OpInfo* op = nullptr;
    for (const auto& o : operators())
        if (startsWith(rest, o.text)) {
            op = &o;
            break;
        }
    if (!op) throw QueryError("Unsupported operator in condition \"" + term + "\"");
    if (!op->supported)
        throw QueryError(std::string("Unsupported operator ") + op->text + " in condition \"" + term + "\"");
    c.op = op->text;
    c.value = std::string(rest.substr(c.op.size()));
    c.knownField = db.resolve(table, nullptr, c.field).has_value();

    if (c.op == "IN" || c.op == "NOT IN") {
        for (auto& item : util::split(c.value, ','))
            if (!item.empty()) c.values.push_back(evalValue(item, ctx));
    } else if (c.op == "DYNAMIC") {
        if (!util::iequals(c.value, kMeDynamicFilter))
            throw QueryError("Unsupported dynamic filter \"" + c.value + "\"");
        c.values = {ctx.userSysId};
    } else if (c.op == "ON" || c.op == "NOTON") {
        const auto parts = util::split(c.value, '@');
        if (parts.size() == 3) {
            c.from = dateBound(parts[1], ctx, false);
            c.to = dateBound(parts[2], ctx, true);
        } else if (parts.size() == 1) {
            c.from = dateBound(parts[0], ctx, false);
            c.to = dateBound(parts[0], ctx, true);
            if (util::trim(parts[0]).size() != 10) c.to = c.from;
        } else {
            throw QueryError("Invalid ON value \"" + c.value + "\"");
        }
    } else if (c.op == "BETWEEN") {
        const auto parts = util::split(c.value, '@');
        if (parts.size() != 2) throw QueryError("Invalid BETWEEN value \"" + c.value + "\"");
        c.values = {evalValue(parts[0], ctx), evalValue(parts[1], ctx)};
        const auto a = util::parseUtc(c.values[0]);
        const auto b = util::parseUtc(c.values[1]);
        if (a && b) {
            c.from = dateBound(parts[0], ctx, false);
            c.to = dateBound(parts[1], ctx, true);
        }
    } else if (op->takesValue) {
        c.values = {evalValue(c.value, ctx)};
    }
    return c;
}

std::optional<double> number(const std::string& s) {
    const std::size_t first = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (s.size() <= first || s[first] < '0' || s[first] > '9') return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (!end || *end) return std::nullopt;
    return v;
}

// -1, 0, 1 ordering of two non-empty values: as dates, as numbers, else as text ignoring case.
int compareValues(const std::string& a, const std::string& b) {
    const auto da = util::parseUtc(a), db = util::parseUtc(b);
    if (da && db) return *da < *db ? -1 : *da > *db ? 1 : 0;
    const auto na = number(a), nb = number(b);
    if (na && nb) return *na < *nb ? -1 : *na > *nb ? 1 : 0;
    const std::string la = util::asciiLower(a), lb = util::asciiLower(b);
    return la < lb ? -1 : la > lb ? 1 : 0;
}

bool evaluate(const Condition& c, const Database& db, const TableDef& table, const Record& r) {
    if (!c.knownField) return false;
    const auto res = db.resolve(table, &r, c.field);
    if (!res) return false;
    const FieldDef& f = *res->field;
    const bool isRef = f.type == FieldType::Reference;
    const std::string stored = f.type == FieldType::Journal ? db.display(*res) : db.value(*res);
    const std::string& op = c.op;
    const std::string& want = c.values.empty() ? c.value : c.values[0];

    auto equalsRef = [&](const std::string& v) {
        if (util::iequals(stored, v)) return true;
        return isRef && !v.empty() && !util::isSysId(v) && util::iequals(db.display(*res), v);
    };
    // String operators read references through their display value.
    const std::string text = isRef ? db.display(*res) : stored;

    if (op == "=") return equalsRef(want);
    if (op == "!=") return !stored.empty() && !equalsRef(want);
    if (op == "IN") return std::any_of(c.values.begin(), c.values.end(), equalsRef);
    if (op == "NOT IN") return !stored.empty() && std::none_of(c.values.begin(), c.values.end(), equalsRef);
    if (op == "LIKE") return util::icontains(text, want);
    if (op == "NOT LIKE") return !text.empty() && !util::icontains(text, want);
    if (op == "STARTSWITH") return util::istartsWith(text, want);
    if (op == "ENDSWITH") return util::iendsWith(text, want);
    if (op == "ISEMPTY" || op == "EMPTYSTRING") return stored.empty();
    if (op == "ISNOTEMPTY") return !stored.empty();
    if (op == "ANYTHING") return true;
    if (op == "DYNAMIC") return !stored.empty() && util::iequals(stored, want);
    if (op == "ON" || op == "NOTON" || (op == "BETWEEN" && c.from)) {
        const auto t = util::parseUtc(stored);
        if (!t) return false;
        const bool inside = *c.from <= *t && *t <= *c.to;
        return op == "NOTON" ? !inside : inside;
    }
    if (op == "BETWEEN")
        return !stored.empty() && compareValues(stored, c.values[0]) >= 0 && compareValues(stored, c.values[1]) <= 0;
    if (stored.empty() || want.empty()) return false;
    const int cmp = compareValues(stored, want);
    if (op == "<") return cmp < 0;
    if (op == "<=") return cmp <= 0;
    if (op == ">") return cmp > 0;
    if (op == ">=") return cmp >= 0;
    return false;
}

// Sort key text for ORDERBY: references by display value, the rest by stored value.
std::string sortValue(const Database& db, const TableDef& table, const Record& r, const std::string& field) {
    const auto res = db.resolve(table, &r, field);
    if (!res) return "";
    return res->field->type == FieldType::Reference || res->field->type == FieldType::Journal
               ? db.display(*res)
               : db.value(*res);
}

}  // namespace

EncodedQuery parseEncodedQuery(std::string_view text, const TableDef& table, const Database& db,
                               const QueryContext& ctx) {
    EncodedQuery q;
    q.groups.emplace_back();
    for (const std::string& raw : splitTerms(text)) {
        std::string term = raw;
        if (term.empty()) continue;
        if (term == "EQ") break;
        if (startsWith(term, "ORDERBYDESC")) {
            q.order.push_back({term.substr(11), true});
            continue;
        }
        if (startsWith(term, "ORDERBY")) {
            q.order.push_back({term.substr(7), false});
            continue;
        }
        if (startsWith(term, "GROUPBY") || startsWith(term, "RLQUERY") || startsWith(term, "SUBQUERY") ||
            startsWith(term, "ENDRLQUERY") || term.find("TEXTQUERY") != std::string::npos ||
            startsWith(term, "IR_"))
            throw QueryError("Unsupported query term \"" + term + "\"");
        bool isOr = false;
        if (startsWith(term, "NQ")) {
            if (!q.groups.back().empty()) q.groups.emplace_back();
            term = term.substr(2);
            if (term.empty()) continue;
        } else if (startsWith(term, "OR")) {
            isOr = true;
            term = term.substr(2);
        }
        Condition c = parseCondition(term, table, db, ctx);
        auto& clauses = q.groups.back();
        if (isOr && !clauses.empty())
            clauses.back().push_back(std::move(c));
        else
            clauses.push_back({std::move(c)});
    }
    return q;
}

bool matches(const EncodedQuery& q, const Database& db, const TableDef& table, const Record& r) {
    for (const auto& group : q.groups) {
        bool all = true;
        for (const auto& clause : group) {
            bool any = false;
            for (const auto& c : clause)
                if (evaluate(c, db, table, r)) {
                    any = true;
                    break;
                }
            if (!any) {
                all = false;
                break;
            }
        }
        if (all) return true;
    }
    return false;
}

std::vector<const Record*> runQuery(const EncodedQuery& q, const Database& db, const TableDef& table) {
    std::vector<const Record*> out;
    for (const auto& r : db.rows(table))
        if (matches(q, db, table, r)) out.push_back(&r);
    std::vector<OrderKey> keys;
    for (const auto& k : q.order)
        if (db.resolve(table, nullptr, k.field)) keys.push_back(k);  // unknown sort fields are ignored
    if (keys.empty()) return out;
    std::vector<std::pair<std::vector<std::string>, const Record*>> decorated;
    decorated.reserve(out.size());
    for (const Record* r : out) {
        std::vector<std::string> values;
        for (const auto& k : keys) values.push_back(sortValue(db, table, *r, k.field));
        decorated.emplace_back(std::move(values), r);
    }
    std::stable_sort(decorated.begin(), decorated.end(), [&](const auto& a, const auto& b) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::string &x = a.first[i], &y = b.first[i];
            // Empty values sort lowest, as NULLs do on the instance's database.
            int cmp = x.empty() ? (y.empty() ? 0 : -1) : y.empty() ? 1 : compareValues(x, y);
            if (keys[i].descending) cmp = -cmp;
            if (cmp != 0) return cmp < 0;
        }
        return false;
    });
    out.clear();
    for (auto& [values, r] : decorated) out.push_back(r);
    return out;
}

}  // namespace trayline::demo
