#pragma once

// The panel's list orders and the derived counts; pure functions, safe on any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/servicenow/sn_task.h"
#include "core/servicenow/sn_user.h"

namespace trayline {

using TaskList = std::vector<SNTask>;
using UserList = std::vector<SNUser>;
using IdSet = std::unordered_set<std::string>;

// Descending by opened_at / closed_at, stable; an empty or unparsable time counts as the earliest
// instant, so such tasks sink to the end in the order the instance returned them.
void sortNewestFirst(TaskList& tasks);
void sortLatestClosedFirst(TaskList& tasks);

// A list's length: the rows fetched, and the whole list's as the instance counted it. The instance
// counts before its access rules and past the row limit, so its total can exceed the rows.
struct ListSize {
    int rows = 0;                       // distinct rows fetched
    std::optional<std::int64_t> total;  // the instance's count; none when it gave none
    bool full = false;                  // the rows filled the limit (without a total: maybe more)

    // What a count shows: the instance's total, else the rows.
    std::int64_t count() const { return total && *total > rows ? *total : rows; }
    // More tasks than rows: the list shows only the first of them.
    bool truncated() const { return total ? *total > rows : full; }
    // The rows are a lower bound only: a full list without a total.
    bool atLeast() const { return !total && full; }
    // "1515", or "100+" for a full list whose total is unknown.
    std::string text() const { return std::to_string(count()) + (atLeast() ? "+" : ""); }
    bool operator==(const ListSize&) const = default;
};

// The rows a list shows: a task the instance returned twice is one row (rows are keyed by sys_id),
// so chips and the tray's counts count it once.
int rowCount(const TaskList& tasks);
// Rows whose assignee has an empty stored value, whatever its display text; a row whose assignee
// the instance hides is not one of them.
int unassignedCount(const TaskList& tasks);

IdSet idsOf(const TaskList& tasks);

}  // namespace trayline
