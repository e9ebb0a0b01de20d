#pragma once

// ServiceNow encoded queries, evaluated for real against the demo data.
//
// Supported: "^" (AND), "^OR" (OR, binding tighter than AND), "^NQ" (a new query OR-ed with the
// previous ones), "^EQ" (end), "^^" (a literal caret inside a value), dot-walked field names,
// ORDERBY / ORDERBYDESC (several, in order), and the operators
//   = != < <= > >= IN, NOT IN, LIKE, NOT LIKE, STARTSWITH, ENDSWITH, ISEMPTY, ISNOTEMPTY,
//   ANYTHING, EMPTYSTRING, DYNAMIC (the "Me" filter 90d1921e5f510100a9ad2572f2b477fe only),
//   ON, NOTON, BETWEEN,
// and the values "javascript:gs.getUserID()", gs.beginningOf.../endOf... (Today, Yesterday,
// Tomorrow, ThisWeek, LastWeek, ThisMonth, LastMonth, NextMonth, ThisYear, LastYear),
// gs.daysAgo(n), gs.daysAgoStart(n), gs.daysAgoEnd(n), gs.hoursAgo(n), gs.minutesAgo(n) and
// gs.dateGenerate('yyyy-MM-dd','HH:mm:ss'|'start'|'end'), all in UTC (the demo users' zone).
// Anything else (another operator, another dynamic filter or script, GROUPBY, RLQUERY, keyword
// search) throws QueryError: never a silent match-all. A condition on a field the table does not
// have matches no record (the instance's "invalid query returns no rows" behaviour).
//
// Semantics follow the instance's database: "=", IN and LIKE ignore letter case; negative
// operators (!=, NOT IN, NOT LIKE, NOTON) and comparisons never match an empty value; string
// operators on reference fields compare the referenced record's display value, and "=" on a
// reference with a value that is not a sys_id does too.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "database.h"
#include "util.h"

namespace trayline::demo {

inline constexpr const char* kMeDynamicFilter = "90d1921e5f510100a9ad2572f2b477fe";

class QueryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct QueryContext {
    std::string userSysId;  // the token's user (DYNAMIC Me, gs.getUserID())
    util::TimePoint now;
};

struct Condition {
    std::string field;
    std::string op;
    std::string value;                 // as written (carets unescaped)
    bool knownField = true;            // false: matches nothing
    std::vector<std::string> values;   // IN / NOT IN lists; "=" etc. hold the evaluated value
    std::optional<util::TimePoint> from, to;  // ON / NOTON / BETWEEN on dates
};

struct OrderKey {
    std::string field;
    bool descending = false;
};

struct EncodedQuery {
    // NQ groups, each a list of AND clauses, each a list of OR alternatives.
    std::vector<std::vector<std::vector<Condition>>> groups;
    std::vector<OrderKey> order;
};

EncodedQuery parseEncodedQuery(std::string_view text, const TableDef& table, const Database& db,
                               const QueryContext& ctx);
bool matches(const EncodedQuery& q, const Database& db, const TableDef& table, const Record& r);
// The matching records, ordered by the query's ORDERBY keys (stable; the instance's storage order
// otherwise).
std::vector<const Record*> runQuery(const EncodedQuery& q, const Database& db, const TableDef& table);

}  // namespace trayline::demo
