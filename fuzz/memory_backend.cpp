#include "memory_backend.h"

#include <nlohmann/json.hpp>

#include "core/auth/auth_error.h"
#include "core/servicenow/service_now_client.h"

namespace trayline::fuzz {

namespace {

SNField both(const std::string& v) { return {v, v}; }

}  // namespace

MemoryBackend::MemoryBackend() {
    SNTask a;
    a.sysID = both("0123456789abcdef0123456789abcdef");
    a.number = both("SCTASK0010001");
    a.shortDescription = both("Printer jammed");
    a.request = {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "REQ0010001"};
    a.requestItem = {"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", "RITM0010001"};
    a.state = {"1", "Open"};
    a.priority = {"2", "2 - High"};
    a.openedAt = both("2025-03-03 12:00:00");
    SNTask b = a;
    b.sysID = both("fedcba9876543210fedcba9876543210");
    b.number = both("SCTASK0010002");
    b.request = {};
    b.assignedTo = {"1c9e4b7a2f6d4e8b9a0c3d5e7f1b2a46", "Alex Morgan"};
    b.closedAt = both("2025-03-05 08:00:00");
    tasks_ = {a, b};
    users_ = {{"1c9e4b7a2f6d4e8b9a0c3d5e7f1b2a46", "Alex Morgan", "alex@example.com"},
              {"2c9e4b7a2f6d4e8b9a0c3d5e7f1b2a46", "Dana Whitfield", std::nullopt},
              {"3c9e4b7a2f6d4e8b9a0c3d5e7f1b2a46", "Sam Carter", ""}};
}

std::vector<SNTask> MemoryBackend::fetchTasks(std::string_view query, int limit) const {
    if (query.empty() || limit < 1)
        throw AuthError::badResponse(400, "{}");
    return tasks_;
}

std::vector<SNUser> MemoryBackend::groupMembers() const { return users_; }

std::vector<SNUser> MemoryBackend::searchUsers(std::string_view text) const {
    std::vector<SNUser> out;
    for (const auto& u : users_)
        if (text.size() >= 2 && u.name.find(text) != std::string::npos)
            out.push_back(u);
    return out;
}

SNTask MemoryBackend::resolveTask(std::string_view reference) const {
    for (const auto& t : tasks_)
        if (reference == t.sysID.value || reference == t.number.display || reference == t.request.display)
            return t;
    throw LookupError(LookupError::Kind::noMatch, "No task matches " + std::string(reference) + ".");
}

SNUser MemoryBackend::resolveUser(std::string_view reference) const {
    if (reference == "me")
        return users_.front();
    const auto found = searchUsers(reference);
    if (found.size() == 1)
        return found.front();
    throw LookupError(found.empty() ? LookupError::Kind::noMatch : LookupError::Kind::ambiguous,
                      "No single user matches " + std::string(reference) + ".");
}

void MemoryBackend::patch(std::string_view table, std::string_view sysID,
                          const std::map<std::string, std::string>& body) const {
    if (table.empty() || sysID.empty() || body.empty())
        throw AuthError::badResponse(404, "{}");
}

void MemoryBackend::assign(const SNTask& task, std::string_view userSysID, bool alsoRITM) const {
    patch("sc_task", task.sysID.value, {{"assigned_to", std::string(userSysID)}});
    if (alsoRITM && !task.requestItem.value.empty())
        throw AuthError::badResponse(500, "{\"error\":\"second patch\"}");
}

void MemoryBackend::close(const SNTask& task, std::string_view resolution) const {
    patch("sc_task", task.sysID.value, {{"u_resolution", std::string(resolution)}});
}

std::string MemoryBackend::searchRecords(std::string_view table, std::string_view query,
                                         const std::optional<std::string>& fields, int limit) const {
    if (limit < 1 || limit > 100)
        std::abort();  // the tool must clamp before asking
    if (query.size() % 2)
        return {};
    nlohmann::json row = {{"table", table}, {"query", query}, {"fields", fields.value_or("")}};
    return nlohmann::json::array({row}).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace trayline::fuzz
