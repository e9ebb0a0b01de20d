// The encoded-query engine on the exact queries the app and its MCP tools send, over a small data
// set with a fixed "now" so that month boundaries are tested to the second.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database.h"
#include "demo_instance.h"
#include "encoded_query.h"

namespace trayline::demo {
namespace {

using nlohmann::json;

const std::string G = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";  // the watched group
const std::string H = "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";  // another group
const std::string ME = kDemoUserSysId;
const std::string SAM = "00000000000000000000000000000002";
const std::string SAMIRA = "00000000000000000000000000000003";
const std::string SAMUEL = "00000000000000000000000000000004";  // inactive
const std::string PAT = "00000000000000000000000000000005";

util::TimePoint at(const std::string& text) { return *util::parseUtc(text); }

json task(const std::string& number, const std::string& group, const std::string& state, const std::string& assignee,
          const std::string& opened, const std::string& closed = "", const std::string& ritm = "") {
    return {{"sys_id", "1000000000000000000000000000" + number.substr(number.size() - 4)},
            {"number", number}, {"assignment_group", group}, {"state", state}, {"assigned_to", assignee},
            {"opened_at", opened}, {"closed_at", closed}, {"request_item", ritm},
            {"short_description", "Task " + number}};
}

json data() {
    return {
        {"tables",
         {{"sys_user",
           {{{"sys_id", ME}, {"name", "Alex Morgan"}, {"active", "true"}},
            {{"sys_id", SAM}, {"name", "Sam Carter"}, {"active", "true"}},
            {{"sys_id", SAMIRA}, {"name", "Samira Haddad"}, {"active", "true"}},
            {{"sys_id", SAMUEL}, {"name", "Samuel Ortiz"}, {"active", "false"}},
            {{"sys_id", PAT}, {"name", "Pat Quinn"}, {"active", "true"}}}},
          {"sys_user_group", {{{"sys_id", G}, {"name", "Desk"}}, {{"sys_id", H}, {"name", "Network"}}}},
          {"sys_user_grmember",
           {{{"group", G}, {"user", SAMIRA}},
            {{"group", G}, {"user", ME}},
            {{"group", G}, {"user", SAMUEL}},
            {{"group", G}, {"user", SAM}},
            {{"group", H}, {"user", PAT}}}},
          {"sc_request", {{{"sys_id", "c0000000000000000000000000000001"}, {"number", "REQ0000001"}}}},
          {"sc_req_item",
           {{{"sys_id", "d0000000000000000000000000000001"}, {"number", "RITM0000001"},
             {"request", "c0000000000000000000000000000001"}}}},
          {"sc_task",
           {task("SCTASK0001001", G, "1", "", "2025-03-10 08:00:00"),
            task("SCTASK0001002", G, "2", ME, "2025-03-12 08:00:00", "", "d0000000000000000000000000000001"),
            task("SCTASK0001003", G, "3", SAM, "2025-03-11 08:00:00"),
            task("SCTASK0001004", G, "-5", ME, "2025-03-13 08:00:00"),
            task("SCTASK0001005", H, "1", ME, "2025-03-14 08:00:00"),
            task("SCTASK0001006", G, "5", ME, "2025-02-20 08:00:00", "2025-03-01 00:00:00"),
            task("SCTASK0001007", G, "5", SAM, "2025-02-20 09:00:00", "2025-02-28 23:59:59"),
            task("SCTASK0001008", G, "5", SAM, "2025-01-20 09:00:00", "2025-02-01 00:00:00"),
            task("SCTASK0001009", G, "5", SAM, "2025-01-20 09:00:00", "2025-01-31 23:59:59"),
            task("SCTASK0001010", G, "5", ME, "2025-03-14 09:00:00", "2025-03-15 11:00:00"),
            task("SCTASK0001011", H, "5", PAT, "2025-03-02 09:00:00", "2025-03-03 11:00:00"),
            task("SCTASK0001012", G, "1", "", "2025-03-14 10:00:00", "", "d0000000000000000000000000000001")}},
          {"incident",
           {{{"number", "INC0000001"}, {"priority", "1"}, {"state", "2"}, {"opened_at", "2025-03-14 10:00:00"}},
            {{"number", "INC0000002"}, {"priority", "1"}, {"state", "7"}, {"opened_at", "2025-03-13 10:00:00"}},
            {{"number", "INC0000003"}, {"priority", "2"}, {"state", "1"}, {"opened_at", "2025-03-15 10:00:00"},
             {"short_description", "Mapping A^B fails"}}}}}}};
}

class EncodedQueryTest : public ::testing::Test {
protected:
    EncodedQueryTest() : db(Database::fromJson(data(), at("2025-03-15 12:00:00"))) {}

