#pragma once

// The panel's list orders and the derived counts; pure functions, safe on any thread.

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

// The rows a list shows: a task the instance returned twice is one row (rows are keyed by sys_id),
// so chips and the tray's counts count it once.
int rowCount(const TaskList& tasks);
// Rows whose assignee has an empty stored value, whatever its display text.
int unassignedCount(const TaskList& tasks);

IdSet idsOf(const TaskList& tasks);

}  // namespace trayline
