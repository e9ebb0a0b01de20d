#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/platform/decoding_error.h"
#include "core/servicenow/sn_user.h"
#include "core/settings/config.h"
#include "support/temp_env.h"

namespace trayline {
namespace {

using nlohmann::json;

struct FieldCase {
    const char* member;  // JSON text of one member value
    SNField expected;
};
class FieldDecodingTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldDecodingTest, DecodesLeniently) {
    EXPECT_EQ(SNField::fromJson(json::parse(GetParam().member)), GetParam().expected) << GetParam().member;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, FieldDecodingTest,
    ::testing::Values(
        FieldCase{R"({"value":"2","display_value":"Work in Progress"})", {"2", "Work in Progress"}},
        FieldCase{R"({"value":3,"display_value":true})", {"3", "true"}},
        FieldCase{R"({"value":null,"display_value":[1]})", {"", ""}},
        FieldCase{R"({"display_value":"x"})", {"", "x"}},
        FieldCase{R"({"value":{"a":1},"display_value":false})", {"", "false"}},
        FieldCase{R"("2")", {"2", "2"}}, FieldCase{"true", {"", ""}}, FieldCase{"null", {"", ""}},
        FieldCase{"[\"a\"]", {"", ""}}, FieldCase{"42", {"42", "42"}}, FieldCase{"-7", {"-7", "-7"}},
        FieldCase{"3.0", {"3", "3"}}, FieldCase{"0.1", {"0.1", "0.1"}},
        FieldCase{"18446744073709551615", {"1.8446744073709552e+19", "1.8446744073709552e+19"}},
        FieldCase{"9223372036854775807", {"9223372036854775807", "9223372036854775807"}}));

TEST(TaskDecoding, OneOddMemberNeverCostsTheList) {
    const auto tasks = decodeTaskList(R"({"result":[
        {"sys_id":{"value":"a1","display_value":"a1"},"number":{"value":"SCTASK1","display_value":"SCTASK1"},
         "state":[1,2],"request_item.request":{"value":"r1","display_value":"REQ1"},"unknown":5},
        {}]})");
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_EQ(tasks[0].id(), "a1");
    EXPECT_EQ(tasks[0].state, SNField::empty);
    EXPECT_EQ(tasks[0].request, (SNField{"r1", "REQ1"}));
    EXPECT_EQ(tasks[1], SNTask{});
}

TEST(TaskDecoding, StreamingListDecoderAgreesWithRecordDecoding) {
    const char* body = R"({"meta":{"x":[1,{"result":[]}]},"result":[
        {"sys_id":"s1","state":{"value":2,"display_value":"WIP","extra":[{}]},"number":null,
         "priority":{"value":{"nested":[1]},"display_value":1.5},"assigned_to":[{"value":"x"}],
         "opened_at":{"value":true},"closed_at":18446744073709551615,"short_description":"a\u00e9b"},
        {"sys_id":{"value":"s2"},"sys_id":{"display_value":"dup"}}],"tail":{"result":5}})";
    const auto streamed = decodeTaskList(body);
    const auto tree = json::parse(body)["result"];
    ASSERT_EQ(streamed.size(), tree.size());
    for (std::size_t i = 0; i < streamed.size(); ++i)
        EXPECT_EQ(streamed[i], SNTask::fromJson(tree[i])) << i;
    EXPECT_EQ(streamed[0].state, (SNField{"2", "WIP"}));
    EXPECT_EQ(streamed[0].priority, (SNField{"", "1.5"}));
    EXPECT_EQ(streamed[0].openedAt, (SNField{"true", ""}));
}

TEST(TaskDecoding, DeepNestingIsAnErrorNotACrash) {
    EXPECT_THROW(decodeTaskList(std::string(200000, '[')), DecodingError);
    EXPECT_THROW(decodeTaskList("{\"result\":[{\"x\":" + std::string(200000, '[')), DecodingError);
}

class BadEnvelopeTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadEnvelopeTest, FailsTheWholeListWithADecodingError) {
    EXPECT_THROW(decodeTaskList(GetParam()), DecodingError) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Bodies, BadEnvelopeTest,
                         ::testing::Values("", "<html>Service unavailable</html>", "[]", R"({"results":[]})",
                                           R"({"result":{}})", R"({"result":[{}, 3]})",
                                           R"({"result":["x"]})", R"({"result":[{})",
                                           R"({"result":[{"sys_id":2e6555555}]})"));

TEST(UserDecoding, IsStrictAboutRequiredMembers) {
    const auto users = decodeUserList(R"({"result":[{"sys_id":"u1","name":"Ann","email":null},
                                                    {"sys_id":"u2","name":"Bob"},
                                                    {"sys_id":"u3","name":"Cy","email":"cy@x"}]})");
    ASSERT_EQ(users.size(), 3u);
    EXPECT_FALSE(users[0].email);
    EXPECT_FALSE(users[1].email);
    EXPECT_EQ(users[2].email, "cy@x");
    for (const char* body : {R"({"result":[{"sys_id":"u1"}]})", R"({"result":[],"x":1e999})", R"({"result":[{"sys_id":1,"name":"A"}]})",
                             R"({"result":[{"sys_id":"u1","name":"A","email":5}]})"})
        EXPECT_THROW(decodeUserList(body), DecodingError) << body;
}

