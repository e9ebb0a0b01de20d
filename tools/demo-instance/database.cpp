#include "database.h"

#include <algorithm>
#include <cstdio>

#include "demo_instance.h"

namespace trayline::demo {

using nlohmann::json;

namespace {

const std::string kEmpty;

bool isTaskLike(const TableDef& t) { return t.field("state") && t.field("active"); }

}  // namespace

std::string textOf(const json& v, const std::string& where) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
    if (v.is_number_integer()) return std::to_string(v.get<long long>());
    if (v.is_number()) return v.dump();
    if (v.is_null()) return "";
    throw DataError(where + ": expected a text, number, boolean or null");
}

const std::string& Record::get(const std::string& field) const {
    const auto it = values.find(field);
    return it == values.end() ? kEmpty : it->second;
}

const std::vector<Record>& Database::rows(const TableDef& table) const {
    static const std::vector<Record> none;
    const auto it = tables_.find(table.name);
    return it == tables_.end() ? none : it->second;
}

const Record* Database::find(std::string_view table, std::string_view sysId) const {
    const auto t = tables_.find(table);
    const auto i = index_.find(table);
    if (t == tables_.end() || i == index_.end()) return nullptr;
    const auto pos = i->second.find(util::asciiLower(sysId));
    return pos == i->second.end() ? nullptr : &t->second[pos->second];
}

Record* Database::findMutable(std::string_view table, std::string_view sysId) {
    return const_cast<Record*>(std::as_const(*this).find(table, sysId));
}

std::optional<Database::Resolved> Database::resolve(const TableDef& table, const Record* record,
                                                    std::string_view path) const {
    Resolved r{&table, nullptr, record};
    std::size_t pos = 0;
    while (true) {
        const std::size_t dot = path.find('.', pos);
        const std::string_view name = path.substr(pos, dot == std::string_view::npos ? path.npos : dot - pos);
        const FieldDef* f = r.table->field(name);
        if (!f) return std::nullopt;
        r.field = f;
        if (dot == std::string_view::npos) return r;
        if (f->type != FieldType::Reference) return std::nullopt;
        const TableDef* next = findTable(f->refTable);
        if (!next) return std::nullopt;
        r.record = r.record ? find(next->name, r.record->get(f->name)) : nullptr;
        r.table = next;
        pos = dot + 1;
    }
}

std::string Database::value(const Resolved& r) const {
    if (!r.record || r.field->type == FieldType::Journal) return "";
    return r.record->get(r.field->name);
}

std::string Database::display(const Resolved& r) const {
    if (!r.record) return "";
    const std::string& v = r.record->get(r.field->name);
    switch (r.field->type) {
    case FieldType::Reference: {
        const TableDef* target = findTable(r.field->refTable);
        const Record* referenced = target && !v.empty() ? find(target->name, v) : nullptr;
        return referenced ? displayOf(*target, *referenced) : "";
    }
    case FieldType::Choice: return v.empty() ? "" : choiceLabel(*r.field, v);
    case FieldType::Journal: return journalText(*r.record, *r.field);
    default: return v;
    }
}

std::string Database::displayOf(const TableDef& table, const Record& record) const {
    return table.displayField.empty() ? record.get("sys_id") : record.get(table.displayField);
}

std::string Database::journalText(const Record& record, const FieldDef& field) const {
    const auto it = record.journal.find(field.name);
    if (it == record.journal.end()) return "";
    const std::string label = field.name == "comments" ? "Additional comments"
                              : field.name == "work_notes" ? "Work notes"
                                                           : field.name;
    std::string out;
    for (auto e = it->second.rbegin(); e != it->second.rend(); ++e) {
        const std::string who = e->createdBy.empty() ? "System" : userName(e->createdBy);
        out += e->createdOn + " - " + who + " (" + label + ")\n" + e->value + "\n\n";
    }
    return out;
}

std::string Database::userName(const std::string& sysId) const {
    const Record* u = find("sys_user", sysId);
    return u ? u->get("name") : sysId;
}

std::optional<std::string> Database::findByDisplay(const TableDef& table, std::string_view text) const {
    for (const auto& r : rows(table))
        if (util::iequals(displayOf(table, r), text)) return r.get("sys_id");
    return std::nullopt;
}

