// The data-set format of the demo instance (--data files and dataSet()): JSON in and out, with
// dates relative to the moment of loading.

#include "database.h"

#include "demo_instance.h"

namespace trayline::demo {

using nlohmann::json;

namespace {

// "@now-3d", "@thismonth+2d4h" ... -> a date-time text; nullopt when `text` is no such form.
std::optional<std::string> expandRelativeDate(const std::string& text, util::TimePoint now) {
    if (text.empty() || text[0] != '@') return std::nullopt;
    std::size_t pos = 1;
    auto takeWord = [&](std::string_view w) {
        if (text.compare(pos, w.size(), w) == 0) {
            pos += w.size();
            return true;
        }
        return false;
    };
    util::TimePoint t;
    if (takeWord("now")) t = now;
    else if (takeWord("today")) t = util::startOfDay(now);
    else if (takeWord("thismonth")) t = util::startOfMonth(now);
    else if (takeWord("lastmonth")) t = util::startOfMonth(now, -1);
    else return std::nullopt;
    int sign = 1;
    while (pos < text.size()) {
        if (text[pos] == '+' || text[pos] == '-') {
            sign = text[pos] == '-' ? -1 : 1;
            ++pos;
        }
        long long n = 0;
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') n = n * 10 + (text[pos++] - '0');
        if (pos == start || pos >= text.size()) return std::nullopt;
        const char unit = text[pos++];
        long long secs = unit == 'd' ? 86400 : unit == 'h' ? 3600 : unit == 'm' ? 60 : unit == 's' ? 1 : 0;
        if (secs == 0) return std::nullopt;
        t += std::chrono::seconds{sign * n * secs};
    }
    return util::formatUtc(t);
}

}  // namespace

Database Database::fromJson(const json& data, util::TimePoint now) {
    if (!data.is_object()) throw DataError("the data set must be a JSON object");
    Database db;
    db.demoUser_ = kDemoUserSysId;
    if (data.contains("demo_user")) {
        if (!data["demo_user"].is_string()) throw DataError("\"demo_user\" must be a sys_id text");
        db.demoUser_ = util::asciiLower(data["demo_user"].get<std::string>());
    }
    for (const auto& t : allTables()) {
        db.tables_[t.name];
        db.index_[t.name];
    }
    if (!data.contains("tables") || !data["tables"].is_object())
        throw DataError("the data set needs an object \"tables\"");
    for (const auto& [tableName, rows] : data["tables"].items()) {
        const TableDef* table = findTable(tableName);
        if (!table) throw DataError("unknown table \"" + tableName + "\"");
        if (!rows.is_array()) throw DataError("table \"" + tableName + "\" must be a list of records");
        std::size_t n = 0;
        for (const auto& row : rows) {
            const std::string where = tableName + "[" + std::to_string(n++) + "]";
            if (!row.is_object()) throw DataError(where + " must be an object");
            Record r;
            for (const auto& [fieldName, v] : row.items()) {
                const FieldDef* f = table->field(fieldName);
                if (!f) throw DataError(where + ": unknown field \"" + fieldName + "\"");
                if (f->type == FieldType::Journal) {
                    auto& entries = r.journal[fieldName];
                    auto addEntry = [&](const json& e) {
                        if (e.is_string()) {
                            entries.push_back({"", "", e.get<std::string>()});
                        } else if (e.is_object()) {
                            JournalEntry je;
                            je.value = textOf(e.value("value", json("")), where + "." + fieldName);
                            je.createdBy = textOf(e.value("created_by", json("")), where + "." + fieldName);
                            je.createdOn = textOf(e.value("created_on", json("")), where + "." + fieldName);
                            if (auto x = expandRelativeDate(je.createdOn, now)) je.createdOn = *x;
                            entries.push_back(std::move(je));
                        } else {
                            throw DataError(where + "." + fieldName + ": journal entries are texts or objects");
                        }
                    };
                    if (v.is_array())
                        for (const auto& e : v) addEntry(e);
                    else if (!v.is_null())
                        addEntry(v);
                    continue;
                }
                std::string text = textOf(v, where + "." + fieldName);
                if (f->type == FieldType::DateTime && !text.empty()) {
                    if (auto x = expandRelativeDate(text, now)) text = *x;
                    else if (!util::parseUtc(text))
                        throw DataError(where + "." + fieldName + ": \"" + text +
                                        "\" is not a date-time (yyyy-MM-dd HH:mm:ss or @now-2d)");
                }
                if (f->type == FieldType::SysId || f->type == FieldType::Reference) text = util::asciiLower(text);
                r.values[fieldName] = std::move(text);
            }
            if (r.get("sys_id").empty()) r.values["sys_id"] = util::stableSysId(where);
            if (db.find(tableName, r.get("sys_id")))
                throw DataError(where + ": duplicate sys_id " + r.get("sys_id"));
            db.insert(*table, std::move(r), now, "");
        }
    }
    return db;
}

json Database::recordJson(const Record& r) {
    json o = json::object();
    for (const auto& [k, v] : r.values) o[k] = v;
    for (const auto& [k, entries] : r.journal) {
        json list = json::array();
        for (const auto& e : entries)
            list.push_back({{"created_on", e.createdOn}, {"created_by", e.createdBy}, {"value", e.value}});
        o[k] = std::move(list);
    }
    return o;
}

json Database::toJson() const {
    json tables = json::object();
    for (const auto& t : allTables()) {
        json rows = json::array();
        for (const auto& r : this->rows(t)) rows.push_back(recordJson(r));
        tables[t.name] = std::move(rows);
    }
    return {{"demo_user", demoUser_}, {"tables", std::move(tables)}};
}

}  // namespace trayline::demo
