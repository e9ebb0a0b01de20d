#include "core/servicenow/sn_task.h"

#include <nlohmann/json.hpp>
#include <vector>

#include "core/platform/decoding_error.h"
#include "core/platform/text.h"
#include "core/platform/url.h"
#include "core/servicenow/sn_task_members.h"
#include "core/settings/config.h"

namespace trayline {

namespace {

std::optional<std::string> link(std::string target) {
    auto url = Config::instanceURL() + "/nav_to.do?uri=" + target;
    if (!isValidURL(url))
        return std::nullopt;
    return url;
}

std::string firstNonEmptyTrimmed(std::initializer_list<const std::string*> candidates) {
    for (const auto* c : candidates)
        if (auto t = text::trimmed(*c); !t.empty())
            return t;
    return {};
}

}  // namespace

SNTask SNTask::fromJson(const nlohmann::json& j) {
    if (!j.is_object())
        throw DecodingError("A task in the instance's reply is not a JSON object.");
    SNTask task;
    task.assigneeKnown = j.contains("assigned_to");
    for (const auto& [key, value] : j.items()) {
        for (const auto& [name, field] : detail::kTaskMembers) {
            if (name == key) {
                task.*field = SNField::fromJson(value);
                break;
            }
        }
    }
    return task;
}

std::string SNTask::effectiveShortDescription() const {
    if (auto t = text::trimmed(ritmShortDescription.display); !t.empty())
        return t;
    return shortDescription.display;
}

std::string SNTask::effectiveDescription() const {
    return firstNonEmptyTrimmed({&ritmDescription.display, &taskDescription.display});
}

std::string SNTask::effectiveCaller() const {
    return firstNonEmptyTrimmed({&caller.display, &openedBy.display});
}

std::string SNTask::primaryNumber() const {
    return firstNonEmptyTrimmed({&request.display, &requestItem.display, &number.display});
}

std::optional<Instant> SNTask::reqOpenedDate() const {
    if (auto d = parseUtc(reqOpenedAt.value))
        return d;
    return parseUtc(openedAt.value);
}

std::optional<std::string> SNTask::recordURL() const {
    return link(Config::table() + ".do%3Fsys_id%3D" + sysID.value);
}

std::optional<std::string> SNTask::ritmURL() const {
    if (requestItem.value.empty())
        return std::nullopt;
    return link("sc_req_item.do%3Fsys_id%3D" + requestItem.value);
}

std::optional<std::string> SNTask::requestURL() const {
    if (request.value.empty())
        return std::nullopt;
    return link("sc_request.do%3Fsys_id%3D" + request.value);
}

std::optional<std::string> SNTask::primaryURL() const {
    if (auto u = requestURL())
        return u;
    if (auto u = ritmURL())
        return u;
    return recordURL();
}

std::string SNTask::clipboardText() const { return clipboardText(DateFormatter::current()); }

std::string SNTask::clipboardText(const DateFormatter& dates) const {
    std::vector<std::string> lines;

    std::string ids;
    for (const auto* f : {&number.display, &requestItem.display, &request.display}) {
        if (auto t = text::trimmed(*f); !t.empty())
            ids += (ids.empty() ? "" : " / ") + t;
    }
    if (!ids.empty())
        lines.push_back(ids);
    if (auto title = text::trimmed(effectiveShortDescription()); !title.empty())
        lines.push_back(title);

    std::vector<std::string> facts;
    auto fact = [&facts](const char* label, std::string_view value) {
        if (auto t = text::trimmed(value); !t.empty())
            facts.push_back(std::string(label) + ": " + t);
    };
    fact("State", state.display);
    fact("Priority", priority.display);
    fact("Requested for", effectiveCaller());
    fact("Assigned to", assignedTo.display.empty() ? "Unassigned" : assignedTo.display);
    fact("Group", assignmentGroup.display);
    if (const auto opened = reqOpenedDate())
        fact("Opened", dates.mediumDate(*opened));
    if (const auto updated = parseUtc(updatedOn.value))
        fact("Updated", dates.mediumDateShortTime(*updated));
    if (const auto closed = parseUtc(closedAt.value))
        fact("Closed", dates.mediumDateShortTime(*closed));
    if (!facts.empty()) {
        lines.emplace_back();
        lines.insert(lines.end(), facts.begin(), facts.end());
    }

    if (auto description = effectiveDescription(); !description.empty()) {
        lines.emplace_back();
        lines.push_back(std::move(description));
    }
    if (auto url = primaryURL()) {
        lines.emplace_back();
        lines.push_back(std::move(*url));
    }

    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i)
        out += (i ? "\n" : "") + lines[i];
    return out;
}

std::optional<std::string> listURL(std::string_view encodedQuery) {
    return link(Config::table() + "_list.do%3Fsysparm_query%3D" + text::encodeListLinkQuery(encodedQuery));
}

}  // namespace trayline
