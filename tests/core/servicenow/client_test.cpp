// The records' lenient decoding and derived values; what the client sends and how it takes the
// replies. What a query matches is tests/demo_instance's.

#include "core/servicenow/service_now_client.h"

#include <gtest/gtest.h>

#include "core/auth/auth_error.h"
#include "core/auth/token_store.h"
#include "core/platform/decoding_error.h"
#include "core/platform/text.h"
#include "core/servicenow/sn_user.h"
#include "core/servicenow/watcher_queries.h"
#include "core/settings/config.h"
#include "core/settings/instance_url.h"
#include "support/demo_fixture.h"
#include "support/outcome.h"

namespace trayline {
namespace {

using nlohmann::json;
using test::outcomeOf;

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

TEST(TaskDecoding, StreamingAgreesWithRecordDecodingAndOnlyABadEnvelopeOrDeepNestingFailsTheList) {
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
    const std::string bodies[] = {"", "<html>Service unavailable</html>", "[]", R"({"results":[]})",
                                  R"({"result":{}})", R"({"result":[{}, 3]})", R"({"result":["x"]})",
                                  R"({"result":[{})", R"({"result":[{"sys_id":2e6555555}]})",
                                  std::string(200000, '['),
                                  "{\"result\":[{\"x\":" + std::string(200000, '[')};
    for (const auto& bad : bodies)
        EXPECT_THROW(decodeTaskList(bad), DecodingError) << bad.substr(0, 40);
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

class DerivedValues : public ::testing::Test {
protected:
    void SetUp() override { Config::setInstanceURL("https://acme.service-now.com/"); }
    test::TempProfile profile;
    const DateFormatter us{"en_US", "America/Los_Angeles"};
};

TEST_F(DerivedValues, ClipboardTextOfARealisticTaskAndTheLinksOfAnItemWithoutARequest) {
    const auto tasks = decodeTaskList(test::readFile(TRAYLINE_FIXTURES "/task_reply.json"));
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].clipboardText(us),
              "SCTASK0010042 / RITM0020017 / REQ0030009\nNew laptop for Maria\n\n"
              "State: Work in Progress\nPriority: 3 - Moderate\nRequested for: Maria Lopez\n"
              "Assigned to: Unassigned\nGroup: Workplace Support\nOpened: Mar 3, 2025\n"
              "Updated: Mar 5, 2025, 3:30\u202FPM\n\nMaria starts Monday.\nShe needs a 14\" laptop.\n\n"
              "https://acme.service-now.com/nav_to.do?uri=sc_request.do%3Fsys_id%3D"
              "a0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5");
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

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        demo.signIn();
        demo.instance().reset();
    }
    std::vector<demo::LoggedRequest> apiLog() {
        auto log = demo.instance().requestLog();
        std::erase_if(log, [](const auto& r) { return !r.path.starts_with("/api/"); });
        return log;
    }
    // The last API request as "METHOD path query body", the query decoded and joined by "&".
    std::string lastRequest() {
        const auto log = apiLog();
        if (log.empty())
            return "nothing";
        std::string text = log.back().method + " " + log.back().path;
        for (std::size_t i = 0; i < log.back().query.size(); ++i)
            text += (i ? "&" : " ") + log.back().query[i].first + "=" + log.back().query[i].second;
        return text + (log.back().body.empty() ? "" : " " + log.back().body);
    }
    test::DemoProfile demo;
    ServiceNowClient client;
};

