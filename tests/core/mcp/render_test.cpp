#include "core/mcp/render.h"

#include <gtest/gtest.h>

#include "core/mcp/mcp_server.h"

namespace trayline::mcp {
namespace {

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

}  // namespace
}  // namespace trayline::mcp
