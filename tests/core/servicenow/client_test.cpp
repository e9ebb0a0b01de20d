#include "core/servicenow/service_now_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/auth/auth_error.h"
#include "core/auth/token_store.h"
#include "core/platform/decoding_error.h"
#include "core/platform/text.h"
#include "core/settings/instance_url.h"
#include "core/settings/config.h"
#include "support/demo_fixture.h"

namespace trayline {
namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        demo.signIn();
        demo.instance().reset();
    }
    std::vector<demo::LoggedRequest> apiLog() {
        std::vector<demo::LoggedRequest> out;
        for (auto& r : demo.instance().requestLog())
            if (r.path.starts_with("/api/"))
                out.push_back(std::move(r));
        return out;
    }
    test::DemoProfile demo;
    ServiceNowClient client;
};

TEST_F(ClientTest, FetchTasksSendsTheExactRequestAndDecodesTheList) {
    const auto tasks = client.fetchTasks(Config::groupQuery(), 100);
    ASSERT_FALSE(tasks.empty());
    for (const auto& t : tasks) {
        EXPECT_EQ(t.assignmentGroup.value, demo::kGroupSysId);
        EXPECT_TRUE(t.state.value == "1" || t.state.value == "2" || t.state.value == "3") << t.state.value;
    }
    const auto log = apiLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].path, "/api/now/table/sc_task");
    EXPECT_EQ(log[0].query, (Params{{"sysparm_query", Config::groupQuery()},
                                    {"sysparm_display_value", "all"},
                                    {"sysparm_exclude_reference_link", "true"},
                                    {"sysparm_limit", "100"},
                                    {"sysparm_fields", std::string(SNTask::kFieldList)}}));
    EXPECT_EQ(log[0].authorization, "Bearer " + TokenStore::load()->accessToken);
}

TEST_F(ClientTest, RefusedTokenIsRefreshedOnceAndTheRequestRetried) {
    const auto before = TokenStore::load()->accessToken;
    demo.instance().expireAccessTokens();
    EXPECT_NO_THROW(client.currentUser());
    EXPECT_EQ(demo.countRequests("POST", "/oauth_token.do"), 1u);
    const auto log = apiLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].authorization, "Bearer " + before);
    EXPECT_NE(log[1].authorization, log[0].authorization);
    EXPECT_EQ(log[1].query, log[0].query);
}

TEST_F(ClientTest, SecondRefusalAfterTheRetryFailsWith401) {
    demo.instance().setTokenLifetime(0);  // the instance refuses every new token at once
    demo.instance().expireAccessTokens();
    try {
        client.currentUser();
        FAIL() << "expected a failure";
    } catch (const AuthError& e) {
        EXPECT_EQ(e.status(), 401);
        EXPECT_TRUE(std::string(e.what()).starts_with("Request failed (HTTP 401): "));
    }
    EXPECT_EQ(apiLog().size(), 2u);
    EXPECT_TRUE(TokenStore::load()) << "a refused request does not sign the user out";
}

TEST_F(ClientTest, RepliesOutside2xxFailWithTheirStatusAndAreNotRetried) {
    for (const int status : {500, 404, 302}) {
        SCOPED_TRACE(status);
        demo.instance().reset();
        demo.instance().failNext(1, status, "{\"error\":\"boom\"}");
        try {
            client.groupMembers();
            ADD_FAILURE() << "expected a failure";
        } catch (const AuthError& e) {
            EXPECT_EQ(e.status(), status);
            EXPECT_EQ(std::string(e.what()), "Request failed (HTTP " + std::to_string(status) + "): {\"error\":\"boom\"}");
        }
        EXPECT_EQ(apiLog().size(), 1u);
    }
}

TEST_F(ClientTest, NonJsonRepliesFailAsDecodingErrors) {
    demo.instance().failNext(1, 200, "<html>maintenance</html>", "text/html");
    EXPECT_THROW(client.fetchTasks("active=true", 5), DecodingError);
}

TEST_F(ClientTest, RefreshRefusedSignsOutButOtherFailuresKeepTheTokens) {
    demo.signIn(-10);  // expired locally: the next request refreshes first
    demo.instance().failNext(1, 503, "busy");
    EXPECT_THROW(client.currentUser(), AuthError);
    EXPECT_TRUE(TokenStore::load());

    demo.instance().revokeRefreshTokens();
    try {
        client.currentUser();
        FAIL() << "expected a failure";
    } catch (const AuthError& e) {
        EXPECT_TRUE(e.status() == 400 || e.status() == 401) << e.what();
    }
    EXPECT_FALSE(TokenStore::load());
    try {
        client.currentUser();
        FAIL() << "expected a failure";
    } catch (const AuthError& e) {
        EXPECT_EQ(e.kind(), AuthError::Kind::notSignedIn);
    }
}

