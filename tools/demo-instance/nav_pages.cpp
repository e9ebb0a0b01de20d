#include "nav_pages.h"

#include "demo_instance.h"

namespace trayline::demo {

namespace {

using util::htmlEscape;

std::string layout(const std::string& title, const std::string& inner) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
           " | Trayline demo instance</title>\n<style>body{font-family:system-ui,sans-serif;margin:0;background:#f4f5f7}"
           "header{background:#293e40;color:#fff;padding:.6rem 1.2rem;font-weight:600}"
           "main{padding:1rem 1.5rem}table{border-collapse:collapse;background:#fff}"
           "td,th{border:1px solid #ddd;padding:.35rem .6rem;text-align:left;vertical-align:top}"
           "th{background:#eef0f2}pre{margin:0;font-family:inherit;white-space:pre-wrap}.error{color:#b00020}"
           "code{background:#eef0f2;padding:0 .25rem}</style>\n</head><body><header>Trayline demo instance</header><main>\n" +
           inner + "\n</main></body></html>\n";
}

HttpReply html(int status, const std::string& title, const std::string& inner) {
    HttpReply r;
    r.status = status;
    r.contentType = "text/html;charset=UTF-8";
    r.body = layout(title, inner);
    return r;
}

std::string recordLink(const std::string& table, const std::string& sysId, const std::string& text) {
    return "<a href=\"/nav_to.do?uri=" + util::percentEncode(table + ".do?sys_id=" + sysId) + "\">" + htmlEscape(text) + "</a>";
}

std::string cell(const Database& db, const TableDef& table, const Record& r, const FieldDef& f) {
    const Database::Resolved res{&table, &f, &r};
    const std::string display = db.display(res);
    if (f.type == FieldType::Reference && !db.value(res).empty() && !display.empty())
        return recordLink(f.refTable, db.value(res), display);
    return "<pre>" + htmlEscape(display) + "</pre>";
}

std::vector<std::string> listColumns(const TableDef& t) {
    if (t.name == "sys_user") return {"name", "user_name", "email", "title", "active"};
    if (t.name == "sys_user_group") return {"name", "description", "manager", "active"};
    if (t.name == "sys_user_grmember") return {"group", "user"};
    return {"number", "short_description", "state", "priority", "assigned_to", "assignment_group", "opened_at", "closed_at"};
}

std::string listTable(const Database& db, const TableDef& table, const std::vector<const Record*>& rows) {
    std::string out = "<table><tr>";
    const auto cols = listColumns(table);
    for (const auto& c : cols) out += "<th>" + htmlEscape(c) + "</th>";
    out += "</tr>\n";
    for (const Record* r : rows) {
        out += "<tr>";
        bool first = true;
        for (const auto& c : cols) {
            const FieldDef* f = table.field(c);
            if (first) {
                out += "<td>" + recordLink(table.name, r->get("sys_id"), db.displayOf(table, *r)) + "</td>";
                first = false;
            } else {
                out += "<td>" + (f ? cell(db, table, *r, *f) : "") + "</td>";
            }
        }
        out += "</tr>\n";
    }
    return out + "</table>";
}

std::optional<std::string> targetParam(const std::string& query, const std::string& name) {
    for (const auto& [k, v] : util::parseQueryString(query))
        if (k == name) return v;
    return std::nullopt;
}

}  // namespace

