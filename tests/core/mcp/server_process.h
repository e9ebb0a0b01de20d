#pragma once

// Runs the real `trayline` binary with piped standard streams.

#include <string>
#include <vector>

namespace trayline::test {

struct ServerRun {
    std::string out, err;
    int exitCode = -1;  // -1 when ended by a signal
    int signal = 0;
};

struct ServerOptions {
    std::vector<std::string> args = {"--mcp"};
    bool closeStdoutEarly = false;  // the reader of our stdout goes away before any reply
};

// Writes `input` to the server's stdin, closes it, and collects both outputs until exit.
ServerRun runServer(const std::string& input, const ServerOptions& options = {});

}  // namespace trayline::test
