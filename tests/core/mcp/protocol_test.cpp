// The wire protocol as a client sees it: the real binary, lines written by hand.

#include <gtest/gtest.h>

#include "support/demo_fixture.h"
#include "support/process_run.h"

namespace trayline::test {
namespace {

const std::string kReady = "[trayline-mcp] ready (Trayline dev, writes disabled)\n";
const std::string kUnparsable = "[trayline-mcp] ignoring unparsable line\n";

std::string ping(const std::string& id) { return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"; }
std::string pong(const std::string& id) { return R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})" "\n"; }

ProcessRun runServer(const std::string& input, bool closeStdoutEarly = false) {
    return runProcess({TRAYLINE_BINARY, "--mcp"}, {.input = input, .closeStdoutEarly = closeStdoutEarly});
}

TEST(ProtocolTest, OnlyRepliesReachStdoutAndOnlyTheTwoLogTextsReachStderr) {
    TempProfile profile;  // no settings, no tokens
    const struct {
        const char* what;
        std::string input, out;
        int unparsable;
    } cases[] = {
        {"blank lines", "\n   \n\t\r\n" + ping("1") + "\n\n", pong("1"), 0},
        {"CRLF and no final LF", ping("1") + "\r\n" + ping("\"2\""), pong("1") + pong("\"2\""), 0},
        {"unparsable", "hello\n{\"id\":1,\n\xff\n" + ping("3") + "\n", pong("3"), 3},
        {"notifications", R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n"
                          R"({"method":"ping"})" "\n" R"({"id":null,"method":"ping"})" "\n"
                          R"({"id":null,"method":"nope"})" "\n" R"({"method":"notifications/cancelled"})",
         "", 0},
        {"unknown method", R"({"jsonrpc":"2.0","id":7,"method":"resources/list"})" "\n" R"({"id":8})" "\n",
         R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"Method not found: resources/list"}})" "\n"
         R"({"jsonrpc":"2.0","id":8,"error":{"code":-32601,"message":"Method not found: "}})" "\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto run = runServer(c.input);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, c.out);
        std::string err = kReady;
        for (int i = 0; i < c.unparsable; ++i)
            err += kUnparsable;
        EXPECT_EQ(run.err, err);
    }
}

// Lines up to 4 MiB are read; a longer one is dropped as it arrives (the server's memory stays
// bounded) and answered with a parse error, at the end of the input too.
TEST(ProtocolTest, HostileLinesAreSurvived) {
    TempProfile profile;
    const auto padded = [](const std::string& id, std::size_t bytes) {
        return R"({"id":")" + id + R"(","method":"ping","params":{"pad":")" + std::string(bytes, 'x') + "\"}}";
    };
    const std::string tooLong =
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: line longer than 4 MiB"}})" "\n";
    const auto run = runServer(std::string(1'000'000, '[') + "\n" + padded("3MiB", 3 << 20) + "\n" +
                               padded("9MiB", 9 << 20) + "\n" + ping("2") + "\n" + padded("end", 5 << 20));
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, pong("\"3MiB\"") + tooLong + pong("2") + tooLong);
    EXPECT_EQ(run.err, kReady + kUnparsable + kUnparsable + kUnparsable);
}

TEST(ProtocolTest, ReaderGoneDuringAToolCallEndsTheServerQuietly) {
    DemoProfile demo;
    demo.signIn();
    demo.instance().setLatency(std::chrono::milliseconds(300));
    const auto run = runServer(R"({"id":1,"method":"tools/call","params":{"name":"list_my_tasks"}})" "\n" +
                                   ping("2") + "\n",
                               true);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, kReady);
    EXPECT_EQ(demo.countRequests("GET", "/api/now/table/sc_task"), 1u);
}

}  // namespace
}  // namespace trayline::test
