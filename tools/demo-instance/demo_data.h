#pragma once

// Built-in demo data (demo_data.cpp) and the pieces the live-queue simulation reuses.

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "util.h"

namespace trayline::demo {

// Callers of the built-in data (requested_for of new requests).
std::vector<std::string> demoCallerSysIds();
// Titles of the request templates.
const std::vector<std::string>& demoRequestTitles();
// Stored values for a new request arriving in the demo group's queue: {"sc_request": {...},
// "sc_req_item": {...}, "sc_task": {...}} without sys_ids, numbers or links between them.
nlohmann::json newRequestRecords(std::size_t templateIndex, const std::string& callerSysId, util::TimePoint now);

}  // namespace trayline::demo
