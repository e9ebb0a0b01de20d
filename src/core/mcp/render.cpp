#include "core/mcp/render.h"

namespace trayline::mcp {

namespace {

constexpr std::string_view kDash = " \u2014 ";

std::string taskBlock(const SNTask& task, const DateFormatter& dates) {
    std::vector<std::string> facts;
    facts.push_back("state: " + task.state.display);
    if (!task.priority.display.empty())
        facts.push_back("priority: " + task.priority.display);
    facts.push_back("assigned: " + (task.assignedTo.display.empty() ? std::string("unassigned")
                                                                    : task.assignedTo.display));
    if (const auto caller = task.effectiveCaller(); !caller.empty())
        facts.push_back("for: " + caller);
    if (const auto opened = task.reqOpenedDate())
        facts.push_back("opened: " + dates.mediumDate(*opened));
    if (const auto closed = parseUtc(task.closedAt.value))
        facts.push_back("closed: " + dates.mediumDate(*closed));

    std::string out = task.primaryNumber() + " [" + task.number.display + "]";
    out += kDash;
    out += task.effectiveShortDescription();
    out += "\n  ";
    for (std::size_t i = 0; i < facts.size(); ++i)
        out += (i ? " | " : "") + facts[i];
    out += "\n  sys_id: " + task.sysID.value;
    return out;
}

}  // namespace

std::string render(const std::vector<SNTask>& tasks, std::string_view empty) {
    return render(tasks, empty, DateFormatter::current());
}

std::string render(const std::vector<SNTask>& tasks, std::string_view empty, const DateFormatter& dates) {
    if (tasks.empty())
        return std::string(empty);
    std::string out = std::to_string(tasks.size()) + (tasks.size() == 1 ? " task" : " tasks");
    for (const auto& task : tasks)
        out += "\n\n" + taskBlock(task, dates);
    return out;
}

std::string renderUsers(const std::vector<SNUser>& users, std::string_view empty) {
    if (users.empty())
        return std::string(empty);
    std::string out;
    for (std::size_t i = 0; i < users.size(); ++i) {
        const auto& user = users[i];
        if (i)
            out += '\n';
        out += user.name;
        out += kDash;
        out += user.email ? *user.email : std::string("no email");
        out += kDash;
        out += user.sysID;
    }
    return out;
}

}  // namespace trayline::mcp
