// The dispatcher end to end in-process: real ServiceNowClient, real HTTP to the demo instance.

#include "core/mcp/dispatcher.h"

#include <gtest/gtest.h>

#include "core/auth/token_store.h"
#include "core/platform/time.h"
#include "core/servicenow/service_now_client.h"
#include "core/servicenow/watcher_queries.h"
#include "core/settings/config.h"
#include "support/demo_fixture.h"

namespace trayline::mcp {
namespace {

using nlohmann::json;

struct ToolReply {
    std::string text;
    bool isError = false;
    std::optional<std::string> rpcError;
};

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        DateFormatter::setCurrent(DateFormatter("en_US", "UTC"));
        demo.signIn();
        Config::setMcpAllowWrites(true);
        demo.instance().reset();
    }

    json request(const std::string& method, const json& params = json::object()) {
        const auto outcome = dispatcher.handleLine(json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", method},
                                                        {"params", params}}.dump());
        EXPECT_EQ(outcome.kind, LineOutcome::Kind::handled);
        return outcome.reply ? json::parse(*outcome.reply) : json();
    }

    ToolReply call(const std::string& name, const json& arguments = json::object()) {
        const auto reply = request("tools/call", {{"name", name}, {"arguments", arguments}});
        if (reply.contains("error"))
            return {"", true, reply["error"]["message"].get<std::string>()};
        const auto& result = reply.at("result");
        EXPECT_EQ(result["content"].size(), 1u);
        EXPECT_EQ(result["content"][0]["type"], "text");
        return {result["content"][0]["text"].get<std::string>(), result["isError"].get<bool>(), std::nullopt};
    }

    std::vector<demo::LoggedRequest> api(const std::string& method = "") {
        std::vector<demo::LoggedRequest> out;
        for (auto& r : demo.instance().requestLog())
            if (r.path.starts_with("/api/") && (method.empty() || r.method == method))
                out.push_back(std::move(r));
        return out;
    }

    static std::string queryParam(const demo::LoggedRequest& r, const std::string& name) {
        for (const auto& [k, v] : r.query)
            if (k == name)
                return v;
        return "<absent>";
    }

    // A task of the watched group with known fields; returns {sys_id, number}.
    std::pair<std::string, std::string> insertTask(json fields) {
        fields.emplace("short_description", "Printer jammed");
        fields.emplace("opened_at", "2025-03-03 12:00:00");
        const auto id = demo.instance().insertTask(fields);
        return {id, demo.instance().record("sc_task", id)["number"].get<std::string>()};
    }

    test::DemoProfile demo;
    ServiceNowBackend backend;
    Dispatcher dispatcher{backend};
};

TEST_F(DispatcherTest, GroupQueueRendersEveryTaskWithItsExactBlock) {
    const auto [id, number] = insertTask({});
    const auto reply = call("list_group_queue");
    ASSERT_FALSE(reply.isError) << reply.text;
    const auto count = ServiceNowClient().fetchTasks(queries::groupQueue(), 100).size();
    EXPECT_TRUE(reply.text.starts_with(std::to_string(count) + " tasks\n\n")) << reply.text;
    const auto block = number + " [" + number + "] \u2014 Printer jammed\n"
                       "  state: Open | priority: 4 - Low | assigned: unassigned | opened: Mar 3, 2025\n"
                       "  sys_id: " + id;
    EXPECT_NE(reply.text.find(block), std::string::npos) << reply.text;
}

