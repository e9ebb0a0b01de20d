// The Table API over HTTP: the reply forms, PATCH semantics and the ServiceNow-like errors for bad
// input. Which records a query selects is the query engine's test (encoded_query_test.cpp).

#include <gtest/gtest.h>

#include <set>

#include "http_helpers.h"

namespace trayline::demo {
namespace {

using namespace testing;
using nlohmann::json;

class TableApiTest : public ::testing::Test {
protected:
    TableApiTest() { token = instance.issueTokens().accessToken; }

    json list(const std::string& path, int expectStatus = 200) {
        auto r = cli.Get(path, bearer(token));
        EXPECT_TRUE(r);
        if (!r) return {};
        EXPECT_EQ(r->status, expectStatus) << r->body;
        return body(r);
    }
    json tasks(const std::string& query) { return list(fetchTasksPath(query))["result"]; }
    httplib::Result patch(const std::string& table, const std::string& sysId, const std::string& payload) {
        return cli.Patch("/api/now/table/" + table + "/" + sysId, bearer(token), payload, "application/json");
    }
    std::string firstUnassignedQueued() {
        for (const auto& t : tasks(groupQueueQuery()))
            if (t["assigned_to"]["value"] == "") return t["sys_id"]["value"];
        return "";
    }

    DemoInstance instance;
    httplib::Client cli{started(instance)};
    std::string token;
};

TEST_F(TableApiTest, WatcherListsComeBackWithAllEighteenFieldsAsValueAndDisplayPairs) {
    std::set<std::string> fieldNames;
    for (const auto& f : util::split(kTaskFields, ',')) fieldNames.insert(f);
    for (const auto& q : {myTasksQuery(), groupQueueQuery(), closedThisMonthQuery(), closedLastMonthQuery()}) {
        const json result = tasks(q);
        ASSERT_GT(result.size(), 0u) << q;
        for (const auto& t : result) {
            ASSERT_EQ(t.size(), 18u);
            for (const auto& [name, v] : t.items()) {
                EXPECT_TRUE(fieldNames.count(name)) << name;
                ASSERT_TRUE(v.is_object()) << name;
                EXPECT_EQ(v.size(), 2u) << name;  // no "link": reference links are excluded
                EXPECT_TRUE(v["value"].is_string());
                EXPECT_TRUE(v["display_value"].is_string());
            }
        }
    }
}

TEST_F(TableApiTest, DotWalkedFieldsAndReferencesDisplayTheReferencedRecord) {
    const json queue = tasks(groupQueueQuery());
    bool sawRequest = false, sawTaskWithoutRequest = false;
    for (const auto& t : queue) {
        const std::string ritm = t["request_item"]["display_value"];
        if (ritm.empty()) {
            sawTaskWithoutRequest = true;
            EXPECT_EQ(t["request_item.request"]["value"], "");
            continue;
        }
        sawRequest = true;
        EXPECT_EQ(ritm.rfind("RITM", 0), 0u);
        EXPECT_EQ(t["request_item.request"]["display_value"].get<std::string>().rfind("REQ", 0), 0u);
        EXPECT_EQ(t["request_item.request"]["value"].get<std::string>().size(), 32u);
        EXPECT_FALSE(t["request_item.request.requested_for"]["display_value"].get<std::string>().empty());
        EXPECT_EQ(t["request_item.request.opened_at"]["value"].get<std::string>().size(), 19u);
    }
    EXPECT_TRUE(sawRequest);
    EXPECT_TRUE(sawTaskWithoutRequest);
}

TEST_F(TableApiTest, DisplayValueModesAndReferenceLinks) {
    const std::string id = firstUnassignedQueued();
    auto one = [&](const Params& extra) {
        Params p = {{"sysparm_query", "sys_id=" + id}, {"sysparm_fields", "state,assignment_group,bogus,number"}};
        p.insert(p.end(), extra.begin(), extra.end());
        return list(withQuery("/api/now/table/sc_task", p))["result"][0];
    };
    const json plain = one({});
    EXPECT_EQ(plain["state"], "1");
    EXPECT_EQ(plain["assignment_group"]["value"], kGroupSysId);
    EXPECT_EQ(plain["assignment_group"]["link"], instance.baseUrl() + "/api/now/table/sys_user_group/" + kGroupSysId);
    EXPECT_FALSE(plain.contains("bogus"));  // unknown fields are left out
    // Members come in the order asked for.
    const std::string raw = cli.Get(withQuery("/api/now/table/sc_task", {{"sysparm_query", "sys_id=" + id},
                                                                        {"sysparm_fields", "state,assignment_group"}}),
                                    bearer(token))->body;
    EXPECT_LT(raw.find("\"state\""), raw.find("\"assignment_group\""));
    const json display = one({{"sysparm_display_value", "true"}, {"sysparm_exclude_reference_link", "true"}});
    EXPECT_EQ(display["state"], "Open");
    EXPECT_EQ(display["assignment_group"], kGroupName);
    const json all = one({{"sysparm_display_value", "all"}});
    EXPECT_EQ(all["state"], json::parse(R"({"display_value":"Open","value":"1"})"));
    EXPECT_EQ(all["assignment_group"]["display_value"], kGroupName);
    EXPECT_TRUE(all["assignment_group"].contains("link"));
}

TEST_F(TableApiTest, JournalFieldsAppendEntries) {
    const std::string id = firstUnassignedQueued();
    ASSERT_EQ(patch("sc_task", id, R"({"work_notes":"first note"})")->status, 200);
    ASSERT_EQ(patch("sc_task", id, R"({"work_notes":"second note"})")->status, 200);
    ASSERT_EQ(patch("sc_task", id, R"({"comments":"visible to the caller"})")->status, 200);
    const json rec = instance.record("sc_task", id);
    ASSERT_EQ(rec["work_notes"].size(), 2u);
    EXPECT_EQ(rec["work_notes"][0]["value"], "first note");
    EXPECT_EQ(rec["work_notes"][1]["value"], "second note");
    EXPECT_EQ(rec["work_notes"][1]["created_by"], kDemoUserSysId);
    EXPECT_EQ(rec["comments"][0]["value"], "visible to the caller");
    const json shown = list(withQuery("/api/now/table/sc_task", {{"sysparm_query", "sys_id=" + id},
                                                                  {"sysparm_fields", "work_notes"},
                                                                  {"sysparm_display_value", "all"}}))["result"][0];
    const std::string text = shown["work_notes"]["display_value"];
    EXPECT_LT(text.find("second note"), text.find("first note"));  // newest first, as the instance shows them
    EXPECT_NE(text.find("Alex Morgan (Work notes)"), std::string::npos);
}

TEST_F(TableApiTest, ClosingNeedsTheAssigneeAndAResolutionThenLeavesTheQueue) {
    const std::string id = firstUnassignedQueued();
    auto refused = patch("sc_task", id, R"({"u_resolution":"Done","state":"5"})");
    EXPECT_EQ(refused->status, 403);
    EXPECT_EQ(body(refused)["status"], "failure");
    EXPECT_EQ(instance.record("sc_task", id)["state"], "1");  // nothing applied

    ASSERT_EQ(patch("sc_task", id, std::string(R"({"assigned_to":")") + kDemoUserSysId + R"("})")->status, 200);
    EXPECT_EQ(patch("sc_task", id, R"({"state":"5"})")->status, 403);  // no resolution
    ASSERT_EQ(patch("sc_task", id, R"({"u_resolution":"Replaced the dock.","state":"5"})")->status, 200);
    const json rec = instance.record("sc_task", id);
    EXPECT_EQ(rec["active"], "false");
    EXPECT_EQ(rec["closed_at"].get<std::string>().size(), 19u);
    EXPECT_EQ(rec["u_resolution"], "Replaced the dock.");
    for (const auto& t : tasks(groupQueueQuery())) EXPECT_NE(t["sys_id"]["value"], id);
    bool closedNow = false;
    for (const auto& t : tasks(closedThisMonthQuery())) closedNow |= t["sys_id"]["value"] == id;
    EXPECT_TRUE(closedNow);
}

TEST_F(TableApiTest, BadInputGetsServiceNowLikeErrors) {
    auto expectError = [&](const httplib::Result& r, int status, const std::string& message) {
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status) << r->body;
        const json b = body(r);
        EXPECT_EQ(b["status"], "failure");
        EXPECT_EQ(b["error"]["message"], message);
        EXPECT_TRUE(b["error"].contains("detail"));
    };
    expectError(cli.Get("/api/now/table/no_such_table", bearer(token)), 400, "Invalid table no_such_table");
    expectError(cli.Get(withQuery("/api/now/table/sc_task", {{"sysparm_limit", "lots"}}), bearer(token)), 400,
                "Invalid sysparm_limit");
    expectError(cli.Get(withQuery("/api/now/table/sc_task", {{"sysparm_limit", "1000000"}}), bearer(token)), 400,
                "Invalid sysparm_limit");
    expectError(cli.Get(withQuery("/api/now/table/sc_task", {{"sysparm_query", "stateSAMEASpriority"}}), bearer(token)),
                400, "Invalid encoded query");
    const std::string id = firstUnassignedQueued();
    expectError(patch("sc_task", id, "{not json"), 400, "Exception while reading request");
    expectError(patch("sc_task", id, R"(["a"])"), 400, "Exception while reading request");
    expectError(patch("sc_task", "not-a-sys-id", R"({"state":"2"})"), 404, "No Record found");
    expectError(patch("sc_task", "0123456789abcdef0123456789abcdef", R"({"state":"2"})"), 404, "No Record found");
    expectError(cli.Get("/api/now/table/sc_task/0123456789abcdef0123456789abcdef", bearer(token)), 404, "No Record found");
    expectError(cli.Delete("/api/now/table/sc_task/" + id, bearer(token)), 405, "Method not Supported");
    // Unknown fields in a PATCH body are ignored, as on the instance.
    EXPECT_EQ(patch("sc_task", id, R"({"no_such_field":"x"})")->status, 200);
}

TEST_F(TableApiTest, LimitOffsetAndTotalCount) {
    auto r = cli.Get(withQuery("/api/now/table/sc_task", {{"sysparm_query", groupQueueQuery()}, {"sysparm_limit", "3"},
                                                         {"sysparm_fields", "number"}}),
                     bearer(token));
    ASSERT_EQ(r->status, 200);
    EXPECT_EQ(body(r)["result"].size(), 3u);
    EXPECT_EQ(r->get_header_value("X-Total-Count"), std::to_string(tasks(groupQueueQuery()).size()));
    auto offset = cli.Get(withQuery("/api/now/table/sc_task", {{"sysparm_query", groupQueueQuery()}, {"sysparm_limit", "1"},
                                                              {"sysparm_offset", "2"}, {"sysparm_fields", "number"}}),
                          bearer(token));
    EXPECT_EQ(body(offset)["result"][0], body(r)["result"][2]);
}

}  // namespace
}  // namespace trayline::demo
