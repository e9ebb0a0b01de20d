// trayline: the tray application, or with "--mcp" the headless MCP server.

#include <cstdio>

#include "core/mcp/mcp_server.h"

int main(int argc, char** argv) {
    if (trayline::mcp::wantsMcp(argc, argv))
        trayline::mcp::MCPServer::run();
    std::fputs("trayline: the tray application is not built yet; run \"trayline --mcp\" for the MCP server.\n",
               stderr);
    return 1;
}