HttpReply navPage(const Database& db, const std::string& target, const QueryContext& ctx) {
    const std::size_t q = target.find('?');
    std::string page = target.substr(0, q);
    if (!page.empty() && page[0] == '/') page.erase(0, 1);
    const std::string query = q == std::string::npos ? "" : target.substr(q + 1);
    if (page.size() > 3 && page.compare(page.size() - 3, 3, ".do") == 0) page.resize(page.size() - 3);
    else return html(404, "Not found", "<h1 class=\"error\">No such page</h1><p>" + htmlEscape(target) + "</p>");

    const bool isList = page.size() > 5 && page.compare(page.size() - 5, 5, "_list") == 0;
    const std::string tableName = isList ? page.substr(0, page.size() - 5) : page;
    const TableDef* table = findTable(tableName);
    if (!table) return html(404, "Not found", "<h1 class=\"error\">Invalid table " + htmlEscape(tableName) + "</h1>");

    if (isList) {
        const std::string encoded = targetParam(query, "sysparm_query").value_or("");
        std::vector<const Record*> rows;
        try {
            rows = runQuery(parseEncodedQuery(encoded, *table, db, ctx), db, *table);
        } catch (const QueryError& e) {
            return html(400, table->label + " list",
                        "<h1>" + htmlEscape(table->label) + " list</h1><p class=\"error\" id=\"error\">" +
                            htmlEscape(e.what()) + "</p>");
        }
        return html(200, table->label + " list",
                    "<h1>" + htmlEscape(table->label) + " list</h1>\n<p>Filter: <code id=\"query\">" + htmlEscape(encoded) +
                        "</code> &middot; <span id=\"count\">" + std::to_string(rows.size()) + "</span> records</p>\n" +
                        listTable(db, *table, rows));
    }

    const std::string sysId = targetParam(query, "sys_id").value_or("");
    const Record* r = db.find(table->name, sysId);
    if (!r)
        return html(404, table->label, "<h1 class=\"error\">Record not found</h1><p>" + htmlEscape(table->label) +
                                           " with sys_id " + htmlEscape(sysId) + " does not exist.</p>");
    std::string body = "<h1>" + htmlEscape(table->label) + " <span id=\"display\">" +
                       htmlEscape(db.displayOf(*table, *r)) + "</span></h1>\n<table>\n";
    for (const auto& f : table->fields)
        body += "<tr><th>" + htmlEscape(f.name) + "</th><td>" + cell(db, *table, *r, f) + "</td></tr>\n";
    body += "</table>\n";
    // Related lists: the tasks of a requested item, the items of a request.
    auto related = [&](const char* childTable, const char* refField, const char* title) {
        const TableDef* child = findTable(childTable);
        std::vector<const Record*> rows;
        for (const auto& c : db.rows(*child))
            if (c.get(refField) == r->get("sys_id")) rows.push_back(&c);
        if (!rows.empty()) body += std::string("<h2>") + title + "</h2>\n" + listTable(db, *child, rows);
    };
    if (table->name == "sc_req_item") related("sc_task", "request_item", "Catalog Tasks");
    if (table->name == "sc_request") related("sc_req_item", "request", "Requested Items");
    return html(200, table->label + " " + db.displayOf(*table, *r), body);
}

HttpReply homePage(const Database& db, const std::string& baseUrl) {
    const Record* user = db.find("sys_user", db.demoUser());
    const std::string groupQuery = std::string("assignment_group=") + kGroupSysId + "^stateIN1,2,3^ORDERBYDESCopened_at";
    return html(200, "Home",
                "<h1>Trayline demo instance</h1>\n<p>A ServiceNow look-alike for the Trayline demo and tests.</p>\n<ul>"
                "<li>Instance URL: <code>" + htmlEscape(baseUrl) + "</code></li>"
                "<li>OAuth client ID: <code>" + htmlEscape(kClientId) + "</code></li>"
                "<li>OAuth client secret: <code>" + htmlEscape(kClientSecret) + "</code></li>"
                "<li>Signed-in user: " + htmlEscape(user ? user->get("name") : db.demoUser()) + "</li>"
                "<li>Group sys_id: <code>" + htmlEscape(kGroupSysId) + "</code></li>"
                "<li><a href=\"/nav_to.do?uri=" + util::percentEncode("sc_task_list.do?sysparm_query=" + util::percentEncode(groupQuery)) +
                "\">The group queue</a></li></ul>");
}

}  // namespace trayline::demo
