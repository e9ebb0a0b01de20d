#pragma once

// What the MCP tools need from the outside world: the sign-in check and the instance operations.
// The server runs on ServiceNowBackend; the fuzz target swaps in an in-memory one, since a fuzzer
// must not do I/O.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/servicenow/sn_task.h"
#include "core/servicenow/sn_user.h"

namespace trayline {

class ToolBackend {
public:
    virtual ~ToolBackend() = default;

    // True when a token set can be loaded; read afresh for every call.
    virtual bool signedIn() const = 0;

    virtual std::vector<SNTask> fetchTasks(std::string_view query, int limit) const = 0;
    virtual std::vector<SNUser> groupMembers() const = 0;
    virtual std::vector<SNUser> searchUsers(std::string_view text) const = 0;
    virtual SNTask resolveTask(std::string_view reference) const = 0;
    virtual SNUser resolveUser(std::string_view reference) const = 0;
    virtual void patch(std::string_view table, std::string_view sysID,
                       const std::map<std::string, std::string>& body) const = 0;
    virtual void assign(const SNTask& task, std::string_view userSysID, bool alsoRITM) const = 0;
    virtual void close(const SNTask& task, std::string_view resolution) const = 0;
    virtual std::string searchRecords(std::string_view table, std::string_view query,
                                      const std::optional<std::string>& fields, int limit) const = 0;
};

// The real thing: the keychain for the sign-in check, ServiceNowClient for everything else.
class ServiceNowBackend final : public ToolBackend {
public:
    bool signedIn() const override;
    std::vector<SNTask> fetchTasks(std::string_view query, int limit) const override;
    std::vector<SNUser> groupMembers() const override;
    std::vector<SNUser> searchUsers(std::string_view text) const override;
    SNTask resolveTask(std::string_view reference) const override;
    SNUser resolveUser(std::string_view reference) const override;
    void patch(std::string_view table, std::string_view sysID,
               const std::map<std::string, std::string>& body) const override;
    void assign(const SNTask& task, std::string_view userSysID, bool alsoRITM) const override;
    void close(const SNTask& task, std::string_view resolution) const override;
    std::string searchRecords(std::string_view table, std::string_view query,
                              const std::optional<std::string>& fields, int limit) const override;
};

}  // namespace trayline
