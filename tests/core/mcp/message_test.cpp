// Decoding a line into a JSON-RPC message; the task text the tools render; the registration
// snippets, whose paths a shell or a JSON reader would otherwise misread; then the wire protocol as a
// client sees it: the real binary, lines written by hand. Which arguments select the server is the
// installed executable's test (tests/e2e/install).

#include "core/mcp/message.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/mcp/client_registration.h"
#include "core/mcp/render.h"
#include "support/demo_fixture.h"
#include "support/process_run.h"

namespace trayline::mcp {
namespace {

TEST(MessageTest, IdsAreEchoedInTheirOriginalSpelling) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"id":7})", "7"},
        {R"({"id":-0.5e-3})", "-0.5e-3"},
        {R"({"id":-1e400,"method":"ping"})", "-1e400"},
        {R"({"id":123456789012345678901234567890})", "123456789012345678901234567890"},
        {R"({"id":18446744073709551615})", "18446744073709551615"},
        {R"({"id":-9223372036854775808})", "-9223372036854775808"},
        {R"({"id":"a\"b\u00e9"})", R"("a\"bé")"},
        {R"({"id":{"x":[1,2.50]}})", R"({"x":[1,2.5]})"},
        {R"({"id":1.5,"id":"later"})", R"("later")"},
        {R"({"id":1e400,"id":2.5})", "2.5"},
        {R"({"params":{"id":3.0},"id":4.0})", "4.0"},
        {R"({"id":null})", "null"},
        {R"({"method":"ping"})", ""},
    };
    for (const auto& [line, id] : cases) {
        SCOPED_TRACE(line);
        const auto m = parseMessage(line);
        EXPECT_EQ(m ? m->idText : "<not a message>", id);
        EXPECT_EQ(m && m->isRequest(), id != "" && id != "null");
    }
}

TEST(MessageTest, OnlyObjectsWithinTheNestingLimitAreMessages) {
    const std::string nested = std::string(kMaxNesting - 1, '[') + std::string(kMaxNesting - 1, ']');
    EXPECT_TRUE(parseMessage(R"({"a":)" + nested + "}"));
    const std::string tooDeep = std::string(kMaxNesting, '[') + std::string(kMaxNesting, ']');
    EXPECT_FALSE(parseMessage(R"({"a":)" + tooDeep + "}"));
    EXPECT_FALSE(parseMessage(std::string(1'000'000, '[')));
    for (const char* bad : {"[]", R"([{"id":1,"method":"ping"}])", "\"text\"", "42", "null", "{", "{\"id\":1,}",
                            "{} {}", "{\"id\":1e400", "{\"a\":1e400}", "{\"a\":\"\\ud800\"}"})
        EXPECT_FALSE(parseMessage(bad)) << bad;
}

SNTask task(std::string number) {
    SNTask t;
    t.sysID = {"0123456789abcdef0123456789abcdef", "0123456789abcdef0123456789abcdef"};
    t.number = {number, number};
    t.shortDescription = {"Printer jammed", "Printer jammed"};
    t.state = {"1", "Open"};
    return t;
}

TEST(RenderTest, TaskBlocksListTheirFactsInOrderAndLeaveOutWhatIsMissing) {
    auto full = task("SCTASK0010002");
    full.request = {"aaaabbbbccccddddeeeeffff00001111", "REQ0010001"};
    full.priority = {"2", "2 - High"};
    full.assignedTo = {"1c9e4b7a2f6d4e8b9a0c3d5e7f1b2a46", "Alex Morgan"};
    full.caller = {"x", "Dana Whitfield"};
    full.reqOpenedAt = {"2025-03-03 23:30:00", "ignored"};
    full.closedAt = {"2025-03-05 08:00:00", "ignored"};
    auto badDates = task("SCTASK0010003");
    badDates.openedAt = {"yesterday", "yesterday"};
    badDates.closedAt = {"2025-03-05", "2025-03-05"};

    EXPECT_EQ(render({full, badDates}, "none", DateFormatter("en_US", "Asia/Tokyo")),
              "2 tasks\n\n"
              "REQ0010001 [SCTASK0010002] \u2014 Printer jammed\n"
              "  state: Open | priority: 2 - High | assigned: Alex Morgan | for: Dana Whitfield | "
              "opened: Mar 4, 2025 | closed: Mar 5, 2025\n"
              "  sys_id: 0123456789abcdef0123456789abcdef\n\n"
              "SCTASK0010003 [SCTASK0010003] \u2014 Printer jammed\n"
              "  state: Open | assigned: unassigned\n"
              "  sys_id: 0123456789abcdef0123456789abcdef");
}

