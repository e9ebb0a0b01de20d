#pragma once

// The tables the demo instance serves and their fields: a small, fixed dictionary in the manner of
// ServiceNow's sys_dictionary (types, references, choice labels, display fields).

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trayline::demo {

enum class FieldType { SysId, String, Reference, Choice, DateTime, Boolean, Integer, Journal };

using ChoiceList = std::vector<std::pair<std::string, std::string>>;  // value, label

struct FieldDef {
    std::string name;
    FieldType type = FieldType::String;
    std::string refTable;                 // Reference only
    const ChoiceList* choices = nullptr;  // Choice only
    bool readOnly = false;                // sys_* fields and numbers: a PATCH ignores them
};

struct TableDef {
    std::string name;
    std::string label;
    std::string displayField;    // whose value stands for the record ("" = sys_id)
    std::string numberPrefix;    // "SCTASK", "" for tables without numbers
    std::set<std::string> closedStates;  // state codes that close a record (sets closed_at, active=false)
    std::vector<FieldDef> fields;

    const FieldDef* field(std::string_view fieldName) const;
};

// The seven tables: sc_task, sc_req_item, sc_request, incident, sys_user, sys_user_group,
// sys_user_grmember. Lookup is exact (table names are lower case on the instance).
const TableDef* findTable(std::string_view name);
const std::vector<TableDef>& allTables();

// Choice label for a value, or the value itself when the field has no such choice.
std::string choiceLabel(const FieldDef& field, const std::string& value);

}  // namespace trayline::demo