TEST_F(ClientTest, EveryCallSendsItsExactRequestWithTheBearerToken) {
    const std::string fields = "&sysparm_fields=" + std::string(SNTask::kFieldList);
    const auto tasks = client.fetchTasks(Config::groupQuery(), 100);
    EXPECT_EQ(lastRequest(), "GET /api/now/table/sc_task sysparm_query=" + Config::groupQuery() +
                                 "&sysparm_display_value=all&sysparm_exclude_reference_link=true&sysparm_limit=100" +
                                 fields);
    EXPECT_EQ(apiLog().back().authorization, "Bearer " + TokenStore::load()->accessToken);
    auto task = *std::find_if(tasks.begin(), tasks.end(), [](const SNTask& t) { return !t.requestItem.value.empty(); });
    auto itemless = task;
    itemless.requestItem = SNField::empty;
    const std::string assigned = std::string(" {\"assigned_to\":\"") + demo::kDemoUserSysId + "\"}";
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[&] { EXPECT_EQ(client.currentUser().sysID, demo::kDemoUserSysId); },
         "GET /api/now/table/sys_user sysparm_query=sys_idDYNAMIC90d1921e5f510100a9ad2572f2b477fe"
         "&sysparm_fields=sys_id,name,email&sysparm_limit=1"},
        // A typed name: trimmed, its carets doubled so that it cannot add conditions of its own.
        {[&] { client.searchUsers(" x^ORactive=false "); },
         "GET /api/now/table/sys_user sysparm_query=active=true^nameLIKEx^^ORactive=false^ORDERBYname"
         "&sysparm_fields=sys_id,name,email&sysparm_limit=15"},
        {[&] { EXPECT_EQ(outcomeOf([&] { client.resolveTask(" NOPE^ORactive=true\n"); }),
                         "No sc_task record matches \u201CNOPE^ORactive=true\u201D."); },
         "GET /api/now/table/sc_task sysparm_query=number=NOPE^^ORactive=true"
         "^ORrequest_item.number=NOPE^^ORactive=true^ORrequest_item.request.number=NOPE^^ORactive=true"
         "&sysparm_display_value=all&sysparm_exclude_reference_link=true&sysparm_limit=1" + fields},
        {[&] { EXPECT_EQ(outcomeOf([&] { client.resolveUser(std::string(32, 'a')); }),
                         "No user with sys_id " + std::string(32, 'a') + "."); },
         "GET /api/now/table/sys_user sysparm_query=sys_id=" + std::string(32, 'a') +
             "&sysparm_fields=sys_id,name,email&sysparm_limit=1"},
        // The requested item too only when asked and present.
        {[&] { client.assign(task, demo::kDemoUserSysId, false); }, "PATCH /api/now/table/sc_task/" + task.id() + assigned},
        {[&] { client.assign(task, demo::kDemoUserSysId, true); },
         "PATCH /api/now/table/sc_req_item/" + task.requestItem.value + assigned},
        {[&] { client.assign(itemless, demo::kDemoUserSysId, true); },
         "PATCH /api/now/table/sc_task/" + task.id() + assigned},
        // Path pieces are single segments: unencoded, the "?" would have started a query.
        {[&] { EXPECT_THROW(client.patch("sc_task", "abc?sysparm_query=active=true", {{"state", "5"}}), AuthError); },
         "PATCH /api/now/table/sc_task/abc?sysparm_query=active=true {\"state\":\"5\"}"},
        {[&] { EXPECT_EQ(client.searchRecords("sys_user", "name=Nobody", " ", 5), ""); },  // no blank field list
         "GET /api/now/table/sys_user sysparm_query=name=Nobody&sysparm_display_value=true"
         "&sysparm_exclude_reference_link=true&sysparm_limit=5"},
    };
    for (const auto& [call, request] : rows) {
        call();
        EXPECT_EQ(lastRequest(), request);
    }
}

TEST_F(ClientTest, UserSearchNeedsTwoCharactersAndReferencesResolve) {
    for (const char* tooShort : {"", "a", "  b\t", "é"})
        EXPECT_TRUE(client.searchUsers(tooShort).empty());
    EXPECT_EQ(outcomeOf([&] { client.resolveUser("q"); }), "No active user matches \u201Cq\u201D.");
    EXPECT_EQ(lastRequest(), "nothing");
    EXPECT_EQ(client.resolveUser(demo::kDemoUserSysId).name, demo::kDemoUserName);
    EXPECT_EQ(client.resolveUser(text::lowercased(demo::kDemoUserName)).sysID, demo::kDemoUserSysId);
}

TEST_F(ClientTest, RefusedTokenIsRefreshedAndTheRequestRetriedOnceOtherFailuresAreNot) {
    const auto before = TokenStore::load()->accessToken;
    demo.instance().expireAccessTokens();
    EXPECT_NO_THROW(client.currentUser());
    auto log = apiLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].authorization, "Bearer " + before);
    EXPECT_NE(log[1].authorization, log[0].authorization);
    EXPECT_EQ(log[1].query, log[0].query);

    demo.instance().setTokenLifetime(0);  // the instance now refuses every new token at once
    demo.instance().expireAccessTokens();
    demo.instance().reset();
    EXPECT_TRUE(outcomeOf([&] { client.currentUser(); }).starts_with("Request failed (HTTP 401): "));
    EXPECT_EQ(apiLog().size(), 2u);
    EXPECT_TRUE(TokenStore::load()) << "a refused request does not sign the user out";
    for (const int status : {500, 404, 302}) {
        demo.instance().reset();
        demo.instance().failNext(1, status, "{\"error\":\"boom\"}");
        EXPECT_EQ(outcomeOf([&] { client.groupMembers(); }),
                  "Request failed (HTTP " + std::to_string(status) + "): {\"error\":\"boom\"}");
        EXPECT_EQ(apiLog().size(), 1u) << status;
    }
}