TEST_F(ClientTest, MembersAndUsersUseTheirFixedQueries) {
    const auto members = client.groupMembers();
    ASSERT_FALSE(members.empty());
    EXPECT_TRUE(std::is_sorted(members.begin(), members.end(),
                               [](const auto& a, const auto& b) { return a.name < b.name; }));
    const auto me = client.currentUser();
    EXPECT_EQ(me.sysID, demo::kDemoUserSysId);
    EXPECT_EQ(me.name, demo::kDemoUserName);
    const auto log = apiLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].path, "/api/now/table/sys_user_grmember");
    EXPECT_EQ(log[0].query, (Params{{"sysparm_query", std::string("group=") + demo::kGroupSysId +
                                                          "^user.active=true^ORDERBYuser.name"},
                                    {"sysparm_fields", "user.sys_id,user.name,user.email"},
                                    {"sysparm_limit", "50"}}));
    EXPECT_EQ(log[1].query, (Params{{"sysparm_query", "sys_idDYNAMIC90d1921e5f510100a9ad2572f2b477fe"},
                                    {"sysparm_fields", "sys_id,name,email"},
                                    {"sysparm_limit", "1"}}));
}

TEST_F(ClientTest, UserSearchNeedsTwoCharactersAndEscapesCarets) {
    for (const char* tooShort : {"", "a", "  b\t", "é"})
        EXPECT_TRUE(client.searchUsers(tooShort).empty());
    EXPECT_TRUE(apiLog().empty());
    client.searchUsers(" al ");
    client.searchUsers("x^ORactive=false");
    const auto log = apiLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].query[0].second, "active=true^nameLIKEal^ORDERBYname");
    EXPECT_EQ(log[0].query[2], (std::pair<std::string, std::string>{"sysparm_limit", "15"}));
    EXPECT_EQ(log[1].query[0].second, "active=true^nameLIKEx^^ORactive=false^ORDERBYname");
}

TEST_F(ClientTest, ResolveTaskFindsByNumberItemOrRequestAndCannotBeWidened) {
    const auto some = client.fetchTasks(Config::groupQuery(), 100);
    const auto withItem = std::find_if(some.begin(), some.end(), [](const auto& t) {
        return !t.requestItem.display.empty();
    });
    ASSERT_NE(withItem, some.end());
    EXPECT_EQ(client.resolveTask(" " + withItem->number.display + "\n").id(), withItem->id());
    EXPECT_EQ(client.resolveTask(withItem->requestItem.display).requestItem.value, withItem->requestItem.value);
    EXPECT_EQ(client.resolveTask(withItem->sysID.value).id(), withItem->id());
    try {
        client.resolveTask("NOPE0000^ORactive=true");
        FAIL() << "an injected condition must not match";
    } catch (const LookupError& e) {
        EXPECT_EQ(e.kind(), LookupError::Kind::noMatch);
        EXPECT_STREQ(e.what(), "No sc_task record matches \u201CNOPE0000^ORactive=true\u201D.");
    }
}

TEST_F(ClientTest, ResolveUserHandlesMeSysIdsExactAndAmbiguousNames) {
    EXPECT_EQ(client.resolveUser(" ME ").sysID, demo::kDemoUserSysId);
    EXPECT_EQ(client.resolveUser(demo::kDemoUserSysId).name, demo::kDemoUserName);
    EXPECT_EQ(client.resolveUser(text::lowercased(demo::kDemoUserName)).sysID, demo::kDemoUserSysId);
    try {
        client.resolveUser(std::string(32, 'a'));
        FAIL();
    } catch (const LookupError& e) {
        EXPECT_STREQ(e.what(), ("No user with sys_id " + std::string(32, 'a') + ".").c_str());
    }
    demo.instance().reset();
    try {
        client.resolveUser("q");
        FAIL();
    } catch (const LookupError& e) {
        EXPECT_STREQ(e.what(), "No active user matches \u201Cq\u201D.");
    }
    EXPECT_TRUE(apiLog().empty());
}

