#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/platform/decoding_error.h"
#include "core/servicenow/sn_user.h"
#include "core/settings/config.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

using nlohmann::json;

TEST(FieldDecoding, TakesValueAndDisplayLeniently) {
    const std::pair<const char*, SNField> rows[] = {
        {R"({"value":"2","display_value":"Work in Progress"})", {"2", "Work in Progress"}},
        {R"({"value":3,"display_value":true})", {"3", "true"}}, {R"({"value":null,"display_value":[1]})", {"", ""}},
        {R"({"value":{"a":1},"display_value":false})", {"", "false"}}, {R"("2")", {"2", "2"}}, {"true", {"", ""}},
        {"null", {"", ""}}, {"[\"a\"]", {"", ""}},
        {"-7", {"-7", "-7"}}, {"3.0", {"3", "3"}}, {"0.1", {"0.1", "0.1"}},
        {"18446744073709551615", {"1.8446744073709552e+19", "1.8446744073709552e+19"}},
        {"9223372036854775807", {"9223372036854775807", "9223372036854775807"}},
    };
    for (const auto& [member, expected] : rows)
        EXPECT_EQ(SNField::fromJson(json::parse(member)), expected) << member;
}

TEST(TaskDecoding, StreamingAgreesWithRecordDecodingAndAnOddMemberNeverCostsTheList) {
    const char* body = R"({"meta":{"x":[1,{"result":[]}]},"result":[
        {"sys_id":"s1","state":{"value":2,"display_value":"WIP","extra":[{}]},"number":null,
         "priority":{"value":{"nested":[1]},"display_value":1.5},"assigned_to":[{"value":"x"}],
         "opened_at":{"value":true},"closed_at":18446744073709551615,"short_description":"a\u00e9b",
         "request_item.request":{"value":"r1","display_value":"REQ1"},"unknown":5},
        {"sys_id":{"value":"s2"},"sys_id":{"display_value":"dup"}}, {}],"tail":{"result":5}})";
    const auto streamed = decodeTaskList(body);
    const auto tree = json::parse(body)["result"];
    ASSERT_EQ(streamed.size(), 3u);
    for (std::size_t i = 0; i < streamed.size(); ++i)
        EXPECT_EQ(streamed[i], SNTask::fromJson(tree[i])) << i;
    EXPECT_EQ(streamed[0].state, (SNField{"2", "WIP"}));
    EXPECT_EQ(streamed[0].priority, (SNField{"", "1.5"}));
    EXPECT_EQ(streamed[0].request, (SNField{"r1", "REQ1"}));
    SNTask empty;
    empty.assigneeKnown = false;  // a record without "assigned_to" hides who has it
    EXPECT_EQ(streamed[2], empty);
    EXPECT_TRUE(streamed[0].assigneeKnown);
}

TEST(TaskDecoding, ABadEnvelopeOrDeepNestingFailsTheWholeList) {
    const std::string bodies[] = {"", "<html>Service unavailable</html>", "[]", R"({"results":[]})",
                                  R"({"result":{}})", R"({"result":[{}, 3]})", R"({"result":["x"]})",
                                  R"({"result":[{})", R"({"result":[{"sys_id":2e6555555}]})",
                                  std::string(200000, '['),
                                  "{\"result\":[{\"x\":" + std::string(200000, '[')};
    for (const auto& body : bodies)
        EXPECT_THROW(decodeTaskList(body), DecodingError) << body.substr(0, 40);
}

TEST(UserDecoding, UsersAreStrictGroupMembersOptionalButTyped) {
    const auto users = decodeUserList(R"({"result":[{"sys_id":"u1","name":"Ann","email":null},
        {"sys_id":"u2","name":"Bob"},{"sys_id":"u3","name":"Cy","email":"cy@x"}]})");
    EXPECT_EQ(users, (std::vector<SNUser>{{"u1", "Ann", {}}, {"u2", "Bob", {}}, {"u3", "Cy", "cy@x"}}));
    for (const char* body : {R"({"result":[{"sys_id":"u1"}]})", R"({"result":[],"x":1e999})",
                             R"({"result":[{"sys_id":1,"name":"A"}]})",
                             R"({"result":[{"sys_id":"u1","name":"A","email":5}]})"})
        EXPECT_THROW(decodeUserList(body), DecodingError) << body;
    const auto rows =
        decodeGroupMemberList(R"({"result":[{"user.sys_id":"u1","user.name":"Ann"},{"user.name":null}]})");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].sysID, "u1");
    EXPECT_FALSE(rows[0].email);
    EXPECT_FALSE(rows[1].name);
    EXPECT_THROW(decodeGroupMemberList(R"({"result":[{"user.name":7}]})"), DecodingError);
}

