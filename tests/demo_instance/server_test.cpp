// The server around the API: request log, test controls (in-process and over /__control),
// concurrency, keep-alive, navigation pages, data sets, the live-queue simulation and the
// executable itself.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "database.h"
#include "http_helpers.h"

namespace trayline::demo {
namespace {

using namespace testing;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

class ServerTest : public ::testing::Test {
protected:
    ServerTest() {
        instance.start();
        token = instance.issueTokens().accessToken;
    }
    DemoInstance instance;
    std::string token;
};

TEST_F(ServerTest, RequestLogRecordsDecodedQueryInWireOrderBodyAndAuthorization) {
    httplib::Client cli(instance.baseUrl());
    instance.reset();
    const std::string query = "active=true^nameLIKEZo\u00eb ^^x@y";
    cli.Get(withQuery("/api/now/table/sys_user", {{"sysparm_query", query}, {"sysparm_fields", "sys_id,name"},
                                                  {"sysparm_limit", "15"}}),
            bearer(token));
    cli.Patch("/api/now/table/sc_task/0123456789abcdef0123456789abcdef", bearer(token), R"({"state":"2"})",
              "application/json");
    cli.Post("/oauth_token.do", "grant_type=refresh_token&refresh_token=a%2Bb+c", "application/x-www-form-urlencoded");
    const auto log = instance.requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].path, "/api/now/table/sys_user");
    EXPECT_EQ(log[0].query, (Params{{"sysparm_query", query}, {"sysparm_fields", "sys_id,name"}, {"sysparm_limit", "15"}}));
    EXPECT_EQ(log[0].authorization, "Bearer " + token);
    EXPECT_EQ(log[1].method, "PATCH");
    EXPECT_EQ(log[1].body, R"({"state":"2"})");
    EXPECT_EQ(log[2].path, "/oauth_token.do");
    EXPECT_EQ(log[2].body, "grant_type=refresh_token&refresh_token=a%2Bb+c");  // the body as sent
    EXPECT_EQ(log[2].authorization, "");
}

TEST_F(ServerTest, FailNextAnswersTheNextRequestsThenRecovers) {
    httplib::Client cli(instance.baseUrl());
    instance.failNext(2, 503, R"({"error":"busy"})");
    instance.failNext(1, 401, "no", "text/plain");
    const std::string path = withQuery("/api/now/table/sc_task", {{"sysparm_limit", "1"}});
    auto a = cli.Get(path, bearer(token));
    EXPECT_EQ(a->status, 503);
    EXPECT_EQ(a->body, R"({"error":"busy"})");
    EXPECT_EQ(cli.Post("/oauth_token.do", "x=y", "application/x-www-form-urlencoded")->status, 503);
    auto c = cli.Get(path, bearer(token));
    EXPECT_EQ(c->status, 401);
    EXPECT_EQ(c->get_header_value("Content-Type"), "text/plain");
    EXPECT_EQ(cli.Get(path, bearer(token))->status, 200);
    // Browser pages are not affected.
    instance.failNext(1, 500, "{}");
    EXPECT_EQ(cli.Get("/")->status, 200);
    instance.reset();
    EXPECT_EQ(cli.Get(path, bearer(token))->status, 200);
}

TEST_F(ServerTest, FourSlowRequestsAreServedConcurrently) {
    instance.setLatency(std::chrono::milliseconds{200});
    const std::string path = fetchTasksPath(groupQueueQuery());
    const auto start = Clock::now();
    std::vector<std::future<int>> calls;
    for (int i = 0; i < 4; ++i)
        calls.push_back(std::async(std::launch::async, [&] {
            httplib::Client cli(instance.baseUrl());
            auto r = cli.Get(path, bearer(token));
            return r ? r->status : -1;
        }));
    for (auto& c : calls) EXPECT_EQ(c.get(), 200);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(elapsed.count(), 200);
    EXPECT_LT(elapsed.count(), 380) << "four 200 ms requests took " << elapsed.count() << " ms";
}

TEST_F(ServerTest, KeepAliveReusesOneConnectionAndConnectionsAreCounted) {
    instance.reset();
    {
        httplib::Client cli(instance.baseUrl());
        cli.set_keep_alive(true);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(cli.Get(fetchTasksPath(myTasksQuery()), bearer(token))->status, 200);
        EXPECT_EQ(instance.acceptedConnections(), 1u);
    }
    httplib::Client other(instance.baseUrl());
    other.Get("/");
    httplib::Client third(instance.baseUrl());
    third.Get("/");
    EXPECT_EQ(instance.acceptedConnections(), 3u);
    instance.reset();
    EXPECT_EQ(instance.acceptedConnections(), 0u);
}