std::string Database::nextNumber(const TableDef& table) const {
    long long highest = 10000;
    for (const auto& r : rows(table)) {
        const std::string& n = r.get("number");
        if (n.size() > table.numberPrefix.size() && n.compare(0, table.numberPrefix.size(), table.numberPrefix) == 0) {
            try {
                highest = std::max(highest, std::stoll(n.substr(table.numberPrefix.size())));
            } catch (const std::exception&) {
            }
        }
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%07lld", highest + 1);
    return table.numberPrefix + buf;
}

std::string Database::insert(const TableDef& table, Record r, util::TimePoint now,
                             const std::string& actorSysId) {
    auto& v = r.values;
    if (v["sys_id"].empty()) v["sys_id"] = util::randomSysId();
    v["sys_id"] = util::asciiLower(v["sys_id"]);
    if (!table.numberPrefix.empty() && v["number"].empty()) v["number"] = nextNumber(table);
    const std::string nowText = util::formatUtc(now);
    if (v["sys_created_on"].empty()) v["sys_created_on"] = v.count("opened_at") && !v["opened_at"].empty() ? v["opened_at"] : nowText;
    if (v["sys_updated_on"].empty()) v["sys_updated_on"] = v["sys_created_on"];
    const std::string actor = actorSysId.empty() ? "admin" : [&] {
        const Record* u = find("sys_user", actorSysId);
        return u && !u->get("user_name").empty() ? u->get("user_name") : std::string("admin");
    }();
    if (v["sys_created_by"].empty()) v["sys_created_by"] = actor;
    if (v["sys_updated_by"].empty()) v["sys_updated_by"] = v["sys_created_by"];
    if (v["sys_mod_count"].empty()) v["sys_mod_count"] = "0";
    if (isTaskLike(table)) {
        if (v["active"].empty()) v["active"] = table.closedStates.count(v["state"]) ? "false" : "true";
    } else if (table.field("active") && v["active"].empty()) {
        v["active"] = "true";
    }
    for (auto& [field, entries] : r.journal)
        for (auto& e : entries)
            if (e.createdOn.empty()) e.createdOn = v["sys_created_on"];
    // Every schema field is present (empty when unset), as on the instance.
    for (const auto& f : table.fields)
        if (f.type != FieldType::Journal) v.try_emplace(f.name, "");
    const std::string id = v["sys_id"];
    auto& rows = tables_[table.name];
    index_[table.name][id] = rows.size();
    rows.push_back(std::move(r));
    return id;
}

void Database::commit(const TableDef& table, Record& target, Record updated, bool changed,
                      const std::string& actorSysId, util::TimePoint now) {
    if (!changed) return;
    auto& v = updated.values;
    if (isTaskLike(table)) {
        const bool wasClosed = table.closedStates.count(target.get("state")) > 0;
        const bool isClosed = table.closedStates.count(v["state"]) > 0;
        if (isClosed && !wasClosed) {
            v["active"] = "false";
            if (v["closed_at"].empty() || v["closed_at"] == target.get("closed_at"))
                v["closed_at"] = util::formatUtc(now);
            if (table.field("closed_by")) v["closed_by"] = actorSysId;
        } else if (!isClosed && wasClosed && v["state"] != target.get("state")) {
            v["active"] = "true";
            v["closed_at"] = "";
            if (table.field("closed_by")) v["closed_by"] = "";
        }
    }
    v["sys_updated_on"] = util::formatUtc(now);
    const Record* actor = find("sys_user", actorSysId);
    v["sys_updated_by"] = actor && !actor->get("user_name").empty() ? actor->get("user_name") : "system";
    long long count = 0;
    try {
        count = std::stoll(v["sys_mod_count"]);
    } catch (const std::exception&) {
    }
    v["sys_mod_count"] = std::to_string(count + 1);
    target = std::move(updated);
}

void Database::patch(const TableDef& table, const std::string& sysId, const json& body,
                     const std::string& actorSysId, util::TimePoint now) {
    Record* target = findMutable(table.name, sysId);
    if (!target)
        throw ApiError(404, "No Record found", "Record doesn't exist or ACL restricts the record retrieval");
    if (!body.is_object())
        throw ApiError(400, "Exception while reading request", "The payload is not a JSON object.");
    Record updated = *target;
    bool changed = false;
    for (const auto& [name, v] : body.items()) {
        const FieldDef* f = table.field(name);
        if (!f || f->readOnly) continue;  // as the instance does: unknown and read-only fields are ignored
        if (v.is_object() || v.is_array())
            throw ApiError(400, "Exception while reading request",
                           "The value of \"" + name + "\" must be a text, number or boolean.");
        std::string text = textOf(v, name);
        if (f->type == FieldType::Journal) {
            if (util::trim(text).empty()) continue;
            updated.journal[name].push_back({util::formatUtc(now), actorSysId, text});
            changed = true;
            continue;
        }
        if (f->type == FieldType::Reference && !text.empty()) {
            const TableDef* target_table = findTable(f->refTable);
            if (util::isSysId(text)) text = util::asciiLower(text);
            else if (target_table)
                if (auto id = findByDisplay(*target_table, text)) text = *id;
        }
        if (f->type == FieldType::DateTime && !text.empty() && !util::parseUtc(text))
            throw ApiError(400, "Exception while reading request",
                           "\"" + text + "\" is not a valid date-time for " + name + ".");
        if (updated.values[name] != text) {
            updated.values[name] = text;
            changed = true;
        }
    }
    // Business rule of this instance: a catalog task is closed by its assignee, with a resolution.
    if (table.name == "sc_task" && table.closedStates.count(updated.get("state")) &&
        !table.closedStates.count(target->get("state"))) {
        const std::string number = target->get("number");
        if (updated.get("assigned_to") != actorSysId)
            throw ApiError(403, "Operation Failed",
                           "Only the assignee can close " + number + ". Assign it to yourself first.");
        if (util::trim(updated.get("u_resolution")).empty())
            throw ApiError(403, "Operation Failed",
                           "A resolution (u_resolution) is required to close " + number + ".");
    }
    commit(table, *target, std::move(updated), changed, actorSysId, now);
}

void Database::update(const TableDef& table, const std::string& sysId,
                      const std::map<std::string, std::string>& values, const std::string& actorSysId,
                      util::TimePoint now) {
    Record* target = findMutable(table.name, sysId);
    if (!target) return;
    Record updated = *target;
    bool changed = false;
    for (const auto& [k, v] : values) {
        if (updated.values[k] != v) {
            updated.values[k] = v;
            changed = true;
        }
    }
    commit(table, *target, std::move(updated), changed, actorSysId, now);
}

}  // namespace trayline::demo
