#include "schema.h"

namespace trayline::demo {

namespace {

const ChoiceList kTaskStates = {{"-5", "Pending"},          {"1", "Open"},
                                {"2", "Work in Progress"},  {"3", "On Hold"},
                                {"4", "Closed Incomplete"}, {"5", "Closed Complete"},
                                {"7", "Closed Skipped"}};
const ChoiceList kIncidentStates = {{"1", "New"},      {"2", "In Progress"}, {"3", "On Hold"},
                                    {"6", "Resolved"}, {"7", "Closed"},      {"8", "Canceled"}};
const ChoiceList kPriorities = {{"1", "1 - Critical"}, {"2", "2 - High"}, {"3", "3 - Moderate"},
                                {"4", "4 - Low"},      {"5", "5 - Planning"}};
const ChoiceList kCategories = {{"inquiry", "Inquiry / Help"}, {"software", "Software"},
                                {"hardware", "Hardware"},      {"network", "Network"},
                                {"database", "Database"}};

FieldDef str(std::string n) { return {std::move(n), FieldType::String, "", nullptr, false}; }
FieldDef ref(std::string n, std::string table) {
    return {std::move(n), FieldType::Reference, std::move(table), nullptr, false};
}
FieldDef choice(std::string n, const ChoiceList& c) {
    return {std::move(n), FieldType::Choice, "", &c, false};
}
FieldDef date(std::string n) { return {std::move(n), FieldType::DateTime, "", nullptr, false}; }
FieldDef boolean(std::string n) { return {std::move(n), FieldType::Boolean, "", nullptr, false}; }
FieldDef journal(std::string n) { return {std::move(n), FieldType::Journal, "", nullptr, false}; }

std::vector<FieldDef> systemFields() {
    return {{"sys_id", FieldType::SysId, "", nullptr, true},
            {"sys_created_on", FieldType::DateTime, "", nullptr, true},
            {"sys_created_by", FieldType::String, "", nullptr, true},
            {"sys_updated_on", FieldType::DateTime, "", nullptr, true},
            {"sys_updated_by", FieldType::String, "", nullptr, true},
            {"sys_mod_count", FieldType::Integer, "", nullptr, true}};
}

std::vector<FieldDef> taskFields(const ChoiceList& states) {
    auto f = systemFields();
    FieldDef number = str("number");
    number.readOnly = true;
    std::vector<FieldDef> more = {number,
                                  str("short_description"),
                                  str("description"),
                                  choice("state", states),
                                  choice("priority", kPriorities),
                                  boolean("active"),
                                  ref("assigned_to", "sys_user"),
                                  ref("assignment_group", "sys_user_group"),
                                  ref("opened_by", "sys_user"),
                                  date("opened_at"),
                                  date("closed_at"),
                                  ref("closed_by", "sys_user"),
                                  str("close_notes"),
                                  journal("comments"),
                                  journal("work_notes")};
    f.insert(f.end(), more.begin(), more.end());
    return f;
}

std::vector<TableDef> buildTables() {
    std::vector<TableDef> t;
    const std::set<std::string> taskClosed = {"4", "5", "7"};

    TableDef scTask{"sc_task", "Catalog Task", "number", "SCTASK", taskClosed, taskFields(kTaskStates)};
    scTask.fields.push_back(ref("request_item", "sc_req_item"));
    scTask.fields.push_back(ref("request", "sc_request"));
    scTask.fields.push_back(str("u_resolution"));
    t.push_back(std::move(scTask));

    TableDef ritm{"sc_req_item", "Requested Item", "number", "RITM", taskClosed, taskFields(kTaskStates)};
    ritm.fields.push_back(ref("request", "sc_request"));
    ritm.fields.push_back(str("cat_item"));
    ritm.fields.push_back({"quantity", FieldType::Integer, "", nullptr, false});
    t.push_back(std::move(ritm));

    TableDef req{"sc_request", "Request", "number", "REQ", taskClosed, taskFields(kTaskStates)};
    req.fields.push_back(ref("requested_for", "sys_user"));
    t.push_back(std::move(req));

    TableDef inc{"incident", "Incident", "number", "INC", {"7", "8"}, taskFields(kIncidentStates)};
    inc.fields.push_back(ref("caller_id", "sys_user"));
    inc.fields.push_back(choice("category", kCategories));
    t.push_back(std::move(inc));

    TableDef user{"sys_user", "User", "name", "", {}, systemFields()};
    for (auto* n : {"user_name", "first_name", "last_name", "name", "email", "title", "phone"})
        user.fields.push_back(str(n));
    user.fields.push_back(boolean("active"));
    t.push_back(std::move(user));

    TableDef group{"sys_user_group", "Group", "name", "", {}, systemFields()};
    group.fields.push_back(str("name"));
    group.fields.push_back(str("description"));
    group.fields.push_back(str("email"));
    group.fields.push_back(ref("manager", "sys_user"));
    group.fields.push_back(boolean("active"));
    t.push_back(std::move(group));

    TableDef member{"sys_user_grmember", "Group Member", "", "", {}, systemFields()};
    member.fields.push_back(ref("group", "sys_user_group"));
    member.fields.push_back(ref("user", "sys_user"));
    t.push_back(std::move(member));
    return t;
}

}  // namespace

const FieldDef* TableDef::field(std::string_view fieldName) const {
    for (const auto& f : fields)
        if (f.name == fieldName) return &f;
    return nullptr;
}

const std::vector<TableDef>& allTables() {
    static const std::vector<TableDef> tables = buildTables();
    return tables;
}

const TableDef* findTable(std::string_view name) {
    for (const auto& t : allTables())
        if (t.name == name) return &t;
    return nullptr;
}

std::string choiceLabel(const FieldDef& field, const std::string& value) {
    if (field.choices)
        for (const auto& [v, label] : *field.choices)
            if (v == value) return label;
    return value;
}

}  // namespace trayline::demo
