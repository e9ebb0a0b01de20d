#pragma once

// The only door to the instance's Table API: reads, updates, the task operations built on them,
// and the resolution of the loose task and user references people type.

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/platform/http.h"
#include "core/servicenow/sn_user.h"

namespace trayline {

class LookupError : public std::runtime_error {
public:
    enum class Kind { noMatch, ambiguous };
    LookupError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// The first rows of a list, and how many the whole list holds.
struct TaskPage {
    std::vector<SNTask> tasks;
    // The instance's "X-Total-Count": every matching record, also those past the limit and those
    // its access rules keep from this user. Nothing when the reply has no usable count.
    std::optional<std::int64_t> total;
};

class ServiceNowClient {
public:
    // Every request made through this client ends early (http::Cancelled) once *cancel is true.
    explicit ServiceNowClient(const std::atomic<bool>* cancel = nullptr) : cancel_(cancel) {}

    std::vector<SNTask> fetchTasks(std::string_view query, int limit) const;
    // fetchTasks, with the list's full length.
    TaskPage fetchTaskPage(std::string_view query, int limit) const;
    // How many records of the configured table match, without fetching them (one row is asked
    // for, and the reply's count read); nothing when the instance does not say.
    std::optional<std::int64_t> countTasks(std::string_view query) const;
    std::vector<SNUser> groupMembers() const;
    SNUser currentUser() const;
    std::vector<SNUser> searchUsers(std::string_view text) const;
    void patch(std::string_view table, std::string_view sysID,
               const std::map<std::string, std::string>& body) const;
    void assign(const SNTask& task, std::string_view userSysID, bool alsoRITM) const;
    void close(const SNTask& task, std::string_view resolution) const;
    SNTask resolveTask(std::string_view reference) const;
    SNUser resolveUser(std::string_view reference) const;
    std::string searchRecords(std::string_view table, std::string_view query,
                              const std::optional<std::string>& fields, int limit) const;

    static bool isSysID(std::string_view text);
    // A typed value placed inside an encoded query: "^" doubled, the instance's literal caret, so
    // the value cannot add conditions of its own.
    static std::string queryValue(std::string_view typed);

private:
    http::Response get(std::string_view table, const QueryParams& params) const;
    http::Response execute(const struct RequestTemplate& request) const;

    const std::atomic<bool>* cancel_;
};

}  // namespace trayline