    std::vector<std::string> run(const std::string& table, const std::string& query,
                                 const std::string& now = "2025-03-15 12:00:00", const std::string& field = "") {
        const TableDef& t = *findTable(table);
        const QueryContext ctx{ME, at(now)};
        std::vector<std::string> out;
        for (const Record* r : runQuery(parseEncodedQuery(query, t, db, ctx), db, t)) {
            const std::string f = !field.empty() ? field : t.displayField.empty() ? "sys_id" : t.displayField;
            out.push_back(r->get(f));
        }
        return out;
    }
    bool rejects(const std::string& table, const std::string& query) {
        try {
            run(table, query);
            return false;
        } catch (const QueryError&) {
            return true;
        }
    }

    Database db;
};

using V = std::vector<std::string>;

TEST_F(EncodedQueryTest, GroupQueueIsTheGroupsOpenStatesNewestFirst) {
    EXPECT_EQ(run("sc_task", "assignment_group=" + G + "^stateIN1,2,3^ORDERBYDESCopened_at"),
              (V{"SCTASK0001012", "SCTASK0001002", "SCTASK0001003", "SCTASK0001001"}));
}

TEST_F(EncodedQueryTest, MyTasksAreTheTokenUsersActiveTasksInAnyGroup) {
    EXPECT_EQ(run("sc_task", std::string("assigned_toDYNAMIC") + kMeDynamicFilter + "^active=true^ORDERBYDESCopened_at"),
              (V{"SCTASK0001005", "SCTASK0001004", "SCTASK0001002"}));
}

TEST_F(EncodedQueryTest, ClosedThisMonthIncludesTheFirstSecondOfTheMonth) {
    const std::string q = "assignment_group=" + G +
                          "^closed_atONThis month@javascript:gs.beginningOfThisMonth()@javascript:gs.endOfThisMonth()"
                          "^ORDERBYDESCclosed_at";
    EXPECT_EQ(run("sc_task", q), (V{"SCTASK0001010", "SCTASK0001006"}));
}

TEST_F(EncodedQueryTest, ClosedLastMonthIncludesBothEndsOfThatMonth) {
    const std::string q = "assignment_group=" + G +
                          "^closed_atONLast month@javascript:gs.beginningOfLastMonth()@javascript:gs.endOfLastMonth()"
                          "^ORDERBYDESCclosed_at";
    EXPECT_EQ(run("sc_task", q), (V{"SCTASK0001007", "SCTASK0001008"}));
    // In early April, "last month" is March.
    EXPECT_EQ(run("sc_task", q, "2025-04-02 00:00:00"), (V{"SCTASK0001010", "SCTASK0001006"}));
}

TEST_F(EncodedQueryTest, MonthsEndAtTheirLastSecondAndCrossYears) {
    const std::string q = "closed_atONLast month@javascript:gs.beginningOfLastMonth()@javascript:gs.endOfLastMonth()";
    EXPECT_EQ(run("sc_task", q, "2025-02-10 08:00:00"), (V{"SCTASK0001009"}));
    EXPECT_EQ(util::formatUtc(util::startOfMonth(at("2025-01-15 10:00:00"), -1)), "2024-12-01 00:00:00");
    EXPECT_EQ(util::formatUtc(util::startOfMonth(at("2024-12-31 23:59:59"), 1)), "2025-01-01 00:00:00");
}

TEST_F(EncodedQueryTest, CurrentUserThroughTheMeDynamicFilter) {
    EXPECT_EQ(run("sys_user", std::string("sys_idDYNAMIC") + kMeDynamicFilter), (V{"Alex Morgan"}));
}

TEST_F(EncodedQueryTest, UserSearchIsActiveNameContainsOrderedByName) {
    EXPECT_EQ(run("sys_user", "active=true^nameLIKEsam^ORDERBYname"), (V{"Sam Carter", "Samira Haddad"}));
    EXPECT_EQ(run("sys_user", "active=true^nameLIKESAM^ORDERBYname"), (V{"Sam Carter", "Samira Haddad"}));
    EXPECT_EQ(run("sys_user", "sys_id=" + SAMUEL), (V{"Samuel Ortiz"}));  // by sys_id, inactive users too
}

TEST_F(EncodedQueryTest, GroupMembersAreActiveUsersOrderedByDotWalkedName) {
    EXPECT_EQ(run("sys_user_grmember", "group=" + G + "^user.active=true^ORDERBYuser.name", "2025-03-15 12:00:00", "user"),
              (V{ME, SAM, SAMIRA}));
}

TEST_F(EncodedQueryTest, TaskReferenceMatchesOwnRitmOrRequestNumber) {
    auto resolve = [&](const std::string& ref) {
        return run("sc_task", "number=" + ref + "^ORrequest_item.number=" + ref + "^ORrequest_item.request.number=" + ref);
    };
    EXPECT_EQ(resolve("SCTASK0001003"), (V{"SCTASK0001003"}));
    EXPECT_EQ(resolve("RITM0000001"), (V{"SCTASK0001002", "SCTASK0001012"}));
    EXPECT_EQ(resolve("REQ0000001"), (V{"SCTASK0001002", "SCTASK0001012"}));
    EXPECT_EQ(resolve("sctask0001003"), (V{"SCTASK0001003"}));  // the instance's database ignores case
    EXPECT_EQ(resolve("NOPE"), V{});
}

TEST_F(EncodedQueryTest, DoubleCaretIsALiteralCaret) {
    // A typed reference with "^OR..." cannot widen a lookup once its carets are doubled.
    const std::string ref = "SCTASK0001003^^ORactive=true";
    EXPECT_EQ(run("sc_task", "number=" + ref + "^ORrequest_item.number=" + ref), V{});
    // Without doubling it would: the same text unescaped matches every active task.
    EXPECT_GT(run("sc_task", "number=SCTASK0001003^ORactive=true").size(), 1u);
    EXPECT_EQ(run("sys_user", "nameLIKEQuinn^^"), V{});
    EXPECT_EQ(run("incident", "short_descriptionLIKEA^^B"), (V{"INC0000003"}));
    EXPECT_EQ(run("incident", "short_description=mapping a^^b fails"), (V{"INC0000003"}));
    EXPECT_EQ(run("sc_task", "short_descriptionLIKETask SCTASK0001003^^"), V{});
}

TEST_F(EncodedQueryTest, OrBindsTighterThanAndAndNqStartsANewQuery) {
    EXPECT_EQ(run("sc_task", "assignment_group=" + H + "^state=5^ORstate=2"), (V{"SCTASK0001011"}));
    EXPECT_EQ(run("sc_task", "state=-5^NQassignment_group=" + H + "^state=1"), (V{"SCTASK0001004", "SCTASK0001005"}));
    EXPECT_EQ(run("sc_task", "state=-5^EQ^state=1"), (V{"SCTASK0001004"}));
}

TEST_F(EncodedQueryTest, EmptinessNegationAndStringOperators) {
    EXPECT_EQ(run("sc_task", "assignment_group=" + G + "^assigned_toISEMPTY^active=true"),
              (V{"SCTASK0001001", "SCTASK0001012"}));
    // != never matches an empty value (SQL NULL semantics).
    EXPECT_EQ(run("sc_task", "assigned_to!=" + ME + "^active=true"), (V{"SCTASK0001003"}));
    EXPECT_EQ(run("sc_task", "numberSTARTSWITHSCTASK000101^ORDERBYDESCnumber"),
              (V{"SCTASK0001012", "SCTASK0001011", "SCTASK0001010"}));
    EXPECT_EQ(run("sc_task", "numberSTARTSWITHTASK0001"), V{});  // contained, but not at the start
    EXPECT_EQ(run("sc_task", "numberENDSWITH12"), (V{"SCTASK0001012"}));
    EXPECT_EQ(run("incident", "short_descriptionNOT LIKEprinter"), (V{"INC0000003"}));  // never an empty value
    EXPECT_EQ(run("sc_task", "request_itemISNOTEMPTY"), (V{"SCTASK0001002", "SCTASK0001012"}));
    EXPECT_EQ(run("sc_task", "stateNOT IN1,2,3,5^ORDERBYnumber"), (V{"SCTASK0001004"}));
    // String operators on a reference read its display value.
    EXPECT_EQ(run("sc_task", "assigned_toLIKEmorgan^active=true^ORDERBYnumber"),
              (V{"SCTASK0001002", "SCTASK0001004", "SCTASK0001005"}));
}

TEST_F(EncodedQueryTest, SeveralOrderKeysApplyInTurn) {
    EXPECT_EQ(run("sc_task", "active=true^ORDERBYassigned_to^ORDERBYDESCnumber"),
              (V{"SCTASK0001012", "SCTASK0001001", "SCTASK0001005", "SCTASK0001004", "SCTASK0001002", "SCTASK0001003"}));
}

TEST_F(EncodedQueryTest, McpSearchExamples) {
    EXPECT_EQ(run("incident", "active=true^priority=1"), (V{"INC0000001"}));
    EXPECT_EQ(run("incident", "active=true^ORDERBYDESCopened_at"), (V{"INC0000003", "INC0000001"}));
    EXPECT_EQ(run("incident", "priority<=1"), (V{"INC0000001", "INC0000002"}));
    EXPECT_EQ(run("sc_task", "opened_at>=javascript:gs.daysAgoStart(1)^ORDERBYopened_at"),
              (V{"SCTASK0001005", "SCTASK0001010", "SCTASK0001012"}));
    EXPECT_EQ(run("sc_task", "closed_atBETWEENjavascript:gs.dateGenerate('2025-02-28','start')@"
                             "javascript:gs.dateGenerate('2025-03-01','end')"),
              (V{"SCTASK0001006", "SCTASK0001007"}));
    EXPECT_EQ(run("sc_task", "closed_atON2025-03-03"), (V{"SCTASK0001011"}));
    EXPECT_EQ(run("sc_task", "assigned_to=javascript:gs.getUserID()^state=-5"), (V{"SCTASK0001004"}));
}

TEST_F(EncodedQueryTest, EmptyQueryMatchesEverythingInStorageOrder) {
    EXPECT_EQ(run("incident", ""), (V{"INC0000001", "INC0000002", "INC0000003"}));
}

TEST_F(EncodedQueryTest, UnknownFieldsMatchNothingRatherThanEverything) {
    EXPECT_EQ(run("sc_task", "bogus=1"), V{});
    EXPECT_EQ(run("sc_task", "active=true^ORbogus=1").size(), 6u);
    EXPECT_EQ(run("sc_task", "assigned_to.bogus=1"), V{});
    EXPECT_EQ(run("sc_task", "number.name=1"), V{});  // dot-walk through a field that is no reference
}

TEST_F(EncodedQueryTest, UnsupportedSyntaxIsAnErrorNeverAMatchAll) {
    for (const char* q : {"stateSAMEASpriority", "sys_class_nameINSTANCEOFtask", "numberFOO", "=1", "active",
                          "assigned_toDYNAMICabcdefabcdefabcdefabcdefabcdefab", "assigned_to=javascript:gs.foo()",
                          "opened_atRELATIVEGT@hour@ago@3", "GROUPBYstate", "123TEXTQUERY321=printer",
                          "state=1^ORnumberFOO", "closed_atONThis month@javascript:gs.beginningOfDecade()@x",
                          "opened_at>=javascript:gs.daysAgoStart(x)"})
        EXPECT_TRUE(rejects("sc_task", q)) << q;
}

}  // namespace
}  // namespace trayline::demo
