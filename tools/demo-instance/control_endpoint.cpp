#include <nlohmann/json.hpp>

#include "demo_data.h"
#include "instance_impl.h"
#include "simulation.h"
#include "schema.h"

namespace trayline::demo {

using nlohmann::json;

HttpReply DemoInstance::Impl::control(const httplib::Request& req) {
    json in;
    try {
        in = json::parse(req.body);
    } catch (const json::exception&) {
        return errorReply(400, "Invalid control request", std::string("The body must be a JSON object"));
    }
    if (!in.is_object() || !in.contains("action") || !in["action"].is_string())
        return errorReply(400, "Invalid control request", std::string("Missing \"action\""));
    const std::string action = in["action"];
    json out = {{"ok", true}};
    try {
        if (action == "latency") {
            latencyMs = in.value("ms", 0LL);
        } else if (action == "fail_next") {
            std::lock_guard lock(failMutex);
            failures.push_back({in.value("count", 1), in.value("status", 500), in.value("body", std::string()),
                                in.value("content_type", std::string("application/json"))});
        } else if (action == "rate_limit") {
            // {"limit": N, "window_seconds": S}; limit 0 turns it off.
            rateLimit.configure(in.value("limit", 0), in.value("window_seconds", 3600LL));
        } else if (action == "acl") {
            // {"hidden_rows": [sys_id...], "hidden_fields": {"assigned_to": [sys_id... or "*"]}}
            AccessRules next;
            if (const auto rows = in.find("hidden_rows"); rows != in.end() && rows->is_array())
                for (const auto& id : *rows)
                    next.hiddenRows.insert(id.get<std::string>());
            if (const auto fields = in.find("hidden_fields"); fields != in.end() && fields->is_object())
                for (const auto& [field, ids] : fields->items())
                    for (const auto& id : ids)
                        next.hiddenFields[field].insert(id.get<std::string>());
            std::lock_guard lock(rulesMutex);
            rules = std::move(next);
        } else if (action == "total_count") {
            std::lock_guard lock(rulesMutex);
            totalCount = in.value("enabled", true);
            totalOverride.reset();
            if (in.contains("value"))  // a broken proxy's or instance's header, as sent
                totalOverride = in["value"].is_string() ? in["value"].get<std::string>() : in["value"].dump();
        } else if (action == "expire_access_tokens") {
            oauth->expireAccessTokens();
        } else if (action == "revoke_refresh_tokens") {
            oauth->revokeRefreshTokens();
        } else if (action == "token_lifetime") {
            oauth->setLifetime(in.value("seconds", 1800));
        } else if (action == "issue_tokens") {
            const auto t = oauth->issue(db.demoUser());
            out["access_token"] = t.accessToken;
            out["refresh_token"] = t.refreshToken;
            out["expires_in"] = t.expiresIn;
        } else if (action == "request_log") {
            json list = json::array();
            std::lock_guard lock(logMutex);
            for (const auto& r : log) {
                json query = json::array();
                for (const auto& [k, v] : r.query) query.push_back({k, v});
                list.push_back({{"method", r.method}, {"path", r.path}, {"query", query}, {"body", r.body},
                                {"authorization", r.authorization}});
            }
            out["requests"] = std::move(list);
        } else if (action == "connections") {
            out["accepted"] = connections.accepted.load();
        } else if (action == "reset") {
            {
                std::lock_guard lock(logMutex);
                log.clear();
            }
            {
                std::lock_guard lock(failMutex);
                failures.clear();
            }
            connections.accepted = 0;
            latencyMs = 0;
            rateLimit.configure(0, 3600);
            std::lock_guard lock(rulesMutex);
            rules = {};
            totalCount = true;
            totalOverride.reset();
        } else if (action == "record") {
            std::shared_lock lock(dbMutex);
            const Record* r = db.find(in.value("table", std::string()), in.value("sys_id", std::string()));
            out["record"] = r ? Database::recordJson(*r) : json::object();
        } else if (action == "insert_task") {
            out["sys_id"] = insertTask(in.value("fields", json::object()));
        } else if (action == "simulate_step") {
            out["events"] = simulateStep();
        } else {
            return errorReply(400, "Invalid control request", "Unknown action " + action);
        }
    } catch (const std::exception& e) {
        return errorReply(400, "Invalid control request", std::string(e.what()));
    }
    HttpReply r;
    r.body = out.dump();
    return r;
}

std::string DemoInstance::Impl::insertTask(const json& fields) {
    const TableDef& t = *findTable("sc_task");
    if (!fields.is_object()) throw std::invalid_argument("insertTask needs a JSON object of fields");
    Record r;
    for (const auto& [k, v] : fields.items()) {
        if (!t.field(k)) throw std::invalid_argument("sc_task has no field " + k);
        if (v.is_object() || v.is_array()) throw std::invalid_argument("the value of " + k + " must be a text");
        r.values[k] = v.is_string() ? v.get<std::string>() : v.is_null() ? "" : v.is_boolean() ? (v.get<bool>() ? "true" : "false") : v.dump();
    }
    const auto now = util::nowSeconds();
    if (r.get("state").empty()) r.values["state"] = "1";
    if (r.get("priority").empty()) r.values["priority"] = "4";
    if (!r.values.count("assignment_group")) r.values["assignment_group"] = kGroupSysId;
    if (r.get("opened_at").empty()) r.values["opened_at"] = util::formatUtc(now);
    std::unique_lock lock(dbMutex);
    if (!r.get("sys_id").empty() && db.find("sc_task", r.get("sys_id")))
        throw std::invalid_argument("a task with sys_id " + r.get("sys_id") + " exists already");
    return db.insert(t, std::move(r), now, "");
}

std::vector<std::string> DemoInstance::Impl::simulateStep() {
    std::unique_lock lock(dbMutex);
    std::lock_guard simLock(simMutex);
    return simulateTick(db, rng, simTicks++, util::nowSeconds());
}

}  // namespace trayline::demo
