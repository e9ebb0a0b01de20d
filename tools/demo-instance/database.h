#pragma once

// The demo instance's records: stored values per table, journal entries, display values,
// dot-walking, inserts and the PATCH rules (journal append, closing, sys_updated_on). Not
// thread-safe by itself: DemoInstance guards it.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "schema.h"
#include "util.h"

namespace trayline::demo {

// A ServiceNow-style failure reply: {"error": {"message", "detail"}, "status": "failure"}.
class ApiError : public std::runtime_error {
public:
    ApiError(int status, std::string message, std::string detail)
        : std::runtime_error(message), status_(status), detail_(std::move(detail)) {}
    int status() const { return status_; }
    const std::string& detail() const { return detail_; }

private:
    int status_;
    std::string detail_;
};

// A data set that cannot be loaded (--data FILE).
class DataError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A JSON scalar as the text a field stores; DataError (naming `where`) for objects and arrays.
std::string textOf(const nlohmann::json& v, const std::string& where);

struct JournalEntry {
    std::string createdOn;  // "yyyy-MM-dd HH:mm:ss" UTC
    std::string createdBy;  // sys_id of the author ("" = system)
    std::string value;
};

struct Record {
    std::map<std::string, std::string> values;                     // stored values, never journals
    std::map<std::string, std::vector<JournalEntry>> journal;       // per journal field, oldest first
    const std::string& get(const std::string& field) const;          // "" when absent
};

class Database {
public:
    // Loads {"demo_user": "<sys_id>" (optional), "tables": {"<table>": [ {field: value, ...} ]}}.
    // Values are strings (numbers and booleans are taken as their text, null as ""); date-time
    // fields may use relative forms "@now", "@today", "@thismonth", "@lastmonth" followed by
    // offsets like "+2d", "-3h", "+15m", "-10s" (e.g. "@lastmonth+4d9h"). Journal fields take a
    // text or a list of {"created_on", "created_by", "value"}. Missing sys_ids, numbers and system
    // fields are filled in. Throws DataError naming the problem.
    static Database fromJson(const nlohmann::json& data, util::TimePoint now);
    // The same shape back (stored values; journals as lists).
    nlohmann::json toJson() const;
    static nlohmann::json recordJson(const Record& r);

    const std::string& demoUser() const { return demoUser_; }
    const std::vector<Record>& rows(const TableDef& table) const;
    const Record* find(std::string_view table, std::string_view sysId) const;

    // Dot-walking. `record` is null when a reference on the way is empty or dangling (the field
    // then reads as empty). nullopt when the path names no field of the schema.
    struct Resolved {
        const TableDef* table = nullptr;
        const FieldDef* field = nullptr;
        const Record* record = nullptr;
    };
    std::optional<Resolved> resolve(const TableDef& table, const Record* record,
                                    std::string_view path) const;
    std::string value(const Resolved& r) const;    // stored value ("" for journals)
    std::string display(const Resolved& r) const;  // display value
    std::string displayOf(const TableDef& table, const Record& record) const;
    std::string journalText(const Record& record, const FieldDef& field) const;
    // The sys_id of the record of `table` whose display value equals `text` (any letter case).
    std::optional<std::string> findByDisplay(const TableDef& table, std::string_view text) const;

    // Adds a record; fills sys_id, number and system fields when absent. Returns the sys_id.
    std::string insert(const TableDef& table, Record record, util::TimePoint now,
                       const std::string& actorSysId);
    // Applies a Table API PATCH body (a JSON object) as `actorSysId`. Throws ApiError.
    void patch(const TableDef& table, const std::string& sysId, const nlohmann::json& body,
               const std::string& actorSysId, util::TimePoint now);
    // Direct write of stored values (the simulation), with the same closing and sys_updated_on rules
    // as patch but no business-rule checks.
    void update(const TableDef& table, const std::string& sysId,
                const std::map<std::string, std::string>& values, const std::string& actorSysId,
                util::TimePoint now);

    std::string nextNumber(const TableDef& table) const;

private:
    Record* findMutable(std::string_view table, std::string_view sysId);
    void commit(const TableDef& table, Record& target, Record updated, bool changed,
                const std::string& actorSysId, util::TimePoint now);
    std::string userName(const std::string& sysId) const;

    std::string demoUser_;
    std::map<std::string, std::vector<Record>, std::less<>> tables_;
    std::map<std::string, std::unordered_map<std::string, std::size_t>, std::less<>> index_;
};

}  // namespace trayline::demo
