// Decoding a line into a JSON-RPC message, and the reply lines for what needs no tool.

#include "core/mcp/message.h"

#include <gtest/gtest.h>

#include "core/mcp/dispatcher.h"

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

}  // namespace
}  // namespace trayline::mcp
