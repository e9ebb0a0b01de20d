#pragma once

// The plain-text answers of the list tools, written for a language model to read.

#include <string>
#include <string_view>
#include <vector>

#include "core/platform/time.h"
#include "core/servicenow/sn_task.h"
#include "core/servicenow/sn_user.h"

namespace trayline::mcp {

// "<n> task(s)", a blank line, then one block per task; `empty` when there are none.
std::string render(const std::vector<SNTask>& tasks, std::string_view empty);
std::string render(const std::vector<SNTask>& tasks, std::string_view empty, const DateFormatter& dates);

// One "name — email — sys_id" line per user; `empty` when there are none.
std::string renderUsers(const std::vector<SNUser>& users, std::string_view empty);

}  // namespace trayline::mcp
