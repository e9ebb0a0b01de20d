#include "core/mcp/tool_catalogue.h"

#include <algorithm>
#include <optional>

#include "core/mcp/render.h"
#include "core/mcp/tool_error.h"
#include "core/platform/paths.h"
#include "core/platform/text.h"
#include "core/servicenow/watcher_queries.h"
#include "core/settings/config.h"

namespace trayline::mcp {

namespace {

struct Property {
    const char* name;
    const char* type;
    const char* description;
    std::vector<const char*> enumValues = {};
};

OrderedJson descriptor(const char* name, const char* description, const std::vector<Property>& properties,
                       const std::vector<const char*>& requiredNames = {}) {
    OrderedJson props = OrderedJson::object();
    for (const auto& p : properties) {
        OrderedJson prop = {{"type", p.type}, {"description", p.description}};
        if (!p.enumValues.empty())
            prop["enum"] = p.enumValues;
        props[p.name] = std::move(prop);
    }
    OrderedJson schema = {{"type", "object"}, {"properties", std::move(props)}};
    if (!requiredNames.empty())
        schema["required"] = requiredNames;
    return OrderedJson{{"name", name}, {"description", description}, {"inputSchema", std::move(schema)}};
}

constexpr const char* kWriteTaskDescription = "Task number, RITM/REQ number, or sys_id.";
constexpr std::string_view kWriteToolNames[] = {"assign_task", "close_task", "add_note"};

bool isTrue(const nlohmann::json& arguments, const char* key) {
    const auto it = arguments.find(key);
    return it != arguments.end() && it->is_boolean() && it->get<bool>();
}

bool textEquals(const nlohmann::json& arguments, const char* key, std::string_view expected) {
    const auto it = arguments.find(key);
    return it != arguments.end() && it->is_string() && it->get_ref<const std::string&>() == expected;
}

// "limit": an integer argument clamped to 1...100, else 20.
int rowLimit(const nlohmann::json& arguments) {
    const auto it = arguments.find("limit");
    if (it == arguments.end())
        return 20;
    if (it->is_number_unsigned())
        return static_cast<int>(std::clamp<std::uint64_t>(it->get<std::uint64_t>(), 1, 100));
    if (it->is_number_integer())
        return static_cast<int>(std::clamp<std::int64_t>(it->get<std::int64_t>(), 1, 100));
    return 20;
}

std::string withURL(std::string text, const SNTask& task) {
    if (const auto url = task.primaryURL())
        text += *url;
    return text;
}

}  // namespace

OrderedJson readTools() {
    return OrderedJson::array({
        descriptor("list_my_tasks", "Open tasks assigned to me, newest first.", {}),
        descriptor("list_group_queue", "Open tasks in the assignment group queue the app watches.",
                   {{"unassignedOnly", "boolean", "Only tasks with nobody assigned yet."}}),
        descriptor("list_completed", "Tasks the group closed this month or last month.",
                   {{"period", "string", "Which month to report on. Defaults to this_month.",
                     {"this_month", "last_month"}}}),
        descriptor("get_task", "Full detail for one task, including the description and record links.",
                   {{"task", "string", "Task number (SCTASK\u2026), linked RITM/REQ number, or sys_id."}},
                   {"task"}),
        descriptor("list_group_members", "Active members of the watched assignment group, with their sys_ids.",
                   {}),
        descriptor("find_user", "Search active ServiceNow users by name.",
                   {{"name", "string", "Partial or full name, at least 2 characters."}}, {"name"}),
        descriptor("search_records",
                   "Run an encoded query against any table the signed-in user can read. Returns display "
                   "values as JSON. Use for tables or filters the other tools do not cover, e.g. "
                   "table=incident, query=active=true^priority=1.",
                   {{"table", "string", "Table name, e.g. sc_task, incident, sys_user."},
                    {"query", "string", "ServiceNow encoded query, e.g. active=true^ORDERBYDESCopened_at."},
                    {"fields", "string", "Comma-separated fields to return. Defaults to all."},
                    {"limit", "integer", "Max rows, 1\u2013100. Defaults to 20."}},
                   {"table", "query"}),
    });
}

OrderedJson writeTools() {
    return OrderedJson::array({
        descriptor("assign_task", "Assign a task to a person.",
                   {{"task", "string", kWriteTaskDescription},
                    {"assignee", "string", "A person's name, their sys_id, or \"me\"."},
                    {"alsoRITM", "boolean", "Also assign the linked request item. Defaults to false."}},
                   {"task", "assignee"}),
        descriptor("close_task",
                   "Close a task with a customer-visible resolution. Reassigns it to me first, because the "
                   "instance's business rules require ownership to close.",
                   {{"task", "string", kWriteTaskDescription},
                    {"resolution", "string", "Customer-visible resolution text. Required by the instance."}},
                   {"task", "resolution"}),
        descriptor("add_note", "Add a customer-visible comment or an internal work note to a task.",
                   {{"task", "string", kWriteTaskDescription},
                    {"text", "string", "The note body."},
                    {"type", "string",
                     "work_note is internal, comment is visible to the caller. Defaults to work_note.",
                     {"work_note", "comment"}}},
                   {"task", "text"}),
    });
}

bool isWriteTool(std::string_view name) {
    return std::find(std::begin(kWriteToolNames), std::end(kWriteToolNames), name) != std::end(kWriteToolNames);
}

std::vector<std::string> toolNames(bool allowWrites) {
    std::vector<std::string> names;
    for (const auto& d : readTools())
        names.push_back(d["name"].get<std::string>());
    if (allowWrites)
        for (const auto& d : writeTools())
            names.push_back(d["name"].get<std::string>());
    return names;
}

std::vector<std::string> toolNames() { return toolNames(Config::mcpAllowWrites()); }

std::string required(const nlohmann::json& arguments, std::string_view key) {
    const auto it = arguments.find(key);
    if (it != arguments.end() && it->is_string()) {
        auto value = text::trimmed(it->get_ref<const std::string&>());
        if (!value.empty())
            return value;
    }
    throw ToolError("`" + std::string(key) + "` is required.");
}

std::string perform(const ToolBackend& backend, std::string_view name, const nlohmann::json& arguments) {
    if (name == "list_my_tasks")
        return render(backend.fetchTasks(queries::myTasks(), 100), "No open tasks assigned to you.");
    if (name == "list_group_queue") {
        auto tasks = backend.fetchTasks(queries::groupQueue(), 100);
        if (isTrue(arguments, "unassignedOnly"))
            std::erase_if(tasks, [](const SNTask& t) { return !t.assignedTo.value.empty(); });
        return render(tasks, "The group queue is empty.");
    }
    if (name == "list_completed") {
        const auto query = textEquals(arguments, "period", "last_month") ? queries::closedLastMonth()
                                                                         : queries::closedThisMonth();
        return render(backend.fetchTasks(query, 100), "Nothing closed in that period.");
    }
    if (name == "get_task") {
        const auto task = backend.resolveTask(required(arguments, "task"));
        return task.clipboardText() + "\n\nsys_id: " + task.sysID.value;
    }
    if (name == "list_group_members")
        return renderUsers(backend.groupMembers(), "No active members found.");
    if (name == "find_user")
        return renderUsers(backend.searchUsers(required(arguments, "name")), "No matching active users.");
    if (name == "search_records") {
        const auto table = required(arguments, "table");
        const auto query = required(arguments, "query");
        std::optional<std::string> fields;
        if (const auto it = arguments.find("fields"); it != arguments.end() && it->is_string())
            fields = it->get<std::string>();
        auto rows = backend.searchRecords(table, query, fields, rowLimit(arguments));
        return rows.empty() ? std::string("No matching records.") : rows;
    }
    if (name == "assign_task") {
        const auto task = backend.resolveTask(required(arguments, "task"));
        const auto user = backend.resolveUser(required(arguments, "assignee"));
        backend.assign(task, user.sysID, isTrue(arguments, "alsoRITM"));
        return withURL("Assigned " + task.number.display + " to " + user.name + ".\n", task);
    }
    if (name == "close_task") {
        const auto task = backend.resolveTask(required(arguments, "task"));
        backend.close(task, required(arguments, "resolution"));
        return withURL("Closed " + task.number.display + ".\n", task);
    }
    if (name == "add_note") {
        const auto task = backend.resolveTask(required(arguments, "task"));
        const auto body = required(arguments, "text");
        const bool comment = textEquals(arguments, "type", "comment");
        backend.patch(Config::table(), task.sysID.value, {{comment ? "comments" : "work_notes", body}});
        return std::string("Added ") + (comment ? "comment" : "work note") + " to " + task.number.display + ".";
    }
    throw ToolError("Unknown tool: " + std::string(name));
}

std::string executablePath(const char* argv0) {
    if (auto path = paths::executablePath(); !path.empty())
        return path.string();
    if (argv0 && *argv0)
        return argv0;
    return "Trayline";
}

}  // namespace trayline::mcp
