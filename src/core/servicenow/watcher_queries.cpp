#include "core/servicenow/watcher_queries.h"

#include "core/settings/config.h"

namespace trayline::queries {

std::string myTasks() {
    return "assigned_toDYNAMIC90d1921e5f510100a9ad2572f2b477fe^active=true^ORDERBYDESCopened_at";
}

std::string groupQueue() { return Config::groupQuery(); }

std::string unassignedInGroupQueue() {
    return "assignment_group=" + Config::groupSysID() + "^stateIN" + Config::groupStates() + "^assigned_toISEMPTY";
}

std::string closedThisMonth() {
    return "assignment_group=" + Config::groupSysID() +
           "^closed_atONThis month@javascript:gs.beginningOfThisMonth()@javascript:gs.endOfThisMonth()"
           "^ORDERBYDESCclosed_at";
}

std::string closedLastMonth() {
    return "assignment_group=" + Config::groupSysID() +
           "^closed_atONLast month@javascript:gs.beginningOfLastMonth()@javascript:gs.endOfLastMonth()"
           "^ORDERBYDESCclosed_at";
}

}  // namespace trayline::queries