TEST(GroupMemberDecoding, MembersAreOptionalButTyped) {
    const auto rows = decodeGroupMemberList(
        R"({"result":[{"user.sys_id":"u1","user.name":"Ann"},{"user.name":null},{}]})");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].sysID, "u1");
    EXPECT_FALSE(rows[0].email);
    EXPECT_FALSE(rows[1].name);
    EXPECT_THROW(decodeGroupMemberList(R"({"result":[{"user.name":7}]})"), DecodingError);
}

TEST(References, TellSysIdsFromNumbersAndMe) {
    EXPECT_EQ(TaskReference::parse("  0123456789ABCDEF0123456789ABCDEF\n").kind, TaskReference::Kind::sysID);
    EXPECT_EQ(TaskReference::parse("SCTASK0010001").kind, TaskReference::Kind::number);
    EXPECT_EQ(TaskReference::parse(std::string(33, 'a')).kind, TaskReference::Kind::number);
    EXPECT_EQ(TaskReference::parse(" RITM001 ").text, "RITM001");
    EXPECT_EQ(UserReference::parse(" mE ").kind, UserReference::Kind::me);
    EXPECT_EQ(UserReference::parse(std::string(32, 'f')).kind, UserReference::Kind::sysID);
    EXPECT_EQ(UserReference::parse("Mehmet").kind, UserReference::Kind::name);
}

class DerivedValuesTest : public ::testing::Test {
protected:
    void SetUp() override { Config::setInstanceURL("https://acme.service-now.com/"); }
    test::TempProfile profile;
};

TEST_F(DerivedValuesTest, RequestIsPreferredOverItemOverTask) {
    SNTask t;
    t.sysID = {"t1", "t1"};
    t.number = {"SCTASK1", " SCTASK1 "};
    EXPECT_EQ(t.primaryNumber(), "SCTASK1");
    EXPECT_EQ(t.primaryURL(), "https://acme.service-now.com/nav_to.do?uri=sc_task.do%3Fsys_id%3Dt1");
    EXPECT_FALSE(t.ritmURL());
    t.requestItem = {"i1", "RITM1"};
    EXPECT_EQ(t.primaryNumber(), "RITM1");
    EXPECT_EQ(t.primaryURL(), "https://acme.service-now.com/nav_to.do?uri=sc_req_item.do%3Fsys_id%3Di1");
    t.request = {"r1", "REQ1"};
    EXPECT_EQ(t.primaryNumber(), "REQ1");
    EXPECT_EQ(t.primaryURL(), "https://acme.service-now.com/nav_to.do?uri=sc_request.do%3Fsys_id%3Dr1");
    Config::setTable("incident");
    EXPECT_EQ(t.recordURL(), "https://acme.service-now.com/nav_to.do?uri=incident.do%3Fsys_id%3Dt1");
}

TEST_F(DerivedValuesTest, ItemTextsWinOnlyWhenNotBlank) {
    SNTask t;
    t.shortDescription = {"", " Task title "};
    t.ritmShortDescription = {"", "  \n"};
    t.taskDescription = {"", " task body "};
    t.openedBy = {"", " Opener "};
    EXPECT_EQ(t.effectiveShortDescription(), " Task title ");
    EXPECT_EQ(t.effectiveDescription(), "task body");
    EXPECT_EQ(t.effectiveCaller(), "Opener");
    t.ritmShortDescription = {"", " Item title "};
    t.ritmDescription = {"", "item\nbody\n"};
    t.caller = {"", "Caller"};
    EXPECT_EQ(t.effectiveShortDescription(), "Item title");
    EXPECT_EQ(t.effectiveDescription(), "item\nbody");
    EXPECT_EQ(t.effectiveCaller(), "Caller");
}

TEST_F(DerivedValuesTest, OpenedDateFallsBackToTheTaskAndLinksNeedAValidURL) {
    SNTask t;
    t.reqOpenedAt = {"garbage", ""};
    t.openedAt = {"2025-03-03 10:00:00", ""};
    EXPECT_EQ(t.reqOpenedDate(), parseUtc("2025-03-03 10:00:00"));
    t.openedAt = {"", ""};
    EXPECT_FALSE(t.reqOpenedDate());
    Config::setInstanceURL("not a url");
    EXPECT_FALSE(t.recordURL());
    EXPECT_FALSE(listURL("active=true"));
}

TEST_F(DerivedValuesTest, ListLinkEncodesTheQueryInsideTheTarget) {
    EXPECT_EQ(listURL("assignment_group=g1^stateIN1,2,3^ORDERBYDESCopened_at"),
              "https://acme.service-now.com/nav_to.do?uri=sc_task_list.do%3Fsysparm_query%3D"
              "assignment_group%3Dg1%5EstateIN1%2C2%2C3%5EORDERBYDESCopened_at");
}

}  // namespace
}  // namespace trayline
