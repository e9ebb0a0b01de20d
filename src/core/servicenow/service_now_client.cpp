#include "core/servicenow/service_now_client.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "core/auth/auth_error.h"
#include "core/auth/token_store.h"
#include "core/platform/decoding_error.h"
#include "core/platform/http.h"
#include "core/platform/http_retry.h"
#include "core/platform/text.h"
#include "core/settings/instance_url.h"
#include "core/settings/config.h"

namespace trayline {

struct RequestTemplate {
    std::string method;
    std::string url;
    std::string body;
};

namespace {

constexpr std::string_view kUserFields = "sys_id,name,email";
constexpr std::string_view kMeFilter = "sys_idDYNAMIC90d1921e5f510100a9ad2572f2b477fe";

std::string tableURL(std::string_view table) {
    return currentInstanceURL() + "/api/now/table/" + text::encodePathSegment(table);
}

std::string curlyQuoted(std::string_view s) { return "\u201C" + std::string(s) + "\u201D"; }

// "X-Total-Count" as a count: digits only (a proxy's or a broken instance's "abc" or "-1" is no
// count), else nothing, and the caller falls back to the rows it has.
std::optional<std::int64_t> totalCountOf(const http::Response& reply) {
    const auto header = reply.header("X-Total-Count");
    if (!header)
        return std::nullopt;
    const auto value = text::trimmed(*header);
    std::int64_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || n < 0)
        return std::nullopt;
    return n;
}

}  // namespace

bool ServiceNowClient::isSysID(std::string_view text) { return text::isSysID(text); }

std::string ServiceNowClient::queryValue(std::string_view typed) {
    std::string out;
    out.reserve(typed.size());
    for (const char c : typed) {
        out += c;
        if (c == '^')
            out += '^';
    }
    return out;
}

http::Response ServiceNowClient::execute(const RequestTemplate& request) const {
    auto send = [&](const std::string& token) {
        http::Request r;
        r.method = request.method;
        r.url = request.url;
        r.body = request.body;
        r.timeout = std::chrono::seconds(60);
        r.cancel = cancel_;
        r.headers = {{"Authorization", "Bearer " + token}, {"Accept", "application/json"}};
        if (request.method == "PATCH")
            r.headers.emplace_back("Content-Type", "application/json");
        return http::send(r);
    };
    auto& store = TokenStore::shared();
    auto token = store.accessToken(std::nullopt);
    auto response = send(token);
    if (response.status == 401) {
        token = store.accessToken(token);
        response = send(token);
    }
    if (response.status < 200 || response.status > 299)
        throw AuthError::badResponse(response.status, std::move(response.body),
                                     response.header("Content-Type").value_or(""),
                                     http::retryAfterOf(response, std::chrono::system_clock::now()));
    return response;
}

http::Response ServiceNowClient::get(std::string_view table, const QueryParams& params) const {
    auto url = tableURL(table);
    char separator = '?';
    for (const auto& [name, value] : params) {
        url += separator + text::encodeQueryComponent(name) + '=' + text::encodeQueryComponent(value);
        separator = '&';
    }
    return execute(RequestTemplate{"GET", url, {}});
}

std::vector<SNTask> ServiceNowClient::fetchTasks(std::string_view query, int limit) const {
    return fetchTaskPage(query, limit).tasks;
}

TaskPage ServiceNowClient::fetchTaskPage(std::string_view query, int limit) const {
    const auto reply = get(Config::table(), {{"sysparm_query", std::string(query)},
                                             {"sysparm_display_value", "all"},
                                             {"sysparm_exclude_reference_link", "true"},
                                             {"sysparm_limit", std::to_string(limit)},
                                             {"sysparm_fields", std::string(SNTask::kFieldList)}});
    return TaskPage{decodeTaskList(reply.body), totalCountOf(reply)};
}

std::optional<std::int64_t> ServiceNowClient::countTasks(std::string_view query) const {
    return totalCountOf(get(Config::table(), {{"sysparm_query", std::string(query)},
                                              {"sysparm_fields", "sys_id"},
                                              {"sysparm_limit", "1"}}));
}

std::vector<SNUser> ServiceNowClient::groupMembers() const {
    const auto rows = decodeGroupMemberList(
        get("sys_user_grmember",
            {{"sysparm_query", "group=" + Config::groupSysID() + "^user.active=true^ORDERBYuser.name"},
             {"sysparm_fields", "user.sys_id,user.name,user.email"},
             {"sysparm_limit", "50"}}).body);
    std::vector<SNUser> members;
    for (const auto& row : rows) {
        if (row.sysID && !row.sysID->empty() && row.name && members.size() < 50)
            members.push_back(SNUser{*row.sysID, *row.name, row.email});
    }
    return members;
}

