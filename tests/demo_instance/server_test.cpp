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
#include <future>

#include "database.h"
#include "http_helpers.h"
#include "support/temp_env.h"

namespace trayline::demo {
namespace {

using namespace testing;
using nlohmann::json;

class ServerTest : public ::testing::Test {
protected:
    DemoInstance instance;
    httplib::Client cli{started(instance)};
    std::string token = instance.issueTokens().accessToken;
};

TEST_F(ServerTest, RequestLogRecordsDecodedQueryInWireOrderBodyAndAuthorization) {
    instance.reset();
    const std::string query = "active=true^nameLIKEZo\u00eb ^^x@y";
    cli.Get(withQuery("/api/now/table/sys_user", {{"sysparm_query", query}, {"sysparm_fields", "sys_id,name"},
                                                  {"sysparm_limit", "15"}}),
            bearer(token));
    cli.Patch("/api/now/table/sc_task/0123456789abcdef0123456789abcdef", bearer(token), R"({"state":"2"})",
              "application/json");
    cli.Post("/oauth_token.do", "grant_type=refresh_token&refresh_token=a%2Bb+c", "application/x-www-form-urlencoded");
    std::vector<std::string> seen;
    for (const auto& r : instance.requestLog())
        seen.push_back(r.method + " " + r.path + " " + r.body + " " + r.authorization);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "GET /api/now/table/sys_user  Bearer " + token,
                        R"(PATCH /api/now/table/sc_task/0123456789abcdef0123456789abcdef {"state":"2"} Bearer )" + token,
                        "POST /oauth_token.do grant_type=refresh_token&refresh_token=a%2Bb+c "}));  // the body as sent
    EXPECT_EQ(instance.requestLog().at(0).query,
              (Params{{"sysparm_query", query}, {"sysparm_fields", "sys_id,name"}, {"sysparm_limit", "15"}}));
}

TEST_F(ServerTest, KeepAliveReusesOneConnectionAndConnectionsAreCounted) {
    instance.reset();
    cli.set_keep_alive(true);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(cli.Get(tasksPath({{"sysparm_limit", "1"}}), bearer(token))->status, 200);
    EXPECT_EQ(instance.acceptedConnections(), 1u);
    httplib::Client(instance.baseUrl()).Get("/");
    EXPECT_EQ(instance.acceptedConnections(), 2u);
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
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(instance.port())), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(stalled, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
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
    const std::string id = instance.insertTask({{"assignment_group", "0123456789abcdef0123456789abcdef"}});
    const std::string number = instance.record("sc_task", id)["number"];
    // The record link: "/nav_to.do?uri=" + table + ".do%3Fsys_id%3D" + sys_id.
    auto rec = cli.Get("/nav_to.do?uri=sc_task.do%3Fsys_id%3D" + id);
    ASSERT_EQ(rec->status, 200);
    EXPECT_NE(rec->body.find(number), std::string::npos);
    EXPECT_EQ(cli.Get("/sc_task.do?sys_id=" + id)->body, rec->body);
    // The list link: the query percent-encoded after "_list.do%3Fsysparm_query%3D".
    auto list = cli.Get("/nav_to.do?uri=sc_task_list.do%3Fsysparm_query%3D" +
                        util::percentEncode("assignment_group=0123456789abcdef0123456789abcdef^active=true"));
    ASSERT_EQ(list->status, 200);
    EXPECT_NE(list->body.find("<span id=\"count\">1</span>"), std::string::npos);
    EXPECT_NE(list->body.find(number), std::string::npos);
    EXPECT_EQ(cli.Get("/nav_to.do?uri=sc_task.do%3Fsys_id%3D0123456789abcdef0123456789abcdef")->status, 404);
    EXPECT_EQ(cli.Get("/nav_to.do?uri=nope.do")->status, 404);
}

TEST_F(ServerTest, SimulationStepsBringNewRequestsIntoTheQueue) {
    std::string arrival;
    for (int i = 0; i < 5; ++i) {
        const auto events = instance.simulateStep();
        arrival = events.empty() ? "" : events[0];
        EXPECT_EQ(arrival.rfind("New request REQ", 0), 0u) << arrival;
    }
    const json newest = body(cli.Get(
        tasksPath({{"sysparm_query", "ORDERBYDESCnumber"}, {"sysparm_limit", "1"}, {"sysparm_display_value", "true"},
                   {"sysparm_exclude_reference_link", "true"},
                   {"sysparm_fields", "request_item.request,request_item.request.requested_for,assigned_to"}}),
        bearer(token)))["result"][0];
    EXPECT_EQ(arrival.substr(12, 10), newest["request_item.request"]) << newest;
    EXPECT_EQ(newest["assigned_to"], "");
    EXPECT_FALSE(newest["request_item.request.requested_for"].get<std::string>().empty());
}