TEST_F(ClientTest, AssignUpdatesTheItemOnlyWhenAskedAndPresent) {
    const auto tasks = client.fetchTasks(Config::groupQuery(), 100);
    const auto withItem = *std::find_if(tasks.begin(), tasks.end(), [](const auto& t) { return !t.requestItem.value.empty(); });
    demo.instance().reset();
    client.assign(withItem, demo::kDemoUserSysId, true);
    auto noItem = withItem;
    noItem.requestItem = SNField::empty;
    client.assign(noItem, demo::kDemoUserSysId, true);
    const auto log = apiLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].path, "/api/now/table/sc_task/" + withItem.id());
    EXPECT_EQ(log[1].path, "/api/now/table/sc_req_item/" + withItem.requestItem.value);
    EXPECT_EQ(log[1].body, std::string("{\"assigned_to\":\"") + demo::kDemoUserSysId + "\"}");
    EXPECT_EQ(demo.instance().record("sc_req_item", withItem.requestItem.value)["assigned_to"], demo::kDemoUserSysId);
}

TEST_F(ClientTest, CloseTakesOverTheTaskFirstOnlyWhenSomeoneElseHasIt) {
    const auto tasks = client.fetchTasks(Config::groupQuery(), 100);
    ASSERT_GE(tasks.size(), 1u);
    auto task = tasks.front();
    task.assignedTo = SNField::empty;
    demo.instance().reset();
    client.close(task, "Replaced the dock.\nCustomer confirmed.");
    auto patches = apiLog();
    std::erase_if(patches, [](const auto& r) { return r.method != "PATCH"; });
    ASSERT_EQ(patches.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(patches[1].body),
              (nlohmann::json{{"u_resolution", "Replaced the dock.\nCustomer confirmed."}, {"state", "5"}}));
    const auto stored = demo.instance().record("sc_task", task.id());
    EXPECT_EQ(stored["state"], "5");
    EXPECT_EQ(stored["assigned_to"], demo::kDemoUserSysId);

    task.assignedTo = SNField{demo::kDemoUserSysId, demo::kDemoUserName};
    demo.instance().reset();
    client.close(task, "again");
    patches = apiLog();
    std::erase_if(patches, [](const auto& r) { return r.method != "PATCH"; });
    EXPECT_EQ(patches.size(), 1u);
}

TEST_F(ClientTest, SearchRecordsReturnsPrettyResultsEmptyTextOrTheRawBody) {
    const auto text = client.searchRecords("sys_user", "nameLIKE" + std::string(demo::kDemoUserName), " ", 5);
    EXPECT_NE(text.find("\n  {\n"), std::string::npos) << text;
    EXPECT_NE(text.find(demo::kDemoUserName), std::string::npos);
    EXPECT_EQ(client.searchRecords("sys_user", "name=Nobody At All", std::nullopt, 5), "");
    auto log = apiLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].query.size(), 4u) << "a blank field list is not sent";
    demo.instance().failNext(1, 200, "{\"result\":{\"x\":1}}");
    EXPECT_EQ(client.searchRecords("sys_user", "", std::string("name"), 5), "{\"result\":{\"x\":1}}");
    EXPECT_EQ(apiLog().back().query.back(), (std::pair<std::string, std::string>{"sysparm_fields", "name"}));
}

TEST_F(ClientTest, PathPiecesAreEncodedAsSingleSegments) {
    EXPECT_THROW(client.patch("sc_task", "abc?sysparm_query=active=true", {{"state", "5"}}), AuthError);
    const auto log = apiLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].path, "/api/now/table/sc_task/abc?sysparm_query=active=true");
    EXPECT_TRUE(log[0].query.empty());
}

class InstanceURLRefusalTest : public ClientTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(InstanceURLRefusalTest, UnusableInstanceURLsFailBeforeAnythingIsSent) {
    Config::setInstanceURL(GetParam());
    EXPECT_THROW(client.currentUser(), InstanceURLError);
    EXPECT_TRUE(demo.instance().requestLog().empty());
}

INSTANTIATE_TEST_SUITE_P(URLs, InstanceURLRefusalTest,
                         ::testing::Values("http://example.com", "not a url", "acme.service-now.com",
                                           "ftp://127.0.0.1", ""));

TEST(InstanceURL, PlainHttpIsAllowedOnlyTowardsLoopback) {
    EXPECT_NO_THROW(checkedInstanceURL("http://127.0.0.1:8080"));
    EXPECT_NO_THROW(checkedInstanceURL("http://localhost:8080"));
    EXPECT_NO_THROW(checkedInstanceURL("http://[::1]:8080"));
    EXPECT_NO_THROW(checkedInstanceURL("https://acme.service-now.com"));
    try {
        checkedInstanceURL("http://acme.service-now.com");
        FAIL();
    } catch (const InstanceURLError& e) {
        EXPECT_STREQ(e.what(), "Refusing to send credentials over plain HTTP to acme.service-now.com; use an "
                               "https:// instance URL.");
    }
}

}  // namespace
}  // namespace trayline
