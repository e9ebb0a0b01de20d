// The tools in-process, with the real client against the demo instance: which requests each one
// sends, how arguments are checked, and the write gate. What the answers say, end to end, is the
// SDK client's test (tests/e2e/node).

#include "core/mcp/dispatcher.h"

#include <gtest/gtest.h>

#include "core/auth/token_store.h"
#include "core/settings/config.h"
#include "support/demo_fixture.h"

namespace trayline::mcp {
namespace {

using nlohmann::json;

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        demo.signIn();
        Config::setMcpAllowWrites(true);
    }

    json request(const std::string& method, const json& params = json::object()) {
        const auto outcome = dispatcher.handleLine(
            json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}}.dump());
        return outcome.reply ? json::parse(*outcome.reply) : json();
    }

    // The tool's text ("error: " first when it is an error result), or the JSON-RPC error.
    std::string call(const std::string& name, const json& arguments = json::object()) {
        const auto reply = request("tools/call", {{"name", name}, {"arguments", arguments}});
        if (reply.contains("error"))
            return "rpc " + reply["error"]["code"].dump() + ": " + reply["error"]["message"].get<std::string>();
        const auto& result = reply["result"];
        return (result["isError"] == true ? "error: " : "") + result["content"][0]["text"].get<std::string>();
    }

    // Table API requests so far: "GET sc_task <sysparm_query> <sysparm_limit>", "PATCH sc_task".
    std::vector<std::string> sent() {
        std::vector<std::string> out;
        for (const auto& r : demo.instance().requestLog())
            if (r.path.starts_with("/api/now/table/")) {
                out.push_back(r.method + " " + r.path.substr(15, r.path.find('/', 15) - 15));
                for (const auto& [k, v] : r.query)
                    out.back() += k == "sysparm_query" || k == "sysparm_limit" ? " " + v : "";
            }
        return out;
    }

    test::DemoProfile demo;
    ServiceNowBackend backend;
    Dispatcher dispatcher{backend};
};

TEST_F(DispatcherTest, ListToolsSendTheWatcherQueriesClampTheRowLimitAndUnassignedOnlyDropsAssignedTasks) {
    const std::string group = std::string("sc_task assignment_group=") + demo::kGroupSysId;
    const std::string thisMonth =
        "^closed_atONThis month@javascript:gs.beginningOfThisMonth()@javascript:gs.endOfThisMonth()"
        "^ORDERBYDESCclosed_at 100";
    const struct {
        const char* tool;
        json arguments;
        std::string sent;
    } cases[] = {
        {"list_my_tasks", {},
         "sc_task assigned_toDYNAMIC90d1921e5f510100a9ad2572f2b477fe^active=true^ORDERBYDESCopened_at 100"},
        {"list_group_queue", {{"unassignedOnly", true}}, group + "^stateIN1,2,3^ORDERBYDESCopened_at 100"},
        {"list_completed", {}, group + thisMonth},
        {"list_completed", {{"period", "LAST_MONTH"}}, group + thisMonth},
        {"list_completed", {{"period", "last_month"}},
         group + "^closed_atONLast month@javascript:gs.beginningOfLastMonth()@javascript:gs.endOfLastMonth()"
                 "^ORDERBYDESCclosed_at 100"},
        {"search_records", {{"table", "incident"}, {"query", "active=true"}}, "incident active=true 20"},
    };
    for (const auto& c : cases) {
        demo.instance().reset();
        call(c.tool, c.arguments);
        EXPECT_EQ(sent(), std::vector<std::string>{"GET " + c.sent}) << c.tool << " " << c.arguments;
    }
    // Rows asked of search_records: whole numbers within 1...100, else 20.
    for (const auto& [limit, rows] : {std::pair<json, const char*>{0, "1"}, {-3, "1"}, {7, "7"}, {500, "100"},
                                      {18446744073709551615u, "100"}, {"7", "20"}, {2.5, "20"}}) {
        demo.instance().reset();
        call("search_records", {{"table", "incident"}, {"query", "active=true"}, {"limit", limit}});
        EXPECT_EQ(sent(), std::vector<std::string>{std::string("GET incident active=true ") + rows}) << limit;
    }
    Config::setGroupSysID("0123456789abcdef0123456789abcdef");
    demo.instance().insertTask({{"assignment_group", "0123456789abcdef0123456789abcdef"},
                                {"assigned_to", demo.instance().demoUserSysId()}});
    EXPECT_TRUE(call("list_group_queue").starts_with("1 task\n\n"));
    EXPECT_EQ(call("list_group_queue", {{"unassignedOnly", true}}), "The group queue is empty.");
}