TEST_F(ClientTest, CredentialsGoOnlyToHttpsOrLoopbackInstances) {
    for (const char* url : {"http://127.0.0.1:8", "http://localhost:8", "http://[::1]:8", "https://a.b"})
        EXPECT_EQ(outcomeOf([&] { checkedInstanceURL(url); }), "ok") << url;
    EXPECT_EQ(outcomeOf([] { checkedInstanceURL("http://acme.service-now.com"); }),
              "Refusing to send credentials over plain HTTP to acme.service-now.com; use an https:// "
              "instance URL.");
    for (const char* url : {"http://example.com", "not a url", "a.example.com", "ftp://127.0.0.1", ""}) {
        Config::setInstanceURL(url);
        EXPECT_THROW(client.currentUser(), InstanceURLError) << url;
    }
    EXPECT_TRUE(demo.instance().requestLog().empty());
}

// What a production instance sends beyond records: lists longer than the row limit and error pages of
// the proxies in front of it. Hidden records and rate limits are the queue model's tests.
TEST_F(ClientTest, ListsCarryTheInstancesTotalOrNothingUsable) {
    const auto all = client.fetchTaskPage(Config::groupQuery(), 1000);
    const auto unassigned = std::count_if(all.tasks.begin(), all.tasks.end(),
                                          [](const SNTask& t) { return t.assignedTo.value.empty(); });
    ASSERT_GT(all.tasks.size(), 2u);
    const auto page = client.fetchTaskPage(Config::groupQuery(), 2);
    EXPECT_EQ(page.tasks.size(), 2u);
    EXPECT_EQ(page.total, static_cast<std::int64_t>(all.tasks.size()));
    EXPECT_EQ(client.countTasks(queries::unassignedInGroupQueue()), unassigned);

    for (const json& header : {json{{"enabled", false}}, json{{"value", "abc"}}, json{{"value", "-3"}},
                               json{{"value", ""}}, json{{"value", "12 tasks"}}}) {
        json request{{"action", "total_count"}};
        request.update(header);
        demo.instance().control(request);
        EXPECT_EQ(client.fetchTaskPage(Config::groupQuery(), 2).total, std::nullopt) << header;
        EXPECT_EQ(client.countTasks(queries::unassignedInGroupQueue()), std::nullopt) << header;
    }
}

struct PageRow {
    int status;
    std::string contentType, body, message;
};

class ErrorPageTest : public ClientTest, public ::testing::WithParamInterface<PageRow> {};

TEST_P(ErrorPageTest, ReadsAsItsTitleOrTextNotItsMarkup) {
    demo.instance().failNext(1, GetParam().status, GetParam().body, GetParam().contentType);
    EXPECT_EQ(outcomeOf([&] { client.groupMembers(); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ErrorPageTest,
    ::testing::Values(
        PageRow{502, "text/html; charset=iso-8859-1",
                "<!DOCTYPE html>\n<html><head><TITLE>Bad Gateway</TITLE></head><body><h1>Bad Gateway</h1>"
                "<p>The proxy server received an invalid response.</p></body></html>",
                "Request failed (HTTP 502): Bad Gateway"},
        PageRow{503, "TEXT/HTML",
                "<html><head><title> </title><style>p{color:red}</style></head>\n<body><h1>Service\n  "
                "Unavailable</h1><script>var a = '<p>';</script><p>Try &amp; retry&#33; &#x1F600;</p></body></html>",
                "Request failed (HTTP 503): Service Unavailable Try & retry! \U0001F600"},
        PageRow{500, "application/json", "{\"error\":\"<b>boom</b>\"}",
                "Request failed (HTTP 500): {\"error\":\"<b>boom</b>\"}"}));

}  // namespace
}  // namespace trayline