// What /bin/sh makes of a program word.
std::string shellReads(const std::string& word) { return test::shellOutput("printf '%s' " + word); }

TEST(ClientRegistration, ShellAndJsonReadAnyPathExactly) {
    const std::string prefix = "claude mcp add servicenow -s project -- ", suffix = " --mcp";
    EXPECT_EQ(registrationCommand("/home/j\xc3\xbcrgen/bin/tl"), prefix + "/home/j\xc3\xbcrgen/bin/tl" + suffix);
    for (const std::string path : {"/home/a b/trayline", "/home/o'neill/trayline", "/tmp/$HOME/`id`/trayline",
                                   "/tmp/x;rm -rf *", "/tmp/say \"hi\"\\now/trayline", "/tmp/a\tb\nc/trayline",
                                   "~/trayline"}) {
        SCOPED_TRACE(path);
        const std::string command = registrationCommand(path);
        const bool framed = command.starts_with(prefix) && command.ends_with(suffix);
        EXPECT_TRUE(framed) << command;
        const auto word = framed ? command.substr(prefix.size(), command.size() - prefix.size() - suffix.size()) : "";
        EXPECT_EQ(shellReads(word), path);
        EXPECT_EQ(nlohmann::json::parse(registrationJson(path))["mcpServers"]["servicenow"]["command"], path);
    }
}

const std::string kReady = "[trayline-mcp] ready (Trayline dev, writes disabled)\n";
const std::string kUnparsable = "[trayline-mcp] ignoring unparsable line\n";

std::string ping(const std::string& id) { return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"; }
std::string pong(const std::string& id) { return R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})" "\n"; }

test::ProcessRun runServer(const std::string& input, bool closeStdoutEarly = false) {
    return test::runProcess({TRAYLINE_BINARY, "--mcp"}, {.input = input, .closeStdoutEarly = closeStdoutEarly});
}

TEST(ProtocolTest, OnlyRepliesReachStdoutAndOnlyTheTwoLogTextsReachStderr) {
    test::TempProfile profile;  // no settings, no tokens
    const struct {
        const char* what;
        std::string input, out;
        int unparsable;
    } cases[] = {
        {"blank lines", "\n   \n\t\r\n \u00a0\u2028 \n\u3000" + ping("1") + "\t\n\n", pong("1"), 0},
        {"CRLF and no final LF", ping("1") + "\r\n" + ping("\"2\""), pong("1") + pong("\"2\""), 0},
        {"unparsable", "hello\n{\"id\":1,\n\xff\n" + ping("3") + "\n", pong("3"), 3},
        {"notifications", R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n"
                          R"({"method":"ping"})" "\n" R"({"id":null,"method":"ping"})" "\n"
                          R"({"id":null,"method":"nope"})" "\n" R"({"method":"notifications/cancelled"})",
         "", 0},
        {"unknown method", R"({"jsonrpc":"2.0","id":7,"method":"resources/list"})" "\n{\"id\":\"\xff\xfe\",\"method\":5}\n",
         R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"Method not found: resources/list"}})" "\n"
         R"({"jsonrpc":"2.0","id":"��","error":{"code":-32601,"message":"Method not found: "}})" "\n", 0},
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
// bounded) and answered with a parse error, at the end of the input too. A reader gone during a
// tool call ends the server quietly.
TEST(ProtocolTest, HostileLinesAndAReaderThatIsGoneAreSurvived) {
    test::DemoProfile demo;
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

    demo.signIn();
    demo.instance().setLatency(std::chrono::milliseconds(300));
    const auto gone = runServer(R"({"id":1,"method":"tools/call","params":{"name":"list_my_tasks"}})" "\n" +
                                    ping("2") + "\n",
                                true);
    EXPECT_EQ(std::tuple(gone.signal, gone.exitCode, gone.err), std::tuple(0, 0, kReady));
    EXPECT_EQ(demo.countRequests("GET", "/api/now/table/sc_task"), 1u);
}

}  // namespace
}  // namespace trayline::mcp
