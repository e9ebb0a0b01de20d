#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/platform/time.h"
#include "core/servicenow/sn_field.h"

namespace trayline {

// One task record, with the fields of its requested item and request pulled in by dot-walking.
struct SNTask {
    SNField sysID;             // "sys_id"
    SNField number;            // "number"
    SNField shortDescription;  // "short_description"
    SNField taskDescription;   // "description"
    SNField requestItem;       // "request_item"
    SNField request;           // "request_item.request"
    SNField reqOpenedAt;       // "request_item.request.opened_at"
    SNField ritmShortDescription;  // "request_item.short_description"
    SNField ritmDescription;   // "request_item.description"
    SNField caller;            // "request_item.request.requested_for"
    SNField openedBy;          // "opened_by"
    SNField state;             // "state"
    SNField priority;          // "priority"
    SNField assignedTo;        // "assigned_to"
    SNField assignmentGroup;   // "assignment_group"
    SNField openedAt;          // "opened_at"
    SNField updatedOn;         // "sys_updated_on"
    SNField closedAt;          // "closed_at"
    // False when the record came without "assigned_to": the instance's access rules hide who
    // has the task, which is not the same as nobody having it.
    bool assigneeKnown = true;

    // The eighteen members above, comma-separated in this order (the request's field list).
    static constexpr std::string_view kFieldList =
        "sys_id,number,short_description,description,request_item,request_item.request,"
        "request_item.request.opened_at,request_item.short_description,request_item.description,"
        "request_item.request.requested_for,opened_by,state,priority,assigned_to,assignment_group,"
        "opened_at,sys_updated_on,closed_at";

    // One element of "result". Throws DecodingError only when `j` is not an object; an odd member
    // just leaves its field empty.
    static SNTask fromJson(const nlohmann::json& j);

    const std::string& id() const { return sysID.value; }

    std::string effectiveShortDescription() const;
    std::string effectiveDescription() const;
    std::string effectiveCaller() const;
    std::string primaryNumber() const;
    std::optional<Instant> reqOpenedDate() const;

    // Links into the instance's navigation frame; none when the text would not form a URL.
    std::optional<std::string> recordURL() const;
    std::optional<std::string> ritmURL() const;
    std::optional<std::string> requestURL() const;
    std::optional<std::string> primaryURL() const;

    // Plain-text rendering for the clipboard and for tool answers.
    std::string clipboardText() const;
    std::string clipboardText(const DateFormatter& dates) const;

    bool operator==(const SNTask&) const = default;
};

// The instance link for a filtered list of the configured table.
std::optional<std::string> listURL(std::string_view encodedQuery);

}  // namespace trayline