TEST_F(DispatcherTest, ListToolsSendTheWatcherQueriesWithLimit100) {
    const std::string group = std::string("assignment_group=") + demo::kGroupSysId;
    const std::string thisMonth =
        "^closed_atONThis month@javascript:gs.beginningOfThisMonth()@javascript:gs.endOfThisMonth()"
        "^ORDERBYDESCclosed_at";
    struct Case {
        const char* tool;
        json arguments;
        std::string query;
    } cases[] = {
        {"list_my_tasks", json::object(),
         "assigned_toDYNAMIC90d1921e5f510100a9ad2572f2b477fe^active=true^ORDERBYDESCopened_at"},
        {"list_group_queue", {{"unassignedOnly", "true"}}, group + "^stateIN1,2,3^ORDERBYDESCopened_at"},
        {"list_completed", json::object(), group + thisMonth},
        {"list_completed", {{"period", "LAST_MONTH"}}, group + thisMonth},
        {"list_completed", {{"period", "last_month"}},
         group + "^closed_atONLast month@javascript:gs.beginningOfLastMonth()@javascript:gs.endOfLastMonth()"
                 "^ORDERBYDESCclosed_at"},
    };
    for (const auto& c : cases) {
        demo.instance().reset();
        const auto reply = call(c.tool, c.arguments);
        EXPECT_FALSE(reply.isError) << c.tool << ": " << reply.text;
        const auto log = api();
        ASSERT_EQ(log.size(), 1u) << c.tool;
        EXPECT_EQ(queryParam(log[0], "sysparm_query"), c.query) << c.tool;
        EXPECT_EQ(queryParam(log[0], "sysparm_limit"), "100") << c.tool;
    }
}

TEST_F(DispatcherTest, UnassignedOnlyDropsAssignedTasksAndCanEmptyTheQueue) {
    const auto all = call("list_group_queue").text;
    const auto unassigned = call("list_group_queue", {{"unassignedOnly", true}}).text;
    EXPECT_NE(unassigned.find("assigned: unassigned"), std::string::npos);
    EXPECT_EQ(unassigned.find("| assigned: " + std::string(demo::kDemoUserName)), std::string::npos);
    EXPECT_NE(all, unassigned);

    // Point the watched group at one whose every queued task is assigned.
    const auto me = demo.instance().demoUserSysId();
    Config::setGroupSysID("0123456789abcdef0123456789abcdef");
    insertTask({{"assignment_group", "0123456789abcdef0123456789abcdef"}, {"assigned_to", me}});
    EXPECT_TRUE(call("list_group_queue").text.starts_with("1 task\n\n"));
    EXPECT_EQ(call("list_group_queue", {{"unassignedOnly", true}}).text, "The group queue is empty.");
}

TEST_F(DispatcherTest, UserToolsRenderOneLinePerUser) {
    const auto members = call("list_group_members").text;
    EXPECT_NE(members.find("Alex Morgan \u2014 alex.morgan@example.com \u2014 " + demo.instance().demoUserSysId()),
              std::string::npos) << members;
    EXPECT_EQ(members.find("Morgan Ellis"), std::string::npos);  // inactive
    EXPECT_EQ(members.find("\n\n"), std::string::npos);

    const auto dana = call("find_user", {{"name", " Dana "}});
    ASSERT_FALSE(dana.isError);
    EXPECT_TRUE(dana.text.starts_with("Dana Whitfield \u2014 ")) << dana.text;
    EXPECT_EQ(call("find_user", {{"name", "Zzyzx"}}).text, "No matching active users.");
    EXPECT_EQ(call("find_user", {{"name", "D"}}).text, "No matching active users.");
}

TEST_F(DispatcherTest, ArgumentRulesFailBeforeOrAfterTheRightRequests) {
    const auto [id, number] = insertTask({});
    struct Case {
        const char* tool;
        json arguments;
        std::string text;
        std::size_t requests;  // reaching the instance before the failure
    } cases[] = {
        {"get_task", {{"task", "   "}}, "`task` is required.", 0},
        {"get_task", {{"task", 42}}, "`task` is required.", 0},
        {"find_user", json::object(), "`name` is required.", 0},
        {"search_records", {{"query", "active=true"}}, "`table` is required.", 0},
        {"search_records", {{"table", "incident"}, {"query", "\n"}}, "`query` is required.", 0},
        {"assign_task", {{"task", number}}, "`assignee` is required.", 1},
        {"close_task", {{"task", number}, {"resolution", ""}}, "`resolution` is required.", 1},
        {"add_note", {{"task", number}}, "`text` is required.", 1},
        {"get_task", {{"task", "SCTASK9999999"}}, "No sc_task record matches \u201CSCTASK9999999\u201D.", 1},
    };
    for (const auto& c : cases) {
        demo.instance().reset();
        const auto reply = call(c.tool, c.arguments);
        EXPECT_TRUE(reply.isError) << c.tool;
        EXPECT_EQ(reply.text, c.text) << c.tool;
        EXPECT_EQ(api().size(), c.requests) << c.tool << " " << c.arguments.dump();
    }
}

