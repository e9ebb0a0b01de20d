// Decoding a line into a JSON-RPC message and the reply lines for what needs no tool; the task
// text the tools render; the run-mode switch; the registration snippets, whose paths a shell or a
// JSON reader would otherwise misread.

#include "core/mcp/message.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "core/mcp/client_registration.h"
#include "core/mcp/dispatcher.h"
#include "core/mcp/mcp_server.h"
#include "core/mcp/render.h"

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

TEST(MessageTest, LinesAreTrimmedAndSanitisedBeforeParsing) {
    const ServiceNowBackend backend;
    const Dispatcher d(backend);
    EXPECT_EQ(d.handleLine("").kind, LineOutcome::Kind::blank);
    EXPECT_EQ(d.handleLine(" \t\u00a0\u2028 ").kind, LineOutcome::Kind::blank);
    EXPECT_EQ(d.handleLine("\u3000{\"id\":1,\"method\":\"ping\"}\t").reply, R"({"jsonrpc":"2.0","id":1,"result":{}})");
    EXPECT_EQ(d.handleLine("{\"id\":\"\xff\xfe\",\"method\":5}").reply,
              R"({"jsonrpc":"2.0","id":"��","error":{"code":-32601,"message":"Method not found: "}})");
    EXPECT_EQ(d.handleLine("\xff").kind, LineOutcome::Kind::unparsable);
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

TEST(RunModeTest, OnlyAWholeCaseSensitiveElementSelectsTheServer) {
    using Argv = std::vector<const char*>;
    for (const auto& argv : {Argv{"trayline", "-v", "x", "--mcp", "y"}, Argv{"--mcp"}})  // the program path counts too
        EXPECT_TRUE(wantsMcp(static_cast<int>(argv.size()), argv.data())) << argv[0];
    for (const auto& argv : {Argv{}, Argv{"trayline"}, Argv{"trayline", "--MCP"}, Argv{"trayline", "--mcp=1"},
                             Argv{"trayline", "--mcp-debug", " --mcp"}})
        EXPECT_FALSE(wantsMcp(static_cast<int>(argv.size()), argv.data())) << (argv.size() > 1 ? argv[1] : "");
}

// What /bin/sh makes of a program word.
std::string shellReads(const std::string& word) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(("printf '%s' " + word).c_str(), "r"), ::pclose);
    std::string out;
    std::array<char, 256> buf{};
    while (pipe && std::fgets(buf.data(), buf.size(), pipe.get()))
        out += buf.data();
    return out;
}

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

}  // namespace
}  // namespace trayline::mcp
