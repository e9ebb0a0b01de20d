// The server around the API: request log, test controls over /__control, keep-alive and stop,
// navigation pages, data sets, the live-queue simulation and the executable itself. The in-process
// controls are exercised by every client test that uses them.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>

#include "database.h"
#include "http_helpers.h"

namespace trayline::demo {
namespace {

using namespace testing;
using nlohmann::json;

// A raw loopback TCP connection, or -1.
int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

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

TEST(ServerStop, EndsItsOwnStalledConnectionsAndNoOtherSocket) {
    DemoInstance instance;
    instance.start();
    // Another server of this process on the same port number, over IPv6: its connections are not
    // the instance's, so stopping must leave them open.
    const int otherListener = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_port = htons(static_cast<std::uint16_t>(instance.port()));
    at.sin6_addr = in6addr_loopback;
    const bool v6 = ::bind(otherListener, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
                    ::listen(otherListener, 1) == 0;
    const int otherClient = v6 ? ::socket(AF_INET6, SOCK_STREAM, 0) : -1;
    const int otherServed = v6 && ::connect(otherClient, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0
                                ? ::accept(otherListener, nullptr, nullptr)
                                : -1;
    // A client that sent half a request: its worker waits on the read time-out unless stop ends it.
    const int stalled = connectTo(instance.port());
    ASSERT_GE(stalled, 0);
    ASSERT_EQ(::send(stalled, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 16);
    httplib::Client idle(instance.baseUrl());
    idle.set_keep_alive(true);
    ASSERT_EQ(idle.Get("/")->status, 200);

    auto stopping = std::async(std::launch::async, [&] { instance.stop(); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds{20}), std::future_status::ready) << "stop hangs";
    instance.stop();  // idempotent
    char byte = 0;
    EXPECT_LE(::recv(stalled, &byte, 1, 0), 0);  // ended by the instance (an orderly end or a reset)
    if (otherServed >= 0) {
        EXPECT_EQ(::send(otherClient, "x", 1, MSG_NOSIGNAL), 1);
        EXPECT_EQ(::recv(otherServed, &byte, 1, 0), 1) << "the instance ended a connection not its own";
    }
    for (const int fd : {stalled, otherClient, otherServed, otherListener})
        if (fd >= 0) ::close(fd);
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
