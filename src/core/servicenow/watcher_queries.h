#pragma once

// The four lists the app watches, as encoded queries. The tray panel, its "Open list" links and the
// MCP tools all use these, so a list means the same thing everywhere.

#include <string>

namespace trayline::queries {

// The signed-in user's open tasks (the instance's built-in "Me" dynamic filter).
std::string myTasks();
// The group queue: Config::groupQuery().
std::string groupQueue();
// Tasks the group closed this calendar month / last calendar month, as the instance counts months.
std::string closedThisMonth();
std::string closedLastMonth();

}  // namespace trayline::queries