SNUser ServiceNowClient::currentUser() const {
    const auto users = decodeUserList(get("sys_user", {{"sysparm_query", std::string(kMeFilter)},
                                                       {"sysparm_fields", std::string(kUserFields)},
                                                       {"sysparm_limit", "1"}}).body);
    if (users.empty())
        throw LookupError(LookupError::Kind::noMatch, "Could not resolve the current user.");
    return users.front();
}

std::vector<SNUser> ServiceNowClient::searchUsers(std::string_view typed) const {
    const auto name = text::trimmedSpacesAndTabs(typed);
    if (text::prefixGraphemes(name, 1).size() == name.size())
        return {};  // fewer than two characters: too broad to be worth a request
    return decodeUserList(
        get("sys_user", {{"sysparm_query", "active=true^nameLIKE" + queryValue(name) + "^ORDERBYname"},
                         {"sysparm_fields", std::string(kUserFields)},
                         {"sysparm_limit", "15"}}).body);
}

void ServiceNowClient::patch(std::string_view table, std::string_view sysID,
                             const std::map<std::string, std::string>& body) const {
    nlohmann::json j = nlohmann::json::object();
    for (const auto& [field, value] : body)
        j[field] = value;
    const auto url = tableURL(table) + "/" + text::encodePathSegment(sysID);
    execute(RequestTemplate{"PATCH", url, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
}

void ServiceNowClient::assign(const SNTask& task, std::string_view userSysID, bool alsoRITM) const {
    const std::map<std::string, std::string> body{{"assigned_to", std::string(userSysID)}};
    patch(Config::table(), task.sysID.value, body);
    if (alsoRITM && !task.requestItem.value.empty())
        patch("sc_req_item", task.requestItem.value, body);
}

void ServiceNowClient::close(const SNTask& task, std::string_view resolution) const {
    const auto me = currentUser();
    const auto table = Config::table();
    if (task.assignedTo.value != me.sysID)
        patch(table, task.sysID.value, {{"assigned_to", me.sysID}});
    patch(table, task.sysID.value, {{"u_resolution", std::string(resolution)}, {"state", "5"}});
}

SNTask ServiceNowClient::resolveTask(std::string_view reference) const {
    const auto ref = text::trimmed(reference);
    std::string query;
    if (isSysID(ref)) {
        query = "sys_id=" + ref;
    } else {
        const auto v = queryValue(ref);
        query = "number=" + v + "^ORrequest_item.number=" + v + "^ORrequest_item.request.number=" + v;
    }
    auto tasks = fetchTasks(query, 1);
    if (tasks.empty())
        throw LookupError(LookupError::Kind::noMatch,
                          "No " + Config::table() + " record matches " + curlyQuoted(ref) + ".");
    return std::move(tasks.front());
}

SNUser ServiceNowClient::resolveUser(std::string_view reference) const {
    const auto ref = text::trimmed(reference);
    if (text::lowercased(ref) == "me")
        return currentUser();
    if (isSysID(ref)) {
        const auto users = decodeUserList(get("sys_user", {{"sysparm_query", "sys_id=" + ref},
                                                           {"sysparm_fields", std::string(kUserFields)},
                                                           {"sysparm_limit", "1"}}).body);
        if (users.empty())
            throw LookupError(LookupError::Kind::noMatch, "No user with sys_id " + ref + ".");
        return users.front();
    }
    const auto candidates = searchUsers(ref);
    for (const auto& user : candidates)
        if (text::equalsIgnoringCase(user.name, ref))
            return user;
    if (candidates.size() == 1)
        return candidates.front();
    if (candidates.empty())
        throw LookupError(LookupError::Kind::noMatch, "No active user matches " + curlyQuoted(ref) + ".");
    std::string names;
    for (std::size_t i = 0; i < candidates.size() && i < 8; ++i)
        names += (i ? ", " : "") + candidates[i].name;
    throw LookupError(LookupError::Kind::ambiguous,
                      curlyQuoted(ref) + " matches several users: " + names + ". Use a full name or sys_id.");
}

std::string ServiceNowClient::searchRecords(std::string_view table, std::string_view query,
                                            const std::optional<std::string>& fields, int limit) const {
    QueryParams params{{"sysparm_query", std::string(query)},
                       {"sysparm_display_value", "true"},
                       {"sysparm_exclude_reference_link", "true"},
                       {"sysparm_limit", std::to_string(limit)}};
    if (fields && !text::trimmedSpacesAndTabs(*fields).empty())
        params.emplace_back("sysparm_fields", *fields);
    const auto body = get(table, params).body;
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {  // also number overflow, not only syntax
        throw DecodingError(std::string("The instance's reply is not valid JSON (") + e.what() + ").");
    }
    if (j.is_object()) {
        if (const auto it = j.find("result"); it != j.end() && it->is_array())
            return it->empty() ? std::string{}
                               : it->dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return text::isValidUtf8(body) ? body : std::string{};
}

}  // namespace trayline
