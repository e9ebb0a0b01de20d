#include "encoded_query.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "query_scripts.h"

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