TEST_F(DispatcherTest, ArgumentsAreCheckedBeforeTheRequestsThatNeedThem) {
    const auto id = demo.instance().insertTask({{"short_description", "Printer jammed"}});
    const std::string number = demo.instance().record("sc_task", id)["number"];
    const struct {
        const char* tool;
        json arguments;
        std::string answer;  // its beginning
        std::size_t requests;
    } cases[] = {
        {"get_task", {{"task", "   "}}, "error: `task` is required.", 0},
        {"find_user", {}, "error: `name` is required.", 0},
        {"search_records", {{"query", "active=true"}}, "error: `table` is required.", 0},
        {"assign_task", {{"task", number}}, "error: `assignee` is required.", 1},
        {"add_note", {{"task", number}}, "error: `text` is required.", 1},
        {"get_task", {{"task", "SCTASK9999999"}}, "error: No sc_task record matches \u201CSCTASK9999999\u201D.", 1},
        {"get_task", {{"task", number}}, number, 1},
        {"find_user", {{"name", " Dana "}}, "Dana Whitfield \u2014 ", 1},
        {"search_records", {{"table", "incident"}, {"query", "number=NOPE"}, {"fields", "number"}},
         "No matching records.", 1},
        {"add_note", {{"task", id}, {"text", "called back"}, {"type", "comment"}}, "Added comment to " + number, 2},
        {"add_note", {{"task", number}, {"text", "logs"}, {"type", "Comment"}}, "Added work note to " + number, 2},
        {"assign_task", {{"task", number}, {"assignee", "me"}}, "Assigned " + number + " to Alex Morgan.", 3},
        {"close_task", {{"task", number}, {"resolution", "Done."}}, "Closed " + number + ".", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tool) + " " + c.arguments.dump());
        demo.instance().reset();
        EXPECT_EQ(call(c.tool, c.arguments).substr(0, c.answer.size()), c.answer);
        EXPECT_EQ(sent().size(), c.requests);
    }
}

TEST_F(DispatcherTest, WriteGateIsReadAtEveryMessageAndComesBeforeTheSignInCheck) {
    TokenStore::shared().clear();
    auto listed = [&] {  // how many tools, and the last
        const auto tools = request("tools/list")["result"]["tools"];
        return std::to_string(tools.size()) + " " + tools.back()["name"].get<std::string>();
    };
    Config::setMcpAllowWrites(false);
    EXPECT_EQ(readyMessage(), "ready (Trayline dev, writes disabled)");
    EXPECT_EQ(listed(), "7 search_records");
    EXPECT_EQ(call("add_note"), "rpc -32601: add_note changes records and writes are disabled. "
                                "Turn on \u201CAllow writes\u201D in Trayline settings, then restart Claude Code.");
    EXPECT_EQ(call("frobnicate"), "rpc -32601: Unknown tool: frobnicate");

    Config::setMcpAllowWrites(true);
    EXPECT_EQ(readyMessage(), "ready (Trayline dev, writes enabled)");
    EXPECT_EQ(listed(), "10 add_note");
    EXPECT_EQ(call("add_note"), std::string("error: ") + kNotSignedIn);
    EXPECT_EQ(call("list_my_tasks"), std::string("error: ") + kNotSignedIn);
    EXPECT_TRUE(sent().empty());
}

TEST_F(DispatcherTest, FailuresBecomeErrorResultsAndNothingIsUndoneOrRetried) {
    demo.instance().failNext(1, 500, R"({"error":{"message":"boom"}})");
    EXPECT_TRUE(call("list_my_tasks").starts_with("error: "));
    EXPECT_FALSE(call("list_my_tasks").starts_with("error: "));
    // The linked request item does not exist, so the second PATCH of alsoRITM fails.
    const auto id = demo.instance().insertTask({{"request_item", "fedcba9876543210fedcba9876543210"}});
    EXPECT_TRUE(call("assign_task", {{"task", id}, {"assignee", "me"}, {"alsoRITM", true}}).starts_with("error: "));
    EXPECT_EQ(demo.instance().record("sc_task", id)["assigned_to"], demo.instance().demoUserSysId());
    EXPECT_EQ(demo.countRequests("PATCH", "/api/"), 2u);
}

TEST_F(DispatcherTest, ToolCallWithoutIdRunsAndIsNotAnswered) {
    const auto id = demo.instance().insertTask({{"short_description", "Silent note"}});
    EXPECT_FALSE(dispatcher.handleLine(R"({"method":"tools/call","params":{"name":"add_note","arguments":{"task":")" +
                                       id + R"(","text":"quiet"}}})").reply);
    EXPECT_EQ(demo.instance().record("sc_task", id)["work_notes"].size(), 1u);
}

}  // namespace
}  // namespace trayline::mcp