TEST(ServerStop, StopsPromptlyWhileAClientHoldsAnIdleConnection) {
    DemoInstance instance;
    instance.start();
    httplib::Client cli(instance.baseUrl());
    cli.set_keep_alive(true);
    ASSERT_EQ(cli.Get("/")->status, 200);
    const auto start = Clock::now();
    instance.stop();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
    instance.stop();  // idempotent
}

TEST_F(ServerTest, InsertTaskLandsInTheGroupQueueAndNowhereElse) {
    const auto countQueue = [&] {
        httplib::Client cli(instance.baseUrl());
        return body(cli.Get(fetchTasksPath(groupQueueQuery()), bearer(token)))["result"].size();
    };
    const auto before = countQueue();
    const std::string id = instance.insertTask({{"short_description", "Printer on fire"}, {"priority", 1}});
    EXPECT_EQ(countQueue(), before + 1);
    const json rec = instance.record("sc_task", id);
    EXPECT_EQ(rec["short_description"], "Printer on fire");
    EXPECT_EQ(rec["priority"], "1");
    EXPECT_EQ(rec["assignment_group"], kGroupSysId);
    EXPECT_EQ(rec["assigned_to"], "");
    EXPECT_EQ(rec["number"].get<std::string>().rfind("SCTASK", 0), 0u);
    EXPECT_EQ(instance.record("sc_task", "0123456789abcdef0123456789abcdef"), json::object());
}

TEST_F(ServerTest, NavigationPagesShowTheRecordAndTheFilteredList) {
    httplib::Client cli(instance.baseUrl());
    const json first = body(cli.Get(fetchTasksPath(groupQueueQuery(), 1), bearer(token)))["result"][0];
    const std::string sysId = first["sys_id"]["value"];
    // The record link: "/nav_to.do?uri=" + table + ".do%3Fsys_id%3D" + sys_id.
    auto rec = cli.Get("/nav_to.do?uri=sc_task.do%3Fsys_id%3D" + sysId);
    ASSERT_EQ(rec->status, 200);
    EXPECT_NE(rec->body.find(first["number"]["value"].get<std::string>()), std::string::npos);
    // The list link: the query percent-encoded after "_list.do%3Fsysparm_query%3D".
    auto list = cli.Get("/nav_to.do?uri=sc_task_list.do%3Fsysparm_query%3D" + util::percentEncode(groupQueueQuery()));
    ASSERT_EQ(list->status, 200);
    const std::size_t count = body(cli.Get(fetchTasksPath(groupQueueQuery()), bearer(token)))["result"].size();
    EXPECT_NE(list->body.find("<span id=\"count\">" + std::to_string(count) + "</span>"), std::string::npos);
    EXPECT_EQ(cli.Get("/nav_to.do?uri=sc_task.do%3Fsys_id%3D0123456789abcdef0123456789abcdef")->status, 404);
    EXPECT_EQ(cli.Get("/nav_to.do?uri=nope.do")->status, 404);
    EXPECT_EQ(cli.Get("/sc_task.do?sys_id=" + sysId)->status, 200);
}

TEST_F(ServerTest, SimulationStepBringsANewRequestIntoTheQueue) {
    httplib::Client cli(instance.baseUrl());
    const auto queue = [&] { return body(cli.Get(fetchTasksPath(groupQueueQuery()), bearer(token)))["result"]; };
    const json before = queue();
    std::size_t arrivals = 0;
    for (int i = 0; i < 5; ++i) {
        const auto events = instance.simulateStep();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events[0].rfind("New request REQ", 0), 0u) << events[0];
        ++arrivals;
    }
    const json after = queue();
    // Every arrival is queued; some may have been closed since (only tasks of the demo user).
    EXPECT_GE(after.size() + 5, before.size() + arrivals);
    const json newest = after[0];
    EXPECT_EQ(newest["request_item.request"]["display_value"].get<std::string>().rfind("REQ", 0), 0u);
    EXPECT_FALSE(newest["request_item.request.requested_for"]["display_value"].get<std::string>().empty());
}

