// The encoded-query engine over a small data set with a fixed "now", so that month boundaries are
// tested to the second. Rows name tasks by the last four digits of their number.

#include <gtest/gtest.h>

#include <string>

#include "database.h"
#include "demo_instance.h"
#include "encoded_query.h"
#include "support/temp_env.h"

namespace trayline::demo {
namespace {

using nlohmann::json;

const std::pair<std::string, std::string> kIds[] = {
    {"<G>", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},   // the watched group
    {"<H>", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"},   // another group
    {"<ME>", kDemoUserSysId},
    {"<SAM>", "00000000000000000000000000000002"},
    {"<SAMIRA>", "00000000000000000000000000000003"},
    {"<SAMUEL>", "00000000000000000000000000000004"},  // inactive
    {"<PAT>", "00000000000000000000000000000005"},
    {"<RITM>", "d0000000000000000000000000000001"},
};

std::string expand(std::string text) {
    for (const auto& [name, id] : kIds)
        for (std::size_t at; (at = text.find(name)) != std::string::npos;)
            text.replace(at, name.size(), id);
    return text;
}

util::TimePoint at(const std::string& text) { return *util::parseUtc(text); }

// The data set, with the names of kIds for their sys_ids.
json data() { return json::parse(expand(test::readFile(TRAYLINE_FIXTURES "/encoded_query_data.json"))); }

struct Row {
    std::string table, query, found;  // `found`: display values in order, comma-separated
    std::string now = "2025-03-15 12:00:00";
};

// The records `query` selects, or "error" when the engine refuses it.
std::string run(const Database& db, const Row& row) {
    const TableDef& t = *findTable(row.table);
    try {
        std::string out;
        for (const Record* r : runQuery(parseEncodedQuery(expand(row.query), t, db, {kDemoUserSysId, at(row.now)}),
                                        db, t)) {
            const std::string shown = row.table == "sys_user_grmember" ? r->get("user") : r->get(t.displayField);
            out += (out.empty() ? "" : ",") + (row.table == "sc_task" ? shown.substr(9) : shown);
        }
        return out;
    } catch (const QueryError&) {
        return "error";
    }
}

std::string closedIn(const std::string& month) {  // "This" or "Last"
    return "closed_atON" + month + " month@javascript:gs.beginningOf" + month + "Month()@javascript:gs.endOf" + month +
           "Month()";
}
std::string resolving(const std::string& ref) {  // a task reference as the app looks it up
    return "number=" + ref + "^ORrequest_item.number=" + ref + "^ORrequest_item.request.number=" + ref;
}

TEST(EncodedQuery, SelectsAndOrdersLikeTheInstance) {
    const Database db = Database::fromJson(data(), at("2025-03-15 12:00:00"));
    const Row rows[] = {
        // The app's own lists.
        {"sc_task", "assignment_group=<G>^stateIN1,2,3^ORDERBYDESCopened_at", "1012,1002,1003,1001"},
        {"sc_task", std::string("assigned_toDYNAMIC") + kMeDynamicFilter + "^active=true^ORDERBYDESCopened_at",
         "1005,1004,1002"},
        {"sc_task", "assignment_group=<G>^" + closedIn("This") + "^ORDERBYDESCclosed_at", "1010,1006"},  // from 00:00:00
        {"sc_task", "assignment_group=<G>^" + closedIn("Last") + "^ORDERBYDESCclosed_at", "1007,1008"},  // both ends
        {"sc_task", closedIn("Last"), "1009", "2025-02-10 08:00:00"},
        {"sc_task", closedIn("Last"), "0999", "2025-01-10 08:00:00"},  // months across the turn of a year
        {"sc_task", closedIn("This"), "0999", "2024-12-20 08:00:00"},
        {"sys_user", std::string("sys_idDYNAMIC") + kMeDynamicFilter, "Alex Morgan"},
        {"sys_user", "active=true^nameLIKEsAM^ORDERBYname", "Sam Carter,Samira Haddad"},
        {"sys_user_grmember", "group=<G>^user.active=true^ORDERBYuser.name", expand("<ME>,<SAM>,<SAMIRA>")},
        // A task reference: its own number, its requested item's or its request's, in any case.
        {"sc_task", resolving("SCTASK0001003"), "1003"},
        {"sc_task", resolving("RITM0000001"), "1002,1012"},
        {"sc_task", resolving("REQ0000001"), "1002,1012"},
        // "^^" is a literal caret: a typed reference cannot widen a lookup.
        {"sc_task", resolving("SCTASK0001003^^ORactive=true"), ""},
        {"sc_task", "number=SCTASK0001003^ORactive=true^ORDERBYnumber", "1001,1002,1003,1004,1005,1012"},
        {"incident", "short_descriptionLIKEA^^B", "INC0000003"},
        // OR binds tighter than AND; NQ starts another query; EQ ends it.
        {"sc_task", "assignment_group=<H>^state=5^ORstate=2", "1011"},
        {"sc_task", "state=-5^NQassignment_group=<H>^state=1", "1004,1005"},
        {"sc_task", "state=-5^EQ^state=1", "1004"},
        // Emptiness, negation and string operators; "!=" and NOT LIKE never match an empty value.
        {"sc_task", "assignment_group=<G>^assigned_toISEMPTY^active=true", "1001,1012"},
        {"sc_task", "assigned_to!=<ME>^active=true", "1003"},
        {"sc_task", "numberSTARTSWITHSCTASK000101^ORDERBYDESCnumber", "1012,1011,1010"},
        {"sc_task", "numberSTARTSWITHTASK0001", ""},
        {"incident", "short_descriptionNOT LIKEprinter", "INC0000003"},
        {"sc_task", "stateNOT IN1,2,3,5^ORDERBYnumber", "1004"},
        {"sc_task", "assigned_toLIKEmorgan^active=true^ORDERBYnumber", "1002,1004,1005"},  // by display value
        {"sc_task", "active=true^ORDERBYassigned_to^ORDERBYDESCnumber", "1012,1001,1005,1004,1002,1003"},
        // The examples the search tool gives, and dates.
        {"incident", "active=true^priority=1", "INC0000001"},
        {"incident", "priority<=1", "INC0000001,INC0000002"},
        {"sc_task", "opened_at>=javascript:gs.daysAgoStart(1)^ORDERBYopened_at", "1005,1010,1012"},
        {"sc_task", "closed_atBETWEENjavascript:gs.dateGenerate('2025-02-28','start')@"
                    "javascript:gs.dateGenerate('2025-03-01','end')", "1006,1007"},
        {"sc_task", "assigned_to=javascript:gs.getUserID()^state=-5", "1004"},
        // Unknown fields match nothing rather than everything.
        {"sc_task", "bogus=1", ""},
        {"sc_task", "active=true^ORbogus=1^ORDERBYnumber", "1001,1002,1003,1004,1005,1012"},
        {"sc_task", "number.name=1", ""},  // a dot-walk through a field that is no reference
    };
    for (const auto& row : rows)
        EXPECT_EQ(run(db, row), row.found) << row.table << ": " << row.query << " at " << row.now;
}

}  // namespace
}  // namespace trayline::demo
