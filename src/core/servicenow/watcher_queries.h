#pragma once

// The four lists the app watches, as encoded queries. The tray panel, its "Open list" links and the
// MCP tools all use these, so a list means the same thing everywhere.

#include <string>

namespace trayline::queries {

// The signed-in user's open tasks (the instance's built-in "Me" dynamic filter).
std::string myTasks();
// The group queue: Config::groupQuery().
std::string groupQueue();
// The part of the group queue nobody is assigned to (for its count when the queue is longer than
// the rows fetched).
std::string unassignedInGroupQueue();
// Tasks the group closed this calendar month / last calendar month, as the instance counts months.
std::string closedThisMonth();
std::string closedLastMonth();

}  // namespace trayline::queries
