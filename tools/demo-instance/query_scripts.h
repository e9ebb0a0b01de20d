#pragma once

// Values of encoded queries that the instance computes: "javascript:gs.*" scripts and date bounds.

#include <string>

#include "encoded_query.h"

namespace trayline::demo {

// `v` itself, or the value of the script it names. Throws QueryError for scripts not supported.
std::string evalValue(const std::string& v, const QueryContext& ctx);
// A date bound for ON / BETWEEN: a script, a date-time or a bare date (start or end of that day).
util::TimePoint dateBound(const std::string& text, const QueryContext& ctx, bool isEnd);

}  // namespace trayline::demo
