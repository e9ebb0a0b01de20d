#pragma once

// Runs a program to its end: standard input from a string, both outputs collected.

#include <string>
#include <vector>

namespace trayline::test {

struct ProcessRun {
    std::string out, err;
    int exitCode = -1;  // -1 when ended by a signal
    int signal = 0;
};

struct ProcessOptions {
    std::string input = {};
    bool closeStdoutEarly = false;  // the reader of its stdout is gone before it writes
};

ProcessRun runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
// What `command` run by /bin/sh writes to its standard output.
std::string shellOutput(const std::string& command);

}  // namespace trayline::test
