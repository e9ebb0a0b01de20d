#include "table_api.h"

#include <algorithm>

namespace trayline::demo {

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

constexpr long long kMaxLimit = 10000;

std::optional<std::string> param(const QueryParams& q, const std::string& name) {
    for (const auto& [k, v] : q)
        if (k == name) return v;  // the first one wins, as on the instance
    return std::nullopt;
}

long long nonNegative(const std::string& name, const std::string& text) {
    if (text.empty() || text.size() > 12 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw ApiError(400, "Invalid " + name, name + " must be a non-negative whole number, not \"" + text + "\"");
    return std::stoll(text);
}

const TableDef& requireTable(const std::string& name) {
    const TableDef* t = findTable(name);
    if (!t) throw ApiError(400, "Invalid table " + name, "");
    return *t;
}

HttpReply fromApiError(const ApiError& e) {
    std::optional<std::string> detail;
    if (!e.detail().empty()) detail = e.detail();
    return errorReply(e.status(), e.what(), detail);
}

ordered_json fieldJson(const Database& db, const Database::Resolved& r, const TableParams& p,
                       const std::string& baseUrl) {
    const std::string value = db.value(r);
    const std::string display = p.mode == DisplayMode::Value ? std::string() : db.display(r);
    std::string link;
    if (r.field->type == FieldType::Reference && !value.empty() && !p.excludeLinks)
        link = baseUrl + "/api/now/table/" + r.field->refTable + "/" + value;
    switch (p.mode) {
    case DisplayMode::Value:
        if (link.empty()) return value;
        return ordered_json{{"link", link}, {"value", value}};
    case DisplayMode::Display:
        if (link.empty()) return display;
        return ordered_json{{"display_value", display}, {"link", link}};
    case DisplayMode::All: {
        ordered_json o = {{"display_value", display}};
        if (!link.empty()) o["link"] = link;
        o["value"] = value;
        return o;
    }
    }
    return value;
}

}  // namespace

std::string errorJson(const std::string& message, const std::optional<std::string>& detail) {
    ordered_json body = {{"error", {{"message", message}, {"detail", detail ? json(*detail) : json(nullptr)}}},
                         {"status", "failure"}};
    return body.dump();
}

HttpReply errorReply(int status, const std::string& message, const std::optional<std::string>& detail) {
    HttpReply r;
    r.status = status;
    r.body = errorJson(message, detail);
    return r;
}

TableParams parseTableParams(const QueryParams& query) {
    TableParams p;
    if (auto q = param(query, "sysparm_query")) p.query = *q;
    if (auto f = param(query, "sysparm_fields"))
        for (auto& name : util::split(*f, ','))
            if (auto t = util::trim(name); !t.empty() && std::find(p.fields.begin(), p.fields.end(), t) == p.fields.end())
                p.fields.push_back(t);
    if (auto d = param(query, "sysparm_display_value")) {
        if (util::iequals(*d, "true")) p.mode = DisplayMode::Display;
        else if (util::iequals(*d, "all")) p.mode = DisplayMode::All;
    }
    if (auto e = param(query, "sysparm_exclude_reference_link")) p.excludeLinks = util::iequals(*e, "true");
    if (auto l = param(query, "sysparm_limit")) {
        p.limit = nonNegative("sysparm_limit", *l);
        if (p.limit > kMaxLimit)
            throw ApiError(400, "Invalid sysparm_limit",
                           "sysparm_limit " + *l + " exceeds the maximum of " + std::to_string(kMaxLimit));
    }
    if (auto o = param(query, "sysparm_offset")) p.offset = nonNegative("sysparm_offset", *o);
    return p;
}

ordered_json formatRecord(const Database& db, const TableDef& table, const Record& record, const TableParams& p,
                          const std::string& baseUrl) {
    ordered_json out = ordered_json::object();
    if (p.fields.empty()) {
        for (const auto& f : table.fields)
            out[f.name] = fieldJson(db, {&table, &f, &record}, p, baseUrl);
        return out;
    }
    for (const auto& name : p.fields)
        if (auto r = db.resolve(table, &record, name)) out[name] = fieldJson(db, *r, p, baseUrl);
    return out;  // unknown fields are left out, as the instance does
}

bool AccessRules::hidesField(const std::string& field, const std::string& sysId) const {
    const auto it = hiddenFields.find(field);
    return it != hiddenFields.end() && (it->second.count("*") || it->second.count(sysId));
}

HttpReply tableList(const Database& db, const std::string& tableName, const QueryParams& query,
                    const QueryContext& ctx, const std::string& baseUrl, const AccessRules& rules) {
    try {
        const TableDef& table = requireTable(tableName);
        const TableParams p = parseTableParams(query);
        EncodedQuery q;
        try {
            q = parseEncodedQuery(p.query, table, db, ctx);
        } catch (const QueryError& e) {
            return errorReply(400, "Invalid encoded query", std::string(e.what()));
        }
        const auto rows = runQuery(q, db, table);
        ordered_json result = ordered_json::array();
        long long taken = 0;  // rows the limit admits, before the access rules drop some
        for (std::size_t i = static_cast<std::size_t>(std::min<long long>(p.offset, static_cast<long long>(rows.size())));
             i < rows.size() && taken < p.limit; ++i, ++taken) {
            const std::string id = rows[i]->get("sys_id");
            if (rules.hiddenRows.count(id))
                continue;
            auto record = formatRecord(db, table, *rows[i], p, baseUrl);
            for (auto it = record.begin(); it != record.end();)
                it = rules.hidesField(it.key(), id) ? record.erase(it) : std::next(it);
            result.push_back(std::move(record));
        }
        HttpReply r;
        r.body = ordered_json{{"result", std::move(result)}}.dump();
        r.headers.emplace_back("X-Total-Count", std::to_string(rows.size()));
        return r;
    } catch (const ApiError& e) {
        return fromApiError(e);
    }
}

HttpReply tableGetOne(const Database& db, const std::string& tableName, const std::string& sysId,
                      const QueryParams& query, const std::string& baseUrl) {
    try {
        const TableDef& table = requireTable(tableName);
        const TableParams p = parseTableParams(query);
        const Record* r = db.find(table.name, sysId);
        if (!r) throw ApiError(404, "No Record found", "Record doesn't exist or ACL restricts the record retrieval");
        HttpReply reply;
        reply.body = ordered_json{{"result", formatRecord(db, table, *r, p, baseUrl)}}.dump();
        return reply;
    } catch (const ApiError& e) {
        return fromApiError(e);
    }
}

HttpReply tablePatch(Database& db, const std::string& tableName, const std::string& sysId, const std::string& body,
                     const QueryParams& query, const QueryContext& ctx, const std::string& baseUrl) {
    try {
        const TableDef& table = requireTable(tableName);
        const TableParams p = parseTableParams(query);
        if (!db.find(table.name, sysId))
            throw ApiError(404, "No Record found", "Record doesn't exist or ACL restricts the record retrieval");
        json parsed;
        try {
            parsed = json::parse(body);
        } catch (const json::exception&) {
            throw ApiError(400, "Exception while reading request", "The payload is not valid JSON.");
        }
        db.patch(table, sysId, parsed, ctx.userSysId, ctx.now);
        HttpReply reply;
        reply.body = ordered_json{{"result", formatRecord(db, table, *db.find(table.name, sysId), p, baseUrl)}}.dump();
        return reply;
    } catch (const ApiError& e) {
        return fromApiError(e);
    }
}

}  // namespace trayline::demo
