#pragma once

// The instance's browser pages: GET /nav_to.do?uri=TARGET and the targets themselves
// ("/sc_task.do?sys_id=…" record forms, "/sc_task_list.do?sysparm_query=…" lists), as plain HTML,
// so that "Open in browser" in the demo lands somewhere real.

#include <string>

#include "database.h"
#include "encoded_query.h"
#include "table_api.h"

namespace trayline::demo {

// `target` is the decoded navigation target, e.g. "sc_task.do?sys_id=…" (its own query still
// percent-encoded, as a browser would load it).
HttpReply navPage(const Database& db, const std::string& target, const QueryContext& ctx);
// GET /: what this server is and how to reach its pieces.
HttpReply homePage(const Database& db, const std::string& baseUrl);

}  // namespace trayline::demo
