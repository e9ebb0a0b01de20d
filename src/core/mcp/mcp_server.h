#pragma once

// The stdio transport of `trayline --mcp`: newline-delimited JSON-RPC on stdin/stdout.

#include <cstddef>
#include <string_view>

#include "core/mcp/dispatcher.h"

namespace trayline::mcp {

// True when an argument (program path included) is exactly "--mcp".
bool wantsMcp(int argc, const char* const* argv);

// The longest line read; a longer one is dropped as it arrives and answered with a parse error.
inline constexpr std::size_t kMaxLineBytes = 4 << 20;
inline constexpr std::string_view kLineTooLongReply =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: line longer than 4 MiB"}})";

struct MCPServer {
    // Owns the process: moves stdout aside so only replies reach it, logs the ready line, serves
    // stdin until it ends and exits with status 0 (also, quietly, when the reader of our stdout
    // goes away).
    [[noreturn]] static void run();

    // The read loop over explicit descriptors; returns at end of input (true) or when a reply could
    // not be written because the reader is gone (false).
    static bool serve(int inFd, int replyFd, int logFd, const Dispatcher& dispatcher);

    // "[trayline-mcp] " + message + "\n" in one write.
    static void log(int fd, std::string_view message);
};

}  // namespace trayline::mcp
