// The wire protocol as a client sees it: the real binary, lines written by hand.

#include <cstdlib>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/settings/config.h"
#include "server_process.h"
#include "support/demo_fixture.h"

namespace trayline::test {
namespace {

using nlohmann::json;

const std::string kReady = "[trayline-mcp] ready (Trayline dev, writes disabled)\n";
const std::string kUnparsable = "[trayline-mcp] ignoring unparsable line\n";

std::string ping(const std::string& id) { return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"; }
std::string pong(const std::string& id) { return R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})" "\n"; }

class ProtocolTest : public ::testing::Test {
protected:
    TempProfile profile;  // no settings, no tokens: nothing here needs the instance
};

TEST_F(ProtocolTest, OnlyRepliesReachStdoutAndOnlyTheTwoLogTextsReachStderr) {
    struct Case {
        const char* what;
        std::string input, out;
        int unparsable;
    } cases[] = {
        {"blank lines", "\n   \n\t\r\n" + ping("1") + "\n\n", pong("1"), 0},
        {"CRLF and no final LF", ping("1") + "\r\n" + ping("2"), pong("1") + pong("2"), 0},
        {"unparsable", "hello\n{\"id\":1,\n" + ping("3") + "\n", pong("3"), 2},
        {"batch and scalars", "[" + ping("1") + "]\n[]\n7\n\"x\"\n", "", 4},
        {"notifications", R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n"
                          R"({"method":"ping"})" "\n" R"({"id":null,"method":"ping"})" "\n"
                          R"({"id":null,"method":"nope"})" "\n" R"({"method":"notifications/cancelled"})",
         "", 0},
        {"ids", ping("\"abc\"") + "\n" + ping("-0.0") + "\n" + ping("1e400") + "\n" +
                    ping("123456789012345678901234567890") + "\n" + ping("[1,{}]") + "\n",
         pong("\"abc\"") + pong("-0.0") + pong("1e400") + pong("123456789012345678901234567890") + pong("[1,{}]"), 0},
        {"unknown method", R"({"jsonrpc":"2.0","id":7,"method":"resources/list"})" "\n" R"({"id":8})" "\n",
         R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"Method not found: resources/list"}})" "\n"
         R"({"jsonrpc":"2.0","id":8,"error":{"code":-32601,"message":"Method not found: "}})" "\n", 0},
        {"invalid UTF-8", "\xff\n" + ping("\"\xc3\x28\"") + "\n" + ping("\"\xe2\x82\"") + "\n",
         pong("\"\xef\xbf\xbd(\"") + pong("\"\xef\xbf\xbd\""), 1},
        {"unknown tool", R"({"id":1,"method":"tools/call","params":{"name":"close_task"}})" "\n",
         R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"close_task changes records and writes are disabled. Turn on “Allow writes” in Trayline settings, then restart Claude Code."}})" "\n", 0},
    };
    for (const auto& c : cases) {
        const auto run = runServer(c.input);
        EXPECT_EQ(run.exitCode, 0) << c.what;
        EXPECT_EQ(run.out, c.out) << c.what;
        std::string err = kReady;
        for (int i = 0; i < c.unparsable; ++i)
            err += kUnparsable;
        EXPECT_EQ(run.err, err) << c.what;
    }
}

TEST_F(ProtocolTest, EveryReplyIsOneCompactLine) {
    const auto run = runServer(R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})" "\n"
                               R"({"id":2,"method":"tools/list"})" "\n"
                               R"({"id":3,"method":"tools/call","params":{"name":"list_my_tasks"}})" "\n");
    ASSERT_EQ(run.exitCode, 0);
    std::vector<json> replies;
    std::size_t start = 0;
    for (auto nl = run.out.find('\n'); nl != std::string::npos; start = nl + 1, nl = run.out.find('\n', start)) {
        const auto line = run.out.substr(start, nl - start);
        replies.push_back(json::parse(line));
        EXPECT_EQ(nlohmann::ordered_json::parse(line).dump(), line) << "not compact";
    }
    EXPECT_EQ(start, run.out.size());
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0]["result"]["protocolVersion"], "2025-06-18");
    EXPECT_EQ(replies[1]["result"]["tools"].size(), 7u);
    EXPECT_EQ(replies[2]["result"]["content"][0]["text"],
              "Trayline is not signed in to ServiceNow. Open the menu bar app and sign in.");
    EXPECT_EQ(replies[2]["result"]["isError"], true);
}

TEST_F(ProtocolTest, HostileLinesAreSurvived) {
    const std::string deep(1'000'000, '[');
    const std::string huge = R"({"id":"big","method":"ping","params":{"pad":")" + std::string(8 << 20, 'x') + "\"}}";
    const auto run = runServer(deep + "\n" + std::string(300'000, '{') + "\n" + huge + "\n" + ping("2"));
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, pong("\"big\"") + pong("2"));
    EXPECT_EQ(run.err, kReady + kUnparsable + kUnparsable);
}

TEST_F(ProtocolTest, ReaderGoneEndsTheServerQuietly) {
    ServerOptions options;
    options.closeStdoutEarly = true;
    std::string input;
    for (int i = 0; i < 1000; ++i)
        input += ping(std::to_string(i)) + "\n";
    const auto run = runServer(input, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, kReady);
}

TEST_F(ProtocolTest, ReaderGoneDuringAToolCallIsNoCrash) {
    DemoProfile demo;
    demo.signIn();
    demo.instance().setLatency(std::chrono::milliseconds(300));
    ServerOptions options;
    options.closeStdoutEarly = true;
    const auto run = runServer(R"({"id":1,"method":"tools/call","params":{"name":"list_my_tasks"}})" "\n", options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(demo.countRequests("GET", "/api/now/table/sc_task"), 1u);
}

TEST_F(ProtocolTest, ToolCallWithoutIdStillRuns) {
    DemoProfile demo;
    demo.signIn();
    Config::setMcpAllowWrites(true);
    const auto id = demo.instance().insertTask({{"short_description", "Silent note"}});
    const auto run = runServer(R"({"method":"tools/call","params":{"name":"add_note","arguments":{"task":")" + id +
                               R"(","text":"quiet"}}})" "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "[trayline-mcp] ready (Trayline dev, writes enabled)\n");
    EXPECT_EQ(demo.instance().record("sc_task", id)["work_notes"].size(), 1u);
}

// Anything but the exact flag means the tray application, which here (no graphical session, or a
// core-only build without the tray library) says why it cannot start and where the MCP server is;
// no MCP server answers.
TEST_F(ProtocolTest, OnlyTheExactFlagStartsTheServer) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        ::unsetenv(name);
    for (const auto& args : {std::vector<std::string>{}, {"--MCP"}, {"--mcp=1"}, {"--mcp-debug"}}) {
        ServerOptions options;
        options.args = args;
        const auto run = runServer(ping("1") + "\n", options);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.find("[trayline-mcp]"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("\"trayline --mcp\" runs the MCP server"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace trayline::test