TEST_F(DispatcherTest, SearchRecordsClampsTheLimitAndReportsEmptyResults) {
    const std::pair<json, std::string> limits[] = {
        {json(0), "1"}, {json(500), "100"}, {json("7"), "20"}, {json(-3), "1"},
        {json(7), "7"}, {json(2.5), "20"}, {json(), "20"},
    };
    for (const auto& [limit, sent] : limits) {
        demo.instance().reset();
        json arguments = {{"table", "incident"}, {"query", "active=true"}};
        if (!limit.is_null())
            arguments["limit"] = limit;
        const auto reply = call("search_records", arguments);
        EXPECT_FALSE(reply.isError) << reply.text;
        ASSERT_EQ(api().size(), 1u);
        EXPECT_EQ(queryParam(api()[0], "sysparm_limit"), sent) << limit.dump();
    }
    EXPECT_EQ(call("search_records", {{"table", "incident"}, {"query", "number=NOPE"}}).text, "No matching records.");
    const auto rows = json::parse(call("search_records", {{"table", "sc_task"}, {"query", "active=true"},
                                                          {"fields", "number"}, {"limit", 2}}).text);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0]["number"].get<std::string>().starts_with("SCTASK"));
}

TEST_F(DispatcherTest, GetTaskAddsTheSysIdToTheClipboardText) {
    const auto [id, number] = insertTask({});
    const auto reply = call("get_task", {{"task", number}});
    ASSERT_FALSE(reply.isError) << reply.text;
    EXPECT_TRUE(reply.text.starts_with(ServiceNowClient().resolveTask(number).clipboardText()));
    EXPECT_TRUE(reply.text.ends_with("\n\nsys_id: " + id)) << reply.text;
}

TEST_F(DispatcherTest, WriteToolsChangeTheRecordAndSayWhatTheyDid) {
    const auto [id, number] = insertTask({});
    const auto url = demo.instance().baseUrl() + "/nav_to.do?uri=sc_task.do%3Fsys_id%3D" + id;

    auto reply = call("assign_task", {{"task", number}, {"assignee", "me"}});
    EXPECT_EQ(reply.text, "Assigned " + number + " to Alex Morgan.\n" + url);
    EXPECT_EQ(demo.instance().record("sc_task", id)["assigned_to"], demo.instance().demoUserSysId());

    reply = call("add_note", {{"task", id}, {"text", "  called back  "}, {"type", "comment"}});
    EXPECT_EQ(reply.text, "Added comment to " + number + ".");
    reply = call("add_note", {{"task", number}, {"text", "checked logs"}, {"type", "Comment"}});
    EXPECT_EQ(reply.text, "Added work note to " + number + ".");
    const auto record = demo.instance().record("sc_task", id);
    ASSERT_EQ(record["comments"].size(), 1u);
    EXPECT_EQ(record["comments"][0]["value"], "called back");
    ASSERT_EQ(record["work_notes"].size(), 1u);
    EXPECT_EQ(record["work_notes"][0]["value"], "checked logs");

    reply = call("close_task", {{"task", number}, {"resolution", "Replaced the toner."}});
    EXPECT_EQ(reply.text, "Closed " + number + ".\n" + url);
    EXPECT_EQ(demo.instance().record("sc_task", id)["state"], "5");
}

