#include "core/mcp/tool_backend.h"

#include "core/auth/token_store.h"
#include "core/servicenow/service_now_client.h"

namespace trayline {

namespace {
// Stateless apart from its (absent) cancel flag, so one shared instance serves every call.
const ServiceNowClient& client() {
    static const ServiceNowClient instance;
    return instance;
}
}  // namespace

bool ServiceNowBackend::signedIn() const { return TokenStore::load().has_value(); }

std::vector<SNTask> ServiceNowBackend::fetchTasks(std::string_view query, int limit) const {
    return client().fetchTasks(query, limit);
}

std::vector<SNUser> ServiceNowBackend::groupMembers() const { return client().groupMembers(); }

std::vector<SNUser> ServiceNowBackend::searchUsers(std::string_view text) const {
    return client().searchUsers(text);
}

SNTask ServiceNowBackend::resolveTask(std::string_view reference) const {
    return client().resolveTask(reference);
}

SNUser ServiceNowBackend::resolveUser(std::string_view reference) const {
    return client().resolveUser(reference);
}

void ServiceNowBackend::patch(std::string_view table, std::string_view sysID,
                              const std::map<std::string, std::string>& body) const {
    client().patch(table, sysID, body);
}

void ServiceNowBackend::assign(const SNTask& task, std::string_view userSysID, bool alsoRITM) const {
    client().assign(task, userSysID, alsoRITM);
}

void ServiceNowBackend::close(const SNTask& task, std::string_view resolution) const {
    client().close(task, resolution);
}

std::string ServiceNowBackend::searchRecords(std::string_view table, std::string_view query,
                                             const std::optional<std::string>& fields, int limit) const {
    return client().searchRecords(table, query, fields, limit);
}

}  // namespace trayline