TEST(References, TellSysIdsFromNumbersAndMe) {
    EXPECT_EQ(TaskReference::parse("  0123456789ABCDEF0123456789ABCDEF\n").kind, TaskReference::Kind::sysID);
    EXPECT_EQ(TaskReference::parse(std::string(33, 'a')).kind, TaskReference::Kind::number);
    EXPECT_EQ(TaskReference::parse(" RITM001 ").text, "RITM001");
    EXPECT_EQ(UserReference::parse(" mE ").kind, UserReference::Kind::me);
    EXPECT_EQ(UserReference::parse(std::string(32, 'f')).kind, UserReference::Kind::sysID);
    EXPECT_EQ(UserReference::parse("Mehmet").kind, UserReference::Kind::name);
}

class DerivedValues : public ::testing::Test {
protected:
    void SetUp() override { Config::setInstanceURL("https://acme.service-now.com/"); }
    test::TempProfile profile;
    const DateFormatter us{"en_US", "America/Los_Angeles"};
};

TEST_F(DerivedValues, ClipboardTextOfARealisticTaskTakesTheItemsTextsAndLinksTheRequest) {
    const auto tasks = decodeTaskList(test::readFile(TRAYLINE_FIXTURES "/task_reply.json"));
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].clipboardText(us),
              "SCTASK0010042 / RITM0020017 / REQ0030009\nNew laptop for Maria\n\n"
              "State: Work in Progress\nPriority: 3 - Moderate\nRequested for: Maria Lopez\n"
              "Assigned to: Unassigned\nGroup: Workplace Support\nOpened: Mar 3, 2025\n"
              "Updated: Mar 5, 2025, 3:30\u202FPM\n\nMaria starts Monday.\nShe needs a 14\" laptop.\n\n"
              "https://acme.service-now.com/nav_to.do?uri=sc_request.do%3Fsys_id%3D"
              "a0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5");
}

TEST_F(DerivedValues, ClosedTaskShowsClosingTimeInTheUsersZoneAndSkipsBadDatesAndLinks) {
    SNTask t;
    t.number = {"", "SCTASK9"};
    t.assignedTo = {"u1", "Ann Lee"};
    t.updatedOn = {"yesterday", ""};
    t.closedAt = {"2025-01-01 07:15:00", ""};
    Config::setInstanceURL("bad url");
    EXPECT_EQ(t.clipboardText(DateFormatter{"de_DE", "Europe/Berlin"}),
              "SCTASK9\n\nAssigned to: Ann Lee\nClosed: 01.01.2025, 08:15");
    EXPECT_FALSE(listURL("active=true"));
}

TEST_F(DerivedValues, AnItemWithoutARequestIsThePrimaryRecordAndLinksFollowTheTable) {
    SNTask t;
    t.sysID = {"t1", "t1"};
    t.number = {"SCTASK1", " SCTASK1 "};
    EXPECT_EQ(t.primaryNumber(), "SCTASK1");
    EXPECT_FALSE(t.ritmURL());
    t.requestItem = {"i1", "RITM1"};
    EXPECT_EQ(t.primaryNumber() + " " + t.primaryURL().value_or(""),
              "RITM1 https://acme.service-now.com/nav_to.do?uri=sc_req_item.do%3Fsys_id%3Di1");
    Config::setTable("incident");
    EXPECT_EQ(t.recordURL(), "https://acme.service-now.com/nav_to.do?uri=incident.do%3Fsys_id%3Dt1");
    EXPECT_EQ(listURL("assignment_group=g1^stateIN1,2"),  // the query encoded inside the target
              "https://acme.service-now.com/nav_to.do?uri=incident_list.do%3Fsysparm_query%3D"
              "assignment_group%3Dg1%5EstateIN1%2C2");
}

TEST_F(DerivedValues, ItemTextsWinOnlyWhenNotBlank) {
    SNTask t;
    t.shortDescription = {"", " Task title "};
    t.ritmShortDescription = {"", "  \n"};
    t.taskDescription = {"", " task body "};
    t.openedBy = {"", " Opener "};
    EXPECT_EQ(t.effectiveShortDescription() + "|" + t.effectiveDescription() + "|" + t.effectiveCaller(),
              " Task title |task body|Opener");
    t.ritmShortDescription = {"", " Item title "};
    t.ritmDescription = {"", "item\nbody\n"};
    t.caller = {"", "Caller"};
    EXPECT_EQ(t.effectiveShortDescription() + "|" + t.effectiveDescription() + "|" + t.effectiveCaller(),
              "Item title|item\nbody|Caller");
}

}  // namespace
}  // namespace trayline
