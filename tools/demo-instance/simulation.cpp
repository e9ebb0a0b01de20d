#include "simulation.h"

#include "demo_data.h"
#include "demo_instance.h"

namespace trayline::demo {

using nlohmann::json;

std::vector<std::string> simulateTick(Database& db, std::mt19937& rng, std::size_t tick, util::TimePoint now) {
    std::vector<std::string> events;
    const std::string me = db.demoUser();
    auto name = [&](const std::string& id) {
        const Record* u = db.find("sys_user", id);
        return u ? u->get("name") : id;
    };

    // A new request arrives, unassigned, in the group queue.
    std::vector<std::string> callers;
    for (const auto& id : demoCallerSysIds())
        if (db.find("sys_user", id)) callers.push_back(id);
    if (callers.empty())
        for (const auto& u : db.rows(*findTable("sys_user")))
            if (u.get("active") == "true" && u.get("sys_id") != me) callers.push_back(u.get("sys_id"));
    const std::string caller = callers.empty() ? me : callers[rng() % callers.size()];
    const json fresh = newRequestRecords(tick, caller, now);
    auto toRecord = [](const json& o) {
        Record r;
        for (const auto& [k, v] : o.items()) r.values[k] = v.get<std::string>();
        return r;
    };
    Record req = toRecord(fresh["sc_request"]);
    const std::string reqId = db.insert(*findTable("sc_request"), std::move(req), now, caller);
    Record ritm = toRecord(fresh["sc_req_item"]);
    ritm.values["request"] = reqId;
    const std::string ritmId = db.insert(*findTable("sc_req_item"), std::move(ritm), now, caller);
    Record task = toRecord(fresh["sc_task"]);
    task.values["request_item"] = ritmId;
    task.values["request"] = reqId;
    const std::string taskId = db.insert(*findTable("sc_task"), std::move(task), now, caller);
    const Record* t = db.find("sc_task", taskId);
    events.push_back("New request " + db.find("sc_request", reqId)->get("number") + " (" + t->get("number") +
                     "): " + t->get("short_description") + ", for " + name(caller));

    const TableDef& tasks = *findTable("sc_task");
    auto queued = [&](const Record& r) {
        const std::string& s = r.get("state");
        return r.get("assignment_group") == kGroupSysId && (s == "1" || s == "2" || s == "3");
    };
    // Now and then a queued task is assigned to the demo user...
    if (rng() % 10 < 4) {
        std::vector<std::string> candidates;
        for (const auto& r : db.rows(tasks))
            if (queued(r) && r.get("assigned_to").empty() && r.get("sys_id") != taskId) candidates.push_back(r.get("sys_id"));
        if (!candidates.empty()) {
            const std::string id = candidates[rng() % candidates.size()];
            db.update(tasks, id, {{"assigned_to", me}}, me, now);
            events.push_back(db.find("sc_task", id)->get("number") + " assigned to " + name(me));
        }
    }
    // ...or one of the demo user's tasks is closed.
    if (rng() % 10 < 3) {
        std::vector<std::string> candidates;
        for (const auto& r : db.rows(tasks))
            if (queued(r) && r.get("assigned_to") == me) candidates.push_back(r.get("sys_id"));
        if (!candidates.empty()) {
            const std::string id = candidates[rng() % candidates.size()];
            db.update(tasks, id, {{"state", "5"}, {"u_resolution", "Completed as requested (simulated)."}}, me, now);
            events.push_back(db.find("sc_task", id)->get("number") + " closed by " + name(me));
        }
    }
    return events;
}

}  // namespace trayline::demo
