#pragma once

// The Table API: GET /api/now/table/{table}[/{sys_id}] and PATCH/PUT /api/now/table/{table}/{sys_id},
// with sysparm_query, sysparm_fields, sysparm_display_value, sysparm_exclude_reference_link,
// sysparm_limit and sysparm_offset. Pure functions over a Database; the caller locks it.

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "database.h"
#include "encoded_query.h"

namespace trayline::demo {

using QueryParams = std::vector<std::pair<std::string, std::string>>;

enum class DisplayMode { Value, Display, All };

struct HttpReply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json;charset=UTF-8";
    std::vector<std::pair<std::string, std::string>> headers;
};

// {"error": {"message": m, "detail": d}, "status": "failure"}; detail null when absent.
std::string errorJson(const std::string& message, const std::optional<std::string>& detail);
HttpReply errorReply(int status, const std::string& message, const std::optional<std::string>& detail);

// What the instance's access rules keep from the caller: whole records, and single fields of
// records. Lists apply them after the limit, as the instance does, so a full page can come back
// short while X-Total-Count still counts every match.
struct AccessRules {
    std::set<std::string> hiddenRows;                            // sys_ids
    std::map<std::string, std::set<std::string>> hiddenFields;  // field name -> sys_ids, "*" for all
    bool hidesField(const std::string& field, const std::string& sysId) const;
};

struct TableParams {
    std::string query;
    std::vector<std::string> fields;  // empty: every field of the table
    DisplayMode mode = DisplayMode::Value;
    bool excludeLinks = false;
    long long limit = 10000;
    long long offset = 0;
};
// Throws ApiError for a bad limit or offset.
TableParams parseTableParams(const QueryParams& query);

// One record as the Table API writes it.
nlohmann::ordered_json formatRecord(const Database& db, const TableDef& table, const Record& record,
                                    const TableParams& params, const std::string& baseUrl);

HttpReply tableList(const Database& db, const std::string& table, const QueryParams& query,
                    const QueryContext& ctx, const std::string& baseUrl, const AccessRules& rules = {});
HttpReply tableGetOne(const Database& db, const std::string& table, const std::string& sysId,
                      const QueryParams& query, const std::string& baseUrl);
HttpReply tablePatch(Database& db, const std::string& table, const std::string& sysId,
                     const std::string& body, const QueryParams& query, const QueryContext& ctx,
                     const std::string& baseUrl);

}  // namespace trayline::demo
