// The Table API over HTTP: the reply forms, PATCH semantics, paging and the total count. Which
// records a query selects is the query engine's test (encoded_query_test.cpp).

#include <gtest/gtest.h>

#include "http_helpers.h"

namespace trayline::demo {
namespace {

using namespace testing;
using nlohmann::json;
using nlohmann::ordered_json;

class TableApiTest : public ::testing::Test {
protected:
    TableApiTest()
        : token(instance.issueTokens().accessToken), id(instance.insertTask({{"short_description", "Dock"}})) {}

    httplib::Result get(const Params& params) { return cli.Get(tasksPath(params), bearer(token)); }
    httplib::Result patch(const std::string& sysId, const std::string& payload) {
        return cli.Patch("/api/now/table/sc_task/" + sysId, bearer(token), payload, "application/json");
    }

    DemoInstance instance;
    httplib::Client cli{started(instance)};
    std::string token, id;  // a fresh task in the group queue, unassigned
};

TEST_F(TableApiTest, FieldsComeInTheAskedOrderInEachDisplayValueMode) {
    const std::string link = instance.baseUrl() + "/api/now/table/sys_user_group/" + kGroupSysId;
    const ordered_json open = {{"display_value", "Open"}, {"value", "1"}};
    const struct {
        Params params;
        ordered_json record;
    } cases[] = {
        {{}, {{"state", "1"}, {"assignment_group", {{"link", link}, {"value", kGroupSysId}}}}},
        {{{"sysparm_display_value", "true"}, {"sysparm_exclude_reference_link", "true"}},
         {{"state", "Open"}, {"assignment_group", kGroupName}}},
        {{{"sysparm_display_value", "all"}},
         {{"state", open},
          {"assignment_group", {{"display_value", kGroupName}, {"link", link}, {"value", kGroupSysId}}}}},
        {{{"sysparm_display_value", "all"}, {"sysparm_exclude_reference_link", "true"}},
         {{"state", open}, {"assignment_group", {{"display_value", kGroupName}, {"value", kGroupSysId}}}}},
        // Unknown fields are left out; dot-walks read the referenced record, or nothing.
        {{{"sysparm_fields", "bogus,assignment_group.name,request_item.number,state"}},
         {{"assignment_group.name", kGroupName}, {"request_item.number", ""}, {"state", "1"}}},
    };
    for (const auto& c : cases) {
        Params params = {{"sysparm_query", "sys_id=" + id}, {"sysparm_fields", "state,assignment_group"}};
        params.insert(params.begin(), c.params.begin(), c.params.end());  // the first one wins
        EXPECT_EQ(get(params)->body, ordered_json({{"result", {c.record}}}).dump());
    }
    EXPECT_EQ(body(cli.Get("/api/now/table/sc_task/" + id + "?sysparm_fields=sys_id", bearer(token))),
              json({{"result", {{"sys_id", id}}}}));  // one record by its sys_id
}

TEST_F(TableApiTest, ClosingNeedsTheAssigneeAndAResolution) {
    EXPECT_EQ(patch(id, R"({"u_resolution":"Done","state":"5"})")->status, 403);  // not its assignee
    EXPECT_EQ(instance.record("sc_task", id)["state"], "1");  // nothing applied

    ASSERT_EQ(patch(id, std::string(R"({"assigned_to":")") + kDemoUserSysId + R"("})")->status, 200);
    EXPECT_EQ(patch(id, R"({"state":"5"})")->status, 403);  // no resolution
    ASSERT_EQ(patch(id, R"({"u_resolution":"Replaced the dock.","state":"5"})")->status, 200);
    const json rec = instance.record("sc_task", id);
    EXPECT_EQ(rec["active"], "false");
    EXPECT_EQ(rec["closed_at"].get<std::string>().size(), 19u);
}

TEST_F(TableApiTest, LimitOffsetAndTotalCount) {
    const Params queue = {{"sysparm_query", "active=true^ORDERBYnumber"}, {"sysparm_fields", "number"}};
    auto all = get(queue);
    auto page = queue;
    page.insert(page.end(), {{"sysparm_limit", "2"}, {"sysparm_offset", "1"}});
    const auto r = get(page);
    EXPECT_EQ(body(r)["result"], json({body(all)["result"][1], body(all)["result"][2]}));
    EXPECT_EQ(r->get_header_value("X-Total-Count"), std::to_string(body(all)["result"].size()));
}

}  // namespace
}  // namespace trayline::demo
