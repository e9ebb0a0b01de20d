#pragma once

// The JSON member behind each field of SNTask, shared by the record and the streaming decoders.

#include <array>
#include <string_view>
#include <utility>

#include "core/servicenow/sn_task.h"

namespace trayline::detail {

inline constexpr std::array<std::pair<std::string_view, SNField SNTask::*>, 18> kTaskMembers{{
    {"sys_id", &SNTask::sysID},
    {"number", &SNTask::number},
    {"short_description", &SNTask::shortDescription},
    {"description", &SNTask::taskDescription},
    {"request_item", &SNTask::requestItem},
    {"request_item.request", &SNTask::request},
    {"request_item.request.opened_at", &SNTask::reqOpenedAt},
    {"request_item.short_description", &SNTask::ritmShortDescription},
    {"request_item.description", &SNTask::ritmDescription},
    {"request_item.request.requested_for", &SNTask::caller},
    {"opened_by", &SNTask::openedBy},
    {"state", &SNTask::state},
    {"priority", &SNTask::priority},
    {"assigned_to", &SNTask::assignedTo},
    {"assignment_group", &SNTask::assignmentGroup},
    {"opened_at", &SNTask::openedAt},
    {"sys_updated_on", &SNTask::updatedOn},
    {"closed_at", &SNTask::closedAt},
}};

}  // namespace trayline::detail
