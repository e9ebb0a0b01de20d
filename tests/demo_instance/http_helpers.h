#pragma once

// Helpers for talking to the demo instance over real loopback HTTP (httplib::Client).

#include <httplib.h>

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "demo_instance.h"
#include "util.h"

namespace trayline::demo::testing {

using Params = std::vector<std::pair<std::string, std::string>>;

inline std::string withQuery(const std::string& path, const Params& params) {
    std::string out = path;
    char sep = '?';
    for (const auto& [k, v] : params) {
        out += sep + util::percentEncode(k) + "=" + util::percentEncode(v);
        sep = '&';
    }
    return out;
}

inline std::string form(const Params& params) { return withQuery("", params).substr(1); }

inline httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

inline nlohmann::json body(const httplib::Result& r) {
    if (!r) throw std::runtime_error("no HTTP response: " + httplib::to_string(r.error()));
    return nlohmann::json::parse(r->body);
}

// Starts the instance and returns its base URL (for member initialisers).
inline std::string started(DemoInstance& instance) {
    instance.start();
    return instance.baseUrl();
}

// The eighteen task fields the app asks for, in order.
inline const char* kTaskFields =
    "sys_id,number,short_description,description,request_item,request_item.request,"
    "request_item.request.opened_at,request_item.short_description,request_item.description,"
    "request_item.request.requested_for,opened_by,state,priority,assigned_to,assignment_group,opened_at,"
    "sys_updated_on,closed_at";

// The four watcher queries for the demo group.
inline std::string myTasksQuery() {
    return "assigned_toDYNAMIC90d1921e5f510100a9ad2572f2b477fe^active=true^ORDERBYDESCopened_at";
}
inline std::string groupQueueQuery() {
    return std::string("assignment_group=") + kGroupSysId + "^stateIN1,2,3^ORDERBYDESCopened_at";
}
inline std::string closedThisMonthQuery() {
    return std::string("assignment_group=") + kGroupSysId +
           "^closed_atONThis month@javascript:gs.beginningOfThisMonth()@javascript:gs.endOfThisMonth()"
           "^ORDERBYDESCclosed_at";
}
inline std::string closedLastMonthQuery() {
    return std::string("assignment_group=") + kGroupSysId +
           "^closed_atONLast month@javascript:gs.beginningOfLastMonth()@javascript:gs.endOfLastMonth()"
           "^ORDERBYDESCclosed_at";
}

// GET of a task list exactly as the app's fetchTasks sends it.
inline std::string fetchTasksPath(const std::string& query, int limit = 100) {
    return withQuery("/api/now/table/sc_task", {{"sysparm_query", query},
                                                {"sysparm_display_value", "all"},
                                                {"sysparm_exclude_reference_link", "true"},
                                                {"sysparm_limit", std::to_string(limit)},
                                                {"sysparm_fields", kTaskFields}});
}

}  // namespace trayline::demo::testing
