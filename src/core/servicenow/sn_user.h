#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/servicenow/sn_task.h"

namespace trayline {

struct SNUser {
    std::string sysID;
    std::string name;
    std::optional<std::string> email;

    const std::string& id() const { return sysID; }
    // Strict: string "sys_id" and "name" required; "email" a string, null or absent.
    static SNUser fromJson(const nlohmann::json& j);
    bool operator==(const SNUser&) const = default;
};

// A row of sys_user_grmember read with dot-walked user fields; every member optional.
struct SNGroupMemberRow {
    std::optional<std::string> sysID;  // "user.sys_id"
    std::optional<std::string> name;   // "user.name"
    std::optional<std::string> email;  // "user.email"

    static SNGroupMemberRow fromJson(const nlohmann::json& j);
};

// The Table API's list envelope {"result": [...]}. Throw DecodingError when the body is not JSON,
// not an object with an array "result", or (per record type) an element does not decode.
std::vector<SNTask> decodeTaskList(std::string_view body);
std::vector<SNUser> decodeUserList(std::string_view body);
std::vector<SNGroupMemberRow> decodeGroupMemberList(std::string_view body);

// How a person or an MCP client names a task or a user.
struct TaskReference {
    enum class Kind { sysID, number };
    Kind kind;
    std::string text;  // trimmed
    static TaskReference parse(std::string_view reference);
};

struct UserReference {
    enum class Kind { me, sysID, name };
    Kind kind;
    std::string text;  // trimmed
    static UserReference parse(std::string_view reference);
};

}  // namespace trayline