TEST(ServerData, DataFileReplacesTheBuiltInSetWithRelativeDates) {
    const auto path = std::filesystem::temp_directory_path() / ("demo-data-" + std::to_string(getpid()) + ".json");
    {
        std::ofstream out(path);
        out << json{{"demo_user", "11111111111111111111111111111111"},
                    {"tables",
                     {{"sys_user", {{{"sys_id", "11111111111111111111111111111111"}, {"name", "Kim Lo"}, {"active", true}}}},
                      {"sc_task",
                       {{{"number", "SCTASK9000001"}, {"assigned_to", "11111111111111111111111111111111"},
                         {"state", "2"}, {"opened_at", "@now-2h"}, {"work_notes", "seeded"}}}}}}};
    }
    Options o;
    o.dataFile = path.string();
    DemoInstance instance(o);
    instance.start();
    EXPECT_EQ(instance.demoUserName(), "Kim Lo");
    httplib::Client cli(instance.baseUrl());
    const json mine = body(cli.Get(fetchTasksPath(myTasksQuery()), bearer(instance.issueTokens().accessToken)))["result"];
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0]["number"]["value"], "SCTASK9000001");
    EXPECT_EQ(mine[0]["opened_at"]["value"].get<std::string>().size(), 19u);

    std::ofstream(path) << R"({"tables": {"sc_task": [{"no_such_field": "x"}]}})";
    EXPECT_THROW(DemoInstance{o}, std::runtime_error);
    std::ofstream(path) << "{not json";
    EXPECT_THROW(DemoInstance{o}, std::runtime_error);
    std::filesystem::remove(path);
}

TEST(ServerData, BuiltInSetRoundTripsThroughTheDataFormat) {
    const auto now = std::chrono::system_clock::now();
    const json data = builtinDataSet(now);
    const Database db = Database::fromJson(data, util::toSeconds(now));
    EXPECT_EQ(db.rows(*findTable("sc_task")).size(), data["tables"]["sc_task"].size());
    EXPECT_GE(data["tables"]["sc_task"].size(), 35u);
    EXPECT_EQ(Database::fromJson(db.toJson(), util::toSeconds(now)).toJson(), db.toJson());
}

TEST(ServerControl, ControlEndpointOnlyWhenEnabled) {
    DemoInstance off;
    off.start();
    httplib::Client offCli(off.baseUrl());
    EXPECT_EQ(offCli.Post("/__control", R"({"action":"reset"})", "application/json")->status, 404);

    Options o;
    o.control = true;
    DemoInstance on(o);
    on.start();
    httplib::Client cli(on.baseUrl());
    auto post = [&](const json& j) {
        auto r = cli.Post("/__control", j.dump(), "application/json");
        EXPECT_EQ(r->status, 200) << r->body;
        return body(r);
    };
    const json tokens = post({{"action", "issue_tokens"}});
    const std::string path = withQuery("/api/now/table/sc_task", {{"sysparm_limit", "1"}});
    post({{"action", "reset"}});
    post({{"action", "fail_next"}, {"count", 1}, {"status", 502}, {"body", "gateway"}});
    EXPECT_EQ(cli.Get(path, bearer(tokens["access_token"]))->status, 502);
    EXPECT_EQ(cli.Get(path, bearer(tokens["access_token"]))->status, 200);
    const json log = post({{"action", "request_log"}})["requests"];
    ASSERT_EQ(log.size(), 2u);  // control requests are not logged
    EXPECT_EQ(log[1]["query"], json::parse(R"([["sysparm_limit","1"]])"));
    EXPECT_GE(post({{"action", "connections"}})["accepted"].get<int>(), 1);
    post({{"action", "expire_access_tokens"}});
    EXPECT_EQ(cli.Get(path, bearer(tokens["access_token"]))->status, 401);
    const std::string id = post({{"action", "insert_task"}, {"fields", {{"short_description", "x"}}}})["sys_id"];
    EXPECT_EQ(post({{"action", "record"}, {"table", "sc_task"}, {"sys_id", id}})["record"]["short_description"], "x");
    EXPECT_FALSE(post({{"action", "simulate_step"}})["events"].empty());
    EXPECT_EQ(cli.Post("/__control", R"({"action":"fly"})", "application/json")->status, 400);
}

TEST(ServerOptions, RefusesNonLoopbackHosts) {
    Options o;
    o.host = "0.0.0.0";
    DemoInstance instance(o);
    EXPECT_THROW(instance.start(), std::runtime_error);
}

#ifdef DEMO_INSTANCE_EXE
TEST(Executable, PrintsItsAddressFirstAndStopsOnSigterm) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const auto start = Clock::now();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(DEMO_INSTANCE_EXE, DEMO_INSTANCE_EXE, "--port", "0", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(elapsed, 1000);
    const std::string first = line;
    ASSERT_EQ(first.rfind("Listening on http://127.0.0.1:", 0), 0u) << first;
    const std::string base = first.substr(13, first.size() - 14);
    httplib::Client cli(base);
    auto r = cli.Get("/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    std::string rest;
    while (fgets(line, sizeof line, f) && std::string(line).rfind("Press Ctrl-C", 0) != 0) rest += line;
    EXPECT_NE(rest.find(kClientId), std::string::npos);
    EXPECT_NE(rest.find(kClientSecret), std::string::npos);
    EXPECT_NE(rest.find(kDemoUserName), std::string::npos);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    fclose(f);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
}  // namespace trayline::demo
