// What the client sends and how it takes the replies; what a query matches is tests/demo_instance's.

#include "core/servicenow/service_now_client.h"

#include <gtest/gtest.h>

#include "core/auth/auth_error.h"
#include "core/auth/token_store.h"
#include "core/platform/text.h"
#include "core/settings/config.h"
#include "core/settings/instance_url.h"
#include "support/demo_fixture.h"
#include "support/outcome.h"

namespace trayline {
namespace {

using test::outcomeOf;

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

TEST_F(ClientTest, FetchTasksSendsTheExactRequestWithTheBearerToken) {
    EXPECT_FALSE(client.fetchTasks(Config::groupQuery(), 100).empty());
    EXPECT_EQ(lastRequest(), "GET /api/now/table/sc_task sysparm_query=" + Config::groupQuery() +
                                 "&sysparm_display_value=all&sysparm_exclude_reference_link=true"
                                 "&sysparm_limit=100&sysparm_fields=" + std::string(SNTask::kFieldList));
    EXPECT_EQ(apiLog().back().authorization, "Bearer " + TokenStore::load()->accessToken);
}

TEST_F(ClientTest, ReadsUseTheirFixedQueries) {
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
         "&sysparm_display_value=all&sysparm_exclude_reference_link=true&sysparm_limit=1&sysparm_fields=" +
             std::string(SNTask::kFieldList)},
        {[&] { EXPECT_EQ(outcomeOf([&] { client.resolveUser(std::string(32, 'a')); }),
                         "No user with sys_id " + std::string(32, 'a') + "."); },
         "GET /api/now/table/sys_user sysparm_query=sys_id=" + std::string(32, 'a') +
             "&sysparm_fields=sys_id,name,email&sysparm_limit=1"},
    };
    for (const auto& [read, request] : rows) {
        read();
        EXPECT_EQ(lastRequest(), request);
    }
}

TEST_F(ClientTest, UserSearchNeedsTwoCharactersAndReferencesResolve) {
    for (const char* tooShort : {"", "a", "  b\t", "é"})
        EXPECT_TRUE(client.searchUsers(tooShort).empty());
    EXPECT_EQ(outcomeOf([&] { client.resolveUser("q"); }), "No active user matches \u201Cq\u201D.");
    EXPECT_EQ(lastRequest(), "nothing");
    EXPECT_EQ(client.resolveUser(" ME ").sysID, demo::kDemoUserSysId);
    EXPECT_EQ(client.resolveUser(demo::kDemoUserSysId).name, demo::kDemoUserName);
    const auto task = client.fetchTasks(Config::groupQuery(), 1).front();
    EXPECT_EQ(client.resolveTask(task.sysID.value).id(), task.id());
    EXPECT_EQ(client.resolveUser(text::lowercased(demo::kDemoUserName)).sysID, demo::kDemoUserSysId);
}

TEST_F(ClientTest, RefusedTokenIsRefreshedAndTheRequestRetriedOnce) {
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
}

TEST_F(ClientTest, RepliesOutside2xxFailWithTheirStatusAndAreNotRetried) {
    for (const int status : {500, 404, 302}) {
        demo.instance().reset();
        demo.instance().failNext(1, status, "{\"error\":\"boom\"}");
        EXPECT_EQ(outcomeOf([&] { client.groupMembers(); }),
                  "Request failed (HTTP " + std::to_string(status) + "): {\"error\":\"boom\"}");
        EXPECT_EQ(apiLog().size(), 1u) << status;
    }
}

TEST_F(ClientTest, AssignPatchesTheItemTooOnlyWhenAskedAndPresent) {
    const auto tasks = client.fetchTasks(Config::groupQuery(), 100);
    const auto hasItem = [](const SNTask& t) { return !t.requestItem.value.empty(); };
    auto task = *std::find_if(tasks.begin(), tasks.end(), hasItem);
    const std::string body = std::string(" {\"assigned_to\":\"") + demo::kDemoUserSysId + "\"}";
    client.assign(task, demo::kDemoUserSysId, false);
    EXPECT_EQ(lastRequest(), "PATCH /api/now/table/sc_task/" + task.id() + body);
    client.assign(task, demo::kDemoUserSysId, true);
    EXPECT_EQ(lastRequest(), "PATCH /api/now/table/sc_req_item/" + task.requestItem.value + body);
    task.requestItem = SNField::empty;
    client.assign(task, demo::kDemoUserSysId, true);
    EXPECT_EQ(lastRequest(), "PATCH /api/now/table/sc_task/" + task.id() + body);
}

TEST_F(ClientTest, CloseTakesOverTheTaskFirstOnlyWhenSomeoneElseHasIt) {
    auto task = client.fetchTasks(Config::groupQuery(), 1).front();
    const SNField me{demo::kDemoUserSysId, ""};
    for (const auto& [assignee, patches] : {std::pair{SNField::empty, 2u}, {me, 1u}}) {
        task.assignedTo = assignee;
        demo.instance().reset();
        client.close(task, "Replaced the dock.\nCustomer came.");
        auto log = apiLog();
        std::erase_if(log, [](const auto& r) { return r.method != "PATCH"; });
        EXPECT_EQ(log.size(), patches);
        EXPECT_EQ(log.back().body, R"({"state":"5","u_resolution":"Replaced the dock.\nCustomer came."})");
    }
}

TEST_F(ClientTest, SearchRecordsGivesPrettyResultsNothingOrTheRawBody) {
    EXPECT_EQ(client.searchRecords("sys_user", "sys_id=" + std::string(demo::kDemoUserSysId), "name", 5),
              "[\n  {\n    \"name\": \"" + std::string(demo::kDemoUserName) + "\"\n  }\n]");
    EXPECT_EQ(client.searchRecords("sys_user", "name=Nobody", " ", 5), "");
    EXPECT_EQ(lastRequest(), "GET /api/now/table/sys_user sysparm_query=name=Nobody&sysparm_display_value=true"
                             "&sysparm_exclude_reference_link=true&sysparm_limit=5");  // no blank field list
    demo.instance().failNext(1, 200, "{\"result\":{\"x\":1}}");
    EXPECT_EQ(client.searchRecords("sys_user", "", std::nullopt, 5), "{\"result\":{\"x\":1}}");
}

TEST_F(ClientTest, PathPiecesAreEncodedAsSingleSegments) {
    EXPECT_THROW(client.patch("sc_task", "abc?sysparm_query=active=true", {{"state", "5"}}), AuthError);
    // Unencoded, the "?" would have started a query.
    EXPECT_EQ(lastRequest(), "PATCH /api/now/table/sc_task/abc?sysparm_query=active=true {\"state\":\"5\"}");
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

}  // namespace
}  // namespace trayline