TEST(ServerData, DataFileReplacesTheBuiltInSetWithRelativeDates) {
    test::TempProfile scratch;
    const auto path = scratch.root() / "data.json";
    test::writeFile(path, json{{"demo_user", "11111111111111111111111111111111"},
                               {"tables",
                                {{"sys_user", {{{"sys_id", "11111111111111111111111111111111"}, {"name", "Kim Lo"},
                                                {"active", true}}}},
                                 {"sc_task",
                                  {{{"number", "SCTASK9000001"}, {"assigned_to", "11111111111111111111111111111111"},
                                    {"state", "2"}, {"opened_at", "@now-2h"}, {"work_notes", "seeded"}}}}}}}
                              .dump());
    Options o;
    o.dataFile = path.string();
    DemoInstance instance(o);
    instance.start();
    EXPECT_EQ(instance.demoUserName(), "Kim Lo");
    httplib::Client cli(instance.baseUrl());
    const json mine = body(cli.Get(tasksPath({{"sysparm_query", "assigned_toDYNAMIC90d1921e5f510100a9ad2572f2b477fe"},
                                              {"sysparm_fields", "number,opened_at"}}),
                                   bearer(instance.issueTokens().accessToken)))["result"];
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0]["number"], "SCTASK9000001");
    EXPECT_EQ(mine[0]["opened_at"].get<std::string>().size(), 19u);

    for (const char* bad : {R"({"tables": {"sc_task": [{"no_such_field": "x"}]}})", "{not json"}) {
        test::writeFile(path, bad);
        EXPECT_THROW(DemoInstance{o}, std::runtime_error) << bad;
    }
}

TEST(ServerData, BuiltInSetRoundTripsThroughTheDataFormat) {
    const auto now = std::chrono::system_clock::now();
    const json data = builtinDataSet(now);
    const Database db = Database::fromJson(data, util::toSeconds(now));
    EXPECT_EQ(db.rows(*findTable("sc_task")).size(), data["tables"]["sc_task"].size());
    EXPECT_GE(data["tables"]["sc_task"].size(), 35u);
    EXPECT_EQ(Database::fromJson(db.toJson(), util::toSeconds(now)).toJson(), db.toJson());
}

TEST_F(ServerTest, ControlEndpointOnlyWhenEnabled) {
    EXPECT_EQ(cli.Post("/__control", R"({"action":"reset"})", "application/json")->status, 404);
    Options o;
    o.control = true;
    DemoInstance on(o);
    httplib::Client ctl(started(on));
    auto post = [&](const json& j) {
        auto r = ctl.Post("/__control", j.dump(), "application/json");
        EXPECT_EQ(r->status, 200) << r->body;
        return body(r);
    };
    const auto auth = bearer(post({{"action", "issue_tokens"}})["access_token"]);
    const std::string path = tasksPath({{"sysparm_limit", "1"}});
    post({{"action", "reset"}});
    post({{"action", "fail_next"}, {"count", 1}, {"status", 502}, {"body", "gateway"}});
    EXPECT_EQ(ctl.Get(path, auth)->status, 502);
    EXPECT_EQ(ctl.Get(path, auth)->status, 200);
    const json log = post({{"action", "request_log"}})["requests"];
    ASSERT_EQ(log.size(), 2u);  // control requests are not logged
    EXPECT_EQ(log[1]["query"], json::parse(R"([["sysparm_limit","1"]])"));
    EXPECT_GE(post({{"action", "connections"}})["accepted"].get<int>(), 1);
    post({{"action", "expire_access_tokens"}});
    EXPECT_EQ(ctl.Get(path, auth)->status, 401);
    const std::string id = post({{"action", "insert_task"}, {"fields", {{"short_description", "x"}}}})["sys_id"];
    EXPECT_EQ(post({{"action", "record"}, {"table", "sc_task"}, {"sys_id", id}})["record"]["short_description"], "x");
    EXPECT_FALSE(post({{"action", "simulate_step"}})["events"].empty());
    EXPECT_EQ(ctl.Post("/__control", R"({"action":"fly"})", "application/json")->status, 400);
}

TEST(ServerOptions, RefusesNonLoopbackHosts) {
    Options o;
    o.host = "0.0.0.0";
    EXPECT_THROW(DemoInstance(o).start(), std::runtime_error);
}

TEST(Executable, PrintsItsAddressAndCredentialsFirstAndStopsOnSigterm) {
    // The shell's first line is the process id the executable takes over.
    FILE* f = ::popen("echo $$; exec '" DEMO_INSTANCE_EXE "' --port 0", "r");
    ASSERT_TRUE(f);
    std::string out;
    char line[256];
    while (std::fgets(line, sizeof line, f) && std::string(line).rfind("Press Ctrl-C", 0) != 0)
        out += line;
    const std::string listening = out.substr(out.find('\n') + 1);
    EXPECT_EQ(listening.rfind("Listening on http://127.0.0.1:", 0), 0u) << out;
    auto r = httplib::Client(listening.substr(13, listening.find('\n') - 13)).Get("/");
    EXPECT_TRUE(r && r->status == 200);
    for (const char* shown : {kClientId, kClientSecret, kDemoUserName})
        EXPECT_NE(out.find(shown), std::string::npos) << shown;
    ::kill(std::stoi(out), SIGTERM);
    const int status = ::pclose(f);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace trayline::demo
