#include "desktop/models/task_order.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/platform/time.h"

namespace trayline {

namespace {

void sortDescendingBy(TaskList& tasks, SNField SNTask::*field) {
    // Parse once per task, not once per comparison.
    std::vector<std::pair<Instant, std::size_t>> keys;
    keys.reserve(tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i)
        keys.emplace_back(parseUtc((tasks[i].*field).value).value_or(Instant::min()), i);
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    TaskList sorted;
    sorted.reserve(tasks.size());
    for (const auto& [when, index] : keys)
        sorted.push_back(std::move(tasks[index]));
    tasks = std::move(sorted);
}

}  // namespace

void sortNewestFirst(TaskList& tasks) { sortDescendingBy(tasks, &SNTask::openedAt); }

void sortLatestClosedFirst(TaskList& tasks) { sortDescendingBy(tasks, &SNTask::closedAt); }

int rowCount(const TaskList& tasks) {
    std::unordered_set<std::string_view> rows;
    for (const SNTask& t : tasks)
        rows.insert(t.sysID.value);
    return static_cast<int>(rows.size());
}

int unassignedCount(const TaskList& tasks) {
    std::unordered_set<std::string_view> rows;
    for (const SNTask& t : tasks)
        if (t.assigneeKnown && t.assignedTo.value.empty())
            rows.insert(t.sysID.value);
    return static_cast<int>(rows.size());
}

IdSet idsOf(const TaskList& tasks) {
    IdSet ids;
    ids.reserve(tasks.size());
    for (const auto& t : tasks)
        ids.insert(t.sysID.value);
    return ids;
}

}  // namespace trayline