TEST_F(DispatcherTest, FailedSecondPatchIsReportedAndTheFirstChangeStays) {
    // The linked request item does not exist, so the second PATCH of alsoRITM fails.
    const auto [id, number] = insertTask({{"request_item", "fedcba9876543210fedcba9876543210"}});
    const auto reply = call("assign_task", {{"task", id}, {"assignee", "me"}, {"alsoRITM", true}});
    EXPECT_TRUE(reply.isError) << reply.text;
    EXPECT_FALSE(reply.text.empty());
    EXPECT_EQ(demo.instance().record("sc_task", id)["assigned_to"], demo.instance().demoUserSysId());
    EXPECT_EQ(api("PATCH").size(), 2u);  // nothing retried, nothing undone
}

TEST_F(DispatcherTest, WriteGateIsReadAtEveryMessage) {
    const auto gate = "add_note changes records and writes are disabled. "
                      "Turn on \u201CAllow writes\u201D in Trayline settings, then restart Claude Code.";
    auto names = [&] {
        std::vector<std::string> out;
        const auto reply = request("tools/list");
        for (const auto& t : reply["result"]["tools"])
            out.push_back(t["name"]);
        return out;
    };
    Config::setMcpAllowWrites(false);
    EXPECT_EQ(names().size(), 7u);
    EXPECT_EQ(call("add_note", {{"task", "x"}, {"text", "y"}}).rpcError, gate);
    EXPECT_EQ(call("frobnicate").rpcError, "Unknown tool: frobnicate");
    EXPECT_TRUE(api().empty());

    Config::setMcpAllowWrites(true);
    EXPECT_EQ(names(), toolNames(true));
    EXPECT_EQ(names().back(), "add_note");
    EXPECT_EQ(call("add_note", {{"task", " "}}).text, "`task` is required.");
}

TEST_F(DispatcherTest, NotSignedInAnswersWithoutTouchingTheInstance) {
    TokenStore::shared().clear();
    for (const auto* tool : {"list_my_tasks", "add_note", "search_records"}) {
        const auto reply = call(tool);
        EXPECT_TRUE(reply.isError);
        EXPECT_EQ(reply.text, kNotSignedIn) << tool;
    }
    Config::setMcpAllowWrites(false);
    EXPECT_TRUE(call("add_note").rpcError.has_value());  // the gate comes first
    EXPECT_TRUE(api().empty());
}

TEST_F(DispatcherTest, HttpFailuresBecomeToolResults) {
    demo.instance().failNext(1, 500, R"({"error":{"message":"boom"}})");
    const auto reply = call("list_my_tasks");
    EXPECT_TRUE(reply.isError);
    EXPECT_FALSE(reply.text.empty());
    EXPECT_FALSE(call("list_my_tasks").isError);
}

TEST_F(DispatcherTest, InitializeChoosesTheVersionAndDescribesTheInstance) {
    Config::setTable("sc_task");
    const std::pair<json, std::string> versions[] = {
        {"2025-06-18", "2025-06-18"}, {"2025-03-26", "2025-03-26"}, {"2024-11-05", "2024-11-05"},
        {"2099-01-01", "2024-11-05"}, {20250326, "2024-11-05"},    {json(), "2024-11-05"},
    };
    for (const auto& [asked, chosen] : versions) {
        const auto result = request("initialize", asked.is_null() ? json::object()
                                                                  : json{{"protocolVersion", asked}})["result"];
        EXPECT_EQ(result["protocolVersion"], chosen) << asked.dump();
        EXPECT_EQ(result["capabilities"], (json{{"tools", {{"listChanged", false}}}}));
        EXPECT_EQ(result["serverInfo"], (json{{"name", "trayline"}, {"version", "dev"}}));
    }
    Config::setInstanceURL(demo.instance().baseUrl() + "/");
    EXPECT_TRUE(instructions().starts_with("ServiceNow access for " + demo.instance().baseUrl() +
                                           ", scoped to the sc_task queue the Trayline menu bar app watches. "
                                           "\"Me\" resolves"));
}

}  // namespace
}  // namespace trayline::mcp
