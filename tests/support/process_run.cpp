#include "support/process_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace trayline::test {

namespace {

// Files rather than pipes: the program can read and write any amount without the caller polling.
std::string rewound(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

}  // namespace

ProcessRun runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    std::FILE *in = std::tmpfile(), *out = std::tmpfile(), *err = std::tmpfile();
    int gone[2];  // a pipe whose reading end is closed before the program starts
    if (!in || !out || !err || ::pipe2(gone, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot set up the program's streams");
    std::fwrite(options.input.data(), 1, options.input.size(), in);
    std::fflush(in);
    std::rewind(in);
    ::close(gone[0]);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(::fileno(in), 0);
        ::dup2(options.closeStdoutEarly ? gone[1] : ::fileno(out), 1);
        ::dup2(::fileno(err), 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(gone[1]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::fclose(in);
    return {rewound(out), rewound(err), WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

std::string shellOutput(const std::string& command) { return runProcess({"/bin/sh", "-c", command}).out; }

}  // namespace trayline::test
